// Reading frames: one bit-stream buffer circulating, key frames by period and
// by request, the error flag, failed dequeues, stop and restart, and the
// zero-copy hand-over of ISP buffers.
#include "encoder_support.h"

#include <gtest/gtest.h>
#include <string.h>

using namespace enc_test;

namespace {

bool is_key(const kep_m2m *m)
{
    return (m->codec_flags & KEP_BUF_FLAG_KEYFRAME) != 0;
}

// H.264 frames carry NAL units; a key frame starts with SPS, PPS, IDR.
int first_nal_type(const std::vector<uint8_t> &f)
{
    return f.size() > 4 && f[0] == 0 && f[1] == 0 && f[2] == 0 && f[3] == 1 ? f[4] & 0x1f : -1;
}

} // namespace

TEST(EncoderStream, OneBitStreamBufferCirculatesAndTheFirstFrameIsKey)
{
    configure("");
    Pipe p;
    ASSERT_TRUE(p.open_and_start_isp());
    ASSERT_TRUE(p.init_and_start());
    for (int i = 0; i < 12; ++i) {
        std::vector<uint8_t> f = p.read();
        ASSERT_FALSE(f.empty()) << "frame " << i;
        EXPECT_EQ(p.m->codec_index, 0u) << "frame " << i;
        EXPECT_EQ(is_key(p.m), i == 0) << "frame " << i;
        EXPECT_EQ(first_nal_type(f), i == 0 ? 7 : 1) << "frame " << i << ": SPS first on a key frame, else a slice";
        kep_codec_reset(p.m);
    }
    EXPECT_EQ(vcam_stat("enc.foreign"), -1) << "every picture was an ISP buffer the program held";
}

// A signal during any request is not a failure: set-up, frames, stop and
// release work with every request interrupted twice first.
TEST(EncoderStream, InterruptedRequestsAreRetried)
{
    configure("--eintr 2");
    Pipe p;
    ASSERT_TRUE(p.open_and_start_isp());
    ASSERT_TRUE(p.init_and_start());
    for (int i = 0; i < 3; ++i) {
        ASSERT_FALSE(p.read().empty()) << "frame " << i;
        EXPECT_EQ(is_key(p.m), i == 0) << "frame " << i;
        kep_codec_reset(p.m);
    }
    EXPECT_EQ(kep_codec_stop(p.m), 0);
    EXPECT_EQ(kep_codec_uninit(p.m), 0);
    p.codec_inited = false;
    EXPECT_GE(vcam_stat("enc.encoded"), 3);
    EXPECT_GE(vcam_stat("eintr"), 2 * 10) << "every kind of request was interrupted";
}

TEST(EncoderStream, KeyFramesFollowTheGop)
{
    configure("");
    Pipe p;
    ASSERT_TRUE(p.open_and_start_isp());
    ASSERT_EQ(kep_codec_init(p.m), 0);
    p.codec_inited = true;
    p.m->gop = 4;
    ASSERT_EQ(kep_codec_set_gop(p.m), 0);
    ASSERT_EQ(kep_codec_start(p.m), 0);
    for (int i = 0; i < 13; ++i) {
        ASSERT_FALSE(p.read().empty());
        EXPECT_EQ(is_key(p.m), i % 4 == 0) << "frame " << i;
        kep_codec_reset(p.m);
    }
}

TEST(EncoderStream, ForcedKeyFrameComesNextAndTheRequestClears)
{
    Outcome o = in_child([] {
        configure("");
        Pipe p;
        if (!p.open_and_start_isp() || !p.init_and_start())
            return 10;
        p.m->gop = 0; // no periodic key frames
        kep_codec_set_gop(p.m);
        for (int i = 0; i < 3; ++i) {
            p.read();
            kep_codec_reset(p.m);
        }
        p.read();
        if (is_key(p.m))
            return 11;
        p.m->force_i_frame = 1;
        kep_codec_reset(p.m); // queues the buffer with the key-frame flag
        p.read();
        if (!is_key(p.m) || p.m->force_i_frame != 0)
            return 12;
        kep_codec_reset(p.m);
        p.read();
        return is_key(p.m) ? 13 : 0;
    });
    EXPECT_EQ(o.status, 0) << o.err;
    EXPECT_TRUE(has(o.out, "\nset i frame \n")) << o.out;
}

TEST(EncoderStream, ErrorFlagKeepsTheKeyFrameRequest)
{
    configure("--enc-error 1");
    Pipe p;
    ASSERT_TRUE(p.open_and_start_isp());
    p.m->force_i_frame = 1; // rides on buffer 0, queued by init
    ASSERT_TRUE(p.init_and_start());
    EXPECT_TRUE(p.read().empty());
    EXPECT_EQ(p.m->codec_flags & (KEP_BUF_FLAG_ERROR | KEP_BUF_FLAG_KEYFRAME), KEP_BUF_FLAG_ERROR);
    EXPECT_EQ(p.m->force_i_frame, 1) << "a failed frame must not clear the request";
    long qbufs = vcam_stat("enc.VIDIOC_QBUF");
    kep_codec_reset(p.m);
    EXPECT_EQ(vcam_stat("enc.VIDIOC_QBUF") - qbufs, 1) << "the failed buffer goes back";
    EXPECT_FALSE(p.read().empty());
    EXPECT_TRUE(is_key(p.m));
    EXPECT_EQ(p.m->force_i_frame, 0);
    kep_codec_reset(p.m);
}

// The bit-stream buffer stays with the driver and is not queued again; the
// ISP frame, which the encoder has given up, goes back to the ISP.
TEST(EncoderStream, NothingReadyIsSilentAndOnlyTheIspFrameGoesBack)
{
    for (const char *err : {"EAGAIN", "EIO"}) {
        Outcome o = in_child([err] {
            configure(std::string("--fail enc.cap:DQBUF:once:") + err);
            Pipe p;
            if (!p.open_and_start_isp() || !p.init_and_start())
                return 10;
            if (!p.read().empty() || p.m->codec_flags != 0)
                return 11;
            long enc_q = vcam_stat("enc.VIDIOC_QBUF"), all_q = vcam_stat("VIDIOC_QBUF");
            kep_codec_reset(p.m);
            if (vcam_stat("VIDIOC_QBUF") != all_q + 1 || vcam_stat("enc.VIDIOC_QBUF") != enc_q)
                return 12;
            // The frame the failed dequeue left behind comes with the next read.
            return p.read().empty() ? 13 : 0;
        });
        EXPECT_EQ(o.status, 0) << err << ": " << o.err;
        EXPECT_EQ(o.err, "") << err;
    }
}

// On either queue: the picture taken back, or the bit stream.
TEST(EncoderStream, OtherDequeueErrorsArePrinted)
{
    for (const char *queue : {"enc.cap", "enc.out"}) {
        Outcome o = in_child([queue] {
            configure(std::string("--fail ") + queue + ":DQBUF:once:EINVAL");
            Pipe p;
            if (!p.open_and_start_isp() || !p.init_and_start())
                return 10;
            kep_codec_read(p.m);
            bool bit_stream = strcmp(queue, "enc.cap") == 0;
            return (p.m->codec_size == 0) == bit_stream ? 0 : 11;
        });
        EXPECT_EQ(o.status, 0) << queue << ": " << o.err;
        EXPECT_EQ(o.err, "ioctl: Invalid argument\n") << queue;
    }
}

TEST(EncoderStream, IndexOutsideTheTableIsAnAssertion)
{
    Outcome o = in_child([] {
        configure("--enc-bad-index");
        Pipe p;
        if (!p.open_and_start_isp() || !p.init_and_start())
            return 10;
        kep_codec_read(p.m);
        return 11;
    });
    EXPECT_EQ(o.signal, SIGABRT) << "status " << o.status << ": " << o.err;
    EXPECT_TRUE(has(o.err, "kep_vc_lib:[0-9]+: kep_codec_cap_dq: Assertion `buf.index < m2m->m2m_buffers' failed.\n"))
        << o.err;
}

TEST(EncoderStream, ReadAfterStopGivesNoFrameAndTheIspFrameGoesBack)
{
    configure("");
    Pipe p;
    ASSERT_TRUE(p.open_and_start_isp());
    ASSERT_TRUE(p.init_and_start());
    ASSERT_FALSE(p.read().empty());
    kep_codec_reset(p.m);
    ASSERT_EQ(kep_codec_stop(p.m), 0);
    EXPECT_EQ(p.m->codec_state, 2u);
    long isp_q = vcam_stat("VIDIOC_QBUF") - vcam_stat("enc.VIDIOC_QBUF");
    long enc_req = vcam_stat("enc.VIDIOC_QBUF") + vcam_stat("enc.VIDIOC_DQBUF");
    EXPECT_EQ(kep_codec_read(p.m), 0);
    EXPECT_EQ(p.m->codec_size, 0u);
    kep_codec_reset(p.m);
    EXPECT_EQ(vcam_stat("VIDIOC_QBUF") - vcam_stat("enc.VIDIOC_QBUF") - isp_q, 1) << "the ISP frame went back";
    EXPECT_EQ(vcam_stat("enc.VIDIOC_QBUF") + vcam_stat("enc.VIDIOC_DQBUF"), enc_req) << "the encoder was left alone";
    // Restart: buffer 0 again, with the key-frame flag asked for.
    p.m->force_i_frame = 1;
    ASSERT_EQ(kep_codec_start(p.m), 0);
    EXPECT_EQ(p.m->codec_state, 1u);
    for (int i = 0; i < 3; ++i) {
        ASSERT_FALSE(p.read().empty()) << "frame " << i << " after the restart";
        EXPECT_EQ(p.m->codec_index, 0u);
        EXPECT_EQ(is_key(p.m), i == 0);
        kep_codec_reset(p.m);
    }
}

// After a stop, a read whose ISP dequeue found nothing took no ISP buffer,
// and its reset gives none back: in user-pointer mode a buffer queued twice
// would end the process.
TEST(EncoderStream, ReadAfterStopWithoutAnIspFrameGivesNothingBack)
{
    for (uint32_t io : {KEP_IO_MMAP, KEP_IO_USERPTR}) {
        Outcome o = in_child([io] {
            configure("--fail isp:DQBUF:@3:EAGAIN"); // two reads, then the one after the stop
            Pipe p;
            p.m->isp_io = io;
            if (!p.open_and_start_isp() || !p.init_and_start())
                return 10;
            for (int i = 0; i < 2; ++i) {
                if (p.read().empty())
                    return 11;
                kep_codec_reset(p.m);
            }
            if (kep_codec_stop(p.m) != 0)
                return 12;
            long isp_q = vcam_stat("isp:QBUF");
            kep_codec_read(p.m);
            kep_codec_reset(p.m);
            if (p.m->codec_size != 0 || vcam_stat("isp:QBUF") != isp_q)
                return 13;
            if (kep_codec_start(p.m) != 0 || p.read().empty())
                return 14;
            kep_codec_reset(p.m);
            return 0;
        });
        EXPECT_EQ(o.status, 0) << "isp_io " << io << ": " << o.err;
        EXPECT_EQ(o.err, "") << "isp_io " << io;
    }
}

TEST(EncoderStream, StreamSwitchFailuresReturnMinusOne)
{
    Outcome o = in_child([] {
        configure("--fail enc.out:STREAMON:once:EIO --fail enc.cap:STREAMOFF:once:EBUSY");
        Pipe p;
        if (!p.open_and_start_isp() || kep_codec_init(p.m) != 0)
            return 10;
        p.codec_inited = true;
        if (kep_codec_start(p.m) != -1 || p.m->codec_state != 0)
            return 11;
        if (kep_codec_start(p.m) != 0)
            return 12;
        if (kep_codec_stop(p.m) != -1 || p.m->codec_state != 1)
            return 13; // the state stays
        return kep_codec_stop(p.m) == 0 && p.m->codec_state == 2 ? 0 : 14;
    });
    EXPECT_EQ(o.status, 0) << o.err;
    EXPECT_TRUE(has(o.err, "^kep_codec_start:[0-9]+: ioctl: Input/output error\n")) << o.err;
    EXPECT_TRUE(has(o.err, "\nkep_codec_stop:[0-9]+: ioctl: Device or resource busy\n")) << o.err;
}

TEST(EncoderStream, RefusedRequeueIsPrintedAndReadingGoesOn)
{
    Outcome o = in_child([] {
        configure("--fail enc.out:QBUF:once:EIO");
        Pipe p;
        if (!p.open_and_start_isp() || !p.init_and_start())
            return 10;
        kep_codec_read(p.m); // its picture was refused: no frame
        if (p.m->codec_size != 0)
            return 11;
        kep_codec_reset(p.m);
        return p.read().empty() ? 12 : 0;
    });
    EXPECT_EQ(o.status, 0) << o.err;
    EXPECT_TRUE(has(o.err, "^kep_codec_out_q:[0-9]+: ioctl: Input/output error\n")) << o.err;
}

TEST(EncoderStream, NoIspFrameMeansNoPictureForTheEncoder)
{
    Outcome o = in_child([] {
        configure("--eagain 1"); // the first ISP dequeue finds nothing
        Pipe p;
        if (!p.open_and_start_isp() || !p.init_and_start())
            return 10;
        long enc_q = vcam_stat("enc.VIDIOC_QBUF");
        kep_codec_read(p.m);
        if (p.m->codec_size != 0 || vcam_stat("enc.VIDIOC_QBUF") != enc_q)
            return 11; // buffer isp_index is the ISP's: not to be coded
        long isp_q = vcam_stat("VIDIOC_QBUF");
        kep_codec_reset(p.m);
        if (vcam_stat("VIDIOC_QBUF") != isp_q)
            return 12; // nor given back a second time
        return p.read().empty() ? 13 : 0;
    });
    EXPECT_EQ(o.status, 0) << o.err;
    EXPECT_EQ(o.err, "");
}

// The pictures travel by user pointer from the mapped ISP buffers: no byte is
// copied, and every frame in steady state costs the same requests.
TEST(EncoderStream, ZeroCopyAndConstantRequestsPerFrame)
{
    configure("");
    Pipe p;
    ASSERT_TRUE(p.open_and_start_isp());
    ASSERT_TRUE(p.init_and_start());
    std::vector<long> per_frame;
    for (int i = 0; i < 20; ++i) {
        long before = requests();
        ASSERT_FALSE(p.read().empty());
        kep_codec_reset(p.m);
        per_frame.push_back(requests() - before);
    }
    for (int i = 2; i < 20; ++i)
        EXPECT_EQ(per_frame[i], per_frame[2]) << "frame " << i;
    // ISP dequeue, encoder input queue and dequeue, bit-stream dequeue, ISP
    // requeue, bit-stream requeue.
    EXPECT_EQ(per_frame[2], 6);
    EXPECT_EQ(vcam_stat("copies"), 0);
}

TEST(EncoderStream, MappedInputBuffersNeedNoIsp)
{
    configure("");
    Pipe p;
    p.m->codec_in_memory = KEP_IO_MMAP;
    p.m->codec_in_fourcc = KEP_FOURCC_S420;
    p.m->codec_fd = kep_open_device("/dev/video1");
    ASSERT_TRUE(p.init_and_start());
    for (unsigned i = 0; i < 4; ++i) {
        p.m->isp_index = i;
        memset(p.m->codec_out_buffers[i].start, 16 + 40 * i, p.m->codec_out_buffers[i].length);
        ASSERT_FALSE(p.read().empty()) << "input buffer " << i;
        kep_codec_reset(p.m);
    }
    EXPECT_EQ(vcam_stat("enc.encoded"), 4);
}
