// The internal wait-then-dequeue step that the encoder uses, built from the
// library's own sources into this test (the step is not exported).
#include "isp.h"
#include "isp_harness.h"

#include <signal.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

namespace kep_test {
namespace {

using IspNextFrame = IspTest;

void start_stream(kep_m2m *m2m)
{
    m2m->isp_fd = kep_open_device(m2m->isp_dev_name);
    ASSERT_GE(m2m->isp_fd, 0);
    ASSERT_EQ(kep_isp_init(m2m), 0);
    ASSERT_EQ(kep_isp_start(m2m), 0);
}

void on_signal(int) {}

TEST_F(IspNextFrame, WaitsForTheNextFrame)
{
    configure("");
    start_stream(&m2m_);
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(kep_isp_next_frame(&m2m_), 0);
        EXPECT_LT(m2m_.isp_index, m2m_.m2m_buffers);
        EXPECT_NE(m2m_.timestamp.tv_sec | m2m_.timestamp.tv_usec, 0);
        EXPECT_EQ(kep_isp_q(&m2m_), 0);
    }
    EXPECT_EQ(kep_isp_stop(&m2m_), 0);
    EXPECT_EQ(kep_isp_uninit(&m2m_), 0);
}

// A signal during the wait restarts it; the frame still arrives, unreported.
TEST_F(IspNextFrame, InterruptedWaitIsRestarted)
{
    configure("--fps 2");
    m2m_.isp_fps = 2;
    ChildRun run = run_in_child([this] {
        int r = child_stream(&m2m_, true);
        if (r)
            return r;
        // Take the first frame so that the next one is half a second away.
        if (kep_isp_next_frame(&m2m_) != 0 || kep_isp_q(&m2m_) != 0)
            return kSetupFailed;
        struct sigaction sa;
        memset(&sa, 0, sizeof(sa));
        sa.sa_handler = on_signal; // no SA_RESTART: the wait sees EINTR
        sigaction(SIGUSR1, &sa, nullptr);
        struct sigevent ev;
        memset(&ev, 0, sizeof(ev));
        ev.sigev_notify = SIGEV_SIGNAL;
        ev.sigev_signo = SIGUSR1;
        timer_t timer;
        if (timer_create(CLOCK_MONOTONIC, &ev, &timer) != 0)
            return kSetupFailed;
        struct itimerspec every = {{0, 50000000}, {0, 50000000}};
        timer_settime(timer, 0, &every, nullptr);
        r = kep_isp_next_frame(&m2m_);
        timer_delete(timer);
        return r;
    });
    EXPECT_TRUE(run.returned) << run.describe();
    EXPECT_EQ(run.result, 0) << run.describe();
    EXPECT_EQ(run.err, "");
}

// Five quiet seconds are reported, then the dequeue is tried anyway.
TEST_F(IspNextFrame, TimeOutIsReportedThenDequeues)
{
    configure("");
    open_node();
    ASSERT_EQ(kep_isp_init(&m2m_), 0);
    // Buffers queued but the stream never switched on: nothing becomes ready.
    for (uint32_t i = 0; i < m2m_.m2m_buffers; ++i) {
        m2m_.isp_index = i;
        ASSERT_EQ(kep_isp_q(&m2m_), 0);
    }
    long dq_before = vcam_stat("VIDIOC_DQBUF");
    OutputCapture cap;
    kep_isp_next_frame(&m2m_);
    cap.finish();
    EXPECT_EQ(cap.err().compare(0, 19, "isp select timeout\n"), 0) << cap.err();
    EXPECT_EQ(vcam_stat("VIDIOC_DQBUF"), dq_before + 1);
}

TEST_F(IspNextFrame, WaitOnAClosedDescriptorEndsTheProcess)
{
    configure_lenient(""); // closes the node with its buffers mapped
    ChildRun run = run_in_child([this] {
        int r = child_stream(&m2m_, true);
        if (r)
            return r;
        close(m2m_.isp_fd);
        return kep_isp_next_frame(&m2m_);
    });
    EXPECT_TRUE(run.exited_with(1)) << run.describe();
    EXPECT_TRUE(has_line(run.err, R"(kep_isp_next_frame:\d+: select: Bad file descriptor)")) << run.describe();
}

} // namespace
} // namespace kep_test
