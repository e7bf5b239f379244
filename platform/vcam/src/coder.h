// The encoder node's coding engine: one planar YUV 4:2:0 picture in, one
// H.264 access unit or JPEG picture out. The FFmpeg engine makes real
// streams; builds without FFmpeg, and any build asked for it (--plain-codec),
// get a plain engine with the same framing (start codes and NAL types, JPEG
// markers) that carries no picture data.
#ifndef VCAM_CODER_H
#define VCAM_CODER_H

#include <memory>
#include <stddef.h>
#include <stdint.h>

namespace vcam {

struct CoderSettings {
    uint32_t fourcc = 0; // 'H264' or 'MJPG'
    unsigned width = 0, height = 0;
    unsigned fps = 30;
    int qp_i = 28, qp_p = 28; // H.264 quantisers, 0..51
    int quality = 75;         // JPEG quality, 1..100
    bool plain = false;       // framing only, even where real coding exists
};

class Coder {
public:
    virtual ~Coder() = default;
    // Codes one picture of the settings' size (planes Y, U, V back to back).
    // Returns the number of bytes written to out (at most cap) and whether it
    // is a key frame; -1 when coding failed or the frame does not fit.
    virtual long encode(const uint8_t *picture, bool key, uint8_t *out, size_t cap, bool *is_key) = 0;
};

// A coder for these settings, or null when they cannot be coded.
std::unique_ptr<Coder> make_coder(const CoderSettings &settings);
std::unique_ptr<Coder> make_plain_coder(const CoderSettings &settings);

// True when the coder makes real streams (the FFmpeg build).
bool coder_is_real();

} // namespace vcam

#endif
