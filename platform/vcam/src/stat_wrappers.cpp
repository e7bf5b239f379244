// stat() and friends on a node path or descriptor answer for /dev/null, a
// character device, whatever layout the caller's structure has: the caller's
// own variant of the call fills it, and the node's device number goes in.
// The platform's sysfs entries are answered the same way by stand-ins. No system header that declares these
// calls is included, so each keeps the prototype the C library exports.
#undef _FORTIFY_SOURCE
#include "hooks.h"

#include <dlfcn.h>
#include <errno.h>

namespace {

constexpr int kAtFdcwd = -100;
constexpr int kAtSymlinkNofollow = 0x100;
constexpr int kAtEmptyPath = 0x1000;

using vcam::hooks::Layout;
using vcam::hooks::StatTarget;

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
// an empty path, by a node descriptor. Relative paths are never the platform's.
bool at_target(int dirfd, const char *path, int flags, StatTarget *t)
{
    if ((flags & kAtEmptyPath) && path != nullptr && path[0] == '\0')
        return vcam::hooks::stat_target_fd(dirfd, t);
    return vcam::hooks::stat_target(path, (flags & kAtSymlinkNofollow) == 0, t);
}

} // namespace

extern "C" {

#define PATH_STAT(name, follow, layout)                                                                       \
    VCAM_EXPORT int name(const char *path, void *buf)                                                        \
    {                                                                                                         \
        REAL(name, int (*)(const char *, void *))                                                            \
        StatTarget t;                                                                                         \
        if (!vcam::hooks::stat_target(path, follow, &t))                                                      \
            return real_##name(path, buf);                                                                    \
        return vcam::hooks::stat_finish(&t, buf, layout, real_##name(t.path, buf));                           \
    }

#define FD_STAT(name, path_variant, layout)                                                                   \
    VCAM_EXPORT int name(int fd, void *buf)                                                                   \
    {                                                                                                         \
        StatTarget t;                                                                                         \
        if (vcam::hooks::stat_target_fd(fd, &t)) {                                                            \
            REAL(path_variant, int (*)(const char *, void *))                                                \
            return vcam::hooks::stat_finish(&t, buf, layout, real_##path_variant(t.path, buf));               \
        }                                                                                                     \
        REAL(name, int (*)(int, void *))                                                                     \
        return real_##name(fd, buf);                                                                          \
    }

#define AT_STAT(name, layout)                                                                                 \
    VCAM_EXPORT int name(int dirfd, const char *path, void *buf, int flags)                                   \
    {                                                                                                         \
        REAL(name, int (*)(int, const char *, void *, int))                                                  \
        StatTarget t;                                                                                         \
        if (!at_target(dirfd, path, flags, &t))                                                               \
            return real_##name(dirfd, path, buf, flags);                                                      \
        int r = real_##name(kAtFdcwd, t.path, buf, flags & ~kAtEmptyPath);                                    \
        return vcam::hooks::stat_finish(&t, buf, layout, r);                                                  \
    }

#define VER_PATH_STAT(name, follow, layout)                                                                   \
    VCAM_EXPORT int name(int ver, const char *path, void *buf)                                                \
    {                                                                                                         \
        REAL(name, int (*)(int, const char *, void *))                                                       \
        StatTarget t;                                                                                         \
        if (!vcam::hooks::stat_target(path, follow, &t))                                                      \
            return real_##name(ver, path, buf);                                                               \
        return vcam::hooks::stat_finish(&t, buf, layout, real_##name(ver, t.path, buf));                      \
    }

#define VER_FD_STAT(name, path_variant, layout)                                                               \
    VCAM_EXPORT int name(int ver, int fd, void *buf)                                                          \
    {                                                                                                         \
        StatTarget t;                                                                                         \
        if (vcam::hooks::stat_target_fd(fd, &t)) {                                                            \
            REAL(path_variant, int (*)(int, const char *, void *))                                           \
            return vcam::hooks::stat_finish(&t, buf, layout, real_##path_variant(ver, t.path, buf));          \
        }                                                                                                     \
        REAL(name, int (*)(int, int, void *))                                                                \
        return real_##name(ver, fd, buf);                                                                     \
    }

#define VER_AT_STAT(name, layout)                                                                             \
    VCAM_EXPORT int name(int ver, int dirfd, const char *path, void *buf, int flags)                          \
    {                                                                                                         \
        REAL(name, int (*)(int, int, const char *, void *, int))                                             \
        StatTarget t;                                                                                         \
        if (!at_target(dirfd, path, flags, &t))                                                               \
            return real_##name(ver, dirfd, path, buf, flags);                                                 \
        int r = real_##name(ver, kAtFdcwd, t.path, buf, flags & ~kAtEmptyPath);                               \
        return vcam::hooks::stat_finish(&t, buf, layout, r);                                                  \
    }

PATH_STAT(stat, true, Layout::plain)
PATH_STAT(stat64, true, Layout::large)
PATH_STAT(lstat, false, Layout::plain)
PATH_STAT(lstat64, false, Layout::large)
FD_STAT(fstat, stat, Layout::plain)
FD_STAT(fstat64, stat64, Layout::large)
AT_STAT(fstatat, Layout::plain)
AT_STAT(fstatat64, Layout::large)
VER_PATH_STAT(__xstat, true, Layout::plain)
VER_PATH_STAT(__xstat64, true, Layout::large)
VER_PATH_STAT(__lxstat, false, Layout::plain)
VER_PATH_STAT(__lxstat64, false, Layout::large)
VER_FD_STAT(__fxstat, __xstat, Layout::plain)
VER_FD_STAT(__fxstat64, __xstat64, Layout::large)
VER_AT_STAT(__fxstatat, Layout::plain)
VER_AT_STAT(__fxstatat64, Layout::large)

#if defined(__arm__)
// 32-bit programs built with 64-bit time.
PATH_STAT(__stat64_time64, true, Layout::time64)
PATH_STAT(__lstat64_time64, false, Layout::time64)
FD_STAT(__fstat64_time64, __stat64_time64, Layout::time64)
AT_STAT(__fstatat64_time64, Layout::time64)
#endif

VCAM_EXPORT int statx(int dirfd, const char *path, int flags, unsigned mask, void *buf)
{
    REAL(statx, int (*)(int, const char *, int, unsigned, void *))
    StatTarget t;
    if (!at_target(dirfd, path, flags, &t))
        return real_statx(dirfd, path, flags, mask, buf);
    int r = real_statx(kAtFdcwd, t.path, flags & ~kAtEmptyPath, mask, buf);
    return vcam::hooks::stat_finish(&t, buf, Layout::statx, r);
}

VCAM_EXPORT int access(const char *path, int mode)
{
    REAL(access, int (*)(const char *, int))
    StatTarget t;
    if (!vcam::hooks::stat_target(path, true, &t))
        return real_access(path, mode);
    return vcam::hooks::stat_finish(&t, nullptr, Layout::plain, real_access(t.path, mode));
}

} // extern "C"
