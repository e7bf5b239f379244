// kep_isp_init against a refusing driver: capability and format failures
// return -1; buffer negotiation, mapping and allocation failures end the
// process with status 1 after their message.
#include "isp_harness.h"

#include <algorithm>

namespace kep_test {
namespace {

using IspSetup = IspTest;

// Opens the node and runs kep_isp_init in a child.
ChildRun init_in_child(kep_m2m *m2m)
{
    return run_in_child([m2m] {
        m2m->isp_fd = kep_open_device(m2m->isp_dev_name);
        return m2m->isp_fd < 0 ? kSetupFailed : kep_isp_init(m2m);
    });
}

struct CapabilityCase {
    const char *name;
    const char *options;
    uint32_t isp_io;
    const char *stderr_regex;
};

void PrintTo(const CapabilityCase &c, std::ostream *os)
{
    *os << '"' << c.options << "\" isp_io " << c.isp_io;
}

class IspCapability : public IspTest, public ::testing::WithParamInterface<CapabilityCase> {};

TEST_P(IspCapability, FailureIsPrintedAndReturnsMinusOne)
{
    const CapabilityCase &c = GetParam();
    configure(c.options);
    m2m_ = make_record(c.isp_io);
    open_node();
    OutputCapture cap;
    int r = kep_isp_init(&m2m_);
    cap.finish();
    EXPECT_EQ(r, -1);
    EXPECT_TRUE(has_line(cap.err(), c.stderr_regex)) << "stderr: " << cap.err();
    EXPECT_EQ(std::count(cap.err().begin(), cap.err().end(), '\n'), 1) << "stderr: " << cap.err();
    // The record keeps its configuration and no table is built.
    EXPECT_EQ(m2m_.isp_buffers, nullptr);
    EXPECT_EQ(m2m_.width, 1280u);
    EXPECT_EQ(m2m_.m2m_buffers, 2u);
    EXPECT_EQ(vcam_stat("VIDIOC_S_FMT"), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, IspCapability,
    ::testing::Values(
        CapabilityCase{"QueryCapEinval", "--fail QUERYCAP:once:EINVAL", KEP_IO_MMAP,
                       R"(kep_isp_init:\d+: ISP is no V4L2 device: Invalid argument)"},
        CapabilityCase{"QueryCapEio", "--fail QUERYCAP:once:EIO", KEP_IO_MMAP, R"(kep_isp_init:\d+: VIDIOC_QUERYCAP: Input/output error)"},
        CapabilityCase{"NoCapture", "--no-capture", KEP_IO_MMAP, "ISP is no video capture device"},
        CapabilityCase{"MmapNoStreaming", "--no-streaming", KEP_IO_MMAP, "ISP does not support streaming i/o"},
        CapabilityCase{"UserptrNoStreaming", "--no-streaming", KEP_IO_USERPTR, "ISP does not support streaming i/o"},
        CapabilityCase{"ReadNoRead", "--no-read", 0, "ISP does not support read i/o"},
        CapabilityCase{"OtherIoNoRead", "--no-read", 3, "ISP does not support read i/o"}),
    [](const ::testing::TestParamInfo<CapabilityCase> &info) { return std::string(info.param.name); });

// Each mode asks only for the capability it uses.
TEST_F(IspSetup, ModesNeedOnlyTheirOwnCapability)
{
    configure("--no-read");
    open_node();
    EXPECT_EQ(kep_isp_init(&m2m_), 0) << "memory-mapped streaming needs no read()";
    EXPECT_EQ(kep_isp_uninit(&m2m_), 0);
    TearDown();

    configure("--no-streaming");
    m2m_ = make_record(0);
    open_node();
    EXPECT_EQ(kep_isp_init(&m2m_), 0) << "read() needs no streaming";
}

TEST_F(IspSetup, RefusedFormatReturnsMinusOneSilently)
{
    configure("--fail S_FMT:once:EINVAL");
    open_node();
    OutputCapture cap;
    int r = kep_isp_init(&m2m_);
    cap.finish();
    EXPECT_EQ(r, -1);
    EXPECT_EQ(cap.err(), "");
    EXPECT_EQ(m2m_.isp_buffers, nullptr);
    EXPECT_EQ(vcam_stat("VIDIOC_REQBUFS"), 0);
}

// The frame rate is a wish: refusals of S_PARM and G_PARM do not matter.
TEST_F(IspSetup, RefusedFrameRateIsIgnored)
{
    configure("--fail S_PARM:always:EINVAL --fail G_PARM:always:EINVAL");
    open_node();
    OutputCapture cap;
    int r = kep_isp_init(&m2m_);
    cap.finish();
    EXPECT_EQ(r, 0) << cap.err();
    EXPECT_EQ(cap.err(), "");
    EXPECT_EQ(vcam_stat("VIDIOC_S_PARM"), 1);
    EXPECT_EQ(vcam_stat("VIDIOC_G_PARM"), 1);
}

struct FatalCase {
    const char *name;
    const char *options;
    uint32_t isp_io;
    const char *stderr_regex;
};

void PrintTo(const FatalCase &c, std::ostream *os)
{
    *os << '"' << c.options << "\" isp_io " << c.isp_io;
}

class IspFatalSetup : public IspTest, public ::testing::WithParamInterface<FatalCase> {};

TEST_P(IspFatalSetup, MessageThenExitStatusOne)
{
    const FatalCase &c = GetParam();
    configure(c.options);
    m2m_ = make_record(c.isp_io);
    ChildRun run = init_in_child(&m2m_);
    EXPECT_TRUE(run.exited_with(1)) << run.describe();
    EXPECT_FALSE(run.returned) << run.describe();
    EXPECT_TRUE(has_line(run.err, c.stderr_regex)) << run.describe();
    EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.describe();
}

INSTANTIATE_TEST_SUITE_P(
    Cases, IspFatalSetup,
    ::testing::Values(FatalCase{"MmapReqbufsEinval", "--fail REQBUFS:once:EINVAL", KEP_IO_MMAP, "Does not support memory mapping"},
                      FatalCase{"MmapReqbufsEbusy", "--fail REQBUFS:once:EBUSY", KEP_IO_MMAP, R"(VIDIOC_REQBUFS:\d+: failed)"},
                      FatalCase{"UserptrReqbufsEinval", "--fail REQBUFS:once:EINVAL", KEP_IO_USERPTR, "Does not support user pointer i/o"},
                      FatalCase{"UserptrReqbufsEnomem", "--fail REQBUFS:once:ENOMEM", KEP_IO_USERPTR, R"(VIDIOC_REQBUFS:\d+: failed)"},
                      FatalCase{"MmapOneGranted", "--grant 1", KEP_IO_MMAP, "Insufficient buffer memory"},
                      FatalCase{"Querybuf", "--fail QUERYBUF:once:EINVAL", KEP_IO_MMAP, R"(VIDIOC_QUERYBUF:\d+: failed)"},
                      FatalCase{"Mmap", "--fail mmap:once:ENOMEM", KEP_IO_MMAP, R"(mmap:\d+: failed)"}),
    [](const ::testing::TestParamInfo<FatalCase> &info) { return std::string(info.param.name); });

} // namespace
} // namespace kep_test
