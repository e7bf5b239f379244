// opuspack run as a program: command line, block loop, packet file, failures.
#include <gtest/gtest.h>
#include <opus.h>
#include <sys/stat.h>

#include "opus_test_support.h"

using namespace opus_test;

namespace {

const char usage_text[] =
    "args error\n"
    "./opuspack -f sample_rate bit_rate frame_size complexity(0 ~ 10) VBR  infile outfile\n"
    "./opuspack -d sample_rate bit_rate frame_size complexity(0 ~ 10) VBR capture_time(in second) outfile\n";

std::vector<std::string> virtual_alsa(const std::string &capture_file)
{
  return {std::string("ALSA_CONFIG_PATH=") + KEP_BUILD_DIR + "/share/alsa/kep-virtual.conf",
          "KEP_ALSA_CAPTURE_FILE=" + capture_file};
}

TEST(OpuspackArguments, WrongCountPrintsUsageAndFails)
{
  temp_dir dir;
  for (size_t count : {0u, 7u, 9u}) {
    std::vector<std::string> args = {"-f", "8000", "16000", "160", "5", "1", dir.path("in"), dir.path("out"), "x"};
    args.resize(count);
    run_result r = run("opuspack", args);
    EXPECT_EQ(r.status, 255) << count << " arguments";
    EXPECT_EQ(r.err, usage_text) << count << " arguments";
    EXPECT_EQ(r.out, "") << count << " arguments";
  }
}

TEST(OpuspackArguments, UnknownModeSwitchPrintsUsageWithoutCreatingOutput)
{
  temp_dir dir;
  write_bytes(dir.path("in.raw"), std::vector<uint8_t>(960));
  run_result r = run("opuspack", {"-x", "8000", "16000", "160", "5", "1", dir.path("in.raw"), dir.path("out")});
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.err, usage_text);
  EXPECT_FALSE(file_exists(dir.path("out")));
}

TEST(OpuspackFileMode, PrintsSettingsThenOneLineTripletPerBlock)
{
  temp_dir dir;
  write_bytes(dir.path("in.raw"), to_bytes(speech_like(8000, 0.04)));
  run_result r = run("opuspack", {"-f", "8000", "16000", "160", "7", "1", dir.path("in.raw"), dir.path("out")});
  ASSERT_EQ(r.status, 0) << r.err;
  std::vector<std::vector<uint8_t>> packets = parse_packet_file(read_bytes(dir.path("out"))).packets;
  ASSERT_EQ(packets.size(), 2u);
  std::string expected =
      "File mode:\nsample rate:8000\nbit rate:16000\nframe size:160\ncomplexity:7\nVBR:1\n\n\nstart capture\n";
  for (int i = 0; i < 2; i++) {
    expected += std::to_string(i) + ":encode data size " + std::to_string(packets[i].size()) + "\n";
    expected += std::to_string(i) + ":encode frame 160\n";
    expected += std::to_string(i) + ":remain frame 0\n";
  }
  expected += "end capture\n";
  EXPECT_EQ(r.out, expected);
  EXPECT_EQ(r.err, "");
}

TEST(OpuspackFileMode, ThreeWholeBlocksGiveThreeRecords)
{
  temp_dir dir;
  write_bytes(dir.path("in.raw"), to_bytes(speech_like(8000, 0.06)));  // 3 x 320 bytes
  ASSERT_EQ(read_bytes(dir.path("in.raw")).size(), 960u);
  run_result r = run("opuspack", {"-f", "8000", "16000", "160", "5", "1", dir.path("in.raw"), dir.path("out")});
  EXPECT_EQ(r.status, 0) << r.err;
  parsed_file f = parse_packet_file(read_bytes(dir.path("out")));
  EXPECT_TRUE(f.complete);
  EXPECT_EQ(f.packets.size(), 3u);
  EXPECT_EQ(numbered_values(r.out, "encode data size ").size(), 3u);
}

TEST(OpuspackFileMode, PartialLastBlockIsDropped)
{
  temp_dir dir;
  std::vector<uint8_t> pcm = to_bytes(speech_like(8000, 0.04));
  pcm.resize(500);  // one block of 320 bytes and 180 left over
  write_bytes(dir.path("in.raw"), pcm);
  run_result r = run("opuspack", {"-f", "8000", "16000", "160", "5", "1", dir.path("in.raw"), dir.path("out")});
  EXPECT_EQ(r.status, 0) << r.err;
  parsed_file f = parse_packet_file(read_bytes(dir.path("out")));
  EXPECT_TRUE(f.complete);
  EXPECT_EQ(f.packets.size(), 1u);
  EXPECT_EQ(r.out.substr(r.out.size() - 12), "end capture\n");
}

TEST(OpuspackFileMode, LengthFieldIsLittleEndianPacketSize)
{
  temp_dir dir;
  write_bytes(dir.path("in.raw"), to_bytes(speech_like(8000, 0.06)));
  // Constant 8 kbit/s over 20 ms blocks: every packet is 20 bytes.
  run_result r = run("opuspack", {"-f", "8000", "8000", "160", "5", "0", dir.path("in.raw"), dir.path("out")});
  ASSERT_EQ(r.status, 0) << r.err;
  std::vector<uint8_t> file = read_bytes(dir.path("out"));
  ASSERT_GE(file.size(), 4u);
  EXPECT_EQ(std::vector<uint8_t>(file.begin(), file.begin() + 4), (std::vector<uint8_t>{0x14, 0, 0, 0}));
  EXPECT_EQ(file.size(), 3 * (4 + 20u));
}

TEST(OpuspackFileMode, EmptyInputGivesEmptyFile)
{
  temp_dir dir;
  write_bytes(dir.path("in.raw"), {});
  run_result r = run("opuspack", {"-f", "16000", "24000", "320", "5", "1", dir.path("in.raw"), dir.path("out")});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out.substr(r.out.find("start capture")), "start capture\nend capture\n");
  EXPECT_TRUE(file_exists(dir.path("out")));
  EXPECT_TRUE(read_bytes(dir.path("out")).empty());
}

TEST(OpuspackFileMode, BlockLengthOpusRefusesFailsAtFirstEncode)
{
  temp_dir dir;
  write_bytes(dir.path("in.raw"), to_bytes(speech_like(8000, 0.06)));
  // 100 samples at 8 kHz are 12.5 ms, not an Opus frame duration.
  run_result r = run("opuspack", {"-f", "8000", "16000", "100", "5", "1", dir.path("in.raw"), dir.path("out")});
  EXPECT_EQ(r.status, 253);
  EXPECT_EQ(r.err, "error opus encode:-1\n");
  EXPECT_EQ(r.out.substr(r.out.size() - 14), "start capture\n");
  EXPECT_TRUE(read_bytes(dir.path("out")).empty());
}

TEST(OpuspackFileMode, OutputThatTakesNoRecordsFails)
{
  temp_dir dir;
  write_bytes(dir.path("in.raw"), to_bytes(speech_like(8000, 0.1)));  // 5 blocks
  // /dev/full takes nothing: the records cannot be kept, which must not pass
  // for success.
  run_result r = run("opuspack", {"-f", "8000", "16000", "160", "5", "1", dir.path("in.raw"), "/dev/full"});
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.err, "write file error\n");
}

TEST(OpuspackFileMode, InputArrivingInShortPiecesEncodesTheSame)
{
  temp_dir dir;
  std::vector<uint8_t> pcm = to_bytes(speech_like(8000, 0.2));
  write_bytes(dir.path("in.raw"), pcm);
  run_result whole = run("opuspack", {"-f", "8000", "16000", "160", "5", "1", dir.path("in.raw"), dir.path("a")});
  ASSERT_EQ(whole.status, 0) << whole.err;

  ASSERT_EQ(mkfifo(dir.path("fifo").c_str(), 0600), 0);
  // Three bytes at a time: samples arrive split across reads.
  int feeder = feed_fifo_in_pieces(dir.path("fifo"), pcm, 3);
  run_result pieces = run("opuspack", {"-f", "8000", "16000", "160", "5", "1", dir.path("fifo"), dir.path("b")});
  EXPECT_TRUE(finish_helper(feeder));
  EXPECT_EQ(pieces.status, 0) << pieces.err;
  EXPECT_EQ(parse_packet_file(read_bytes(dir.path("b"))).packets.size(), 10u);
  EXPECT_EQ(read_bytes(dir.path("b")), read_bytes(dir.path("a")));
}

TEST(OpuspackFileMode, SixteenKilohertzPacketsAreWideband)
{
  temp_dir dir;
  write_bytes(dir.path("in.raw"), to_bytes(speech_like(16000, 0.2)));
  run_result r = run("opuspack", {"-f", "16000", "24000", "320", "5", "1", dir.path("in.raw"), dir.path("out")});
  ASSERT_EQ(r.status, 0) << r.err;
  parsed_file f = parse_packet_file(read_bytes(dir.path("out")));
  ASSERT_EQ(f.packets.size(), 10u);
  for (const std::vector<uint8_t> &p : f.packets)
    EXPECT_EQ(opus_packet_get_bandwidth(p.data()), OPUS_BANDWIDTH_WIDEBAND);
}

TEST(OpuspackFailures, OutputThatCannotBeOpened)
{
  temp_dir dir;
  write_bytes(dir.path("in.raw"), std::vector<uint8_t>(960));
  std::string out = dir.path("missing/out");
  run_result r = run("opuspack", {"-f", "8000", "16000", "160", "5", "1", dir.path("in.raw"), out});
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.err, "open output file " + out + " failed\n");
  EXPECT_EQ(r.out.find("start capture"), std::string::npos);
}

TEST(OpuspackFailures, InputThatCannotBeOpenedAfterOutputIsCreated)
{
  temp_dir dir;
  std::string in = dir.path("absent.raw");
  run_result r = run("opuspack", {"-f", "8000", "16000", "160", "5", "1", in, dir.path("out")});
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.err, "open input file " + in + " failed\n");
  EXPECT_TRUE(file_exists(dir.path("out")));
}

TEST(OpuspackFailures, RateOpusRefusesCannotCreateEncoder)
{
  temp_dir dir;
  write_bytes(dir.path("in.raw"), std::vector<uint8_t>(960));
  run_result r = run("opuspack", {"-f", "11025", "16000", "160", "5", "1", dir.path("in.raw"), dir.path("out")});
  EXPECT_EQ(r.status, 254);
  EXPECT_EQ(r.err, "Cannot create encoder: invalid argument\n");
  EXPECT_EQ(r.out.find("start capture"), std::string::npos);
}

TEST(OpuspackFailures, NegativeFrameSizeCannotBeAllocated)
{
  temp_dir dir;
  write_bytes(dir.path("in.raw"), std::vector<uint8_t>(960));
  run_result r = run("opuspack", {"-f", "8000", "16000", "-160", "5", "1", dir.path("in.raw"), dir.path("out")},
                     {"ASAN_OPTIONS=verify_asan_link_order=0:allocator_may_return_null=1"});
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(last_line(r.err), "malloc pcm buffer failed\n");  // after the sanitizer's warning, if any
}

TEST(OpuspackDeviceMode, CaptureTimeZeroEndsAtOnce)
{
  temp_dir dir;
  write_bytes(dir.path("cap.raw"), to_bytes(speech_like(8000, 1)));
  run_result r = run("opuspack", {"-d", "8000", "16000", "160", "5", "1", "0", dir.path("out")},
                     virtual_alsa(dir.path("cap.raw")));
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out,
            "Device mode:\nCapture time: 0 second\nsample rate:8000\nbit rate:16000\nframe size:160\n"
            "complexity:5\nVBR:1\n\n\nstart capture\nend capture\n");
  EXPECT_EQ(r.err, "");
  EXPECT_TRUE(file_exists(dir.path("out")));
  EXPECT_TRUE(read_bytes(dir.path("out")).empty());
}

TEST(OpuspackDeviceMode, CapturesRateOverFrameTimesSecondsBlocksOfTheDeviceSignal)
{
  temp_dir dir;
  write_bytes(dir.path("cap.raw"), to_bytes(speech_like(8000, 3)));
  run_result dev = run("opuspack", {"-d", "8000", "16000", "160", "5", "1", "2", dir.path("dev")},
                       virtual_alsa(dir.path("cap.raw")));
  ASSERT_EQ(dev.status, 0) << dev.err;
  EXPECT_EQ(parse_packet_file(read_bytes(dir.path("dev"))).packets.size(), 100u);

  // The same two seconds from a file encode to the same records.
  std::vector<uint8_t> two_seconds = read_bytes(dir.path("cap.raw"));
  two_seconds.resize(2 * 8000 * 2);
  write_bytes(dir.path("in.raw"), two_seconds);
  run_result file = run("opuspack", {"-f", "8000", "16000", "160", "5", "1", dir.path("in.raw"), dir.path("file")});
  ASSERT_EQ(file.status, 0) << file.err;
  EXPECT_EQ(read_bytes(dir.path("dev")), read_bytes(dir.path("file")));
}

TEST(OpuspackDeviceMode, BlockCountDividesRateByFrameSizeFirst)
{
  temp_dir dir;
  write_bytes(dir.path("cap.raw"), to_bytes(speech_like(8000, 3)));
  // 8000 / 480 is 16 blocks a second (not 16.67): 32 blocks for 2 s.
  run_result r = run("opuspack", {"-d", "8000", "16000", "480", "5", "1", "2", dir.path("out")},
                     virtual_alsa(dir.path("cap.raw")));
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(parse_packet_file(read_bytes(dir.path("out"))).packets.size(), 32u);
}

TEST(OpuspackDeviceMode, FrameSizeZeroFailsAtFirstEncodeInsteadOfDividingByZero)
{
  temp_dir dir;
  write_bytes(dir.path("cap.raw"), to_bytes(speech_like(8000, 1)));
  run_result r = run("opuspack", {"-d", "8000", "16000", "0", "5", "1", "1", dir.path("out")},
                     virtual_alsa(dir.path("cap.raw")));
  EXPECT_EQ(r.status, 253);
  EXPECT_EQ(r.err, "error opus encode:-1\n");
}

TEST(OpuspackDeviceMode, DeviceThatCannotBeOpened)
{
  temp_dir dir;
  run_result r = run("opuspack", {"-d", "8000", "16000", "160", "5", "1", "1", dir.path("out")},
                     virtual_alsa(dir.path("no-such-capture.raw")));
  EXPECT_EQ(r.status, 255);
  // The ALSA library adds its own report first.
  EXPECT_EQ(last_line(r.err), "unable to open pcm device: No such file or directory\n");
  EXPECT_TRUE(file_exists(dir.path("out")));
}

TEST(OpuspackDeviceMode, RateTheDeviceRefusesReportsTheRateStep)
{
  temp_dir dir;
  write_bytes(dir.path("cap.raw"), to_bytes(speech_like(8000, 1)));
  run_result r = run("opuspack", {"-d", "0", "16000", "160", "5", "1", "1", dir.path("out")},
                     virtual_alsa(dir.path("cap.raw")));
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.err, "snd_pcm_hw_params_set_rate_near: Invalid argument\n");
}

}  // namespace

// The fault-injecting "hw:0,0": its capture bytes are a fixed sequence, so a
// file-mode run on the same bytes shows whether any sample was lost or doubled.
namespace {

std::vector<std::string> faulty_alsa(const std::string &faults)
{
  return {std::string("ALSA_CONFIG_PATH=") + KEP_BUILD_DIR + "/share/alsa/kep-fault.conf",
          "KEP_ALSA_FAULTS=" + faults};
}

std::vector<uint8_t> fault_device_capture(size_t count)
{
  std::vector<uint8_t> bytes(count);
  for (size_t k = 0; k < count; k++)
    bytes[k] = static_cast<uint8_t>((static_cast<uint32_t>(k) * 2654435761u) >> 24);
  return bytes;
}

// One second at 8 kHz in 160-sample blocks, captured under `faults`.
run_result capture_one_second(const temp_dir &dir, const std::string &faults)
{
  return run("opuspack", {"-d", "8000", "16000", "160", "5", "1", "1", dir.path("dev")}, faulty_alsa(faults));
}

std::vector<uint8_t> file_mode_reference(const temp_dir &dir)
{
  write_bytes(dir.path("ref.raw"), fault_device_capture(8000 * 2));
  run_result r = run("opuspack", {"-f", "8000", "16000", "160", "5", "1", dir.path("ref.raw"), dir.path("ref")});
  EXPECT_EQ(r.status, 0) << r.err;
  return read_bytes(dir.path("ref"));
}

TEST(OpuspackDeviceFaults, OverrunIsReportedAndRecoveredWithoutLosingSamples)
{
  temp_dir dir;
  run_result r = capture_one_second(dir, "2=EPIPE");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "overrun occurred\n");
  EXPECT_EQ(parse_packet_file(read_bytes(dir.path("dev"))).packets.size(), 50u);
  EXPECT_EQ(read_bytes(dir.path("dev")), file_mode_reference(dir));
}

TEST(OpuspackDeviceFaults, NoDataYetIsWaitedForSilently)
{
  temp_dir dir;
  run_result r = capture_one_second(dir, "2-4=EAGAIN");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(read_bytes(dir.path("dev")), file_mode_reference(dir));
}

TEST(OpuspackDeviceFaults, ShortReadsAreJoinedIntoWholeBlocks)
{
  temp_dir dir;
  run_result r = capture_one_second(dir, "2+=short7");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(read_bytes(dir.path("dev")), file_mode_reference(dir));
}

TEST(OpuspackDeviceFaults, ReadErrorEndsTheRunKeepingEarlierRecords)
{
  temp_dir dir;
  run_result r = capture_one_second(dir, "3=EIO");
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.err, "error from readi: Input/output error\n");
  std::vector<uint8_t> reference = file_mode_reference(dir);
  parsed_file kept = parse_packet_file(read_bytes(dir.path("dev")));
  ASSERT_EQ(kept.packets.size(), 2u) << "the two blocks read before the failure";
  std::vector<uint8_t> dev = read_bytes(dir.path("dev"));
  EXPECT_EQ(dev, std::vector<uint8_t>(reference.begin(), reference.begin() + dev.size()));
}

TEST(OpuspackDeviceFaults, SetUpFailuresNameTheirStep)
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
    temp_dir dir;
    run_result r = capture_one_second(dir, c.faults);
    EXPECT_EQ(r.status, 255) << c.faults;
    EXPECT_EQ(r.err, c.message) << c.faults;
    EXPECT_EQ(r.out.find("start capture"), std::string::npos) << c.faults;
    EXPECT_TRUE(read_bytes(dir.path("dev")).empty()) << c.faults;
  }
}

}  // namespace
