// MSB-first bit reader and the unsigned Exp-Golomb code of H.264 (9.1).
#include "kep_vc_lib.h"

#include <stddef.h>
#include <stdint.h>

extern "C" KEP_VC_API bits_handler *bits_handler_init(bits_handler *h, uint8_t *data, uint32_t size)
{
    h->cursor = data;
    h->start = data;
    h->size = size;
    h->bit_position = 0;
    return h;
}

// Bits past the handler's size read as zero and leave the handler at its end:
// a truncated header must not make the reader look outside its data.
extern "C" KEP_VC_API uint32_t read_bits(bits_handler *h, int32_t n)
{
    uint32_t bits = (uint32_t)n; // a negative count is as wrong as one above 32
    KEP_ASSERT(bits < 33, "read_bits");

    uint64_t value = 0;
    uint32_t left = bits;
    while (left > 0) {
        size_t offset = (size_t)(h->cursor - h->start);
        if (h->bit_position >= 8) {
            if (offset + 1 >= h->size)
                break;
            h->cursor++;
            h->bit_position = 0;
            offset++;
        }
        if (offset >= h->size)
            break;
        uint32_t avail = 8 - h->bit_position;
        uint32_t take = avail < left ? avail : left;
        uint32_t chunk = ((uint32_t)*h->cursor >> (avail - take)) & ((1u << take) - 1u);
        value = (value << take) | chunk;
        h->bit_position += take;
        left -= take;
    }
    value <<= left;
    return (uint32_t)value;
}

// 32 or more leading zeros give a value that 32 bits cannot hold; the code is
// reported as 0xFFFFFFFF after consuming those 32 zeros.
//
// The zeros are counted a byte at a time rather than a bit at a time; reading
// k bits in one call leaves the handler where k one-bit reads would.
extern "C" KEP_VC_API uint32_t ue_exp_golomb(bits_handler *h)
{
    uint32_t zeros = 0;
    for (;;) {
        size_t offset = (size_t)(h->cursor - h->start) + (h->bit_position >= 8 ? 1 : 0);
        if (offset >= h->size)
            return UINT32_MAX; // only zeros from here on: 32 of them are read
        uint32_t used = h->bit_position >= 8 ? 0 : h->bit_position;
        uint32_t rest = (uint32_t)h->start[offset] & (0xFFu >> used); // bits not yet read
        uint32_t lead = rest == 0 ? 8 - used : (uint32_t)__builtin_clz(rest) - 24 - used;
        if (zeros + lead >= 32) {
            read_bits(h, (int32_t)(32 - zeros));
            return UINT32_MAX;
        }
        zeros += lead;
        if (rest != 0) {
            read_bits(h, (int32_t)lead + 1); // the zeros and the 1 that ends them
            break;
        }
        read_bits(h, (int32_t)lead);
    }
    return read_bits(h, (int32_t)zeros) + ((1u << zeros) - 1u);
}
