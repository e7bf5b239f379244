// The libc calls a V4L2 program makes on a node, routed to the device model
// when the path, descriptor or mapping is a node's, and straight through to
// the C library otherwise, so that real devices keep working.
#undef _FORTIFY_SOURCE
#include "hooks.h"
#include "libc.h"
#include "platform.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdarg.h>
#include <sys/select.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <unistd.h>

using vcam::Platform;

namespace {

template <typename F> F next(const char *name)
{
    return reinterpret_cast<F>(vcam::libc::next_symbol(name));
}

template <typename F> F cached(F &slot, const char *name)
{
    F f = __atomic_load_n(&slot, __ATOMIC_ACQUIRE);
    if (f == nullptr) {
        f = next<F>(name);
        __atomic_store_n(&slot, f, __ATOMIC_RELEASE);
    }
    return f;
}

// Declares real_<name>, the next definition of name. The type goes last
// because it holds commas.
#define REAL(name, ...)                                                                                       \
    using type_##name = __VA_ARGS__;                                                                         \
    static type_##name slot_##name = nullptr;                                                                \
    type_##name real_##name = cached(slot_##name, #name);

bool is_node(const char *path)
{
    return path != nullptr && path[0] == '/' && Platform::get().is_node(path);
}

bool wants_mode(int flags)
{
    return (flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE;
}

bool nonblocking(int fd)
{
    int fl = vcam::libc::fcntl(fd, F_GETFL, 0);
    return fl != -1 && (fl & O_NONBLOCK) != 0;
}

// Fails a call on a node when --fail names it.
bool injected(const char *what, const std::string &scope = std::string())
{
    if (int err = Platform::get().ledger().injected_failure(what, scope)) {
        errno = err;
        return true;
    }
    return false;
}

// --fail select: a select() or poll() that waits on a node's descriptor
// fails with the rule's errno, as a wait on a descriptor gone bad would.
bool wait_fails_on(int fd)
{
    std::shared_ptr<vcam::Device> dev = Platform::get().device(fd);
    return dev && injected("select", dev->kind());
}

bool select_fails(int nfds, fd_set *r, fd_set *w, fd_set *e)
{
    if (nfds > FD_SETSIZE)
        nfds = FD_SETSIZE;
    for (int fd = 0; fd < nfds; ++fd)
        if (((r && FD_ISSET(fd, r)) || (w && FD_ISSET(fd, w)) || (e && FD_ISSET(fd, e))) && wait_fails_on(fd))
            return true;
    return false;
}

int fcntl_common(int fd, int cmd, void *arg, int (*real)(int, int, ...))
{
    Platform &p = Platform::get();
    std::shared_ptr<vcam::Device> dev = p.device(fd);
    if (!dev)
        return real(fd, cmd, arg);
    p.ledger().count("fcntl");
    if (injected("fcntl", dev->kind()))
        return -1;
    int r = real(fd, cmd, arg);
    if (r >= 0 && (cmd == F_DUPFD || cmd == F_DUPFD_CLOEXEC))
        p.duplicated(fd, r);
    return r;
}

void *mmap_common(void *addr, size_t len, int prot, int flags, int fd, off_t off, bool *handled)
{
    *handled = false;
    Platform &p = Platform::get();
    std::shared_ptr<vcam::Device> dev = fd >= 0 ? p.device(fd) : nullptr;
    if (!dev)
        return nullptr;
    (void)addr;
    *handled = true;
    p.ledger().count("mmap");
    if (injected("mmap", dev->kind()))
        return MAP_FAILED;
    int err = 0;
    void *m = dev->mmap(len, prot, flags, off, &err);
    if (m == nullptr) {
        errno = err;
        return MAP_FAILED;
    }
    p.add_mapping(m, len, dev, static_cast<uint64_t>(off));
    return m;
}

} // namespace

namespace vcam::hooks {

bool stat_node(const char *path)
{
    if (!is_node(path) && !(path != nullptr && Platform::get().is_proc_entry(path)))
        return false;
    Platform::get().ledger().count("stat");
    return true;
}

bool node_fd(int fd)
{
    return Platform::get().device(fd) != nullptr;
}

} // namespace vcam::hooks

extern "C" {

VCAM_EXPORT int open(const char *path, int flags, ...)
{
    mode_t mode = 0;
    if (wants_mode(flags)) {
        va_list ap;
        va_start(ap, flags);
        mode = va_arg(ap, mode_t);
        va_end(ap);
    }
    if (is_node(path))
        return Platform::get().open(path, flags);
    REAL(open, int (*)(const char *, int, ...))
    return real_open(path, flags, mode);
}

VCAM_EXPORT int open64(const char *path, int flags, ...)
{
    mode_t mode = 0;
    if (wants_mode(flags)) {
        va_list ap;
        va_start(ap, flags);
        mode = va_arg(ap, mode_t);
        va_end(ap);
    }
    if (is_node(path))
        return Platform::get().open(path, flags);
    REAL(open64, int (*)(const char *, int, ...))
    return real_open64(path, flags, mode);
}

VCAM_EXPORT int __open_2(const char *path, int flags)
{
    if (is_node(path))
        return Platform::get().open(path, flags);
    REAL(__open_2, int (*)(const char *, int))
    return real___open_2(path, flags);
}

VCAM_EXPORT int __open64_2(const char *path, int flags)
{
    if (is_node(path))
        return Platform::get().open(path, flags);
    REAL(__open64_2, int (*)(const char *, int))
    return real___open64_2(path, flags);
}

VCAM_EXPORT int openat(int dirfd, const char *path, int flags, ...)
{
    mode_t mode = 0;
    if (wants_mode(flags)) {
        va_list ap;
        va_start(ap, flags);
        mode = va_arg(ap, mode_t);
        va_end(ap);
    }
    if (is_node(path))
        return Platform::get().open(path, flags);
    REAL(openat, int (*)(int, const char *, int, ...))
    return real_openat(dirfd, path, flags, mode);
}

VCAM_EXPORT int openat64(int dirfd, const char *path, int flags, ...)
{
    mode_t mode = 0;
    if (wants_mode(flags)) {
        va_list ap;
        va_start(ap, flags);
        mode = va_arg(ap, mode_t);
        va_end(ap);
    }
    if (is_node(path))
        return Platform::get().open(path, flags);
    REAL(openat64, int (*)(int, const char *, int, ...))
    return real_openat64(dirfd, path, flags, mode);
}

VCAM_EXPORT int __openat_2(int dirfd, const char *path, int flags)
{
    if (is_node(path))
        return Platform::get().open(path, flags);
    REAL(__openat_2, int (*)(int, const char *, int))
    return real___openat_2(dirfd, path, flags);
}

VCAM_EXPORT int __openat64_2(int dirfd, const char *path, int flags)
{
    if (is_node(path))
        return Platform::get().open(path, flags);
    REAL(__openat64_2, int (*)(int, const char *, int))
    return real___openat64_2(dirfd, path, flags);
}

VCAM_EXPORT int close(int fd)
{
    Platform &p = Platform::get();
    if (p.device(fd)) {
        p.ledger().count("close");
        // Forget the descriptor before the number can be handed out again.
        p.release(fd);
    }
    return vcam::libc::close(fd);
}

VCAM_EXPORT int dup(int fd)
{
    int r = vcam::libc::dup(fd);
    Platform &p = Platform::get();
    if (r >= 0 && p.device(fd)) {
        p.ledger().count("dup");
        p.duplicated(fd, r);
    }
    return r;
}

VCAM_EXPORT int dup2(int fd, int newfd)
{
    Platform &p = Platform::get();
    if (fd != newfd && p.device(newfd))
        p.release(newfd);
    REAL(dup2, int (*)(int, int))
    int r = real_dup2(fd, newfd);
    if (r >= 0 && fd != newfd && p.device(fd)) {
        p.ledger().count("dup");
        p.duplicated(fd, r);
    }
    return r;
}

VCAM_EXPORT int dup3(int fd, int newfd, int flags)
{
    Platform &p = Platform::get();
    if (fd != newfd && p.device(newfd))
        p.release(newfd);
    REAL(dup3, int (*)(int, int, int))
    int r = real_dup3(fd, newfd, flags);
    if (r >= 0 && p.device(fd)) {
        p.ledger().count("dup");
        p.duplicated(fd, r);
    }
    return r;
}

VCAM_EXPORT int fcntl(int fd, int cmd, ...)
{
    va_list ap;
    va_start(ap, cmd);
    void *arg = va_arg(ap, void *);
    va_end(ap);
    REAL(fcntl, int (*)(int, int, ...))
    return fcntl_common(fd, cmd, arg, real_fcntl);
}

VCAM_EXPORT int fcntl64(int fd, int cmd, ...)
{
    va_list ap;
    va_start(ap, cmd);
    void *arg = va_arg(ap, void *);
    va_end(ap);
    REAL(fcntl64, int (*)(int, int, ...))
    return fcntl_common(fd, cmd, arg, real_fcntl64);
}

static int ioctl_common(int fd, unsigned long request, void *arg, int (*real)(int, unsigned long, ...))
{
    std::shared_ptr<vcam::Device> dev = _IOC_TYPE(request) == 'V' ? Platform::get().device(fd) : nullptr;
    if (!dev)
        return real(fd, request, arg);
    int r = dev->ioctl(request, arg, nonblocking(fd));
    if (r < 0) {
        errno = -r;
        return -1;
    }
    return r;
}

VCAM_EXPORT int ioctl(int fd, unsigned long request, ...)
{
    va_list ap;
    va_start(ap, request);
    void *arg = va_arg(ap, void *);
    va_end(ap);
    REAL(ioctl, int (*)(int, unsigned long, ...))
    return ioctl_common(fd, request, arg, real_ioctl);
}

#if defined(__arm__)
// 32-bit programs built with 64-bit time call this name.
VCAM_EXPORT int __ioctl_time64(int fd, unsigned long request, ...)
{
    va_list ap;
    va_start(ap, request);
    void *arg = va_arg(ap, void *);
    va_end(ap);
    REAL(__ioctl_time64, int (*)(int, unsigned long, ...))
    return ioctl_common(fd, request, arg, real___ioctl_time64);
}
#endif

VCAM_EXPORT ssize_t read(int fd, void *buf, size_t n)
{
    Platform &p = Platform::get();
    std::shared_ptr<vcam::Device> dev = p.device(fd);
    if (!dev)
        return vcam::libc::read(fd, buf, n);
    p.ledger().count("read");
    if (injected("read", dev->kind()))
        return -1;
    long r = dev->read(buf, n, nonblocking(fd));
    if (r < 0) {
        errno = static_cast<int>(-r);
        return -1;
    }
    return r;
}

VCAM_EXPORT ssize_t __read_chk(int fd, void *buf, size_t n, size_t buflen)
{
    if (n > buflen) {
        REAL(__read_chk, ssize_t (*)(int, void *, size_t, size_t))
        return real___read_chk(fd, buf, n, buflen); // reports the overflow
    }
    return read(fd, buf, n);
}

VCAM_EXPORT int poll(struct pollfd *fds, nfds_t n, int timeout)
{
    for (nfds_t i = 0; fds != nullptr && i < n; ++i)
        if (fds[i].fd >= 0 && wait_fails_on(fds[i].fd))
            return -1;
    REAL(poll, int (*)(struct pollfd *, nfds_t, int))
    return real_poll(fds, n, timeout);
}

VCAM_EXPORT int select(int nfds, fd_set *r, fd_set *w, fd_set *e, struct timeval *timeout)
{
    if (select_fails(nfds, r, w, e))
        return -1;
    REAL(select, int (*)(int, fd_set *, fd_set *, fd_set *, struct timeval *))
    return real_select(nfds, r, w, e, timeout);
}

#if defined(__arm__)
// 32-bit programs built with 64-bit time call this name.
VCAM_EXPORT int __select64(int nfds, fd_set *r, fd_set *w, fd_set *e, void *timeout)
{
    if (select_fails(nfds, r, w, e))
        return -1;
    REAL(__select64, int (*)(int, fd_set *, fd_set *, fd_set *, void *))
    return real___select64(nfds, r, w, e, timeout);
}
#endif

VCAM_EXPORT void *mmap(void *addr, size_t len, int prot, int flags, int fd, off_t off)
{
    bool handled = false;
    void *m = mmap_common(addr, len, prot, flags, fd, off, &handled);
    if (handled)
        return m;
    return vcam::libc::mmap(addr, len, prot, flags, fd, off);
}

VCAM_EXPORT void *mmap64(void *addr, size_t len, int prot, int flags, int fd, off64_t off)
{
    bool handled = false;
    void *m = mmap_common(addr, len, prot, flags, fd, static_cast<off_t>(off), &handled);
    if (handled)
        return m;
    REAL(mmap64, void *(*)(void *, size_t, int, int, int, off64_t))
    return real_mmap64(addr, len, prot, flags, fd, off);
}

VCAM_EXPORT int munmap(void *addr, size_t len)
{
    Platform &p = Platform::get();
    Platform::Unmap what = p.check_unmap(addr, len);
    if (what == Platform::Unmap::other)
        return vcam::libc::munmap(addr, len);
    p.ledger().count("munmap");
    if (what == Platform::Unmap::exact && injected("munmap", p.mapping_kind(addr))) {
        p.unmap_refused(addr);
        return -1;
    }
    int r = vcam::libc::munmap(addr, len);
    if (r == 0)
        p.remove_mapping(addr);
    return r;
}

} // extern "C"
