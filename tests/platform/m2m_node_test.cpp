// The codec driver's two M2M nodes side by side through raw requests: where
// they share their queue handling and where each keeps its own rules (which
// memory a queue takes, where its buffers map, what makes the node readable,
// which injected faults reach its dequeues).
#include "vcam_client.h"

#include <unistd.h>

using namespace vcam_test;

namespace {

constexpr uint32_t kOutput = V4L2_BUF_TYPE_VIDEO_OUTPUT;
constexpr uint32_t kH264 = v4l2_fourcc('H', '2', '6', '4');
constexpr unsigned kW = 160, kH = 120;
constexpr uint32_t kPicture = kW * kH * 3 / 2;
constexpr uint64_t kOutputBase = 0x40000000;
const char *const kEncoder = "/dev/video1";
const char *const kDecoder = "/dev/video2";

// The bit-stream buffer: room for a JPEG picture at the finest quality.
uint32_t bitstream_size()
{
    size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    return static_cast<uint32_t>((kW * kH * 2 + 65536 + page - 1) / page * page);
}

} // namespace

TEST(M2MNode, OnlyTheEncodersPictureQueueTakesUserPointers)
{
    configure("");
    Node enc(kEncoder), dec(kDecoder);
    ASSERT_GE(enc.fd, 0);
    ASSERT_GE(dec.fd, 0);
    EXPECT_EQ(request(enc.fd, kOutput, V4L2_MEMORY_USERPTR, 2), 2);
    EXPECT_EQ(request(enc.fd, kCapture, V4L2_MEMORY_USERPTR, 2), -1);
    EXPECT_EQ(errno, EINVAL) << "encoder bit stream by user pointer";
    EXPECT_EQ(request(dec.fd, kOutput, V4L2_MEMORY_USERPTR, 2), -1);
    EXPECT_EQ(errno, EINVAL) << "decoder bit stream by user pointer";
    EXPECT_EQ(request(dec.fd, kCapture, V4L2_MEMORY_USERPTR, 2), -1);
    EXPECT_EQ(errno, EINVAL) << "decoder pictures by user pointer";
    EXPECT_EQ(vcam_stat("dec.cap.REQBUFS.memory"), static_cast<long>(V4L2_MEMORY_USERPTR)) << "asked, then refused";
    EXPECT_EQ(vcam_stat("dec.cap.REQBUFS.granted"), -1) << "refused before any grant";
    EXPECT_EQ(request(dec.fd, kCapture, V4L2_MEMORY_MMAP, 2), 2);
    EXPECT_EQ(vcam_stat("dec.cap.REQBUFS.granted"), 2);
}

TEST(M2MNode, EachQueueMapsAtItsOwnOffsetsWithItsOwnSize)
{
    configure("");
    struct Case {
        const char *path;
        uint32_t out_fourcc, cap_fourcc, out_size, cap_size;
    } cases[] = {
        {kEncoder, kS420, kH264, kPicture, bitstream_size()},
        {kDecoder, kH264, kS420, bitstream_size(), kPicture},
    };
    for (const Case &c : cases) {
        Node node(c.path);
        ASSERT_GE(node.fd, 0);
        ASSERT_EQ(set_format(node.fd, kOutput, c.out_fourcc), 0) << c.path;
        ASSERT_EQ(set_format(node.fd, kCapture, c.cap_fourcc), 0) << c.path;
        ASSERT_EQ(request(node.fd, kOutput, V4L2_MEMORY_MMAP, 2), 2) << c.path;
        ASSERT_EQ(request(node.fd, kCapture, V4L2_MEMORY_MMAP, 2), 2) << c.path;
        size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
        for (uint32_t type : {kOutput, kCapture}) {
            uint32_t size = type == kOutput ? c.out_size : c.cap_size;
            uint64_t stride = (size + page - 1) / page * page;
            uint64_t base = type == kOutput ? kOutputBase : 0;
            for (unsigned i = 0; i < 2; ++i) {
                v4l2_buffer b = buffer(type, V4L2_MEMORY_MMAP, i);
                ASSERT_EQ(ioctl(node.fd, VIDIOC_QUERYBUF, &b), 0) << c.path;
                EXPECT_EQ(b.m.offset, base + i * stride) << c.path << " type " << type << " buffer " << i;
                EXPECT_EQ(b.length, size) << c.path << " type " << type;
                EXPECT_EQ(b.flags, static_cast<uint32_t>(V4L2_BUF_FLAG_TIMESTAMP_COPY)) << c.path;
                void *m = mmap(nullptr, b.length, PROT_READ | PROT_WRITE, MAP_SHARED, node.fd, b.m.offset);
                ASSERT_NE(m, MAP_FAILED) << c.path << " type " << type << " buffer " << i;
                ASSERT_EQ(ioctl(node.fd, VIDIOC_QUERYBUF, &b), 0) << c.path;
                EXPECT_EQ(b.flags & V4L2_BUF_FLAG_MAPPED, static_cast<uint32_t>(V4L2_BUF_FLAG_MAPPED))
                    << c.path << ": mapped now";
                munmap(m, b.length);
            }
            void *m = mmap(nullptr, page, PROT_READ, MAP_SHARED, node.fd, static_cast<off_t>(base + 2 * stride));
            EXPECT_EQ(m, MAP_FAILED) << c.path << " past the last buffer";
        }
    }
}

// The decoder's wait must end after a frame that gave no picture too, so it
// stays readable while a bit-stream buffer is done; the encoder's only while
// a bit-stream buffer (its capture queue) is.
TEST(M2MNode, DecoderIsReadableWhileAnyBufferIsDone)
{
    configure("");
    Node dec(kDecoder);
    ASSERT_GE(dec.fd, 0);
    ASSERT_EQ(set_format(dec.fd, kOutput, kH264), 0);
    ASSERT_EQ(set_format(dec.fd, kCapture, kS420), 0);
    ASSERT_EQ(request(dec.fd, kOutput, V4L2_MEMORY_MMAP, 1), 1);
    ASSERT_EQ(request(dec.fd, kCapture, V4L2_MEMORY_MMAP, 1), 1);
    v4l2_buffer b = buffer(kCapture, V4L2_MEMORY_MMAP);
    ASSERT_EQ(ioctl(dec.fd, VIDIOC_QBUF, &b), 0);
    uint32_t type = kOutput;
    ASSERT_EQ(ioctl(dec.fd, VIDIOC_STREAMON, &type), 0);
    type = kCapture;
    ASSERT_EQ(ioctl(dec.fd, VIDIOC_STREAMON, &type), 0);
    EXPECT_FALSE(readable(dec.fd));
    b = buffer(kOutput, V4L2_MEMORY_MMAP);
    b.bytesused = 0; // an empty frame: decoded as an error
    ASSERT_EQ(ioctl(dec.fd, VIDIOC_QBUF, &b), 0);
    EXPECT_TRUE(readable(dec.fd));
    b = buffer(kCapture, V4L2_MEMORY_MMAP);
    ASSERT_EQ(ioctl(dec.fd, VIDIOC_DQBUF, &b), 0);
    EXPECT_EQ(b.flags & 0x40u, 0x40u) << "the picture buffer comes back marked as an error";
    EXPECT_EQ(vcam_stat("dec.errors"), 1);
    EXPECT_TRUE(readable(dec.fd)) << "the bit-stream buffer is still done";
    b = buffer(kOutput, V4L2_MEMORY_MMAP);
    ASSERT_EQ(ioctl(dec.fd, VIDIOC_DQBUF, &b), 0);
    EXPECT_FALSE(readable(dec.fd));
    EXPECT_EQ(vcam_stat("dec.frames"), 1) << "only picture dequeues count as frames";
}

TEST(M2MNode, InjectedEmptyDequeuesReachTheDecoderNotTheEncoder)
{
    configure("--eagain 1");
    Node enc(kEncoder), dec(kDecoder);
    ASSERT_GE(enc.fd, 0);
    ASSERT_GE(dec.fd, 0);
    ASSERT_EQ(request(enc.fd, kCapture, V4L2_MEMORY_MMAP, 1), 1);
    ASSERT_EQ(request(dec.fd, kCapture, V4L2_MEMORY_MMAP, 1), 1);
    uint32_t type = kCapture;
    ASSERT_EQ(ioctl(enc.fd, VIDIOC_STREAMON, &type), 0);
    ASSERT_EQ(ioctl(dec.fd, VIDIOC_STREAMON, &type), 0);
    v4l2_buffer b = buffer(kCapture, V4L2_MEMORY_MMAP);
    EXPECT_EQ(error_of(ioctl(enc.fd, VIDIOC_DQBUF, &b)), EIO) << "nothing done: the encoder ignores --eagain";
    EXPECT_EQ(vcam_stat("eagain"), 0);
    EXPECT_EQ(error_of(ioctl(dec.fd, VIDIOC_DQBUF, &b)), EAGAIN);
    EXPECT_EQ(vcam_stat("eagain"), 1);
    EXPECT_EQ(error_of(ioctl(dec.fd, VIDIOC_DQBUF, &b)), EIO) << "the injected one used up";
}
