// fontsheet: draws the library's exported fonts OSD_Font_X1, OSD_Font_X2 and
// OSD_Font_X4 (all 68 glyphs, 17 to a row) at ×1, ×2 and ×4 into a picture,
// through the same stamp drawing the virtual codec driver uses, and writes
// its luma as a greyscale PNG.
//
//   fontsheet OUTPUT.png
#include "kep_vc.h"
#include "stamp.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <vector>

namespace {

constexpr unsigned kMargin = 16;
constexpr int kPerRow = 17;
constexpr int kRows = KEP_FONT_GLYPHS / kPerRow;
static_assert(kPerRow * kRows == KEP_FONT_GLYPHS, "the sheet holds every glyph");

uint32_t crc32(const uint8_t *p, size_t n, uint32_t crc = 0)
{
    crc = ~crc;
    for (size_t i = 0; i < n; ++i) {
        crc ^= p[i];
        for (int k = 0; k < 8; ++k)
            crc = (crc >> 1) ^ (0xedb88320u & (0u - (crc & 1)));
    }
    return ~crc;
}

void put_be32(std::vector<uint8_t> &v, uint32_t x)
{
    for (int s = 24; s >= 0; s -= 8)
        v.push_back(static_cast<uint8_t>(x >> s));
}

void chunk(FILE *f, const char *type, const std::vector<uint8_t> &data)
{
    std::vector<uint8_t> c;
    put_be32(c, static_cast<uint32_t>(data.size()));
    c.insert(c.end(), type, type + 4);
    c.insert(c.end(), data.begin(), data.end());
    put_be32(c, crc32(c.data() + 4, c.size() - 4));
    fwrite(c.data(), 1, c.size(), f);
}

// Greyscale PNG with stored (uncompressed) deflate blocks: no zlib needed.
bool write_png(const char *path, const uint8_t *grey, unsigned w, unsigned h)
{
    FILE *f = fopen(path, "wb");
    if (!f)
        return false;
    static const uint8_t sig[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
    fwrite(sig, 1, sizeof sig, f);
    std::vector<uint8_t> ihdr;
    put_be32(ihdr, w);
    put_be32(ihdr, h);
    ihdr.insert(ihdr.end(), {8, 0, 0, 0, 0});
    chunk(f, "IHDR", ihdr);

    std::vector<uint8_t> raw;
    for (unsigned y = 0; y < h; ++y) {
        raw.push_back(0); // filter: none
        raw.insert(raw.end(), grey + y * w, grey + (y + 1) * w);
    }
    std::vector<uint8_t> z = {0x78, 0x01};
    uint32_t a = 1, b = 0;
    for (uint8_t byte : raw) {
        a = (a + byte) % 65521;
        b = (b + a) % 65521;
    }
    for (size_t off = 0; off < raw.size() || off == 0; off += 65535) {
        size_t n = raw.size() - off < 65535 ? raw.size() - off : 65535;
        z.push_back(off + n >= raw.size() ? 1 : 0);
        z.insert(z.end(), {static_cast<uint8_t>(n), static_cast<uint8_t>(n >> 8), static_cast<uint8_t>(~n),
                           static_cast<uint8_t>(~n >> 8)});
        z.insert(z.end(), raw.begin() + static_cast<long>(off), raw.begin() + static_cast<long>(off + n));
        if (off + n >= raw.size())
            break;
    }
    put_be32(z, (b << 16) | a);
    chunk(f, "IDAT", z);
    chunk(f, "IEND", {});
    return fclose(f) == 0;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 2) {
        fprintf(stderr, "usage: fontsheet OUTPUT.png\n");
        return 2;
    }
    const uint8_t *tables[3] = {OSD_Font_X1, OSD_Font_X2, OSD_Font_X4};
    const unsigned width = 2 * kMargin + kPerRow * 16 * 4;
    unsigned height = kMargin;
    for (int s = 0; s < 3; ++s)
        height += kRows * 16 * codecfs::magnification(s) + kMargin;
    std::vector<uint8_t> picture(static_cast<size_t>(width) * height * 3 / 2, 128);
    memset(picture.data(), 80, static_cast<size_t>(width) * height);

    auto *stamp = static_cast<codecfs::Stamp *>(calloc(1, sizeof(codecfs::Stamp)));
    if (!stamp)
        return 1;
    unsigned y = kMargin;
    for (int s = 0; s < 3; ++s) {
        // The table's bytes as the stamp's little-endian block words.
        for (int i = 0; i < KEP_FONT_GLYPHS * 8; ++i) {
            const uint8_t *p = tables[s] + 4 * i;
            stamp->words[i] = p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
        }
        stamp->word_count = KEP_FONT_GLYPHS * 8;
        stamp->start[0] = kMargin;
        stamp->start[1] = static_cast<int32_t>(y);
        stamp->dim[0] = kPerRow;
        stamp->dim[1] = kRows;
        stamp->fg[0] = 235;
        stamp->bg[0] = 16;
        stamp->fg[1] = stamp->fg[2] = stamp->bg[1] = stamp->bg[2] = 128;
        stamp->scale = s;
        stamp->enable = 1;
        codecfs::draw_s420(*stamp, picture.data(), width, height);
        y += kRows * 16 * codecfs::magnification(s) + kMargin;
    }
    free(stamp);
    if (!write_png(argv[1], picture.data(), width, height)) {
        fprintf(stderr, "fontsheet: cannot write %s\n", argv[1]);
        return 1;
    }
    printf("fontsheet: %s, %ux%u\n", argv[1], width, height);
    return 0;
}
