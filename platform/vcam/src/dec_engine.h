// The decoder node's decoding engine: one complete H.264 access unit or JPEG
// picture in, one planar YUV picture out. The FFmpeg engine decodes for real;
// builds without FFmpeg get a plain engine that keeps the buffer mechanics
// and gives a flat grey picture of the stream's configured size.
#ifndef VCAM_DEC_ENGINE_H
#define VCAM_DEC_ENGINE_H

#include <memory>
#include <stddef.h>
#include <stdint.h>
#include <vector>

namespace vcam {

struct DecodedPicture {
    unsigned width = 0, height = 0;
    unsigned chroma_width = 0, chroma_height = 0;
    const uint8_t *plane[3] = {nullptr, nullptr, nullptr};
    int stride[3] = {0, 0, 0};
};

class DecEngine {
public:
    virtual ~DecEngine() = default;
    // Decodes one frame. 1 with the picture (valid until the next call), 0
    // when the frame gave no picture (yet), -1 when it could not be decoded.
    // width and height are the node's configured stream size.
    virtual int decode(const uint8_t *data, size_t n, unsigned width, unsigned height, DecodedPicture *out) = 0;
};

// An engine for 'H264' or 'MJPG', or null; plain (a flat grey picture) when
// asked, even where real decoding exists. A stream that declares a picture
// wider or taller than max_side cannot be decoded (the hardware's limit), and
// no memory is taken for it.
std::unique_ptr<DecEngine> make_dec_engine(uint32_t fourcc, unsigned max_side, bool plain = false);
std::unique_ptr<DecEngine> make_plain_dec_engine();

// True when the engine decodes for real (the FFmpeg build).
bool dec_engine_is_real();

// What the MJPEG decoder has been told through its controls.
struct JpegParams {
    unsigned width = 0, height = 0;
    int subsampling = 2;   // V4L2 chroma sub-sampling: 2 = 4:2:0, 1 = 4:2:2
    uint8_t qtable[2][64]; // luma, chroma, in the stream's zig-zag order
};

// Rebuilds a complete baseline JPEG from the scan data of one picture (the
// bytes after the start-of-scan segment, up to and including its end-of-image
// marker): start of image, both quantisation tables, the frame header with
// the size and sampling, the standard Huffman tables, the start of scan for
// three components, then the scan. False when the parameters cannot be
// described (a size above 65535, a sub-sampling other than 4:2:0 or 4:2:2).
bool rebuild_jpeg(const JpegParams &params, const uint8_t *scan, size_t n, std::vector<uint8_t> &out);

} // namespace vcam

#endif
