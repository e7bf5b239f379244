// Shared helpers of the bit-stream reader tests: stream builders, output
// capture, running the reader over a file or a memory area, and a plain
// reference splitter for H.264.
#ifndef KEP_TESTS_READER_SUPPORT_H
#define KEP_TESTS_READER_SUPPORT_H

#include "kep_vc.h"

#include <stdint.h>
#include <string>
#include <vector>

using Bytes = std::vector<uint8_t>;

// ---- output capture --------------------------------------------------------

// Collects what is written to standard output and standard error between
// construction and take().
class OutputCapture {
public:
    OutputCapture();
    ~OutputCapture();
    void take(std::string *out, std::string *err);
    std::string out();

private:
    void restore();
    int saved_out_ = -1, saved_err_ = -1;
    int file_out_ = -1, file_err_ = -1;
};

size_t count_of(const std::string &haystack, const std::string &needle);

// ---- files -----------------------------------------------------------------

// A file in a private temporary directory, removed at destruction.
class TempFile {
public:
    explicit TempFile(const Bytes &content);
    ~TempFile();
    const char *path() const { return path_.c_str(); }

private:
    std::string path_;
};

// ---- running the reader ----------------------------------------------------

struct ReadResult {
    int32_t code;
    Bytes frame; // code bytes of dst when code > 0
    bool operator==(const ReadResult &o) const { return code == o.code && frame == o.frame; }
};

// What the reader printed during the last read_file or read_memory call (the
// helpers capture it, so that a failing assertion can still be seen).
const std::string &last_out();
const std::string &last_err();

// Reads every frame of a file until -1 (included) or max_calls calls.
std::vector<ReadResult> read_file(const Bytes &stream, uint32_t fourcc, int dec_fd, uint32_t dst_size = 1u << 20,
                                  size_t max_calls = 100000);

// One memory-mode call on a private copy of data.
ReadResult read_memory(const Bytes &data, uint32_t fourcc, int dec_fd, uint32_t dst_size = 1u << 20);

// Frame bytes without the zero padding (frames built here never end in 00).
Bytes unpadded(const Bytes &frame);

Bytes concat(const std::vector<Bytes> &parts);
Bytes filler(size_t n, uint8_t value = 0xA5);
// A whole file; empty when it cannot be read.
Bytes load_file(const std::string &path);
// One of the committed real streams (scripts/make_test_streams.sh).
#define KEP_TEST_STREAM(name) load_file(std::string(KEP_SOURCE_DIR) + "/tests/reader/streams/" name)

// ---- H.264 -----------------------------------------------------------------

// Bits written MSB first; ue() writes an unsigned Exp-Golomb code.
class BitWriter {
public:
    void bits(uint32_t value, int n);
    void ue(uint32_t value);
    // rbsp trailing bits, then non-zero payload bytes so that no start code
    // can appear inside the unit.
    Bytes finish(size_t body = 0);

private:
    Bytes out_;
    uint32_t acc_ = 0;
    int used_ = 0;
};

Bytes nal(uint8_t type, const Bytes &rbsp);
Bytes sps(size_t body = 8);
Bytes pps(bool cabac, uint32_t id = 0);
Bytes slice(uint8_t type, uint32_t first_mb, size_t body);

// The splitter as a plain, literal implementation of the group-of-four rule,
// reading the stream in the same 8192-byte chunks. entropy collects the
// entropy-mode values it would set.
std::vector<ReadResult> reference_h264_file(const Bytes &stream, uint32_t dst_size = 1u << 20,
                                            std::vector<int32_t> *entropy = nullptr, size_t max_calls = 100000);
ReadResult reference_h264_memory(const Bytes &data, uint32_t dst_size = 1u << 20,
                                 std::vector<int32_t> *entropy = nullptr);

// ---- MJPEG -----------------------------------------------------------------

struct JpegSpec {
    uint8_t h = 2, v = 2;          // sampling factors of the first component
    uint8_t components = 3;        // Nf of the frame header
    uint8_t luma_q = 10;           // base value of the luma table
    uint8_t chroma_q = 20;         // base value of the chroma table
    bool app0 = true;              // an APP0 segment in front
    size_t comment = 0;            // a COM segment of this many payload bytes
    bool restart = false;          // restart markers inside the scan
    size_t fill = 0;               // 0xFF fill bytes before the end of image
    size_t scan = 200;             // entropy-coded bytes
    uint8_t seed = 1;
};

struct Jpeg {
    Bytes bytes;
    Bytes scan;                    // scan data as delivered (without fill bytes)
    Bytes luma, chroma;            // the two 64-byte tables
    size_t dqt_at = 0, dqt_end = 0; // payload offsets of the DQT segment
    size_t sof_at = 0, sof_end = 0; // and of the frame header
};

Jpeg make_jpeg(const JpegSpec &shape);
Bytes qtable(uint8_t base);

// Frame bytes with padding removed and fill bytes in front of the end of
// image dropped: what must equal the scan data plus FF D9.
Bytes normalised_mjpeg_frame(const Bytes &frame);

// The MJPEG walk's search as written, byte by byte: the first 0xFF at or
// after p that ends the data or is not followed by the stuffing byte 00;
// null if none.
const uint8_t *plain_mjpeg_marker(const uint8_t *p, const uint8_t *end);

#endif
