// A small V4L2 client for the platform tests: the host kernel's ABI, every
// request checked, failures reported with the request's name.
#ifndef VCAM_CLIENT_H
#define VCAM_CLIENT_H

#include "vcam.h"

#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/videodev2.h>
#include <string.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/select.h>
#include <unistd.h>
#include <vector>

namespace vcam_test {

constexpr uint32_t kS420 = v4l2_fourcc('S', '4', '2', '0');
constexpr uint32_t kCapture = V4L2_BUF_TYPE_VIDEO_CAPTURE;

// A zeroed buffer descriptor naming one buffer of a queue.
inline v4l2_buffer buffer(uint32_t type, uint32_t memory, unsigned index = 0)
{
    v4l2_buffer b;
    memset(&b, 0, sizeof b);
    b.type = type;
    b.memory = memory;
    b.index = index;
    return b;
}

// errno of a request that was expected to fail, or 0 if it succeeded.
inline int error_of(int result)
{
    return result == -1 ? errno : 0;
}

struct Mapping {
    uint8_t *start = nullptr;
    size_t length = 0;
};

// One open of a node, closed when the test ends.
class Node {
public:
    explicit Node(const char *path = "/dev/video0", int flags = O_RDWR) { fd = open(path, flags); }
    ~Node()
    {
        for (Mapping &m : maps)
            munmap(m.start, m.length);
        if (fd >= 0)
            close(fd);
    }

    int fd = -1;
    std::vector<Mapping> maps;

    int set_format(unsigned w, unsigned h, v4l2_format *out = nullptr)
    {
        v4l2_format f;
        memset(&f, 0, sizeof f);
        f.type = kCapture;
        f.fmt.pix.width = w;
        f.fmt.pix.height = h;
        f.fmt.pix.pixelformat = kS420;
        f.fmt.pix.field = V4L2_FIELD_INTERLACED;
        int r = ioctl(fd, VIDIOC_S_FMT, &f);
        if (out != nullptr)
            *out = f;
        return r;
    }

    int set_fps(unsigned fps)
    {
        v4l2_streamparm p;
        memset(&p, 0, sizeof p);
        p.type = kCapture;
        p.parm.capture.timeperframe.numerator = 1;
        p.parm.capture.timeperframe.denominator = fps;
        return ioctl(fd, VIDIOC_S_PARM, &p);
    }

    // REQBUFS; returns the granted count, or -1.
    int request(unsigned count, uint32_t memory = V4L2_MEMORY_MMAP)
    {
        v4l2_requestbuffers rb;
        memset(&rb, 0, sizeof rb);
        rb.count = count;
        rb.type = kCapture;
        rb.memory = memory;
        if (ioctl(fd, VIDIOC_REQBUFS, &rb) != 0)
            return -1;
        return static_cast<int>(rb.count);
    }

    v4l2_buffer buffer(unsigned index, uint32_t memory = V4L2_MEMORY_MMAP)
    {
        return vcam_test::buffer(kCapture, memory, index);
    }

    // Sets w x h, requests `count` memory-mapped buffers, maps and queues
    // them all and starts streaming. Returns the granted count.
    int stream_mmap(unsigned w, unsigned h, unsigned count)
    {
        EXPECT_EQ(set_format(w, h), 0) << "VIDIOC_S_FMT: " << strerror(errno);
        int granted = request(count);
        EXPECT_GT(granted, 0) << "VIDIOC_REQBUFS: " << strerror(errno);
        for (int i = 0; i < granted; ++i) {
            v4l2_buffer b = buffer(static_cast<unsigned>(i));
            EXPECT_EQ(ioctl(fd, VIDIOC_QUERYBUF, &b), 0) << "VIDIOC_QUERYBUF: " << strerror(errno);
            void *p = mmap(nullptr, b.length, PROT_READ | PROT_WRITE, MAP_SHARED, fd, b.m.offset);
            EXPECT_NE(p, MAP_FAILED) << "mmap: " << strerror(errno);
            maps.push_back(Mapping{static_cast<uint8_t *>(p), b.length});
            EXPECT_EQ(ioctl(fd, VIDIOC_QBUF, &b), 0) << "VIDIOC_QBUF: " << strerror(errno);
        }
        EXPECT_EQ(stream_on(), 0) << "VIDIOC_STREAMON: " << strerror(errno);
        return granted;
    }

    int stream_on()
    {
        int type = kCapture;
        return ioctl(fd, VIDIOC_STREAMON, &type);
    }

    int stream_off()
    {
        int type = kCapture;
        return ioctl(fd, VIDIOC_STREAMOFF, &type);
    }

    int dequeue(v4l2_buffer &b, uint32_t memory = V4L2_MEMORY_MMAP)
    {
        b = buffer(0, memory);
        return ioctl(fd, VIDIOC_DQBUF, &b);
    }

    int requeue(v4l2_buffer &b) { return ioctl(fd, VIDIOC_QBUF, &b); }
};

// Raw requests on any node and queue: the M2M node tests drive two queues of
// one open, at their 160x120 picture size unless told otherwise.
inline bool readable(int fd)
{
    fd_set set;
    FD_ZERO(&set);
    FD_SET(fd, &set);
    timeval tv{0, 0};
    return select(fd + 1, &set, nullptr, nullptr, &tv) == 1;
}

inline int set_format(int fd, uint32_t type, uint32_t fourcc, unsigned w = 160, unsigned h = 120)
{
    v4l2_format f;
    memset(&f, 0, sizeof f);
    f.type = type;
    f.fmt.pix.width = w;
    f.fmt.pix.height = h;
    f.fmt.pix.pixelformat = fourcc;
    return ioctl(fd, VIDIOC_S_FMT, &f);
}

// REQBUFS: the granted count, or -1 with errno.
inline int request(int fd, uint32_t type, uint32_t memory, unsigned count)
{
    v4l2_requestbuffers rb;
    memset(&rb, 0, sizeof rb);
    rb.count = count;
    rb.type = type;
    rb.memory = memory;
    return ioctl(fd, VIDIOC_REQBUFS, &rb) == 0 ? static_cast<int>(rb.count) : -1;
}

// Configures the platform for one test case: strict, so that a broken
// buffer-ownership rule ends the test program with the platform's message.
inline void configure(const char *options)
{
    std::string strict = std::string("--strict ") + options;
    ASSERT_EQ(vcam_configure(strict.c_str()), 0) << "options: " << options;
}

// For a test that breaks an ownership rule on purpose: violations are only
// counted.
inline void configure_lenient(const char *options)
{
    ASSERT_EQ(vcam_configure(options), 0) << "options: " << options;
}

} // namespace vcam_test

#endif
