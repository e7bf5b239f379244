// The picture and bit-stream formats the nodes offer, and the enumeration
// requests every node answers alike from its own list (VIDIOC_ENUM_FMT,
// VIDIOC_ENUM_FRAMESIZES, VIDIOC_ENUM_FRAMEINTERVALS).
#ifndef VCAM_FORMATS_H
#define VCAM_FORMATS_H

#include "descriptors.h"

#include <stddef.h>
#include <stdint.h>

namespace vcam {

constexpr uint32_t kFourccS420 = v4l2_fourcc('S', '4', '2', '0');
// The standard planar YUV 4:2:0: the same picture as 'S420'.
constexpr uint32_t kFourccYU12 = V4L2_PIX_FMT_YUV420;
constexpr uint32_t kFourccH264 = V4L2_PIX_FMT_H264;
constexpr uint32_t kFourccMJPG = V4L2_PIX_FMT_MJPEG;

// The sizes a format takes: even sides within [min, max], or only the one
// size `fixed_w` x `fixed_h` when those are set.
struct SizeRange {
    unsigned min, max;
    unsigned fixed_w = 0, fixed_h = 0;
    bool takes(unsigned w, unsigned h) const;
};

// VIDIOC_ENUM_FMT over `formats` (n of them) for buffer type `type`.
int enum_format(const uint32_t *formats, size_t n, uint32_t type, void *arg);
// VIDIOC_ENUM_FRAMESIZES: one stepwise range (or the fixed size) for each
// format of the list.
int enum_framesizes(const uint32_t *formats, size_t n, const SizeRange &sizes, void *arg);
// VIDIOC_ENUM_FRAMEINTERVALS: any time per frame from `min` to `max`, for a
// size the format takes.
int enum_frameintervals(const uint32_t *formats, size_t n, const SizeRange &sizes, v4l2_fract min, v4l2_fract max,
                        void *arg);

// Whether a fourcc is one of the 4:2:0 picture formats.
bool is_yuv420(uint32_t fourcc);

} // namespace vcam

#endif
