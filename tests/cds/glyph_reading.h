// Reads pixels out of a glyph block in each of the three layouts, written
// from the layout descriptions alone (not from the library's conversion), so
// that tests can check the exported tables and converted blocks against it.
#ifndef KEP_GLYPH_READING_H
#define KEP_GLYPH_READING_H

#include <stdint.h>

namespace cdstest {

// Pixel (x, y), 0..15, of a 32-byte block in the layout of scale code scale.
inline bool glyph_pixel(const uint8_t *block, int scale, int x, int y)
{
    switch (scale) {
    case 1: { // 8 × 8 tiles: top-left, top-right, bottom-left, bottom-right
        int tile = (y / 8) * 2 + x / 8;
        return (block[tile * 8 + y % 8] >> (x % 8)) & 1;
    }
    case 2: { // 4 × 4 tiles, two bytes each: rows 0|1 then rows 2|3 as nibbles
        int tile = (y / 4) * 4 + x / 4;
        uint8_t b = block[tile * 2 + (y % 4) / 2];
        int nibble = (y % 2) ? (b >> 4) : (b & 0xf);
        return (nibble >> (x % 4)) & 1;
    }
    default: // rows of two bytes, bit 0 leftmost
        return (block[2 * y + x / 8] >> (x % 8)) & 1;
    }
}

// The same for a block given as eight little-endian words.
inline bool glyph_pixel_words(const uint32_t *words, int scale, int x, int y)
{
    uint8_t b[32];
    for (int i = 0; i < 32; ++i)
        b[i] = static_cast<uint8_t>(words[i / 4] >> (8 * (i % 4)));
    return glyph_pixel(b, scale, x, y);
}

} // namespace cdstest

#endif
