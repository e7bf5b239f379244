// aacplay in file mode: command line, the decode loop, streams with more
// channels or longer frames than the tool's own, and hostile ADTS input.

#include <gtest/gtest.h>
#include <unistd.h>

#include <fdk-aac/aacenc_lib.h>

#include "aac_support.h"

using namespace aac_test;

namespace {

const char kUsage[] = "usage:\n./aacplay -f infile outfile\n./aacplay -d infile\n";

class AacPlay : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = scratch_dir(std::string("aacplay_") +
                       ::testing::UnitTest::GetInstance()->current_test_info()->name());
    in_ = dir_ + "/in.aac";
    out_ = dir_ + "/out.pcm";
  }
  RunResult play() { return run_program("aacplay", {"-f", in_, out_}); }
  std::string dir_, in_, out_;
};

std::vector<int16_t> interleave(const std::vector<std::vector<int16_t>> &channels) {
  std::vector<int16_t> out;
  for (size_t i = 0; i < channels[0].size(); i++)
    for (const auto &c : channels) out.push_back(c[i]);
  return out;
}

std::string expected_progress(int rate, int frame_size) {
  return "File mode:\nstart aac decode\nsample rate:" + std::to_string(rate) +
         "\nframe size:" + std::to_string(frame_size) + "\n\n\nend aac decode\n";
}

TEST_F(AacPlay, TooFewArgumentsPrintUsageWithStatusMinusOne) {
  for (size_t count : {0u, 1u}) {
    std::vector<std::string> args(count, "-f");
    RunResult r = run_program("aacplay", args);
    EXPECT_EQ(255, r.status) << count << " arguments";
    EXPECT_EQ(std::string("Command error.\n") + kUsage, r.err) << count << " arguments";
    EXPECT_EQ("", r.out);
  }
}

TEST_F(AacPlay, UnknownModePrintsUsageWithStatusMinusTwo) {
  RunResult r = run_program("aacplay", {"-x", in_, out_});
  EXPECT_EQ(254, r.status);
  EXPECT_EQ(std::string("Command error.\n") + kUsage, r.err);
  EXPECT_EQ("", r.out);
}

TEST_F(AacPlay, MissingInputFails) {
  RunResult r = play();
  EXPECT_EQ(253, r.status);
  EXPECT_EQ("File mode:\n", r.out);
  EXPECT_EQ("open input file " + in_ + " failed\n", r.err);
}

TEST_F(AacPlay, MonoStreamDecodesEveryFrame) {
  std::vector<int16_t> src = speech_like(48000, 48000);
  std::vector<uint8_t> adts = fdk_encode(src, 1, MODE_1, 2, 48000, 64000);
  size_t frames = parse_adts(adts).size();
  ASSERT_GT(frames, 40u);
  write_bytes(in_, adts);
  RunResult r = play();
  EXPECT_EQ(0, r.status) << r.err;
  EXPECT_EQ("", r.err);
  EXPECT_EQ(expected_progress(48000, 1024), r.out);
  std::vector<int16_t> pcm = read_pcm(out_);
  EXPECT_EQ(frames * 1024, pcm.size());
  EXPECT_GT(best_correlation(src, pcm, 4096), 0.95);
}

// The last chunk is short and, after the end of input, the decoder is asked
// for frames until it has none: every frame of the file comes out.
TEST_F(AacPlay, ShortLastChunkIsDecodedToTheEnd) {
  std::vector<int16_t> src = speech_like(16000, 16000);
  for (int extra_bytes = 0; extra_bytes < 3; extra_bytes++) {
    std::vector<uint8_t> adts = fdk_encode(src, 1, MODE_1, 2, 16000, 24000 + 800 * extra_bytes);
    size_t frames = parse_adts(adts).size();
    ASSERT_NE(0u, adts.size() % 768) << "want a short last chunk";
    write_bytes(in_, adts);
    RunResult r = play();
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_EQ(frames * 1024, read_pcm(out_).size()) << adts.size() << " bytes";
  }
}

TEST_F(AacPlay, StreamOfWholeChunksIsDecodedToTheEnd) {
  // Look for a bit rate that makes the stream a whole number of chunks.
  std::vector<int16_t> src = speech_like(16000, 8000);
  std::vector<uint8_t> adts;
  for (int bitrate = 16000; bitrate < 80000; bitrate += 50) {
    adts = fdk_encode(src, 1, MODE_1, 2, 16000, bitrate);
    if (!adts.empty() && adts.size() % 768 == 0) break;
  }
  ASSERT_EQ(0u, adts.size() % 768);
  write_bytes(in_, adts);
  RunResult r = play();
  EXPECT_EQ(0, r.status) << r.err;
  EXPECT_EQ(parse_adts(adts).size() * 1024, read_pcm(out_).size()) << adts.size() << " bytes";
}

TEST_F(AacPlay, InputWithoutAFrameCreatesNoOutput) {
  const std::vector<std::vector<uint8_t>> inputs = {
      {},
      {0xFF},
      std::vector<uint8_t>(5000, 0x00),
      std::vector<uint8_t>(3000, 0xFF),
  };
  for (size_t i = 0; i < inputs.size(); i++) {
    write_bytes(in_, inputs[i]);
    RunResult r = play();
    EXPECT_EQ(0, r.status) << "input " << i << ": " << r.err;
    EXPECT_EQ("File mode:\nstart aac decode\nend aac decode\n", r.out) << "input " << i;
    EXPECT_FALSE(file_exists(out_)) << "input " << i;
  }
}

TEST_F(AacPlay, StereoStreamIsMixedDownToMono) {
  std::vector<int16_t> left = speech_like(48000, 48000, 1.0);
  std::vector<int16_t> right = speech_like(48000, 48000, 1.5);
  std::vector<uint8_t> adts = fdk_encode(interleave({left, right}), 2, MODE_2, 2, 48000, 128000);
  std::vector<AdtsFrame> frames = parse_adts(adts);
  ASSERT_FALSE(frames.empty());
  ASSERT_EQ(2, frames[0].channel_config);
  write_bytes(in_, adts);
  RunResult r = play();
  EXPECT_EQ(0, r.status) << r.err;
  EXPECT_EQ(expected_progress(48000, 1024), r.out);
  std::vector<int16_t> pcm = read_pcm(out_);
  ASSERT_EQ(frames.size() * 1024, pcm.size()) << "one channel, frame size samples per frame";
  std::vector<int16_t> mix(left.size());
  for (size_t i = 0; i < mix.size(); i++) mix[i] = (int16_t)((left[i] + right[i]) / 2);
  EXPECT_GT(best_correlation(mix, pcm, 4096), 0.95) << "both channels in the mix";
}

// HE-AAC frames are 2048 samples; with two channels or parametric stereo the
// decoder works on twice that before the mix-down. None of it may overrun
// the PCM buffer (the sanitizer build checks the writes).
TEST_F(AacPlay, HeAacStreamsDecodeWithoutOverrun) {
  std::vector<int16_t> left = speech_like(44100, 44100, 1.0);
  std::vector<int16_t> right = speech_like(44100, 44100, 1.3);
  std::vector<int16_t> mix(left.size());
  for (size_t i = 0; i < mix.size(); i++) mix[i] = (int16_t)((left[i] + right[i]) / 2);
  struct Case {
    const char *name;
    std::vector<uint8_t> adts;
    const std::vector<int16_t> &expected;
  } cases[] = {
      {"HE-AAC mono", fdk_encode(left, 1, MODE_1, 5, 44100, 32000), left},
      {"HE-AAC stereo", fdk_encode(interleave({left, right}), 2, MODE_2, 5, 44100, 48000), mix},
      {"HE-AAC v2", fdk_encode(interleave({left, right}), 2, MODE_2, 29, 44100, 32000), mix},
  };
  for (const Case &c : cases) {
    size_t frames = parse_adts(c.adts).size();
    ASSERT_GT(frames, 10u) << c.name;
    write_bytes(in_, c.adts);
    RunResult r = play();
    EXPECT_EQ(0, r.status) << c.name << ": " << r.err;
    EXPECT_EQ(expected_progress(44100, 2048), r.out) << c.name;
    std::vector<int16_t> pcm = read_pcm(out_);
    EXPECT_EQ(frames * 2048, pcm.size()) << c.name;
    EXPECT_GT(best_correlation(c.expected, pcm, 12288), 0.9) << c.name;
  }
}

TEST_F(AacPlay, SurroundHeAacStreamIsMixedDownWithoutOverrun) {
  std::vector<std::vector<int16_t>> six;
  for (int c = 0; c < 6; c++) six.push_back(speech_like(48000, 48000, 1.0 + 0.1 * c));
  std::vector<uint8_t> adts = fdk_encode(interleave(six), 6, MODE_1_2_2_1, 5, 48000, 160000);
  std::vector<AdtsFrame> frames = parse_adts(adts);
  ASSERT_FALSE(frames.empty()) << "fdk-aac made no 5.1 stream";
  EXPECT_EQ(6, frames[0].channel_config);
  write_bytes(in_, adts);
  RunResult r = play();
  EXPECT_EQ(0, r.status) << r.err;
  EXPECT_EQ(expected_progress(48000, 2048), r.out);
  EXPECT_EQ(frames.size() * 2048, read_pcm(out_).size());
}

// Paths are counted from the end: with "-f" and one path, the mode argument
// itself is the input file's name.
TEST_F(AacPlay, TwoArgumentsTakeTheModeAsInputPath) {
  std::vector<uint8_t> adts = fdk_encode(speech_like(48000, 24000), 1, MODE_1, 2, 48000, 64000);
  write_bytes(dir_ + "/-f", adts);
  RunResult r = run_program("aacplay", {"-f", "decoded.pcm"}, dir_);
  EXPECT_EQ(0, r.status) << r.err;
  EXPECT_EQ(parse_adts(adts).size() * 1024, read_pcm(dir_ + "/decoded.pcm").size());

  RunResult missing = run_program("aacplay", {"-f", out_});
  EXPECT_EQ(253, missing.status);
  EXPECT_EQ("open input file -f failed\n", missing.err);
  EXPECT_FALSE(file_exists(out_));
}

TEST_F(AacPlay, UncreatableOutputFailsAtTheFirstFrame) {
  write_bytes(in_, fdk_encode(speech_like(48000, 4800), 1, MODE_1, 2, 48000, 64000));
  std::string bad = dir_ + "/missing/out.pcm";
  RunResult r = run_program("aacplay", {"-f", in_, bad});
  EXPECT_EQ(256 - 46, r.status);
  EXPECT_EQ("File mode:\nstart aac decode\nsample rate:48000\nframe size:1024\n\n\n", r.out);
  EXPECT_EQ("open output file " + bad + " failed\n", r.err);
}

// A second of frames overflows the stdio buffer at a write; one frame waits
// in it until the close, which must not pass for success either.
TEST_F(AacPlay, FailedWriteStops) {
  std::vector<uint8_t> stream = fdk_encode(speech_like(48000, 48000), 1, MODE_1, 2, 48000, 64000);
  std::vector<AdtsFrame> frames = parse_adts(stream);
  ASSERT_GT(frames.size(), 1u);
  struct Case {
    size_t bytes;
    int status;
    const char *err;
  } cases[] = {
      {stream.size(), -47, "write file error\n"},
      {frames[0].length, -49, "close output file /dev/full failed: No space left on device\n"},
  };
  for (const Case &c : cases) {
    write_bytes(in_, std::vector<uint8_t>(stream.begin(), stream.begin() + (long)c.bytes));
    RunResult r = run_program("aacplay", {"-f", in_, "/dev/full"});
    EXPECT_EQ(256 + c.status, r.status) << c.bytes;
    EXPECT_EQ(c.err, r.err) << c.bytes;
  }
}

TEST_F(AacPlay, UnreadableInputIsAReadError) {
  RunResult r = run_program("aacplay", {"-f", dir_, out_});
  EXPECT_EQ(256 - 41, r.status);
  EXPECT_EQ("read file error\n", r.err);
  EXPECT_FALSE(file_exists(out_));
}

// Hostile files: damaged headers and payloads around good frames. Neither
// the decoder nor the tool may read or write outside a buffer (checked in the
// sanitizer build and by the fuzz target); the outcome is the decoder's own
// answer: sync and parse errors stop the tool, the rest decodes or is
// skipped.
class AacPlayHostile : public AacPlay {
 protected:
  void SetUp() override {
    AacPlay::SetUp();
    good_ = fdk_encode(speech_like(48000, 24000), 1, MODE_1, 2, 48000, 64000);
    frames_ = parse_adts(good_);
    ASSERT_EQ(26u, frames_.size());
  }
  uint8_t *header(std::vector<uint8_t> &d, size_t i) { return &d[frames_[i].offset]; }
  // Sets the 13-bit frame length of frame i.
  void set_length(std::vector<uint8_t> &d, size_t i, size_t len) {
    uint8_t *h = header(d, i);
    h[3] = (uint8_t)((h[3] & 0xFC) | ((len >> 11) & 0x03));
    h[4] = (uint8_t)(len >> 3);
    h[5] = (uint8_t)((h[5] & 0x1F) | ((len & 0x07) << 5));
  }
  // Runs aacplay on `d`; checks status, message and decoded sample count.
  void expect_outcome(const char *name, const std::vector<uint8_t> &d, int status,
                      const std::string &err, size_t samples) {
    unlink(out_.c_str());
    write_bytes(in_, d);
    RunResult r = play();
    EXPECT_EQ(status, r.status) << name;
    EXPECT_EQ(err, r.err) << name;
    EXPECT_EQ(samples, read_pcm(out_).size()) << name;
    if (samples == 0) {
      EXPECT_FALSE(file_exists(out_)) << name << ": no frame, no output file";
    }
  }
  std::vector<uint8_t> good_;
  std::vector<AdtsFrame> frames_;
};

const char kSyncError[] = "aacDecoder_DecodeFrame failed --- 0x00001001\n";

TEST_F(AacPlayHostile, TruncatedLastFrameKeepsTheFramesBeforeIt) {
  std::vector<uint8_t> d = good_;
  d.resize(frames_.back().offset + frames_.back().length / 2);
  expect_outcome("truncated", d, 0, "", 25 * 1024);
}

TEST_F(AacPlayHostile, FrameLengthsTooShortAreSyncErrors) {
  for (size_t len : {0u, 1u, 6u, 7u}) {
    std::vector<uint8_t> d = good_;
    set_length(d, 3, len);
    expect_outcome(("length " + std::to_string(len)).c_str(), d, 256 - 43, kSyncError, 3 * 1024);
  }
}

TEST_F(AacPlayHostile, FrameLengthPastTheEndOfFileEndsTheStream) {
  std::vector<uint8_t> d = good_;
  set_length(d, 3, 8191);
  expect_outcome("length 8191", d, 0, "", 3 * 1024);
}

TEST_F(AacPlayHostile, TrailingZerosAfterTheLastFrameAreASyncError) {
  std::vector<uint8_t> d = good_;
  d.resize(d.size() + 1000, 0);
  expect_outcome("zero tail", d, 256 - 43, kSyncError, 26 * 1024);
}

TEST_F(AacPlayHostile, EightChannelHeadersOnMonoFramesAreDecoded) {
  std::vector<uint8_t> d = good_;
  for (size_t i = 4; i < frames_.size(); i += 3) {
    header(d, i)[2] |= 0x01;
    header(d, i)[3] |= 0xC0;
  }
  expect_outcome("channel configuration 7", d, 0, "", 26 * 1024);
}

TEST_F(AacPlayHostile, SampleRateChangedMidStreamStops) {
  std::vector<uint8_t> d = good_;
  header(d, 4)[2] = (uint8_t)(header(d, 4)[2] & 0xC3);  // index 0: 96000 Hz
  expect_outcome("rate change", d, 256 - 43, "aacDecoder_DecodeFrame failed --- 0x00000005\n",
                 4 * 1024);
}

TEST_F(AacPlayHostile, DamagedPayloadIsAParseError) {
  std::vector<uint8_t> d = good_;
  uint32_t x = 12345;
  for (size_t b = frames_[2].offset + 7; b < frames_[2].offset + frames_[2].length; b++) {
    x = x * 1103515245u + 12345u;
    d[b] = (uint8_t)(x >> 24);
  }
  expect_outcome("payload", d, 256 - 43, "aacDecoder_DecodeFrame failed --- 0x00004002\n",
                 2 * 1024);
}

TEST_F(AacPlayHostile, UnsupportedConfigurationsDecodeNothing) {
  struct Mutation {
    const char *name;
    uint8_t mask2, set2, mask3, set3;
  } mutations[] = {
      {"sampling-frequency index 15", 0xC3, 0x3C, 0xFF, 0x00},
      {"channel configuration 0 without a program config", 0xFE, 0x00, 0x3F, 0x00},
      {"profile 3 (LTP)", 0x3F, 0xC0, 0xFF, 0x00},
  };
  for (const Mutation &m : mutations) {
    std::vector<uint8_t> d = good_;
    for (size_t i = 0; i < frames_.size(); i++) {
      uint8_t *h = header(d, i);
      h[2] = (uint8_t)((h[2] & m.mask2) | m.set2);
      h[3] = (uint8_t)((h[3] & m.mask3) | m.set3);
    }
    expect_outcome(m.name, d, 0, "", 0);
  }
}

}  // namespace
