// The platform's ALSA configurations: every name of both device tables is
// defined in each flavour, and on the virtual one each opens in its
// direction (and not in the other).
#include "audio_test_util.h"

#include <alsa/asoundlib.h>
#include <stdlib.h>

#include <string>

#include <gtest/gtest.h>

using namespace kep_test;

namespace {

const char *const kCaptureNames[] = {
    "hw:0,0",           "kep_audio_pcm_ex",  "kep_audio_pcm_16k_ex", "kep_audio_pcm_32k_ex",
    "kep_audio_pcm_48k_ex", "kep_audio_mulaw_ex", "kep_audio_alaw_ex", "kep_audio_g726_ex",
    "kep_audio_g722_ex",
};
const char *const kPlaybackNames[] = {
    "hw:0",                    "hw:0,0",                  "kep_audio_pcm_pb_ex",
    "kep_audio_pcm_pb_16k_ex", "kep_audio_pcm_pb_32k_ex", "kep_audio_pcm_pb_48k_ex",
    "kep_audio_mulaw_pb_ex",   "kep_audio_alaw_pb_ex",    "kep_audio_g726_pb_ex",
    "kep_audio_g722_pb_ex",
};

// Loads one configuration file the way ALSA_CONFIG_PATH makes the library do.
snd_config_t *load(const std::string &path)
{
    setenv("ALSA_CONFIG_PATH", path.c_str(), 1);
    snd_config_t *top = nullptr;
    int rc = snd_config_update_ref(&top);
    EXPECT_GE(rc, 0) << path << ": " << snd_strerror(rc);
    return top;
}

bool defines_pcm(snd_config_t *top, const char *name)
{
    std::string base = name;
    base = base.substr(0, base.find(':'));
    snd_config_t *node = nullptr;
    return snd_config_search(top, ("pcm." + base).c_str(), &node) == 0;
}

TEST(AlsaConfig, DesktopFlavourDefinesEveryName)
{
    snd_config_t *top = load(alsa_conf("desktop"));
    ASSERT_NE(top, nullptr);
    for (const char *name : kCaptureNames)
        EXPECT_TRUE(defines_pcm(top, name)) << name;
    for (const char *name : kPlaybackNames)
        EXPECT_TRUE(defines_pcm(top, name)) << name;
    snd_config_unref(top);
}

TEST(AlsaConfig, VirtualCaptureNamesOpenForCaptureOnly)
{
    setenv("ALSA_CONFIG_PATH", alsa_conf("virtual").c_str(), 1);
    for (const char *name : kCaptureNames) {
        snd_pcm_t *pcm = nullptr;
        int rc = snd_pcm_open(&pcm, name, SND_PCM_STREAM_CAPTURE, SND_PCM_NONBLOCK);
        EXPECT_EQ(rc, 0) << name << ": " << snd_strerror(rc);
        if (rc == 0)
            snd_pcm_close(pcm);
        if (std::string(name) == "hw:0,0")
            continue; // the card's first device works both ways
        rc = snd_pcm_open(&pcm, name, SND_PCM_STREAM_PLAYBACK, SND_PCM_NONBLOCK);
        EXPECT_LT(rc, 0) << name << " opened for playback";
        if (rc == 0)
            snd_pcm_close(pcm);
    }
}

TEST(AlsaConfig, VirtualPlaybackNamesOpenForPlayback)
{
    scratch_dir dir;
    setenv("ALSA_CONFIG_PATH", alsa_conf("virtual").c_str(), 1);
    setenv("KEP_ALSA_PLAYBACK_FILE", dir.path("played.raw").c_str(), 1);
    for (const char *name : kPlaybackNames) {
        snd_pcm_t *pcm = nullptr;
        int rc = snd_pcm_open(&pcm, name, SND_PCM_STREAM_PLAYBACK, SND_PCM_NONBLOCK);
        EXPECT_EQ(rc, 0) << name << ": " << snd_strerror(rc);
        if (rc == 0)
            snd_pcm_close(pcm);
    }
}

} // namespace
