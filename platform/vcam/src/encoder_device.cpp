#include "encoder_device.h"

#include "buffer_math.h"
#include "platform.h"
#include "stamp_snapshot.h"

#include <errno.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <time.h>

namespace vcam {

namespace {

constexpr uint32_t kCidPrivate0 = 0x00981900, kCidPrivate1 = 0x00981901, kCidPrivate2 = 0x00981902;
constexpr uint32_t kCidIQp = 0x00990A5E, kCidPQp = 0x00990A5F, kCidEntropy = 0x00990A65, kCidIPeriod = 0x00990A66;
constexpr uint32_t kCidJpegQuality = 0x009D0903;

} // namespace

EncoderDevice::EncoderDevice(Ledger &ledger, const Options &options, std::string path)
    : M2MDevice(ledger, options, std::move(path), true, "enc")
{
    ControlDef c;
    c.id = V4L2_CID_MIN_BUFFERS_FOR_OUTPUT;
    c.name = "Min Number of Output Buffers";
    c.minimum = c.def = 1; // a picture is coded as soon as it is queued
    c.maximum = 32;
    c.flags = V4L2_CTRL_FLAG_READ_ONLY;
    controls_.add(c);
    c.flags = 0;
    c.minimum = INT32_MIN, c.maximum = INT32_MAX, c.def = 0; // the driver's private settings: any value
    for (uint32_t id : {kCidPrivate0, kCidPrivate1, kCidPrivate2}) {
        c.id = id;
        c.name = id == kCidPrivate0 ? "Private Control 0" : id == kCidPrivate1 ? "Private Control 1" : "Private Control 2";
        controls_.add(c);
    }
    c.minimum = 0, c.maximum = 51;
    c.id = kCidIQp, c.name = "H264 I-Frame QP Value", c.def = qp_i_;
    controls_.add(c);
    c.id = kCidPQp, c.name = "H264 P-Frame QP Value", c.def = qp_p_;
    controls_.add(c);
    c.id = kCidIPeriod, c.name = "H264 I-Frame Period", c.maximum = INT32_MAX, c.def = gop_;
    controls_.add(c);
    c.id = kCidJpegQuality, c.name = "Compression Quality", c.minimum = 1, c.maximum = 100, c.def = quality_;
    controls_.add(c);
    ControlDef menu;
    menu.id = kCidEntropy;
    menu.type = V4L2_CTRL_TYPE_MENU;
    menu.name = "H264 Entropy Mode";
    menu.maximum = 1;
    menu.def = entropy_;
    menu.menu = {"CAVLC", "CABAC"};
    controls_.add(menu);
    controls_.on_apply([this](uint32_t id, int64_t value, const std::vector<uint8_t> &) {
        return apply_control_locked(id, static_cast<int>(value));
    });
}

EncoderDevice::~EncoderDevice() = default;

int EncoderDevice::apply_control_locked(uint32_t id, int value)
{
    int *slot = nullptr;
    bool recode = false; // the coder must be made again
    switch (id) {
    case kCidPrivate0: slot = &private_[0]; break;
    case kCidPrivate1: slot = &private_[1]; break;
    case kCidPrivate2: slot = &private_[2]; break;
    case kCidIQp: slot = &qp_i_, recode = true; break;
    case kCidPQp: slot = &qp_p_, recode = true; break;
    case kCidEntropy: slot = &entropy_; break;
    case kCidIPeriod: slot = &gop_; break;
    case kCidJpegQuality: slot = &quality_, recode = true; break;
    default: return 0;
    }
    if (*slot != value && recode)
        coder_stale_ = true;
    *slot = value;
    char key[32];
    snprintf(key, sizeof key, "enc.ctrl.0x%08x", id);
    ledger_.set(key, value);
    return 0;
}

int EncoderDevice::forced_grant(const Queue &q) const
{
    (void)q;
    return options_.enc_grant;
}

int EncoderDevice::accept_locked(Queue &q, unsigned index, const BufferDesc &d)
{
    if (&q != &out_ || q.memory() != V4L2_MEMORY_USERPTR)
        return 0;
    // The picture is read in place: it must be a whole picture that another
    // node lends out right now (an ISP or decoder buffer the program holds).
    Loan loan;
    std::string borrower = q.label() + " buffer " + std::to_string(index);
    LendResult r = Platform::get().borrow(d.addr, d.length, borrower, &loan);
    if (r == LendResult::lent) {
        q.buffer(index).loan = loan;
        return 0;
    }
    ledger_.count("enc.foreign");
    if (r == LendResult::not_held)
        q.violation("lend_not_held", static_cast<int>(index), "QBUF",
                    "lends " + loan.owner + ", which the program does not hold", loan.held_by);
    return -EINVAL;
}

bool EncoderDevice::take_bad_index_locked()
{
    return ledger_.take_enc_bad_index();
}

void EncoderDevice::format_set_locked(Queue &q, uint32_t was)
{
    (void)was;
    if (&q == &cap_)
        coder_stale_ = true;
}

void EncoderDevice::fps_set_locked(Queue &q)
{
    if (&q == &cap_)
        coder_stale_ = true;
}

void EncoderDevice::stream_started_locked(Queue &q)
{
    // A new stream starts with a key frame so that it can be decoded from its
    // first frame.
    if (&q == &cap_) {
        key_next_ = true;
        since_key_ = 0;
    }
}

void EncoderDevice::run_jobs_locked()
{
    bool needs_picture = out_.memory() != 0;
    while (cap_.streaming() && cap_.first_queued() >= 0 &&
           (!needs_picture || (out_.streaming() && out_.first_queued() >= 0))) {
        unsigned c = cap_.take_queued();
        int o = needs_picture ? static_cast<int>(out_.take_queued()) : -1;
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
        scene_.render(scaled_.data(), frames_, options_.still);
        return scaled_.data();
    }
    const BufferQueue::Buffer &b = out_.buffer(static_cast<unsigned>(out_index));
    const uint8_t *src = nullptr;
    if (out_.memory() == V4L2_MEMORY_MMAP) {
        src = b.mem;
    } else {
        // Checked again now: the program may have given the buffer back to
        // its owner since it queued it here.
        std::shared_ptr<Device> lender = b.loan.lender.lock();
        if (!lender || !lender->still_lent(b.loan))
            return nullptr;
        src = reinterpret_cast<const uint8_t *>(static_cast<uintptr_t>(b.userptr));
    }
    if (in_w_ == out_w_ && in_h_ == out_h_)
        return src;
    scaled_.resize(coded);
    const uint8_t *sy = src, *su = sy + static_cast<size_t>(in_w_) * in_h_,
                  *sv = su + static_cast<size_t>(in_w_ / 2) * (in_h_ / 2);
    uint8_t *dy = scaled_.data(), *du = dy + static_cast<size_t>(out_w_) * out_h_,
            *dv = du + static_cast<size_t>(out_w_ / 2) * (out_h_ / 2);
    int cw = static_cast<int>(in_w_ / 2);
    resample(sy, static_cast<int>(in_w_), in_w_, in_h_, dy, out_w_, out_h_);
    resample(su, cw, in_w_ / 2, in_h_ / 2, du, out_w_ / 2, out_h_ / 2);
    resample(sv, cw, in_w_ / 2, in_h_ / 2, dv, out_w_ / 2, out_h_ / 2);
    return scaled_.data();
}

const uint8_t *EncoderDevice::stamped_locked(const uint8_t *picture)
{
    // The codec driver's channel name, as the library forms it: channel,
    // 'h' or 'j' for H.264 or MJPEG, 'd' unscaled or 's' scaled.
    char name[32];
    snprintf(name, sizeof name, "%d_%c%c", channel_of_path(path()), stream_fourcc_ == kH264 ? 'h' : 'j',
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
    BufferQueue::Buffer &cs = cap_.buffer(cap_index);
    bool want_key = key_next_ || (cs.qflags & kFlagKey) || (gop_ > 0 && since_key_ >= static_cast<unsigned>(gop_));
    uint32_t flags = 0, used = 0;
    const uint8_t *picture = ledger_.take_enc_error() ? nullptr : picture_of_locked(out_index);
    if (picture != nullptr && !options_.datastamp_dir.empty())
        picture = stamped_locked(picture);
    if (picture != nullptr && coder_stale_) {
        CoderSettings s;
        s.fourcc = stream_fourcc_;
        s.width = out_w_;
        s.height = out_h_;
        s.fps = out_fps_;
        s.qp_i = qp_i_;
        s.qp_p = qp_p_;
        s.quality = quality_;
        s.plain = options_.plain_codec;
        coder_ = make_coder(s);
        coder_stale_ = false;
    }
    bool is_key = false;
    long n = -1;
    if (picture != nullptr && coder_)
        n = coder_->encode(picture, want_key, cs.mem, cs.length, &is_key);
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
    ++frames_;
    cs.bytesused = used;
    cs.flags = flags;
    if (out_index >= 0) {
        // The bit stream carries the picture's timestamp, as M2M nodes do.
        BufferQueue::Buffer &os = out_.buffer(static_cast<unsigned>(out_index));
        cs.stamp = os.stamp;
        cs.flags |= os.qflags & (V4L2_BUF_FLAG_TIMECODE | V4L2_BUF_FLAG_TSTAMP_SRC_MASK);
        os.bytesused = static_cast<uint32_t>(picture_size());
        out_.complete(static_cast<unsigned>(out_index), false);
        cap_.complete(cap_index, false);
    } else {
        cap_.complete(cap_index, true);
    }
}

} // namespace vcam
