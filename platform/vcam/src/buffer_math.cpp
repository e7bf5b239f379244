#include "buffer_math.h"

#include <string.h>
#include <unistd.h>

namespace vcam {

unsigned even_clamp(unsigned v, unsigned lo, unsigned hi)
{
    if (v < lo)
        v = lo;
    if (v > hi)
        v = hi;
    return v & ~1u;
}

size_t page_round(size_t n)
{
    size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    return (n + page - 1) / page * page;
}

void resample(const uint8_t *src, int stride, unsigned sw, unsigned sh, uint8_t *dst, unsigned dw, unsigned dh)
{
    for (unsigned y = 0; y < dh; ++y) {
        const uint8_t *row = src + static_cast<ptrdiff_t>(static_cast<size_t>(y) * sh / dh) * stride;
        uint8_t *out = dst + static_cast<size_t>(y) * dw;
        if (sw == dw) {
            memcpy(out, row, dw);
            continue;
        }
        for (unsigned x = 0; x < dw; ++x)
            out[x] = row[static_cast<size_t>(x) * sw / dw];
    }
}

} // namespace vcam
