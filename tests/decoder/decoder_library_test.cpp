// The decoder calls of libkep_vc against the virtual decoder node: set-up
// messages and sizes, granted counts, input cycling, dequeue failures, the
// bounded input retry, the wait failure, stop and the decode-to-encode step.
#include "decoder_support.h"
#include "encoder_support.h"

#include <gtest/gtest.h>

#include <functional>
#include <string.h>
#include <unistd.h>

using dec_test::Dec;
using dec_test::Frame;
using enc_test::configure;
using enc_test::in_child;
using enc_test::Outcome;

namespace {

constexpr unsigned W = 176, H = 144;

std::vector<Frame> frames(unsigned n)
{
    configure("");
    std::vector<Frame> f = dec_test::scene_h264(n, W, H);
    EXPECT_EQ(f.size(), n) << "the encoder node gave no frames to decode";
    return f;
}

// In a child, under the platform options: an H.264 decoder set up and
// started with one frame in its input buffer, then body(d), whose result the
// child exits with (2: the set-up failed).
Outcome with_one_input(const std::string &options, const std::function<int(Dec &)> &body)
{
    std::vector<Frame> f = frames(1);
    if (f.size() != 1)
        return Outcome{};
    configure(options);
    return in_child([&] {
        Dec d(KEP_FOURCC_H264, W, H);
        if (!d.init_and_start() || !d.put(f[0]))
            return 2;
        return body(d);
    });
}

unsigned count_of(const std::string &text, const std::string &line)
{
    unsigned n = 0;
    for (size_t at = text.find(line); at != std::string::npos; at = text.find(line, at + 1))
        ++n;
    return n;
}

TEST(DecoderInit, ScaleTwoHalvesThePictureAndPrintsTheUndividedSize)
{
    configure("");
    Outcome o = in_child([] {
        Dec d(KEP_FOURCC_H264, 1280, 720, 3, 2);
        return kep_dec_init(d.m) == 0 && vcam_stat("dec.cap.width") == 640 && vcam_stat("dec.cap.height") == 360 &&
                       vcam_stat("dec.out.width") == 1280 && vcam_stat("dec.cap.pixelformat") == KEP_FOURCC_S420
                   ? 0
                   : 1;
    });
    EXPECT_EQ(o.status, 0) << "capture format not 640 x 360 'S420': " << o.err;
    EXPECT_EQ(o.out, "w: 1280, h: 720, scale: 2\n");
}

TEST(DecoderInit, ScaleZeroDividesAsOne)
{
    configure("");
    Dec d(KEP_FOURCC_H264, 320, 240, 3, 0);
    ASSERT_EQ(kep_dec_init(d.m), 0);
    EXPECT_EQ(vcam_stat("dec.cap.width"), 320);
    EXPECT_EQ(vcam_stat("dec.cap.height"), 240);
}

TEST(DecoderInit, FailedCaptureFormatReturnsItsResultWithItsText)
{
    configure("--fail dec.cap:S_FMT:EINVAL");
    Outcome o = in_child([] {
        Dec d(KEP_FOURCC_H264, W, H);
        return kep_dec_init(d.m) == -1 ? 0 : 1;
    });
    EXPECT_EQ(o.status, 0);
    EXPECT_EQ(o.err, "ioctl capture set format: Invalid argument\n");
    EXPECT_EQ(o.out, "");
}

TEST(DecoderStart, CaptureGrantLowersTheBufferCountOfBothTables)
{
    configure("--dec-cap-grant 2");
    Dec d(KEP_FOURCC_H264, W, H, 4);
    ASSERT_TRUE(d.init_and_start());
    EXPECT_EQ(d.m->m2m_buffers, 2u);
    EXPECT_EQ(vcam_stat("dec.out.REQBUFS.count"), 4) << "the input queue must be asked for the caller's count";
    EXPECT_EQ(vcam_stat("mmap"), 4) << "two mappings per queue";
    for (unsigned i = 0; i < 2; ++i) {
        EXPECT_NE(d.m->dec_out_buffers[i].start, nullptr);
        EXPECT_NE(d.m->dec_cap_buffers[i].start, nullptr);
        EXPECT_EQ(d.m->dec_cap_buffers[i].length, W * H * 3 / 2);
    }
}

TEST(DecoderStart, SmallerInputGrantAlsoLowersTheCount)
{
    configure("--dec-grant 2 --dec-cap-grant 5");
    Dec d(KEP_FOURCC_H264, W, H, 4);
    ASSERT_TRUE(d.init_and_start());
    EXPECT_EQ(d.m->m2m_buffers, 2u) << "an index of the picture table must exist on the input queue too";
}

TEST(DecoderStart, NoGrantedBufferFailsTheStart)
{
    configure("--dec-cap-grant 0");
    Outcome o = in_child([] {
        Dec d(KEP_FOURCC_H264, W, H, 4);
        int r = kep_dec_init(d.m) == 0 ? kep_dec_start(d.m) : 99;
        return r == -1 && d.m->m2m_buffers == 0 ? 0 : 1;
    });
    EXPECT_EQ(o.status, 0);
    EXPECT_EQ(o.err, "kep_dec_start: the decoder granted no buffers\n");
}

TEST(DecoderStart, FailedMappingReturnsMinusOne)
{
    configure("--fail dec:mmap:ENOMEM");
    Outcome o = in_child([] {
        Dec d(KEP_FOURCC_H264, W, H);
        int r = kep_dec_init(d.m) == 0 ? kep_dec_start(d.m) : 99;
        d.started = true; // what was mapped is released by the stop
        return r == -1 ? 0 : 1;
    });
    EXPECT_EQ(o.status, 0);
    EXPECT_NE(o.err.find("mmap output querybuf: Cannot allocate memory\n"), std::string::npos) << o.err;
}

TEST(DecoderRead, InputIndexCyclesOverTheBuffers)
{
    std::vector<Frame> f = frames(5);
    ASSERT_EQ(f.size(), 5u);
    Dec d(KEP_FOURCC_H264, W, H, 3);
    ASSERT_TRUE(d.init_and_start());
    std::vector<unsigned> seen;
    for (const Frame &frame : f) {
        seen.push_back(d.m->dec_in_index);
        ASSERT_TRUE(d.put(frame));
        ASSERT_EQ(kep_dec_read(d.m), 0);
        EXPECT_EQ(d.m->dec_size, W * H * 3 / 2);
        EXPECT_LT(d.m->dec_index, 3u);
        ASSERT_EQ(kep_dec_reset(d.m), 0);
    }
    EXPECT_EQ(seen, (std::vector<unsigned>{0, 1, 2, 0, 1}));
    EXPECT_EQ(vcam_stat("dec.decoded"), 5);
}

// A signal during any request is not a failure: the whole life of the stream
// works with every request interrupted twice first.
TEST(DecoderRead, InterruptedRequestsAreRetried)
{
    std::vector<Frame> f = frames(3);
    ASSERT_EQ(f.size(), 3u);
    configure("--eintr 2");
    {
        Dec d(KEP_FOURCC_H264, W, H, 3);
        ASSERT_TRUE(d.init_and_start());
        for (const Frame &frame : f) {
            ASSERT_TRUE(d.put(frame));
            ASSERT_EQ(kep_dec_read(d.m), 0);
            EXPECT_EQ(d.m->dec_size, W * H * 3 / 2);
            ASSERT_EQ(kep_dec_reset(d.m), 0);
        }
        EXPECT_EQ(kep_dec_stop(d.m), 0);
        d.started = false;
    }
    EXPECT_EQ(vcam_stat("dec.decoded"), 3);
    EXPECT_GE(vcam_stat("eintr"), 2 * 10) << "every kind of request was interrupted";
}

TEST(DecoderRead, ScaledPicturesHaveTheDividedSize)
{
    std::vector<Frame> f = frames(2);
    ASSERT_EQ(f.size(), 2u);
    Dec d(KEP_FOURCC_H264, W, H, 2, 2);
    ASSERT_TRUE(d.init_and_start());
    for (const Frame &frame : f) {
        ASSERT_TRUE(d.put(frame));
        ASSERT_EQ(kep_dec_read(d.m), 0);
        EXPECT_EQ(d.m->dec_size, (W / 2) * (H / 2) * 3 / 2);
        ASSERT_EQ(kep_dec_reset(d.m), 0);
    }
}

// A picture dequeue that fails with errno_name: result, record and messages.
Outcome failed_picture_dequeue(const std::string &errno_name)
{
    return with_one_input("--fail dec.cap:DQBUF:always:" + errno_name, [](Dec &d) {
        d.m->dec_index = 7;
        d.m->dec_size = 7;
        int r = kep_dec_read(d.m);
        return r == -1 && d.m->dec_index == 0 && d.m->dec_size == 0 ? 0 : 1;
    });
}

TEST(DecoderRead, EagainAndEioOnThePictureDequeueAreSilent)
{
    for (const char *e : {"EAGAIN", "EIO"}) {
        Outcome o = failed_picture_dequeue(e);
        EXPECT_EQ(o.status, 0) << e << ": result not -1 or index/size not 0";
        EXPECT_EQ(o.err, "") << e;
    }
}

TEST(DecoderRead, OtherPictureDequeueFailuresAreReported)
{
    Outcome o = failed_picture_dequeue("EINVAL");
    EXPECT_EQ(o.status, 0);
    // The wait said a picture was done, so the dequeue is made twice.
    EXPECT_EQ(o.err, "capture dqbuf: Invalid argument\ncapture dqbuf: Invalid argument\n");
}

TEST(DecoderRead, RefusedInputIsRetriedUntilTaken)
{
    Outcome o = with_one_input("--dec-refuse 3", [](Dec &d) {
        return kep_dec_read(d.m) == 0 && d.m->dec_size == W * H * 3 / 2 ? 0 : 1;
    });
    EXPECT_EQ(o.status, 0);
    EXPECT_EQ(o.err, "output qbuf, now retry: Device or resource busy\n"
                     "output qbuf, now retry: Device or resource busy\n"
                     "output qbuf, now retry: Device or resource busy\n");
}

TEST(DecoderRead, InputRefusedForeverFailsAfterTheBound)
{
    Outcome o = with_one_input("--dec-refuse always", [](Dec &d) {
        return kep_dec_read(d.m) == -1 ? 0 : 1;
    });
    EXPECT_EQ(o.status, 0) << "the read did not give up with -1";
    EXPECT_EQ(count_of(o.err, "output qbuf, now retry: Device or resource busy\n"), 200u);
    EXPECT_NE(o.err.find("kep_dec_read: decoder refused input buffer 0 200 times, giving up\n"), std::string::npos)
        << o.err.substr(o.err.size() > 200 ? o.err.size() - 200 : 0);
}

// The read that gave up took no picture: the reset that follows gives none
// back, not the one dec_index still named (already with the decoder).
TEST(DecoderRead, ResetAfterAReadThatGaveUpQueuesNoPicture)
{
    Outcome o = with_one_input("--dec-refuse always", [](Dec &d) {
        d.m->dec_index = 1; // the picture of an earlier read, given back by its reset
        d.m->dec_size = 100;
        if (kep_dec_read(d.m) != -1 || d.m->dec_index != 0 || d.m->dec_size != 0)
            return 3;
        long q = vcam_stat("dec.cap:QBUF");
        return kep_dec_reset(d.m) == 0 && vcam_stat("dec.cap:QBUF") == q ? 0 : 4;
    });
    EXPECT_EQ(o.status, 0) << o.err.substr(o.err.size() > 300 ? o.err.size() - 300 : 0);
    EXPECT_EQ(o.err.find("capture qbuf"), std::string::npos);
}

TEST(DecoderRead, PictureIndexOutsideTheTableIsAnAssertion)
{
    Outcome o = with_one_input("--dec-bad-index", [](Dec &d) {
        kep_dec_read(d.m);
        return 0;
    });
    EXPECT_EQ(o.signal, SIGABRT);
    EXPECT_NE(o.err.find("kep_vc_lib:"), std::string::npos) << o.err;
    EXPECT_NE(o.err.find(": kep_dec_read: Assertion `buf.index < m2m->m2m_buffers' failed.\n"), std::string::npos)
        << o.err;
}

TEST(DecoderRead, FailedWaitEndsTheProcess)
{
    Outcome o = with_one_input("--fail dec:select:EBADF", [](Dec &d) {
        kep_dec_read(d.m);
        return 3;
    });
    EXPECT_EQ(o.status, 1);
    EXPECT_EQ(o.err, "select: Bad file descriptor\n");
}

TEST(DecoderStop, StopReleasesBothTables)
{
    configure("");
    Dec d(KEP_FOURCC_H264, W, H);
    ASSERT_TRUE(d.init_and_start());
    EXPECT_EQ(kep_dec_stop(d.m), 0);
    d.started = false;
    EXPECT_EQ(d.m->dec_out_buffers, nullptr);
    EXPECT_EQ(d.m->dec_cap_buffers, nullptr);
    EXPECT_EQ(vcam_stat("munmap"), 6);
    EXPECT_EQ(kep_dec_uninit(d.m), 0);
}

TEST(DecoderStop, FailedStreamOffIsReportedAndReturned)
{
    // The refused stop returns before unmapping; a second stop releases all.
    configure("--fail dec.cap:STREAMOFF:once:EIO");
    Outcome o = in_child([] {
        Dec d(KEP_FOURCC_H264, W, H);
        if (!d.init_and_start())
            return 2;
        d.started = false;
        if (kep_dec_stop(d.m) != -1 || d.m->dec_cap_buffers == nullptr)
            return 1;
        return kep_dec_stop(d.m) == 0 && d.m->dec_cap_buffers == nullptr ? 0 : 3;
    });
    EXPECT_EQ(o.status, 0);
    EXPECT_NE(o.err.find("kep_dec_stop:"), std::string::npos) << o.err;
    EXPECT_NE(o.err.find(": ioctl: Input/output error\n"), std::string::npos) << o.err;
}

TEST(DecoderStop, FailedUnmapWritesMunmap)
{
    // The stop ends at the refused unmap; a second stop releases the rest,
    // never an address twice.
    configure("--fail dec:munmap:once");
    Outcome o = in_child([] {
        Dec d(KEP_FOURCC_H264, W, H);
        if (!d.init_and_start())
            return 2;
        d.started = false;
        if (kep_dec_stop(d.m) != -1)
            return 1;
        return kep_dec_stop(d.m) == 0 && vcam_stat("dec:munmap") == vcam_stat("dec:mmap") + 1 ? 0 : 3;
    });
    EXPECT_EQ(o.status, 0);
    EXPECT_EQ(o.err, "munmap\n");
}

TEST(DecoderUninit, ReturnsZeroInAnyState)
{
    kep_m2m m;
    memset(&m, 0, sizeof m);
    EXPECT_EQ(kep_dec_uninit(&m), 0);
}

// A decoder feeding the encoder by user pointer, as a transcoder sets it up.
struct Transcode {
    explicit Transcode(uint32_t to) : d(KEP_FOURCC_H264, W, H, 3)
    {
        kep_m2m *m = d.m;
        strcpy(m->codec_dev_name, "/dev/video1");
        m->codec_fd = kep_open_device(m->codec_dev_name);
        m->m2m_enable = 1;
        m->codec_in_memory = 2;
        m->isp_fourcc = KEP_FOURCC_S420;
        m->codec_fourcc = to;
        m->isp_fps = m->codec_fps = 30;
    }
    ~Transcode()
    {
        if (coding) {
            kep_codec_stop(d.m);
            kep_codec_uninit(d.m);
        }
        free(d.m->codec_cap_buffers);
        close(d.m->codec_fd);
    }
    bool start()
    {
        if (!d.init_and_start())
            return false;
        coding = kep_codec_init(d.m) == 0 && kep_codec_start(d.m) == 0;
        return coding;
    }
    Dec d;
    bool coding = false;
};

TEST(DecodeToEncode, ReturnsAPositiveValueAndTheEncodedFrame)
{
    std::vector<Frame> f = frames(3);
    ASSERT_EQ(f.size(), 3u);
    configure("");
    Transcode t(KEP_FOURCC_MJPG);
    ASSERT_TRUE(t.start());
    for (const Frame &frame : f) {
        ASSERT_TRUE(t.d.put(frame));
        EXPECT_GT(kep_dec2enc(t.d.m), 0);
        EXPECT_GT(t.d.m->codec_size, 0u);
        EXPECT_EQ(t.d.m->codec_flags & 0x40, 0u);
        ASSERT_EQ(kep_dec2enc_reset(t.d.m), 0);
    }
    EXPECT_LE(vcam_stat("enc.foreign"), 0) << "the encoder refused the decoder's picture";
    EXPECT_EQ(vcam_stat("copies"), 0);
    EXPECT_EQ(vcam_stat("enc.encoded"), 3);
}

// One failed dequeue of a picture or of a coded frame, after the wait said
// it was done, costs nothing: every call still delivers its own frame, so
// none is left behind with the driver at the end.
TEST(DecodeToEncode, OneFailedDequeueLeavesNoFrameBehind)
{
    std::vector<Frame> f = frames(4);
    ASSERT_EQ(f.size(), 4u);
    struct Case {
        bool transcode;
        const char *fault;
    } cases[] = {{false, "dec.cap:DQBUF:@2:EIO"}, {false, "dec.cap:DQBUF:@2:EINVAL"},
                 {true, "dec.cap:DQBUF:@2:EAGAIN"}, {true, "enc.cap:DQBUF:@2:EIO"}, {true, "enc.cap:DQBUF:@2:EBUSY"}};
    for (const Case &c : cases) {
        configure(std::string("--fail ") + c.fault);
        Transcode t(KEP_FOURCC_MJPG);
        ASSERT_TRUE(c.transcode ? t.start() : t.d.init_and_start()) << c.fault;
        unsigned delivered = 0;
        for (const Frame &frame : f) {
            ASSERT_TRUE(t.d.put(frame));
            if (c.transcode) {
                delivered += kep_dec2enc(t.d.m) > 0 && t.d.m->codec_size != 0;
                kep_dec2enc_reset(t.d.m);
            } else {
                delivered += kep_dec_read(t.d.m) == 0 && t.d.m->dec_size != 0;
                kep_dec_reset(t.d.m);
            }
        }
        EXPECT_EQ(vcam_stat("faults"), 1) << c.fault;
        EXPECT_EQ(delivered, 4u) << c.fault;
        EXPECT_EQ(vcam_stat("dec.frames"), vcam_stat("dec.decoded")) << c.fault << ": a picture stayed behind";
        if (c.transcode) {
            EXPECT_EQ(vcam_stat("enc.frames"), vcam_stat("enc.encoded")) << c.fault << ": a coded frame stayed behind";
        }
    }
}

TEST(DecodeToEncode, FailedEncoderWaitReturnsMinusOne)
{
    std::vector<Frame> f = frames(1);
    ASSERT_EQ(f.size(), 1u);
    configure("--fail enc:select:EBADF");
    Outcome o = in_child([&f] {
        Transcode t(KEP_FOURCC_H264);
        if (!t.start() || !t.d.put(f[0]))
            return 2;
        return kep_dec2enc(t.d.m) == -1 ? 0 : 1;
    });
    EXPECT_EQ(o.status, 0) << "the call must return -1, not end the process";
    EXPECT_EQ(o.err, "select: Bad file descriptor\n");
}

TEST(DecodeToEncode, KeyFrameRequestIsSentThenClearedByTheNextGoodFrame)
{
    std::vector<Frame> f = frames(4);
    ASSERT_EQ(f.size(), 4u);
    Outcome o = in_child([&f] {
        Transcode t(KEP_FOURCC_H264);
        if (!t.start())
            return 2;
        for (int i = 0; i < 2; ++i) {
            if (!t.d.put(f[i]) || kep_dec2enc(t.d.m) <= 0)
                return 3;
            if (i == 1)
                break;
            if (kep_dec2enc_reset(t.d.m) != 0)
                return 4;
        }
        if (t.d.m->codec_flags & 0x8)
            return 5; // the second frame must be a plain one
        t.d.m->force_i_frame = 1;
        fflush(stdout);
        printf("--\n");
        if (kep_dec2enc_reset(t.d.m) != 0 || t.d.m->force_i_frame != 1)
            return 6;
        if (!t.d.put(f[2]) || kep_dec2enc(t.d.m) <= 0)
            return 7;
        if (!(t.d.m->codec_flags & 0x8))
            return 8; // the request did not make a key frame
        return t.d.m->force_i_frame == 0 ? 0 : 9;
    });
    EXPECT_EQ(o.status, 0);
    size_t mark = o.out.find("--\n");
    ASSERT_NE(mark, std::string::npos) << o.out;
    EXPECT_EQ(o.out.substr(mark), "--\nset i frame \n");
}

} // namespace

namespace {

// The MJPEG decoder decodes only with a luma table received through its
// control: the table's address as the control value on 32-bit builds, the
// extended control's payload on 64-bit ones.
TEST(DecoderMjpeg, PicturesNeedTheQuantisationTableControl)
{
    configure("");
    const Frame scan = {0x12, 0x34, 0x56, 0x78, 0xFF, 0xD9, 0, 0};
    Dec d(KEP_FOURCC_MJPG, W, H, 2);
    ASSERT_TRUE(d.init_and_start());
    ASSERT_TRUE(d.put(scan));
    EXPECT_EQ(kep_dec_read(d.m), 0);
    EXPECT_EQ(d.m->dec_size, 0u) << "a picture without any table";
    ASSERT_EQ(kep_dec_reset(d.m), 0);
    EXPECT_EQ(vcam_stat("dec.no_qtable"), 1);

    uint8_t table[64];
    memset(table, 16, sizeof table);
    ASSERT_EQ(kep_dec_set_mjpeg_qtab_luma(d.m, table), 0);
    ASSERT_EQ(kep_dec_set_mjpeg_qtab_chroma(d.m, table), 0);
    ASSERT_EQ(kep_dec_set_mjpeg_sample_format(d.m, 0), 0);
    EXPECT_EQ(vcam_stat("dec.qtable.luma"), 1);
    EXPECT_EQ(vcam_stat("dec.qtable.chroma"), 1);
    EXPECT_EQ(vcam_stat("dec.ctrl.0x009d0901"), 2);
    ASSERT_TRUE(d.put(scan));
    EXPECT_EQ(kep_dec_read(d.m), 0);
    EXPECT_EQ(vcam_stat("dec.no_qtable"), 1) << "the tables did not reach the decoder";
    ASSERT_EQ(kep_dec_reset(d.m), 0);
}

} // namespace
