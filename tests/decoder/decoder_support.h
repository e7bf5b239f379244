// Helpers of the decoder tests: a decoder record on the virtual platform and
// H.264 frames coded by the virtual encoder node from its own test scene.
#ifndef DECODER_SUPPORT_H
#define DECODER_SUPPORT_H

#include "kep_vc.h"

#include <stdint.h>
#include <vector>

namespace dec_test {

using Frame = std::vector<uint8_t>;

// n H.264 access units of the encoder node's scene at w x h (the first one a
// key frame with its parameter sets); empty when the encoder failed.
std::vector<Frame> scene_h264(unsigned n, unsigned w, unsigned h);

// One decoder record: the node opened into dec_fd, the configuration set.
struct Dec {
    Dec(uint32_t fourcc, unsigned width, unsigned height, unsigned buffers = 3, unsigned scale = 1);
    ~Dec();
    Dec(const Dec &) = delete;
    Dec &operator=(const Dec &) = delete;

    // kep_dec_init then kep_dec_start; true when both returned 0.
    bool init_and_start();
    // Copies a frame into input buffer dec_in_index and sets dec_in_size.
    bool put(const Frame &frame);

    kep_m2m *m = nullptr;
    bool started = false;
};

} // namespace dec_test

#endif
