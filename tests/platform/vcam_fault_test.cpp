// Fault options as a program meets them: failing requests and calls, EINTR,
// EAGAIN, missing crop support, stray indices and user pointers.
#include "vcam_client.h"

#include <string>

using namespace vcam_test;

namespace {

struct Request {
    const char *name;
    unsigned long code;
};

const Request kRequests[] = {
    {"QUERYCAP", VIDIOC_QUERYCAP}, {"CROPCAP", VIDIOC_CROPCAP},   {"S_CROP", VIDIOC_S_CROP},
    {"G_PARM", VIDIOC_G_PARM},     {"S_PARM", VIDIOC_S_PARM},     {"S_FMT", VIDIOC_S_FMT},
    {"REQBUFS", VIDIOC_REQBUFS},   {"QUERYBUF", VIDIOC_QUERYBUF}, {"QBUF", VIDIOC_QBUF},
    {"DQBUF", VIDIOC_DQBUF},       {"STREAMON", VIDIOC_STREAMON}, {"STREAMOFF", VIDIOC_STREAMOFF},
    {"S_CTRL", VIDIOC_S_CTRL},
};

void PrintTo(const Request &r, std::ostream *os)
{
    *os << r.name;
}

class VcamFailRequest : public ::testing::TestWithParam<Request> {};

} // namespace

TEST_P(VcamFailRequest, AlwaysFailsWithTheChosenErrno)
{
    const Request &r = GetParam();
    configure(("--fail " + std::string(r.name) + ":always:EIO").c_str());
    Node node;
    ASSERT_GE(node.fd, 0);
    alignas(8) unsigned char arg[512] = {};
    EXPECT_EQ(error_of(ioctl(node.fd, r.code, arg)), EIO) << r.name << " first time";
    EXPECT_EQ(error_of(ioctl(node.fd, r.code, arg)), EIO) << r.name << " second time";
    EXPECT_EQ(vcam_stat(("VIDIOC_" + std::string(r.name)).c_str()), 2);
    EXPECT_EQ(vcam_stat("faults"), 2);
}

INSTANTIATE_TEST_SUITE_P(EveryRequest, VcamFailRequest, ::testing::ValuesIn(kRequests),
                         [](const ::testing::TestParamInfo<Request> &info) { return std::string(info.param.name); });

TEST(VcamFault, FailWithoutModeFailsOnceWithEinval)
{
    configure("--fail S_CROP");
    Node node;
    v4l2_crop crop;
    memset(&crop, 0, sizeof crop);
    crop.type = kCapture;
    crop.c = v4l2_rect{0, 0, 640, 480};
    EXPECT_EQ(error_of(ioctl(node.fd, VIDIOC_S_CROP, &crop)), EINVAL);
    EXPECT_EQ(ioctl(node.fd, VIDIOC_S_CROP, &crop), 0) << "once means once";
    EXPECT_EQ(vcam_stat("S_CROP.width"), 640);
}

TEST(VcamFault, OpenFailsOnceWithTheChosenErrno)
{
    configure("--fail open:once:EBUSY");
    Node first;
    EXPECT_EQ(first.fd, -1);
    EXPECT_EQ(errno, EBUSY);
    Node second;
    EXPECT_GE(second.fd, 0);
    EXPECT_EQ(vcam_stat("open"), 2);
}

TEST(VcamFault, MmapFails)
{
    configure("--fail mmap:always:ENOMEM");
    Node node;
    ASSERT_EQ(node.request(1), 1);
    v4l2_buffer b = node.buffer(0);
    ASSERT_EQ(ioctl(node.fd, VIDIOC_QUERYBUF, &b), 0);
    EXPECT_EQ(mmap(nullptr, b.length, PROT_READ, MAP_SHARED, node.fd, b.m.offset), MAP_FAILED);
    EXPECT_EQ(errno, ENOMEM);
}

TEST(VcamFault, MunmapFailureLeavesTheMappingInPlace)
{
    configure("--fail munmap:once:EINVAL --fps 100");
    Node node;
    ASSERT_EQ(node.stream_mmap(64, 48, 1), 1);
    Mapping m = node.maps[0];
    EXPECT_EQ(error_of(munmap(m.start, m.length)), EINVAL);
    volatile uint8_t still_there = m.start[0];
    (void)still_there;
    EXPECT_EQ(munmap(m.start, m.length), 0);
    node.maps.clear();
    EXPECT_EQ(vcam_stat("munmap"), 2);
}

TEST(VcamFault, ReadAndFcntlFail)
{
    configure("--fail read:always:EIO --fail fcntl:once:EBADF");
    Node node;
    char buf[16];
    EXPECT_EQ(read(node.fd, buf, sizeof buf), -1);
    EXPECT_EQ(errno, EIO);
    EXPECT_EQ(fcntl(node.fd, F_GETFL), -1);
    EXPECT_EQ(errno, EBADF);
    EXPECT_NE(fcntl(node.fd, F_GETFL), -1);
}

TEST(VcamFault, EintrFailsTheFirstAttemptsOfEveryRequest)
{
    configure("--eintr 2");
    Node node;
    v4l2_capability cap;
    for (int round = 0; round < 2; ++round) {
        EXPECT_EQ(error_of(ioctl(node.fd, VIDIOC_QUERYCAP, &cap)), EINTR) << "round " << round;
        EXPECT_EQ(error_of(ioctl(node.fd, VIDIOC_QUERYCAP, &cap)), EINTR) << "round " << round;
        EXPECT_EQ(ioctl(node.fd, VIDIOC_QUERYCAP, &cap), 0) << "round " << round;
    }
    EXPECT_EQ(vcam_stat("eintr"), 4);
    EXPECT_EQ(vcam_stat("VIDIOC_QUERYCAP"), 6);
}

TEST(VcamFault, EagainFailsTheNextDequeuesEvenWhenBlocking)
{
    configure("--eagain 2 --fps 100");
    Node node;
    ASSERT_EQ(node.stream_mmap(64, 48, 2), 2);
    v4l2_buffer b;
    EXPECT_EQ(error_of(node.dequeue(b)), EAGAIN);
    EXPECT_EQ(error_of(node.dequeue(b)), EAGAIN);
    EXPECT_EQ(node.dequeue(b), 0);
    EXPECT_EQ(vcam_stat("eagain"), 2);
}

TEST(VcamFault, EagainAppliesToRead)
{
    configure("--eagain 1 --fps 100");
    Node node;
    ASSERT_EQ(node.set_format(64, 48), 0);
    std::vector<uint8_t> frame(64 * 48 * 3 / 2);
    EXPECT_EQ(read(node.fd, frame.data(), frame.size()), -1);
    EXPECT_EQ(errno, EAGAIN);
    EXPECT_EQ(read(node.fd, frame.data(), frame.size()), static_cast<ssize_t>(frame.size()));
}

TEST(VcamFault, NoCropRefusesCropCap)
{
    configure("--no-crop");
    Node node;
    v4l2_cropcap cc;
    memset(&cc, 0, sizeof cc);
    cc.type = kCapture;
    EXPECT_EQ(error_of(ioctl(node.fd, VIDIOC_CROPCAP, &cc)), EINVAL);
}

TEST(VcamFault, CropCapWithoutTheOptionGivesTheSensorRectangle)
{
    configure("");
    Node node;
    v4l2_cropcap cc;
    memset(&cc, 0, sizeof cc);
    cc.type = kCapture;
    ASSERT_EQ(ioctl(node.fd, VIDIOC_CROPCAP, &cc), 0);
    EXPECT_EQ(cc.defrect.width, 1920u);
    EXPECT_EQ(cc.defrect.height, 1080u);
}

TEST(VcamFault, BadIndexReturnsTheGrantedCountOnce)
{
    configure("--bad-index --fps 100");
    Node node;
    ASSERT_EQ(node.stream_mmap(64, 48, 3), 3);
    v4l2_buffer b;
    ASSERT_EQ(node.dequeue(b), 0);
    EXPECT_EQ(b.index, 3u) << "an index just outside the table";
    ASSERT_EQ(node.dequeue(b), 0);
    EXPECT_LT(b.index, 3u);
}

// @K hits the K-th occurrence of the request on its node and no other, as
// the node's NODE:REQ counter numbers them; a dequeue can also succeed with
// an index outside every table or with an empty buffer flagged 0x40.
TEST(VcamFault, KthOccurrenceAndDequeueEffects)
{
    const struct {
        const char *rule;
        int failed_at; // the dequeue (from 1) that is changed
        int err;       // its errno, or 0 when it succeeds changed
        bool bad_index, error_flag;
    } cases[] = {
        {"isp:DQBUF:@3:EIO", 3, EIO, false, false},
        {"DQBUF:@2:EAGAIN", 2, EAGAIN, false, false},
        {"isp:DQBUF:@4:badindex", 4, 0, true, false},
        {"isp:DQBUF:@1:errorflag", 1, 0, false, true},
        {"enc:DQBUF:@1:EIO", 0, 0, false, false}, // another node's: never
    };
    for (const auto &c : cases) {
        configure(("--fps 200 --fail " + std::string(c.rule)).c_str());
        Node node;
        ASSERT_EQ(node.stream_mmap(64, 48, 3), 3);
        for (int k = 1; k <= 5; ++k) {
            v4l2_buffer b;
            int r = error_of(node.dequeue(b));
            bool hit = k == c.failed_at;
            EXPECT_EQ(r, hit ? c.err : 0) << c.rule << " dequeue " << k;
            if (r != 0)
                continue;
            EXPECT_EQ(b.index >= 3, hit && c.bad_index) << c.rule << " dequeue " << k;
            EXPECT_EQ((b.flags & 0x40) != 0 && b.bytesused == 0, hit && c.error_flag) << c.rule << " dequeue " << k;
            if (b.index < 3) {
                ASSERT_EQ(node.requeue(b), 0);
            }
        }
        EXPECT_EQ(vcam_stat("isp:DQBUF"), 5) << c.rule;
        EXPECT_EQ(vcam_stat("faults"), c.failed_at ? 1 : 0) << c.rule;
    }
}

TEST(VcamFault, BadUserPointerMatchesNoQueuedBuffer)
{
    configure("--bad-userptr --fps 100");
    Node node;
    ASSERT_EQ(node.set_format(64, 48), 0);
    ASSERT_EQ(node.request(2, V4L2_MEMORY_USERPTR), 2);
    const size_t size = 64 * 48 * 3 / 2;
    std::vector<std::vector<uint8_t>> bufs(2, std::vector<uint8_t>(size));
    for (unsigned i = 0; i < 2; ++i) {
        v4l2_buffer b = node.buffer(i, V4L2_MEMORY_USERPTR);
        b.m.userptr = reinterpret_cast<unsigned long>(bufs[i].data());
        b.length = static_cast<uint32_t>(size);
        ASSERT_EQ(node.requeue(b), 0);
    }
    ASSERT_EQ(node.stream_on(), 0);
    v4l2_buffer b;
    ASSERT_EQ(node.dequeue(b, V4L2_MEMORY_USERPTR), 0);
    for (const auto &buf : bufs)
        EXPECT_NE(b.m.userptr, reinterpret_cast<unsigned long>(buf.data()));
}

TEST(VcamFault, BadOptionsAreRefusedAndChangeNothing)
{
    configure("--grant 3");
    EXPECT_EQ(vcam_configure("--grant many"), -1);
    EXPECT_EQ(vcam_configure("--fail NOSUCH"), -1);
    EXPECT_EQ(vcam_configure("--fail QBUF:always:ENOTANERRNO"), -1);
    EXPECT_EQ(vcam_configure("--bogus"), -1);
    Node node;
    EXPECT_EQ(node.request(8), 3) << "the last good configuration still holds";
}

TEST(VcamFault, CallsOnOtherDescriptorsAreNeverFailed)
{
    configure("--fail read:always:EIO --fail fcntl:always:EIO");
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    ASSERT_EQ(write(fds[1], "x", 1), 1);
    char c = 0;
    EXPECT_EQ(read(fds[0], &c, 1), 1);
    EXPECT_NE(fcntl(fds[0], F_GETFL), -1);
    close(fds[0]);
    close(fds[1]);
}
