// What the codec driver's M2M nodes have in common: an output queue the
// program fills and a capture queue the node fills, one of them carrying
// 'S420' pictures and the other a bit stream (H.264 or MJPEG), each with its
// own pool of memory-mapped buffers. The buffer requests, formats, frame rates
// and mappings are handled here; a node adds its controls, what it checks when
// a buffer is queued, and the job that turns a queued pair into a result.
#ifndef VCAM_M2M_DEVICE_H
#define VCAM_M2M_DEVICE_H

#include "descriptors.h"
#include "device.h"

#include <deque>
#include <mutex>
#include <string>
#include <time.h>
#include <vector>

namespace vcam {

class M2MDevice : public Device {
public:
    ~M2MDevice() override;

    void *mmap(size_t len, int prot, int flags, off_t offset, int *err) override;
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
    // mmap offsets of the output queue start here; the capture queue's at 0.
    // Both stay below 2^31 so that 32-bit programs can pass them.
    static constexpr uint64_t kOutputBase = 0x40000000;

    struct Slot {
        uint64_t userptr = 0; // a user-pointer buffer's address and length
        uint32_t length = 0;
        bool queued = false, done = false;
        uint32_t qflags = 0; // flags the program queued it with, where kept
        uint32_t bytesused = 0, flags = 0;
        uint32_t sequence = 0;
        timespec stamp{};
    };
    struct Queue {
        uint32_t type = 0;
        bool pictures = false; // 'S420' pictures; otherwise the bit stream
        uint32_t memory = 0;   // 0: no buffers
        std::vector<Slot> slots;
        std::deque<unsigned> queued, done;
        bool streaming = false;
        int pool_fd = -1;
        uint8_t *pool = nullptr;
        size_t pool_len = 0, stride = 0;
        uint32_t buffer_size = 0; // bytes of one buffer
        uint64_t offset_base = 0; // mmap offsets of this queue start here
    };

    // `pictures_in`: the output queue carries the pictures (an encoder),
    // otherwise the capture queue does (a decoder).
    M2MDevice(Ledger &ledger, const Options &options, std::string path, bool pictures_in);

    int handle_ioctl(const char *name, unsigned long request, void *arg, bool nonblock) final;
    std::string fault_scope(const char *name, const void *arg) const final;

    // The node's own requests (its controls): 0 or -errno.
    virtual int other_ioctl(const char *name, void *arg) = 0;
    // QUERYCAP's card name.
    virtual const char *card() const = 0;
    // A forced number of buffers for q (--*-grant), or -1.
    virtual int forced_grant(const Queue &q) const = 0;
    // Whether q takes user-pointer buffers besides memory-mapped ones.
    virtual bool takes_userptr(const Queue &q) const
    {
        (void)q;
        return false;
    }
    // Checks and keeps what the program queued in slot s of q: 0 or -errno.
    virtual int accept_locked(Queue &q, Slot &s, const BufferDesc &d) = 0;
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

    void release_queue_locked(Queue &q);
    void update_readable_locked();
    // "enc.cap." and the like: the queue's prefix of ledger keys.
    std::string side(const Queue &q) const;

    std::mutex mu_;
    Queue out_, cap_;
    // Readable also while an output buffer is done, not only a capture one.
    bool readable_on_output_ = false;
    unsigned in_w_ = 1280, in_h_ = 720;   // the output queue's size
    unsigned out_w_ = 1280, out_h_ = 720; // the capture queue's size
    uint32_t stream_fourcc_ = kH264;      // the bit-stream queue's format
    unsigned in_fps_ = 30, out_fps_ = 30;

private:
    Queue *queue_of(uint32_t type);
    int querycap(void *arg);
    int parm(bool set, unsigned long request, void *arg);
    int fmt(const char *name, unsigned long request, void *arg);
    int reqbufs(void *arg);
    int querybuf(unsigned long request, void *arg);
    int qbuf(unsigned long request, void *arg);
    int dqbuf(unsigned long request, void *arg, bool nonblock);
    int stream(bool on, void *arg);
    // Where slot `index` of q is, as QUERYBUF and DQBUF give it.
    void locate(const Queue &q, unsigned index, BufferDesc &out) const;
};

} // namespace vcam

#endif
