// Text stamps: glyph blocks in the three layouts, the block text written to
// "ds_datastamp", and the whole-stamp setter.
#include "cds_internal.h"
#include "font_layout.h"

#include <stdio.h>
#include <string.h>

namespace {

void words_to_bytes(const uint32_t *w, uint8_t *b)
{
    for (int i = 0; i < kep::kBlockBytes; ++i)
        b[i] = static_cast<uint8_t>(w[i / 4] >> (8 * (i % 4)));
}

void bytes_to_words(const uint8_t *b, uint32_t *w)
{
    for (int k = 0; k < kep::kBlockWords; ++k)
        w[k] = b[4 * k] | (b[4 * k + 1] << 8) | (b[4 * k + 2] << 16) | (static_cast<uint32_t>(b[4 * k + 3]) << 24);
}

// The eight little-endian words of glyph g of a font.
void glyph_words(const uint8_t *font, unsigned g, uint32_t w[8])
{
    bytes_to_words(font + g * kep::kBlockBytes, w);
}

// Character codes 128 to 255 have no entry in the 128-byte character table:
// they are drawn as the table's blank, the glyph of the space.
unsigned glyph_of(const uint8_t *table, unsigned char c)
{
    return table[c < 128 ? c : ' '];
}

// After a block was appended (ok_len is the new length, 0 when it did not
// fit): refuses, with a message and false, a text whose block text would
// exceed 1023 characters. Nothing is cut: a partial stamp would show a
// different text than the caller asked for.
bool check_fits(size_t ok_len, const char *text)
{
    if (ok_len == 0) {
        fprintf(stderr, "datastamp text \"%.32s\" needs more than %u bytes of block text\n", text,
                static_cast<unsigned>(kep::kCdsTextBlock - 1));
        return false;
    }
    return true;
}

int write_block_text(const char *dir, const char *block)
{
    int fd = kep::cds_open_setting(dir, "ds_datastamp");
    if (fd == -1)
        return 1;
    kep::cds_write_setting(fd, block, kep::kCdsTextBlock);
    return 0;
}

// Appends the converted blocks of cds->text to block; with echo, prints each
// block's text on its own line as it goes. False when the text does not fit.
bool append_text(kep_cds *cds, const uint8_t *table, const uint8_t *font, char (&block)[kep::kCdsTextBlock],
                 bool echo)
{
    size_t len = 0;
    for (const char *p = cds->text ? cds->text : ""; *p; ++p) {
        uint32_t row[kep::kBlockWords];
        uint32_t w[kep::kBlockWords];
        glyph_words(font, glyph_of(table, static_cast<unsigned char>(*p)), row);
        kep_cds_scale_font(cds, row, w, 1);
        size_t before = len;
        len = kep::cds_append_block(block, len, sizeof block, w);
        if (!check_fits(len, cds->text))
            return false;
        if (echo)
            printf("%.*s\n", static_cast<int>(len - before), block + before);
    }
    return true;
}

} // namespace

extern "C" {

KEP_VC_API int32_t kep_cds_scale_font(kep_cds *cds, const uint32_t *src, uint32_t *dst, int32_t count)
{
    for (int32_t n = 0; n < count; ++n) {
        uint8_t in[kep::kBlockBytes];
        uint8_t out[kep::kBlockBytes];
        words_to_bytes(src + n * kep::kBlockWords, in);
        kep::convert_block(in, out, cds->scale);
        bytes_to_words(out, dst + n * kep::kBlockWords);
    }
    if (cds->dump) {
        for (int32_t n = 0; n < count; ++n) {
            const uint32_t *w = dst + n * kep::kBlockWords;
            printf("0x%08X, 0x%08X, 0x%08X, 0x%08X,\n0x%08X, 0x%08X, 0x%08X, 0x%08X,\n\n", w[0], w[1], w[2], w[3],
                   w[4], w[5], w[6], w[7]);
        }
    }
    return 0;
}

KEP_VC_API int32_t kep_cds_scale_datastamp(kep_cds *cds)
{
    uint32_t blocks = (cds->width * cds->height) >> 8;
    // Never more blocks than the two bitmaps hold.
    uint32_t held = (cds->bitmap && cds->scaled_bitmap && cds->words > 0) ? static_cast<uint32_t>(cds->words) / 8 : 0;
    if (blocks > held)
        blocks = held;
    return kep_cds_scale_font(cds, cds->bitmap, cds->scaled_bitmap, static_cast<int32_t>(blocks));
}

KEP_VC_API int32_t kep_cds_set_string(const char *dir, const char *text, int32_t scale)
{
    const uint8_t *font = scale == 2 ? OSD_Font_X4 : scale == 1 ? OSD_Font_X2 : OSD_Font_X1;
    char block[kep::kCdsTextBlock] = {};
    size_t len = 0;
    for (const char *p = text ? text : ""; *p; ++p) {
        uint32_t w[kep::kBlockWords];
        glyph_words(font, glyph_of(ascii_2_font, static_cast<unsigned char>(*p)), w);
        len = kep::cds_append_block(block, len, sizeof block, w);
        if (!check_fits(len, text))
            return 1;
    }
    return write_block_text(dir, block);
}

KEP_VC_API int32_t kep_cds_set_font(kep_cds *cds, const uint8_t *table, const uint8_t *font)
{
    char block[kep::kCdsTextBlock] = {};
    // A silent first pass refuses a text that would not fit before the file
    // is opened (and emptied) and before anything is printed.
    kep_cds quiet = *cds;
    quiet.dump = 0;
    if (!append_text(&quiet, table, font, block, false))
        return 1;
    int fd = kep::cds_open_setting(cds->proc_dir, "ds_datastamp");
    if (fd == -1)
        return 1;
    memset(block, 0, sizeof block);
    append_text(cds, table, font, block, true);
    kep::cds_write_setting(fd, block, sizeof block);
    return 0;
}

KEP_VC_API int32_t kep_cds_set_all(const char *dir, kep_cds *cds)
{
    int32_t r = kep_cds_set_color(dir, cds->fg_color, cds->bg_color);
    if (r == 0)
        r = kep_cds_set_color_attr(dir, cds->color_attr);
    if (r == 0)
        r = kep_cds_set_position(dir, cds->start, cds->dim);
    if (r == 0)
        r = kep_cds_set_string(dir, cds->text, cds->scale);
    if (r == 0)
        r = kep_cds_set_scale(dir, cds->scale);
    if (r == 0)
        r = kep_cds_set_enable(dir, cds->enable);
    return r;
}

} // extern "C"
