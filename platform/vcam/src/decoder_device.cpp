#include "decoder_device.h"

#include "buffer_math.h"
#include "libc.h"
#include "user_memory.h"
#include "scene.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

namespace vcam {

namespace {

constexpr uint32_t kCidPrivate0 = 0x00981900, kCidPrivate1 = 0x00981901;
constexpr uint32_t kCidQtabLuma = 0x00981905, kCidQtabChroma = 0x00981906;
constexpr uint32_t kCidEntropy = 0x00990A65, kCidSubsampling = 0x009D0901;

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
    : M2MDevice(ledger, options, std::move(path), false, "dec")
{
    readable_on_output_ = true;
    memset(qtable_, 0, sizeof qtable_);
    for (int &p : pps_cabac_)
        p = -1;
    ControlDef c;
    c.id = V4L2_CID_MIN_BUFFERS_FOR_CAPTURE;
    c.name = "Min Number of Capture Buffers";
    c.minimum = c.def = 1; // a frame decodes into the picture buffer queued first
    c.maximum = 32;
    c.flags = V4L2_CTRL_FLAG_READ_ONLY;
    controls_.add(c);
    c.flags = 0;
    c.minimum = INT32_MIN, c.maximum = INT32_MAX, c.def = 0; // the driver's private settings: any value
    c.id = kCidPrivate0, c.name = "Private Control 0";
    controls_.add(c);
    c.id = kCidPrivate1, c.name = "Private Control 1";
    controls_.add(c);
    // The MJPEG quantisation tables: 64 bytes each, which the hardware
    // fetches when the control is set.
    ControlDef table;
    table.type = V4L2_CTRL_TYPE_U8;
    table.maximum = 255;
    table.elems = 64;
    table.id = kCidQtabLuma, table.name = "Luma Quantization Table";
    controls_.add(table);
    table.id = kCidQtabChroma, table.name = "Chroma Quantization Table";
    controls_.add(table);
    ControlDef menu;
    menu.type = V4L2_CTRL_TYPE_MENU;
    menu.id = kCidEntropy, menu.name = "H264 Entropy Mode", menu.maximum = 1, menu.def = entropy_;
    menu.menu = {"CAVLC", "CABAC"};
    controls_.add(menu);
    menu.id = kCidSubsampling, menu.name = "Chroma Subsampling", menu.maximum = 5, menu.def = subsampling_;
    menu.menu = {"4:4:4", "4:2:2", "4:2:0", "4:1:1", "4:1:0", "Gray"};
    controls_.add(menu);
    controls_.on_apply([this](uint32_t id, int64_t value, const std::vector<uint8_t> &payload) {
        return apply_control_locked(id, static_cast<int>(value), payload);
    });
}

DecoderDevice::~DecoderDevice() = default;

int DecoderDevice::control_request_locked(const char *name, void *arg)
{
    v4l2_control c;
    memcpy(&c, arg, sizeof c);
    // The camera's way: the control value carries the table's address where
    // addresses are 32 bits wide. A wider address cannot travel in it (the
    // program uses the extended control there, the framework's way).
    if (sizeof(void *) <= sizeof(int32_t) && !strcmp(name, "S_CTRL") && (c.id == kCidQtabLuma || c.id == kCidQtabChroma))
        return read_qtable_locked(c.id, reinterpret_cast<const void *>(static_cast<uintptr_t>(static_cast<uint32_t>(c.value))));
    return controls_.request(name, arg);
}

// The table's 64 bytes are read from the program's memory at once, as the
// hardware would fetch them; an address the program cannot read is refused.
int DecoderDevice::read_qtable_locked(uint32_t id, const void *addr)
{
    uint8_t table[64];
    if (copy_user(table, addr, sizeof table) != 0)
        return -EFAULT;
    return take_qtable_locked(id, table);
}

int DecoderDevice::take_qtable_locked(uint32_t id, const uint8_t *table)
{
    int which = id == kCidQtabLuma ? 0 : 1;
    memcpy(qtable_[which], table, sizeof qtable_[which]);
    have_qtable_[which] = true;
    ledger_.count(which == 0 ? "dec.qtable.luma" : "dec.qtable.chroma");
    return 0;
}

int DecoderDevice::apply_control_locked(uint32_t id, int value, const std::vector<uint8_t> &payload)
{
    if (id == kCidQtabLuma || id == kCidQtabChroma)
        return payload.size() == 64 ? take_qtable_locked(id, payload.data()) : -EINVAL;
    int *slot = nullptr;
    switch (id) {
    case kCidPrivate0: slot = &private_[0]; break;
    case kCidPrivate1: slot = &private_[1]; break;
    case kCidEntropy: slot = &entropy_; break;
    case kCidSubsampling: slot = &subsampling_; break;
    default: return 0;
    }
    *slot = value;
    char key[32];
    snprintf(key, sizeof key, "dec.ctrl.0x%08x", id);
    ledger_.set(key, value);
    ledger_.count("dec.ctrl.set");
    return 0;
}

int DecoderDevice::forced_grant(const Queue &q) const
{
    return &q == &cap_ && options_.dec_cap_grant >= 0 ? options_.dec_cap_grant : options_.dec_grant;
}

int DecoderDevice::accept_locked(Queue &q, unsigned index, const BufferDesc &d)
{
    (void)index, (void)d;
    if (&q == &out_ && ledger_.take_dec_refuse()) {
        ledger_.count("dec.refused");
        return -EBUSY;
    }
    return 0;
}

void DecoderDevice::format_set_locked(Queue &q, uint32_t was)
{
    if (&q == &out_ && was != stream_fourcc_)
        engine_stale_ = true;
}

void DecoderDevice::stream_stopped_locked(Queue &q)
{
    if (&q == &out_) {
        engine_stale_ = true;
        for (int &p : pps_cabac_)
            p = -1;
    }
}

void DecoderDevice::run_jobs_locked()
{
    while (out_.streaming() && cap_.streaming() && out_.first_queued() >= 0 && cap_.first_queued() >= 0) {
        unsigned o = out_.take_queued();
        decode_one_locked(o, static_cast<unsigned>(cap_.first_queued()));
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
        engine_ = make_dec_engine(stream_fourcc_, kMaxSide, options_.plain_codec);
        engine_stale_ = false;
    }
    if (!engine_ || n == 0)
        return -1;
    DecodedPicture pic;
    int r;
    if (stream_fourcc_ == kH264) {
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
    BufferQueue::Buffer &os = out_.buffer(out_index);
    uint32_t used = os.bytesused < os.length ? os.bytesused : os.length;
    int r = decode_frame_locked(os.mem, used, cap_.data(cap_index));
    out_.complete(out_index, false);
    if (r == 0) {
        // No picture for this frame: the picture buffer stays queued.
        ledger_.count("dec.nopicture");
        return;
    }
    cap_.take_queued();
    BufferQueue::Buffer &cs = cap_.buffer(cap_index);
    // The picture carries the frame's timestamp, as M2M nodes do.
    cs.stamp = os.stamp;
    if (r < 0) {
        cs.bytesused = 0;
        cs.flags = kFlagError;
        ledger_.count("dec.errors");
    } else {
        cs.bytesused = static_cast<uint32_t>(s420_size(out_w_, out_h_));
        cs.flags = stream_fourcc_ == kMjpg ? kFlagKey : 0;
        ledger_.count("dec.decoded");
    }
    cs.flags |= os.qflags & (V4L2_BUF_FLAG_TIMECODE | V4L2_BUF_FLAG_TSTAMP_SRC_MASK);
    cap_.complete(cap_index, false);
}

LendResult DecoderDevice::lend(uint64_t addr, uint64_t len, bool mapped, uint64_t offset,
                               const std::string &borrower, Loan *loan)
{
    // Only its pictures, read where the program mapped them.
    if (!mapped)
        return LendResult::foreign;
    std::lock_guard<std::mutex> lock(mu_);
    return cap_.lend(addr, len, true, offset, borrower, weak_from_this(), loan);
}

void DecoderDevice::give_back(const Loan &loan)
{
    std::lock_guard<std::mutex> lock(mu_);
    cap_.give_back(loan.index, loan.generation);
}

bool DecoderDevice::still_lent(const Loan &loan)
{
    std::lock_guard<std::mutex> lock(mu_);
    return cap_.still_lent(loan.index, loan.generation);
}

} // namespace vcam
