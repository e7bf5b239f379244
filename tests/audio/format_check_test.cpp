// Device tables of the ALSA module: which named device and period each
// format and rate select, and what is refused.
#include "audio_stream.h"

#include <string.h>

#include <string>

#include <gtest/gtest.h>

namespace {

struct row {
    int format;
    unsigned rate;
    const char *device;
    unsigned long period;
};

audio_stream make(int format, unsigned rate)
{
    audio_stream s;
    memset(&s, 0, sizeof s);
    strcpy(s.device, "untouched");
    s.format = (snd_pcm_format_t)format;
    s.rate = rate;
    s.period_frames = 7;
    s.channels = 1;
    s.open_mode = SND_PCM_NONBLOCK;
    return s;
}

class CaptureTable : public ::testing::TestWithParam<row> {};
class PlaybackTable : public ::testing::TestWithParam<row> {};

TEST_P(CaptureTable, SelectsDeviceAndPeriodSilently)
{
    const row &r = GetParam();
    audio_stream s = make(r.format, r.rate);
    testing::internal::CaptureStdout();
    int rc = audio_capture_format_check(&s);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(rc, 0);
    EXPECT_STREQ(s.device, r.device);
    EXPECT_EQ(s.period_frames, r.period);
    EXPECT_EQ(out, "");
}

TEST_P(PlaybackTable, SelectsDeviceAndPeriodSilently)
{
    const row &r = GetParam();
    audio_stream s = make(r.format, r.rate);
    testing::internal::CaptureStdout();
    int rc = audio_playback_format_check(&s);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(rc, 0);
    EXPECT_STREQ(s.device, r.device);
    EXPECT_EQ(s.period_frames, r.period);
    EXPECT_EQ(out, "");
}

INSTANTIATE_TEST_SUITE_P(
    Rows, CaptureTable,
    ::testing::Values(row{0, 8000, "hw:0,0", 40}, row{1, 22050, "hw:0,0", 40},
                      row{2, 8000, "kep_audio_pcm_ex", 80}, row{4, 8000, "kep_audio_pcm_ex", 80},
                      row{2, 16000, "kep_audio_pcm_16k_ex", 80},
                      row{4, 32000, "kep_audio_pcm_32k_ex", 80},
                      row{2, 48000, "kep_audio_pcm_48k_ex", 80},
                      row{20, 16000, "kep_audio_mulaw_ex", 80},
                      row{21, 44100, "kep_audio_alaw_ex", 80},
                      row{50, 8000, "kep_audio_g726_ex", 80}, row{51, 8000, "kep_audio_g726_ex", 80},
                      row{52, 8000, "kep_audio_g726_ex", 80},
                      row{53, 8000, "kep_audio_g726_ex", 160},
                      row{54, 48000, "kep_audio_g722_ex", 80}));

INSTANTIATE_TEST_SUITE_P(
    Rows, PlaybackTable,
    ::testing::Values(row{0, 8000, "hw:0", 160}, row{1, 8000, "hw:0", 160},
                      row{2, 8000, "kep_audio_pcm_pb_ex", 160},
                      row{4, 16000, "kep_audio_pcm_pb_16k_ex", 160},
                      row{2, 32000, "kep_audio_pcm_pb_32k_ex", 160},
                      row{4, 48000, "kep_audio_pcm_pb_48k_ex", 160},
                      row{20, 8000, "kep_audio_mulaw_pb_ex", 160},
                      row{21, 11025, "kep_audio_alaw_pb_ex", 160},
                      row{50, 8000, "kep_audio_g726_pb_ex", 160},
                      row{53, 8000, "kep_audio_g726_pb_ex", 160},
                      row{54, 8000, "kep_audio_g722_pb_ex", 160}));

TEST(FormatCheck, CaptureRefusesOtherPcmRateButStoresPeriod)
{
    audio_stream s = make(2, 44100);
    testing::internal::CaptureStdout();
    int rc = audio_capture_format_check(&s);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Wrong sample_rate: 44100\n");
    EXPECT_EQ(rc, -1);
    EXPECT_STREQ(s.device, "untouched");
    EXPECT_EQ(s.period_frames, 80u);
}

TEST(FormatCheck, PlaybackRefusesOtherPcmRateButStoresPeriod)
{
    audio_stream s = make(4, 11025);
    testing::internal::CaptureStdout();
    int rc = audio_playback_format_check(&s);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Wrong sample_rate: 11025\n");
    EXPECT_EQ(rc, -1);
    EXPECT_STREQ(s.device, "untouched");
    EXPECT_EQ(s.period_frames, 160u);
}

TEST(FormatCheck, BigEndianAndUnknownCodesAreRefusedInBothDirections)
{
    for (int format : {3, 5, 10, 22, 49, 55, -1}) {
        audio_stream s = make(format, 8000);
        testing::internal::CaptureStdout();
        int cap = audio_capture_format_check(&s);
        int pb = audio_playback_format_check(&s);
        EXPECT_EQ(testing::internal::GetCapturedStdout(),
                  "[KEP-AUDIO]WRONG AUDIO FORMAT\n[KEP-AUDIO]WRONG AUDIO FORMAT\n")
            << "format " << format;
        EXPECT_EQ(cap, -1) << "format " << format;
        EXPECT_EQ(pb, -1) << "format " << format;
        EXPECT_STREQ(s.device, "untouched") << "format " << format;
        EXPECT_EQ(s.period_frames, 7u) << "format " << format;
    }
}

TEST(FormatCheck, NullRecordIsRefusedSilently)
{
    testing::internal::CaptureStdout();
    EXPECT_EQ(audio_capture_format_check(nullptr), -1);
    EXPECT_EQ(audio_playback_format_check(nullptr), -1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}

} // namespace
