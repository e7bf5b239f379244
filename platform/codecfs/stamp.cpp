// The virtual codec driver's datastamp state: settings in, answers out, and
// the stamp drawn into pictures.
#include "stamp.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

namespace codecfs {

const char *const kFileNames[static_cast<int>(DsFile::count)] = {
    "ds_datastamp", "ds_position", "ds_dimension", "ds_color", "ds_color_attr", "ds_scale", "ds_enable",
};

DsFile file_by_name(const char *name)
{
    for (int i = 0; i < static_cast<int>(DsFile::count); ++i)
        if (strcmp(name, kFileNames[i]) == 0)
            return static_cast<DsFile>(i);
    return DsFile::count;
}

namespace {

// The small settings are short texts; copied so that sscanf sees a NUL.
bool small_text(const char *data, size_t len, char (&buf)[128])
{
    if (len >= sizeof buf)
        return false;
    memcpy(buf, data, len);
    buf[len] = '\0';
    return true;
}

// Scans exactly n values with format and nothing but blanks behind them.
template <typename T>
bool scan(const char *data, size_t len, const char *format, int n, T *v)
{
    char buf[128];
    if (!small_text(data, len, buf))
        return false;
    int used = 0;
    char fmt[64];
    snprintf(fmt, sizeof fmt, "%s%%n", format);
    int got = n == 1 ? sscanf(buf, fmt, &v[0], &used)
              : n == 2 ? sscanf(buf, fmt, &v[0], &v[1], &used)
                       : sscanf(buf, fmt, &v[0], &v[1], &v[2], &v[3], &v[4], &v[5], &used);
    if (got != n)
        return false;
    for (const char *p = buf + used; *p; ++p)
        if (*p != ' ' && *p != '\n' && *p != '\t')
            return false;
    return true;
}

// Block words: hexadecimal numbers with or without "0x", separated by
// blanks, up to the first NUL (a text stamp is zero-filled behind its text).
bool parse_words(const char *data, size_t len, uint32_t *words, uint32_t *count)
{
    uint32_t n = 0;
    size_t i = 0;
    while (i < len && data[i] != '\0') {
        if (data[i] == ' ' || data[i] == '\n' || data[i] == '\t') {
            ++i;
            continue;
        }
        if (data[i] == '0' && i + 1 < len && (data[i + 1] == 'x' || data[i + 1] == 'X'))
            i += 2;
        uint64_t v = 0;
        size_t digits = 0;
        for (; i < len && digits <= 8; ++i, ++digits) {
            char c = data[i];
            int d = (c >= '0' && c <= '9') ? c - '0' : (c >= 'a' && c <= 'f') ? c - 'a' + 10
                                                       : (c >= 'A' && c <= 'F') ? c - 'A' + 10 : -1;
            if (d < 0)
                break;
            v = v * 16 + static_cast<uint64_t>(d);
        }
        if (digits == 0 || digits > 8)
            return false;
        if (i < len && data[i] != ' ' && data[i] != '\n' && data[i] != '\t' && data[i] != '\0')
            return false;
        if (n < kMaxStampWords)
            words[n++] = static_cast<uint32_t>(v);
    }
    *count = n;
    return true;
}

} // namespace

int apply(Stamp &s, DsFile file, const char *data, size_t len)
{
    switch (file) {
    case DsFile::datastamp: {
        if (len > kMaxStampText)
            return -1;
        static_assert(sizeof s.words / sizeof s.words[0] == kMaxStampWords, "word table");
        uint32_t *words = static_cast<uint32_t *>(malloc(sizeof s.words));
        uint32_t count = 0;
        bool ok = words && parse_words(data, len, words, &count);
        if (ok) {
            memcpy(s.words, words, count * sizeof(uint32_t));
            s.word_count = count;
            memcpy(s.text, data, len);
            s.text_len = len;
        }
        free(words);
        return ok ? 0 : -1;
    }
    case DsFile::position:
    case DsFile::dimension:
    case DsFile::color_attr: {
        unsigned v[2];
        if (!scan(data, len, "%x %x", 2, v))
            return -1;
        int32_t *dst = file == DsFile::position ? s.start : file == DsFile::dimension ? s.dim : nullptr;
        if (dst) {
            dst[0] = static_cast<int32_t>(v[0]);
            dst[1] = static_cast<int32_t>(v[1]);
        } else {
            s.weight = static_cast<int32_t>(v[0]);
            s.attr = static_cast<int32_t>(v[1]);
        }
        return 0;
    }
    case DsFile::color: {
        int v[6];
        if (!scan(data, len, "%d %d %d %d %d %d", 6, v))
            return -1;
        for (int i = 0; i < 3; ++i) {
            s.fg[i] = v[i];
            s.bg[i] = v[3 + i];
        }
        return 0;
    }
    case DsFile::scale:
    case DsFile::enable: {
        int v[1];
        if (!scan(data, len, "%d", 1, v))
            return -1;
        (file == DsFile::scale ? s.scale : s.enable) = v[0];
        return 0;
    }
    case DsFile::count:
        break;
    }
    return -1;
}

size_t answer(const Stamp &s, DsFile file, char *out, size_t cap)
{
    if (file == DsFile::datastamp) {
        if (cap > 0) {
            size_t n = s.text_len < cap ? s.text_len : cap;
            memcpy(out, s.text, n);
            if (n < cap)
                out[n] = '\0';
        }
        return s.text_len;
    }
    int n = 0;
    switch (file) {
    case DsFile::position:
        n = snprintf(out, cap, "start(0x%x, 0x%x)", static_cast<unsigned>(s.start[0]), static_cast<unsigned>(s.start[1]));
        break;
    case DsFile::dimension:
        n = snprintf(out, cap, "dim(0x%x, 0x%x)", static_cast<unsigned>(s.dim[0]), static_cast<unsigned>(s.dim[1]));
        break;
    case DsFile::color:
        n = snprintf(out, cap, "fg(%d, %d, %d) bg(%d, %d, %d)", s.fg[0], s.fg[1], s.fg[2], s.bg[0], s.bg[1], s.bg[2]);
        break;
    case DsFile::color_attr:
        n = snprintf(out, cap, "weight=%d attr=0x%x", s.weight, static_cast<unsigned>(s.attr));
        break;
    case DsFile::scale:
        n = snprintf(out, cap, "scale=%d", s.scale);
        break;
    case DsFile::enable:
        n = snprintf(out, cap, "datastamp enable=%d", s.enable);
        break;
    default:
        break;
    }
    return n > 0 ? static_cast<size_t>(n) : 0;
}

int magnification(int32_t scale)
{
    return scale == 1 ? 2 : scale == 2 ? 4 : 1;
}

bool block_pixel(const uint32_t *block, int32_t scale, int x, int y)
{
    auto byte = [block](int i) { return static_cast<unsigned>(block[i / 4] >> (8 * (i % 4))) & 0xffu; };
    if (scale == 1)
        return (byte(((y / 8) * 2 + x / 8) * 8 + y % 8) >> (x % 8)) & 1;
    if (scale == 2) {
        unsigned b = byte(((y / 4) * 4 + x / 4) * 2 + (y % 4) / 2);
        return (b >> ((y % 2) * 4 + x % 4)) & 1;
    }
    return (block[y / 2] >> (x + 16 * (y % 2))) & 1;
}

namespace {

uint8_t clamp8(int32_t v)
{
    return static_cast<uint8_t>(v < 0 ? 0 : v > 255 ? 255 : v);
}

} // namespace

void draw_s420(const Stamp &s, uint8_t *picture, unsigned width, unsigned height)
{
    if (!s.enable || s.dim[0] <= 0 || s.dim[1] <= 0)
        return;
    const int m = magnification(s.scale);
    const int32_t layout = (s.scale == 1 || s.scale == 2) ? s.scale : 0;
    const int64_t cols = s.dim[0];
    const int64_t blocks = cols * s.dim[1];
    const int64_t held = s.word_count / 8;
    uint8_t *luma = picture;
    uint8_t *cb = picture + static_cast<size_t>(width) * height;
    uint8_t *cr = cb + static_cast<size_t>(width / 2) * (height / 2);
    const uint8_t fg[3] = {clamp8(s.fg[0]), clamp8(s.fg[1]), clamp8(s.fg[2])};
    const uint8_t bg[3] = {clamp8(s.bg[0]), clamp8(s.bg[1]), clamp8(s.bg[2])};
    for (int64_t b = 0; b < blocks && b < held; ++b) {
        const uint32_t *block = s.words + b * 8;
        const int64_t bx = static_cast<int64_t>(s.start[0]) + (b % cols) * 16 * m;
        const int64_t by = static_cast<int64_t>(s.start[1]) + (b / cols) * 16 * m;
        for (int py = 0; py < 16 * m; ++py) {
            const int64_t y = by + py;
            if (y < 0 || y >= height)
                continue;
            for (int px = 0; px < 16 * m; ++px) {
                const int64_t x = bx + px;
                if (x < 0 || x >= width)
                    continue;
                const uint8_t *c = block_pixel(block, layout, px / m, py / m) ? fg : bg;
                luma[y * width + x] = c[0];
                if (x % 2 == 0 && y % 2 == 0 && x / 2 < width / 2 && y / 2 < height / 2) {
                    cb[(y / 2) * (width / 2) + x / 2] = c[1];
                    cr[(y / 2) * (width / 2) + x / 2] = c[2];
                }
            }
        }
    }
}

} // namespace codecfs
