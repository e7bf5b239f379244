#include "libc.h"

#include <dlfcn.h>
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <poll.h>
#include <stdint.h>
#include <sys/mman.h>
#include <unistd.h>

namespace vcam::libc {

void *next_symbol(const char *name)
{
    void *p = dlsym(RTLD_NEXT, name);
    if (p == nullptr) {
        fprintf(stderr, "vcam: the C library has no %s\n", name);
        abort();
    }
    return p;
}

namespace {
template <typename F> F real(F &slot, const char *name)
{
    F f = __atomic_load_n(&slot, __ATOMIC_ACQUIRE);
    if (f == nullptr) {
        f = reinterpret_cast<F>(next_symbol(name));
        __atomic_store_n(&slot, f, __ATOMIC_RELEASE);
    }
    return f;
}
} // namespace

using open_t = int (*)(const char *, int, ...);
using fd_t = int (*)(int);
using fcntl_t = int (*)(int, int, ...);
using ioctl_t = int (*)(int, unsigned long, ...);
using read_t = ssize_t (*)(int, void *, size_t);
using write_t = ssize_t (*)(int, const void *, size_t);
using mmap_t = void *(*)(void *, size_t, int, int, int, off_t);
using munmap_t = int (*)(void *, size_t);
using poll_t = int (*)(struct pollfd *, unsigned long, int);
using access_t = int (*)(const char *, int);

int open(const char *path, int flags, mode_t mode)
{
    static open_t slot;
    return real(slot, "open")(path, flags, mode);
}

int close(int fd)
{
    static fd_t slot;
    return real(slot, "close")(fd);
}

int dup(int fd)
{
    static fd_t slot;
    return real(slot, "dup")(fd);
}

int fcntl(int fd, int cmd, long arg)
{
    static fcntl_t slot;
    return real(slot, "fcntl")(fd, cmd, arg);
}

int ioctl(int fd, unsigned long request, void *arg)
{
    static ioctl_t slot;
    return real(slot, "ioctl")(fd, request, arg);
}

ssize_t read(int fd, void *buf, size_t n)
{
    static read_t slot;
    return real(slot, "read")(fd, buf, n);
}

ssize_t write(int fd, const void *buf, size_t n)
{
    static write_t slot;
    return real(slot, "write")(fd, buf, n);
}

void *mmap(void *addr, size_t len, int prot, int flags, int fd, off_t off)
{
    static mmap_t slot;
    return real(slot, "mmap")(addr, len, prot, flags, fd, off);
}

int munmap(void *addr, size_t len)
{
    static munmap_t slot;
    return real(slot, "munmap")(addr, len);
}

int poll(struct pollfd *fds, unsigned long n, int timeout)
{
    static poll_t slot;
    return real(slot, "poll")(fds, n, timeout);
}

void set_eventfd(int fd, bool ready)
{
    if (fd < 0)
        return;
    uint64_t v = 1;
    if (ready) {
        (void)!libc::write(fd, &v, sizeof v);
        return;
    }
    pollfd p{fd, POLLIN, 0};
    if (libc::poll(&p, 1UL, 0) == 1)
        (void)!libc::read(fd, &v, sizeof v);
}

bool exists(const char *path)
{
    static access_t slot;
    return real(slot, "access")(path, F_OK) == 0;
}

} // namespace vcam::libc
