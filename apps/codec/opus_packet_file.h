// The Opus packet file: no header, then records until the end of the file,
// each a 4-byte signed little-endian length followed by that many bytes of one
// Opus packet. opuspack writes it and opusplay reads it; both go through this
// code so that the two can never disagree about the layout.
#ifndef KEP_OPUS_PACKET_FILE_H
#define KEP_OPUS_PACKET_FILE_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

namespace kep {
namespace opf {

constexpr size_t length_bytes = 4;

// Reads up to size bytes, repeating short reads; returns how many arrived
// (less than size only at the end of the input or on a read error).
size_t read_full(FILE *in, void *buf, size_t size);

// Writes size bytes, repeating short writes; returns how many were accepted
// (less than size only when the stream refuses to take more).
size_t write_full(FILE *out, const void *buf, size_t size);

// Appends one record. Returns false when the stream did not take all of it.
bool write_record(FILE *out, const unsigned char *packet, int32_t length);

// Reads the length field of the next record. Returns false at the end of the
// input, including a field cut short by it.
bool read_length(FILE *in, int32_t *length);

enum class packet_read {
  ok,         // the packet is in the buffer (nothing is read for a length <= 0)
  truncated,  // the input ended inside the packet
  oversized,  // the length exceeds the buffer: nothing was read
};

// Reads the packet of a record whose length field was just read. A length that
// does not fit the buffer is refused before any byte is read into it.
packet_read read_packet(FILE *in, int32_t length, unsigned char *buf, size_t capacity);

}  // namespace opf
}  // namespace kep

#endif
