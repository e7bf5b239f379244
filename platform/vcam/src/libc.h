// The C library's own calls, found behind the platform's wrappers. Platform
// code uses only these for descriptors and mappings, so that it never runs
// into its own wrappers (or a sanitizer's) by accident.
#ifndef VCAM_LIBC_H
#define VCAM_LIBC_H

#include <stddef.h>
#include <sys/types.h>

struct pollfd;

namespace vcam::libc {

int open(const char *path, int flags, mode_t mode);
int close(int fd);
int dup(int fd);
int fcntl(int fd, int cmd, long arg);
int ioctl(int fd, unsigned long request, void *arg);
ssize_t read(int fd, void *buf, size_t n);
ssize_t write(int fd, const void *buf, size_t n);
void *mmap(void *addr, size_t len, int prot, int flags, int fd, off_t off);
int munmap(void *addr, size_t len);
int poll(struct pollfd *fds, unsigned long n, int timeout);
// Makes an eventfd of ours readable or not. The counter may already be gone:
// a forked child shares the descriptor and may have drained it, so this never
// blocks.
void set_eventfd(int fd, bool ready);
// True when a path exists (the real file system's answer).
bool exists(const char *path);

// Looks the next definition of a symbol up once and caches it.
void *next_symbol(const char *name);

} // namespace vcam::libc

#endif
