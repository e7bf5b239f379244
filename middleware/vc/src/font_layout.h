// The three glyph-block layouts of the datastamp, as constexpr code so that
// the same conversion builds the exported ×2 and ×4 font tables at compile
// time and converts blocks at run time.
//
// A block is 32 bytes of 16 × 16 one-bit pixels, bit 0 of a byte being its
// leftmost pixel. Row layout (scale code 0): byte 2r holds columns 0-7 of
// row r, byte 2r+1 columns 8-15. Scale code 1: four 8 × 8 tiles (top-left,
// top-right, bottom-left, bottom-right), one byte per tile row. Scale code 2:
// sixteen 4 × 4 tiles, tile rows from the top and tiles from the left, two
// bytes each holding tile rows 0-1 and 2-3 as low and high nibbles.
#ifndef KEP_FONT_LAYOUT_H
#define KEP_FONT_LAYOUT_H

#include <stdint.h>

namespace kep {

constexpr int kBlockBytes = 32;
constexpr int kBlockWords = 8;

// Converts one block from the row layout into the layout of scale. Codes
// other than 1 and 2 leave the block in the row layout.
constexpr void convert_block(const uint8_t *row, uint8_t *out, int32_t scale)
{
    if (scale == 2) {
        int o = 0;
        for (int band = 0; band < 4; ++band) {
            for (int group = 0; group < 4; ++group) {
                // Columns 4-7 and 12-15 are the high nibble of their byte.
                const int byte = group / 2;
                const int shift = (group % 2) * 4;
                for (int pair = 0; pair < 2; ++pair) {
                    const int r = band * 4 + pair * 2;
                    const int lo = (row[2 * r + byte] >> shift) & 0xf;
                    const int hi = (row[2 * (r + 1) + byte] >> shift) & 0xf;
                    out[o++] = static_cast<uint8_t>(lo | (hi << 4));
                }
            }
        }
    } else if (scale == 1) {
        int o = 0;
        for (int half = 0; half < 2; ++half)
            for (int side = 0; side < 2; ++side)
                for (int r = half * 8; r < half * 8 + 8; ++r)
                    out[o++] = row[2 * r + side];
    } else {
        for (int i = 0; i < kBlockBytes; ++i)
            out[i] = row[i];
    }
}

} // namespace kep

#endif
