// Stored streams decoded through libkep_vc (reader, decoder calls, virtual
// decoder node) against FFmpeg decoding the same bytes: every picture, and
// the picture count. The MJPEG pictures are rebuilt by the node from the scan
// data and what the controls told it, so a wrong table or sampling shows.
#include "decoder_support.h"
#include "encoder_support.h"
#include "media_streams.h"

#include <gtest/gtest.h>

#include <linux/videodev2.h>
#include <math.h>
#include <sys/ioctl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
}

using dec_test::Dec;
using enc_test::configure;
using media::Bytes;

namespace {

using Picture = std::vector<uint8_t>; // planar 4:2:0, planes back to back

// FFmpeg's pictures of a stream split by its own parser, as 4:2:0 planes
// (4:2:2 chroma would keep every other line, as the node's S420 output does).
std::vector<Picture> ffmpeg_pictures(const Bytes &data, bool h264)
{
    std::vector<Picture> out;
    std::vector<size_t> starts = media::ffmpeg_split(data, h264);
    const AVCodec *codec = avcodec_find_decoder(h264 ? AV_CODEC_ID_H264 : AV_CODEC_ID_MJPEG);
    AVCodecContext *c = avcodec_alloc_context3(codec);
    c->thread_count = 1;
    if (avcodec_open2(c, codec, nullptr) != 0)
        return out;
    AVPacket *pkt = av_packet_alloc();
    AVFrame *f = av_frame_alloc();
    auto take = [&] {
        while (avcodec_receive_frame(c, f) == 0) {
            unsigned w = (unsigned)f->width, h = (unsigned)f->height;
            unsigned ch_step = f->format == AV_PIX_FMT_YUVJ422P || f->format == AV_PIX_FMT_YUV422P ? 2 : 1;
            Picture p;
            for (unsigned y = 0; y < h; ++y)
                p.insert(p.end(), f->data[0] + y * f->linesize[0], f->data[0] + y * f->linesize[0] + w);
            for (int plane = 1; plane < 3; ++plane)
                for (unsigned y = 0; y < h / 2; ++y) {
                    const uint8_t *row = f->data[plane] + (size_t)(y * ch_step) * f->linesize[plane];
                    p.insert(p.end(), row, row + w / 2);
                }
            out.push_back(p);
        }
    };
    for (size_t i = 0; i < starts.size(); ++i) {
        size_t end = i + 1 < starts.size() ? starts[i + 1] : data.size();
        av_new_packet(pkt, (int)(end - starts[i]));
        memcpy(pkt->data, data.data() + starts[i], end - starts[i]);
        avcodec_send_packet(c, pkt);
        av_packet_unref(pkt);
        take();
    }
    avcodec_send_packet(c, nullptr);
    take();
    av_frame_free(&f);
    av_packet_free(&pkt);
    avcodec_free_context(&c);
    return out;
}

std::string write_temp(const Bytes &data)
{
    char path[] = "/tmp/kep_dec_stream_XXXXXX";
    int fd = mkstemp(path);
    if (fd < 0 || write(fd, data.data(), data.size()) != (ssize_t)data.size())
        return std::string();
    close(fd);
    return path;
}

// Every picture libkep_vc hands out for a stored stream, read in file mode.
// before_read (optional) runs after each frame is read into the input buffer;
// after frame `restart_after` (if any) the decoder is stopped and started
// again, the reader going on.
std::vector<Picture> kep_pictures(const Bytes &data, uint32_t fourcc, unsigned w, unsigned h,
                                  void (*before_read)(kep_m2m *) = nullptr, int restart_after = -1)
{
    std::vector<Picture> out;
    std::string path = write_temp(data);
    EXPECT_FALSE(path.empty());
    Dec d(fourcc, w, h, 3);
    EXPECT_TRUE(d.init_and_start());
    EXPECT_EQ(kep_bs_reader_init(d.m, path.c_str()), 0);
    for (int guard = 0; guard < 10000; ++guard) {
        kep_buffer &in = d.m->dec_out_buffers[d.m->dec_in_index];
        int32_t n = kep_bs_reader_read_frame(d.m, nullptr, 0, (uint8_t *)in.start, in.length);
        if (n < 0)
            break;
        d.m->dec_in_size = (uint32_t)n;
        if (before_read)
            before_read(d.m);
        if (kep_dec_read(d.m) == 0 && d.m->dec_size > 0) {
            const uint8_t *p = (const uint8_t *)d.m->dec_cap_buffers[d.m->dec_index].start;
            out.emplace_back(p, p + d.m->dec_size);
        }
        kep_dec_reset(d.m);
        if (guard == restart_after) {
            EXPECT_EQ(kep_dec_stop(d.m), 0);
            EXPECT_EQ(kep_dec_start(d.m), 0);
        }
    }
    kep_bs_reader_uninit(d.m);
    unlink(path.c_str());
    return out;
}

double psnr(const Picture &a, const Picture &b)
{
    if (a.size() != b.size() || a.empty())
        return 0;
    double se = 0;
    for (size_t i = 0; i < a.size(); ++i)
        se += (double)(a[i] - b[i]) * (a[i] - b[i]);
    if (se == 0)
        return INFINITY;
    return 10 * log10(255.0 * 255.0 * (double)a.size() / se);
}

void expect_identical(const std::vector<Picture> &kep, const std::vector<Picture> &ref)
{
    ASSERT_EQ(kep.size(), ref.size()) << "picture count differs from FFmpeg's frame count";
    for (size_t i = 0; i < kep.size(); ++i)
        EXPECT_TRUE(kep[i] == ref[i]) << "picture " << i << " differs from FFmpeg's, PSNR " << psnr(kep[i], ref[i]);
}

TEST(DecoderMedia, H264PicturesAreFfmpegsForCabacAndCavlc)
{
    for (bool cabac : {true, false}) {
        media::H264Options o;
        o.frames = 10;
        o.cabac = cabac;
        o.repeat_headers = true;
        Bytes s = media::encode_h264(o);
        if (s.empty())
            GTEST_SKIP() << "no H.264 encoder";
        configure("");
        std::vector<Picture> ref = ffmpeg_pictures(s, true);
        ASSERT_EQ(ref.size(), 10u);
        expect_identical(kep_pictures(s, KEP_FOURCC_H264, o.width, o.height), ref);
        EXPECT_EQ(vcam_stat("dec.ctrl.0x00990a65"), cabac ? 1 : 0) << "entropy mode not received";
        EXPECT_LE(vcam_stat("dec.entropy_mismatch"), 0);
    }
}

void set_cabac_wrong(kep_m2m *m)
{
    v4l2_control c = {0x00990A65, 0};
    ioctl(m->dec_fd, VIDIOC_S_CTRL, &c);
}

TEST(DecoderMedia, H264WithTheWrongEntropyModeGivesNoPictures)
{
    media::H264Options o;
    o.frames = 4;
    o.cabac = true;
    o.repeat_headers = true;
    Bytes s = media::encode_h264(o);
    if (s.empty())
        GTEST_SKIP() << "no H.264 encoder";
    configure("");
    EXPECT_TRUE(kep_pictures(s, KEP_FOURCC_H264, o.width, o.height, &set_cabac_wrong).empty());
    EXPECT_EQ(vcam_stat("dec.entropy_mismatch"), 4);
    EXPECT_EQ(vcam_stat("dec.errors"), 4) << "each picture comes back with the error flag";
}

// A valid H.264 intra frame of w x h macroblocks, with its parameter sets:
// baseline, CAVLC, room for 16 reference frames, every macroblock 16x16 DC
// prediction with no residual, so FFmpeg decodes it without an error. The
// second and later frames are non-IDR reference frames, which the decoder
// keeps.
Bytes intra_h264(unsigned w_mbs, unsigned h_mbs, unsigned frame_num)
{
    std::vector<bool> bits;
    auto u = [&](unsigned n, uint32_t v) {
        while (n-- > 0)
            bits.push_back((v >> n) & 1);
    };
    auto ue = [&](uint32_t v) {
        unsigned n = 0;
        while (((uint64_t)v + 1) >> (n + 1))
            ++n;
        u(n, 0);
        u(n + 1, v + 1);
    };
    Bytes out;
    auto unit = [&](uint8_t header) {
        bits.push_back(1); // rbsp stop bit
        while (bits.size() % 8)
            bits.push_back(0);
        Bytes rbsp;
        for (size_t i = 0; i < bits.size(); i += 8) {
            uint8_t b = 0;
            for (size_t j = 0; j < 8; ++j)
                b = (uint8_t)(b << 1 | bits[i + j]);
            rbsp.push_back(b);
        }
        bits.clear();
        out.insert(out.end(), {0, 0, 0, 1, header});
        unsigned zeros = 0;
        for (uint8_t b : rbsp) { // emulation prevention
            if (zeros >= 2 && b <= 3) {
                out.push_back(3);
                zeros = 0;
            }
            out.push_back(b);
            zeros = b == 0 ? zeros + 1 : 0;
        }
    };
    u(8, 66), u(8, 0), u(8, 51), ue(0), ue(0), ue(2), ue(16), u(1, 0); // SPS
    ue(w_mbs - 1), ue(h_mbs - 1), u(1, 1), u(1, 1), u(1, 0), u(1, 0);
    unit(0x67);
    ue(0), ue(0), u(1, 0), u(1, 0), ue(0), ue(0), ue(0), u(1, 0), u(2, 0); // PPS
    ue(26), ue(26), ue(0), u(1, 0), u(1, 0), u(1, 0);
    unit(0x68);
    bool idr = frame_num == 0;
    ue(0), ue(7), ue(0), u(4, frame_num & 15); // slice header: I, PPS 0
    if (idr)
        ue(0), u(1, 0);
    u(1, 0), ue(0);
    for (unsigned i = 0; i < w_mbs * h_mbs; ++i)
        u(8, 0x27); // I_16x16 DC, chroma DC, no QP change, no DC coefficients
    unit(idr ? 0x65 : 0x61);
    return out;
}

long resident_kb()
{
    long pages = 0, resident = 0;
    FILE *f = fopen("/proc/self/statm", "r");
    if (f == nullptr || fscanf(f, "%ld %ld", &pages, &resident) != 2)
        resident = -1;
    if (f != nullptr)
        fclose(f);
    return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

// The node decodes pictures of up to 4096 x 4096, its own format limit, as
// the hardware does; a stream whose parameter sets declare a larger picture
// comes back as error pictures, and a run of such frames takes no more memory
// than the first (FFmpeg's tables for the declared size), where each would
// otherwise hold a reference picture (100 MB at 8192 x 8192).
TEST(DecoderMedia, H264PicturesBeyondTheNodesLimitAreRefusedAndTakeNoMemory)
{
    struct Case {
        unsigned w_mbs, h_mbs;
        bool decoded;
    } cases[] = {{256, 1, true}, {1, 256, true}, {257, 1, false}, {1, 257, false}, {512, 512, false}};
    const unsigned frames = 4;
    for (const Case &c : cases) {
        configure("");
        Dec d(KEP_FOURCC_H264, 512, 512, 3);
        ASSERT_TRUE(d.init_and_start());
        long after_first = 0;
        for (unsigned n = 0; n < frames; ++n) {
            SCOPED_TRACE(testing::Message() << c.w_mbs * 16 << " x " << c.h_mbs * 16 << " frame " << n);
            ASSERT_TRUE(d.put(intra_h264(c.w_mbs, c.h_mbs, n)));
            ASSERT_EQ(kep_dec_read(d.m), 0);
            EXPECT_EQ(d.m->dec_size > 0, c.decoded);
            kep_dec_reset(d.m);
            if (n == 0)
                after_first = resident_kb();
        }
        EXPECT_EQ(vcam_stat("dec.errors"), c.decoded ? -1 : (long)frames);
        if (!c.decoded) {
            EXPECT_LT(resident_kb() - after_first, 32 * 1024) << "memory taken for pictures the node refuses";
        }
    }
}

TEST(DecoderMedia, MjpegPicturesAreFfmpegsAndTablesArriveOnlyWhenTheyChange)
{
    media::MjpegOptions o;
    o.frames = 8;
    o.quality = {3, 3, 3, 12, 12, 3, 3, 3}; // two changes of both tables mid-stream
    Bytes s = media::encode_mjpeg(o);
    if (s.empty())
        GTEST_SKIP() << "no MJPEG encoder";
    configure("");
    std::vector<Picture> ref = ffmpeg_pictures(s, false);
    ASSERT_EQ(ref.size(), 8u);
    expect_identical(kep_pictures(s, KEP_FOURCC_MJPG, o.width, o.height), ref);
    // FFmpeg's coder defines one table, shared by all three components.
    EXPECT_EQ(vcam_stat("dec.qtable.luma"), 3) << "the luma table must arrive at the start and at each change";
    EXPECT_LE(vcam_stat("dec.qtable.chroma"), 0);
    EXPECT_EQ(vcam_stat("dec.ctrl.0x009d0901"), 2) << "4:2:0 sampling not received";
}

// The reader sends the tables only when they change, so the node must keep
// them across a stop and start of its queues, as a driver keeps its controls.
TEST(DecoderMedia, MjpegTablesOutliveARestartOfTheDecoder)
{
    media::MjpegOptions o;
    o.frames = 6;
    o.quality = {3, 3, 3, 3, 12, 12};
    Bytes s = media::encode_mjpeg(o);
    if (s.empty())
        GTEST_SKIP() << "no MJPEG encoder";
    configure("");
    std::vector<Picture> ref = ffmpeg_pictures(s, false);
    ASSERT_EQ(ref.size(), 6u);
    expect_identical(kep_pictures(s, KEP_FOURCC_MJPG, o.width, o.height, nullptr, 1), ref);
    EXPECT_EQ(vcam_stat("dec.qtable.luma"), 2) << "the tables came once and at their change, not again after the restart";
    EXPECT_EQ(vcam_stat("dec.no_qtable"), -1);
}

void wrong_luma_table(kep_m2m *m)
{
    static uint8_t flat[64];
    memset(flat, 1, sizeof flat);
    kep_dec_set_mjpeg_qtab_luma(m, flat);
}

void wrong_sampling(kep_m2m *m)
{
    kep_dec_set_mjpeg_sample_format(m, 1);
}

TEST(DecoderMedia, MjpegWithAWrongTableOrSamplingIsVisiblyWrong)
{
    media::MjpegOptions o;
    o.frames = 2;
    o.quality = {10};
    Bytes s = media::encode_mjpeg(o);
    if (s.empty())
        GTEST_SKIP() << "no MJPEG encoder";
    configure("");
    std::vector<Picture> ref = ffmpeg_pictures(s, false);
    ASSERT_EQ(ref.size(), 2u);
    for (auto wrong : {&wrong_luma_table, &wrong_sampling}) {
        std::vector<Picture> kep = kep_pictures(s, KEP_FOURCC_MJPG, o.width, o.height, wrong);
        for (size_t i = 0; i < kep.size() && i < ref.size(); ++i)
            EXPECT_LT(psnr(kep[i], ref[i]), 30.0) << "picture " << i << " looks right with wrong controls";
    }
}

} // namespace
