// Device access: opening V4L2 nodes, retried requests, messages.
#include "kep_vc_lib.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

extern "C" char *program_invocation_short_name;

namespace kep {

int ioctl_retry(int fd, unsigned long request, void *arg)
{
    int r;
    do {
        r = ioctl(fd, request, arg);
    } while (r == -1 && errno == EINTR);
    return r;
}

void perror_at(const char *step, int line, const char *word)
{
    int saved = errno;
    fprintf(stderr, "%s:%d: ", step, line);
    errno = saved;
    perror(word);
}

void failed_at(const char *what, int line)
{
    fprintf(stderr, "%s:%d: failed\n", what, line);
}

void die()
{
    exit(1);
}

void assert_fail(const char *expr, int line, const char *step)
{
    fprintf(stderr, "%s: kep_vc_lib:%d: %s: Assertion `%s' failed.\n", program_invocation_short_name, line, step,
            expr);
    fflush(stderr);
    abort();
}

} // namespace kep

extern "C" KEP_VC_API int32_t kep_open_device(const char *path)
{
    struct stat st;
    if (stat(path, &st) == -1) {
        int e = errno;
        fprintf(stderr, "Cannot identify '%s': %d, %s\n", path, e, strerror(e));
        kep::die();
    }
    if (!S_ISCHR(st.st_mode)) {
        fprintf(stderr, "%s is no device\n", path);
        kep::die();
    }
    int fd = open(path, O_RDWR | O_NONBLOCK, 0);
    if (fd == -1) {
        int e = errno;
        fprintf(stderr, "Cannot open '%s': %d, %s\n", path, e, strerror(e));
        kep::die();
    }
    // Opened non-blocking so that a busy node cannot hold the open; every
    // later request and select() wait blocks.
    int flags = fcntl(fd, F_GETFL);
    if (flags == -1 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) == -1) {
        close(fd);
        return -1;
    }
    return fd;
}
