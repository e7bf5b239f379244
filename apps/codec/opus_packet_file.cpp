#include "opus_packet_file.h"

namespace kep {
namespace opf {

size_t read_full(FILE *in, void *buf, size_t size)
{
  unsigned char *p = static_cast<unsigned char *>(buf);
  size_t done = 0;
  while (done < size) {
    size_t n = fread(p + done, 1, size - done, in);
    if (n == 0)
      break;
    done += n;
  }
  return done;
}

size_t write_full(FILE *out, const void *buf, size_t size)
{
  const unsigned char *p = static_cast<const unsigned char *>(buf);
  size_t done = 0;
  while (done < size) {
    size_t n = fwrite(p + done, 1, size - done, out);
    if (n == 0)
      break;
    done += n;
  }
  return done;
}

bool write_record(FILE *out, const unsigned char *packet, int32_t length)
{
  // Byte by byte, so the file reads the same on any host byte order.
  uint32_t v = static_cast<uint32_t>(length);
  unsigned char field[length_bytes] = {
      static_cast<unsigned char>(v), static_cast<unsigned char>(v >> 8),
      static_cast<unsigned char>(v >> 16), static_cast<unsigned char>(v >> 24)};
  if (write_full(out, field, sizeof field) != sizeof field)
    return false;
  size_t size = length > 0 ? static_cast<size_t>(length) : 0;
  return write_full(out, packet, size) == size;
}

bool read_length(FILE *in, int32_t *length)
{
  unsigned char field[length_bytes];
  if (read_full(in, field, sizeof field) != sizeof field)
    return false;
  uint32_t v = static_cast<uint32_t>(field[0]) | static_cast<uint32_t>(field[1]) << 8 |
               static_cast<uint32_t>(field[2]) << 16 | static_cast<uint32_t>(field[3]) << 24;
  *length = static_cast<int32_t>(v);
  return true;
}

packet_read read_packet(FILE *in, int32_t length, unsigned char *buf, size_t capacity)
{
  if (length <= 0)
    return packet_read::ok;
  size_t size = static_cast<size_t>(length);
  if (size > capacity)
    return packet_read::oversized;
  return read_full(in, buf, size) == size ? packet_read::ok : packet_read::truncated;
}

}  // namespace opf
}  // namespace kep
