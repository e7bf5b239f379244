// The virtual encoder node as a program sees it through raw requests: the
// user-pointer check, readiness, "nothing ready", the camera ABI, node-scoped
// faults and the /proc/codec entries.
#include "v4l2_abi.h"
#include "vcam.h"
#include "vcam_client.h"

#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/videodev2.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr uint32_t kS420 = v4l2_fourcc('S', '4', '2', '0');
constexpr unsigned kW = 160, kH = 120;
constexpr size_t kPicture = kW * kH * 3 / 2;

using vcam_test::buffer;
using vcam_test::configure;
using vcam_test::readable;
using vcam_test::request;
using vcam_test::set_format;

int stream_on(int fd, uint32_t type)
{
    return ioctl(fd, VIDIOC_STREAMON, &type);
}

// An encoder set up for user-pointer pictures, bit stream in one mapped
// buffer queued and streaming.
struct Encoder {
    Encoder()
    {
        fd = open("/dev/video1", O_RDWR);
        ok = fd >= 0 && set_format(fd, V4L2_BUF_TYPE_VIDEO_OUTPUT, kS420) == 0 &&
             set_format(fd, V4L2_BUF_TYPE_VIDEO_CAPTURE, v4l2_fourcc('H', '2', '6', '4')) == 0 &&
             request(fd, V4L2_BUF_TYPE_VIDEO_OUTPUT, V4L2_MEMORY_USERPTR, 2) == 2 &&
             request(fd, V4L2_BUF_TYPE_VIDEO_CAPTURE, V4L2_MEMORY_MMAP, 1) == 1;
        v4l2_buffer b = buffer(V4L2_BUF_TYPE_VIDEO_CAPTURE, V4L2_MEMORY_MMAP);
        ok = ok && ioctl(fd, VIDIOC_QBUF, &b) == 0 && stream_on(fd, V4L2_BUF_TYPE_VIDEO_OUTPUT) == 0 &&
             stream_on(fd, V4L2_BUF_TYPE_VIDEO_CAPTURE) == 0;
    }
    ~Encoder()
    {
        if (fd >= 0)
            close(fd);
    }
    int queue_picture(const void *p, size_t len)
    {
        v4l2_buffer b = buffer(V4L2_BUF_TYPE_VIDEO_OUTPUT, V4L2_MEMORY_USERPTR);
        b.m.userptr = reinterpret_cast<unsigned long>(p);
        b.length = static_cast<uint32_t>(len);
        return ioctl(fd, VIDIOC_QBUF, &b);
    }
    int fd = -1;
    bool ok = false;
};

// An ISP streaming memory-mapped buffers at a high rate, with one mapped.
struct Isp {
    Isp()
    {
        fd = open("/dev/video0", O_RDWR);
        v4l2_streamparm p;
        memset(&p, 0, sizeof p);
        p.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        p.parm.capture.timeperframe = v4l2_fract{1, 500};
        ok = fd >= 0 && ioctl(fd, VIDIOC_S_PARM, &p) == 0 &&
             set_format(fd, V4L2_BUF_TYPE_VIDEO_CAPTURE, kS420) == 0 &&
             request(fd, V4L2_BUF_TYPE_VIDEO_CAPTURE, V4L2_MEMORY_MMAP, 2) == 2;
        for (unsigned i = 0; ok && i < 2; ++i) {
            v4l2_buffer b = buffer(V4L2_BUF_TYPE_VIDEO_CAPTURE, V4L2_MEMORY_MMAP, i);
            ok = ioctl(fd, VIDIOC_QUERYBUF, &b) == 0;
            void *m = mmap(nullptr, b.length, PROT_READ | PROT_WRITE, MAP_SHARED, fd, b.m.offset);
            ok = ok && m != MAP_FAILED;
            maps.push_back(static_cast<uint8_t *>(m));
            length = b.length;
            ok = ok && ioctl(fd, VIDIOC_QBUF, &b) == 0;
        }
        ok = ok && stream_on(fd, V4L2_BUF_TYPE_VIDEO_CAPTURE) == 0;
    }
    ~Isp()
    {
        for (uint8_t *m : maps)
            munmap(m, length);
        if (fd >= 0)
            close(fd);
    }
    // Takes a frame; its index.
    int take()
    {
        v4l2_buffer b = buffer(V4L2_BUF_TYPE_VIDEO_CAPTURE, V4L2_MEMORY_MMAP);
        return ioctl(fd, VIDIOC_DQBUF, &b) == 0 ? static_cast<int>(b.index) : -1;
    }
    int fd = -1;
    bool ok = false;
    std::vector<uint8_t *> maps;
    size_t length = 0;
};

} // namespace

TEST(EncoderNode, ProcEntriesOnlyForConfiguredChannels)
{
    configure("--encoder /dev/video3");
    struct stat st;
    EXPECT_EQ(stat("/proc/codec/3_hd", &st), 0);
    EXPECT_EQ(stat("/proc/codec/3_jd", &st), 0);
    EXPECT_EQ(stat("/proc/codec/3_hs", &st), -1);
    EXPECT_EQ(stat("/proc/codec/1_hd", &st), -1) << "channel 1 is not configured";
    configure("--no-proc-codec");
    EXPECT_EQ(stat("/proc/codec/1_hd", &st), -1);
}

TEST(EncoderNode, PicturesMustBeIspBuffersTheProgramHolds)
{
    vcam_test::configure_lenient(""); // lends the encoder an ISP buffer still queued
    Isp isp;
    Encoder enc;
    ASSERT_TRUE(isp.ok && enc.ok);
    std::vector<uint8_t> own(kPicture);
    EXPECT_EQ(enc.queue_picture(own.data(), own.size()), -1) << "memory of the program's own";
    EXPECT_EQ(errno, EINVAL);
    int held = isp.take();
    ASSERT_GE(held, 0);
    EXPECT_EQ(enc.queue_picture(isp.maps[1 - held], isp.length), -1) << "a buffer queued in the ISP";
    EXPECT_EQ(enc.queue_picture(isp.maps[held] + 16, isp.length), -1) << "not the buffer's start";
    EXPECT_EQ(vcam_stat("enc.foreign"), 3);
    EXPECT_EQ(enc.queue_picture(isp.maps[held], isp.length), 0) << "the held ISP buffer";
    EXPECT_EQ(vcam_stat("enc.encoded"), 1);
    EXPECT_EQ(vcam_stat("copies"), 0);
}

TEST(EncoderNode, ReadableOnlyWhileABitStreamBufferIsDone)
{
    configure("");
    Isp isp;
    Encoder enc;
    ASSERT_TRUE(isp.ok && enc.ok);
    EXPECT_FALSE(readable(enc.fd));
    int held = isp.take();
    ASSERT_EQ(enc.queue_picture(isp.maps[held], isp.length), 0);
    EXPECT_TRUE(readable(enc.fd));
    v4l2_buffer b = buffer(V4L2_BUF_TYPE_VIDEO_CAPTURE, V4L2_MEMORY_MMAP);
    ASSERT_EQ(ioctl(enc.fd, VIDIOC_DQBUF, &b), 0);
    EXPECT_GT(b.bytesused, 0u);
    EXPECT_EQ(b.flags & (V4L2_BUF_FLAG_KEYFRAME | V4L2_BUF_FLAG_ERROR), 0x8u) << "the first frame is a key frame";
    EXPECT_EQ(b.flags & V4L2_BUF_FLAG_TIMESTAMP_MASK, static_cast<uint32_t>(V4L2_BUF_FLAG_TIMESTAMP_COPY))
        << "an M2M node's bit stream carries the picture's timestamp";
    EXPECT_FALSE(readable(enc.fd));
}

TEST(EncoderNode, NothingReadyIsEioBlockingAndEagainNonBlocking)
{
    configure("");
    Encoder enc;
    ASSERT_TRUE(enc.ok);
    v4l2_buffer b = buffer(V4L2_BUF_TYPE_VIDEO_CAPTURE, V4L2_MEMORY_MMAP);
    EXPECT_EQ(ioctl(enc.fd, VIDIOC_DQBUF, &b), -1);
    EXPECT_EQ(errno, EIO);
    ASSERT_EQ(fcntl(enc.fd, F_SETFL, O_NONBLOCK), 0);
    EXPECT_EQ(ioctl(enc.fd, VIDIOC_DQBUF, &b), -1);
    EXPECT_EQ(errno, EAGAIN);
}

TEST(EncoderNode, CameraDescriptorReachesTheSameQueue)
{
    vcam_test::configure_lenient(""); // queues a buffer already queued
    Encoder enc;
    ASSERT_TRUE(enc.ok);
    namespace cam = kep::abi::camera;
    cam::buffer b;
    memset(&b, 0, sizeof b);
    b.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    b.memory = V4L2_MEMORY_MMAP;
    ASSERT_EQ(ioctl(enc.fd, cam::QUERYBUF, &b), 0);
    EXPECT_GE(b.length, kW * kH * 2u);
    EXPECT_EQ(b.flags & V4L2_BUF_FLAG_QUEUED, static_cast<uint32_t>(V4L2_BUF_FLAG_QUEUED));
    EXPECT_EQ(ioctl(enc.fd, cam::QBUF, &b), -1) << "already queued";
    EXPECT_EQ(vcam_stat("abi.camera"), 2);
}

TEST(EncoderNode, NodeScopedFaultsSpareTheOtherNode)
{
    configure("--fail enc:QBUF:always:EIO");
    Isp isp; // its QBUFs go through
    ASSERT_TRUE(isp.ok);
    Encoder enc;
    EXPECT_FALSE(enc.ok) << "the encoder's bit-stream QBUF fails";
    EXPECT_EQ(vcam_stat("faults"), 1);
    EXPECT_EQ(vcam_configure("--fail dsp:QBUF"), -1) << "no such node";
    EXPECT_EQ(vcam_configure("--fail dec.out:QBUF"), 0) << "the decoder node has its scopes";
    EXPECT_EQ(vcam_configure("--fail enc.cap:DQBUF:once:EAGAIN"), 0);
}

TEST(EncoderNode, PlainCodecFramesPicturesWithoutCodingThem)
{
    configure("--plain-codec");
    Isp isp;
    Encoder enc;
    ASSERT_TRUE(isp.ok && enc.ok);
    v4l2_buffer q = buffer(V4L2_BUF_TYPE_VIDEO_CAPTURE, V4L2_MEMORY_MMAP);
    ASSERT_EQ(ioctl(enc.fd, VIDIOC_QUERYBUF, &q), 0);
    void *m = mmap(nullptr, q.length, PROT_READ, MAP_SHARED, enc.fd, q.m.offset);
    ASSERT_NE(m, MAP_FAILED);
    int held = isp.take();
    ASSERT_EQ(enc.queue_picture(isp.maps[held], isp.length), 0);
    v4l2_buffer b = buffer(V4L2_BUF_TYPE_VIDEO_CAPTURE, V4L2_MEMORY_MMAP);
    ASSERT_EQ(ioctl(enc.fd, VIDIOC_DQBUF, &b), 0);
    // SPS, PPS and an IDR slice header around 8 bytes that stand for the
    // picture, whatever the build's coding engine.
    const uint8_t head[] = {0, 0, 0, 1, 0x67, 0x42, 0x00, 0x1f, 0, 0, 0, 1, 0x68, 0xce, 0, 0, 0, 1, 0x65};
    ASSERT_EQ(b.bytesused, sizeof head + 8);
    EXPECT_EQ(memcmp(m, head, sizeof head), 0);
    munmap(m, q.length);
}
