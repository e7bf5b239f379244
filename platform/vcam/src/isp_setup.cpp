// The ISP node's set-up requests: what it is (QUERYCAP), its one camera
// input, its formats ('S420' and the same picture as the standard 'YU12'),
// sizes and frame intervals, the frame rate, and the crop rectangle within
// the sensor (VIDIOC_G/S_SELECTION, and the older crop requests on top).
#include "isp_device.h"

#include "buffer_math.h"
#include "formats.h"

#include <errno.h>
#include <string.h>

namespace vcam {

namespace cam = kep::abi::camera;

namespace {

constexpr uint32_t kCapture = V4L2_BUF_TYPE_VIDEO_CAPTURE;
constexpr unsigned kMinSide = 16, kMaxSide = 8192;
constexpr v4l2_rect kSensor{0, 0, 1920, 1080};
const uint32_t kFormats[] = {kFourccS420, kFourccYU12};
constexpr size_t kFormatCount = sizeof kFormats / sizeof kFormats[0];
// The frame periods the ticker keeps to (frame_period_ns()).
constexpr v4l2_fract kFastest{1, 1000}, kSlowest{10, 1};

// The core takes the multi-planar capture type for the single-planar one in
// the crop and selection requests.
bool capture_type(uint32_t type)
{
    return type == kCapture || type == V4L2_BUF_TYPE_VIDEO_CAPTURE_MPLANE;
}

// A rectangle moved and shrunk to lie inside the sensor, as drivers adjust
// a crop they cannot take.
v4l2_rect inside_sensor(v4l2_rect r)
{
    uint32_t w = r.width == 0 ? 1 : r.width > kSensor.width ? kSensor.width : r.width;
    uint32_t h = r.height == 0 ? 1 : r.height > kSensor.height ? kSensor.height : r.height;
    int32_t left = r.left < 0 ? 0 : r.left, top = r.top < 0 ? 0 : r.top;
    if (static_cast<uint32_t>(left) + w > kSensor.width)
        left = static_cast<int32_t>(kSensor.width - w);
    if (static_cast<uint32_t>(top) + h > kSensor.height)
        top = static_cast<int32_t>(kSensor.height - h);
    return v4l2_rect{left, top, w, h};
}

} // namespace

SizeRange IspDevice::sizes() const
{
    SizeRange r{kMinSide, kMaxSide};
    if (options_.size_w != 0) {
        r.fixed_w = options_.size_w;
        r.fixed_h = options_.size_h;
    }
    return r;
}

int IspDevice::setup_request(const char *name, unsigned long request, void *arg)
{
    std::string n = name;
    if (n == "QUERYCAP")
        return fill_capability(arg, caps());
    if (n == "ENUMINPUT" || n == "G_INPUT" || n == "S_INPUT")
        return input(name, arg);
    if (n == "CROPCAP")
        return cropcap(arg);
    if (n == "G_CROP" || n == "S_CROP")
        return crop(n == "S_CROP", arg);
    if (n == "G_SELECTION" || n == "S_SELECTION")
        return selection(n == "S_SELECTION", arg);
    if (n == "G_PARM" || n == "S_PARM")
        return parm(n == "S_PARM", request, arg);
    if (n == "ENUM_FMT") {
        v4l2_fmtdesc d;
        memcpy(&d, arg, sizeof d);
        return d.type == kCapture ? enum_format(kFormats, kFormatCount, kCapture, arg) : -EINVAL;
    }
    if (n == "ENUM_FRAMESIZES")
        return enum_framesizes(kFormats, kFormatCount, sizes(), arg);
    if (n == "ENUM_FRAMEINTERVALS")
        return enum_frameintervals(kFormats, kFormatCount, sizes(), kFastest, kSlowest, arg);
    if (n == "G_FMT" || n == "S_FMT" || n == "TRY_FMT")
        return fmt(name, request, arg);
    // No controls, no events, no video standards.
    return -ENOTTY;
}

// One camera input: the sensor.
int IspDevice::input(const char *name, void *arg)
{
    if (!strcmp(name, "ENUMINPUT")) {
        v4l2_input in;
        memcpy(&in, arg, sizeof in);
        if (in.index != 0)
            return -EINVAL;
        memset(&in, 0, sizeof in);
        strncpy(reinterpret_cast<char *>(in.name), "Camera", sizeof in.name - 1);
        in.type = V4L2_INPUT_TYPE_CAMERA;
        memcpy(arg, &in, sizeof in);
        return 0;
    }
    uint32_t index = 0;
    if (!strcmp(name, "G_INPUT")) {
        memcpy(arg, &index, sizeof index);
        return 0;
    }
    memcpy(&index, arg, sizeof index);
    return index == 0 ? 0 : -EINVAL;
}

int IspDevice::selection(bool set, void *arg)
{
    v4l2_selection s;
    memcpy(&s, arg, sizeof s);
    if (options_.no_crop)
        return -ENOTTY; // a sensor without cropping
    if (!capture_type(s.type))
        return -EINVAL;
    memset(s.reserved, 0, sizeof s.reserved);
    std::lock_guard<std::mutex> lock(mu_);
    switch (s.target) {
    case V4L2_SEL_TGT_CROP:
        if (set) {
            crop_ = inside_sensor(s.r);
            ledger_.set("S_CROP.left", s.r.left);
            ledger_.set("S_CROP.top", s.r.top);
            ledger_.set("S_CROP.width", s.r.width);
            ledger_.set("S_CROP.height", s.r.height);
        }
        s.r = crop_;
        break;
    case V4L2_SEL_TGT_CROP_DEFAULT:
    case V4L2_SEL_TGT_CROP_BOUNDS:
        if (set)
            return -EINVAL; // read-only targets
        s.r = kSensor;
        break;
    default: return -EINVAL; // no composing
    }
    memcpy(arg, &s, sizeof s);
    return 0;
}

// The older crop requests, answered from the selection as the kernel does.
int IspDevice::cropcap(void *arg)
{
    v4l2_cropcap cc;
    memcpy(&cc, arg, sizeof cc);
    if (options_.no_crop || !capture_type(cc.type))
        return -EINVAL;
    cc.bounds = kSensor;
    cc.defrect = kSensor;
    cc.pixelaspect = v4l2_fract{1, 1};
    memcpy(arg, &cc, sizeof cc);
    return 0;
}

int IspDevice::crop(bool set, void *arg)
{
    v4l2_crop c;
    memcpy(&c, arg, sizeof c);
    if (options_.no_crop || !capture_type(c.type))
        return -EINVAL;
    v4l2_selection s;
    memset(&s, 0, sizeof s);
    s.type = c.type;
    s.target = V4L2_SEL_TGT_CROP;
    s.r = c.c;
    int r = selection(set, &s);
    if (r == 0) {
        c.c = s.r;
        memcpy(arg, &c, sizeof c);
    }
    return r;
}

int IspDevice::parm(bool set, unsigned long request, void *arg)
{
    if (streamparm_abi(request) == Abi::none)
        return -ENOTTY;
    // Both ABIs lay the parameters out alike: no pointers, no longs.
    cam::streamparm p;
    memcpy(&p, arg, sizeof p);
    if (p.type != kCapture)
        return -EINVAL;
    std::lock_guard<std::mutex> lock(mu_);
    if (set) {
        ledger_.set("S_PARM.numerator", p.parm.capture.timeperframe.numerator);
        ledger_.set("S_PARM.denominator", p.parm.capture.timeperframe.denominator);
        if (p.parm.capture.timeperframe.numerator != 0 && p.parm.capture.timeperframe.denominator != 0) {
            tpf_num_ = p.parm.capture.timeperframe.numerator;
            tpf_den_ = p.parm.capture.timeperframe.denominator;
        }
    }
    memset(&p.parm, 0, sizeof p.parm);
    p.parm.capture.capability = V4L2_CAP_TIMEPERFRAME;
    p.parm.capture.timeperframe = cam::fract{tpf_num_, tpf_den_};
    p.parm.capture.readbuffers = 1;
    memcpy(arg, &p, sizeof p);
    return 0;
}

int IspDevice::fmt(const char *name, unsigned long request, void *arg)
{
    Abi abi = format_abi(request);
    if (abi == Abi::none)
        return -ENOTTY;
    FormatDesc f = load_format(abi, arg);
    if (f.type != kCapture)
        return -EINVAL;
    std::lock_guard<std::mutex> lock(mu_);
    unsigned w = width_, h = height_;
    uint32_t field = field_, fourcc = pixelformat_;
    bool set = strcmp(name, "S_FMT") == 0;
    if (set || strcmp(name, "TRY_FMT") == 0) {
        if (set) {
            ledger_.set("S_FMT.width", f.pix.width);
            ledger_.set("S_FMT.height", f.pix.height);
            ledger_.set("S_FMT.pixelformat", f.pix.pixelformat);
            ledger_.set("S_FMT.field", f.pix.field);
            if (running_locked() || queue_.count() > 0)
                return -EBUSY;
        }
        // Like a driver, adjust what cannot be done rather than refuse it.
        w = options_.size_w != 0 ? options_.size_w : even_clamp(f.pix.width, kMinSide, kMaxSide);
        h = options_.size_h != 0 ? options_.size_h : even_clamp(f.pix.height, kMinSide, kMaxSide);
        // Whole pictures; interlaced order where asked (both fields, line by line).
        field = f.pix.field == V4L2_FIELD_INTERLACED ? static_cast<uint32_t>(V4L2_FIELD_INTERLACED)
                                                     : static_cast<uint32_t>(V4L2_FIELD_NONE);
        fourcc = f.pix.pixelformat == kFourccYU12 ? kFourccYU12 : kFourccS420;
    }
    if (set) {
        width_ = w;
        height_ = h;
        field_ = field;
        pixelformat_ = fourcc;
        queue_.set_field(field);
        scene_.set_size(w, h);
        ledger_.set("S_FMT.accepted_width", w);
        ledger_.set("S_FMT.accepted_height", h);
    }
    memset(&f.pix, 0, sizeof f.pix);
    f.pix.width = w;
    f.pix.height = h;
    f.pix.pixelformat = fourcc;
    f.pix.field = field;
    f.pix.colorspace = V4L2_COLORSPACE_REC709;
    f.pix.priv = V4L2_PIX_FMT_PRIV_MAGIC; // the extended fields below are valid
    if (!options_.zero_sizes) {
        f.pix.bytesperline = w;
        f.pix.sizeimage = static_cast<uint32_t>(s420_size(w, h));
    }
    store_format(abi, f, arg);
    return 0;
}

} // namespace vcam
