// The platform's options: what the launcher takes on its command line and the
// library reads from KEP_VCAM or vcam_configure().
#ifndef VCAM_OPTIONS_H
#define VCAM_OPTIONS_H

#include <string>
#include <vector>

namespace vcam {

// What a --fail rule does to the request it hits.
enum class FailEffect {
    error,      // the request fails with err
    bad_index,  // a dequeue succeeds but names an index outside every table
    error_flag, // a dequeue succeeds but its buffer comes back empty with flag 0x40
};

// One --fail rule: make the named request fail with err, once, always, or at
// its k-th occurrence on the rule's node.
struct FailRule {
    std::string node;    // "" any node; "isp", "enc", or one encoder queue "enc.cap", "enc.out"
    std::string request; // "QBUF", "S_CROP", "open", "mmap", ...
    bool always = false;
    unsigned at = 0; // the occurrence it hits, from 1; 0: the first one (once) or every one (always)
    FailEffect effect = FailEffect::error;
    int err = 0;
};

struct Options {
    std::vector<std::string> isp_paths{"/dev/video0"};
    // Encoder nodes of the codec driver; the path's trailing number is the
    // channel (/dev/video1: channel 1), which has its /proc/codec entries.
    std::vector<std::string> encoder_paths{"/dev/video1"};
    bool no_proc_codec = false;
    int enc_grant = -1;         // encoder REQBUFS grants this many; -1: asked, capped
    int enc_error = 0;          // next bit-stream buffers that come back with the error flag
    bool enc_bad_index = false; // the next bit-stream dequeue returns the granted count
    // Decoder nodes of the codec driver (bit streams in, 'S420' pictures out).
    std::vector<std::string> decoder_paths{"/dev/video2"};
    int dec_grant = -1;     // decoder REQBUFS grants this many on both queues; -1: asked, capped
    int dec_cap_grant = -1; // the same for the picture queue alone (wins over dec_grant there)
    int dec_refuse = 0;     // next bit-stream QBUFs the decoder refuses with EBUSY; -1: every one
    bool dec_bad_index = false; // the next picture dequeue returns the granted count
    int grant = -1; // REQBUFS grants this many; -1: what was asked, capped
    std::vector<FailRule> fails;
    int eintr = 0;  // first attempts of every request that fail with EINTR
    int eagain = 0; // next dequeues that fail with EAGAIN
    bool no_crop = false;
    unsigned size_w = 0, size_h = 0; // S_FMT adjusts to this size when set
    bool zero_sizes = false;
    bool no_streaming = false, no_read = false, no_capture = false;
    bool bad_index = false, bad_userptr = false;
    unsigned fps = 30;
    bool still = false; // the scene does not move
    bool plain_codec = false; // the M2M nodes frame pictures without coding them
    // A mounted codecfs: the encoder draws <dir>/<channel>/.stamp (the
    // datastamp of channel N_hd, N_jd, ...) into every picture it codes.
    std::string datastamp_dir;
    bool stats = false;
    std::string stats_file;
    // The first buffer-ownership violation ends the program (see Ledger).
    bool strict = false;
};

constexpr unsigned kMaxBuffers = 16;

// Parses option words; on failure returns false with a one-line reason.
bool parse_options(const std::vector<std::string> &words, Options &out, std::string &error);

// Splits an option string into words: blanks separate, '...' and "..." quote,
// a backslash escapes the next character.
bool split_words(const char *text, std::vector<std::string> &out, std::string &error);

// Quotes a word so that split_words gives it back unchanged.
std::string quote_word(const std::string &word);

// The option list as `vcam --help` prints it.
const char *options_help();

// "EIO" -> EIO, "5" -> 5; 0 when unknown.
int errno_from_name(const std::string &name);

// Names a request for --fail is allowed to name.
bool is_fault_name(const std::string &name);

// Node scopes a --fail rule may start with.
bool is_fault_scope(const std::string &name);

// True when a rule for `node` applies to a request in `scope` ("enc.cap"):
// an empty node matches everything, "enc" both encoder queues.
bool scope_matches(const std::string &node, const std::string &scope);

// The channel number of an encoder path: its trailing decimal digits, or -1.
int channel_of_path(const std::string &path);

} // namespace vcam

#endif
