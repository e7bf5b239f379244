// Real elementary streams for the reader tests and benchmarks, encoded with
// FFmpeg's libavcodec (libx264 and the native MJPEG encoder), and FFmpeg's
// own parsers as the independent splitter.
#ifndef KEP_TESTS_MEDIA_STREAMS_H
#define KEP_TESTS_MEDIA_STREAMS_H

#include <stdint.h>
#include <string>
#include <vector>

namespace media {

using Bytes = std::vector<uint8_t>;

struct H264Options {
    int width = 176, height = 144, frames = 12;
    int gop = 5;                 // key-frame period
    bool cabac = true;
    int slices = 1;
    bool repeat_headers = false; // SPS/PPS before every key frame
    int bitrate = 0;             // 0: constant quantiser
};

struct MjpegOptions {
    int width = 176, height = 144, frames = 6;
    bool yuv422 = false;
    std::vector<int> quality = {3}; // quantiser per frame, cycled
};

// Empty on failure (encoder missing); the caller skips then.
Bytes encode_h264(const H264Options &o);
Bytes encode_mjpeg(const MjpegOptions &o);

// Packet boundaries (offsets into data, in order, first one 0) that
// av_parser_parse2 finds with the h264 or mjpeg parser.
std::vector<size_t> ffmpeg_split(const Bytes &data, bool h264);

} // namespace media

#endif
