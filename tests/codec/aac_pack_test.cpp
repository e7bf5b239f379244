// aacpack in file mode: command line, settings, encoder set-up results, and
// the encode loop's framing.

#include <gtest/gtest.h>

#include "aac_support.h"

using namespace aac_test;

namespace {

const char kUsage[] =
    "usage:\n"
    "./aacpack -f aot eld_sbr sample_rate vbr bitrate high_quality infile outfile\n"
    "./aacpack -d aot eld_sbr sample_rate vbr bitrate high_quality capture_time(in second) outfile\n"
    "\naot: audio object type\n"
    "2: MPEG-4 AAC Low Complexity.\n"
    "5: MPEG-4 AAC Low Complexity with Spectral Band Replication (HE-AAC).\n"
    "23: MPEG-4 AAC Low-Delay.\n"
    "39: MPEG-4 AAC Enhanced Low-Delay.\n"
    "\neld_sbr: MPEG-4 AAC Enhanced Low-Delay with Spectral Band Replication.\n"
    "1: enable SBR, 0: disable SBR\n"
    "\nvbr: variable bitrate\n"
    "0:cbr, 1~5:vbr\n"
    "\nbitrate: bitrate in cbr mode, this parameter is useless in vbr mode.\n"
    "\nhigh_quality: 1: high quality, 0:normal quality\n"
    "\n\n";

class AacPack : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = scratch_dir(std::string("aacpack_") +
                       ::testing::UnitTest::GetInstance()->current_test_info()->name());
    in_ = dir_ + "/in.pcm";
    out_ = dir_ + "/out.aac";
  }
  // Runs aacpack in file mode on in_ with the six numeric settings.
  RunResult pack(const std::string &aot, const std::string &eld_sbr, const std::string &rate,
                 const std::string &vbr, const std::string &bitrate, const std::string &hq,
                 const std::string &out = "") {
    return run_program("aacpack",
                       {"-f", aot, eld_sbr, rate, vbr, bitrate, hq, in_, out.empty() ? out_ : out});
  }
  std::string dir_, in_, out_;
};

TEST_F(AacPack, WrongArgumentCountPrintsUsageWithStatusMinusOne) {
  for (size_t count : {0u, 8u, 10u}) {
    std::vector<std::string> args(count, "1");
    if (count > 0) args[0] = "-f";
    RunResult r = run_program("aacpack", args);
    EXPECT_EQ(255, r.status) << count << " arguments";
    EXPECT_EQ(std::string("args error\n") + kUsage, r.err) << count << " arguments";
    EXPECT_EQ("", r.out) << count << " arguments";
  }
}

TEST_F(AacPack, UnknownModePrintsUsageWithStatusMinusTwo) {
  write_pcm(in_, speech_like(48000, 4096));
  for (const char *mode : {"-x", "f", "-fd", "-F"}) {
    RunResult r = run_program("aacpack", {mode, "2", "0", "48000", "0", "64000", "1", in_, out_});
    EXPECT_EQ(254, r.status) << mode;
    EXPECT_EQ(std::string("args error\n") + kUsage, r.err) << mode;
    EXPECT_FALSE(file_exists(out_)) << "mode " << mode << " must not create the output";
  }
}

TEST_F(AacPack, FileModePrintsSettingsEncoderFiguresAndProgress) {
  write_pcm(in_, speech_like(48000, 3 * 1024));
  RunResult r = pack("2", "0", "48000", "0", "64000", "1");
  EXPECT_EQ(0, r.status) << r.err;
  EXPECT_EQ("", r.err);
  EXPECT_EQ(
      "File mode:\n"
      "audio object type:2\n"
      "sbr on eld:0\n"
      "sample rate:48000\n"
      "VBR:0\n"
      "bit rate:64000\n"
      "high quality:1\n"
      "\n\n"
      "frame size:1024\n"
      "max output bytes:768\n\n"
      "start capture\n"
      "end capture\n",
      r.out);
}

TEST_F(AacPack, NumbersAreConvertedLikeAtoi) {
  write_pcm(in_, speech_like(48000, 2048));
  RunResult r = pack("2abc", "x", "48000Hz", "0", "64k", "1");
  // "64k" is 64 bit/s; the encoder raises a too-low rate on its own.
  EXPECT_EQ(0, r.status) << r.err;
  EXPECT_NE(std::string::npos, r.out.find("audio object type:2\nsbr on eld:0\nsample rate:48000\n"
                                          "VBR:0\nbit rate:64\n"))
      << r.out;
}

TEST_F(AacPack, UnopenableOutputFails) {
  write_pcm(in_, speech_like(48000, 2048));
  std::string bad = dir_ + "/missing/out.aac";
  RunResult r = pack("2", "0", "48000", "0", "64000", "1", bad);
  EXPECT_EQ(253, r.status);
  EXPECT_EQ("open output file " + bad + " failed\n", r.err);
}

// /dev/full takes nothing: the stream is lost, which must not pass for
// success. Two seconds of frames overflow the stdio buffer at a write; three
// frames wait in it until the close.
TEST_F(AacPack, OutputThatTakesNothingFails) {
  struct Case {
    int samples;
    int status;
    const char *err;
  } cases[] = {
      {2 * 48000, -54, "write output file /dev/full failed: No space left on device\n"},
      {3 * 1024, -55, "close output file /dev/full failed: No space left on device\n"},
  };
  for (const Case &c : cases) {
    write_pcm(in_, speech_like(48000, c.samples));
    RunResult r = pack("2", "0", "48000", "0", "64000", "1", "/dev/full");
    EXPECT_EQ(256 + c.status, r.status) << c.samples;
    EXPECT_EQ(c.err, r.err) << c.samples;
  }
}

TEST_F(AacPack, MissingInputFailsAfterCreatingOutput) {
  RunResult r = pack("2", "0", "48000", "0", "64000", "1");
  EXPECT_EQ(252, r.status);
  EXPECT_EQ("open input file " + in_ + " failed\n", r.err);
  EXPECT_TRUE(file_exists(out_));
  EXPECT_EQ(std::string::npos, r.out.find("frame size")) << "no encoder after a failed open";
}

TEST_F(AacPack, UnreadableInputIsAReadError) {
  // A folder opens for reading but every read fails.
  RunResult r = run_program("aacpack", {"-f", "2", "0", "48000", "0", "64000", "1", dir_, out_});
  EXPECT_EQ(256 - 51, r.status);
  EXPECT_EQ("read file error---0\n", r.err);
  EXPECT_NE(std::string::npos, r.out.find("start capture\n"));
  EXPECT_EQ(std::string::npos, r.out.find("end capture"));
}

struct SetupCase {
  const char *args[6];
  int status;
  const char *message;
};

TEST_F(AacPack, EncoderSetupFailuresStopWithTheirMessageAndStatus) {
  write_pcm(in_, speech_like(48000, 2048));
  const SetupCase cases[] = {
      {{"3", "0", "48000", "0", "64000", "1"}, -12, "Unable to set the AOT 3: Invalid config\n"},
      {{"0", "0", "48000", "0", "64000", "1"}, -12, "Unable to set the AOT 0: Invalid config\n"},
      {{"2", "0", "1234", "0", "64000", "1"}, -14,
       "Unable to set the sample rate 1234: Invalid config\n"},
      {{"2", "0", "0", "0", "64000", "1"}, -14, "Unable to set the sample rate 0: Invalid config\n"},
      {{"2", "0", "rate", "0", "64000", "1"}, -14,
       "Unable to set the sample rate 0: Invalid config\n"},
      {{"2", "0", "48000", "7", "64000", "1"}, -17,
       "Unable to set the VBR bitrate mode 7: Invalid config\n"},
      {{"2", "0", "48000", "-1", "64000", "1"}, -17,
       "Unable to set the VBR bitrate mode -1: Invalid config\n"},
      {{"2", "0", "48000", "0", "64000", "2"}, -21, "Unable to set afterburner to 2: Invalid config\n"},
      {{"5", "0", "8000", "0", "64000", "1"}, -23,
       "Unable to initialize the encoder: Invalid config\n"},
  };
  for (const SetupCase &c : cases) {
    std::string label = std::string(c.args[0]) + " " + c.args[1] + " " + c.args[2] + " " +
                        c.args[3] + " " + c.args[4] + " " + c.args[5];
    RunResult r = pack(c.args[0], c.args[1], c.args[2], c.args[3], c.args[4], c.args[5]);
    EXPECT_EQ(256 + c.status, r.status) << label;
    EXPECT_EQ(c.message, r.err) << label;
    EXPECT_EQ(std::string::npos, r.out.find("frame size")) << label;
    EXPECT_TRUE(read_bytes(out_).empty()) << label;
  }
}

TEST_F(AacPack, LowDelayTypesWithAdtsAreRefusedByTheEncoder) {
  write_pcm(in_, speech_like(48000, 2048));
  for (const char *aot : {"23", "39"}) {
    RunResult r = pack(aot, "0", "48000", "0", "64000", "1");
    EXPECT_EQ(256 - 23, r.status) << "aot " << aot;
    EXPECT_EQ("Unable to initialize the encoder: Transport library initialization error\n", r.err)
        << "aot " << aot;
  }
}

// The encoder answers differently for AAC-ELD at 96 kHz with and without
// SBR, which shows whether the SBR parameter was set.
TEST_F(AacPack, EldSbrIsSetOnlyForEldAndOnlyForOne) {
  write_pcm(in_, speech_like(48000, 2048));
  const std::string invalid = "Unable to initialize the encoder: Invalid config\n";
  const std::string transport =
      "Unable to initialize the encoder: Transport library initialization error\n";
  EXPECT_EQ(invalid, pack("39", "1", "96000", "0", "64000", "1").err) << "ELD with SBR";
  EXPECT_EQ(transport, pack("39", "0", "96000", "0", "64000", "1").err) << "ELD without SBR";
  EXPECT_EQ(transport, pack("39", "2", "96000", "0", "64000", "1").err) << "eld_sbr 2 is not 1";
  EXPECT_EQ(transport, pack("23", "1", "96000", "0", "64000", "1").err) << "LD ignores eld_sbr";

  // For AAC-LC the setting changes nothing in the stream.
  ASSERT_EQ(0, pack("2", "0", "48000", "0", "64000", "1").status);
  std::vector<uint8_t> without = read_bytes(out_);
  ASSERT_EQ(0, pack("2", "1", "48000", "0", "64000", "1").status);
  EXPECT_EQ(without, read_bytes(out_));
}

TEST_F(AacPack, ConstantBitRateFollowsTheBitrateArgument) {
  write_pcm(in_, speech_like(48000, 48000 * 2));
  ASSERT_EQ(0, pack("2", "0", "48000", "0", "32000", "1").status);
  size_t low = read_bytes(out_).size();
  ASSERT_EQ(0, pack("2", "0", "48000", "0", "96000", "1").status);
  size_t high = read_bytes(out_).size();
  // Two seconds: 32 kbit/s is about 8 kB, 96 kbit/s about 24 kB.
  EXPECT_NEAR(8000.0, (double)low, 1600.0);
  EXPECT_NEAR(24000.0, (double)high, 4800.0);
}

TEST_F(AacPack, VariableBitRateIgnoresTheBitrateArgument) {
  write_pcm(in_, speech_like(48000, 48000));
  ASSERT_EQ(0, pack("2", "0", "48000", "3", "8000", "1").status);
  std::vector<uint8_t> a = read_bytes(out_);
  ASSERT_EQ(0, pack("2", "0", "48000", "3", "256000", "1").status);
  std::vector<uint8_t> b = read_bytes(out_);
  ASSERT_FALSE(a.empty());
  EXPECT_EQ(a, b);
  // ...and the mode itself matters.
  ASSERT_EQ(0, pack("2", "0", "48000", "5", "8000", "1").status);
  EXPECT_GT(read_bytes(out_).size(), a.size());
}

TEST_F(AacPack, WholeFramesAreEncodedThenTheEncoderIsFlushed) {
  std::vector<int16_t> pcm = speech_like(48000, 3 * 1024);
  write_pcm(in_, pcm);
  ASSERT_EQ(0, pack("2", "0", "48000", "0", "64000", "1").status);
  std::vector<uint8_t> whole = read_bytes(out_);
  size_t rest = 99;
  std::vector<AdtsFrame> frames = parse_adts(whole, &rest);
  EXPECT_EQ(0u, rest) << "the file is ADTS frames and nothing else";
  // Three blocks in, and the flush returns the encoder's delayed frames.
  EXPECT_GE(frames.size(), 4u);
  EXPECT_LE(frames.size(), 5u);
  for (const AdtsFrame &f : frames) {
    EXPECT_EQ(1, f.profile) << "AAC-LC";
    EXPECT_EQ(3, f.rate_index) << "48000 Hz";
    EXPECT_EQ(1, f.channel_config) << "mono";
  }

  // A partial last block stays out of the stream: the output is the same.
  std::vector<int16_t> longer = pcm;
  longer.insert(longer.end(), pcm.begin(), pcm.begin() + 1000);
  write_pcm(in_, longer);
  ASSERT_EQ(0, pack("2", "0", "48000", "0", "64000", "1").status);
  EXPECT_EQ(whole, read_bytes(out_));
}

TEST_F(AacPack, OddTrailingByteIsNotRead) {
  std::vector<int16_t> pcm = speech_like(48000, 5 * 1024);
  write_pcm(in_, pcm);
  ASSERT_EQ(0, pack("2", "0", "48000", "0", "64000", "1").status);
  std::vector<uint8_t> even = read_bytes(out_);

  std::vector<uint8_t> odd = read_bytes(in_);
  odd.push_back(0x7F);
  write_bytes(in_, odd);
  RunResult r = pack("2", "0", "48000", "0", "64000", "1");
  EXPECT_EQ(0, r.status) << r.err;
  EXPECT_EQ(even, read_bytes(out_));
}

TEST_F(AacPack, InputShorterThanOneFrameGivesOnlyTheFlush) {
  write_bytes(in_, {});
  RunResult r = pack("2", "0", "48000", "0", "64000", "1");
  EXPECT_EQ(0, r.status) << r.err;
  EXPECT_NE(std::string::npos, r.out.find("start capture\nend capture\n"));
  std::vector<uint8_t> empty = read_bytes(out_);
  size_t rest = 99;
  parse_adts(empty, &rest);
  EXPECT_EQ(0u, rest);

  write_pcm(in_, speech_like(48000, 1023));
  ASSERT_EQ(0, pack("2", "0", "48000", "0", "64000", "1").status);
  EXPECT_EQ(empty, read_bytes(out_)) << "1023 samples are not a whole frame";
}

TEST_F(AacPack, HeAacUsesTwiceTheFrameLength) {
  write_pcm(in_, speech_like(48000, 48000));
  RunResult r = pack("5", "0", "48000", "0", "48000", "0");
  EXPECT_EQ(0, r.status) << r.err;
  EXPECT_NE(std::string::npos, r.out.find("frame size:2048\n")) << r.out;
  std::vector<AdtsFrame> frames = parse_adts(read_bytes(out_));
  ASSERT_FALSE(frames.empty());
  // The ADTS header carries the core: AAC-LC at half the rate (24000 Hz).
  EXPECT_EQ(1, frames[0].profile);
  EXPECT_EQ(6, frames[0].rate_index);
}

}  // namespace
