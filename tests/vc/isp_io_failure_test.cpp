// The running stream against a misbehaving driver: interrupted requests,
// nothing to dequeue, refused queue and dequeue requests, indices and user
// pointers outside the table, refused stream switches and unmaps.
#include "isp_harness.h"

#include <algorithm>

namespace kep_test {
namespace {

using IspIo = IspTest;

// Sets up and starts a stream of the given mode on a configured platform.
// In read mode the driver refuses the switch (no buffers were requested) and
// the first read starts the sensor.
void start_stream(kep_m2m *m2m)
{
    m2m->isp_fd = kep_open_device(m2m->isp_dev_name);
    ASSERT_GE(m2m->isp_fd, 0);
    ASSERT_EQ(kep_isp_init(m2m), 0);
    ASSERT_EQ(kep_isp_start(m2m), streams_buffers(*m2m) ? 0 : -1);
}

const char *const kAssertIndex = R"(.*: kep_vc_lib:\d+: kep_isp_dq: Assertion `buf\.index < m2m->m2m_buffers' failed\.)";
const char *const kAssertPointer = R"(.*: kep_vc_lib:\d+: kep_isp_dq: Assertion `i < m2m->m2m_buffers' failed\.)";

class IspByMode : public IspTest, public ::testing::WithParamInterface<uint32_t> {};

// Every request is retried through its EINTRs: the whole life of a stream
// works, in every mode.
TEST_P(IspByMode, InterruptedRequestsAreRetried)
{
    configure("--eintr 2");
    m2m_ = make_record(GetParam());
    OutputCapture cap;
    start_stream(&m2m_);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(kep_isp_read(&m2m_), 1);
        EXPECT_EQ(kep_isp_reset(&m2m_), 1);
    }
    EXPECT_EQ(kep_isp_stop(&m2m_), 0);
    EXPECT_EQ(kep_isp_uninit(&m2m_), 0);
    cap.finish();
    if (streams_buffers(m2m_))
        EXPECT_EQ(cap.err(), "");
    else
        EXPECT_TRUE(has_line(cap.err(), kReadModeStreamOn)) << cap.err();
    EXPECT_GE(vcam_stat("frames"), 3);
}

// Nothing to take: the read still returns 1 and the held buffer and its
// timestamp stay as they were, silently.
TEST_P(IspByMode, NothingToDequeueLeavesTheRecordUnchanged)
{
    configure("--eagain 1");
    m2m_ = make_record(GetParam());
    start_stream(&m2m_);
    uint32_t held = m2m_.m2m_buffers - 1;
    m2m_.isp_index = held;
    m2m_.timestamp.tv_sec = 1234;
    m2m_.timestamp.tv_usec = 5678;

    OutputCapture cap;
    int r = kep_isp_read(&m2m_);
    cap.finish();
    EXPECT_EQ(r, 1);
    EXPECT_EQ(m2m_.isp_index, held);
    EXPECT_EQ(m2m_.timestamp.tv_sec, 1234);
    EXPECT_EQ(m2m_.timestamp.tv_usec, 5678);
    EXPECT_EQ(cap.err(), "");
    EXPECT_EQ(cap.out(), "");
    EXPECT_EQ(vcam_stat("frames"), 0);
}

INSTANTIATE_TEST_SUITE_P(Modes, IspByMode, ::testing::Values(KEP_IO_MMAP, KEP_IO_USERPTR, 0u),
                         [](const ::testing::TestParamInfo<uint32_t> &info) {
                             return info.param == KEP_IO_MMAP ? std::string("mmap")
                                    : info.param == KEP_IO_USERPTR ? std::string("userptr")
                                                                  : std::string("read");
                         });

TEST_F(IspIo, MmapQueueRefusalIsPrintedAndSurvived)
{
    configure("--fail QBUF:always:EIO");
    open_node();
    ASSERT_EQ(kep_isp_init(&m2m_), 0);
    OutputCapture cap;
    int started = kep_isp_start(&m2m_);
    int reset = kep_isp_reset(&m2m_);
    cap.finish();
    EXPECT_EQ(started, 0);
    EXPECT_EQ(reset, 1);
    EXPECT_EQ(cap.err(), "ISP VIDIOC_QBUF ERR\nISP VIDIOC_QBUF ERR\nISP VIDIOC_QBUF ERR\n");
}

TEST_F(IspIo, UserPointerQueueRefusalEndsTheProcess)
{
    configure("--fail QBUF:once:EIO");
    m2m_ = make_record(KEP_IO_USERPTR);
    ChildRun run = run_in_child([this] {
        int r = child_stream(&m2m_, false);
        return r ? r : kep_isp_start(&m2m_);
    });
    EXPECT_TRUE(run.exited_with(1)) << run.describe();
    EXPECT_TRUE(has_line(run.err, R"(ISP VIDIOC_QBUF ERR:\d+: failed)")) << run.describe();
}

TEST_F(IspIo, MmapDequeueFailureIsPrintedAndSurvived)
{
    configure("--fail DQBUF:once:EIO");
    start_stream(&m2m_);
    m2m_.isp_index = 1;
    OutputCapture cap;
    int r = kep_isp_read(&m2m_);
    cap.finish();
    EXPECT_EQ(r, 1);
    EXPECT_EQ(cap.err(), "VIDIOC_DQBUF\n");
    EXPECT_EQ(m2m_.isp_index, 1u);
    EXPECT_EQ(m2m_.timestamp.tv_sec, 0);
    // The stream goes on with the next frame.
    EXPECT_EQ(kep_isp_read(&m2m_), 1);
    EXPECT_NE(m2m_.timestamp.tv_sec | m2m_.timestamp.tv_usec, 0);
}

TEST_F(IspIo, UserPointerDequeueFailureEndsTheProcess)
{
    configure("--fail DQBUF:once:EIO");
    m2m_ = make_record(KEP_IO_USERPTR);
    ChildRun run = run_in_child([this] {
        int r = child_stream(&m2m_, true);
        return r ? r : kep_isp_read(&m2m_);
    });
    EXPECT_TRUE(run.exited_with(1)) << run.describe();
    EXPECT_TRUE(has_line(run.err, R"(VIDIOC_DQBUF:\d+: failed)")) << run.describe();
}

TEST_F(IspIo, ReadFailureEndsTheProcess)
{
    configure("--fail read:once:EIO");
    m2m_ = make_record(0);
    ChildRun run = run_in_child([this] {
        int r = child_stream(&m2m_, true);
        return r ? r : kep_isp_read(&m2m_);
    });
    EXPECT_TRUE(run.exited_with(1)) << run.describe();
    EXPECT_TRUE(has_line(run.err, R"(read:\d+: failed)")) << run.describe();
}

TEST_F(IspIo, MmapIndexOutsideTheTableIsAnAssertion)
{
    configure("--bad-index");
    ChildRun run = run_in_child([this] {
        int r = child_stream(&m2m_, true);
        return r ? r : kep_isp_read(&m2m_);
    });
    EXPECT_TRUE(run.aborted()) << run.describe();
    EXPECT_TRUE(has_line(run.err, kAssertIndex)) << run.describe();
}

TEST_F(IspIo, UserPointerMatchingNoBufferIsAnAssertion)
{
    configure("--bad-userptr");
    m2m_ = make_record(KEP_IO_USERPTR);
    ChildRun run = run_in_child([this] {
        int r = child_stream(&m2m_, true);
        return r ? r : kep_isp_read(&m2m_);
    });
    EXPECT_TRUE(run.aborted()) << run.describe();
    EXPECT_TRUE(has_line(run.err, kAssertPointer)) << run.describe();
}

// The index is what the next requeue reads the table with, so one outside the
// table stops the process here too, before anything reads past the table.
TEST_F(IspIo, UserPointerIndexOutsideTheTableIsAnAssertion)
{
    configure("--bad-index");
    m2m_ = make_record(KEP_IO_USERPTR);
    ChildRun run = run_in_child([this] {
        int r = child_stream(&m2m_, true);
        return r ? r : kep_isp_read(&m2m_);
    });
    EXPECT_TRUE(run.aborted()) << run.describe();
    EXPECT_TRUE(has_line(run.err, kAssertIndex)) << run.describe();
}

TEST_F(IspIo, RefusedStreamOnReturnsMinusOne)
{
    for (uint32_t io : {KEP_IO_MMAP, 0u}) {
        configure("--fail STREAMON:once:EINVAL");
        m2m_ = make_record(io);
        open_node();
        ASSERT_EQ(kep_isp_init(&m2m_), 0);
        OutputCapture cap;
        int r = kep_isp_start(&m2m_);
        cap.finish();
        EXPECT_EQ(r, -1) << "isp_io " << io;
        EXPECT_TRUE(has_line(cap.err(), R"(kep_isp_start:\d+: VIDIOC_STREAMON: Invalid argument)"))
            << "isp_io " << io << ": " << cap.err();
        EXPECT_EQ(m2m_.isp_index, 0u);
        EXPECT_EQ(kep_isp_uninit(&m2m_), 0);
        TearDown();
    }
}

TEST_F(IspIo, RefusedStreamOffReturnsMinusOne)
{
    configure("--fail STREAMOFF:always:EIO");
    start_stream(&m2m_);
    OutputCapture cap;
    int r = kep_isp_stop(&m2m_);
    cap.finish();
    EXPECT_EQ(r, -1);
    EXPECT_EQ(cap.err(), "VIDIOC_STREAMOFF\n");
}

TEST_F(IspIo, ReadModeStopMakesNoRequest)
{
    configure("--fail STREAMOFF:always:EIO");
    m2m_ = make_record(0);
    start_stream(&m2m_);
    EXPECT_EQ(kep_isp_stop(&m2m_), 0);
    EXPECT_EQ(vcam_stat("VIDIOC_STREAMOFF"), 0);
}

// A refused unmap keeps the table so that nothing is leaked or freed while
// still mapped; a later uninit finishes the job without unmapping twice.
TEST_F(IspIo, RefusedUnmapKeepsTheTable)
{
    configure("--fail munmap:once:EINVAL");
    start_stream(&m2m_);
    ASSERT_EQ(kep_isp_stop(&m2m_), 0);
    kep_buffer *table = m2m_.isp_buffers;
    OutputCapture cap;
    int r = kep_isp_uninit(&m2m_);
    cap.finish();
    EXPECT_EQ(r, -1);
    EXPECT_EQ(cap.err(), "munmap\n");
    EXPECT_EQ(m2m_.isp_buffers, table);
    EXPECT_EQ(m2m_.m2m_buffers, 2u);

    EXPECT_EQ(kep_isp_uninit(&m2m_), 0);
    EXPECT_EQ(m2m_.isp_buffers, nullptr);
}

} // namespace
} // namespace kep_test
