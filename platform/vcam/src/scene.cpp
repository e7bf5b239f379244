#include "scene.h"

#include <string.h>

namespace vcam {

namespace {

// 5 x 7 digits, one byte per row, bit 4 is the leftmost pixel.
constexpr uint8_t kDigits[10][7] = {
    {0x0E, 0x11, 0x13, 0x15, 0x19, 0x11, 0x0E}, {0x04, 0x0C, 0x04, 0x04, 0x04, 0x04, 0x0E},
    {0x0E, 0x11, 0x01, 0x02, 0x04, 0x08, 0x1F}, {0x1F, 0x02, 0x04, 0x02, 0x01, 0x11, 0x0E},
    {0x02, 0x06, 0x0A, 0x12, 0x1F, 0x02, 0x02}, {0x1F, 0x10, 0x1E, 0x01, 0x01, 0x11, 0x0E},
    {0x06, 0x08, 0x10, 0x1E, 0x11, 0x11, 0x0E}, {0x1F, 0x01, 0x02, 0x04, 0x08, 0x08, 0x08},
    {0x0E, 0x11, 0x11, 0x0E, 0x11, 0x11, 0x0E}, {0x0E, 0x11, 0x11, 0x0F, 0x01, 0x02, 0x0C},
};

constexpr uint8_t kObjectY = 235, kObjectU = 84, kObjectV = 200;
constexpr uint8_t kInkY = 235, kPaperY = 16;
constexpr unsigned kMargin = 4;

// Position on a back-and-forth path of length `span` after travelling `dist`.
unsigned bounce(uint64_t dist, unsigned span)
{
    if (span == 0)
        return 0;
    uint64_t p = dist % (2ull * span);
    return static_cast<unsigned>(p < span ? p : 2ull * span - p);
}

void fill(uint8_t *plane, unsigned stride, const Rect &r, uint8_t value)
{
    for (unsigned y = r.y; y < r.y + r.h; ++y)
        memset(plane + static_cast<size_t>(y) * stride + r.x, value, r.w);
}

Rect clip(Rect r, unsigned width, unsigned height)
{
    if (r.x >= width || r.y >= height)
        return Rect{0, 0, 0, 0};
    if (r.x + r.w > width)
        r.w = width - r.x;
    if (r.y + r.h > height)
        r.h = height - r.y;
    return r;
}

} // namespace

void Scene::set_size(unsigned width, unsigned height)
{
    if (width == width_ && height == height_ && !background_.empty())
        return;
    width_ = width;
    height_ = height;
    background_.assign(s420_size(width, height), 0);
    // A checkerboard with a diagonal ramp: texture with edges everywhere, so a
    // still background gives no motion but a moving object always does.
    uint8_t *y = background_.data();
    for (unsigned r = 0; r < height; ++r)
        for (unsigned c = 0; c < width; ++c)
            y[static_cast<size_t>(r) * width + c] =
                static_cast<uint8_t>(48 + (((r >> 4) ^ (c >> 4)) & 1) * 40 + ((r + c) & 31));
    uint8_t *u = y + static_cast<size_t>(width) * height;
    uint8_t *v = u + static_cast<size_t>(width / 2) * (height / 2);
    for (unsigned r = 0; r < height / 2; ++r)
        for (unsigned c = 0; c < width / 2; ++c) {
            u[static_cast<size_t>(r) * (width / 2) + c] = static_cast<uint8_t>(112 + (c * 32) / (width / 2 + 1));
            v[static_cast<size_t>(r) * (width / 2) + c] = static_cast<uint8_t>(112 + (r * 32) / (height / 2 + 1));
        }
}

unsigned Scene::scale() const
{
    unsigned s = height_ / 180;
    return s == 0 ? 1 : s;
}

Rect Scene::counter_box() const
{
    unsigned s = scale();
    Rect box{kMargin, kMargin, (kCounterDigits * 6 + 1) * s, 9 * s};
    return clip(box, width_, height_);
}

Rect Scene::object_at(uint64_t number) const
{
    unsigned side = (height_ / 5) & ~1u;
    if (side < 8)
        side = 8;
    if (side > width_)
        side = width_ & ~1u;
    Rect box = counter_box();
    unsigned top = box.y + box.h + 2;
    unsigned x_span = width_ > side ? width_ - side : 0;
    unsigned y_span = height_ > side + top ? height_ - side - top : 0;
    unsigned vx = width_ / 64 < 2 ? 2 : width_ / 64;
    unsigned vy = height_ / 96 < 1 ? 1 : height_ / 96;
    Rect r{bounce(number * vx, x_span) & ~1u, (top + bounce(number * vy, y_span)) & ~1u, side, side};
    return clip(r, width_, height_);
}

void Scene::render(uint8_t *dst, uint64_t number, bool still) const
{
    if (still)
        number = 0;
    memcpy(dst, background_.data(), background_.size());
    uint8_t *y = dst;
    uint8_t *u = y + static_cast<size_t>(width_) * height_;
    uint8_t *v = u + static_cast<size_t>(width_ / 2) * (height_ / 2);

    Rect obj = object_at(number);
    fill(y, width_, obj, kObjectY);
    Rect half{obj.x / 2, obj.y / 2, obj.w / 2, obj.h / 2};
    fill(u, width_ / 2, half, kObjectU);
    fill(v, width_ / 2, half, kObjectV);

    Rect box = counter_box();
    fill(y, width_, box, kPaperY);
    unsigned s = scale();
    uint64_t n = number;
    for (unsigned d = 0; d < kCounterDigits; ++d) {
        unsigned digit = static_cast<unsigned>(n % 10);
        n /= 10;
        unsigned x0 = box.x + s + (kCounterDigits - 1 - d) * 6 * s;
        unsigned y0 = box.y + s;
        for (unsigned row = 0; row < 7; ++row)
            for (unsigned col = 0; col < 5; ++col)
                if (kDigits[digit][row] & (0x10 >> col))
                    fill(y, width_, clip(Rect{x0 + col * s, y0 + row * s, s, s}, width_, height_), kInkY);
    }
}

long Scene::read_counter(const uint8_t *luma) const
{
    unsigned s = scale();
    Rect box = counter_box();
    if (box.w < (kCounterDigits * 6 + 1) * s || box.h < 9 * s)
        return -1;
    long value = 0;
    for (unsigned d = 0; d < kCounterDigits; ++d) {
        unsigned x0 = box.x + s + d * 6 * s;
        unsigned y0 = box.y + s;
        uint8_t rows[7] = {};
        for (unsigned row = 0; row < 7; ++row)
            for (unsigned col = 0; col < 5; ++col) {
                size_t at = static_cast<size_t>(y0 + row * s + s / 2) * width_ + x0 + col * s + s / 2;
                if (luma[at] > (kInkY + kPaperY) / 2)
                    rows[row] |= static_cast<uint8_t>(0x10 >> col);
            }
        int digit = -1;
        for (int k = 0; k < 10; ++k)
            if (memcmp(rows, kDigits[k], 7) == 0)
                digit = k;
        if (digit < 0)
            return -1;
        value = value * 10 + digit;
    }
    return value;
}

} // namespace vcam
