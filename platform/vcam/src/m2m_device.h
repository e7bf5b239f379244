// What the codec driver's M2M nodes have in common: an output queue the
// program fills and a capture queue the node fills, one of them carrying
// 'S420' pictures and the other a bit stream (H.264 or MJPEG), each with its
// own pool of memory-mapped buffers. The buffer requests, formats, frame rates
// and mappings are handled here; a node adds its controls, what it checks when
// a buffer is queued, and the job that turns a queued pair into a result.
#ifndef VCAM_M2M_DEVICE_H
#define VCAM_M2M_DEVICE_H

#include "buffer_queue.h"
#include "controls.h"
#include "descriptors.h"
#include "device.h"

#include <mutex>
#include <string>
#include <time.h>
#include <vector>

namespace vcam {

class M2MDevice : public Device {
public:
    ~M2MDevice() override;

    void *mmap(size_t len, int prot, int flags, off_t offset, int *err) override;
    void unmapped(uint64_t offset, bool refused) override;
    void unmap_refused(uint64_t offset) override;
    std::string buffer_label(uint64_t offset) override;
    void shutdown() override;
    // A fork never copies the node's state half-changed by another thread.
    void before_fork() override { mu_.lock(); }
    void after_fork(bool) override { mu_.unlock(); }

protected:
    static constexpr uint32_t kS420 = v4l2_fourcc('S', '4', '2', '0');
    static constexpr uint32_t kH264 = v4l2_fourcc('H', '2', '6', '4');
    static constexpr uint32_t kMjpg = v4l2_fourcc('M', 'J', 'P', 'G');
    static constexpr uint32_t kCapture = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    static constexpr uint32_t kOutput = V4L2_BUF_TYPE_VIDEO_OUTPUT;
    static constexpr uint32_t kFlagKey = 0x8, kFlagError = 0x40;
    // The codec's picture sizes, on either queue and in any stream decoded.
    static constexpr unsigned kMinSide = 16, kMaxSide = 4096;
    // mmap offsets of the output queue start here; the capture queue's at 0.
    // Both stay below 2^31 so that 32-bit programs can pass them.
    static constexpr uint64_t kOutputBase = 0x40000000;

    using Queue = BufferQueue;

    // `pictures_in`: the output queue carries the pictures (an encoder,
    // which also takes them by user pointer), otherwise the capture queue
    // does (a decoder, whose bit-stream buffers may be queued empty).
    // `kind`: "enc" or "dec", as kind() answers.
    M2MDevice(Ledger &ledger, const Options &options, std::string path, bool pictures_in, const char *kind);

    int handle_ioctl(const char *name, unsigned long request, void *arg, bool nonblock) final;
    std::string fault_scope(const char *name, const void *arg) const final;

    // The node's own requests beyond the common ones: 0 or -errno, -ENOTTY
    // for a request it does not know.
    virtual int other_ioctl(const char *name, void *arg)
    {
        (void)name, (void)arg;
        return -ENOTTY;
    }
    // A control request: the framework's unless the node has its own way.
    virtual int control_request_locked(const char *name, void *arg) { return controls_.request(name, arg); }
    // A forced number of buffers for q (--*-grant), or -1.
    virtual int forced_grant(const Queue &q) const = 0;
    // The node's own check of a buffer queued in q, after the framework's:
    // 0 or -errno (nothing is queued then).
    virtual int accept_locked(Queue &q, unsigned index, const BufferDesc &d) = 0;
    // An injected EAGAIN for a dequeue, used up.
    virtual bool take_eagain_locked() { return false; }
    // An injected bad index for a capture dequeue, used up.
    virtual bool take_bad_index_locked() = 0;
    // After S_FMT took a format for q; `was` is the bit stream's format before.
    virtual void format_set_locked(Queue &q, uint32_t was) { (void)q, (void)was; }
    // After S_PARM took a frame rate for q.
    virtual void fps_set_locked(Queue &q) { (void)q; }
    // q starts streaming, or stopped (its buffers already handed back).
    virtual void stream_started_locked(Queue &q) { (void)q; }
    virtual void stream_stopped_locked(Queue &q) { (void)q; }
    // Runs every job that is ready.
    virtual void run_jobs_locked() = 0;
    // The program closed the node; the queues are already released.
    virtual void shutdown_locked() {}

    // Controls and the events they and the stream raise (m2m_setup.cpp).
    bool has_events() const override { return true; }
    int subscribe_event(const v4l2_event_subscription &sub) override;
    // The formats each queue offers.
    void formats_of(const Queue &q, const uint32_t **list, size_t *n) const;

    bool carries_pictures(const Queue &q) const { return (&q == &out_) == pictures_in_; }
    // Bytes of one buffer of q at its format now.
    uint32_t buffer_size(const Queue &q) const;
    void update_readable_locked();
    // "enc.cap." and the like: the queue's prefix of ledger keys.
    std::string side(const Queue &q) const;

    std::mutex mu_;
    const bool pictures_in_;
    Queue out_, cap_;
    // Readable also while an output buffer is done, not only a capture one.
    bool readable_on_output_ = false;
    unsigned in_w_ = 1280, in_h_ = 720;   // the output queue's size
    unsigned out_w_ = 1280, out_h_ = 720; // the capture queue's size
    uint32_t stream_fourcc_ = kH264;      // the bit-stream queue's format
    unsigned in_fps_ = 30, out_fps_ = 30;
    // What the pictures' numbers mean, as the program sets them on the output
    // queue and both queues report: JPEG's full-range BT.601 until told.
    uint32_t colorspace_ = V4L2_COLORSPACE_SRGB, xfer_func_ = V4L2_XFER_FUNC_SRGB;
    uint32_t ycbcr_enc_ = V4L2_YCBCR_ENC_601, quantization_ = V4L2_QUANTIZATION_FULL_RANGE;
    Controls controls_; // the node's own, filled in by the node; mu_ guards them
    // The stateful interfaces' stop: draining (what was queued goes on),
    // then stopped once the last buffer went back flagged V4L2_BUF_FLAG_LAST;
    // a dequeue after that last buffer fails with EPIPE until START.
    bool draining_ = false, stopped_ = false, last_next_ = false, last_taken_ = false;

private:
    static BufferQueue::Config queue_config(bool output, bool pictures_in, const char *kind);
    Queue *queue_of(uint32_t type);
    Queue *queue_at(uint64_t offset);
    int parm(bool set, unsigned long request, void *arg);
    int fmt(const char *name, unsigned long request, void *arg);
    int reqbufs(void *arg);
    int create_bufs(void *arg);
    int querybuf(unsigned long request, void *arg);
    int qbuf(unsigned long request, void *arg);
    int dqbuf(unsigned long request, void *arg, bool nonblock);
    int stream(bool on, void *arg);
    // The set-up requests past formats and buffers (m2m_setup.cpp).
    int setup_request(const char *name, void *arg);
    int command(const char *name, void *arg);
    // The stop and start commands: 0 or -errno.
    int drain_locked();
    int resume_locked();
    // A stop's end: once the output queue holds nothing more from before it.
    void finish_drain_locked();
};

} // namespace vcam

#endif
