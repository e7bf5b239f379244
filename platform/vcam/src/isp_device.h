// The ISP capture node: a V4L2 video-capture device that produces the moving
// test scene in 'S420' at a paced frame rate, through memory-mapped buffers,
// user-pointer buffers or read().
#ifndef VCAM_ISP_DEVICE_H
#define VCAM_ISP_DEVICE_H

#include "buffer_queue.h"
#include "descriptors.h"
#include "device.h"
#include "formats.h"
#include "scene.h"

#include <condition_variable>
#include <deque>
#include <pthread.h>
#include <time.h>
#include <vector>

namespace vcam {

// What every open of one ISP node shares, as a capture driver has it once
// per device node: the sensor and its settings, and the one buffer queue,
// held by the open that requested its buffers (or started read()).
struct IspCore {
    IspCore(Ledger &ledger, const std::string &path, unsigned fps);

    std::mutex mu;
    std::condition_variable cv;
    Scene scene;
    unsigned width = 1280, height = 720;
    uint32_t field = V4L2_FIELD_NONE;
    uint32_t pixelformat = kFourccS420;
    v4l2_rect crop{0, 0, 1920, 1080};
    uint32_t tpf_num = 1, tpf_den = 30;
    BufferQueue queue;
    const void *owner = nullptr; // the open that holds the queue; null: none
    bool reading = false;        // read() started the sensor
    bool ticker_running = false, ticker_stop = false, revive_ticker = false;
    pthread_t ticker{};
    bool fork_held = false; // mu is held across a fork (once for all opens)
    uint64_t produced = 0;  // frames made since the first open
    uint64_t stream_base = 0; // frames made before the stream's frame 0, or dropped in it
    uint64_t serial = 0;    // the newest frame's process-wide number (see vcam_isp_wait_frame)
    std::vector<uint8_t> picture;
    unsigned picture_w = 0, picture_h = 0;
    timespec picture_stamp{};
    uint64_t last_read = 0;
};

class IspDevice : public Device {
public:
    IspDevice(Ledger &ledger, const Options &options, std::string path);
    ~IspDevice() override;

    long read(void *buf, size_t n, bool nonblock) override;
    void *mmap(size_t len, int prot, int flags, off_t offset, int *err) override;
    void unmapped(uint64_t offset, bool refused) override;
    void unmap_refused(uint64_t offset) override;
    std::string buffer_label(uint64_t offset) override;
    void shutdown() override;
    IspDevice *as_isp() override { return this; }
    const char *kind() const override { return "isp"; }
    LendResult lend(uint64_t addr, uint64_t len, bool mapped, uint64_t offset, const std::string &borrower,
                    Loan *loan) override;
    void give_back(const Loan &loan) override;
    bool still_lent(const Loan &loan) override;
    void before_fork() override;
    void after_fork(bool child) override;

    bool streaming();
    static BufferQueue::Config queue_config();
    // See vcam_isp_wait_frame(); luma is copied into `out`.
    int wait_frame(unsigned long long after, int timeout_ms, std::vector<uint8_t> &out, unsigned &width,
                   unsigned &height, unsigned long long &number);

protected:
    int handle_ioctl(const char *name, unsigned long request, void *arg, bool nonblock) override;

private:
    // The set-up requests (isp_setup.cpp): -ENOTTY for any other.
    int setup_request(const char *name, unsigned long request, void *arg);
    int input(const char *name, void *arg);
    int selection(bool set, void *arg);
    int cropcap(void *arg);
    int crop(bool set, void *arg);
    int parm(bool set, unsigned long request, void *arg);
    int fmt(const char *name, unsigned long request, void *arg);
    SizeRange sizes() const;
    int reqbufs(void *arg);
    int create_bufs(void *arg);
    int querybuf(unsigned long request, void *arg);
    int qbuf(unsigned long request, void *arg);
    int dqbuf(unsigned long request, void *arg, bool nonblock);
    int stream(bool on, void *arg);

    uint32_t caps() const;
    // Another open holds the queue: the framework answers EBUSY.
    bool busy_locked() const { return core_->owner != nullptr && core_->owner != this; }
    // This open lets go of the queue: streaming stops, buffers are freed.
    void let_go_locked(std::unique_lock<std::mutex> &lock);
    size_t frame_size() const { return s420_size(width_, height_); }
    // Frames are made while the queue streams or read() reads.
    bool running_locked() const { return queue_.streaming() || reading_; }
    // The ticker thread paces frames while the node streams.
    void start_ticker_locked();
    void revive_ticker_locked(); // in a forked child, on its first request
    void stop_ticker(std::unique_lock<std::mutex> &lock);
    static void *ticker_main(void *self);
    void ticker_loop();
    void produce_frame_locked();
    long frame_period_ns() const;

    // The node's shared state, under the names the code uses for it.
    std::shared_ptr<IspCore> core_;
    std::mutex &mu_ = core_->mu;
    std::condition_variable &cv_ = core_->cv;
    Scene &scene_ = core_->scene;
    unsigned &width_ = core_->width, &height_ = core_->height;
    uint32_t &field_ = core_->field;
    uint32_t &pixelformat_ = core_->pixelformat;
    v4l2_rect &crop_ = core_->crop;
    uint32_t &tpf_num_ = core_->tpf_num, &tpf_den_ = core_->tpf_den;
    BufferQueue &queue_ = core_->queue;
    bool &reading_ = core_->reading;
    bool &ticker_running_ = core_->ticker_running, &ticker_stop_ = core_->ticker_stop,
         &revive_ticker_ = core_->revive_ticker;
    pthread_t &ticker_ = core_->ticker;
    uint64_t &produced_ = core_->produced, &serial_ = core_->serial;
    std::vector<uint8_t> &picture_ = core_->picture;
    unsigned &picture_w_ = core_->picture_w, &picture_h_ = core_->picture_h;
    timespec &picture_stamp_ = core_->picture_stamp;
    uint64_t &last_read_ = core_->last_read;
};

} // namespace vcam

#endif
