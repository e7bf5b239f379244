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
#include "descriptors.h"
#include "device.h"

#include <deque>
#include <memory>
#include <vector>

namespace vcam {

class DecoderDevice : public Device {
public:
    DecoderDevice(Ledger &ledger, const Options &options, std::string path);
    ~DecoderDevice() override;

    void *mmap(size_t len, int prot, int flags, off_t offset, int *err) override;
    void shutdown() override;
    const char *kind() const override { return "dec"; }
    bool lends(uint64_t addr, uint64_t len, bool mapped, uint64_t offset) override;
    void before_fork() override { mu_.lock(); }
    void after_fork(bool) override { mu_.unlock(); }

protected:
    int handle_ioctl(const char *name, unsigned long request, void *arg, bool nonblock) override;
    std::string fault_scope(const char *name, const void *arg) const override;

private:
    struct Slot {
        bool queued = false, done = false;
        uint32_t bytesused = 0, flags = 0, sequence = 0;
        timespec stamp{};
    };
    struct Queue {
        uint32_t type = 0;
        uint32_t memory = 0; // 0: no buffers
        std::vector<Slot> slots;
        std::deque<unsigned> queued, done;
        bool streaming = false;
        int pool_fd = -1;
        uint8_t *pool = nullptr;
        size_t pool_len = 0, stride = 0;
        uint32_t buffer_size = 0;
        uint64_t offset_base = 0;
    };

    Queue *queue_of(uint32_t type);
    int querycap(void *arg);
    int ctrl(bool set, void *arg);
    int ext_ctrls(void *arg);
    int set_qtable_locked(uint32_t id, uint64_t addr);
    int parm(bool set, unsigned long request, void *arg);
    int fmt(const char *name, unsigned long request, void *arg);
    int reqbufs(void *arg);
    int querybuf(unsigned long request, void *arg);
    int qbuf(unsigned long request, void *arg);
    int dqbuf(unsigned long request, void *arg, bool nonblock);
    int stream(bool on, void *arg);

    void release_queue_locked(Queue &q);
    uint32_t bitstream_size() const;
    void run_jobs_locked();
    void decode_one_locked(unsigned out_index, unsigned cap_index);
    // -1 error, 0 no picture, 1 picture written into the capture buffer.
    int decode_frame_locked(const uint8_t *data, size_t n, uint8_t *dst);
    bool h264_entropy_matches_locked(const uint8_t *data, size_t n);
    void update_readable_locked();

    std::mutex mu_;
    std::unique_ptr<DecEngine> engine_;
    bool engine_stale_ = true;

    unsigned in_w_ = 1280, in_h_ = 720;   // output queue: the stream's size
    unsigned out_w_ = 1280, out_h_ = 720; // capture queue: the pictures
    uint32_t in_fourcc_;
    unsigned in_fps_ = 30, out_fps_ = 30;
    int entropy_ = 0;     // 0 CAVLC, 1 CABAC
    int subsampling_ = 2; // 2 = 4:2:0, 1 = 4:2:2
    int private_[2] = {0, 0};
    uint8_t qtable_[2][64];
    bool have_qtable_[2] = {false, false};
    int pps_cabac_[256]; // entropy mode of each picture parameter set seen; -1 none
    std::vector<uint8_t> jpeg_;

    Queue out_, cap_;
    uint32_t sequence_ = 0;
};

} // namespace vcam

#endif
