// The codec driver's M2M encoder node: pictures go into its output queue
// (memory-mapped buffers of its own, or user pointers to buffers another node
// lends, read in place), H.264 access units or JPEG pictures come out of its
// capture queue. Without an output queue set up the node codes the test scene
// itself. A picture is coded as soon as it and a bit-stream buffer are both
// queued on streaming queues; one job at a time, inside the request.
#ifndef VCAM_ENCODER_DEVICE_H
#define VCAM_ENCODER_DEVICE_H

#include "coder.h"
#include "descriptors.h"
#include "device.h"
#include "scene.h"

#include <deque>
#include <memory>
#include <vector>

namespace vcam {

class EncoderDevice : public Device {
public:
    EncoderDevice(Ledger &ledger, const Options &options, std::string path);
    ~EncoderDevice() override;

    void *mmap(size_t len, int prot, int flags, off_t offset, int *err) override;
    void shutdown() override;
    const char *kind() const override { return "enc"; }

protected:
    int handle_ioctl(const char *name, unsigned long request, void *arg, bool nonblock) override;
    std::string fault_scope(const char *name, const void *arg) const override;

private:
    struct Slot {
        uint64_t userptr = 0;
        uint32_t length = 0;
        bool queued = false, done = false;
        uint32_t qflags = 0;   // flags the program queued it with
        uint32_t bytesused = 0, flags = 0;
        uint32_t sequence = 0;
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
        uint32_t buffer_size = 0; // bytes of one buffer
        uint64_t offset_base = 0; // mmap offsets of this queue start here
    };

    Queue *queue_of(uint32_t type);
    int querycap(void *arg);
    int ctrl(bool set, void *arg);
    int parm(bool set, unsigned long request, void *arg);
    int fmt(const char *name, unsigned long request, void *arg);
    int reqbufs(void *arg);
    int querybuf(unsigned long request, void *arg);
    int qbuf(unsigned long request, void *arg);
    int dqbuf(unsigned long request, void *arg, bool nonblock);
    int stream(bool on, void *arg);

    void release_queue_locked(Queue &q);
    size_t picture_size() const { return s420_size(in_w_, in_h_); }
    uint32_t bitstream_size() const;
    // Codes every job that is ready: a queued bit-stream buffer and, with an
    // output queue, a queued picture, both queues streaming.
    void run_jobs_locked();
    void code_one_locked(unsigned cap_index, int out_index);
    const uint8_t *picture_of_locked(int out_index);
    // The picture with the channel's datastamp drawn in (--datastamp), or the
    // picture itself when there is no stamp to draw.
    const uint8_t *stamped_locked(const uint8_t *picture);
    void update_readable_locked();

    std::mutex mu_;
    Scene scene_;
    std::unique_ptr<Coder> coder_;
    bool coder_stale_ = true; // settings changed since the coder was made

    unsigned in_w_ = 1280, in_h_ = 720;   // output queue: the pictures
    unsigned out_w_ = 1280, out_h_ = 720; // capture queue: the coded size
    uint32_t out_fourcc_;
    unsigned in_fps_ = 30, out_fps_ = 30;
    int qp_i_ = 28, qp_p_ = 28, quality_ = 75, gop_ = 30, entropy_ = 0;
    int private_[3] = {0, 0, 0};

    Queue out_, cap_;
    bool key_next_ = true;     // the first frame after streaming on is a key frame
    unsigned since_key_ = 0;   // frames since the last key frame
    uint32_t sequence_ = 0;
    std::vector<uint8_t> scaled_; // the picture at the coded size, when it differs
    std::vector<uint8_t> stamped_; // the picture with the channel's datastamp drawn in
};

} // namespace vcam

#endif
