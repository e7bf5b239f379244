// The ISP node as a program sees it through the C library: paths, requests,
// buffers, frames and readiness.
#include "scene.h"
#include "v4l2_abi.h"
#include "vcam_client.h"

#include <sys/select.h>
#include <sys/wait.h>
#include <sys/stat.h>

using namespace vcam_test;

namespace {

long counter_in(const uint8_t *picture, unsigned w, unsigned h)
{
    vcam::Scene scene;
    scene.set_size(w, h);
    return scene.read_counter(picture);
}

bool readable(int fd, int timeout_ms)
{
    fd_set set;
    FD_ZERO(&set);
    FD_SET(fd, &set);
    timeval tv{timeout_ms / 1000, (timeout_ms % 1000) * 1000};
    return select(fd + 1, &set, nullptr, nullptr, &tv) == 1;
}

} // namespace

TEST(VcamNode, NodePathStatsAsCharacterDevice)
{
    configure("--isp /dev/vcam-test0");
    struct stat st;
    ASSERT_EQ(stat("/dev/vcam-test0", &st), 0) << strerror(errno);
    EXPECT_TRUE(S_ISCHR(st.st_mode));
    EXPECT_EQ(vcam_stat("stat"), 1);

    Node node("/dev/vcam-test0");
    ASSERT_GE(node.fd, 0) << strerror(errno);
    ASSERT_EQ(fstat(node.fd, &st), 0);
    EXPECT_TRUE(S_ISCHR(st.st_mode)) << "fstat of the node's descriptor";
    EXPECT_EQ(vcam_stat("open"), 1);
}

TEST(VcamNode, PathsThatAreNoNodePassThrough)
{
    configure("--isp /dev/vcam-test0");
    struct stat st;
    EXPECT_EQ(stat("/dev/vcam-test1", &st), -1);
    EXPECT_EQ(errno, ENOENT);
    int fd = open("/dev/null", O_RDONLY);
    ASSERT_GE(fd, 0);
    char c;
    EXPECT_EQ(read(fd, &c, 1), 0) << "read() of /dev/null goes to the real device";
    close(fd);
    EXPECT_EQ(vcam_stat("open"), 0);
    EXPECT_EQ(vcam_stat("read"), 0);
}

TEST(VcamNode, QueryCapReportsCaptureStreamingAndRead)
{
    configure("");
    Node node;
    v4l2_capability cap;
    ASSERT_EQ(ioctl(node.fd, VIDIOC_QUERYCAP, &cap), 0);
    EXPECT_STREQ(reinterpret_cast<const char *>(cap.driver), "vcam");
    EXPECT_EQ(cap.device_caps,
              V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_STREAMING | V4L2_CAP_READWRITE | V4L2_CAP_EXT_PIX_FORMAT);
    EXPECT_EQ(cap.capabilities, cap.device_caps | V4L2_CAP_DEVICE_CAPS);
    EXPECT_EQ(vcam_stat("VIDIOC_QUERYCAP"), 1);
}

TEST(VcamNode, CapabilityOptionsDropTheirBits)
{
    configure("--no-streaming --no-read");
    Node node;
    v4l2_capability cap;
    ASSERT_EQ(ioctl(node.fd, VIDIOC_QUERYCAP, &cap), 0);
    EXPECT_EQ(cap.device_caps & ~V4L2_CAP_EXT_PIX_FORMAT, V4L2_CAP_VIDEO_CAPTURE);
    EXPECT_EQ(node.request(2), -1) << "no streaming, no buffers";

    configure("--no-capture");
    Node other;
    ASSERT_EQ(ioctl(other.fd, VIDIOC_QUERYCAP, &cap), 0);
    EXPECT_EQ(cap.device_caps & ~V4L2_CAP_EXT_PIX_FORMAT, V4L2_CAP_STREAMING | V4L2_CAP_READWRITE);
}

TEST(VcamNode, SetFormatRoundsToEvenAndReportsS420Sizes)
{
    configure("");
    Node node;
    v4l2_format f;
    ASSERT_EQ(node.set_format(641, 479, &f), 0);
    EXPECT_EQ(f.fmt.pix.width, 640u);
    EXPECT_EQ(f.fmt.pix.height, 478u);
    EXPECT_EQ(f.fmt.pix.pixelformat, kS420);
    EXPECT_EQ(f.fmt.pix.bytesperline, 640u);
    EXPECT_EQ(f.fmt.pix.sizeimage, 640u * 478u * 3u / 2u);
    EXPECT_EQ(vcam_stat("S_FMT.width"), 641) << "the statistics keep what was asked";
    EXPECT_EQ(vcam_stat("S_FMT.accepted_width"), 640);
}

TEST(VcamNode, SizeOptionAdjustsTheFormat)
{
    configure("--size 640x360");
    Node node;
    v4l2_format f;
    ASSERT_EQ(node.set_format(1280, 720, &f), 0);
    EXPECT_EQ(f.fmt.pix.width, 640u);
    EXPECT_EQ(f.fmt.pix.height, 360u);
    EXPECT_EQ(f.fmt.pix.sizeimage, 640u * 360u * 3u / 2u);
}

TEST(VcamNode, ZeroSizesOptionReportsZeroLineAndImageSize)
{
    configure("--zero-sizes");
    Node node;
    v4l2_format f;
    ASSERT_EQ(node.set_format(1280, 720, &f), 0);
    EXPECT_EQ(f.fmt.pix.width, 1280u);
    EXPECT_EQ(f.fmt.pix.bytesperline, 0u);
    EXPECT_EQ(f.fmt.pix.sizeimage, 0u);
}

TEST(VcamNode, RequestBuffersGrantsWhatWasAskedUpTo16)
{
    configure("");
    Node node;
    ASSERT_EQ(node.set_format(64, 48), 0);
    EXPECT_EQ(node.request(4), 4);
    EXPECT_EQ(node.request(40), 16);
    EXPECT_EQ(vcam_stat("REQBUFS.count"), 40);
    EXPECT_EQ(vcam_stat("REQBUFS.granted"), 16);
    EXPECT_EQ(node.request(0), 0) << "count 0 frees the buffers";
}

TEST(VcamNode, GrantOptionOverridesTheCount)
{
    configure("--grant 1");
    Node node;
    EXPECT_EQ(node.request(2), 1);
    EXPECT_EQ(node.request(3, V4L2_MEMORY_USERPTR), 1);
    EXPECT_EQ(vcam_stat("REQBUFS.granted"), 1);
}

TEST(VcamNode, FormatCannotChangeWhileBuffersExist)
{
    configure("");
    Node node;
    ASSERT_EQ(node.request(2), 2);
    EXPECT_EQ(error_of(node.set_format(320, 240)), EBUSY);
}

TEST(VcamNode, MmapBuffersHoldTheNumberedScene)
{
    configure("--fps 100");
    Node node;
    ASSERT_EQ(node.stream_mmap(320, 240, 3), 3);
    long previous = -1;
    for (int n = 0; n < 5; ++n) {
        v4l2_buffer b;
        ASSERT_EQ(node.dequeue(b), 0) << strerror(errno);
        ASSERT_LT(b.index, 3u);
        EXPECT_EQ(b.bytesused, 320u * 240u * 3u / 2u);
        long counter = counter_in(node.maps[b.index].start, 320, 240);
        EXPECT_EQ(counter, static_cast<long>(b.sequence)) << "the picture shows its own frame number";
        EXPECT_GT(counter, previous);
        previous = counter;
        ASSERT_EQ(node.requeue(b), 0);
    }
    EXPECT_EQ(vcam_stat("frames"), 5);
    EXPECT_EQ(vcam_stat("copies"), 0) << "memory-mapped frames are never copied";
    EXPECT_EQ(vcam_stat("mmap"), 3);
}

TEST(VcamNode, SelectTurnsReadableWhenAFrameIsDue)
{
    // A long first period, so that a busy machine still checks before it ends.
    configure("--fps 4");
    Node node;
    ASSERT_EQ(node.stream_mmap(64, 48, 2), 2);
    ASSERT_EQ(fcntl(node.fd, F_SETFL, fcntl(node.fd, F_GETFL) | O_NONBLOCK), 0);
    v4l2_buffer b;
    // Nothing is produced before the first frame period has passed.
    EXPECT_FALSE(readable(node.fd, 0));
    EXPECT_EQ(error_of(node.dequeue(b)), EAGAIN);
    ASSERT_TRUE(readable(node.fd, 5000));
    ASSERT_EQ(node.dequeue(b), 0) << strerror(errno);
    EXPECT_EQ(b.sequence, 0u);
    EXPECT_FALSE(readable(node.fd, 0)) << "readiness ends with the last done buffer";
}

TEST(VcamNode, FramesArePacedAtTheRequestedRate)
{
    configure("--fps 5");
    Node node;
    ASSERT_EQ(node.set_fps(25), 0) << "S_PARM overrides --fps";
    ASSERT_EQ(node.stream_mmap(64, 48, 4), 4);
    // QBUF answers with the buffer as queued (no timestamp, no sequence), so
    // the dequeued descriptors are kept apart.
    v4l2_buffer first, b, q;
    ASSERT_EQ(node.dequeue(first), 0);
    q = first;
    ASSERT_EQ(node.requeue(q), 0);
    for (int n = 0; n < 6; ++n) {
        ASSERT_EQ(node.dequeue(b), 0);
        q = b;
        ASSERT_EQ(node.requeue(q), 0);
    }
    // Timestamps come from the platform's clock: frame k is due one period
    // after frame k-1, never earlier (a slow host can only make it later).
    double seconds = static_cast<double>(b.timestamp.tv_sec - first.timestamp.tv_sec) +
                     static_cast<double>(b.timestamp.tv_usec - first.timestamp.tv_usec) / 1e6;
    unsigned frames = b.sequence - first.sequence;
    EXPECT_GE(frames, 6u);
    EXPECT_GE(seconds, frames * 0.040 * 0.9) << frames << " frames in " << seconds << " s";
    EXPECT_EQ(b.flags & V4L2_BUF_FLAG_TIMESTAMP_MASK, static_cast<uint32_t>(V4L2_BUF_FLAG_TIMESTAMP_MONOTONIC));
}

TEST(VcamNode, StreamOffHandsEveryBufferBack)
{
    configure("--fps 200");
    Node node;
    ASSERT_EQ(node.stream_mmap(64, 48, 2), 2);
    ASSERT_TRUE(readable(node.fd, 5000));
    ASSERT_EQ(node.stream_off(), 0);
    v4l2_buffer b = node.buffer(0);
    ASSERT_EQ(ioctl(node.fd, VIDIOC_QUERYBUF, &b), 0);
    EXPECT_EQ(b.flags & (V4L2_BUF_FLAG_QUEUED | V4L2_BUF_FLAG_DONE), 0u);
    EXPECT_EQ(error_of(node.dequeue(b)), EINVAL) << "no dequeue after streaming off";
    EXPECT_FALSE(readable(node.fd, 0));
}

TEST(VcamNode, ReadDeliversOneWholeFrameAndCountsTheCopy)
{
    configure("--fps 100");
    Node node;
    ASSERT_EQ(node.set_format(320, 240), 0);
    const size_t size = 320 * 240 * 3 / 2;
    std::vector<uint8_t> frame(size + 100);
    ASSERT_EQ(read(node.fd, frame.data(), frame.size()), static_cast<ssize_t>(size));
    long first = counter_in(frame.data(), 320, 240);
    EXPECT_GE(first, 0);
    ASSERT_EQ(read(node.fd, frame.data(), size), static_cast<ssize_t>(size));
    EXPECT_GT(counter_in(frame.data(), 320, 240), first) << "each read brings a newer frame";
    EXPECT_EQ(vcam_stat("copies"), static_cast<long>(2 * size));
    EXPECT_EQ(vcam_stat("frames"), 2);
}

TEST(VcamNode, UserPointerDequeueCopiesThePictureIn)
{
    configure("--fps 100");
    Node node;
    ASSERT_EQ(node.set_format(320, 240), 0);
    ASSERT_EQ(node.request(2, V4L2_MEMORY_USERPTR), 2);
    const size_t size = 320 * 240 * 3 / 2;
    std::vector<std::vector<uint8_t>> bufs(2, std::vector<uint8_t>(size));
    for (unsigned i = 0; i < 2; ++i) {
        v4l2_buffer b = node.buffer(i, V4L2_MEMORY_USERPTR);
        b.m.userptr = reinterpret_cast<unsigned long>(bufs[i].data());
        b.length = static_cast<uint32_t>(size);
        ASSERT_EQ(node.requeue(b), 0) << strerror(errno);
    }
    ASSERT_EQ(node.stream_on(), 0);
    v4l2_buffer b;
    ASSERT_EQ(node.dequeue(b, V4L2_MEMORY_USERPTR), 0) << strerror(errno);
    ASSERT_LT(b.index, 2u);
    EXPECT_EQ(b.m.userptr, reinterpret_cast<unsigned long>(bufs[b.index].data()));
    EXPECT_EQ(counter_in(bufs[b.index].data(), 320, 240), static_cast<long>(b.sequence));
    EXPECT_EQ(vcam_stat("copies"), static_cast<long>(size));
}

TEST(VcamNode, UserPointerBufferTooSmallForTheFrameIsRefused)
{
    configure("");
    Node node;
    ASSERT_EQ(node.set_format(320, 240), 0);
    ASSERT_EQ(node.request(1, V4L2_MEMORY_USERPTR), 1);
    std::vector<uint8_t> small(1000);
    v4l2_buffer b = node.buffer(0, V4L2_MEMORY_USERPTR);
    b.m.userptr = reinterpret_cast<unsigned long>(small.data());
    b.length = 1000;
    EXPECT_EQ(error_of(node.requeue(b)), EINVAL);
}

TEST(VcamNode, DuplicatedDescriptorKeepsTheNodeOpen)
{
    configure("");
    Node node;
    int copy = dup(node.fd);
    ASSERT_GE(copy, 0);
    close(node.fd);
    node.fd = copy;
    v4l2_capability cap;
    EXPECT_EQ(ioctl(copy, VIDIOC_QUERYCAP, &cap), 0) << "the dup still reaches the node";
}

TEST(VcamNode, CameraAndHostDescriptorsReachTheSameBuffers)
{
    namespace cam = kep::abi::camera;
    configure("--fps 100");
    Node node;
    cam::format f;
    memset(&f, 0, sizeof f);
    f.type = kCapture;
    f.fmt.pix.width = 320;
    f.fmt.pix.height = 240;
    f.fmt.pix.pixelformat = kS420;
    ASSERT_EQ(ioctl(node.fd, cam::S_FMT, &f), 0) << "the camera's 204-byte format";
    EXPECT_EQ(f.fmt.pix.sizeimage, 320u * 240u * 3u / 2u);
    ASSERT_EQ(node.request(2), 2);
    for (unsigned i = 0; i < 2; ++i) {
        cam::buffer b;
        memset(&b, 0, sizeof b);
        b.type = kCapture;
        b.memory = V4L2_MEMORY_MMAP;
        b.index = i;
        ASSERT_EQ(ioctl(node.fd, cam::QUERYBUF, &b), 0);
        EXPECT_EQ(b.length, 320u * 240u * 3u / 2u);
        void *p = mmap(nullptr, b.length, PROT_READ, MAP_SHARED, node.fd, b.m.offset);
        ASSERT_NE(p, MAP_FAILED);
        node.maps.push_back(Mapping{static_cast<uint8_t *>(p), b.length});
        ASSERT_EQ(ioctl(node.fd, cam::QBUF, &b), 0);
    }
    ASSERT_EQ(node.stream_on(), 0);
    cam::buffer b;
    memset(&b, 0, sizeof b);
    b.type = kCapture;
    b.memory = V4L2_MEMORY_MMAP;
    ASSERT_EQ(ioctl(node.fd, cam::DQBUF, &b), 0) << "the camera's 92-byte descriptor";
    ASSERT_LT(b.index, 2u);
    EXPECT_EQ(counter_in(node.maps[b.index].start, 320, 240), static_cast<long>(b.sequence));
    for (size_t i = 0; i < sizeof b.camera_private; ++i)
        ASSERT_EQ(b.camera_private[i], 0) << "bytes past the standard fields stay zero";
    // The host layout dequeues from the same queue.
    v4l2_buffer hb = node.buffer(b.index);
    hb.index = b.index;
    ASSERT_EQ(node.requeue(hb), 0);
    ASSERT_EQ(node.dequeue(hb), 0);
    EXPECT_EQ(vcam_stat("abi.camera"), 5);
    EXPECT_EQ(vcam_stat("abi.host"), 2);
}

TEST(VcamNode, UnknownRequestsAndSizesAreRefused)
{
    configure("");
    Node node;
    char junk[300] = {};
    EXPECT_EQ(error_of(ioctl(node.fd, _IOWR('V', 15, char[77]), junk)), ENOTTY) << "QBUF of an unknown size";
    EXPECT_EQ(error_of(ioctl(node.fd, _IOWR('V', 99, int), junk)), ENOTTY);
    EXPECT_EQ(error_of(ioctl(node.fd, _IOR('V', 0, char[64]), junk)), ENOTTY) << "QUERYCAP of another size";
    EXPECT_EQ(vcam_stat("VIDIOC_unknown"), 3) << "a known number with another size is no request either";
}

TEST(VcamNode, IspWaitFrameFollowsTheStream)
{
    configure("--fps 100");
    const unsigned char *luma = nullptr;
    unsigned w = 0, h = 0;
    unsigned long long seq = 0;
    EXPECT_EQ(vcam_isp_wait_frame(0, 10, &luma, &w, &h, &seq), -1) << "no ISP streams yet";
    Node node;
    ASSERT_EQ(node.stream_mmap(320, 240, 2), 2);
    ASSERT_EQ(vcam_isp_wait_frame(0, 5000, &luma, &w, &h, &seq), 0);
    EXPECT_EQ(w, 320u);
    EXPECT_EQ(h, 240u);
    EXPECT_GE(seq, 1u);
    EXPECT_GE(counter_in(luma, w, h), 0) << "the luma plane holds the scene";
    unsigned long long before = seq;
    ASSERT_EQ(vcam_isp_wait_frame(before, 5000, &luma, &w, &h, &seq), 0);
    EXPECT_GT(seq, before);
    ASSERT_EQ(node.stream_off(), 0);
    EXPECT_EQ(vcam_isp_wait_frame(seq, 10, &luma, &w, &h, &seq), -1);
}

TEST(VcamNode, IspWaitFrameTimesOutBetweenSlowFrames)
{
    configure("--fps 1");
    Node node;
    ASSERT_EQ(node.stream_mmap(64, 48, 2), 2);
    const unsigned char *luma = nullptr;
    unsigned w = 0, h = 0;
    unsigned long long seq = 0;
    EXPECT_EQ(vcam_isp_wait_frame(0, 20, &luma, &w, &h, &seq), 1);
}

TEST(VcamNode, ForkedChildKeepsTheStreamGoing)
{
#if defined(KEP_TEST_UNDER_EMULATOR)
    GTEST_SKIP() << "qemu-user cannot start threads in a child forked from a threaded process";
#endif
    configure("--fps 100");
    Node node;
    ASSERT_EQ(node.stream_mmap(64, 48, 2), 2);
    v4l2_buffer b;
    ASSERT_EQ(node.dequeue(b), 0);
    ASSERT_EQ(node.requeue(b), 0);
    pid_t pid = fork();
    if (pid == 0) {
        // Only this thread lives on in the child; frames must keep coming.
        alarm(20);
        for (int n = 0; n < 3; ++n)
            if (node.dequeue(b) != 0 || node.requeue(b) != 0)
                _exit(1);
        _exit(0);
    }
    ASSERT_GT(pid, 0);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child status " << status;
    ASSERT_EQ(node.dequeue(b), 0) << "the parent streams on";
}

TEST(VcamStats, TextListsEveryCounterAsNameAndValue)
{
    configure("");
    {
        Node node;
        v4l2_capability cap;
        ASSERT_EQ(ioctl(node.fd, VIDIOC_QUERYCAP, &cap), 0);
    }
    char text[8192];
    int len = vcam_stats_format(text, sizeof text);
    ASSERT_GT(len, 0);
    ASSERT_LT(len, static_cast<int>(sizeof text));
    EXPECT_NE(strstr(text, "VIDIOC_QUERYCAP 1\n"), nullptr) << text;
    EXPECT_NE(strstr(text, "open 1\n"), nullptr) << text;
    EXPECT_NE(strstr(text, "close 1\n"), nullptr) << text;
    char small[8];
    EXPECT_EQ(vcam_stats_format(small, sizeof small), len) << "the whole length, like snprintf";
    EXPECT_EQ(strlen(small), sizeof small - 1);
    EXPECT_EQ(vcam_stat("no such counter"), -1);
}

TEST(VcamStats, ConfigureResetsTheCounters)
{
    configure("");
    {
        Node node;
    }
    EXPECT_EQ(vcam_stat("open"), 1);
    configure("");
    EXPECT_EQ(vcam_stat("open"), 0);
}
