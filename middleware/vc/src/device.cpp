// Device access: opening V4L2 nodes, retried requests, the one-purpose
// requests the ISP, encoder and decoder set-ups share, messages.
#include "kep_vc_lib.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

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

// The program's name as assertions give it: the last part of argv[0]. The
// kernel has it for any C library; the GNU name for it is an option that
// small C libraries are commonly built without, and the library would not
// even load there.
static void program_name(char *out, size_t size)
{
    out[0] = '\0';
    int fd = open("/proc/self/cmdline", O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return;
    ssize_t n = read(fd, out, size - 1);
    close(fd);
    out[n > 0 ? n : 0] = '\0'; // argv[0] ends at its NUL
    const char *slash = strrchr(out, '/');
    if (slash != nullptr)
        memmove(out, slash + 1, strlen(slash + 1) + 1);
}

void assert_fail(const char *expr, int line, const char *step)
{
    char name[256];
    program_name(name, sizeof name);
    fprintf(stderr, "%s: kep_vc_lib:%d: %s: Assertion `%s' failed.\n", name, line, step, expr);
    fflush(stderr);
    abort();
}

// The requests below report nothing themselves: every caller has its own
// messages.

int set_ctrl(int fd, uint32_t id, int32_t value)
{
    v4l2_control ctrl;
    memset(&ctrl, 0, sizeof(ctrl));
    ctrl.id = id;
    ctrl.value = value;
    return ioctl_retry(fd, abi::S_CTRL, &ctrl);
}

int set_time_per_frame(int fd, uint32_t type, uint32_t fps)
{
    abi::v4l2_streamparm_t parm;
    memset(&parm, 0, sizeof(parm));
    parm.type = type;
    // Capture and output parameters keep the time per frame at the same place.
    parm.parm.output.timeperframe.numerator = 1;
    parm.parm.output.timeperframe.denominator = fps;
    return ioctl_retry(fd, abi::S_PARM, &parm);
}

int set_pix_format(int fd, uint32_t type, uint32_t width, uint32_t height, uint32_t fourcc)
{
    abi::v4l2_format_t fmt;
    memset(&fmt, 0, sizeof(fmt));
    fmt.type = type;
    fmt.fmt.pix.width = width;
    fmt.fmt.pix.height = height;
    fmt.fmt.pix.pixelformat = fourcc;
    return ioctl_retry(fd, abi::S_FMT, &fmt);
}

int request_buffers(int fd, uint32_t type, uint32_t memory, uint32_t count, uint32_t *granted)
{
    v4l2_requestbuffers req;
    memset(&req, 0, sizeof(req));
    req.count = count;
    req.type = type;
    req.memory = memory;
    int r = ioctl_retry(fd, abi::REQBUFS, &req);
    *granted = req.count;
    return r;
}

MapResult map_buffer(int fd, uint32_t type, uint32_t index, kep_buffer *slot)
{
    abi::v4l2_buffer_t buf;
    memset(&buf, 0, sizeof(buf));
    buf.index = index;
    buf.type = type;
    buf.memory = abi::MEMORY_MMAP;
    if (ioctl_retry(fd, abi::QUERYBUF, &buf) == -1)
        return MapResult::query_failed;
    void *start = mmap(nullptr, buf.length, PROT_READ | PROT_WRITE, MAP_SHARED, fd, buf.m.offset);
    if (start == MAP_FAILED)
        return MapResult::mmap_failed;
    slot->start = start;
    slot->length = buf.length;
    return MapResult::mapped;
}

int unmap_buffers(kep_buffer *table, uint32_t count)
{
    for (uint32_t i = 0; i < count; ++i) {
        if (table[i].start && munmap(table[i].start, table[i].length) == -1) {
            fprintf(stderr, "munmap\n");
            return -1;
        }
        // Never unmapped twice, whatever the caller does after a failure.
        table[i].start = nullptr;
        table[i].length = 0;
    }
    return 0;
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
