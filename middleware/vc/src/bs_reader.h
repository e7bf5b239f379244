// Internal records of the bit-stream reader and its two frame parsers.
#ifndef KEP_BS_READER_H
#define KEP_BS_READER_H

#include "kep_vc.h"

#include <stddef.h>
#include <stdint.h>

namespace kep {

// Bytes read from a file per fill.
constexpr uint32_t BS_CHUNK = 8192;
// The file-mode input buffer starts on a cache line.
constexpr size_t BS_ALIGN = 64;
// Every delivered frame is zero-padded to a multiple of this.
constexpr uint32_t BS_PAD = 64;

enum bs_mode : int32_t { BS_MODE_FILE = 0, BS_MODE_MEMORY = 1 };

// Search phases of one read_frame call.
enum bs_phase : int { BS_HEADER = 0, BS_TAILER = 1, BS_EXHAUSTED = 2 };

struct bs_reader;

// Refills the reader's data; returns the byte count, 0 at the end, -1 on failure.
using bs_fill_fn = int32_t (*)(bs_reader *r);
// Searches [pos, pos + *remaining) for a frame start (phase 0) or frame end
// (phase 1). Returns the position found, or null; *remaining becomes the byte
// count from that position to the end of the data. *state carries the
// parser's state number between the reads of one read_frame call.
using bs_parse_fn = uint8_t *(*)(kep_m2m *m2m, uint8_t *pos, uint32_t *remaining, int phase, int *state);

// One quantisation table in two slots one byte apart: byte 0 names the slot,
// the table lives at space + slot.
struct mjpeg_qtable {
    uint8_t slot;
    uint8_t space[65];
};

// MJPEG walk state that survives reads and frames (flags below).
constexpr uint16_t MJPEG_MARKER_COMPLETE = 0x04;
constexpr uint16_t MJPEG_LENGTH_HIGH_HELD = 0x10;
constexpr uint16_t MJPEG_REMAINDER_PENDING = 0x40;

struct mjpeg_component {
    uint8_t id;
    uint8_t h;
    uint8_t v;
    uint8_t tq;
};

struct mjpeg_parser_state {
    uint16_t flags;
    uint8_t marker_first;
    uint8_t marker_code;
    uint8_t length_high;
    uint8_t length_low;
    uint16_t remainder;
    uint8_t component_count;
    mjpeg_component *components;
    mjpeg_qtable qtables[2];
    // Entries allocated in components: a later frame header with more
    // components than the first gets a larger table instead of an overflow.
    uint32_t component_capacity;
};

struct bs_reader {
    int32_t fd;
    int32_t mode;
    uint32_t format;
    uint8_t *base;
    uint32_t length;
    uint8_t *position;
    int32_t header_length;
    bs_fill_fn fill;
    bs_parse_fn parse;
    mjpeg_parser_state *mjpeg;
    // Where the current read's bytes lie: base, or, while a frame runs on past
    // a read in file mode, their place in the destination, read there
    // directly so that they are not copied again.
    uint8_t *data;
    // A frame that starts exactly at base, found in data still in the
    // buffer: position == base must not mean "used up, read more" then.
    bool frame_at_base;
    // An H.264 entropy mode the decoder refused, sent again with the next
    // slice until it takes it: 1 + the mode, 0 none.
    uint32_t entropy_pending;
};

uint8_t *h264_frame_parser(kep_m2m *m2m, uint8_t *pos, uint32_t *remaining, int phase, int *state);
uint8_t *mjpeg_frame_parser(kep_m2m *m2m, uint8_t *pos, uint32_t *remaining, int phase, int *state);

// First 4-byte start code at or after p under the group-of-four rule, with
// groups counted from p and the search state starting at 0; null if none.
const uint8_t *h264_find_start_code(const uint8_t *p, const uint8_t *end);

// First 0xFF at or after p that the MJPEG walk has to look at: the last byte
// of the data, or one followed by anything but 00; null if none.
const uint8_t *mjpeg_find_marker(const uint8_t *p, const uint8_t *end);

} // namespace kep

#endif
