// Small sums the device classes share: picture sides, buffer sizes, scaling.
#ifndef VCAM_BUFFER_MATH_H
#define VCAM_BUFFER_MATH_H

#include <stddef.h>
#include <stdint.h>

namespace vcam {

// A picture side as a driver adjusts it: within [lo, hi], even.
unsigned even_clamp(unsigned v, unsigned lo, unsigned hi);

// n rounded up to whole pages, the unit buffers are mapped in.
size_t page_round(size_t n);

// Nearest-neighbour resampling of one plane of `stride` bytes a row into a
// packed one; an exact copy at equal sizes.
void resample(const uint8_t *src, int stride, unsigned sw, unsigned sh, uint8_t *dst, unsigned dw, unsigned dh);

} // namespace vcam

#endif
