// opusplay run as a program: command line, record loop, delivery, failures.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "opus_test_support.h"

using namespace opus_test;

namespace {

const char usage_text[] =
    "args error\n"
    "./opusplay -f sample_rate infile outfile\n"
    "./opusplay -d sample_rate infile\n";

// Packs `seconds` of the speech-like signal with opuspack at 16 kbit/s.
std::string pack(const temp_dir &dir, int rate, int frame, double seconds, const std::string &name = "in.opf")
{
  write_bytes(dir.path("src.raw"), to_bytes(speech_like(rate, seconds)));
  run_result r = run("opuspack", {"-f", std::to_string(rate), "16000", std::to_string(frame), "5", "1",
                                  dir.path("src.raw"), dir.path(name)});
  EXPECT_EQ(r.status, 0) << r.err;
  return dir.path(name);
}

std::vector<std::string> virtual_alsa(const std::string &playback_file)
{
  return {std::string("ALSA_CONFIG_PATH=") + KEP_BUILD_DIR + "/share/alsa/kep-virtual.conf",
          "KEP_ALSA_PLAYBACK_FILE=" + playback_file};
}

TEST(OpusplayArguments, FewerThanThreePrintsUsageAndFails)
{
  for (std::vector<std::string> args : {std::vector<std::string>{}, {"-f"}, {"-d", "8000"}}) {
    run_result r = run("opusplay", args);
    EXPECT_EQ(r.status, 255) << args.size() << " arguments";
    EXPECT_EQ(r.err, usage_text);
    EXPECT_EQ(r.out, "");
  }
}

TEST(OpusplayArguments, UnknownModeSwitchPrintsUsage)
{
  temp_dir dir;
  run_result r = run("opusplay", {"-x", "8000", pack(dir, 8000, 160, 0.1), dir.path("out")});
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.err, usage_text);
  EXPECT_FALSE(file_exists(dir.path("out")));
}

TEST(OpusplayArguments, FileModeTakesTheLastTwoArgumentsAsInputAndOutput)
{
  temp_dir dir;
  std::string in = pack(dir, 8000, 160, 0.1);
  run_result r = run("opusplay", {"-f", "8000", "ignored", dir.path("also-ignored"), in, dir.path("out")});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(read_bytes(dir.path("out")).size(), 5 * 320u);
  EXPECT_FALSE(file_exists(dir.path("also-ignored")));
}

TEST(OpusplayArguments, FrameSizeIsOneHundredTwentyMilliseconds)
{
  temp_dir dir;
  write_bytes(dir.path("empty"), {});
  for (auto rate_frame : {std::make_pair(8000, 960), {16000, 1920}, {48000, 5760}}) {
    run_result r = run("opusplay", {"-f", std::to_string(rate_frame.first), dir.path("empty"), dir.path("out")});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "File mode:\nsample rate:" + std::to_string(rate_frame.first) + "\nframe size:" +
                         std::to_string(rate_frame.second) + "\n\n\n");
  }
}

TEST(OpusplayFileMode, EachRecordOf160SamplesDecodesTo160Samples)
{
  temp_dir dir;
  std::string in = pack(dir, 8000, 160, 0.2);
  parsed_file f = parse_packet_file(read_bytes(in));
  ASSERT_EQ(f.packets.size(), 10u);
  run_result r = run("opusplay", {"-f", "8000", in, dir.path("out")});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "read file error\n");
  std::string expected = "File mode:\nsample rate:8000\nframe size:960\n\n\n";
  for (size_t i = 0; i < f.packets.size(); i++)
    expected += std::to_string(i) + ":decode block size:" + std::to_string(f.packets[i].size()) + "\n";
  EXPECT_EQ(r.out, expected);
  EXPECT_EQ(read_bytes(dir.path("out")).size(), 10 * 160 * 2u);
}

TEST(OpusplayFileMode, EmptyInputEndsAtOnceWithEmptyOutput)
{
  temp_dir dir;
  write_bytes(dir.path("empty"), {});
  run_result r = run("opusplay", {"-f", "8000", dir.path("empty"), dir.path("out")});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "read file error\n");
  EXPECT_EQ(r.out.find("decode block size"), std::string::npos);
  EXPECT_TRUE(file_exists(dir.path("out")));
  EXPECT_TRUE(read_bytes(dir.path("out")).empty());
}

TEST(OpusplayFileMode, LengthFieldCutShortEndsLikeEndOfFile)
{
  temp_dir dir;
  std::vector<uint8_t> file = read_bytes(pack(dir, 8000, 160, 0.04));
  file.insert(file.end(), {0x10, 0x00});
  write_bytes(dir.path("cut.opf"), file);
  run_result r = run("opusplay", {"-f", "8000", dir.path("cut.opf"), dir.path("out")});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "read file error\n");
  EXPECT_EQ(read_bytes(dir.path("out")).size(), 2 * 320u);
}

TEST(OpusplayFileMode, TruncatedLastPacketIsNotDecoded)
{
  temp_dir dir;
  std::vector<uint8_t> file = read_bytes(pack(dir, 8000, 160, 0.06));
  append_record(file, 50, std::vector<uint8_t>(20, 0x55));  // announces 50, holds 20
  write_bytes(dir.path("cut.opf"), file);
  run_result r = run("opusplay", {"-f", "8000", dir.path("cut.opf"), dir.path("out")});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "decode end\n");
  EXPECT_EQ(r.out.substr(r.out.size() - 23), "3:decode block size:50\n");
  EXPECT_EQ(read_bytes(dir.path("out")).size(), 3 * 320u);
}

TEST(OpusplayFileMode, RecordLongerThanThePacketBufferIsRefusedUnread)
{
  temp_dir dir;
  std::vector<uint8_t> file = read_bytes(pack(dir, 8000, 160, 0.04));
  // 2 x 960 bytes is the packet buffer at 8 kHz; one byte more cannot fit.
  append_record(file, 1921, std::vector<uint8_t>(1921, 0x0b));
  write_bytes(dir.path("big.opf"), file);
  run_result r = run("opusplay", {"-f", "8000", dir.path("big.opf"), dir.path("out")});
  EXPECT_EQ(r.status, 252);
  EXPECT_EQ(r.err, "packet size 1921 exceeds buffer size 1920\n");
  EXPECT_EQ(r.out.substr(r.out.size() - 25), "2:decode block size:1921\n");
  EXPECT_EQ(read_bytes(dir.path("out")).size(), 2 * 320u) << "records before it are delivered";
}

TEST(OpusplayFileMode, RecordFillingThePacketBufferExactlyIsDecoded)
{
  temp_dir dir;
  std::vector<uint8_t> file;
  // Two 20 ms CELT-only frames (config 19, mono, code 2) of 1000 and 917
  // bytes fill the buffer exactly: the length check must let 1920 through.
  std::vector<uint8_t> packet(1920, 0);
  packet[0] = 19 << 3 | 2;
  packet[1] = 252;  // first frame size 252 + 4 x 187 = 1000
  packet[2] = 187;
  append_record(file, 1920, packet);
  write_bytes(dir.path("full.opf"), file);
  run_result r = run("opusplay", {"-f", "8000", dir.path("full.opf"), dir.path("out")});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "read file error\n");
  EXPECT_EQ(read_bytes(dir.path("out")).size(), 2 * 160 * 2u);
}

TEST(OpusplayFileMode, EmptyRecordIsDecodedAsALostPacket)
{
  temp_dir dir;
  std::vector<uint8_t> file = read_bytes(pack(dir, 8000, 160, 0.02));
  append_record(file, 0, {});
  write_bytes(dir.path("lost.opf"), file);
  run_result r = run("opusplay", {"-f", "8000", dir.path("lost.opf"), dir.path("out")});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "read file error\n");
  // Concealment fills the whole 120 ms the decoder is given room for.
  EXPECT_EQ(read_bytes(dir.path("out")).size(), (160 + 960) * 2u);
}

TEST(OpusplayFileMode, NegativeLengthGoesToTheDecoderAndFails)
{
  temp_dir dir;
  std::vector<uint8_t> file = read_bytes(pack(dir, 8000, 160, 0.02));
  append_record(file, -5, {});
  write_bytes(dir.path("neg.opf"), file);
  run_result r = run("opusplay", {"-f", "8000", dir.path("neg.opf"), dir.path("out")});
  EXPECT_EQ(r.status, 253);
  EXPECT_EQ(r.err, "error opus decode:-1\n");
  EXPECT_EQ(r.out.substr(r.out.size() - 23), "1:decode block size:-5\n");
  EXPECT_EQ(read_bytes(dir.path("out")).size(), 160 * 2u);
}

TEST(OpusplayFileMode, InvalidPacketFailsWithTheDecoderError)
{
  temp_dir dir;
  std::vector<uint8_t> file;
  append_record(file, 1, {0x03});  // frame-count code without its count byte
  write_bytes(dir.path("bad.opf"), file);
  run_result r = run("opusplay", {"-f", "8000", dir.path("bad.opf"), dir.path("out")});
  EXPECT_EQ(r.status, 253);
  EXPECT_EQ(r.err, "error opus decode:-4\n");
}

TEST(OpusplayFileMode, ShortReadsAndWritesLoseNothing)
{
  temp_dir dir;
  std::string in = pack(dir, 16000, 320, 0.3);
  run_result whole = run("opusplay", {"-f", "16000", in, dir.path("whole.raw")});
  ASSERT_EQ(whole.status, 0) << whole.err;

  ASSERT_EQ(mkfifo(dir.path("in.fifo").c_str(), 0600), 0);
  ASSERT_EQ(mkfifo(dir.path("out.fifo").c_str(), 0600), 0);
  int feeder = feed_fifo_in_pieces(dir.path("in.fifo"), read_bytes(in), 7);
  int drainer = drain_fifo_in_pieces(dir.path("out.fifo"), dir.path("pieces.raw"), 5);
  run_result pieces = run("opusplay", {"-f", "16000", dir.path("in.fifo"), dir.path("out.fifo")});
  EXPECT_TRUE(finish_helper(feeder));
  EXPECT_TRUE(finish_helper(drainer));
  EXPECT_EQ(pieces.status, 0) << pieces.err;
  EXPECT_EQ(pieces.out, whole.out);
  EXPECT_EQ(read_bytes(dir.path("pieces.raw")).size(), 15 * 320 * 2u);
  EXPECT_EQ(read_bytes(dir.path("pieces.raw")), read_bytes(dir.path("whole.raw")));
}

TEST(OpusplayFileMode, OutputThatTakesNoSamplesFails)
{
  temp_dir dir;
  std::string in = pack(dir, 8000, 160, 0.5);
  run_result r = run("opusplay", {"-f", "8000", in, "/dev/full"});
  EXPECT_EQ(r.status, 255);
  // Buffered samples fail when they are flushed, which may be only at the end.
  EXPECT_EQ(last_line(r.err), "write file error\n");
}

TEST(OpusplayFailures, InputThatCannotBeOpened)
{
  temp_dir dir;
  run_result r = run("opusplay", {"-f", "8000", dir.path("absent.opf"), dir.path("out")});
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.err, "open input file " + dir.path("absent.opf") + " failed\n");
  EXPECT_FALSE(file_exists(dir.path("out")));
}

TEST(OpusplayFailures, OutputThatCannotBeOpened)
{
  temp_dir dir;
  std::string in = pack(dir, 8000, 160, 0.1);
  run_result r = run("opusplay", {"-f", "8000", in, dir.path("missing/out")});
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.err, "open output file " + dir.path("missing/out") + " failed\n");
}

TEST(OpusplayFailures, RateOpusRefusesCannotCreateDecoder)
{
  temp_dir dir;
  std::string in = pack(dir, 8000, 160, 0.1);
  run_result r = run("opusplay", {"-f", "11025", in, dir.path("out")});
  EXPECT_EQ(r.status, 254);
  EXPECT_EQ(r.err, "Cannot create decoder: invalid argument\n");
  EXPECT_TRUE(file_exists(dir.path("out")));
}

TEST(OpusplayDeviceMode, PlaysTheSameSamplesAsFileModeWritesFromTheLastArgument)
{
  temp_dir dir;
  std::string in = pack(dir, 16000, 320, 0.5);
  run_result file = run("opusplay", {"-f", "16000", in, dir.path("file.raw")});
  ASSERT_EQ(file.status, 0) << file.err;
  run_result dev = run("opusplay", {"-d", "16000", "ignored", "also-ignored", in}, virtual_alsa(dir.path("played.raw")));
  EXPECT_EQ(dev.status, 0) << dev.err;
  EXPECT_EQ(dev.err, "read file error\n");
  EXPECT_EQ(dev.out.substr(0, 13), "Device mode:\n");
  EXPECT_EQ(read_bytes(dir.path("played.raw")).size(), 25 * 320 * 2u);
  EXPECT_EQ(read_bytes(dir.path("played.raw")), read_bytes(dir.path("file.raw")));
}

TEST(OpusplayDeviceMode, RateTheDeviceRefusesReportsTheRateStep)
{
  temp_dir dir;
  std::string in = pack(dir, 8000, 160, 0.1);
  run_result r = run("opusplay", {"-d", "0", in}, virtual_alsa(dir.path("played.raw")));
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.err, "snd_pcm_hw_params_set_rate_near: Invalid argument\n");
}

}  // namespace

// The fault-injecting "hw:0,0": what it was given is appended to a file, to be
// compared with what file mode writes.
namespace {

class OpusplayDeviceFaults : public ::testing::Test {
protected:
  void SetUp() override
  {
    in_ = pack(dir_, 16000, 320, 0.4);
    run_result r = run("opusplay", {"-f", "16000", in_, dir_.path("file.raw")});
    ASSERT_EQ(r.status, 0) << r.err;
  }
  run_result play(const std::string &faults)
  {
    return run("opusplay", {"-d", "16000", in_},
               {std::string("ALSA_CONFIG_PATH=") + KEP_BUILD_DIR + "/share/alsa/kep-fault.conf",
                "KEP_ALSA_FAULTS=" + faults, "KEP_ALSA_FAULT_FILE=" + dir_.path("played.raw")});
  }
  std::vector<uint8_t> played() const { return read_bytes(dir_.path("played.raw")); }
  std::vector<uint8_t> expected() const { return read_bytes(dir_.path("file.raw")); }

  temp_dir dir_;
  std::string in_;
};

TEST_F(OpusplayDeviceFaults, UnderrunIsReportedAndRecoveredWithoutLosingSamples)
{
  run_result r = play("2=EPIPE");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "underrun occurred\nread file error\n");
  EXPECT_EQ(played(), expected());
}

TEST_F(OpusplayDeviceFaults, FullDeviceIsRetriedSilently)
{
  run_result r = play("2-5=EAGAIN");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "read file error\n");
  EXPECT_EQ(played(), expected());
}

TEST_F(OpusplayDeviceFaults, ShortWritesAreCompleted)
{
  run_result r = play("1+=short7");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(played().size(), 20 * 320 * 2u);
  EXPECT_EQ(played(), expected());
}

TEST_F(OpusplayDeviceFaults, WriteErrorEndsTheRun)
{
  run_result r = play("3=EIO");
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.err, "error from writei: Input/output error\n");
  std::vector<uint8_t> first_two = expected();
  first_two.resize(2 * 320 * 2);
  EXPECT_EQ(played(), first_two);
}

TEST_F(OpusplayDeviceFaults, SetUpFailuresNameTheirStep)
{
  struct {
    const char *faults;
    const char *message;
  } cases[] = {
      {"open=ENODEV", "unable to open pcm device: No such device\n"},
      {"format=U8", "snd_pcm_hw_params_set_format: Invalid argument\n"},
      {"channels=2", "snd_pcm_hw_params_set_channels: Invalid argument\n"},
      {"rate=44100", "snd_pcm_hw_params_set_rate_near: Invalid argument\n"},
      {"hw=EINVAL", "unable to set hw parameters: Invalid argument\n"},
  };
  for (const auto &c : cases) {
    run_result r = play(c.faults);
    EXPECT_EQ(r.status, 255) << c.faults;
    EXPECT_EQ(r.err, c.message) << c.faults;
    EXPECT_EQ(r.out.find("decode block size"), std::string::npos) << c.faults;
  }
}

}  // namespace
