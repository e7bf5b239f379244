#include "formats.h"

#include <errno.h>
#include <string.h>

namespace vcam {

namespace {

bool listed(const uint32_t *formats, size_t n, uint32_t fourcc)
{
    for (size_t i = 0; i < n; ++i)
        if (formats[i] == fourcc)
            return true;
    return false;
}

// The kernel's own descriptions for the standard formats.
const char *description(uint32_t fourcc)
{
    switch (fourcc) {
    case kFourccS420: return "YUV 4:2:0 planar (S420)";
    case kFourccYU12: return "Planar YUV 4:2:0";
    case kFourccH264: return "H.264";
    case kFourccMJPG: return "Motion-JPEG";
    default: return "Unknown";
    }
}

} // namespace

bool SizeRange::takes(unsigned w, unsigned h) const
{
    if (fixed_w != 0)
        return w == fixed_w && h == fixed_h;
    return w >= min && w <= max && h >= min && h <= max && w % 2 == 0 && h % 2 == 0;
}

bool is_yuv420(uint32_t fourcc)
{
    return fourcc == kFourccS420 || fourcc == kFourccYU12;
}

int enum_format(const uint32_t *formats, size_t n, uint32_t type, void *arg)
{
    v4l2_fmtdesc d;
    memcpy(&d, arg, sizeof d);
    if (d.index >= n)
        return -EINVAL;
    uint32_t index = d.index;
    memset(&d, 0, sizeof d);
    d.index = index;
    d.type = type;
    d.pixelformat = formats[index];
    if (!is_yuv420(formats[index]))
        d.flags = V4L2_FMT_FLAG_COMPRESSED;
    strncpy(reinterpret_cast<char *>(d.description), description(formats[index]), sizeof d.description - 1);
    memcpy(arg, &d, sizeof d);
    return 0;
}

int enum_framesizes(const uint32_t *formats, size_t n, const SizeRange &sizes, void *arg)
{
    v4l2_frmsizeenum f;
    memcpy(&f, arg, sizeof f);
    if (f.index != 0 || !listed(formats, n, f.pixel_format))
        return -EINVAL;
    uint32_t fourcc = f.pixel_format;
    memset(&f, 0, sizeof f);
    f.pixel_format = fourcc;
    if (sizes.fixed_w != 0) {
        f.type = V4L2_FRMSIZE_TYPE_DISCRETE;
        f.discrete.width = sizes.fixed_w;
        f.discrete.height = sizes.fixed_h;
    } else {
        f.type = V4L2_FRMSIZE_TYPE_STEPWISE;
        f.stepwise.min_width = f.stepwise.min_height = sizes.min;
        f.stepwise.max_width = f.stepwise.max_height = sizes.max;
        f.stepwise.step_width = f.stepwise.step_height = 2;
    }
    memcpy(arg, &f, sizeof f);
    return 0;
}

int enum_frameintervals(const uint32_t *formats, size_t n, const SizeRange &sizes, v4l2_fract min, v4l2_fract max,
                        void *arg)
{
    v4l2_frmivalenum f;
    memcpy(&f, arg, sizeof f);
    if (f.index != 0 || !listed(formats, n, f.pixel_format) || !sizes.takes(f.width, f.height))
        return -EINVAL;
    uint32_t fourcc = f.pixel_format, w = f.width, h = f.height;
    memset(&f, 0, sizeof f);
    f.pixel_format = fourcc;
    f.width = w;
    f.height = h;
    f.type = V4L2_FRMIVAL_TYPE_CONTINUOUS;
    f.stepwise.min = min;
    f.stepwise.max = max;
    f.stepwise.step = v4l2_fract{1, 1};
    memcpy(arg, &f, sizeof f);
    return 0;
}

} // namespace vcam
