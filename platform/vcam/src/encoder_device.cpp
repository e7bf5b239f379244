#include "encoder_device.h"

#include "libc.h"
#include "platform.h"
#include "stamp_snapshot.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/mman.h>
#include <time.h>
#include <unistd.h>

namespace vcam {

namespace cam = kep::abi::camera;

namespace {

constexpr uint32_t kS420 = v4l2_fourcc('S', '4', '2', '0');
constexpr uint32_t kH264 = v4l2_fourcc('H', '2', '6', '4');
constexpr uint32_t kMjpg = v4l2_fourcc('M', 'J', 'P', 'G');
constexpr uint32_t kCapture = V4L2_BUF_TYPE_VIDEO_CAPTURE; // bit stream out
constexpr uint32_t kOutput = V4L2_BUF_TYPE_VIDEO_OUTPUT;   // pictures in
constexpr uint32_t kFlagKey = 0x8, kFlagError = 0x40;
constexpr unsigned kMinSide = 16, kMaxSide = 4096;
// mmap offsets of the picture queue start here; the bit-stream queue's at 0.
// Both stay below 2^31 so that 32-bit programs can pass them.
constexpr uint64_t kOutputBase = 0x40000000;
constexpr uint64_t kQueueSpan = 0x38000000;

constexpr uint32_t kCidPrivate0 = 0x00981900, kCidPrivate1 = 0x00981901, kCidPrivate2 = 0x00981902;
constexpr uint32_t kCidIQp = 0x00990A5E, kCidPQp = 0x00990A5F, kCidEntropy = 0x00990A65, kCidIPeriod = 0x00990A66;
constexpr uint32_t kCidJpegQuality = 0x009D0903;

unsigned even_clamp(unsigned v)
{
    if (v < kMinSide)
        v = kMinSide;
    if (v > kMaxSide)
        v = kMaxSide;
    return v & ~1u;
}

size_t page_round(size_t n)
{
    size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    return (n + page - 1) / page * page;
}

// Nearest-neighbour resampling of one plane.
void resample(const uint8_t *src, unsigned sw, unsigned sh, uint8_t *dst, unsigned dw, unsigned dh)
{
    for (unsigned y = 0; y < dh; ++y) {
        const uint8_t *row = src + static_cast<size_t>(y * sh / dh) * sw;
        uint8_t *out = dst + static_cast<size_t>(y) * dw;
        for (unsigned x = 0; x < dw; ++x)
            out[x] = row[x * sw / dw];
    }
}

} // namespace

EncoderDevice::EncoderDevice(Ledger &ledger, const Options &options, std::string path)
    : Device(ledger, options, std::move(path)), out_fourcc_(kH264)
{
    out_.type = kOutput;
    out_.offset_base = kOutputBase;
    cap_.type = kCapture;
    in_fps_ = out_fps_ = options.fps;
}

EncoderDevice::~EncoderDevice()
{
    std::lock_guard<std::mutex> lock(mu_);
    release_queue_locked(out_);
    release_queue_locked(cap_);
}

std::string EncoderDevice::fault_scope(const char *name, const void *arg) const
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
        return "enc.cap";
    if (type == kOutput)
        return "enc.out";
    return kind();
}

EncoderDevice::Queue *EncoderDevice::queue_of(uint32_t type)
{
    if (type == kCapture)
        return &cap_;
    if (type == kOutput)
        return &out_;
    return nullptr;
}

int EncoderDevice::handle_ioctl(const char *name, unsigned long request, void *arg, bool nonblock)
{
    if (arg == nullptr)
        return -EFAULT;
    std::string n = name;
    if (n == "QUERYCAP")
        return querycap(arg);
    if (n == "S_CTRL" || n == "G_CTRL")
        return ctrl(n == "S_CTRL", arg);
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
    return -EINVAL;
}

int EncoderDevice::querycap(void *arg)
{
    v4l2_capability cap;
    memset(&cap, 0, sizeof cap);
    strncpy(reinterpret_cast<char *>(cap.driver), "vcam-codec", sizeof cap.driver - 1);
    strncpy(reinterpret_cast<char *>(cap.card), "kep virtual encoder", sizeof cap.card - 1);
    snprintf(reinterpret_cast<char *>(cap.bus_info), sizeof cap.bus_info, "platform:%s", path().c_str());
    cap.version = 0x050A00;
    cap.device_caps = V4L2_CAP_VIDEO_M2M | V4L2_CAP_STREAMING;
    cap.capabilities = cap.device_caps | V4L2_CAP_DEVICE_CAPS;
    memcpy(arg, &cap, sizeof cap);
    return 0;
}

int EncoderDevice::ctrl(bool set, void *arg)
{
    v4l2_control c;
    memcpy(&c, arg, sizeof c);
    std::lock_guard<std::mutex> lock(mu_);
    int *slot = nullptr;
    int lo = -0x7fffffff, hi = 0x7fffffff;
    bool recode = false; // the coder must be made again
    switch (c.id) {
    case kCidPrivate0: slot = &private_[0]; break;
    case kCidPrivate1: slot = &private_[1]; break;
    case kCidPrivate2: slot = &private_[2]; break;
    case kCidIQp: slot = &qp_i_, lo = 0, hi = 51, recode = true; break;
    case kCidPQp: slot = &qp_p_, lo = 0, hi = 51, recode = true; break;
    case kCidEntropy: slot = &entropy_, lo = 0, hi = 1; break;
    case kCidIPeriod: slot = &gop_, lo = 0, hi = 0x7fffffff; break;
    case kCidJpegQuality: slot = &quality_, lo = 1, hi = 100, recode = true; break;
    default: return -EINVAL;
    }
    if (set) {
        if (c.value < lo || c.value > hi)
            return -ERANGE;
        if (*slot != c.value && recode)
            coder_stale_ = true;
        *slot = c.value;
        char key[32];
        snprintf(key, sizeof key, "enc.ctrl.0x%08x", c.id);
        ledger_.set(key, c.value);
    }
    c.value = *slot;
    memcpy(arg, &c, sizeof c);
    return 0;
}

int EncoderDevice::parm(bool set, unsigned long request, void *arg)
{
    if (streamparm_abi(request) == Abi::none)
        return -ENOTTY;
    // Both ABIs lay the parameters out alike, and so do the two queue types.
    cam::streamparm p;
    memcpy(&p, arg, sizeof p);
    std::lock_guard<std::mutex> lock(mu_);
    unsigned *fps = p.type == kCapture ? &out_fps_ : p.type == kOutput ? &in_fps_ : nullptr;
    if (fps == nullptr)
        return -EINVAL;
    cam::fract &tpf = p.parm.output.timeperframe;
    if (set && tpf.numerator != 0 && tpf.denominator != 0) {
        unsigned f = tpf.denominator / tpf.numerator;
        *fps = f == 0 ? 1 : f;
        ledger_.set(p.type == kCapture ? "enc.cap.fps" : "enc.out.fps", *fps);
        if (p.type == kCapture)
            coder_stale_ = true;
    }
    memset(&p.parm, 0, sizeof p.parm);
    p.parm.output.capability = V4L2_CAP_TIMEPERFRAME;
    p.parm.output.timeperframe = cam::fract{1, *fps};
    memcpy(arg, &p, sizeof p);
    return 0;
}

uint32_t EncoderDevice::bitstream_size() const
{
    // Room for a JPEG picture at the finest quality of a busy scene.
    return static_cast<uint32_t>(page_round(static_cast<size_t>(out_w_) * out_h_ * 2 + 65536));
}

int EncoderDevice::fmt(const char *name, unsigned long request, void *arg)
{
    Abi abi = format_abi(request);
    if (abi == Abi::none)
        return -ENOTTY;
    FormatDesc f = load_format(abi, arg);
    std::lock_guard<std::mutex> lock(mu_);
    Queue *q = queue_of(f.type);
    if (q == nullptr)
        return -EINVAL;
    bool pictures = q == &out_;
    unsigned w = pictures ? in_w_ : out_w_, h = pictures ? in_h_ : out_h_;
    uint32_t fourcc = pictures ? kS420 : out_fourcc_;
    bool set = strcmp(name, "S_FMT") == 0;
    if (set || strcmp(name, "TRY_FMT") == 0) {
        // Like a driver, adjust what cannot be done rather than refuse it.
        w = even_clamp(f.pix.width);
        h = even_clamp(f.pix.height);
        if (!pictures)
            fourcc = f.pix.pixelformat == kMjpg ? kMjpg : kH264;
    }
    if (set) {
        const char *side = pictures ? "enc.out." : "enc.cap.";
        ledger_.set(std::string(side) + "width", f.pix.width);
        ledger_.set(std::string(side) + "height", f.pix.height);
        ledger_.set(std::string(side) + "pixelformat", f.pix.pixelformat);
        if (q->streaming || !q->slots.empty())
            return -EBUSY;
        if (pictures) {
            in_w_ = w;
            in_h_ = h;
        } else {
            out_w_ = w;
            out_h_ = h;
            out_fourcc_ = fourcc;
            coder_stale_ = true;
        }
    }
    memset(&f.pix, 0, sizeof f.pix);
    f.pix.width = w;
    f.pix.height = h;
    f.pix.pixelformat = fourcc;
    f.pix.field = V4L2_FIELD_NONE;
    f.pix.colorspace = V4L2_COLORSPACE_REC709;
    if (pictures) {
        f.pix.bytesperline = w;
        f.pix.sizeimage = static_cast<uint32_t>(s420_size(w, h));
    } else {
        unsigned keep_w = out_w_, keep_h = out_h_;
        out_w_ = w, out_h_ = h;
        f.pix.sizeimage = bitstream_size();
        out_w_ = keep_w, out_h_ = keep_h;
    }
    store_format(abi, f, arg);
    return 0;
}

void EncoderDevice::release_queue_locked(Queue &q)
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

int EncoderDevice::reqbufs(void *arg)
{
    v4l2_requestbuffers rb;
    memcpy(&rb, arg, sizeof rb);
    std::lock_guard<std::mutex> lock(mu_);
    Queue *q = queue_of(rb.type);
    if (q == nullptr)
        return -EINVAL;
    const char *side = q == &cap_ ? "enc.cap." : "enc.out.";
    ledger_.set(std::string(side) + "REQBUFS.count", rb.count);
    ledger_.set(std::string(side) + "REQBUFS.memory", rb.memory);
    // Bit streams only in the node's own buffers; pictures also by user pointer.
    if (rb.memory != V4L2_MEMORY_MMAP && !(q == &out_ && rb.memory == V4L2_MEMORY_USERPTR))
        return -EINVAL;
    if (q->streaming)
        return -EBUSY;
    release_queue_locked(*q);
    unsigned granted = 0;
    if (rb.count > 0)
        granted = options_.enc_grant >= 0 ? static_cast<unsigned>(options_.enc_grant)
                                          : (rb.count > kMaxBuffers ? kMaxBuffers : rb.count);
    q->buffer_size = q == &cap_ ? bitstream_size() : static_cast<uint32_t>(picture_size());
    if (granted > 0 && rb.memory == V4L2_MEMORY_MMAP) {
        q->stride = page_round(q->buffer_size);
        q->pool_len = q->stride * granted;
        if (q->pool_len > kQueueSpan)
            return -ENOMEM;
        q->pool_fd = memfd_create(q == &cap_ ? "vcam-enc-bitstream" : "vcam-enc-picture", MFD_CLOEXEC);
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
    ledger_.set(std::string(side) + "REQBUFS.granted", granted);
    rb.count = granted;
    memcpy(arg, &rb, sizeof rb);
    return 0;
}

int EncoderDevice::querybuf(unsigned long request, void *arg)
{
    Abi abi = buffer_abi(request);
    if (abi == Abi::none)
        return -ENOTTY;
    ledger_.count(abi == Abi::camera ? "abi.camera" : "abi.host");
    BufferDesc d = load_buffer(abi, arg);
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
    if (q->memory == V4L2_MEMORY_MMAP) {
        out.addr = q->offset_base + d.index * q->stride;
        out.length = q->buffer_size;
    } else {
        out.addr = s.userptr;
        out.length = s.length;
    }
    store_buffer(abi, out, arg);
    return 0;
}

int EncoderDevice::qbuf(unsigned long request, void *arg)
{
    Abi abi = buffer_abi(request);
    if (abi == Abi::none)
        return -ENOTTY;
    ledger_.count(abi == Abi::camera ? "abi.camera" : "abi.host");
    BufferDesc d = load_buffer(abi, arg);
    std::lock_guard<std::mutex> lock(mu_);
    Queue *q = queue_of(d.type);
    if (q == nullptr || q->memory == 0 || d.memory != q->memory || d.index >= q->slots.size())
        return -EINVAL;
    Slot &s = q->slots[d.index];
    if (s.queued || s.done)
        return -EINVAL;
    if (q == &out_ && q->memory == V4L2_MEMORY_USERPTR) {
        // The picture is read in place: it must be a whole picture that
        // another node lends out right now (an ISP buffer the program holds).
        if (d.addr == 0 || d.length < picture_size() || !Platform::get().picture_lent(d.addr, d.length)) {
            ledger_.count("enc.foreign");
            return -EINVAL;
        }
        s.userptr = d.addr;
        s.length = d.length;
    }
    s.qflags = q == &cap_ ? (d.flags & kFlagKey) : 0;
    s.queued = true;
    q->queued.push_back(d.index);
    run_jobs_locked();
    return 0;
}

int EncoderDevice::dqbuf(unsigned long request, void *arg, bool nonblock)
{
    Abi abi = buffer_abi(request);
    if (abi == Abi::none)
        return -ENOTTY;
    ledger_.count(abi == Abi::camera ? "abi.camera" : "abi.host");
    BufferDesc d = load_buffer(abi, arg);
    std::lock_guard<std::mutex> lock(mu_);
    Queue *q = queue_of(d.type);
    if (q == nullptr || q->memory == 0 || d.memory != q->memory)
        return -EINVAL;
    // Coding happens inside the requests, so nothing done now means nothing
    // will be done while the program waits: the codec driver says EIO then
    // (EAGAIN on a non-blocking descriptor) rather than blocking for ever.
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
    if (q->memory == V4L2_MEMORY_MMAP) {
        out.addr = q->offset_base + index * q->stride;
        out.length = q->buffer_size;
    } else {
        out.addr = s.userptr;
        out.length = s.length;
    }
    if (q == &cap_) {
        ledger_.count("enc.frames");
        if (ledger_.take_enc_bad_index())
            out.index = static_cast<uint32_t>(q->slots.size());
    }
    update_readable_locked();
    store_buffer(abi, out, arg);
    return 0;
}

int EncoderDevice::stream(bool on, void *arg)
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
            // A new stream starts with a key frame so that it can be decoded
            // from its first frame.
            if (q == &cap_) {
                key_next_ = true;
                since_key_ = 0;
            }
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
    update_readable_locked();
    return 0;
}

void EncoderDevice::update_readable_locked()
{
    set_readable(!cap_.done.empty());
}

void EncoderDevice::run_jobs_locked()
{
    bool needs_picture = out_.memory != 0;
    while (cap_.streaming && !cap_.queued.empty() &&
           (!needs_picture || (out_.streaming && !out_.queued.empty()))) {
        unsigned c = cap_.queued.front();
        cap_.queued.pop_front();
        int o = -1;
        if (needs_picture) {
            o = static_cast<int>(out_.queued.front());
            out_.queued.pop_front();
        }
        code_one_locked(c, o);
    }
    update_readable_locked();
}

const uint8_t *EncoderDevice::picture_of_locked(int out_index)
{
    size_t coded = s420_size(out_w_, out_h_);
    if (out_index < 0) {
        // No picture queue: the node makes its own pictures.
        scene_.set_size(out_w_, out_h_);
        scaled_.resize(coded);
        scene_.render(scaled_.data(), sequence_, options_.still);
        return scaled_.data();
    }
    const Slot &s = out_.slots[static_cast<unsigned>(out_index)];
    const uint8_t *src = nullptr;
    if (out_.memory == V4L2_MEMORY_MMAP) {
        src = out_.pool + static_cast<size_t>(out_index) * out_.stride;
    } else {
        // Checked again now: the program may have given the buffer back to
        // its owner (or unmapped it) since it queued it here.
        if (!Platform::get().picture_lent(s.userptr, s.length))
            return nullptr;
        src = reinterpret_cast<const uint8_t *>(static_cast<uintptr_t>(s.userptr));
    }
    if (in_w_ == out_w_ && in_h_ == out_h_)
        return src;
    scaled_.resize(coded);
    const uint8_t *sy = src, *su = sy + static_cast<size_t>(in_w_) * in_h_,
                  *sv = su + static_cast<size_t>(in_w_ / 2) * (in_h_ / 2);
    uint8_t *dy = scaled_.data(), *du = dy + static_cast<size_t>(out_w_) * out_h_,
            *dv = du + static_cast<size_t>(out_w_ / 2) * (out_h_ / 2);
    resample(sy, in_w_, in_h_, dy, out_w_, out_h_);
    resample(su, in_w_ / 2, in_h_ / 2, du, out_w_ / 2, out_h_ / 2);
    resample(sv, in_w_ / 2, in_h_ / 2, dv, out_w_ / 2, out_h_ / 2);
    return scaled_.data();
}

const uint8_t *EncoderDevice::stamped_locked(const uint8_t *picture)
{
    // The codec driver's channel name, as the library forms it: channel,
    // 'h' or 'j' for H.264 or MJPEG, 'd' unscaled or 's' scaled.
    char name[32];
    snprintf(name, sizeof name, "%d_%c%c", channel_of_path(path()), out_fourcc_ == kH264 ? 'h' : 'j',
             in_w_ == out_w_ && in_h_ == out_h_ ? 'd' : 's');
    std::string snapshot = options_.datastamp_dir + "/" + name + "/.stamp";
    // Drawn into a copy: the picture may be the program's own buffer.
    stamped_.assign(picture, picture + s420_size(out_w_, out_h_));
    if (codecfs::draw_from_snapshot_file(snapshot.c_str(), stamped_.data(), out_w_, out_h_) != 0)
        return picture;
    ledger_.count("enc.stamped");
    return stamped_.data();
}

void EncoderDevice::code_one_locked(unsigned cap_index, int out_index)
{
    Slot &cs = cap_.slots[cap_index];
    cs.queued = false;
    bool want_key = key_next_ || (cs.qflags & kFlagKey) || (gop_ > 0 && since_key_ >= static_cast<unsigned>(gop_));
    uint32_t flags = 0, used = 0;
    const uint8_t *picture = ledger_.take_enc_error() ? nullptr : picture_of_locked(out_index);
    if (picture != nullptr && !options_.datastamp_dir.empty())
        picture = stamped_locked(picture);
    if (picture != nullptr && coder_stale_) {
        CoderSettings s;
        s.fourcc = out_fourcc_;
        s.width = out_w_;
        s.height = out_h_;
        s.fps = out_fps_;
        s.qp_i = qp_i_;
        s.qp_p = qp_p_;
        s.quality = quality_;
        coder_ = make_coder(s);
        coder_stale_ = false;
    }
    bool is_key = false;
    long n = -1;
    if (picture != nullptr && coder_)
        n = coder_->encode(picture, want_key, cap_.pool + static_cast<size_t>(cap_index) * cap_.stride,
                           cap_.buffer_size, &is_key);
    if (n < 0) {
        // The picture is consumed and the frame lost; a key-frame request
        // stays pending with the program, which asks again.
        flags = kFlagError;
        ledger_.count("enc.errors");
    } else {
        used = static_cast<uint32_t>(n);
        if (is_key) {
            flags |= kFlagKey;
            key_next_ = false;
            since_key_ = 1;
            ledger_.count("enc.keyframes");
        } else {
            ++since_key_;
        }
        ledger_.count("enc.encoded");
        ledger_.count("enc.bytes", n);
    }
    cs.bytesused = used;
    cs.flags = flags;
    cs.sequence = sequence_++;
    clock_gettime(CLOCK_MONOTONIC, &cs.stamp);
    cs.done = true;
    cap_.done.push_back(cap_index);
    if (out_index >= 0) {
        Slot &os = out_.slots[static_cast<unsigned>(out_index)];
        os.queued = false;
        os.done = true;
        os.bytesused = static_cast<uint32_t>(picture_size());
        os.stamp = cs.stamp;
        out_.done.push_back(static_cast<unsigned>(out_index));
    }
}

void *EncoderDevice::mmap(size_t len, int prot, int flags, off_t offset, int *err)
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

void EncoderDevice::shutdown()
{
    std::lock_guard<std::mutex> lock(mu_);
    out_.streaming = cap_.streaming = false;
    release_queue_locked(out_);
    release_queue_locked(cap_);
}

} // namespace vcam
