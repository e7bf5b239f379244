// The codec driver's M2M decoder node: H.264 access units or MJPEG scan data
// go into its output queue, 'S420' pictures (the configured size divided as
// the capture format asks) come out of its capture queue. A frame is decoded
// as soon as it and a picture buffer are both queued on streaming queues; one
// job at a time, inside the request. Like the hardware, it decodes only with
// what its controls told it: the H.264 entropy mode must match the stream's
// picture parameter sets, and MJPEG pictures are rebuilt from the scan data,
// the sub-sampling and the two quantisation tables received, the standard
// Huffman tables and the size of the output format.
#ifndef VCAM_DECODER_DEVICE_H
#define VCAM_DECODER_DEVICE_H

#include "dec_engine.h"
#include "m2m_device.h"

#include <memory>
#include <vector>

namespace vcam {

// The output queue's size (in_w_, in_h_) is the stream's, the capture
// queue's (out_w_, out_h_) the pictures'.
class DecoderDevice : public M2MDevice {
public:
    DecoderDevice(Ledger &ledger, const Options &options, std::string path);
    ~DecoderDevice() override;

    const char *kind() const override { return "dec"; }
    LendResult lend(uint64_t addr, uint64_t len, bool mapped, uint64_t offset, const std::string &borrower,
                    Loan *loan) override;
    void give_back(const Loan &loan) override;
    bool still_lent(const Loan &loan) override;

protected:
    int control_request_locked(const char *name, void *arg) override;
    int forced_grant(const Queue &q) const override;
    int accept_locked(Queue &q, unsigned index, const BufferDesc &d) override;
    bool take_eagain_locked() override { return ledger_.take_eagain(); }
    bool take_bad_index_locked() override { return ledger_.take_dec_bad_index(); }
    void format_set_locked(Queue &q, uint32_t was) override;
    // A new stream starts the decoder afresh; the controls (tables, modes)
    // stay as the program set them, as a driver keeps its controls.
    void stream_stopped_locked(Queue &q) override;
    void run_jobs_locked() override;
    void shutdown_locked() override { engine_.reset(); }

private:
    int apply_control_locked(uint32_t id, int value, const std::vector<uint8_t> &payload);
    int read_qtable_locked(uint32_t id, const void *addr);
    int take_qtable_locked(uint32_t id, const uint8_t *table);

    void decode_one_locked(unsigned out_index, unsigned cap_index);
    // -1 error, 0 no picture, 1 picture written into the capture buffer.
    int decode_frame_locked(const uint8_t *data, size_t n, uint8_t *dst);
    bool h264_entropy_matches_locked(const uint8_t *data, size_t n);

    std::unique_ptr<DecEngine> engine_;
    bool engine_stale_ = true;

    int entropy_ = 0;     // 0 CAVLC, 1 CABAC
    int subsampling_ = 2; // 2 = 4:2:0, 1 = 4:2:2
    int private_[2] = {0, 0};
    uint8_t qtable_[2][64];
    bool have_qtable_[2] = {false, false};
    int pps_cabac_[256]; // entropy mode of each picture parameter set seen; -1 none
    std::vector<uint8_t> jpeg_;

};

} // namespace vcam

#endif
