// libkep_isp on the virtual camera: motion is found where the scene moves,
// and only there.
#include "kep_isp.h"
#include "vcam_client.h"

#include <atomic>
#include <thread>

using namespace vcam_test;

namespace {

const uint32_t kNoMask[KEP_ISP_MD_WORDS] = {};

// mdcap's configuration, with a shorter time-out.
void set_up_detector(int32_t threshold, int32_t int_threshold, const uint32_t *mask, int32_t timeout_ms)
{
    ASSERT_EQ(kep_isp_md_enable_set(0), 0);
    ASSERT_EQ(kep_isp_md_threshold_set(threshold), 0);
    ASSERT_EQ(kep_isp_md_int_threshold_set(int_threshold), 0);
    ASSERT_EQ(kep_isp_md_block_mask_set(mask), 0);
    ASSERT_EQ(kep_isp_md_int_timeout_set(timeout_ms), 0);
    ASSERT_EQ(kep_isp_md_enable_set(1), 0);
}

unsigned bits(const uint32_t words[KEP_ISP_MD_WORDS])
{
    unsigned n = 0;
    for (int i = 0; i < KEP_ISP_MD_WORDS; ++i)
        n += static_cast<unsigned>(__builtin_popcount(words[i]));
    return n;
}

} // namespace

TEST(IspMotion, MovingSceneRaisesTheInterruptWithAReport)
{
    configure("--fps 50");
    Node node;
    ASSERT_EQ(node.stream_mmap(320, 240, 2), 2);
    set_up_detector(512, 1, kNoMask, 2000);
    uint32_t status = 0;
    ASSERT_EQ(kep_isp_md_int_get(&status), 0);
    EXPECT_NE(status, 0u) << "the bouncing square moves every frame";
    uint32_t report[KEP_ISP_MD_WORDS] = {};
    ASSERT_EQ(kep_isp_md_block_report_get(report), 0);
    EXPECT_GE(bits(report), 1u);
    EXPECT_LT(bits(report), 192u) << "the checkerboard itself does not move";
}

TEST(IspMotion, StillSceneRaisesNoInterrupt)
{
    configure("--fps 50 --still");
    Node node;
    ASSERT_EQ(node.stream_mmap(320, 240, 2), 2);
    set_up_detector(512, 1, kNoMask, 300);
    uint32_t status = 7;
    ASSERT_EQ(kep_isp_md_int_get(&status), 0);
    EXPECT_EQ(status, 0u);
}

TEST(IspMotion, MaskedBlocksNeverReport)
{
    configure("--fps 50");
    Node node;
    ASSERT_EQ(node.stream_mmap(320, 240, 2), 2);
    // Every even column left out: the square always spans an odd one too.
    uint32_t mask[KEP_ISP_MD_WORDS] = {};
    for (unsigned b = 0; b < KEP_ISP_MD_BLOCKS; b += 2)
        mask[b / 32] |= 1u << (b % 32);
    set_up_detector(512, 1, mask, 1000);
    unsigned detections = 0;
    for (int i = 0; i < 8; ++i) {
        uint32_t status = 0;
        ASSERT_EQ(kep_isp_md_int_get(&status), 0);
        if (status == 0)
            continue;
        ++detections;
        uint32_t report[KEP_ISP_MD_WORDS] = {};
        ASSERT_EQ(kep_isp_md_block_report_get(report), 0);
        for (int w = 0; w < KEP_ISP_MD_WORDS; ++w)
            EXPECT_EQ(report[w] & mask[w], 0u) << "masked blocks reported in word " << w;
    }
    EXPECT_GT(detections, 0u);
}

TEST(IspMotion, InterruptThresholdAboveTheMovingBlocksRaisesNothing)
{
    configure("--fps 50");
    Node node;
    ASSERT_EQ(node.stream_mmap(320, 240, 2), 2);
    set_up_detector(512, KEP_ISP_MD_BLOCKS + 1, kNoMask, 300);
    uint32_t status = 7;
    ASSERT_EQ(kep_isp_md_int_get(&status), 0);
    EXPECT_EQ(status, 0u);
}

TEST(IspMotion, ThresholdAboveAnyDifferenceRaisesNothing)
{
    configure("--fps 50");
    Node node;
    ASSERT_EQ(node.stream_mmap(320, 240, 2), 2);
    set_up_detector(255 * 64, 1, kNoMask, 300);
    uint32_t status = 7;
    ASSERT_EQ(kep_isp_md_int_get(&status), 0);
    EXPECT_EQ(status, 0u);
}

TEST(IspMotion, SwitchedOffDetectorRaisesNothing)
{
    configure("--fps 50");
    Node node;
    ASSERT_EQ(node.stream_mmap(320, 240, 2), 2);
    set_up_detector(512, 1, kNoMask, 200);
    ASSERT_EQ(kep_isp_md_enable_set(0), 0);
    uint32_t status = 7;
    ASSERT_EQ(kep_isp_md_int_get(&status), 0);
    EXPECT_EQ(status, 0u);
}

TEST(IspMotion, NoStreamingIspMeansNoMotion)
{
    configure("");
    set_up_detector(512, 1, kNoMask, 100);
    uint32_t status = 7;
    ASSERT_EQ(kep_isp_md_int_get(&status), 0);
    EXPECT_EQ(status, 0u);
}

TEST(IspMotion, NullPointersAreRefused)
{
    EXPECT_EQ(kep_isp_md_int_get(nullptr), -1);
    EXPECT_EQ(kep_isp_md_block_report_get(nullptr), -1);
    EXPECT_EQ(kep_isp_md_block_mask_set(nullptr), -1);
}

TEST(IspMotion, DetectsWhileAnotherThreadKeepsTheIspStreaming)
{
    // mdcap's shape: a capture thread takes and returns frames while the
    // detector waits for interrupts on another.
    configure("--fps 50");
    Node node;
    ASSERT_EQ(node.stream_mmap(320, 240, 2), 2);
    std::atomic<bool> stop{false};
    std::atomic<int> dequeued{0}, errors{0};
    std::thread capture([&] {
        while (!stop) {
            v4l2_buffer b;
            if (node.dequeue(b) != 0 || node.requeue(b) != 0)
                ++errors;
            else
                ++dequeued;
        }
    });
    set_up_detector(512, 1, kNoMask, 1000);
    unsigned detections = 0;
    for (int i = 0; i < 5; ++i) {
        uint32_t status = 0;
        ASSERT_EQ(kep_isp_md_int_get(&status), 0);
        detections += status != 0;
    }
    stop = true;
    capture.join();
    EXPECT_GE(detections, 4u);
    EXPECT_GT(dequeued.load(), 0);
    EXPECT_EQ(errors.load(), 0);
}
