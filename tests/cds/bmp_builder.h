// Builds BMP files for the tests: any size, depth, pixel-data offset and
// palette, bottom-up or top-down, rows padded or not.
#ifndef KEP_BMP_BUILDER_H
#define KEP_BMP_BUILDER_H

#include <stdint.h>

#include <functional>
#include <string>
#include <vector>

namespace cdstest {

struct Rgb {
    uint8_t r, g, b;
};

struct BmpSpec {
    int32_t width = 16;
    int32_t height = 16;       // negative: rows stored top-down
    uint16_t bpp = 24;
    uint32_t compression = 0;
    bool pad_rows = true;      // rows padded to four bytes as BMP requires
    std::vector<uint8_t> palette; // bytes between the 54-byte header and the pixels
    // Colour (24 bits) of the pixel at column x, picture row y (0 = top).
    std::function<Rgb(int x, int y)> rgb = [](int, int) { return Rgb{255, 255, 255}; };
    // Palette index (8 bits) of the pixel at column x, file row y (0 = first stored).
    std::function<uint8_t(int x, int y)> index = [](int, int) { return uint8_t{0}; };
};

inline void put_le(std::string &s, size_t at, uint32_t v, int bytes)
{
    for (int i = 0; i < bytes; ++i)
        s[at + i] = static_cast<char>(v >> (8 * i));
}

inline uint32_t get_le(const std::string &s, size_t at, int bytes)
{
    uint32_t v = 0;
    for (int i = 0; i < bytes; ++i)
        v |= static_cast<uint32_t>(static_cast<uint8_t>(s[at + i])) << (8 * i);
    return v;
}

inline std::string build_bmp(const BmpSpec &shape)
{
    const int bytes_pp = shape.bpp == 8 ? 1 : 3;
    const int rows = shape.height < 0 ? -shape.height : shape.height;
    const int row_bytes = shape.width * bytes_pp;
    const int stride = shape.pad_rows ? (row_bytes + 3) & ~3 : row_bytes;
    const uint32_t offset = 54 + static_cast<uint32_t>(shape.palette.size());
    std::string s(offset, '\0');
    s[0] = 'B';
    s[1] = 'M';
    put_le(s, 2, offset + static_cast<uint32_t>(stride * rows), 4);
    put_le(s, 6, 0x01020304, 4); // reserved: copied through by the scalers
    put_le(s, 10, offset, 4);
    put_le(s, 14, 40, 4);
    put_le(s, 18, static_cast<uint32_t>(shape.width), 4);
    put_le(s, 22, static_cast<uint32_t>(shape.height), 4);
    put_le(s, 26, 1, 2);
    put_le(s, 28, shape.bpp, 2);
    put_le(s, 30, shape.compression, 4);
    for (size_t i = 0; i < shape.palette.size(); ++i)
        s[54 + i] = static_cast<char>(shape.palette[i]);
    for (int fr = 0; fr < rows; ++fr) {
        std::string row(stride, '\0');
        const int y = shape.height < 0 ? fr : rows - 1 - fr;
        for (int x = 0; x < shape.width; ++x) {
            if (bytes_pp == 1) {
                row[x] = static_cast<char>(shape.index(x, fr));
            } else {
                Rgb c = shape.rgb(x, y);
                row[3 * x] = static_cast<char>(c.b);
                row[3 * x + 1] = static_cast<char>(c.g);
                row[3 * x + 2] = static_cast<char>(c.r);
            }
        }
        s += row;
    }
    return s;
}

} // namespace cdstest

#endif
