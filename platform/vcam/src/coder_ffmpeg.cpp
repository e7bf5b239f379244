// The coding engine on FFmpeg's libavcodec: H.264 through libx264 (constant
// quantiser, no B-frames, no look-ahead, so every picture comes straight back
// as one access unit, with SPS and PPS before every IDR picture) and MJPEG
// with the native coder.
#include "coder.h"

#include "v4l2_abi.h"

#include <math.h>
#include <string.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
#include <libavutil/log.h>
#include <libavutil/opt.h>
}

namespace vcam {

namespace {

constexpr uint32_t kH264 = v4l2_fourcc('H', '2', '6', '4');

// JPEG quality 1..100 to FFmpeg's quantiser scale 31..2 (lower is finer).
int qscale_of(int quality)
{
    if (quality < 1)
        quality = 1;
    if (quality > 100)
        quality = 100;
    return 2 + (100 - quality) * 29 / 99;
}

class FfmpegCoder : public Coder {
public:
    ~FfmpegCoder() override
    {
        av_packet_free(&packet_);
        av_frame_free(&frame_);
        avcodec_free_context(&ctx_);
    }

    bool open(const CoderSettings &s)
    {
        settings_ = s;
        bool h264 = s.fourcc == kH264;
        const AVCodec *codec =
            h264 ? avcodec_find_encoder_by_name("libx264") : avcodec_find_encoder(AV_CODEC_ID_MJPEG);
        if (codec == nullptr)
            return false;
        ctx_ = avcodec_alloc_context3(codec);
        frame_ = av_frame_alloc();
        packet_ = av_packet_alloc();
        if (ctx_ == nullptr || frame_ == nullptr || packet_ == nullptr)
            return false;
        ctx_->width = static_cast<int>(s.width);
        ctx_->height = static_cast<int>(s.height);
        ctx_->time_base = AVRational{1, static_cast<int>(s.fps ? s.fps : 30)};
        ctx_->framerate = AVRational{static_cast<int>(s.fps ? s.fps : 30), 1};
        ctx_->thread_count = 1;
        if (h264) {
            ctx_->pix_fmt = AV_PIX_FMT_YUV420P;
            // Key frames are the node's decision (period, requests, restarts).
            ctx_->gop_size = 1 << 30;
            ctx_->max_b_frames = 0;
            av_opt_set(ctx_->priv_data, "preset", "ultrafast", 0);
            av_opt_set(ctx_->priv_data, "tune", "zerolatency", 0);
            av_opt_set_int(ctx_->priv_data, "forced-idr", 1, 0);
            av_opt_set_int(ctx_->priv_data, "qp", s.qp_p, 0);
            // The I-picture quantiser is the P one less 6 log2(ip factor).
            ctx_->i_quant_factor = static_cast<float>(pow(2.0, (s.qp_i - s.qp_p) / 6.0));
        } else {
            ctx_->pix_fmt = AV_PIX_FMT_YUVJ420P;
            ctx_->flags |= AV_CODEC_FLAG_QSCALE;
            ctx_->global_quality = FF_QP2LAMBDA * qscale_of(s.quality);
            // The camera's JPEG coder uses the standard Huffman tables: its
            // decoder knows no others, and the stream carries its tables only
            // in markers that reach no decoder.
            av_opt_set(ctx_->priv_data, "huffman", "default", 0);
        }
        return avcodec_open2(ctx_, codec, nullptr) == 0;
    }

    long encode(const uint8_t *picture, bool key, uint8_t *out, size_t cap, bool *is_key) override
    {
        unsigned w = settings_.width, h = settings_.height;
        av_frame_unref(frame_);
        frame_->format = ctx_->pix_fmt;
        frame_->width = static_cast<int>(w);
        frame_->height = static_cast<int>(h);
        // The planes are read where they lie; the library takes its own
        // reference (a copy) for the coder.
        frame_->data[0] = const_cast<uint8_t *>(picture);
        frame_->data[1] = frame_->data[0] + static_cast<size_t>(w) * h;
        frame_->data[2] = frame_->data[1] + static_cast<size_t>(w / 2) * (h / 2);
        frame_->linesize[0] = static_cast<int>(w);
        frame_->linesize[1] = frame_->linesize[2] = static_cast<int>(w / 2);
        frame_->pts = pts_++;
        frame_->pict_type = key ? AV_PICTURE_TYPE_I : AV_PICTURE_TYPE_NONE;
        if (settings_.fourcc != kH264)
            frame_->quality = ctx_->global_quality;
        int r = avcodec_send_frame(ctx_, frame_);
        frame_->data[0] = frame_->data[1] = frame_->data[2] = nullptr;
        if (r < 0)
            return -1;
        if (avcodec_receive_packet(ctx_, packet_) < 0)
            return -1;
        long n = packet_->size;
        bool k = (packet_->flags & AV_PKT_FLAG_KEY) != 0;
        if (static_cast<size_t>(n) > cap) {
            av_packet_unref(packet_);
            return -1;
        }
        memcpy(out, packet_->data, static_cast<size_t>(n));
        av_packet_unref(packet_);
        *is_key = k;
        return n;
    }

private:
    CoderSettings settings_;
    AVCodecContext *ctx_ = nullptr;
    AVFrame *frame_ = nullptr;
    AVPacket *packet_ = nullptr;
    int64_t pts_ = 0;
};

} // namespace

std::unique_ptr<Coder> make_coder(const CoderSettings &settings)
{
    if (settings.plain)
        return make_plain_coder(settings);
    // A driver codes silently: x264's statistics would land in the program's
    // standard error. A program that chose a log level keeps it.
    if (av_log_get_level() == AV_LOG_INFO)
        av_log_set_level(AV_LOG_ERROR);
    std::unique_ptr<FfmpegCoder> c(new FfmpegCoder());
    if (!c->open(settings))
        return nullptr;
    return c;
}

bool coder_is_real()
{
    return true;
}

} // namespace vcam
