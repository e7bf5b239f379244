// aacpack's streams decode, with aacplay and with FFmpeg, back to the source
// signal: AAC-LC and HE-AAC, constant bit rate and every VBR mode.

#include <gtest/gtest.h>

#include "aac_support.h"

using namespace aac_test;

namespace {

struct Mode {
  const char *name;
  const char *aot;
  const char *vbr;
  const char *bitrate;
  int frame_length;     // input samples per frame
  // ADTS signals SBR and PS only implicitly, so FFmpeg opens HE-AAC as
  // stereo and names it HE-AACv2 in case parametric stereo follows.
  int ffmpeg_channels;
  const char *ffprobe_profile;
};

void PrintTo(const Mode &m, std::ostream *os) { *os << m.name; }

class AacRoundTrip : public ::testing::TestWithParam<Mode> {};

TEST_P(AacRoundTrip, DecodesToTheSourceWithAacplayAndFfmpeg) {
  const Mode &m = GetParam();
  const int rate = 48000;
  std::string dir = scratch_dir(std::string("aacroundtrip_") + m.name);
  std::vector<int16_t> src = speech_like(rate, 3 * rate);
  write_pcm(dir + "/src.pcm", src);

  RunResult pack = run_program("aacpack", {"-f", m.aot, "0", std::to_string(rate), m.vbr,
                                           m.bitrate, "1", dir + "/src.pcm", dir + "/s.aac"});
  ASSERT_EQ(0, pack.status) << pack.err;
  std::vector<uint8_t> adts = read_bytes(dir + "/s.aac");
  size_t rest = 99;
  std::vector<AdtsFrame> frames = parse_adts(adts, &rest);
  ASSERT_EQ(0u, rest) << "whole ADTS frames only";
  // Every whole input block gives a frame; the flush adds the encoder's delay.
  size_t blocks = src.size() / (size_t)m.frame_length;
  EXPECT_GE(frames.size(), blocks);
  EXPECT_LE(frames.size(), blocks + 4);

  RunResult play = run_program("aacplay", {"-f", dir + "/s.aac", dir + "/d.pcm"});
  ASSERT_EQ(0, play.status) << play.err;
  EXPECT_NE(std::string::npos, play.out.find("sample rate:" + std::to_string(rate) + "\nframe size:" +
                                             std::to_string(m.frame_length) + "\n"))
      << play.out;
  std::vector<int16_t> decoded = read_pcm(dir + "/d.pcm");
  EXPECT_EQ(frames.size() * (size_t)m.frame_length, decoded.size());
  int lag = -1;
  double c = best_correlation(src, decoded, 4 * m.frame_length, &lag);
  EXPECT_GT(c, 0.97) << "aacplay, lag " << lag;

  // Debian's ffprobe reads the file as an ADTS AAC stream at the right rate
  // with one packet and one decoded frame per ADTS frame.
  RunResult probe = run_program(
      "/usr/bin/ffprobe",
      {"-v", "error", "-select_streams", "a:0", "-count_frames", "-count_packets", "-show_entries",
       "stream=codec_name,profile,sample_rate,nb_read_frames,nb_read_packets", "-of",
       "default=noprint_wrappers=1", dir + "/s.aac"});
  ASSERT_EQ(0, probe.status) << probe.err;
  std::string n = std::to_string(frames.size());
  EXPECT_EQ(std::string("codec_name=aac\nprofile=") + m.ffprobe_profile + "\nsample_rate=" +
                std::to_string(rate) + "\nnb_read_frames=" + n + "\nnb_read_packets=" + n + "\n",
            probe.out);

  FfmpegDecode ff = ffmpeg_decode(adts);
  ASSERT_TRUE(ff.ok) << ff.error;
  EXPECT_EQ(rate, ff.sample_rate);
  EXPECT_EQ(m.ffmpeg_channels, ff.channels);
  EXPECT_EQ((int)frames.size(), ff.frames) << "FFmpeg's ADTS parser counts the same frames";
  c = best_correlation(src, ff.mono, 4 * m.frame_length, &lag);
  EXPECT_GT(c, 0.97) << "FFmpeg, lag " << lag;
}

INSTANTIATE_TEST_SUITE_P(Modes, AacRoundTrip,
                         ::testing::Values(Mode{"LC_cbr64k", "2", "0", "64000", 1024, 1, "LC"},
                                           Mode{"LC_cbr24k", "2", "0", "24000", 1024, 1, "LC"},
                                           Mode{"HE_cbr32k", "5", "0", "32000", 2048, 2, "HE-AACv2"},
                                           Mode{"LC_vbr1", "2", "1", "0", 1024, 1, "LC"},
                                           Mode{"LC_vbr2", "2", "2", "0", 1024, 1, "LC"},
                                           Mode{"LC_vbr3", "2", "3", "0", 1024, 1, "LC"},
                                           Mode{"LC_vbr4", "2", "4", "0", 1024, 1, "LC"},
                                           Mode{"LC_vbr5", "2", "5", "0", 1024, 1, "LC"},
                                           Mode{"HE_vbr3", "5", "3", "0", 2048, 2, "HE-AACv2"}),
                         [](const ::testing::TestParamInfo<Mode> &i) { return i.param.name; });

}  // namespace
