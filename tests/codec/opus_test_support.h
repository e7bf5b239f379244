// Running opuspack and opusplay as child processes, and the data they work on.
#ifndef KEP_TESTS_OPUS_TEST_SUPPORT_H
#define KEP_TESTS_OPUS_TEST_SUPPORT_H

#include <stdint.h>

#include <string>
#include <vector>

namespace opus_test {

struct run_result {
  int status = -1;  // exit status as the shell sees it, or 1000 + signal
  std::string out;
  std::string err;
};

// Runs build/bin/<program> with args; env entries ("NAME=value") are added to
// the inherited environment. Both output streams are collected in full.
run_result run(const std::string &program, const std::vector<std::string> &args,
               const std::vector<std::string> &env = {});

// A fresh directory per test, removed with its files afterwards.
class temp_dir {
public:
  temp_dir();
  ~temp_dir();
  temp_dir(const temp_dir &) = delete;
  temp_dir &operator=(const temp_dir &) = delete;
  std::string path(const std::string &name) const { return dir_ + "/" + name; }

private:
  std::string dir_;
};

// The last line of text, with its line end: where a program's own message
// lands when a library (ALSA, the sanitizer runtime) printed first.
std::string last_line(const std::string &text);

bool file_exists(const std::string &path);
std::vector<uint8_t> read_bytes(const std::string &path);
void write_bytes(const std::string &path, const std::vector<uint8_t> &bytes);

std::vector<uint8_t> to_bytes(const std::vector<int16_t> &samples);
std::vector<int16_t> to_samples(const std::vector<uint8_t> &bytes);

// A voiced, speech-like signal: a glottal-style harmonic series whose pitch
// glides and whose loudness rises and falls in syllables.
std::vector<int16_t> speech_like(int rate, double seconds);

// Largest normalised cross-correlation of decoded against source for a
// decoded delay of 0 to max_lag samples.
double best_correlation(const std::vector<int16_t> &source, const std::vector<int16_t> &decoded, int max_lag);

// Records of a packet file, parsed independently of the tools' own reader.
// A trailing part that is not a whole record is reported by `complete`.
struct parsed_file {
  std::vector<std::vector<uint8_t>> packets;
  bool complete = true;
};
parsed_file parse_packet_file(const std::vector<uint8_t> &bytes);

// One record in the file layout, for building inputs by hand.
void append_record(std::vector<uint8_t> &file, int32_t length, const std::vector<uint8_t> &payload);

// The values of "<i>:<label><value>" lines, in order; label includes the
// separator, e.g. "encode data size " or "decode block size:".
std::vector<int> numbered_values(const std::string &text, const std::string &label);

// Helper processes on a FIFO, so that the program under test sees many short
// reads or writes: one writes bytes into the FIFO in small pieces, the other
// reads it in small pieces into a regular file. Both return the child's id;
// finish_helper() waits for it (ten seconds at most) and tells whether it
// completed its work.
int feed_fifo_in_pieces(const std::string &fifo, const std::vector<uint8_t> &bytes, size_t piece);
int drain_fifo_in_pieces(const std::string &fifo, const std::string &file, size_t piece);
bool finish_helper(int pid);

}  // namespace opus_test

#endif
