// The decoding engine on FFmpeg's libavcodec: its H.264 decoder and its
// MJPEG decoder, one thread, one frame per call.
#include "dec_engine.h"

#include "v4l2_abi.h"

#include <string.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
#include <libavutil/log.h>
#include <libavutil/pixdesc.h>
}

namespace vcam {

namespace {

constexpr uint32_t kH264 = v4l2_fourcc('H', '2', '6', '4');

class FfmpegDecEngine : public DecEngine {
public:
    ~FfmpegDecEngine() override
    {
        av_packet_free(&packet_);
        av_frame_free(&frame_);
        avcodec_free_context(&ctx_);
    }

    bool open(uint32_t fourcc, unsigned max_side)
    {
        max_side_ = max_side;
        const AVCodec *codec = avcodec_find_decoder(fourcc == kH264 ? AV_CODEC_ID_H264 : AV_CODEC_ID_MJPEG);
        if (codec == nullptr)
            return false;
        ctx_ = avcodec_alloc_context3(codec);
        frame_ = av_frame_alloc();
        packet_ = av_packet_alloc();
        if (ctx_ == nullptr || frame_ == nullptr || packet_ == nullptr)
            return false;
        ctx_->thread_count = 1;
        // FFmpeg takes the picture size from the stream (an H.264 SPS may
        // declare 8192 x 8192 and sixteen reference frames: 1.6 GB); refusing
        // the size before any picture memory is allocated keeps a stream of
        // such frames from taking more than the hardware could hold.
        ctx_->max_pixels = static_cast<int64_t>(max_side) * max_side;
        return avcodec_open2(ctx_, codec, nullptr) == 0;
    }

    int decode(const uint8_t *data, size_t n, unsigned, unsigned, DecodedPicture *out) override
    {
        if (n > 0x7fffffff)
            return -1;
        av_frame_unref(frame_);
        av_packet_unref(packet_);
        // The packet needs its own padded copy: the frame in the program's
        // buffer may end right at the buffer's end.
        if (av_new_packet(packet_, static_cast<int>(n)) < 0)
            return -1;
        memcpy(packet_->data, data, n);
        int r = avcodec_send_packet(ctx_, packet_);
        av_packet_unref(packet_);
        if (r < 0 && r != AVERROR(EAGAIN))
            return -1;
        r = avcodec_receive_frame(ctx_, frame_);
        if (r == AVERROR(EAGAIN))
            return 0;
        if (r < 0 || (frame_->decode_error_flags != 0))
            return -1;
        const AVPixFmtDescriptor *d = av_pix_fmt_desc_get(static_cast<AVPixelFormat>(frame_->format));
        if (static_cast<unsigned>(frame_->width) > max_side_ || static_cast<unsigned>(frame_->height) > max_side_)
            return -1;
        if (d == nullptr || d->nb_components < 3 || (d->flags & AV_PIX_FMT_FLAG_RGB) || d->comp[0].depth != 8 ||
            frame_->data[2] == nullptr)
            return -1;
        out->width = static_cast<unsigned>(frame_->width);
        out->height = static_cast<unsigned>(frame_->height);
        out->chroma_width = (out->width + (1u << d->log2_chroma_w) - 1) >> d->log2_chroma_w;
        out->chroma_height = (out->height + (1u << d->log2_chroma_h) - 1) >> d->log2_chroma_h;
        for (int i = 0; i < 3; ++i) {
            out->plane[i] = frame_->data[i];
            out->stride[i] = frame_->linesize[i];
        }
        return 1;
    }

private:
    AVCodecContext *ctx_ = nullptr;
    AVFrame *frame_ = nullptr;
    AVPacket *packet_ = nullptr;
    unsigned max_side_ = 0;
};

} // namespace

std::unique_ptr<DecEngine> make_dec_engine(uint32_t fourcc, unsigned max_side, bool plain)
{
    if (plain)
        return make_plain_dec_engine();
    // A driver decodes silently; a program that chose a log level keeps it.
    if (av_log_get_level() == AV_LOG_INFO)
        av_log_set_level(AV_LOG_QUIET);
    std::unique_ptr<FfmpegDecEngine> e(new FfmpegDecEngine());
    if (!e->open(fourcc, max_side))
        return nullptr;
    return e;
}

bool dec_engine_is_real()
{
    return true;
}

} // namespace vcam
