// opusplay's record loop on untrusted packet files: length field, packet read
// into the fixed packet buffer, decode into the fixed PCM buffer. The first
// input byte picks the sample rate, which sizes both buffers as in opusplay.
#include <opus.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

#include "opus_packet_file.h"

namespace {
const int rates[] = {8000, 12000, 16000, 24000, 48000};
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
  if (size < 2)
    return 0;
  const int rate = rates[data[0] % (sizeof rates / sizeof rates[0])];
  FILE *in = fmemopen(const_cast<uint8_t *>(data + 1), size - 1, "rb");
  if (!in)
    return 0;
  const uint32_t frame_size = static_cast<uint32_t>(rate) * 3u / 25u;
  const size_t buffer_bytes = 2 * static_cast<size_t>(frame_size);
  // Exact-size heap buffers, so AddressSanitizer sees any access past them.
  opus_int16 *samples = static_cast<opus_int16 *>(malloc(buffer_bytes));
  unsigned char *packet = static_cast<unsigned char *>(malloc(buffer_bytes));
  int err = 0;
  OpusDecoder *dec = opus_decoder_create(rate, 1, &err);
  if (samples && packet && dec) {
    int32_t len;
    // Every record consumes at least its length field, so the input ends it.
    while (kep::opf::read_length(in, &len)) {
      if (kep::opf::read_packet(in, len, packet, buffer_bytes) != kep::opf::packet_read::ok)
        break;
      int n = opus_decode(dec, packet, len, samples, static_cast<int>(frame_size), 0);
      if (n < 0)
        break;
      if (static_cast<uint32_t>(n) > frame_size)
        abort();  // the decoder wrote past the room it was given
    }
  }
  if (dec)
    opus_decoder_destroy(dec);
  free(packet);
  free(samples);
  fclose(in);
  return 0;
}
