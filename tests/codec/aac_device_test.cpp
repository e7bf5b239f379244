// aacpack and aacplay in device mode on "hw:0,0" of the virtual platform:
// the file-backed devices for data, the fault-injecting device for
// overruns, underruns, waits and failures.

#include <gtest/gtest.h>
#include <unistd.h>

#include <fdk-aac/aacenc_lib.h>

#include "aac_support.h"

using namespace aac_test;

namespace {

class AacDevice : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = scratch_dir(std::string("aacdevice_") +
                       ::testing::UnitTest::GetInstance()->current_test_info()->name());
    capture_ = dir_ + "/capture.raw";
    out_ = dir_ + "/out.aac";
    source_ = speech_like(8000, 4 * 8000);
    write_pcm(capture_, source_);
  }
  // aacpack -d at 8000 Hz, AAC-LC at 24 kbit/s, for `seconds`.
  RunResult pack(const std::vector<std::string> &env, const std::string &seconds = "2") {
    return run_program("aacpack", {"-d", "2", "0", "8000", "0", "24000", "1", seconds, out_}, "",
                       env);
  }
  std::vector<std::string> virtual_env() {
    return {alsa_config("kep-virtual.conf"), "KEP_ALSA_CAPTURE_FILE=" + capture_,
            "KEP_ALSA_PLAYBACK_FILE=" + dir_ + "/played.raw"};
  }
  std::vector<std::string> fault_env(const std::string &faults) {
    return {alsa_config("kep-fault.conf"), "KEP_ALSA_FAULTS=" + faults,
            "KEP_ALSA_FAULT_FILE=" + dir_ + "/played.raw"};
  }
  size_t frames_out() { return parse_adts(read_bytes(out_)).size(); }

  std::string dir_, capture_, out_;
  std::vector<int16_t> source_;
};

// 2 s at 8000 Hz is 16000 samples: whole 1024-sample blocks are captured
// until at least that many are in, so 16 blocks (16384 samples).
TEST_F(AacDevice, PackCapturesWholeBlocksUntilRateTimesSeconds) {
  RunResult r = pack(virtual_env());
  EXPECT_EQ(0, r.status) << r.err;
  EXPECT_EQ("", r.err);
  EXPECT_EQ(
      "Device mode:\nCapture time: 2 second\n"
      "audio object type:2\nsbr on eld:0\nsample rate:8000\nVBR:0\nbit rate:24000\n"
      "high quality:1\n\n\n"
      "frame size:1024\nmax output bytes:768\n\n"
      "start capture\nend capture\n",
      r.out);
  EXPECT_EQ(16u, frames_out()) << "no flush after a capture";

  RunResult play = run_program("aacplay", {"-f", out_, dir_ + "/decoded.pcm"});
  ASSERT_EQ(0, play.status) << play.err;
  std::vector<int16_t> decoded = read_pcm(dir_ + "/decoded.pcm");
  EXPECT_EQ(16u * 1024, decoded.size());
  std::vector<int16_t> captured(source_.begin(), source_.begin() + 16 * 1024);
  EXPECT_GT(best_correlation(captured, decoded, 4096), 0.95);
}

TEST_F(AacDevice, PackCaptureTimeZeroEndsAtOnce) {
  RunResult r = pack(virtual_env(), "0");
  EXPECT_EQ(0, r.status) << r.err;
  EXPECT_NE(std::string::npos, r.out.find("start capture\nend capture\n"));
  EXPECT_TRUE(read_bytes(out_).empty());
}

TEST_F(AacDevice, PackFillsBlocksFromShortReads) {
  RunResult r = pack(fault_env("1+=short100"));
  EXPECT_EQ(0, r.status) << r.err;
  EXPECT_EQ("", r.err);
  EXPECT_EQ(16u, frames_out());
}

TEST_F(AacDevice, PackReportsAndSurvivesOverruns) {
  RunResult r = pack(fault_env("3=EPIPE,7=EPIPE"));
  EXPECT_EQ(0, r.status) << r.err;
  EXPECT_EQ("overrun occurred\noverrun occurred\n", r.err);
  EXPECT_EQ(16u, frames_out());
}

TEST_F(AacDevice, PackWaitsWhileTheDeviceHasNothing) {
  RunResult r = pack(fault_env("2-5=EAGAIN"));
  EXPECT_EQ(0, r.status) << r.err;
  EXPECT_EQ("", r.err);
  EXPECT_EQ(16u, frames_out());
}

TEST_F(AacDevice, PackStopsOnAReadError) {
  RunResult r = pack(fault_env("3=EIO"));
  EXPECT_EQ(256 - 52, r.status);
  EXPECT_EQ("error from readi: Input/output error\n", r.err);
  EXPECT_NE(std::string::npos, r.out.find("start capture\n"));
  EXPECT_EQ(std::string::npos, r.out.find("end capture"));
}

TEST_F(AacDevice, PackCaptureSetupFailuresComeBeforeTheEncoder) {
  struct Case {
    const char *faults;
    int status;
    const char *err;
  } cases[] = {
      {"open=ENODEV", -21, "unable to open pcm device: No such device\n"},
      {"format=U8", -24, "snd_pcm_hw_params_set_format"},
      {"channels=2", -25, "snd_pcm_hw_params_set_channels"},
      {"rate=44100", -26, "snd_pcm_hw_params_set_rate_near"},
      {"hw=EINVAL", -27, "unable to set hw parameters: Invalid argument\n"},
  };
  for (const Case &c : cases) {
    RunResult r = pack(fault_env(c.faults));
    EXPECT_EQ(256 + c.status, r.status) << c.faults;
    EXPECT_EQ(c.err, r.err) << c.faults;
    EXPECT_EQ(std::string::npos, r.out.find("frame size")) << c.faults;
  }
}

class AacPlayDevice : public AacDevice {
 protected:
  void SetUp() override {
    AacDevice::SetUp();
    stream_ = fdk_encode(speech_like(16000, 16000), 1, MODE_1, 2, 16000, 32000);
    write_bytes(out_, stream_);
    RunResult r = run_program("aacplay", {"-f", out_, dir_ + "/file-mode.pcm"});
    ASSERT_EQ(0, r.status) << r.err;
    file_mode_ = read_bytes(dir_ + "/file-mode.pcm");
    ASSERT_FALSE(file_mode_.empty());
  }
  RunResult play(const std::vector<std::string> &env) {
    return run_program("aacplay", {"-d", out_}, "", env);
  }
  std::vector<uint8_t> stream_, file_mode_;
};

TEST_F(AacPlayDevice, PlaysWhatFileModeWrites) {
  RunResult r = play(virtual_env());
  EXPECT_EQ(0, r.status) << r.err;
  EXPECT_EQ("", r.err);
  EXPECT_EQ("Device mode:\nstart aac decode\nsample rate:16000\nframe size:1024\n\n\nend aac decode\n",
            r.out);
  EXPECT_EQ(file_mode_, read_bytes(dir_ + "/played.raw"));
}

// A WAV-writing "hw:0,0" of our own shows the rate and channel count the
// program set on the device.
TEST_F(AacPlayDevice, OpensTheDeviceAtTheStreamsOwnRate) {
  std::string conf = dir_ + "/wav.conf", wav = dir_ + "/played.wav";
  std::vector<uint8_t> text;
  std::string s =
      "</usr/share/alsa/alsa.conf>\n"
      "pcm.!hw {\n"
      "  @args [ CARD DEV SUBDEV ]\n"
      "  @args.CARD { type string default \"0\" }\n"
      "  @args.DEV { type integer default 0 }\n"
      "  @args.SUBDEV { type integer default -1 }\n"
      "  type file\n  slave.pcm \"null\"\n  format \"wav\"\n"
      "  file \"" + wav + "\"\n}\n";
  write_bytes(conf, std::vector<uint8_t>(s.begin(), s.end()));

  struct Case {
    int rate;
    int aot;
  } cases[] = {{16000, 2}, {44100, 5}, {8000, 2}};
  for (const Case &c : cases) {
    write_bytes(out_, fdk_encode(speech_like(c.rate, c.rate / 2), 1, MODE_1, c.aot, c.rate, 32000));
    unlink(wav.c_str());
    RunResult r = play({alsa_config(conf)});
    EXPECT_EQ(0, r.status) << c.rate << ": " << r.err;
    std::vector<uint8_t> h = read_bytes(wav);
    ASSERT_GE(h.size(), 44u) << c.rate;
    int channels = h[22] | h[23] << 8;
    int rate = h[24] | h[25] << 8 | h[26] << 16 | h[27] << 24;
    EXPECT_EQ(1, channels) << c.rate;
    EXPECT_EQ(c.rate, rate);
  }
}

TEST_F(AacPlayDevice, NoDecodedFrameOpensNoDevice) {
  write_bytes(out_, std::vector<uint8_t>(2000, 0x55));
  RunResult r = play(virtual_env());
  EXPECT_EQ(0, r.status) << r.err;
  EXPECT_FALSE(file_exists(dir_ + "/played.raw"));
  // A device that cannot open is never tried.
  r = play(fault_env("open=ENODEV"));
  EXPECT_EQ(0, r.status) << r.err;
  EXPECT_EQ("Device mode:\nstart aac decode\nend aac decode\n", r.out);
}

TEST_F(AacPlayDevice, PlaybackSetupFailuresAfterTheFirstFrame) {
  struct Case {
    const char *faults;
    int status;
    const char *err;
  } cases[] = {
      {"open=ENODEV", -21, "unable to open pcm device: No such device\n"},
      {"format=U8", -24, "snd_pcm_hw_params_set_format"},
      {"channels=2", -25, "snd_pcm_hw_params_set_channels"},
      {"rate=44100", -26, "snd_pcm_hw_params_set_rate_near"},
      {"hw=EINVAL", -27, "unable to set hw parameters: Invalid argument\n"},
  };
  for (const Case &c : cases) {
    RunResult r = play(fault_env(c.faults));
    EXPECT_EQ(256 + c.status, r.status) << c.faults;
    EXPECT_EQ(c.err, r.err) << c.faults;
    EXPECT_EQ("Device mode:\nstart aac decode\nsample rate:16000\nframe size:1024\n\n\n", r.out)
        << c.faults;
  }
}

TEST_F(AacPlayDevice, UnderrunsAndWaitsLoseNoSamples) {
  RunResult r = play(fault_env("2=EPIPE,4-6=EAGAIN,8=EPIPE,10+=short300"));
  EXPECT_EQ(0, r.status) << r.err;
  EXPECT_EQ("underrun occurred\nunderrun occurred\n", r.err);
  EXPECT_EQ(file_mode_, read_bytes(dir_ + "/played.raw"));
}

TEST_F(AacPlayDevice, PlaybackErrorStops) {
  RunResult r = play(fault_env("3=EIO"));
  EXPECT_EQ(256 - 48, r.status);
  EXPECT_EQ("error from writei: Input/output error\n", r.err);
  EXPECT_EQ(2u * 1024 * 2, read_bytes(dir_ + "/played.raw").size()) << "two frames went out";
}

}  // namespace
