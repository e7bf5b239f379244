#include "isp_device.h"

#include "buffer_math.h"
#include "libc.h"

#include <atomic>
#include <chrono>
#include <errno.h>
#include <fcntl.h>
#include <map>
#include <new>
#include <signal.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

namespace vcam {

namespace {

constexpr uint32_t kCapture = V4L2_BUF_TYPE_VIDEO_CAPTURE;

// Frames are numbered across every open of every ISP node, so that a waiter
// that keeps the last number it saw never waits for an old number again after
// the program reopens the node.
std::atomic<uint64_t> g_last_serial{0};

} // namespace

BufferQueue::Config IspDevice::queue_config()
{
    BufferQueue::Config c;
    c.type = kCapture;
    c.userptr = true;
    c.pool_name = "vcam-isp";
    return c;
}

IspCore::IspCore(Ledger &ledger, const std::string &path, unsigned fps)
    : tpf_den(fps), queue(ledger, IspDevice::queue_config(), "isp " + path)
{
}

namespace {

// The shared state of each ISP node while any open of it lives.
std::shared_ptr<IspCore> core_of(Ledger &ledger, const Options &options, const std::string &path)
{
    // Never destroyed, like the platform itself: a program may exit() while
    // its other threads still use the nodes, as it may on the camera.
    struct Cores {
        std::mutex mu;
        std::map<std::string, std::weak_ptr<IspCore>> by_path;
    };
    static Cores *cores = new Cores();
    std::lock_guard<std::mutex> lock(cores->mu);
    std::shared_ptr<IspCore> core = cores->by_path[path].lock();
    if (!core) {
        core = std::make_shared<IspCore>(ledger, path, options.fps);
        cores->by_path[path] = core;
    }
    return core;
}

} // namespace

IspDevice::IspDevice(Ledger &ledger, const Options &options, std::string path)
    : Device(ledger, options, path), core_(core_of(ledger, options, path))
{
}

IspDevice::~IspDevice()
{
    std::unique_lock<std::mutex> lock(mu_);
    if (core_->owner == this)
        let_go_locked(lock);
}

void IspDevice::let_go_locked(std::unique_lock<std::mutex> &lock)
{
    queue_.streamoff();
    reading_ = false;
    stop_ticker(lock);
    queue_.release();
    core_->owner = nullptr;
    set_readable(false);
    cv_.notify_all();
}

uint32_t IspDevice::caps() const
{
    uint32_t c = V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_STREAMING | V4L2_CAP_READWRITE;
    if (options_.no_capture)
        c &= ~V4L2_CAP_VIDEO_CAPTURE;
    if (options_.no_streaming)
        c &= ~V4L2_CAP_STREAMING;
    if (options_.no_read)
        c &= ~V4L2_CAP_READWRITE;
    return c;
}

bool IspDevice::streaming()
{
    std::lock_guard<std::mutex> lock(mu_);
    return running_locked();
}

int IspDevice::handle_ioctl(const char *name, unsigned long request, void *arg, bool nonblock)
{
    if (arg == nullptr)
        return -EFAULT;
    std::string n = name;
    if (n == "REQBUFS")
        return reqbufs(arg);
    if (n == "CREATE_BUFS")
        return create_bufs(arg);
    if (n == "QUERYBUF")
        return querybuf(request, arg);
    if (n == "QBUF")
        return qbuf(request, arg);
    if (n == "DQBUF")
        return dqbuf(request, arg, nonblock);
    if (n == "STREAMON" || n == "STREAMOFF")
        return stream(n == "STREAMON", arg);
    return setup_request(name, request, arg);
}

int IspDevice::reqbufs(void *arg)
{
    v4l2_requestbuffers rb;
    memcpy(&rb, arg, sizeof rb);
    ledger_.set("REQBUFS.count", rb.count);
    ledger_.set("REQBUFS.memory", rb.memory);
    if (rb.type != kCapture || !(caps() & V4L2_CAP_STREAMING))
        return -EINVAL;
    std::lock_guard<std::mutex> lock(mu_);
    if (reading_ || busy_locked())
        return -EBUSY; // read() or another open holds the queue
    unsigned count = rb.count;
    int r = queue_.reqbufs(rb.memory, &count, options_.grant, static_cast<uint32_t>(frame_size()));
    if (r != 0)
        return r;
    core_->owner = queue_.count() > 0 ? this : nullptr;
    set_readable(false);
    ledger_.set("REQBUFS.granted", count);
    rb.count = count;
    rb.capabilities = queue_.capabilities();
    rb.flags = 0;
    memset(rb.reserved, 0, sizeof rb.reserved);
    memcpy(arg, &rb, sizeof rb);
    return 0;
}

int IspDevice::create_bufs(void *arg)
{
    v4l2_create_buffers cb;
    memcpy(&cb, arg, sizeof cb);
    if (cb.format.type != kCapture || !(caps() & V4L2_CAP_STREAMING))
        return -EINVAL;
    std::lock_guard<std::mutex> lock(mu_);
    if (reading_ || busy_locked())
        return -EBUSY;
    unsigned count = cb.count, index = 0;
    int r = queue_.create_bufs(cb.memory, &count, options_.grant, cb.format.fmt.pix.sizeimage,
                               static_cast<uint32_t>(frame_size()), &index);
    if (r != 0)
        return r;
    if (queue_.count() > 0)
        core_->owner = this;
    cb.index = index;
    cb.count = count;
    cb.capabilities = queue_.capabilities();
    cb.flags = 0;
    memset(cb.reserved, 0, sizeof cb.reserved);
    memcpy(arg, &cb, sizeof cb);
    return 0;
}

int IspDevice::querybuf(unsigned long request, void *arg)
{
    BufferDesc d, out;
    Abi abi = load_counted_buffer(request, arg, &d);
    if (abi == Abi::none)
        return -ENOTTY;
    std::lock_guard<std::mutex> lock(mu_);
    int r = queue_.querybuf(d, &out);
    if (r == 0)
        store_buffer(abi, out, arg);
    return r;
}

int IspDevice::qbuf(unsigned long request, void *arg)
{
    BufferDesc d, out;
    Abi abi = load_counted_buffer(request, arg, &d);
    if (abi == Abi::none)
        return -ENOTTY;
    std::lock_guard<std::mutex> lock(mu_);
    if (busy_locked())
        return -EBUSY;
    // A user buffer must hold a whole picture: a short one would be written
    // past its end.
    int r = queue_.check_qbuf(d, static_cast<uint32_t>(frame_size()));
    if (r != 0)
        return r;
    queue_.enqueue(d, &out);
    store_buffer(abi, out, arg);
    return 0;
}

int IspDevice::dqbuf(unsigned long request, void *arg, bool nonblock)
{
    BufferDesc d;
    Abi abi = load_counted_buffer(request, arg, &d);
    if (abi == Abi::none)
        return -ENOTTY;
    std::unique_lock<std::mutex> lock(mu_);
    if (busy_locked())
        return -EBUSY;
    if (d.type != kCapture || !queue_.streaming())
        return -EINVAL;
    revive_ticker_locked();
    queue_.tick_dequeue();
    if (ledger_.take_eagain())
        return -EAGAIN;
    while (!queue_.has_done()) {
        if (nonblock)
            return -EAGAIN;
        cv_.wait(lock);
        if (!queue_.streaming())
            return -EINVAL;
    }
    BufferDesc out;
    queue_.dequeue(&out);
    if (queue_.memory() == V4L2_MEMORY_USERPTR) {
        // No DMA into user memory here: the platform copies the picture in
        // and counts the bytes.
        const BufferQueue::Buffer &b = queue_.buffer(out.index);
        uint8_t *dst = reinterpret_cast<uint8_t *>(static_cast<uintptr_t>(b.userptr));
        if (b.tag == produced_ && picture_.size() == frame_size())
            memcpy(dst, picture_.data(), frame_size());
        else
            scene_.render(dst, b.sequence, options_.still);
        ledger_.count("copies", static_cast<long>(frame_size()));
        if (ledger_.take_bad_userptr()) {
            uint64_t stray = b.userptr + 1;
            for (bool clash = true; clash;) {
                clash = false;
                for (unsigned i = 0; i < queue_.count(); ++i)
                    if (queue_.buffer(i).userptr == stray) {
                        ++stray;
                        clash = true;
                    }
            }
            out.addr = stray;
        }
    }
    if (!queue_.has_done())
        set_readable(false);
    if (ledger_.take_bad_index())
        out.index = queue_.count();
    ledger_.count("frames");
    store_buffer(abi, out, arg);
    return 0;
}

int IspDevice::stream(bool on, void *arg)
{
    int type = 0;
    memcpy(&type, arg, sizeof type);
    if (static_cast<uint32_t>(type) != kCapture)
        return -EINVAL;
    std::unique_lock<std::mutex> lock(mu_);
    if (reading_ || busy_locked())
        return -EBUSY;
    if (on) {
        bool was = queue_.streaming();
        int r = queue_.streamon();
        if (r == 0 && !was) {
            core_->stream_base = produced_;
            start_ticker_locked();
        }
        return r;
    }
    // Streaming off hands every buffer back to the program.
    queue_.streamoff();
    stop_ticker(lock);
    set_readable(false);
    cv_.notify_all();
    return 0;
}

long IspDevice::read(void *buf, size_t n, bool nonblock)
{
    if (!(caps() & V4L2_CAP_READWRITE))
        return -EINVAL;
    std::unique_lock<std::mutex> lock(mu_);
    if (queue_.count() > 0 || queue_.streaming() || busy_locked())
        return -EBUSY;
    if (ledger_.take_eagain())
        return -EAGAIN;
    revive_ticker_locked();
    // The first read starts the sensor, as with a real capture driver.
    if (!reading_) {
        reading_ = true;
        core_->owner = this;
        core_->stream_base = produced_;
        start_ticker_locked();
    }
    while (produced_ <= last_read_) {
        if (nonblock)
            return -EAGAIN;
        cv_.wait(lock);
        if (!reading_)
            return -EIO;
    }
    size_t len = n < picture_.size() ? n : picture_.size();
    memcpy(buf, picture_.data(), len);
    last_read_ = produced_;
    set_readable(false);
    ledger_.count("copies", static_cast<long>(len));
    ledger_.count("frames");
    return static_cast<long>(len);
}

void *IspDevice::mmap(size_t len, int prot, int flags, off_t offset, int *err)
{
    std::lock_guard<std::mutex> lock(mu_);
    if (offset < 0) {
        *err = EINVAL;
        return nullptr;
    }
    return queue_.map(len, prot, flags, static_cast<uint64_t>(offset), err);
}

void IspDevice::unmapped(uint64_t offset, bool refused)
{
    std::lock_guard<std::mutex> lock(mu_);
    queue_.unmapped(offset, refused);
}

void IspDevice::unmap_refused(uint64_t offset)
{
    std::lock_guard<std::mutex> lock(mu_);
    queue_.unmap_refused(offset);
}

std::string IspDevice::buffer_label(uint64_t offset)
{
    std::lock_guard<std::mutex> lock(mu_);
    int i = queue_.index_at(offset);
    return queue_.label() + (i >= 0 ? " buffer " + std::to_string(i) : std::string());
}

void IspDevice::shutdown()
{
    std::unique_lock<std::mutex> lock(mu_);
    // Closing the open that holds the queue frees it, as the kernel does;
    // another open's close leaves it alone.
    if (core_->owner != this)
        return;
    queue_.check_close();
    let_go_locked(lock);
}

long IspDevice::frame_period_ns() const
{
    long long ns = 1000000000ll * tpf_num_ / (tpf_den_ == 0 ? 1 : tpf_den_);
    if (ns < 1000000)
        ns = 1000000;
    if (ns > 10000000000ll)
        ns = 10000000000ll;
    return static_cast<long>(ns);
}

void IspDevice::start_ticker_locked()
{
    if (ticker_running_)
        return;
    // The ticker never takes a signal: a handler that ends the process must
    // not find it holding a lock.
    sigset_t all, old;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &old);
    ticker_stop_ = false;
    ticker_running_ = pthread_create(&ticker_, nullptr, &IspDevice::ticker_main, this) == 0;
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
}

void IspDevice::revive_ticker_locked()
{
    if (revive_ticker_ && running_locked())
        start_ticker_locked();
    revive_ticker_ = false;
}

void IspDevice::stop_ticker(std::unique_lock<std::mutex> &lock)
{
    if (!ticker_running_)
        return;
    ticker_stop_ = true;
    ticker_running_ = false;
    pthread_t t = ticker_;
    cv_.notify_all();
    lock.unlock();
    pthread_join(t, nullptr);
    lock.lock();
}

void *IspDevice::ticker_main(void *self)
{
    static_cast<IspDevice *>(self)->ticker_loop();
    return nullptr;
}

void IspDevice::ticker_loop()
{
    using clock = std::chrono::steady_clock;
    std::unique_lock<std::mutex> lock(mu_);
    auto next = clock::now() + std::chrono::nanoseconds(frame_period_ns());
    while (!ticker_stop_) {
        if (cv_.wait_until(lock, next, [this] { return ticker_stop_; }))
            break;
        produce_frame_locked();
        cv_.notify_all();
        auto period = std::chrono::nanoseconds(frame_period_ns());
        next += period;
        // Behind by more than a frame (a slow emulator): skip, never burst.
        auto now = clock::now();
        if (now > next + period)
            next = now + period;
    }
}

void IspDevice::produce_frame_locked()
{
    ++produced_;
    serial_ = g_last_serial.fetch_add(1) + 1;
    ledger_.count("produced");
    scene_.set_size(width_, height_);
    picture_.resize(frame_size());
    // Frames are numbered from 0 at the start of each stream, each frame
    // that reaches a buffer the next number (a dropped frame takes none);
    // the scene shows the number.
    uint32_t sequence = static_cast<uint32_t>(produced_ - core_->stream_base - 1);
    scene_.render(picture_.data(), sequence, options_.still);
    picture_w_ = width_;
    picture_h_ = height_;
    clock_gettime(CLOCK_MONOTONIC, &picture_stamp_);
    if (reading_) {
        set_readable(true);
        return;
    }
    if (!queue_.streaming() || queue_.first_queued() < 0) {
        ledger_.count("dropped");
        ++core_->stream_base;
        return;
    }
    unsigned index = queue_.take_queued();
    BufferQueue::Buffer &b = queue_.buffer(index);
    if (queue_.memory() == V4L2_MEMORY_MMAP)
        memcpy(b.mem, picture_.data(), frame_size() < b.length ? frame_size() : b.length);
    queue_.complete(index, false);
    b.tag = produced_;
    b.stamp = picture_stamp_;
    b.sequence = sequence;
    b.bytesused = static_cast<uint32_t>(frame_size());
    set_readable(true);
}

int IspDevice::wait_frame(unsigned long long after, int timeout_ms, std::vector<uint8_t> &out, unsigned &width,
                          unsigned &height, unsigned long long &number)
{
    std::unique_lock<std::mutex> lock(mu_);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms < 0 ? 0 : timeout_ms);
    revive_ticker_locked();
    while (serial_ <= after) {
        if (!running_locked())
            return -1;
        if (cv_.wait_until(lock, deadline) == std::cv_status::timeout && serial_ <= after)
            return running_locked() ? 1 : -1;
    }
    size_t luma = static_cast<size_t>(picture_w_) * picture_h_;
    out.assign(picture_.begin(), picture_.begin() + static_cast<long>(luma));
    width = picture_w_;
    height = picture_h_;
    number = serial_;
    return 0;
}

LendResult IspDevice::lend(uint64_t addr, uint64_t len, bool mapped, uint64_t offset, const std::string &borrower,
                           Loan *loan)
{
    std::lock_guard<std::mutex> lock(mu_);
    return queue_.lend(addr, len, mapped, offset, borrower, weak_from_this(), loan);
}

void IspDevice::give_back(const Loan &loan)
{
    std::lock_guard<std::mutex> lock(mu_);
    queue_.give_back(loan.index, loan.generation);
}

bool IspDevice::still_lent(const Loan &loan)
{
    std::lock_guard<std::mutex> lock(mu_);
    return queue_.still_lent(loan.index, loan.generation);
}

void IspDevice::before_fork()
{
    // Once for every open of the node: they share the lock.
    if (core_->fork_held)
        return;
    mu_.lock();
    core_->fork_held = true;
}

void IspDevice::after_fork(bool child)
{
    if (!core_->fork_held)
        return;
    core_->fork_held = false;
    if (child) {
        // Only the forking thread lives on in the child: nobody waits on the
        // condition variable any more, and the ticker is gone.
        new (&cv_) std::condition_variable();
        ticker_running_ = false;
        // Started again by the child's next request, not from inside fork().
        revive_ticker_ = running_locked();
    }
    mu_.unlock();
}

} // namespace vcam
