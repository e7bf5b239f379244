// The fault-injecting ALSA device itself: what the capture tests rely on.
#include "audio_test_util.h"

#include <alsa/asoundlib.h>
#include <stdlib.h>

#include <gtest/gtest.h>

using namespace kep_test;

namespace {

snd_pcm_t *open_capture(const char *faults)
{
    setenv("ALSA_CONFIG_PATH", alsa_conf("fault").c_str(), 1);
    setenv("KEP_ALSA_FAULTS", faults, 1);
    snd_pcm_t *pcm = nullptr;
    int rc = snd_pcm_open(&pcm, "kep_audio_pcm_ex", SND_PCM_STREAM_CAPTURE, SND_PCM_NONBLOCK);
    EXPECT_EQ(rc, 0) << snd_strerror(rc);
    if (rc < 0)
        return nullptr;
    rc = snd_pcm_set_params(pcm, SND_PCM_FORMAT_S16_LE, SND_PCM_ACCESS_RW_INTERLEAVED, 1, 8000, 0,
                            100000);
    EXPECT_EQ(rc, 0) << snd_strerror(rc);
    return pcm;
}

TEST(FaultDevice, ShortRuleMakesOneReadReturnFewerFrames)
{
    snd_pcm_t *pcm = open_capture("2=short33");
    ASSERT_NE(pcm, nullptr);
    int16_t buf[160];
    EXPECT_EQ(snd_pcm_readi(pcm, buf, 160), 160);
    EXPECT_EQ(snd_pcm_readi(pcm, buf, 160), 33);
    EXPECT_EQ(snd_pcm_readi(pcm, buf, 160), 160);
    snd_pcm_close(pcm);
    snd_config_update_free_global();
}

TEST(FaultDevice, OverrunNeedsAPrepareAndDataStayContiguous)
{
    snd_pcm_t *pcm = open_capture("2=EPIPE");
    ASSERT_NE(pcm, nullptr);
    std::vector<uint8_t> got(640);
    EXPECT_EQ(snd_pcm_readi(pcm, got.data(), 160), 160);
    EXPECT_EQ(snd_pcm_readi(pcm, got.data() + 320, 160), -EPIPE);
    EXPECT_EQ(snd_pcm_state(pcm), SND_PCM_STATE_XRUN);
    EXPECT_EQ(snd_pcm_readi(pcm, got.data() + 320, 160), -EPIPE) << "readable without prepare";
    EXPECT_EQ(snd_pcm_prepare(pcm), 0);
    EXPECT_EQ(snd_pcm_readi(pcm, got.data() + 320, 160), 160);
    got.resize(640);
    EXPECT_EQ(first_difference(got, fault_pattern(640)), -1);
    snd_pcm_close(pcm);
    snd_config_update_free_global();
}

TEST(FaultDevice, ErrorRangesCountTransfersFromOne)
{
    snd_pcm_t *pcm = open_capture("1-2=EIO,4+=EAGAIN");
    ASSERT_NE(pcm, nullptr);
    int16_t buf[160];
    EXPECT_EQ(snd_pcm_readi(pcm, buf, 160), -EIO);
    EXPECT_EQ(snd_pcm_readi(pcm, buf, 160), -EIO);
    EXPECT_EQ(snd_pcm_readi(pcm, buf, 160), 160);
    EXPECT_EQ(snd_pcm_readi(pcm, buf, 160), -EAGAIN);
    EXPECT_EQ(snd_pcm_readi(pcm, buf, 160), -EAGAIN);
    snd_pcm_close(pcm);
    snd_config_update_free_global();
}

TEST(FaultDevice, MalformedRuleListFailsTheOpen)
{
    setenv("ALSA_CONFIG_PATH", alsa_conf("fault").c_str(), 1);
    setenv("KEP_ALSA_FAULTS", "3=NOTANERROR", 1);
    snd_pcm_t *pcm = nullptr;
    EXPECT_EQ(snd_pcm_open(&pcm, "kep_audio_pcm_ex", SND_PCM_STREAM_CAPTURE, 0), -EINVAL);
    snd_config_update_free_global();
}

} // namespace
