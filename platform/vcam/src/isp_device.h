// The ISP capture node: a V4L2 video-capture device that produces the moving
// test scene in 'S420' at a paced frame rate, through memory-mapped buffers,
// user-pointer buffers or read().
#ifndef VCAM_ISP_DEVICE_H
#define VCAM_ISP_DEVICE_H

#include "buffer_queue.h"
#include "descriptors.h"
#include "device.h"
#include "scene.h"

#include <condition_variable>
#include <deque>
#include <pthread.h>
#include <time.h>
#include <vector>

namespace vcam {

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
    // See vcam_isp_wait_frame(); luma is copied into `out`.
    int wait_frame(unsigned long long after, int timeout_ms, std::vector<uint8_t> &out, unsigned &width,
                   unsigned &height, unsigned long long &number);

protected:
    int handle_ioctl(const char *name, unsigned long request, void *arg, bool nonblock) override;

private:
    int querycap(void *arg);
    int cropcap(void *arg);
    int crop(bool set, void *arg);
    int parm(bool set, unsigned long request, void *arg);
    int enum_fmt(void *arg);
    int fmt(const char *name, unsigned long request, void *arg);
    int reqbufs(void *arg);
    int create_bufs(void *arg);
    int querybuf(unsigned long request, void *arg);
    int qbuf(unsigned long request, void *arg);
    int dqbuf(unsigned long request, void *arg, bool nonblock);
    int stream(bool on, void *arg);

    static BufferQueue::Config queue_config();
    uint32_t caps() const;
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

    std::mutex mu_;
    std::condition_variable cv_;
    Scene scene_;

    unsigned width_ = 1280, height_ = 720;
    uint32_t field_ = V4L2_FIELD_NONE;
    v4l2_rect crop_{0, 0, 1920, 1080};
    uint32_t tpf_num_ = 1, tpf_den_ = 30;

    BufferQueue queue_;
    bool reading_ = false; // read() started the sensor
    bool ticker_running_ = false, ticker_stop_ = false, revive_ticker_ = false;
    pthread_t ticker_{};

    uint64_t produced_ = 0; // frames made since the open; the newest is sequence produced_ - 1
    uint64_t serial_ = 0;   // the newest frame's process-wide number (see vcam_isp_wait_frame)
    std::vector<uint8_t> picture_;
    unsigned picture_w_ = 0, picture_h_ = 0;
    timespec picture_stamp_{};
    uint64_t last_read_ = 0;
};

} // namespace vcam

#endif
