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

// How far one queue's mmap offsets reach.
constexpr uint64_t kQueueSpan = 0x38000000;

// Room for a JPEG picture at the finest quality of a busy scene.
uint32_t bitstream_size(unsigned w, unsigned h)
{
    return static_cast<uint32_t>(page_round(static_cast<size_t>(w) * h * 2 + 65536));
}

} // namespace

BufferQueue::Config M2MDevice::queue_config(bool output, bool pictures_in, const char *kind)
{
    BufferQueue::Config c;
    c.type = output ? kOutput : kCapture;
    c.userptr = output && pictures_in; // the encoder reads other nodes' pictures in place
    // A decoder takes an empty bit-stream buffer as it is, as codec drivers do.
    c.zero_bytesused = output && !pictures_in;
    c.ts_copy = true;
    c.offset_base = output ? kOutputBase : 0;
    c.offset_span = kQueueSpan;
    bool pictures = output == pictures_in;
    c.pool_name = pictures ? (kind[0] == 'e' ? "vcam-enc-picture" : "vcam-dec-picture")
                           : (kind[0] == 'e' ? "vcam-enc-bitstream" : "vcam-dec-bitstream");
    return c;
}

M2MDevice::M2MDevice(Ledger &ledger, const Options &options, std::string path, bool pictures_in, const char *kind)
    : Device(ledger, options, path), pictures_in_(pictures_in),
      out_(ledger, queue_config(true, pictures_in, kind), std::string(kind) + ".out " + path),
      cap_(ledger, queue_config(false, pictures_in, kind), std::string(kind) + ".cap " + path)
{
    in_fps_ = out_fps_ = options.fps;
    // A control the program changes is an event for its own subscriptions.
    controls_.on_changed([this](uint32_t id, const v4l2_event_ctrl &ev) {
        events_.raise(V4L2_EVENT_CTRL, id, &ev, sizeof ev, true);
    });
}

M2MDevice::~M2MDevice()
{
    std::lock_guard<std::mutex> lock(mu_);
    out_.release();
    cap_.release();
}

std::string M2MDevice::side(const Queue &q) const
{
    return std::string(kind()) + (&q == &cap_ ? ".cap." : ".out.");
}

uint32_t M2MDevice::buffer_size(const Queue &q) const
{
    unsigned w = &q == &out_ ? in_w_ : out_w_, h = &q == &out_ ? in_h_ : out_h_;
    return carries_pictures(q) ? static_cast<uint32_t>(s420_size(w, h)) : bitstream_size(w, h);
}

std::string M2MDevice::fault_scope(const char *name, const void *arg) const
{
    if (arg == nullptr)
        return kind();
    size_t at = 0;
    if (!strcmp(name, "QBUF") || !strcmp(name, "DQBUF") || !strcmp(name, "QUERYBUF") || !strcmp(name, "REQBUFS"))
        at = 4; // after the index or count
    else if (!strcmp(name, "CREATE_BUFS"))
        at = 12; // the format's type, after index, count and memory
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
        return fill_capability(arg, V4L2_CAP_VIDEO_M2M | V4L2_CAP_STREAMING);
    if (n == "S_PARM" || n == "G_PARM")
        return parm(n == "S_PARM", request, arg);
    if (n == "S_FMT" || n == "G_FMT" || n == "TRY_FMT")
        return fmt(name, request, arg);
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
    int r = setup_request(name, arg);
    return r == -ENOTTY ? other_ioctl(name, arg) : r;
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
    uint32_t fourcc = carries_pictures(*q) ? kS420 : stream_fourcc_;
    bool set = strcmp(name, "S_FMT") == 0;
    if (set || strcmp(name, "TRY_FMT") == 0) {
        // Like a driver, adjust what cannot be done rather than refuse it.
        w = even_clamp(f.pix.width, kMinSide, kMaxSide);
        h = even_clamp(f.pix.height, kMinSide, kMaxSide);
        if (!carries_pictures(*q))
            fourcc = f.pix.pixelformat == kMjpg ? kMjpg : kH264;
    }
    // The output queue's colour description goes to both queues; a value
    // outside the kernel's lists keeps what there was.
    uint32_t cs = colorspace_, xfer = xfer_func_, ycbcr = ycbcr_enc_, quant = quantization_;
    if (q == &out_ && (set || strcmp(name, "TRY_FMT") == 0) && f.pix.colorspace != V4L2_COLORSPACE_DEFAULT &&
        f.pix.colorspace <= V4L2_COLORSPACE_DCI_P3) {
        cs = f.pix.colorspace;
        xfer = f.pix.xfer_func <= V4L2_XFER_FUNC_SMPTE2084 ? f.pix.xfer_func : 0;
        ycbcr = f.pix.ycbcr_enc <= V4L2_YCBCR_ENC_SMPTE240M ? f.pix.ycbcr_enc : 0;
        quant = f.pix.quantization <= V4L2_QUANTIZATION_LIM_RANGE ? f.pix.quantization : 0;
    }
    if (set) {
        ledger_.set(side(*q) + "width", f.pix.width);
        ledger_.set(side(*q) + "height", f.pix.height);
        ledger_.set(side(*q) + "pixelformat", f.pix.pixelformat);
        if (q->streaming() || q->count() > 0)
            return -EBUSY;
        uint32_t was = stream_fourcc_;
        qw = w;
        qh = h;
        if (!carries_pictures(*q))
            stream_fourcc_ = fourcc;
        if (q == &out_) {
            colorspace_ = cs, xfer_func_ = xfer, ycbcr_enc_ = ycbcr, quantization_ = quant;
            // The pictures' size is where the other queue's starts from (an
            // encoder codes at it unless told to scale, a decoder's stream
            // decodes to it).
            if (cap_.count() == 0 && !cap_.streaming())
                out_w_ = w, out_h_ = h;
        }
        format_set_locked(*q, was);
    }
    memset(&f.pix, 0, sizeof f.pix);
    f.pix.width = w;
    f.pix.height = h;
    f.pix.pixelformat = fourcc;
    f.pix.field = V4L2_FIELD_NONE;
    f.pix.colorspace = cs;
    f.pix.xfer_func = xfer;
    f.pix.ycbcr_enc = ycbcr;
    f.pix.quantization = quant;
    f.pix.priv = V4L2_PIX_FMT_PRIV_MAGIC;
    if (carries_pictures(*q)) {
        f.pix.bytesperline = w;
        f.pix.sizeimage = static_cast<uint32_t>(s420_size(w, h));
    } else {
        f.pix.sizeimage = bitstream_size(w, h);
    }
    store_format(abi, f, arg);
    return 0;
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
    unsigned count = rb.count;
    int r = q->reqbufs(rb.memory, &count, forced_grant(*q), buffer_size(*q));
    if (r != 0)
        return r;
    update_readable_locked();
    ledger_.set(key + "REQBUFS.granted", count);
    rb.count = count;
    rb.capabilities = q->capabilities();
    rb.flags = 0;
    memset(rb.reserved, 0, sizeof rb.reserved);
    memcpy(arg, &rb, sizeof rb);
    return 0;
}

int M2MDevice::create_bufs(void *arg)
{
    v4l2_create_buffers cb;
    memcpy(&cb, arg, sizeof cb);
    std::lock_guard<std::mutex> lock(mu_);
    Queue *q = queue_of(cb.format.type);
    if (q == nullptr)
        return -EINVAL;
    unsigned count = cb.count, index = 0;
    int r = q->create_bufs(cb.memory, &count, forced_grant(*q), cb.format.fmt.pix.sizeimage, buffer_size(*q), &index);
    if (r != 0)
        return r;
    cb.index = index;
    cb.count = count;
    cb.capabilities = q->capabilities();
    cb.flags = 0;
    memset(cb.reserved, 0, sizeof cb.reserved);
    memcpy(arg, &cb, sizeof cb);
    return 0;
}

int M2MDevice::querybuf(unsigned long request, void *arg)
{
    BufferDesc d, out;
    Abi abi = load_counted_buffer(request, arg, &d);
    if (abi == Abi::none)
        return -ENOTTY;
    std::lock_guard<std::mutex> lock(mu_);
    Queue *q = queue_of(d.type);
    if (q == nullptr)
        return -EINVAL;
    int r = q->querybuf(d, &out);
    if (r == 0)
        store_buffer(abi, out, arg);
    return r;
}

int M2MDevice::qbuf(unsigned long request, void *arg)
{
    BufferDesc d, out;
    Abi abi = load_counted_buffer(request, arg, &d);
    if (abi == Abi::none)
        return -ENOTTY;
    std::lock_guard<std::mutex> lock(mu_);
    Queue *q = queue_of(d.type);
    if (q == nullptr)
        return -EINVAL;
    int r = q->check_qbuf(d, buffer_size(*q));
    if (r == 0)
        r = accept_locked(*q, d.index, d);
    if (r != 0)
        return r;
    q->enqueue(d, &out);
    store_buffer(abi, out, arg);
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
    if (q == nullptr || !q->streaming())
        return -EINVAL;
    q->tick_dequeue();
    if (take_eagain_locked())
        return -EAGAIN;
    // Jobs run inside the requests, so nothing done now means nothing will be
    // done while the program waits: the codec driver says EIO then (EAGAIN on
    // a non-blocking descriptor) rather than blocking for ever.
    BufferDesc out;
    if (q->dequeue(&out) != 0)
        return nonblock ? -EAGAIN : -EIO;
    if (q == &cap_) {
        ledger_.count(std::string(kind()) + ".frames");
        if (take_bad_index_locked())
            out.index = q->count();
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
        bool was = q->streaming();
        int r = q->streamon();
        if (r != 0)
            return r;
        if (!was)
            stream_started_locked(*q);
        run_jobs_locked();
        return 0;
    }
    // Streaming off hands every buffer back to the program.
    q->streamoff();
    stream_stopped_locked(*q);
    update_readable_locked();
    return 0;
}

void M2MDevice::update_readable_locked()
{
    set_readable(cap_.has_done() || (readable_on_output_ && out_.has_done()));
}

M2MDevice::Queue *M2MDevice::queue_at(uint64_t offset)
{
    if (out_.owns_offset(offset))
        return &out_;
    if (cap_.owns_offset(offset))
        return &cap_;
    return nullptr;
}

void *M2MDevice::mmap(size_t len, int prot, int flags, off_t offset, int *err)
{
    std::lock_guard<std::mutex> lock(mu_);
    Queue *q = offset < 0 ? nullptr : queue_at(static_cast<uint64_t>(offset));
    if (q == nullptr) {
        *err = EINVAL;
        return nullptr;
    }
    return q->map(len, prot, flags, static_cast<uint64_t>(offset), err);
}

void M2MDevice::unmapped(uint64_t offset, bool refused)
{
    std::lock_guard<std::mutex> lock(mu_);
    if (Queue *q = queue_at(offset))
        q->unmapped(offset, refused);
}

void M2MDevice::unmap_refused(uint64_t offset)
{
    std::lock_guard<std::mutex> lock(mu_);
    if (Queue *q = queue_at(offset))
        q->unmap_refused(offset);
}

std::string M2MDevice::buffer_label(uint64_t offset)
{
    std::lock_guard<std::mutex> lock(mu_);
    Queue *q = queue_at(offset);
    if (q == nullptr)
        return std::string(kind()) + " " + path();
    int i = q->index_at(offset);
    return q->label() + (i >= 0 ? " buffer " + std::to_string(i) : std::string());
}

void M2MDevice::shutdown()
{
    std::lock_guard<std::mutex> lock(mu_);
    out_.check_close();
    cap_.check_close();
    out_.streamoff();
    cap_.streamoff();
    out_.release();
    cap_.release();
    update_readable_locked();
    shutdown_locked();
}

} // namespace vcam
