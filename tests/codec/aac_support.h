// Helpers for the aacpack / aacplay tests: running the built programs,
// generating signals, comparing them, and making or taking apart ADTS
// streams independently of the programs under test.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

namespace aac_test {

struct RunResult {
  int status;  // exit status as the shell sees it (0..255), or -signal
  std::string out;
  std::string err;
};

// Runs build/bin/<program> (or an absolute path) with the arguments, in `cwd` if given, with the
// "NAME=value" entries of `env` added to the environment.
RunResult run_program(const std::string &program, const std::vector<std::string> &args,
                      const std::string &cwd = "", const std::vector<std::string> &env = {});

// The environment that points ALSA at one of the platform's generated
// configurations ("kep-virtual.conf", "kep-fault.conf") or at any file.
std::string alsa_config(const std::string &name);

// A fresh empty folder under the build tree for one test.
std::string scratch_dir(const std::string &name);

bool file_exists(const std::string &path);
std::vector<uint8_t> read_bytes(const std::string &path);
void write_bytes(const std::string &path, const std::vector<uint8_t> &data);
std::vector<int16_t> read_pcm(const std::string &path);
void write_pcm(const std::string &path, const std::vector<int16_t> &samples);

// A voiced, speech-like signal: a gliding fundamental with falling
// harmonics under a syllable-rate envelope. Deterministic.
std::vector<int16_t> speech_like(int sample_rate, int samples, double pitch_scale = 1.0);

// Best normalised correlation of `decoded` against `source` over lags
// 0..max_lag (the codec's delay); the lag found goes to *lag.
double best_correlation(const std::vector<int16_t> &source, const std::vector<int16_t> &decoded,
                        int max_lag, int *lag = nullptr);

struct AdtsFrame {
  size_t offset;
  size_t length;
  int profile;       // audio object type - 1
  int rate_index;
  int channel_config;
};
// Walks consecutive ADTS frames from the start; stops at the first header
// that does not parse or does not fit. *rest gets the bytes left over.
std::vector<AdtsFrame> parse_adts(const std::vector<uint8_t> &data, size_t *rest = nullptr);

// Encodes interleaved PCM with fdk-aac directly (ADTS), for streams the
// programs under test cannot make themselves (several channels, PS).
// channel_mode is fdk-aac's CHANNEL_MODE value.
std::vector<uint8_t> fdk_encode(const std::vector<int16_t> &interleaved, int channels,
                                int channel_mode, int aot, int sample_rate, int bitrate);

struct FfmpegDecode {
  bool ok;
  std::string error;
  int sample_rate;
  int channels;
  int frames;  // packets the FFmpeg ADTS parser found
  std::vector<int16_t> mono;  // first channel
};
// Parses and decodes an ADTS stream with FFmpeg's own parser and decoder.
FfmpegDecode ffmpeg_decode(const std::vector<uint8_t> &adts);

}  // namespace aac_test
