// stat() and friends on a node path or descriptor answer for /dev/null, a
// character device, whatever layout the caller's structure has: the caller's
// own variant of the call fills it. No system header that declares these
// calls is included, so each keeps the prototype the C library exports.
#undef _FORTIFY_SOURCE
#include "hooks.h"

#include <dlfcn.h>
#include <errno.h>

namespace {

constexpr const char *kCharDevice = "/dev/null";
constexpr int kAtFdcwd = -100;
constexpr int kAtEmptyPath = 0x1000;

void *next(const char *name)
{
    return dlsym(RTLD_NEXT, name);
}

// Declares real_<name>, the next definition of name, or fails the call
// with ENOSYS when the C library has none. The type goes last: it has commas.
#define REAL(name, ...)                                                                                       \
    using type_##name = __VA_ARGS__;                                                                         \
    static type_##name slot_##name = nullptr;                                                                \
    type_##name real_##name = __atomic_load_n(&slot_##name, __ATOMIC_ACQUIRE);                               \
    if (real_##name == nullptr) {                                                                             \
        real_##name = reinterpret_cast<type_##name>(next(#name));                                             \
        __atomic_store_n(&slot_##name, real_##name, __ATOMIC_RELEASE);                                        \
    }                                                                                                         \
    if (real_##name == nullptr) {                                                                             \
        errno = ENOSYS;                                                                                       \
        return -1;                                                                                            \
    }

// The *at() calls name a node either by its path or, with AT_EMPTY_PATH and
// an empty path, by a node descriptor.
bool at_node(int dirfd, const char *path, int flags)
{
    if (vcam::hooks::stat_node(path))
        return true;
    return (flags & kAtEmptyPath) && path != nullptr && path[0] == '\0' && vcam::hooks::node_fd(dirfd);
}

} // namespace

extern "C" {

#define PATH_STAT(name)                                                                                       \
    VCAM_EXPORT int name(const char *path, void *buf)                                                        \
    {                                                                                                         \
        REAL(name, int (*)(const char *, void *))                                                            \
        return real_##name(vcam::hooks::stat_node(path) ? kCharDevice : path, buf);                          \
    }

#define FD_STAT(name, path_variant)                                                                           \
    VCAM_EXPORT int name(int fd, void *buf)                                                                   \
    {                                                                                                         \
        if (vcam::hooks::node_fd(fd)) {                                                                       \
            REAL(path_variant, int (*)(const char *, void *))                                                \
            return real_##path_variant(kCharDevice, buf);                                                     \
        }                                                                                                     \
        REAL(name, int (*)(int, void *))                                                                     \
        return real_##name(fd, buf);                                                                          \
    }

#define AT_STAT(name)                                                                                         \
    VCAM_EXPORT int name(int dirfd, const char *path, void *buf, int flags)                                   \
    {                                                                                                         \
        REAL(name, int (*)(int, const char *, void *, int))                                                  \
        if (at_node(dirfd, path, flags))                                                                      \
            return real_##name(kAtFdcwd, kCharDevice, buf, flags & ~kAtEmptyPath);                            \
        return real_##name(dirfd, path, buf, flags);                                                          \
    }

#define VER_PATH_STAT(name)                                                                                   \
    VCAM_EXPORT int name(int ver, const char *path, void *buf)                                                \
    {                                                                                                         \
        REAL(name, int (*)(int, const char *, void *))                                                       \
        return real_##name(ver, vcam::hooks::stat_node(path) ? kCharDevice : path, buf);                     \
    }

#define VER_FD_STAT(name, path_variant)                                                                       \
    VCAM_EXPORT int name(int ver, int fd, void *buf)                                                          \
    {                                                                                                         \
        if (vcam::hooks::node_fd(fd)) {                                                                       \
            REAL(path_variant, int (*)(int, const char *, void *))                                           \
            return real_##path_variant(ver, kCharDevice, buf);                                                \
        }                                                                                                     \
        REAL(name, int (*)(int, int, void *))                                                                \
        return real_##name(ver, fd, buf);                                                                     \
    }

#define VER_AT_STAT(name)                                                                                     \
    VCAM_EXPORT int name(int ver, int dirfd, const char *path, void *buf, int flags)                          \
    {                                                                                                         \
        REAL(name, int (*)(int, int, const char *, void *, int))                                             \
        if (at_node(dirfd, path, flags))                                                                      \
            return real_##name(ver, kAtFdcwd, kCharDevice, buf, flags & ~kAtEmptyPath);                       \
        return real_##name(ver, dirfd, path, buf, flags);                                                     \
    }

PATH_STAT(stat)
PATH_STAT(stat64)
PATH_STAT(lstat)
PATH_STAT(lstat64)
FD_STAT(fstat, stat)
FD_STAT(fstat64, stat64)
AT_STAT(fstatat)
AT_STAT(fstatat64)
VER_PATH_STAT(__xstat)
VER_PATH_STAT(__xstat64)
VER_PATH_STAT(__lxstat)
VER_PATH_STAT(__lxstat64)
VER_FD_STAT(__fxstat, __xstat)
VER_FD_STAT(__fxstat64, __xstat64)
VER_AT_STAT(__fxstatat)
VER_AT_STAT(__fxstatat64)

#if defined(__arm__)
// 32-bit programs built with 64-bit time.
PATH_STAT(__stat64_time64)
PATH_STAT(__lstat64_time64)
FD_STAT(__fstat64_time64, __stat64_time64)
AT_STAT(__fstatat64_time64)
#endif

VCAM_EXPORT int statx(int dirfd, const char *path, int flags, unsigned mask, void *buf)
{
    REAL(statx, int (*)(int, const char *, int, unsigned, void *))
    if (at_node(dirfd, path, flags))
        return real_statx(kAtFdcwd, kCharDevice, flags & ~kAtEmptyPath, mask, buf);
    return real_statx(dirfd, path, flags, mask, buf);
}

VCAM_EXPORT int access(const char *path, int mode)
{
    REAL(access, int (*)(const char *, int))
    return real_access(vcam::hooks::stat_node(path) ? kCharDevice : path, mode);
}

} // extern "C"
