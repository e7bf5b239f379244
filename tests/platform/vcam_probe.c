/* A small V4L2 client for the launcher tests: streams a few memory-mapped
 * frames from a capture node and exits with the status it is given.
 * Usage: vcam_probe PATH FRAMES STATUS */
#include <errno.h>
#include <fcntl.h>
#include <linux/videodev2.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

static int fail(const char *what)
{
    fprintf(stderr, "probe: %s: %s\n", what, strerror(errno));
    return 3;
}

int main(int argc, char **argv)
{
    if (argc != 4)
        return 2;
    const char *path = argv[1];
    int frames = atoi(argv[2]);
    struct stat st;
    if (stat(path, &st) != 0)
        return fail("stat");
    printf("%s is %s\n", path, S_ISCHR(st.st_mode) ? "a character device" : "no device");
    int fd = open(path, O_RDWR);
    if (fd < 0)
        return fail("open");
    struct v4l2_capability cap;
    memset(&cap, 0, sizeof cap);
    if (ioctl(fd, VIDIOC_QUERYCAP, &cap) != 0)
        return fail("VIDIOC_QUERYCAP");
    printf("driver %s\n", (const char *)cap.driver);
    struct v4l2_format fmt;
    memset(&fmt, 0, sizeof fmt);
    fmt.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    fmt.fmt.pix.width = 320;
    fmt.fmt.pix.height = 240;
    fmt.fmt.pix.pixelformat = v4l2_fourcc('S', '4', '2', '0');
    if (ioctl(fd, VIDIOC_S_FMT, &fmt) != 0)
        return fail("VIDIOC_S_FMT");
    struct v4l2_requestbuffers rb;
    memset(&rb, 0, sizeof rb);
    rb.count = 2;
    rb.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    rb.memory = V4L2_MEMORY_MMAP;
    if (ioctl(fd, VIDIOC_REQBUFS, &rb) != 0)
        return fail("VIDIOC_REQBUFS");
    void *maps[16];
    size_t lens[16];
    for (unsigned i = 0; i < rb.count && i < 16; ++i) {
        struct v4l2_buffer b;
        memset(&b, 0, sizeof b);
        b.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        b.memory = V4L2_MEMORY_MMAP;
        b.index = i;
        if (ioctl(fd, VIDIOC_QUERYBUF, &b) != 0)
            return fail("VIDIOC_QUERYBUF");
        lens[i] = b.length;
        maps[i] = mmap(NULL, b.length, PROT_READ | PROT_WRITE, MAP_SHARED, fd, b.m.offset);
        if (maps[i] == MAP_FAILED)
            return fail("mmap");
        if (ioctl(fd, VIDIOC_QBUF, &b) != 0)
            return fail("VIDIOC_QBUF");
    }
    int type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    if (ioctl(fd, VIDIOC_STREAMON, &type) != 0)
        return fail("VIDIOC_STREAMON");
    for (int n = 0; n < frames; ++n) {
        struct v4l2_buffer b;
        memset(&b, 0, sizeof b);
        b.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        b.memory = V4L2_MEMORY_MMAP;
        if (ioctl(fd, VIDIOC_DQBUF, &b) != 0)
            return fail("VIDIOC_DQBUF");
        printf("frame %u in buffer %u\n", b.sequence, b.index);
        if (ioctl(fd, VIDIOC_QBUF, &b) != 0)
            return fail("VIDIOC_QBUF");
    }
    if (ioctl(fd, VIDIOC_STREAMOFF, &type) != 0)
        return fail("VIDIOC_STREAMOFF");
    for (unsigned i = 0; i < rb.count && i < 16; ++i)
        munmap(maps[i], lens[i]);
    close(fd);
    return atoi(argv[3]);
}
