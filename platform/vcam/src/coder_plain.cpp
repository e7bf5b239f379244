// The coding engine of builds without FFmpeg, and of any build on request:
// frames with the right framing and key-frame structure but no picture data,
// enough for everything that only moves buffers (queues, flags, sizes,
// faults), and for timing what the library itself costs.
#include "coder.h"

#include "v4l2_abi.h"

#include <string.h>

namespace vcam {

namespace {

constexpr uint32_t kH264 = v4l2_fourcc('H', '2', '6', '4');

class PlainCoder : public Coder {
public:
    explicit PlainCoder(const CoderSettings &s) : settings_(s) {}

    long encode(const uint8_t *picture, bool key, uint8_t *out, size_t cap, bool *is_key) override
    {
        // A checksum of the picture stands for its coded data.
        uint32_t sum = 0;
        size_t luma = static_cast<size_t>(settings_.width) * settings_.height;
        for (size_t i = 0; i < luma; i += 61)
            sum = sum * 31 + picture[i];
        uint8_t frame[64];
        size_t n = 0;
        auto put = [&](const uint8_t *p, size_t len) {
            memcpy(frame + n, p, len);
            n += len;
        };
        if (settings_.fourcc == kH264) {
            static const uint8_t sps[] = {0, 0, 0, 1, 0x67, 0x42, 0x00, 0x1f};
            static const uint8_t pps[] = {0, 0, 0, 1, 0x68, 0xce};
            if (key) {
                put(sps, sizeof sps);
                put(pps, sizeof pps);
            }
            uint8_t slice[] = {0, 0, 0, 1, static_cast<uint8_t>(key ? 0x65 : 0x41)};
            put(slice, sizeof slice);
        } else {
            static const uint8_t soi[] = {0xff, 0xd8};
            put(soi, sizeof soi);
            key = true;
        }
        uint8_t body[8];
        memcpy(body, &sum, 4);
        memcpy(body + 4, &count_, 4);
        put(body, sizeof body);
        if (settings_.fourcc != kH264) {
            static const uint8_t eoi[] = {0xff, 0xd9};
            put(eoi, sizeof eoi);
        }
        ++count_;
        if (n > cap)
            return -1;
        memcpy(out, frame, n);
        *is_key = key;
        return static_cast<long>(n);
    }

private:
    CoderSettings settings_;
    uint32_t count_ = 0;
};

} // namespace

std::unique_ptr<Coder> make_plain_coder(const CoderSettings &settings)
{
    return std::unique_ptr<Coder>(new PlainCoder(settings));
}

#if !defined(VCAM_REAL_CODING)
std::unique_ptr<Coder> make_coder(const CoderSettings &settings)
{
    return make_plain_coder(settings);
}

bool coder_is_real()
{
    return false;
}
#endif

} // namespace vcam
