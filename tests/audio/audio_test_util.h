// Helpers for the audio tests: run a built program with pipes, private
// scratch directories, whole-file reads and the reference signals.
#ifndef KEP_AUDIO_TEST_UTIL_H
#define KEP_AUDIO_TEST_UTIL_H

#include <stdint.h>

#include <string>
#include <vector>

namespace kep_test {

struct run_result {
    int status = -1; // exit status, or 128 + signal number
    std::string out;
    std::string err;
};

// Runs build/bin/<program> with `args`. The child's environment is the
// test's, minus every variable the audio platform reads, plus `env`
// ("NAME=value" entries).
run_result run_program(const std::string &program, const std::vector<std::string> &args,
                       const std::vector<std::string> &env = {});
// Same for a program given by full path; a non-empty `stdout_path` receives
// the child's standard output instead of `out`.
run_result run_path(const std::string &path, const std::vector<std::string> &args,
                    const std::vector<std::string> &env, const std::string &stdout_path = "");

std::string bin_path(const std::string &program);
std::string alsa_conf(const char *flavour); // "virtual", "fault"

// A fresh directory for one test, removed with its files at destruction.
class scratch_dir {
public:
    scratch_dir();
    ~scratch_dir();
    std::string path(const std::string &name) const { return dir_ + "/" + name; }

private:
    std::string dir_;
};

// Serialises tests that use the tools' fixed /tmp paths across processes.
class fixed_path_lock {
public:
    fixed_path_lock();
    ~fixed_path_lock();

private:
    int fd_;
};

bool read_file(const std::string &path, std::vector<uint8_t> *data);
bool write_file(const std::string &path, const std::vector<uint8_t> &data);
long file_size(const std::string &path); // -1 when missing

// `frames` signed 16-bit little-endian samples: a tone whose level changes
// over time, odd values only (see platform/alsa/README.md).
std::vector<uint8_t> test_signal(size_t frames);
// The fault device's capture bytes from the start of a stream.
std::vector<uint8_t> fault_pattern(size_t bytes);

// ITU G.711 reference coders of one signed 16-bit sample.
uint8_t g711_alaw(int16_t linear);
uint8_t g711_ulaw(int16_t linear);

// Index of the first differing byte, or -1 when equal (sizes included).
long first_difference(const std::vector<uint8_t> &a, const std::vector<uint8_t> &b);

} // namespace kep_test

#endif
