// Stamp pictures from BMP files: a one-bit bitmap cut into glyph blocks with
// the stamp colour taken from the picture, and halving or doubling of a BMP
// file. Every size in a header is checked against the buffers and the file
// before it is used.
#include "cds_internal.h"

#include <limits.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

namespace {

constexpr size_t kHeaderBytes = 30; // signature to bits per pixel
constexpr size_t kInfoBytes = 54;   // with the information header's compression and beyond

uint32_t le16(const uint8_t *p)
{
    return p[0] | (p[1] << 8);
}

uint32_t le32(const uint8_t *p)
{
    return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

void put16(uint8_t *p, uint32_t v)
{
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}

void put32(uint8_t *p, uint32_t v)
{
    put16(p, v);
    put16(p + 2, v >> 16);
}

// Size of the file behind f, or -1.
long file_size(FILE *f)
{
    if (fseek(f, 0, SEEK_END) != 0)
        return -1;
    long size = ftell(f);
    return fseek(f, 0, SEEK_SET) == 0 ? size : -1;
}

// Reads n bytes at offset; false when the file is shorter.
bool read_at(FILE *f, uint64_t offset, void *buf, size_t n)
{
    if (offset > static_cast<uint64_t>(LONG_MAX) || fseek(f, static_cast<long>(offset), SEEK_SET) != 0)
        return false;
    return fread(buf, 1, n, f) == n;
}

// The information header's compression field, when the file has one.
uint32_t compression_of(const uint8_t *info, size_t got, uint32_t pixel_offset)
{
    if (got >= 34 && pixel_offset >= 34 && le32(info + 14) >= 40)
        return le32(info + 30);
    return 0;
}

// Truncation toward zero to an unsigned value; negative gives 0.
uint32_t to_unsigned(double v)
{
    if (!(v > 0.0))
        return 0;
    if (v >= 4294967295.0)
        return 0xffffffffu;
    return static_cast<uint32_t>(v);
}

// Picture rows in memory: stride bytes each, rows in file order.
struct Rows {
    uint8_t *data;
    uint64_t stride;
};

// BMP rows are padded to four bytes.
uint64_t stride_of(uint64_t width, uint32_t bytes_per_pixel)
{
    return (width * bytes_per_pixel + 3) & ~static_cast<uint64_t>(3);
}

} // namespace

extern "C" {

KEP_VC_API int32_t kep_read_bmp(kep_cds *cds)
{
    FILE *f = fopen(cds->bmp_path, "r");
    if (!f) {
        fprintf(stderr, "open %s failed.\n ", cds->bmp_path);
        return 1;
    }
    uint8_t h[kInfoBytes] = {};
    size_t got = fread(h, 1, sizeof h, f);
    if (got < 26) {
        fprintf(stderr, "%s: truncated BMP header\n", cds->bmp_path);
        fclose(f);
        return 1;
    }
    const uint32_t pixel_offset = le32(h + 10);
    const uint32_t width = le32(h + 18);
    const int32_t raw_height = static_cast<int32_t>(le32(h + 22));
    // A negative height marks a picture stored top-down; its size is the same.
    const bool top_down = raw_height < 0;
    const uint32_t height = top_down ? 0u - static_cast<uint32_t>(raw_height) : static_cast<uint32_t>(raw_height);

    cds->width = width;
    cds->height = height;
    cds->dim[0] = static_cast<int32_t>(width / 16);
    cds->dim[1] = static_cast<int32_t>(height / 16);
    const uint64_t words = static_cast<uint64_t>(width) * height / 32;
    cds->words = words > INT32_MAX ? INT32_MAX : static_cast<int32_t>(words);

    if (words > static_cast<uint64_t>(kep::kBmpMaxWords)) {
        fprintf(stderr, "no supprot %dX%d too large size\n", static_cast<int>(width), static_cast<int>(height));
        fclose(f);
        return 1;
    }
    if (width % 16 != 0 || height % 16 != 0 || width == 0 || height == 0) {
        fprintf(stderr, "no supprot %dX%d\n", static_cast<int>(width), static_cast<int>(height));
        fclose(f);
        return 1;
    }
    // Only uncompressed three-byte pixels can be thresholded; anything else
    // would be read as garbage.
    const uint32_t bpp = got >= kHeaderBytes ? le16(h + 28) : 24;
    const uint32_t compression = compression_of(h, got, pixel_offset);
    if (bpp != 24 || compression != 0) {
        fprintf(stderr, "%s: unsupported BMP: %u bits per pixel, compression %u\n", cds->bmp_path, bpp, compression);
        fclose(f);
        return 1;
    }

    const size_t row_bytes = width * 3; // a multiple of 48: never padded
    const size_t pixel_bytes = row_bytes * height;
    uint32_t *bitmap = static_cast<uint32_t *>(calloc(words, sizeof(uint32_t)));
    uint32_t *scaled = static_cast<uint32_t *>(calloc(words, sizeof(uint32_t)));
    uint8_t *pixels = static_cast<uint8_t *>(malloc(pixel_bytes));
    if (!bitmap || !scaled || !pixels || !read_at(f, pixel_offset, pixels, pixel_bytes)) {
        if (bitmap && scaled && pixels)
            fprintf(stderr, "%s: pixel data truncated\n", cds->bmp_path);
        else
            fprintf(stderr, "%s: out of memory\n", cds->bmp_path);
        free(bitmap);
        free(scaled);
        free(pixels);
        fclose(f);
        return 1;
    }

    const uint32_t blocks_per_row = width / 16;
    bool found = false;
    uint32_t rgb[3] = {0, 0, 0};
    for (uint32_t y = 0; y < height; ++y) {
        const uint32_t file_row = top_down ? y : height - 1 - y;
        const uint8_t *row = pixels + static_cast<size_t>(file_row) * row_bytes;
        for (uint32_t x = 0; x < width; ++x) {
            const uint32_t b = row[3 * x], g = row[3 * x + 1], r = row[3 * x + 2];
            if (!(r < cds->threshold[0] || g < cds->threshold[1] || b < cds->threshold[2]))
                continue;
            const uint32_t word = 8 * ((y / 16) * blocks_per_row + x / 16) + (y % 16) / 2;
            bitmap[word] |= 1u << ((x % 16) + 16 * (y % 2));
            if (!found) {
                found = true;
                rgb[0] = r;
                rgb[1] = g;
                rgb[2] = b;
            }
        }
    }

    const double r = rgb[0], g = rgb[1], b = rgb[2];
    const double y = 0.299 * r + 0.587 * g + 0.114 * b;
    const double cb = -0.1687 * r - 0.3313 * g + 0.5 * b + 128;
    const double cr = 0.5 * r - 0.4187 * g - 0.0813 * b + 128;
    cds->fg_color[0] = static_cast<int32_t>(to_unsigned(y));
    cds->fg_color[1] = static_cast<int32_t>(to_unsigned(cb));
    cds->fg_color[2] = static_cast<int32_t>(to_unsigned(cr));
    cds->bg_color[0] = 255;
    cds->bg_color[1] = 128;
    cds->bg_color[2] = 128;
    cds->bitmap = bitmap;
    cds->scaled_bitmap = scaled;

    free(pixels);
    fclose(f);
    return 0;
}

KEP_VC_API int32_t kep_cds_set_bmp(kep_cds *cds)
{
    int32_t r = kep_read_bmp(cds);
    if (r != 0)
        return r;
    kep_cds_scale_datastamp(cds);

    // Sized for the largest accepted bitmap at nine characters a word, so
    // that no accepted picture is ever cut short.
    char text[kep::kBmpMaxWords * 9 + 1];
    size_t len = 0;
    text[0] = '\0';
    for (int32_t i = 0; i < cds->words && i < kep::kBmpMaxWords; ++i)
        len += static_cast<size_t>(snprintf(text + len, sizeof text - len, "%x ", cds->scaled_bitmap[i]));

    int fd = kep::cds_open_setting(cds->proc_dir, "ds_datastamp");
    if (fd == -1)
        return 1; // the bitmaps stay with the record, the caller releases them
    kep::cds_write_setting(fd, text, len);

    kep_cds_set_color(cds->proc_dir, cds->fg_color, cds->bg_color);
    kep_cds_set_position(cds->proc_dir, cds->start, cds->dim);

    free(cds->bitmap);
    free(cds->scaled_bitmap);
    cds->bitmap = nullptr;
    cds->scaled_bitmap = nullptr;
    return 0;
}

} // extern "C"

namespace {

// Halves (up false) or doubles (up true) the BMP file at in_path into out_path.
int32_t rescale_bmp(const char *in_path, const char *out_path, bool up)
{
    FILE *in = fopen(in_path, "r");
    if (!in) {
        fprintf(stderr, "open %s failed.\n ", in_path);
        return 1;
    }
    uint8_t h[kHeaderBytes];
    const long size = file_size(in);
    if (size < 0 || fread(h, 1, sizeof h, in) != sizeof h) {
        fprintf(stderr, "%s: truncated BMP header\n", in_path);
        fclose(in);
        return 1;
    }
    const uint32_t offset = le32(h + 10);
    const int32_t width = static_cast<int32_t>(le32(h + 18));
    const int32_t height = static_cast<int32_t>(le32(h + 22));
    const uint32_t bpp = le16(h + 28);

    // Everything is checked before the output is created, so that a refused
    // picture leaves no output file behind.
    const char *refusal = nullptr;
    if (offset < kHeaderBytes || offset > static_cast<uint64_t>(size))
        refusal = "pixel-data offset outside the file";
    uint8_t *extra = nullptr;
    const size_t extra_bytes = refusal ? 0 : offset - kHeaderBytes;
    if (!refusal && extra_bytes > 0) {
        extra = static_cast<uint8_t *>(malloc(extra_bytes));
        if (!extra || fread(extra, 1, extra_bytes, in) != extra_bytes)
            refusal = "truncated BMP header";
    }
    uint32_t compression = 0;
    if (!refusal && extra_bytes >= 4 && le32(h + 14) >= 40)
        compression = le32(extra);
    if (!refusal && ((bpp != 8 && bpp != 24) || compression != 0))
        refusal = "unsupported BMP: only uncompressed 8 and 24 bits per pixel";
    if (!refusal && (width <= 0 || height == 0 || height == INT32_MIN))
        refusal = "unsupported BMP size";

    const uint32_t bytes_pp = bpp == 8 ? 1 : 3;
    const uint64_t w = width > 0 ? static_cast<uint64_t>(width) : 0;
    const uint64_t rows = height < 0 ? static_cast<uint64_t>(-static_cast<int64_t>(height)) : static_cast<uint64_t>(height);
    const uint64_t nw = up ? 2 * w : w / 2;
    const uint64_t nrows = up ? 2 * rows : rows / 2;
    const Rows src_shape{nullptr, stride_of(w, bytes_pp)};
    const Rows dst_shape{nullptr, stride_of(nw, bytes_pp)};
    const uint64_t in_bytes = src_shape.stride * rows;
    const uint64_t out_bytes = dst_shape.stride * nrows;
    const uint64_t new_size = offset + out_bytes;
    if (!refusal && in_bytes > static_cast<uint64_t>(size) - offset)
        refusal = "pixel data truncated";
    if (!refusal && (new_size > 0xffffffffu || nw > INT32_MAX))
        refusal = "picture too large";

    Rows src = src_shape, dst = dst_shape;
    if (!refusal) {
        src.data = static_cast<uint8_t *>(malloc(in_bytes ? in_bytes : 1));
        dst.data = static_cast<uint8_t *>(calloc(out_bytes ? out_bytes : 1, 1));
        if (!src.data || !dst.data)
            refusal = "out of memory";
        else if (!read_at(in, offset, src.data, in_bytes))
            refusal = "pixel data truncated";
    }
    fclose(in);
    if (refusal) {
        fprintf(stderr, "%s: %s\n", in_path, refusal);
        free(extra);
        free(src.data);
        free(dst.data);
        return 1;
    }

    for (uint64_t y = 0; y < nrows; ++y) {
        uint8_t *out = dst.data + y * dst.stride;
        for (uint64_t x = 0; x < nw; ++x) {
            for (uint32_t c = 0; c < bytes_pp; ++c) {
                if (up) {
                    out[x * bytes_pp + c] = src.data[(y / 2) * src.stride + (x / 2) * bytes_pp + c];
                    continue;
                }
                const uint8_t *a = src.data + 2 * y * src.stride + 2 * x * bytes_pp + c;
                const uint32_t sum = a[0] + a[bytes_pp] + a[src.stride] + a[src.stride + bytes_pp];
                // Palette indices are averaged down; colour channels rounded.
                out[x * bytes_pp + c] = static_cast<uint8_t>(bytes_pp == 1 ? sum >> 2 : (sum + 2) >> 2);
            }
        }
    }

    FILE *out = fopen(out_path, "wb");
    if (!out) {
        fprintf(stderr, "open %s failed.\n ", out_path);
        free(extra);
        free(src.data);
        free(dst.data);
        return 1;
    }
    uint8_t nh[kHeaderBytes];
    memcpy(nh, h, sizeof nh); // signature, reserved, offset, header size, planes, depth
    put32(nh + 2, static_cast<uint32_t>(new_size));
    put32(nh + 18, static_cast<uint32_t>(nw));
    const int64_t new_height = up ? 2 * static_cast<int64_t>(height) : height / 2;
    put32(nh + 22, static_cast<uint32_t>(new_height));
    fwrite(nh, 1, sizeof nh, out);
    if (extra_bytes)
        fwrite(extra, 1, extra_bytes, out);
    fwrite(dst.data, 1, out_bytes, out);
    fclose(out);
    free(extra);
    free(src.data);
    free(dst.data);
    return 0;
}

} // namespace

extern "C" {

KEP_VC_API int32_t kep_scale_down_bmppicture(const char *in_path, const char *out_path)
{
    return rescale_bmp(in_path, out_path, false);
}

KEP_VC_API int32_t kep_scale_up_bmppicture(const char *in_path, const char *out_path)
{
    return rescale_bmp(in_path, out_path, true);
}

} // extern "C"
