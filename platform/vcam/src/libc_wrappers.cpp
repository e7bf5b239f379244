// The libc calls a V4L2 program makes on a node, routed to the device model
// when the path, descriptor or mapping is a node's, and straight through to
// the C library otherwise, so that real devices keep working.
#undef _FORTIFY_SOURCE
#include "platform.h"
#include "wrappers.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdarg.h>
#include <stdint.h>
#include <string.h>
#include <sys/select.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/sysmacros.h>
#include <unistd.h>
#include <utility>
#include <vector>

using vcam::Platform;

namespace {

bool is_node(const char *path)
{
    Platform *p = path != nullptr && path[0] == '/' ? Platform::try_get() : nullptr;
    return p != nullptr && p->is_node(path);
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

// The device behind a descriptor, or null.
std::shared_ptr<vcam::Device> device_of(int fd)
{
    Platform *p = Platform::try_get();
    return p != nullptr ? p->device(fd) : nullptr;
}

// --fail select: a select() or poll() that waits on a node's descriptor
// fails with the rule's errno, as a wait on a descriptor gone bad would.
bool wait_fails_on(int fd)
{
    std::shared_ptr<vcam::Device> dev = device_of(fd);
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

// The descriptor that is readable while a node's event waits, or -1.
int event_fd_of(int fd)
{
    std::shared_ptr<vcam::Device> dev = device_of(fd);
    return dev ? dev->event_ready_fd() : -1;
}

// select() with the exceptional conditions of nodes (their events, see
// poll()) waited for as their event descriptors' readability.
template <typename Timeout>
int select_with_events(int nfds, fd_set *r, fd_set *w, fd_set *e, Timeout *timeout,
                       int (*real)(int, fd_set *, fd_set *, fd_set *, Timeout *))
{
    int limit = nfds > FD_SETSIZE ? FD_SETSIZE : nfds;
    std::vector<std::pair<int, int>> events; // node, its event descriptor
    for (int fd = 0; e != nullptr && fd < limit; ++fd) {
        int efd = FD_ISSET(fd, e) ? event_fd_of(fd) : -1;
        if (efd >= 0 && efd < FD_SETSIZE)
            events.emplace_back(fd, efd);
    }
    if (events.empty())
        return real(nfds, r, w, e, timeout);
    // Copies holding only what the program asked for: the wider wait must
    // not look at bits past its count.
    fd_set sets[3];
    fd_set *given[3] = {r, w, e};
    for (int i = 0; i < 3; ++i) {
        FD_ZERO(&sets[i]);
        for (int fd = 0; given[i] != nullptr && fd < limit; ++fd)
            if (FD_ISSET(fd, given[i]))
                FD_SET(fd, &sets[i]);
    }
    int wide = nfds;
    for (const auto &p : events) {
        FD_SET(p.second, &sets[0]);
        wide = p.second + 1 > wide ? p.second + 1 : wide;
    }
    int n = real(wide, &sets[0], w != nullptr ? &sets[1] : nullptr, &sets[2], timeout);
    if (n < 0)
        return n;
    for (const auto &p : events)
        if (FD_ISSET(p.second, &sets[0]))
            FD_SET(p.first, &sets[2]);
    int ready = 0;
    for (int i = 0; i < 3; ++i) {
        if (given[i] == nullptr)
            continue;
        FD_ZERO(given[i]);
        for (int fd = 0; fd < limit; ++fd)
            if (FD_ISSET(fd, &sets[i])) {
                FD_SET(fd, given[i]);
                ++ready;
            }
    }
    return ready;
}

int fcntl_common(int fd, int cmd, void *arg, int (*real)(int, int, ...))
{
    std::shared_ptr<vcam::Device> dev = device_of(fd);
    if (!dev)
        return real(fd, cmd, arg);
    Platform &p = Platform::get();
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
    std::shared_ptr<vcam::Device> dev = fd >= 0 ? device_of(fd) : nullptr;
    if (!dev)
        return nullptr;
    Platform &p = Platform::get();
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

bool stat_target(const char *path, bool follow, StatTarget *t)
{
    Platform *pp = path != nullptr && path[0] == '/' ? Platform::try_get() : nullptr;
    if (pp == nullptr)
        return false;
    Platform &p = *pp;
    if (p.is_node(path) || p.is_proc_entry(path)) {
        p.ledger().count("stat");
        t->path = "/dev/null";
        if (unsigned long long rdev = p.node_rdev(path)) {
            t->node = true;
            t->major = major(rdev);
            t->minor = minor(rdev);
        }
        return true;
    }
    return wrappers::sys_stat_target(path, follow, t);
}

bool stat_target_fd(int fd, StatTarget *t)
{
    if (!device_of(fd))
        return false;
    Platform &p = Platform::get();
    t->path = "/dev/null";
    if (unsigned long long rdev = p.node_rdev(fd)) {
        t->node = true;
        t->major = major(rdev);
        t->minor = minor(rdev);
    }
    return true;
}

int stat_finish(StatTarget *t, void *buf, Layout layout, int result)
{
    if (result != 0 || !t->node || buf == nullptr)
        return result;
    uint8_t *at = static_cast<uint8_t *>(buf) + rdev_offset(layout);
    if (layout == Layout::statx) {
        uint32_t numbers[2] = {t->major, t->minor};
        memcpy(at, numbers, sizeof numbers);
    } else {
        dev_t rdev = makedev(t->major, t->minor);
        memcpy(at, &rdev, sizeof rdev);
    }
    return result;
}

bool node_fd(int fd)
{
    return device_of(fd) != nullptr;
}

} // namespace vcam::hooks

namespace vcam::wrappers {

int open_path(const char *path, int flags, std::string *use)
{
    if (path == nullptr || path[0] != '/')
        return kPass;
    if (is_node(path))
        return Platform::get().open(path, flags);
    return sys_open(path, flags, use);
}

} // namespace vcam::wrappers

// Opens a path the platform answers and returns from the wrapper; otherwise
// `routed` is the path the C library is to open.
#define ROUTE_OPEN(path, flags)                                                                               \
    std::string use_;                                                                                         \
    int fd_ = vcam::wrappers::open_path(path, flags, &use_);                                                  \
    if (fd_ != vcam::wrappers::kPass)                                                                         \
        return fd_;                                                                                           \
    const char *routed = use_.empty() ? path : use_.c_str();

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
    ROUTE_OPEN(path, flags)
    REAL(open, int (*)(const char *, int, ...))
    return real_open(routed, flags, mode);
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
    ROUTE_OPEN(path, flags)
    REAL(open64, int (*)(const char *, int, ...))
    return real_open64(routed, flags, mode);
}

VCAM_EXPORT int __open_2(const char *path, int flags)
{
    ROUTE_OPEN(path, flags)
    REAL(__open_2, int (*)(const char *, int))
    return real___open_2(routed, flags);
}

VCAM_EXPORT int __open64_2(const char *path, int flags)
{
    ROUTE_OPEN(path, flags)
    REAL(__open64_2, int (*)(const char *, int))
    return real___open64_2(routed, flags);
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
    ROUTE_OPEN(path, flags)
    REAL(openat, int (*)(int, const char *, int, ...))
    return real_openat(dirfd, routed, flags, mode);
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
    ROUTE_OPEN(path, flags)
    REAL(openat64, int (*)(int, const char *, int, ...))
    return real_openat64(dirfd, routed, flags, mode);
}

VCAM_EXPORT int __openat_2(int dirfd, const char *path, int flags)
{
    ROUTE_OPEN(path, flags)
    REAL(__openat_2, int (*)(int, const char *, int))
    return real___openat_2(dirfd, routed, flags);
}

VCAM_EXPORT int __openat64_2(int dirfd, const char *path, int flags)
{
    ROUTE_OPEN(path, flags)
    REAL(__openat64_2, int (*)(int, const char *, int))
    return real___openat64_2(dirfd, routed, flags);
}

VCAM_EXPORT int close(int fd)
{
    if (device_of(fd)) {
        Platform &p = Platform::get();
        p.ledger().count("close");
        // Forget the descriptor before the number can be handed out again.
        p.release(fd);
    }
    return vcam::libc::close(fd);
}

VCAM_EXPORT int dup(int fd)
{
    int r = vcam::libc::dup(fd);
    if (r >= 0 && device_of(fd)) {
        Platform &p = Platform::get();
        p.ledger().count("dup");
        p.duplicated(fd, r);
    }
    return r;
}

VCAM_EXPORT int dup2(int fd, int newfd)
{
    Platform *p = Platform::try_get();
    if (p != nullptr && fd != newfd && p->device(newfd))
        p->release(newfd);
    REAL(dup2, int (*)(int, int))
    int r = real_dup2(fd, newfd);
    if (r >= 0 && fd != newfd && p != nullptr && p->device(fd)) {
        p->ledger().count("dup");
        p->duplicated(fd, r);
    }
    return r;
}

VCAM_EXPORT int dup3(int fd, int newfd, int flags)
{
    Platform *p = Platform::try_get();
    if (p != nullptr && fd != newfd && p->device(newfd))
        p->release(newfd);
    REAL(dup3, int (*)(int, int, int))
    int r = real_dup3(fd, newfd, flags);
    if (r >= 0 && p != nullptr && p->device(fd)) {
        p->ledger().count("dup");
        p->duplicated(fd, r);
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
    // V4L2 and media controller requests; terminal and other requests on a
    // node's eventfd go to the C library.
    bool ours = _IOC_TYPE(request) == 'V' || _IOC_TYPE(request) == '|';
    std::shared_ptr<vcam::Device> dev = ours ? device_of(fd) : nullptr;
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
    std::shared_ptr<vcam::Device> dev = device_of(fd);
    if (!dev)
        return vcam::libc::read(fd, buf, n);
    Platform &p = Platform::get();
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
    // A node's events are its exceptional condition (POLLPRI): waited for
    // on the node's event descriptor, which is readable while one waits.
    std::vector<pollfd> all;
    std::vector<nfds_t> asked; // entry of the program's whose events each added one stands for
    for (nfds_t i = 0; fds != nullptr && i < n; ++i) {
        int efd = (fds[i].events & POLLPRI) && fds[i].fd >= 0 ? event_fd_of(fds[i].fd) : -1;
        if (efd < 0)
            continue;
        if (all.empty())
            all.assign(fds, fds + n);
        all.push_back(pollfd{efd, POLLIN, 0});
        asked.push_back(i);
    }
    if (all.empty())
        return real_poll(fds, n, timeout);
    int r = real_poll(all.data(), all.size(), timeout);
    if (r < 0)
        return r;
    for (size_t k = 0; k < asked.size(); ++k)
        if (all[n + k].revents & POLLIN)
            all[asked[k]].revents |= POLLPRI;
    int ready = 0;
    for (nfds_t i = 0; i < n; ++i) {
        fds[i].revents = all[i].revents;
        ready += fds[i].revents != 0;
    }
    return ready;
}

VCAM_EXPORT int select(int nfds, fd_set *r, fd_set *w, fd_set *e, struct timeval *timeout)
{
    if (select_fails(nfds, r, w, e))
        return -1;
    REAL(select, int (*)(int, fd_set *, fd_set *, fd_set *, struct timeval *))
    return select_with_events(nfds, r, w, e, timeout, real_select);
}

#if defined(__arm__)
// 32-bit programs built with 64-bit time call this name.
VCAM_EXPORT int __select64(int nfds, fd_set *r, fd_set *w, fd_set *e, void *timeout)
{
    if (select_fails(nfds, r, w, e))
        return -1;
    REAL(__select64, int (*)(int, fd_set *, fd_set *, fd_set *, void *))
    return select_with_events(nfds, r, w, e, timeout, real___select64);
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
    Platform *pp = Platform::try_get();
    Platform::Unmap what = pp != nullptr ? pp->check_unmap(addr, len) : Platform::Unmap::other;
    if (what == Platform::Unmap::other)
        return vcam::libc::munmap(addr, len);
    Platform &p = *pp;
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
