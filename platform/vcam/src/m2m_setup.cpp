// The M2M nodes' set-up requests beyond formats and buffers: the formats and
// sizes each queue offers, the controls and their events, and the commands of
// the stateful encoder and decoder interfaces (VIDIOC_ENCODER_CMD stops the
// encoder after the pictures queued so far, VIDIOC_DECODER_CMD the decoder
// after the frames queued so far; START goes on).
#include "m2m_device.h"

#include "formats.h"

#include <errno.h>
#include <string.h>

namespace vcam {

namespace {

constexpr unsigned kMinSide = 16, kMaxSide = 4096;
const uint32_t kPictures[] = {kFourccS420};
const uint32_t kStreams[] = {kFourccH264, kFourccMJPG};

} // namespace

void M2MDevice::formats_of(const Queue &q, const uint32_t **list, size_t *n) const
{
    if (carries_pictures(q)) {
        *list = kPictures;
        *n = sizeof kPictures / sizeof kPictures[0];
    } else {
        *list = kStreams;
        *n = sizeof kStreams / sizeof kStreams[0];
    }
}

int M2MDevice::setup_request(const char *name, void *arg)
{
    std::string n = name;
    if (n == "ENUM_FMT") {
        v4l2_fmtdesc d;
        memcpy(&d, arg, sizeof d);
        Queue *q = d.type == kCapture ? &cap_ : d.type == kOutput ? &out_ : nullptr;
        if (q == nullptr)
            return -EINVAL;
        const uint32_t *list;
        size_t count;
        formats_of(*q, &list, &count);
        return enum_format(list, count, q->type(), arg);
    }
    if (n == "ENUM_FRAMESIZES") {
        // Every format of either queue, at any even size in range.
        int r = enum_framesizes(kPictures, 1, SizeRange{kMinSide, kMaxSide}, arg);
        return r == 0 ? r : enum_framesizes(kStreams, 2, SizeRange{kMinSide, kMaxSide}, arg);
    }
    if (n == "QUERYCTRL" || n == "QUERY_EXT_CTRL" || n == "QUERYMENU" || n == "G_CTRL" || n == "S_CTRL" ||
        n == "G_EXT_CTRLS" || n == "S_EXT_CTRLS" || n == "TRY_EXT_CTRLS") {
        std::lock_guard<std::mutex> lock(mu_);
        return control_request_locked(name, arg);
    }
    if (n == "ENCODER_CMD" || n == "TRY_ENCODER_CMD" || n == "DECODER_CMD" || n == "TRY_DECODER_CMD")
        return command(name, arg);
    return -ENOTTY;
}

int M2MDevice::subscribe_event(const v4l2_event_subscription &sub)
{
    bool decoder = !pictures_in_;
    v4l2_event_ctrl initial;
    bool send = false;
    {
        std::lock_guard<std::mutex> lock(mu_);
        switch (sub.type) {
        case V4L2_EVENT_CTRL:
            if (!controls_.has(sub.id))
                return -EINVAL;
            send = (sub.flags & V4L2_EVENT_SUB_FL_SEND_INITIAL) && controls_.event_of(sub.id, &initial);
            break;
        case V4L2_EVENT_EOS: break;
        case V4L2_EVENT_SOURCE_CHANGE:
            if (!decoder)
                return -EINVAL; // the encoder's sizes only change when the program sets them
            break;
        default: return -EINVAL;
        }
    }
    events_.subscribe(sub);
    if (send)
        events_.raise(V4L2_EVENT_CTRL, sub.id, &initial, sizeof initial, false);
    return 0;
}

// The stateful interfaces' commands: STOP and START only, with no flags
// (neither stopping at the end of a group of pictures nor the decoder's
// black picture, immediate stop, muted audio or speeds).
int M2MDevice::command(const char *name, void *arg)
{
    bool encoder = pictures_in_;
    bool is_try = !strncmp(name, "TRY_", 4);
    if (encoder != (strstr(name, "ENCODER") != nullptr))
        return -ENOTTY; // the other kind of codec's command
    uint32_t cmd;
    if (encoder) {
        v4l2_encoder_cmd c;
        memcpy(&c, arg, sizeof c);
        if (c.cmd != V4L2_ENC_CMD_STOP && c.cmd != V4L2_ENC_CMD_START)
            return -EINVAL;
        c.flags = 0;
        memset(c.raw.data, 0, sizeof c.raw.data);
        memcpy(arg, &c, sizeof c);
        cmd = c.cmd == V4L2_ENC_CMD_STOP ? 1 : 0;
    } else {
        v4l2_decoder_cmd c;
        memcpy(&c, arg, sizeof c);
        if (c.cmd != V4L2_DEC_CMD_STOP && c.cmd != V4L2_DEC_CMD_START)
            return -EINVAL;
        c.flags = 0;
        if (c.cmd == V4L2_DEC_CMD_START) {
            c.start.speed = 0;
            c.start.format = V4L2_DEC_START_FMT_NONE;
        } else {
            c.stop.pts = 0;
        }
        memcpy(arg, &c, sizeof c);
        cmd = c.cmd == V4L2_DEC_CMD_STOP ? 1 : 0;
    }
    if (is_try)
        return 0;
    std::lock_guard<std::mutex> lock(mu_);
    return cmd == 1 ? drain_locked() : resume_locked();
}

int M2MDevice::drain_locked()
{
    if (draining_)
        return -EBUSY; // the last stop is still under way
    if (!stopped_) {
        draining_ = true;
        finish_drain_locked();
    }
    return 0;
}

int M2MDevice::resume_locked()
{
    if (draining_)
        return -EBUSY;
    stopped_ = false;
    last_taken_ = false;
    return 0;
}

void M2MDevice::finish_drain_locked()
{
    if (!draining_ || out_.first_queued() >= 0)
        return; // what was queued before the stop is still to do
    // The next bit-stream (or picture) buffer that comes back is the last.
    last_next_ = true;
}

} // namespace vcam
