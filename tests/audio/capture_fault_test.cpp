// Capture failure paths against the fault-injecting device: overruns,
// would-block, short reads, errors retried within a bound, and failures to
// open or configure the device.
#include "audio_test_util.h"

#include <string>

#include <gtest/gtest.h>

using namespace kep_test;

namespace {

class FaultCapture : public ::testing::Test {
protected:
    run_result record(const std::string &faults)
    {
        return run_program("audrec", {"-f", out_},
                           {"ALSA_CONFIG_PATH=" + alsa_conf("fault"), "KEP_ALSA_FAULTS=" + faults});
    }
    std::string normal_output() const
    {
        return "[KEP-AUDIO] format: s16, file: " + out_ +
               "\n[KEP-AUDIO] frame number : 80, format_bits: 16\n"
               "[KEP-AUDIO] 10 second(s) : 80000 frames\n";
    }
    // The file must hold the device's stream without a gap or a repeat.
    void expect_complete_recording()
    {
        std::vector<uint8_t> got;
        ASSERT_TRUE(read_file(out_, &got));
        EXPECT_EQ(got.size(), 160000u);
        EXPECT_EQ(first_difference(got, fault_pattern(160000)), -1);
    }

    scratch_dir dir_;
    std::string out_ = dir_.path("rec.raw");
};

TEST_F(FaultCapture, OverrunsAreRecoveredSilentlyAndTheFileStaysComplete)
{
    run_result r = record("1=EPIPE,7=EPIPE,100-103=EPIPE,499=EPIPE");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, normal_output());
    EXPECT_EQ(r.err, "");
    expect_complete_recording();
}

TEST_F(FaultCapture, WouldBlockWaitsAndReadsAgain)
{
    run_result r = record("1-3=EAGAIN,50=EAGAIN,200-260=EAGAIN");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, normal_output());
    EXPECT_EQ(r.err, "");
    expect_complete_recording();
}

TEST_F(FaultCapture, ShortReadsFillTheBufferWithoutGapsOrRepeats)
{
    // 33 frames per read: loads of 160 frames end mid-read every time.
    run_result r = record("1+=short33");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, normal_output());
    expect_complete_recording();
}

TEST_F(FaultCapture, MixedShortReadsAndOverrunsKeepTheFileComplete)
{
    run_result r = record("2=short1,3=EPIPE,4=short159,5=EAGAIN,6=short80,9=EIO");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, normal_output());
    EXPECT_EQ(r.err, "");
    expect_complete_recording();
}

TEST_F(FaultCapture, ErrorsBelowTheRetryBoundAreRetriedSilently)
{
    // 99 failed reads in a row, one short of the bound.
    run_result r = record("10-108=EIO");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, normal_output());
    EXPECT_EQ(r.err, "");
    expect_complete_recording();
}

TEST_F(FaultCapture, ASuccessfulReadResetsTheRetryCount)
{
    run_result r = record("10-108=EIO,110-208=EIO");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    expect_complete_recording();
}

TEST_F(FaultCapture, PersistentErrorEndsTheStreamWithAMessageAndStatus1)
{
    // Reads 1 to 9 fill nine loads of 160 frames; then the device only fails.
    run_result r = record("10+=EIO");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, normal_output());
    EXPECT_EQ(r.err, "[KEP-AUDIO] capture from kep_audio_pcm_ex stopped after 100 failed reads: "
                     "Input/output error\n"
                     "[KEP-AUDIO] capture file " + out_ + " is incomplete\n");
    std::vector<uint8_t> got;
    ASSERT_TRUE(read_file(out_, &got));
    EXPECT_EQ(got.size(), 9u * 320u);
    EXPECT_EQ(first_difference(got, fault_pattern(9 * 320)), -1);
}

TEST_F(FaultCapture, OpenFailureEndsTheProcessWithStatus1)
{
    run_result r = record("open=EBUSY");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "[KEP-AUDIO] format: s16, file: " + out_ + "\n");
    EXPECT_EQ(r.err, "unable to open pcm device: Device or resource busy\n");
    EXPECT_EQ(file_size(out_), 0);
}

TEST_F(FaultCapture, RefusedHardwareParametersEndTheProcessWithStatus1)
{
    run_result r = record("hw=EINVAL");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "[KEP-AUDIO] format: s16, file: " + out_ +
                         "\n[KEP-AUDIO] frame number : 80, format_bits: 16\n");
    EXPECT_EQ(r.err, "unable to set hw parameters: Invalid argument\n");
    EXPECT_EQ(file_size(out_), 0);
}

// A device that cannot take one channel settles on two: reading into a
// buffer sized for one would overflow it.
TEST_F(FaultCapture, DeviceSettlingOnOtherChannelCountIsRefused)
{
    run_result r = record("channels=2");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "unable to set hw parameters: device kep_audio_pcm_ex runs format 2 with 2 "
                     "channel(s), not format 2 with 1\n");
    EXPECT_EQ(file_size(out_), 0);
}

} // namespace
