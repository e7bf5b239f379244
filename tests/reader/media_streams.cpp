#include "media_streams.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/imgutils.h>
#include <libavutil/log.h>
#include <libavutil/opt.h>
}

#include <string.h>

namespace media {

namespace {

// A moving gradient with a square, so that P frames carry real data.
void draw(AVFrame *f, int n)
{
    for (int y = 0; y < f->height; y++)
        for (int x = 0; x < f->width; x++) {
            bool square = x >= (n * 7) % f->width && x < (n * 7) % f->width + 32 && y >= 40 && y < 72;
            f->data[0][y * f->linesize[0] + x] = (uint8_t)(square ? 235 : (x + y * 2 + n * 3) & 0xFF);
        }
    int cw = f->format == AV_PIX_FMT_YUVJ422P ? f->width / 2 : (f->width + 1) / 2;
    int ch = f->format == AV_PIX_FMT_YUVJ422P ? f->height : (f->height + 1) / 2;
    for (int y = 0; y < ch; y++)
        for (int x = 0; x < cw; x++) {
            f->data[1][y * f->linesize[1] + x] = (uint8_t)(128 + ((x + n) & 31));
            f->data[2][y * f->linesize[2] + x] = (uint8_t)(128 - ((y + n) & 31));
        }
}

bool drain(AVCodecContext *c, AVPacket *pkt, Bytes &out)
{
    for (;;) {
        int r = avcodec_receive_packet(c, pkt);
        if (r == AVERROR(EAGAIN) || r == AVERROR_EOF)
            return true;
        if (r < 0)
            return false;
        out.insert(out.end(), pkt->data, pkt->data + pkt->size);
        av_packet_unref(pkt);
    }
}

Bytes encode(AVCodecContext *c, int frames, const std::vector<int> *quality)
{
    Bytes out;
    AVFrame *f = av_frame_alloc();
    AVPacket *pkt = av_packet_alloc();
    f->format = c->pix_fmt;
    f->width = c->width;
    f->height = c->height;
    bool ok = av_frame_get_buffer(f, 0) == 0;
    for (int n = 0; ok && n < frames; n++) {
        ok = av_frame_make_writable(f) == 0;
        draw(f, n);
        f->pts = n;
        if (quality != nullptr)
            f->quality = FF_QP2LAMBDA * (*quality)[(size_t)n % quality->size()];
        ok = ok && avcodec_send_frame(c, f) == 0 && drain(c, pkt, out);
    }
    ok = ok && avcodec_send_frame(c, nullptr) == 0 && drain(c, pkt, out);
    av_packet_free(&pkt);
    av_frame_free(&f);
    return ok ? out : Bytes();
}

} // namespace

static void quiet()
{
    av_log_set_level(AV_LOG_QUIET);
}

Bytes encode_h264(const H264Options &o)
{
    quiet();
    const AVCodec *codec = avcodec_find_encoder_by_name("libx264");
    if (codec == nullptr)
        return {};
    AVCodecContext *c = avcodec_alloc_context3(codec);
    c->width = o.width;
    c->height = o.height;
    c->pix_fmt = AV_PIX_FMT_YUV420P;
    c->time_base = {1, 25};
    c->gop_size = o.gop;
    c->max_b_frames = 0;
    c->thread_count = 1;
    if (o.bitrate > 0)
        c->bit_rate = o.bitrate;
    av_opt_set(c->priv_data, "preset", "veryfast", 0);
    std::string params = "scenecut=0:cabac=" + std::to_string(o.cabac ? 1 : 0) +
                         ":slices=" + std::to_string(o.slices) +
                         ":repeat-headers=" + std::to_string(o.repeat_headers ? 1 : 0);
    if (o.bitrate == 0)
        av_opt_set(c->priv_data, "qp", "26", 0);
    av_opt_set(c->priv_data, "x264-params", params.c_str(), 0);
    Bytes out;
    if (avcodec_open2(c, codec, nullptr) == 0)
        out = encode(c, o.frames, nullptr);
    avcodec_free_context(&c);
    return out;
}

Bytes encode_mjpeg(const MjpegOptions &o)
{
    quiet();
    const AVCodec *codec = avcodec_find_encoder(AV_CODEC_ID_MJPEG);
    if (codec == nullptr)
        return {};
    AVCodecContext *c = avcodec_alloc_context3(codec);
    c->width = o.width;
    c->height = o.height;
    c->pix_fmt = o.yuv422 ? AV_PIX_FMT_YUVJ422P : AV_PIX_FMT_YUVJ420P;
    c->time_base = {1, 25};
    c->flags |= AV_CODEC_FLAG_QSCALE;
    c->thread_count = 1;
    // The standard Huffman tables, as the camera decoder expects.
    av_opt_set(c->priv_data, "huffman", "default", 0);
    Bytes out;
    if (avcodec_open2(c, codec, nullptr) == 0)
        out = encode(c, o.frames, &o.quality);
    avcodec_free_context(&c);
    return out;
}

std::vector<size_t> ffmpeg_split(const Bytes &data, bool h264)
{
    quiet();
    std::vector<size_t> starts;
    const AVCodec *codec = avcodec_find_decoder(h264 ? AV_CODEC_ID_H264 : AV_CODEC_ID_MJPEG);
    AVCodecParserContext *p = av_parser_init(codec->id);
    AVCodecContext *c = avcodec_alloc_context3(codec);
    // The parsers hold the last frame back until the next one begins, and at
    // the end hand out the last two as one: a sentinel frame start (access
    // unit delimiters, or an empty image) closes the real last frame.
    Bytes padded(data);
    if (h264)
        padded.insert(padded.end(), {0, 0, 0, 1, 9, 0xF0, 0, 0, 0, 1, 9, 0xF0});
    else
        padded.insert(padded.end(), {0xFF, 0xD8, 0xFF, 0xD9, 0xFF, 0xD8, 0xFF, 0xD9});
    int left = (int)padded.size();
    // The parser reads up to AV_INPUT_BUFFER_PADDING_SIZE bytes past its input.
    padded.resize(padded.size() + AV_INPUT_BUFFER_PADDING_SIZE, 0);
    size_t consumed = 0, emitted = 0;
    const uint8_t *in = padded.data();
    for (;;) {
        uint8_t *out = nullptr;
        int out_size = 0;
        int n = av_parser_parse2(p, c, &out, &out_size, left > 0 ? in : nullptr, left, AV_NOPTS_VALUE,
                                 AV_NOPTS_VALUE, 0);
        in += n;
        left -= n;
        consumed += (size_t)n;
        if (out_size > 0) {
            if (emitted < data.size())
                starts.push_back(emitted);
            emitted += (size_t)out_size;
        }
        if (left <= 0 && out_size == 0)
            break;
    }
    (void)consumed;
    av_parser_close(p);
    avcodec_free_context(&c);
    return starts;
}

} // namespace media
