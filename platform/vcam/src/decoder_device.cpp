#include "decoder_device.h"

#include "libc.h"
#include "scene.h"

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
constexpr uint32_t kCapture = V4L2_BUF_TYPE_VIDEO_CAPTURE; // pictures out
constexpr uint32_t kOutput = V4L2_BUF_TYPE_VIDEO_OUTPUT;   // bit stream in
constexpr uint32_t kFlagKey = 0x8, kFlagError = 0x40;
constexpr unsigned kMinSide = 16, kMaxSide = 4096;
// mmap offsets of the bit-stream queue start here; the picture queue's at 0.
// Both stay below 2^31 so that 32-bit programs can pass them.
constexpr uint64_t kOutputBase = 0x40000000;
constexpr uint64_t kQueueSpan = 0x38000000;

constexpr uint32_t kCidPrivate0 = 0x00981900, kCidPrivate1 = 0x00981901;
constexpr uint32_t kCidQtabLuma = 0x00981905, kCidQtabChroma = 0x00981906;
constexpr uint32_t kCidEntropy = 0x00990A65, kCidSubsampling = 0x009D0901;

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

// Nearest-neighbour resampling of one plane; an exact copy at equal sizes.
void resample(const uint8_t *src, int stride, unsigned sw, unsigned sh, uint8_t *dst, unsigned dw, unsigned dh)
{
    for (unsigned y = 0; y < dh; ++y) {
        const uint8_t *row = src + static_cast<ptrdiff_t>(static_cast<size_t>(y) * sh / dh) * stride;
        uint8_t *out = dst + static_cast<size_t>(y) * dw;
        if (sw == dw) {
            memcpy(out, row, dw);
            continue;
        }
        for (unsigned x = 0; x < dw; ++x)
            out[x] = row[static_cast<size_t>(x) * sw / dw];
    }
}

// Exp-Golomb reading over an H.264 NAL unit's payload, emulation prevention
// bytes skipped; reads past the end give zero bits.
struct NalBits {
    const uint8_t *p, *end;
    unsigned bit = 0;
    int zeros = 0;
    bool skip_next = false;
    unsigned get()
    {
        while (p < end) {
            if (bit == 0 && zeros >= 2 && *p == 3) {
                zeros = 0;
                ++p;
                continue;
            }
            unsigned v = (*p >> (7 - bit)) & 1u;
            if (++bit == 8) {
                zeros = *p == 0 ? zeros + 1 : 0;
                bit = 0;
                ++p;
            }
            return v;
        }
        return 0;
    }
    unsigned ue()
    {
        int lead = 0;
        while (get() == 0 && lead < 32)
            ++lead;
        if (lead >= 32)
            return 0xFFFFFFFFu;
        unsigned v = 0;
        for (int i = 0; i < lead; ++i)
            v = (v << 1) | get();
        return (1u << lead) - 1 + v;
    }
};

} // namespace

DecoderDevice::DecoderDevice(Ledger &ledger, const Options &options, std::string path)
    : Device(ledger, options, std::move(path)), in_fourcc_(kH264)
{
    out_.type = kOutput;
    out_.offset_base = kOutputBase;
    cap_.type = kCapture;
    in_fps_ = out_fps_ = options.fps;
    memset(qtable_, 0, sizeof qtable_);
    for (int &p : pps_cabac_)
        p = -1;
}

DecoderDevice::~DecoderDevice()
{
    std::lock_guard<std::mutex> lock(mu_);
    release_queue_locked(out_);
    release_queue_locked(cap_);
}

std::string DecoderDevice::fault_scope(const char *name, const void *arg) const
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
        return "dec.cap";
    if (type == kOutput)
        return "dec.out";
    return kind();
}

DecoderDevice::Queue *DecoderDevice::queue_of(uint32_t type)
{
    if (type == kCapture)
        return &cap_;
    if (type == kOutput)
        return &out_;
    return nullptr;
}

int DecoderDevice::handle_ioctl(const char *name, unsigned long request, void *arg, bool nonblock)
{
    if (arg == nullptr)
        return -EFAULT;
    std::string n = name;
    if (n == "QUERYCAP")
        return querycap(arg);
    if (n == "S_CTRL" || n == "G_CTRL")
        return ctrl(n == "S_CTRL", arg);
    if (n == "S_EXT_CTRLS")
        return ext_ctrls(arg);
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

int DecoderDevice::querycap(void *arg)
{
    v4l2_capability cap;
    memset(&cap, 0, sizeof cap);
    strncpy(reinterpret_cast<char *>(cap.driver), "vcam-codec", sizeof cap.driver - 1);
    strncpy(reinterpret_cast<char *>(cap.card), "kep virtual decoder", sizeof cap.card - 1);
    snprintf(reinterpret_cast<char *>(cap.bus_info), sizeof cap.bus_info, "platform:%s", path().c_str());
    cap.version = 0x050A00;
    cap.device_caps = V4L2_CAP_VIDEO_M2M | V4L2_CAP_STREAMING;
    cap.capabilities = cap.device_caps | V4L2_CAP_DEVICE_CAPS;
    memcpy(arg, &cap, sizeof cap);
    return 0;
}

// The table's 64 bytes are read from the program's memory at once, as the
// hardware would fetch them; an address the program cannot read is refused.
int DecoderDevice::set_qtable_locked(uint32_t id, uint64_t addr)
{
    int which = id == kCidQtabLuma ? 0 : 1;
    uint8_t table[64];
    // Through a pipe: the kernel checks the address and answers EFAULT
    // instead of faulting (process_vm_readv would do too, but user-mode
    // emulators of the 32-bit build do not offer it).
    int fds[2];
    if (addr == 0 || pipe2(fds, O_CLOEXEC) != 0)
        return -EFAULT;
    bool ok = libc::write(fds[1], reinterpret_cast<const void *>(static_cast<uintptr_t>(addr)), sizeof table) ==
                  static_cast<ssize_t>(sizeof table) &&
              libc::read(fds[0], table, sizeof table) == static_cast<ssize_t>(sizeof table);
    libc::close(fds[0]);
    libc::close(fds[1]);
    if (!ok)
        return -EFAULT;
    memcpy(qtable_[which], table, sizeof table);
    have_qtable_[which] = true;
    ledger_.count(which == 0 ? "dec.qtable.luma" : "dec.qtable.chroma");
    return 0;
}

int DecoderDevice::ctrl(bool set, void *arg)
{
    v4l2_control c;
    memcpy(&c, arg, sizeof c);
    std::lock_guard<std::mutex> lock(mu_);
    if (c.id == kCidQtabLuma || c.id == kCidQtabChroma) {
        if (!set)
            return -EINVAL;
        // The control value carries the table's address where addresses are
        // 32 bits wide; a wider address cannot travel in it (the program
        // uses the extended control there).
        if (sizeof(void *) > sizeof(int32_t))
            return -EINVAL;
        return set_qtable_locked(c.id, static_cast<uint32_t>(c.value));
    }
    int *slot = nullptr;
    int lo = -0x7fffffff, hi = 0x7fffffff;
    switch (c.id) {
    case kCidPrivate0: slot = &private_[0]; break;
    case kCidPrivate1: slot = &private_[1]; break;
    case kCidEntropy: slot = &entropy_, lo = 0, hi = 1; break;
    case kCidSubsampling: slot = &subsampling_, lo = 0, hi = 5; break;
    default: return -EINVAL;
    }
    if (set) {
        if (c.value < lo || c.value > hi)
            return -ERANGE;
        *slot = c.value;
        char key[32];
        snprintf(key, sizeof key, "dec.ctrl.0x%08x", c.id);
        ledger_.set(key, c.value);
        ledger_.count("dec.ctrl.set");
    }
    c.value = *slot;
    memcpy(arg, &c, sizeof c);
    return 0;
}

int DecoderDevice::ext_ctrls(void *arg)
{
#if defined(KEP_CAMERA_ABI) || UINTPTR_MAX <= 0xFFFFFFFFu
    (void)arg;
    return -ENOTTY; // the camera kernel takes the table addresses as plain controls
#else
    v4l2_ext_controls cs;
    memcpy(&cs, arg, sizeof cs);
    if (cs.count == 0 || cs.count > 16 || cs.controls == nullptr)
        return -EINVAL;
    for (uint32_t i = 0; i < cs.count; ++i) {
        v4l2_ext_control c;
        memcpy(&c, &cs.controls[i], sizeof c);
        int r;
        if (c.id == kCidQtabLuma || c.id == kCidQtabChroma) {
            std::lock_guard<std::mutex> lock(mu_);
            r = c.size == 64 ? set_qtable_locked(c.id, reinterpret_cast<uintptr_t>(c.ptr)) : -EINVAL;
        } else {
            v4l2_control one = {c.id, c.value};
            r = ctrl(true, &one);
        }
        if (r != 0) {
            cs.error_idx = i;
            memcpy(arg, &cs, sizeof cs);
            return r;
        }
    }
    return 0;
#endif
}

int DecoderDevice::parm(bool set, unsigned long request, void *arg)
{
    if (streamparm_abi(request) == Abi::none)
        return -ENOTTY;
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
        ledger_.set(p.type == kCapture ? "dec.cap.fps" : "dec.out.fps", *fps);
    }
    memset(&p.parm, 0, sizeof p.parm);
    p.parm.output.capability = V4L2_CAP_TIMEPERFRAME;
    p.parm.output.timeperframe = cam::fract{1, *fps};
    memcpy(arg, &p, sizeof p);
    return 0;
}

uint32_t DecoderDevice::bitstream_size() const
{
    // Room for a JPEG picture at the finest quality of a busy scene.
    return static_cast<uint32_t>(page_round(static_cast<size_t>(in_w_) * in_h_ * 2 + 65536));
}

int DecoderDevice::fmt(const char *name, unsigned long request, void *arg)
{
    Abi abi = format_abi(request);
    if (abi == Abi::none)
        return -ENOTTY;
    FormatDesc f = load_format(abi, arg);
    std::lock_guard<std::mutex> lock(mu_);
    Queue *q = queue_of(f.type);
    if (q == nullptr)
        return -EINVAL;
    bool stream = q == &out_;
    unsigned w = stream ? in_w_ : out_w_, h = stream ? in_h_ : out_h_;
    uint32_t fourcc = stream ? in_fourcc_ : kS420;
    bool set = strcmp(name, "S_FMT") == 0;
    if (set || strcmp(name, "TRY_FMT") == 0) {
        w = even_clamp(f.pix.width);
        h = even_clamp(f.pix.height);
        if (stream)
            fourcc = f.pix.pixelformat == kMjpg ? kMjpg : kH264;
    }
    if (set) {
        const char *side = stream ? "dec.out." : "dec.cap.";
        ledger_.set(std::string(side) + "width", f.pix.width);
        ledger_.set(std::string(side) + "height", f.pix.height);
        ledger_.set(std::string(side) + "pixelformat", f.pix.pixelformat);
        if (q->streaming || !q->slots.empty())
            return -EBUSY;
        if (stream) {
            in_w_ = w;
            in_h_ = h;
            if (in_fourcc_ != fourcc)
                engine_stale_ = true;
            in_fourcc_ = fourcc;
        } else {
            out_w_ = w;
            out_h_ = h;
        }
    }
    memset(&f.pix, 0, sizeof f.pix);
    f.pix.width = w;
    f.pix.height = h;
    f.pix.pixelformat = fourcc;
    f.pix.field = V4L2_FIELD_NONE;
    f.pix.colorspace = V4L2_COLORSPACE_REC709;
    if (stream) {
        unsigned keep_w = in_w_, keep_h = in_h_;
        in_w_ = w, in_h_ = h;
        f.pix.sizeimage = bitstream_size();
        in_w_ = keep_w, in_h_ = keep_h;
    } else {
        f.pix.bytesperline = w;
        f.pix.sizeimage = static_cast<uint32_t>(s420_size(w, h));
    }
    store_format(abi, f, arg);
    return 0;
}

void DecoderDevice::release_queue_locked(Queue &q)
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

int DecoderDevice::reqbufs(void *arg)
{
    v4l2_requestbuffers rb;
    memcpy(&rb, arg, sizeof rb);
    std::lock_guard<std::mutex> lock(mu_);
    Queue *q = queue_of(rb.type);
    if (q == nullptr)
        return -EINVAL;
    const char *side = q == &cap_ ? "dec.cap." : "dec.out.";
    ledger_.set(std::string(side) + "REQBUFS.count", rb.count);
    ledger_.set(std::string(side) + "REQBUFS.memory", rb.memory);
    if (rb.memory != V4L2_MEMORY_MMAP)
        return -EINVAL;
    if (q->streaming)
        return -EBUSY;
    release_queue_locked(*q);
    unsigned granted = 0;
    if (rb.count > 0) {
        int forced = q == &cap_ && options_.dec_cap_grant >= 0 ? options_.dec_cap_grant : options_.dec_grant;
        granted = forced >= 0 ? static_cast<unsigned>(forced) : (rb.count > kMaxBuffers ? kMaxBuffers : rb.count);
    }
    q->buffer_size = q == &cap_ ? static_cast<uint32_t>(s420_size(out_w_, out_h_)) : bitstream_size();
    if (granted > 0) {
        q->stride = page_round(q->buffer_size);
        q->pool_len = q->stride * granted;
        if (q->pool_len > kQueueSpan)
            return -ENOMEM;
        q->pool_fd = memfd_create(q == &cap_ ? "vcam-dec-picture" : "vcam-dec-bitstream", MFD_CLOEXEC);
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
        q->memory = rb.memory;
        q->slots.assign(granted, Slot{});
    }
    ledger_.set(std::string(side) + "REQBUFS.granted", granted);
    rb.count = granted;
    memcpy(arg, &rb, sizeof rb);
    return 0;
}

int DecoderDevice::querybuf(unsigned long request, void *arg)
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
    out.flags = (s.queued ? V4L2_BUF_FLAG_QUEUED : 0u) | (s.done ? V4L2_BUF_FLAG_DONE : 0u) | V4L2_BUF_FLAG_MAPPED;
    out.addr = q->offset_base + d.index * q->stride;
    out.length = q->buffer_size;
    store_buffer(abi, out, arg);
    return 0;
}

int DecoderDevice::qbuf(unsigned long request, void *arg)
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
    if (q == &out_) {
        if (d.bytesused > q->buffer_size)
            return -EINVAL;
        if (ledger_.take_dec_refuse()) {
            ledger_.count("dec.refused");
            return -EBUSY;
        }
        s.bytesused = d.bytesused;
    }
    s.queued = true;
    q->queued.push_back(d.index);
    run_jobs_locked();
    return 0;
}

int DecoderDevice::dqbuf(unsigned long request, void *arg, bool nonblock)
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
    if (ledger_.take_eagain())
        return -EAGAIN;
    // Decoding happens inside the requests, so nothing done now means nothing
    // will be done while the program waits: EIO (EAGAIN on a non-blocking
    // descriptor) rather than blocking for ever.
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
    out.addr = q->offset_base + index * q->stride;
    out.length = q->buffer_size;
    if (q == &cap_) {
        ledger_.count("dec.frames");
        if (ledger_.take_dec_bad_index())
            out.index = static_cast<uint32_t>(q->slots.size());
    }
    update_readable_locked();
    store_buffer(abi, out, arg);
    return 0;
}

int DecoderDevice::stream(bool on, void *arg)
{
    uint32_t type = 0;
    memcpy(&type, arg, sizeof type);
    std::lock_guard<std::mutex> lock(mu_);
    Queue *q = queue_of(type);
    if (q == nullptr)
        return -EINVAL;
    if (on) {
        q->streaming = true;
        run_jobs_locked();
        return 0;
    }
    q->streaming = false;
    // Streaming off hands every buffer back to the program; a new stream
    // starts the decoder afresh.
    for (Slot &s : q->slots)
        s.queued = s.done = false;
    q->queued.clear();
    q->done.clear();
    if (q == &out_) {
        engine_stale_ = true;
        for (int &p : pps_cabac_)
            p = -1;
        have_qtable_[0] = have_qtable_[1] = false;
    }
    update_readable_locked();
    return 0;
}

void DecoderDevice::update_readable_locked()
{
    // Readable while any buffer can be dequeued: the library's wait must end
    // after a frame that gave no picture too.
    set_readable(!cap_.done.empty() || !out_.done.empty());
}

void DecoderDevice::run_jobs_locked()
{
    while (out_.streaming && cap_.streaming && !out_.queued.empty() && !cap_.queued.empty()) {
        unsigned o = out_.queued.front();
        out_.queued.pop_front();
        decode_one_locked(o, cap_.queued.front());
    }
    update_readable_locked();
}

bool DecoderDevice::h264_entropy_matches_locked(const uint8_t *data, size_t n)
{
    bool matches = true;
    size_t i = 0;
    while (i + 3 < n) {
        if (!(data[i] == 0 && data[i + 1] == 0 && data[i + 2] == 1)) {
            ++i;
            continue;
        }
        size_t nal = i + 3;
        size_t end = nal;
        while (end + 2 < n && !(data[end] == 0 && data[end + 1] == 0 && (data[end + 2] == 1 || data[end + 2] == 0)))
            ++end;
        if (end + 2 >= n)
            end = n;
        unsigned type = data[nal] & 0x1F;
        NalBits b{data + nal + 1, data + end};
        if (type == 8) {
            unsigned pps = b.ue();
            b.ue(); // seq_parameter_set_id
            unsigned cabac = b.get();
            if (pps < 256)
                pps_cabac_[pps] = static_cast<int>(cabac);
        } else if (type == 1 || type == 5) {
            b.ue(); // first_mb_in_slice
            b.ue(); // slice_type
            unsigned pps = b.ue();
            // The hardware decodes every slice with the mode it was told.
            if (pps < 256 && pps_cabac_[pps] >= 0 && pps_cabac_[pps] != entropy_)
                matches = false;
        }
        i = end;
    }
    return matches;
}

int DecoderDevice::decode_frame_locked(const uint8_t *data, size_t n, uint8_t *dst)
{
    if (engine_stale_ || !engine_) {
        engine_ = make_dec_engine(in_fourcc_);
        engine_stale_ = false;
    }
    if (!engine_ || n == 0)
        return -1;
    DecodedPicture pic;
    int r;
    if (in_fourcc_ == kH264) {
        if (!h264_entropy_matches_locked(data, n)) {
            ledger_.count("dec.entropy_mismatch");
            return -1;
        }
        r = engine_->decode(data, n, in_w_, in_h_, &pic);
    } else {
        // Only what the controls said reaches the picture. A stream that
        // defines table 0 alone codes every component with it, and then no
        // chroma table ever arrives.
        if (!have_qtable_[0]) {
            ledger_.count("dec.no_qtable");
            return -1;
        }
        JpegParams p;
        p.width = in_w_;
        p.height = in_h_;
        p.subsampling = subsampling_;
        memcpy(p.qtable[0], qtable_[0], 64);
        memcpy(p.qtable[1], qtable_[have_qtable_[1] ? 1 : 0], 64);
        if (!rebuild_jpeg(p, data, n, jpeg_))
            return -1;
        r = engine_->decode(jpeg_.data(), jpeg_.size(), in_w_, in_h_, &pic);
    }
    if (r <= 0)
        return r;
    if (pic.width < 2 || pic.height < 2 || pic.chroma_width == 0 || pic.chroma_height == 0)
        return -1;
    uint8_t *y = dst, *u = y + static_cast<size_t>(out_w_) * out_h_, *v = u + static_cast<size_t>(out_w_ / 2) * (out_h_ / 2);
    resample(pic.plane[0], pic.stride[0], pic.width, pic.height, y, out_w_, out_h_);
    resample(pic.plane[1], pic.stride[1], pic.chroma_width, pic.chroma_height, u, out_w_ / 2, out_h_ / 2);
    resample(pic.plane[2], pic.stride[2], pic.chroma_width, pic.chroma_height, v, out_w_ / 2, out_h_ / 2);
    return 1;
}

void DecoderDevice::decode_one_locked(unsigned out_index, unsigned cap_index)
{
    Slot &os = out_.slots[out_index];
    os.queued = false;
    const uint8_t *data = out_.pool + static_cast<size_t>(out_index) * out_.stride;
    uint8_t *dst = cap_.pool + static_cast<size_t>(cap_index) * cap_.stride;
    int r = decode_frame_locked(data, os.bytesused, dst);
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    os.done = true;
    os.flags = 0;
    os.stamp = now;
    out_.done.push_back(out_index);
    if (r == 0) {
        // No picture for this frame: the picture buffer stays queued.
        ledger_.count("dec.nopicture");
        return;
    }
    cap_.queued.pop_front();
    Slot &cs = cap_.slots[cap_index];
    cs.queued = false;
    cs.done = true;
    cs.stamp = now;
    cs.sequence = sequence_++;
    if (r < 0) {
        cs.bytesused = 0;
        cs.flags = kFlagError;
        ledger_.count("dec.errors");
    } else {
        cs.bytesused = static_cast<uint32_t>(s420_size(out_w_, out_h_));
        cs.flags = in_fourcc_ == kMjpg ? kFlagKey : 0;
        ledger_.count("dec.decoded");
    }
    cap_.done.push_back(cap_index);
}

bool DecoderDevice::lends(uint64_t addr, uint64_t len, bool mapped, uint64_t offset)
{
    (void)addr;
    std::lock_guard<std::mutex> lock(mu_);
    if (!mapped || cap_.memory != V4L2_MEMORY_MMAP || cap_.stride == 0 || offset >= kOutputBase ||
        offset % cap_.stride != 0 || offset / cap_.stride >= cap_.slots.size() || len > cap_.buffer_size)
        return false;
    const Slot &s = cap_.slots[offset / cap_.stride];
    return !s.queued && !s.done;
}

void *DecoderDevice::mmap(size_t len, int prot, int flags, off_t offset, int *err)
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
    void *p = libc::mmap(nullptr, len, prot, flags & ~MAP_FIXED, q->pool_fd, static_cast<off_t>(off - q->offset_base));
    if (p == MAP_FAILED) {
        *err = errno;
        return nullptr;
    }
    return p;
}

void DecoderDevice::shutdown()
{
    std::lock_guard<std::mutex> lock(mu_);
    out_.streaming = cap_.streaming = false;
    release_queue_locked(out_);
    release_queue_locked(cap_);
    engine_.reset();
}

} // namespace vcam
