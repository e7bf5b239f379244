// The decoding engine of builds without FFmpeg: every frame that is not empty
// gives a flat grey picture of the configured size, so that the buffer
// mechanics, the sizes and the faults behave as with the real engine.
#include "dec_engine.h"

#include <string.h>

namespace vcam {

namespace {

class PlainDecEngine : public DecEngine {
public:
    int decode(const uint8_t *, size_t n, unsigned width, unsigned height, DecodedPicture *out) override
    {
        if (n == 0 || width == 0 || height == 0)
            return -1;
        size_t luma = static_cast<size_t>(width) * height, chroma = static_cast<size_t>(width / 2) * (height / 2);
        picture_.assign(luma + 2 * chroma, 128);
        memset(picture_.data(), 0x80, luma);
        out->width = width;
        out->height = height;
        out->chroma_width = width / 2;
        out->chroma_height = height / 2;
        out->plane[0] = picture_.data();
        out->plane[1] = picture_.data() + luma;
        out->plane[2] = picture_.data() + luma + chroma;
        out->stride[0] = static_cast<int>(width);
        out->stride[1] = out->stride[2] = static_cast<int>(width / 2);
        return 1;
    }

private:
    std::vector<uint8_t> picture_;
};

} // namespace

std::unique_ptr<DecEngine> make_plain_dec_engine()
{
    return std::unique_ptr<DecEngine>(new PlainDecEngine());
}

#if !defined(VCAM_REAL_CODING)
std::unique_ptr<DecEngine> make_dec_engine(uint32_t, unsigned, bool)
{
    return make_plain_dec_engine();
}

bool dec_engine_is_real()
{
    return false;
}
#endif

} // namespace vcam
