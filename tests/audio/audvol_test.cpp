// audvol against the libkep_audio substitute: messages, statuses, the order
// of the library calls (from the substitute's call trace) and the state the
// substitute keeps across runs.
#include "audio_test_util.h"

#include <string>

#include <gtest/gtest.h>

using namespace kep_test;

namespace {

class Audvol : public ::testing::Test {
protected:
    run_result audvol(const std::vector<std::string> &args)
    {
        unlink(trace_.c_str());
        return run_program("audvol", args,
                           {"KEP_AUDIO_STATE_FILE=" + state_, "KEP_AUDIO_TRACE=" + trace_});
    }
    std::string calls() const
    {
        std::vector<uint8_t> data;
        if (!read_file(trace_, &data))
            return "";
        return std::string(data.begin(), data.end());
    }
    std::string state() const
    {
        std::vector<uint8_t> data;
        if (!read_file(state_, &data))
            return "(none)";
        return std::string(data.begin(), data.end());
    }

    scratch_dir dir_;
    std::string state_ = dir_.path("audio.state");
    std::string trace_ = dir_.path("calls.txt");
};

const char kMicReads[] = "kep_audio_mic_vol_get_mute(0) = 0\n"
                         "kep_audio_mic_vol_get_items(0) = 0\n"
                         "kep_audio_mic_vol_get(0) = 0\n";
const char kSpkReads[] = "kep_audio_spk_vol_get_mute(0) = 0\n"
                         "kep_audio_spk_vol_get_items(0) = 0\n"
                         "kep_audio_spk_vol_get(0) = 0\n";

std::string usage()
{
    return "Usage: " + bin_path("audvol") +
           " [options]/n\nOptions:\n-h Print this message\n-d | --device    mic or spk \n"
           "-m | --mute      mute this device\n-v | --vol       Set vol value (0 ~ 19)\n"
           "-i | --info      get the vol info\n";
}

TEST_F(Audvol, InfoReadsThreeValuesAndChangesNothing)
{
    run_result r = audvol({"-d", "spk", "-i"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "[KEP-AUDIO] SPK Vol range: 0 ~ 19; Current Vol : 10\n");
    EXPECT_EQ(calls(), kSpkReads);
    EXPECT_EQ(state(), "(none)");
}

// The report is the program's result: one that cannot be written fails.
TEST_F(Audvol, FullStandardOutputIsAFailure)
{
    run_result r = run_path(bin_path("audvol"), {"-d", "spk", "-i"},
                            {"KEP_AUDIO_STATE_FILE=" + state_}, "/dev/full");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "write standard output failed: No space left on device\n");
}

TEST_F(Audvol, VolumeSurvivesTheRunThatSetIt)
{
    run_result r = audvol({"-d", "mic", "-v", "5"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "[KEP-AUDIO] Un-mute MIC\n[KEP-AUDIO] New MIC Vol : 5\n");
    r = audvol({"-d", "mic", "-i"});
    EXPECT_EQ(r.out, "[KEP-AUDIO] MIC Vol range: 0 ~ 19; Current Vol : 5\n");
    EXPECT_EQ(state(), "mic_volume 5\nmic_mute 0\nspk_volume 10\nspk_mute 0\n");
}

TEST_F(Audvol, VolumeAboveTheRangeIsClampedAfterUnmuting)
{
    run_result r = audvol({"-d", "MIC", "-v", "50"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "[KEP-AUDIO] Un-mute MIC\n[KEP-AUDIO] New MIC Vol : 19\n");
    EXPECT_EQ(calls(), std::string(kMicReads) +
                           "kep_audio_mic_vol_set_mute(0, 0) = 0\n"
                           "kep_audio_mic_vol_set(0, 19) = 0\n"
                           "kep_audio_mic_vol_get(0) = 0\n");
}

TEST_F(Audvol, VolumeAtTheItemCountIsClampedToo)
{
    run_result r = audvol({"-d", "spk", "-v", "20"});
    EXPECT_EQ(r.out, "[KEP-AUDIO] Un-mute SPK\n[KEP-AUDIO] New SPK Vol : 19\n");
    r = audvol({"-d", "spk", "-v", "19"});
    EXPECT_EQ(r.out, "[KEP-AUDIO] Un-mute SPK\n[KEP-AUDIO] New SPK Vol : 19\n");
}

TEST_F(Audvol, NegativeAndNonNumericVolumesBecomeZero)
{
    for (const char *v : {"-3", "abc", "0"}) {
        run_result r = audvol({"--device", "spk", "--vol", v});
        EXPECT_EQ(r.out, "[KEP-AUDIO] Un-mute SPK\n[KEP-AUDIO] New SPK Vol : 0\n") << v;
        EXPECT_NE(calls().find("kep_audio_spk_vol_set(0, 0) = 0\n"), std::string::npos) << v;
    }
}

TEST_F(Audvol, MuteThenVolumeMutesFirstAndEndsUnmuted)
{
    run_result r = audvol({"-d", "spk", "-v", "7", "-m"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "[KEP-AUDIO] Mute SPK\n[KEP-AUDIO] Un-mute SPK\n[KEP-AUDIO] New SPK Vol : 7\n");
    EXPECT_EQ(calls(), std::string(kSpkReads) +
                           "kep_audio_spk_vol_set_mute(0, 1) = 0\n"
                           "kep_audio_spk_vol_set_mute(0, 0) = 0\n"
                           "kep_audio_spk_vol_set(0, 7) = 0\n"
                           "kep_audio_spk_vol_get(0) = 0\n");
    EXPECT_EQ(state(), "mic_volume 10\nmic_mute 0\nspk_volume 7\nspk_mute 0\n");
}

TEST_F(Audvol, InfoShowsTheStateBeforeTheChanges)
{
    audvol({"-d", "mic", "-m"});
    run_result r = audvol({"-d", "mic", "-i", "-v", "3"});
    EXPECT_EQ(r.out, "[KEP-AUDIO] MIC is on mute state\n"
                     "[KEP-AUDIO] MIC Vol range: 0 ~ 19; Current Vol : 10\n"
                     "[KEP-AUDIO] Un-mute MIC\n"
                     "[KEP-AUDIO] New MIC Vol : 3\n");
    r = audvol({"-d", "mic", "-i"});
    EXPECT_EQ(r.out, "[KEP-AUDIO] MIC Vol range: 0 ~ 19; Current Vol : 3\n");
}

TEST_F(Audvol, MuteAloneKeepsTheVolume)
{
    run_result r = audvol({"-d", "mic", "--mute"});
    EXPECT_EQ(r.out, "[KEP-AUDIO] Mute MIC\n");
    EXPECT_EQ(state(), "mic_volume 10\nmic_mute 1\nspk_volume 10\nspk_mute 0\n");
}

TEST_F(Audvol, WithoutADeviceNothingIsCalled)
{
    run_result r = audvol({"-m", "-i", "-v", "4"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(calls(), "");
    EXPECT_EQ(state(), "(none)");
}

TEST_F(Audvol, EmptyDeviceArgumentIsIgnored)
{
    run_result r = audvol({"-d", "", "-i"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(calls(), "");
}

TEST_F(Audvol, LaterDeviceReplacesTheEarlierOne)
{
    run_result r = audvol({"-d", "mic", "-d", "Spk", "-i"});
    EXPECT_EQ(r.out, "[KEP-AUDIO] SPK Vol range: 0 ~ 19; Current Vol : 10\n");
}

TEST_F(Audvol, UnknownDeviceNameEndsWithStatus1BeforeAnyCall)
{
    run_result r = audvol({"-i", "-d", "cam"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "[KEP-AUDIO] WORONG device name\n");
    EXPECT_EQ(calls(), "");
}

TEST_F(Audvol, UnknownOptionPrintsUsageOnStderrWithStatus1)
{
    run_result r = audvol({"-d", "mic", "-x"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, usage());
    EXPECT_EQ(calls(), "");
}

TEST_F(Audvol, HelpPrintsUsageOnStdout)
{
    run_result r = audvol({"-h"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, usage());
}

} // namespace
