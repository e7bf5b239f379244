#include "m2m_device.h"

#include "buffer_math.h"
#include "libc.h"
#include "scene.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

namespace vcam {

namespace cam = kep::abi::camera;

namespace {

constexpr unsigned kMinSide = 16, kMaxSide = 4096;
// How far one queue's mmap offsets reach.
constexpr uint64_t kQueueSpan = 0x38000000;

// Room for a JPEG picture at the finest quality of a busy scene.
uint32_t bitstream_size(unsigned w, unsigned h)
{
    return static_cast<uint32_t>(page_round(static_cast<size_t>(w) * h * 2 + 65536));
}

} // namespace

M2MDevice::M2MDevice(Ledger &ledger, const Options &options, std::string path, bool pictures_in)
    : Device(ledger, options, std::move(path))
{
    out_.type = kOutput;
    out_.pictures = pictures_in;
    out_.offset_base = kOutputBase;
    cap_.type = kCapture;
    cap_.pictures = !pictures_in;
    in_fps_ = out_fps_ = options.fps;
}

M2MDevice::~M2MDevice()
{
    std::lock_guard<std::mutex> lock(mu_);
    release_queue_locked(out_);
    release_queue_locked(cap_);
}

std::string M2MDevice::side(const Queue &q) const
{
    return std::string(kind()) + (&q == &cap_ ? ".cap." : ".out.");
}

std::string M2MDevice::fault_scope(const char *name, const void *arg) const
{
    if (arg == nullptr)
        return kind();
    size_t at = 0;
    if (!strcmp(name, "QBUF") || !strcmp(name, "DQBUF") || !strcmp(name, "QUERYBUF") || !strcmp(name, "REQBUFS"))
        at = 4; // after the index or count
    else if (strcmp(name, "S_FMT") && strcmp(name, "G_FMT") && strcmp(name, "TRY_FMT") && strcmp(name, "S_PARM") &&
             strcmp(name, "G_PARM") && strcmp(name, "STREAMON") && strcmp(name, "STREAMOFF"))
        return kind();
    uint32_t type = 0;
    memcpy(&type, static_cast<const uint8_t *>(arg) + at, sizeof type);
    if (type == kCapture)
        return std::string(kind()) + ".cap";
    if (type == kOutput)
        return std::string(kind()) + ".out";
    return kind();
}

M2MDevice::Queue *M2MDevice::queue_of(uint32_t type)
{
    if (type == kCapture)
        return &cap_;
    if (type == kOutput)
        return &out_;
    return nullptr;
}

int M2MDevice::handle_ioctl(const char *name, unsigned long request, void *arg, bool nonblock)
{
    if (arg == nullptr)
        return -EFAULT;
    std::string n = name;
    if (n == "QUERYCAP")
        return querycap(arg);
    if (n == "S_PARM" || n == "G_PARM")
        return parm(n == "S_PARM", request, arg);
    if (n == "S_FMT" || n == "G_FMT" || n == "TRY_FMT")
        return fmt(name, request, arg);
    if (n == "REQBUFS")
        return reqbufs(arg);
    if (n == "QUERYBUF")
        return querybuf(request, arg);
    if (n == "QBUF")
        return qbuf(request, arg);
    if (n == "DQBUF")
        return dqbuf(request, arg, nonblock);
    if (n == "STREAMON" || n == "STREAMOFF")
        return stream(n == "STREAMON", arg);
    return other_ioctl(name, arg);
}

int M2MDevice::querycap(void *arg)
{
    v4l2_capability cap;
    memset(&cap, 0, sizeof cap);
    strncpy(reinterpret_cast<char *>(cap.driver), "vcam-codec", sizeof cap.driver - 1);
    strncpy(reinterpret_cast<char *>(cap.card), card(), sizeof cap.card - 1);
    snprintf(reinterpret_cast<char *>(cap.bus_info), sizeof cap.bus_info, "platform:%s", path().c_str());
    cap.version = 0x050A00;
    cap.device_caps = V4L2_CAP_VIDEO_M2M | V4L2_CAP_STREAMING;
    cap.capabilities = cap.device_caps | V4L2_CAP_DEVICE_CAPS;
    memcpy(arg, &cap, sizeof cap);
    return 0;
}

int M2MDevice::parm(bool set, unsigned long request, void *arg)
{
    if (streamparm_abi(request) == Abi::none)
        return -ENOTTY;
    // Both ABIs lay the parameters out alike, and so do the two queue types.
    cam::streamparm p;
    memcpy(&p, arg, sizeof p);
    std::lock_guard<std::mutex> lock(mu_);
    Queue *q = queue_of(p.type);
    if (q == nullptr)
        return -EINVAL;
    unsigned *fps = q == &cap_ ? &out_fps_ : &in_fps_;
    cam::fract &tpf = p.parm.output.timeperframe;
    if (set && tpf.numerator != 0 && tpf.denominator != 0) {
        unsigned f = tpf.denominator / tpf.numerator;
        *fps = f == 0 ? 1 : f;
        ledger_.set(side(*q) + "fps", *fps);
        fps_set_locked(*q);
    }
    memset(&p.parm, 0, sizeof p.parm);
    p.parm.output.capability = V4L2_CAP_TIMEPERFRAME;
    p.parm.output.timeperframe = cam::fract{1, *fps};
    memcpy(arg, &p, sizeof p);
    return 0;
}

int M2MDevice::fmt(const char *name, unsigned long request, void *arg)
{
    Abi abi = format_abi(request);
    if (abi == Abi::none)
        return -ENOTTY;
    FormatDesc f = load_format(abi, arg);
    std::lock_guard<std::mutex> lock(mu_);
    Queue *q = queue_of(f.type);
    if (q == nullptr)
        return -EINVAL;
    unsigned &qw = q == &out_ ? in_w_ : out_w_, &qh = q == &out_ ? in_h_ : out_h_;
    unsigned w = qw, h = qh;
    uint32_t fourcc = q->pictures ? kS420 : stream_fourcc_;
    bool set = strcmp(name, "S_FMT") == 0;
    if (set || strcmp(name, "TRY_FMT") == 0) {
        // Like a driver, adjust what cannot be done rather than refuse it.
        w = even_clamp(f.pix.width, kMinSide, kMaxSide);
        h = even_clamp(f.pix.height, kMinSide, kMaxSide);
        if (!q->pictures)
            fourcc = f.pix.pixelformat == kMjpg ? kMjpg : kH264;
    }
    if (set) {
        ledger_.set(side(*q) + "width", f.pix.width);
        ledger_.set(side(*q) + "height", f.pix.height);
        ledger_.set(side(*q) + "pixelformat", f.pix.pixelformat);
        if (q->streaming || !q->slots.empty())
            return -EBUSY;
        uint32_t was = stream_fourcc_;
        qw = w;
        qh = h;
        if (!q->pictures)
            stream_fourcc_ = fourcc;
        format_set_locked(*q, was);
    }
    memset(&f.pix, 0, sizeof f.pix);
    f.pix.width = w;
    f.pix.height = h;
    f.pix.pixelformat = fourcc;
    f.pix.field = V4L2_FIELD_NONE;
    f.pix.colorspace = V4L2_COLORSPACE_REC709;
    if (q->pictures) {
        f.pix.bytesperline = w;
        f.pix.sizeimage = static_cast<uint32_t>(s420_size(w, h));
    } else {
        f.pix.sizeimage = bitstream_size(w, h);
    }
    store_format(abi, f, arg);
    return 0;
}

void M2MDevice::release_queue_locked(Queue &q)
{
    if (q.pool != nullptr)
        libc::munmap(q.pool, q.pool_len);
    if (q.pool_fd >= 0)
        libc::close(q.pool_fd);
    q.pool = nullptr;
    q.pool_fd = -1;
    q.pool_len = q.stride = 0;
    q.slots.clear();
    q.queued.clear();
    q.done.clear();
    q.memory = 0;
    update_readable_locked();
}

int M2MDevice::reqbufs(void *arg)
{
    v4l2_requestbuffers rb;
    memcpy(&rb, arg, sizeof rb);
    std::lock_guard<std::mutex> lock(mu_);
    Queue *q = queue_of(rb.type);
    if (q == nullptr)
        return -EINVAL;
    std::string key = side(*q);
    ledger_.set(key + "REQBUFS.count", rb.count);
    ledger_.set(key + "REQBUFS.memory", rb.memory);
    if (rb.memory != V4L2_MEMORY_MMAP && !(rb.memory == V4L2_MEMORY_USERPTR && takes_userptr(*q)))
        return -EINVAL;
    if (q->streaming)
        return -EBUSY;
    release_queue_locked(*q);
    unsigned granted = 0;
    if (rb.count > 0) {
        int forced = forced_grant(*q);
        granted = forced >= 0 ? static_cast<unsigned>(forced) : (rb.count > kMaxBuffers ? kMaxBuffers : rb.count);
    }
    unsigned w = q == &out_ ? in_w_ : out_w_, h = q == &out_ ? in_h_ : out_h_;
    q->buffer_size = q->pictures ? static_cast<uint32_t>(s420_size(w, h)) : bitstream_size(w, h);
    if (granted > 0 && rb.memory == V4L2_MEMORY_MMAP) {
        q->stride = page_round(q->buffer_size);
        q->pool_len = q->stride * granted;
        if (q->pool_len > kQueueSpan)
            return -ENOMEM;
        std::string pool_name = std::string("vcam-") + kind() + (q->pictures ? "-picture" : "-bitstream");
        q->pool_fd = memfd_create(pool_name.c_str(), MFD_CLOEXEC);
        if (q->pool_fd < 0 || ftruncate(q->pool_fd, static_cast<off_t>(q->pool_len)) != 0) {
            release_queue_locked(*q);
            return -ENOMEM;
        }
        void *p = libc::mmap(nullptr, q->pool_len, PROT_READ | PROT_WRITE, MAP_SHARED, q->pool_fd, 0);
        if (p == MAP_FAILED) {
            release_queue_locked(*q);
            return -ENOMEM;
        }
        q->pool = static_cast<uint8_t *>(p);
    }
    if (granted > 0) {
        q->memory = rb.memory;
        q->slots.assign(granted, Slot{});
    }
    ledger_.set(key + "REQBUFS.granted", granted);
    rb.count = granted;
    memcpy(arg, &rb, sizeof rb);
    return 0;
}

void M2MDevice::locate(const Queue &q, unsigned index, BufferDesc &out) const
{
    if (q.memory == V4L2_MEMORY_MMAP) {
        out.addr = q.offset_base + index * q.stride;
        out.length = q.buffer_size;
    } else {
        out.addr = q.slots[index].userptr;
        out.length = q.slots[index].length;
    }
}

int M2MDevice::querybuf(unsigned long request, void *arg)
{
    BufferDesc d;
    Abi abi = load_counted_buffer(request, arg, &d);
    if (abi == Abi::none)
        return -ENOTTY;
    std::lock_guard<std::mutex> lock(mu_);
    Queue *q = queue_of(d.type);
    if (q == nullptr || d.index >= q->slots.size())
        return -EINVAL;
    const Slot &s = q->slots[d.index];
    BufferDesc out;
    out.index = d.index;
    out.type = q->type;
    out.memory = q->memory;
    out.field = V4L2_FIELD_NONE;
    out.flags = (s.queued ? V4L2_BUF_FLAG_QUEUED : 0u) | (s.done ? V4L2_BUF_FLAG_DONE : 0u) |
                (q->memory == V4L2_MEMORY_MMAP ? V4L2_BUF_FLAG_MAPPED : 0u);
    locate(*q, d.index, out);
    store_buffer(abi, out, arg);
    return 0;
}

int M2MDevice::qbuf(unsigned long request, void *arg)
{
    BufferDesc d;
    Abi abi = load_counted_buffer(request, arg, &d);
    if (abi == Abi::none)
        return -ENOTTY;
    std::lock_guard<std::mutex> lock(mu_);
    Queue *q = queue_of(d.type);
    if (q == nullptr || q->memory == 0 || d.memory != q->memory || d.index >= q->slots.size())
        return -EINVAL;
    Slot &s = q->slots[d.index];
    if (s.queued || s.done)
        return -EINVAL;
    int r = accept_locked(*q, s, d);
    if (r != 0)
        return r;
    s.queued = true;
    q->queued.push_back(d.index);
    run_jobs_locked();
    return 0;
}

int M2MDevice::dqbuf(unsigned long request, void *arg, bool nonblock)
{
    BufferDesc d;
    Abi abi = load_counted_buffer(request, arg, &d);
    if (abi == Abi::none)
        return -ENOTTY;
    std::lock_guard<std::mutex> lock(mu_);
    Queue *q = queue_of(d.type);
    if (q == nullptr || q->memory == 0 || d.memory != q->memory)
        return -EINVAL;
    if (take_eagain_locked())
        return -EAGAIN;
    // Jobs run inside the requests, so nothing done now means nothing will be
    // done while the program waits: the codec driver says EIO then (EAGAIN on
    // a non-blocking descriptor) rather than blocking for ever.
    if (q->done.empty())
        return nonblock ? -EAGAIN : -EIO;
    unsigned index = q->done.front();
    q->done.pop_front();
    Slot &s = q->slots[index];
    s.done = false;
    BufferDesc out;
    out.index = index;
    out.type = q->type;
    out.memory = q->memory;
    out.field = V4L2_FIELD_NONE;
    out.bytesused = s.bytesused;
    out.flags = s.flags;
    out.sec = s.stamp.tv_sec;
    out.usec = s.stamp.tv_nsec / 1000;
    out.sequence = s.sequence;
    locate(*q, index, out);
    if (q == &cap_) {
        ledger_.count(std::string(kind()) + ".frames");
        if (take_bad_index_locked())
            out.index = static_cast<uint32_t>(q->slots.size());
    }
    update_readable_locked();
    store_buffer(abi, out, arg);
    return 0;
}

int M2MDevice::stream(bool on, void *arg)
{
    uint32_t type = 0;
    memcpy(&type, arg, sizeof type);
    std::lock_guard<std::mutex> lock(mu_);
    Queue *q = queue_of(type);
    if (q == nullptr)
        return -EINVAL;
    if (on) {
        if (!q->streaming) {
            q->streaming = true;
            stream_started_locked(*q);
        }
        run_jobs_locked();
        return 0;
    }
    q->streaming = false;
    // Streaming off hands every buffer back to the program.
    for (Slot &s : q->slots)
        s.queued = s.done = false;
    q->queued.clear();
    q->done.clear();
    stream_stopped_locked(*q);
    update_readable_locked();
    return 0;
}

void M2MDevice::update_readable_locked()
{
    set_readable(!cap_.done.empty() || (readable_on_output_ && !out_.done.empty()));
}

void *M2MDevice::mmap(size_t len, int prot, int flags, off_t offset, int *err)
{
    std::lock_guard<std::mutex> lock(mu_);
    uint64_t off = static_cast<uint64_t>(offset);
    Queue *q = off >= kOutputBase ? &out_ : &cap_;
    if (offset < 0 || q->memory != V4L2_MEMORY_MMAP || !(flags & MAP_SHARED) || q->stride == 0 ||
        (off - q->offset_base) % q->stride != 0 || off - q->offset_base >= q->pool_len || len == 0 ||
        len > q->stride) {
        *err = EINVAL;
        return nullptr;
    }
    void *p = libc::mmap(nullptr, len, prot, flags & ~MAP_FIXED, q->pool_fd,
                         static_cast<off_t>(off - q->offset_base));
    if (p == MAP_FAILED) {
        *err = errno;
        return nullptr;
    }
    return p;
}

void M2MDevice::shutdown()
{
    std::lock_guard<std::mutex> lock(mu_);
    out_.streaming = cap_.streaming = false;
    release_queue_locked(out_);
    release_queue_locked(cap_);
    shutdown_locked();
}

} // namespace vcam
