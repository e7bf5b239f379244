// Helpers of the encoder tests: a pipeline record on the virtual platform,
// children whose output and exit are captured, and the platform's counters.
#ifndef ENCODER_SUPPORT_H
#define ENCODER_SUPPORT_H

#include "kep_vc.h"
#include "vcam.h"

#include <functional>
#include <string>
#include <vector>

namespace enc_test {

// How a child ended and what it printed.
struct Outcome {
    int status = -1; // exit status, or -1 when a signal ended it
    int signal = 0;
    std::string out, err;
};

// Runs fn in a forked child with standard output and error captured; the
// child exits with fn's result unless it ends itself first.
Outcome in_child(const std::function<int()> &fn);

// Runs a program with its output captured (argv[0] is a path).
Outcome run_program(const std::vector<std::string> &argv);

// Whether text contains pattern: literal characters, "[0-9]+" for a number,
// and a leading "^" to anchor at the start. (std::regex trips the sanitizer
// build's warnings.)
bool has(const std::string &text, const std::string &pattern);

// vcam_configure, or the process ends: every test starts from known options,
// strict (a broken buffer-ownership rule ends the program with its message).
void configure(const std::string &options);
// The same, violations only counted: for what breaks a rule on purpose.
void configure_lenient(const std::string &options);

// The sum of every VIDIOC_* counter: the driver requests so far.
long requests();

// One ISP-to-encoder pipeline: ISP memory-mapped (or user-pointer), encoder
// fed by user pointer, small pictures at a high ISP rate so tests run fast.
struct Pipe {
    explicit Pipe(uint32_t fourcc = KEP_FOURCC_H264, unsigned width = 320, unsigned height = 240);
    ~Pipe();
    Pipe(const Pipe &) = delete;
    Pipe &operator=(const Pipe &) = delete;

    // Opens both nodes and starts the ISP; false when anything failed.
    bool open_and_start_isp();
    // kep_codec_init and kep_codec_start.
    bool init_and_start();
    // One kep_codec_read; the frame's bytes (empty: none). The caller resets.
    std::vector<uint8_t> read();

    kep_m2m *m = nullptr;
    bool isp_started = false, codec_inited = false;
};

} // namespace enc_test

#endif
