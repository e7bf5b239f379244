// The codec driver's M2M encoder node: pictures go into its output queue
// (memory-mapped buffers of its own, or user pointers to buffers another node
// lends, read in place), H.264 access units or JPEG pictures come out of its
// capture queue. Without an output queue set up the node codes the test scene
// itself. A picture is coded as soon as it and a bit-stream buffer are both
// queued on streaming queues; one job at a time, inside the request.
#ifndef VCAM_ENCODER_DEVICE_H
#define VCAM_ENCODER_DEVICE_H

#include "coder.h"
#include "m2m_device.h"
#include "scene.h"

#include <memory>
#include <vector>

namespace vcam {

// The output queue's size (in_w_, in_h_) is the pictures', the capture
// queue's (out_w_, out_h_) the coded size.
class EncoderDevice : public M2MDevice {
public:
    EncoderDevice(Ledger &ledger, const Options &options, std::string path);
    ~EncoderDevice() override;

    const char *kind() const override { return "enc"; }

protected:
    int forced_grant(const Queue &q) const override;
    int accept_locked(Queue &q, unsigned index, const BufferDesc &d) override;
    bool take_bad_index_locked() override;
    void format_set_locked(Queue &q, uint32_t was) override;
    void fps_set_locked(Queue &q) override;
    void stream_started_locked(Queue &q) override;
    // Codes every job that is ready: a queued bit-stream buffer and, with an
    // output queue, a queued picture, both queues streaming.
    void run_jobs_locked() override;

private:
    // A control's new value reaches the coder.
    int apply_control_locked(uint32_t id, int value);

    size_t picture_size() const { return s420_size(in_w_, in_h_); }
    void code_one_locked(unsigned cap_index, int out_index);
    const uint8_t *picture_of_locked(int out_index);
    // The picture with the channel's datastamp drawn in (--datastamp), or the
    // picture itself when there is no stamp to draw.
    const uint8_t *stamped_locked(const uint8_t *picture);

    Scene scene_;
    std::unique_ptr<Coder> coder_;
    bool coder_stale_ = true; // settings changed since the coder was made

    int qp_i_ = 28, qp_p_ = 28, quality_ = 75, gop_ = 30, entropy_ = 0;
    int private_[3] = {0, 0, 0};

    bool key_next_ = true;     // the first frame after streaming on is a key frame
    unsigned since_key_ = 0;   // frames since the last key frame
    uint32_t frames_ = 0;        // frames coded: the number of the scene made without pictures
    std::vector<uint8_t> scaled_; // the picture at the coded size, when it differs
    std::vector<uint8_t> stamped_; // the picture with the channel's datastamp drawn in
};

} // namespace vcam

#endif
