// The moving test scene: a bright square bouncing over a textured background,
// and the frame number drawn in digits in the top-left corner, so that motion
// detection and encoding have something to work on and every picture says
// which frame it is.
#ifndef VCAM_SCENE_H
#define VCAM_SCENE_H

#include <stddef.h>
#include <stdint.h>
#include <vector>

namespace vcam {

constexpr unsigned kCounterDigits = 8;

// Planar YUV 4:2:0 ('S420'): width x height luma, then the two chroma planes
// at half width and height. Sizes are even.
inline size_t s420_size(unsigned width, unsigned height)
{
    return static_cast<size_t>(width) * height * 3 / 2;
}

struct Rect {
    unsigned x, y, w, h;
};

class Scene {
public:
    // Prepares the background for one picture size.
    void set_size(unsigned width, unsigned height);
    unsigned width() const { return width_; }
    unsigned height() const { return height_; }

    // Draws frame `number` (the counter shows it modulo 10^8) into dst, which
    // holds s420_size() bytes. A still scene keeps the object and the counter
    // where frame 0 had them.
    void render(uint8_t *dst, uint64_t number, bool still) const;

    // Where the moving object is in frame `number`.
    Rect object_at(uint64_t number) const;

    // Reads the frame counter back from a luma plane of this size; -1 if the
    // digits cannot be read.
    long read_counter(const uint8_t *luma) const;

private:
    unsigned scale() const;
    Rect counter_box() const;

    unsigned width_ = 0, height_ = 0;
    std::vector<uint8_t> background_;
};

} // namespace vcam

#endif
