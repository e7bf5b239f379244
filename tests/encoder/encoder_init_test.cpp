// kep_codec_init, the channel name, the controls and kep_codec_uninit on the
// virtual encoder node: what reaches the driver, and every set-up failure.
#include "encoder_support.h"

#include <gtest/gtest.h>
#include <string.h>

using namespace enc_test;

namespace {

// Init with the given platform options in a child; exit 0 when init returned
// `expected`.
Outcome init_with(const std::string &options, int expected, uint32_t fourcc = KEP_FOURCC_H264, unsigned scale = 1)
{
    return in_child([=] {
        configure(options);
        Pipe p(fourcc);
        p.m->scale = scale;
        if (!p.open_and_start_isp())
            return 20;
        int r = kep_codec_init(p.m);
        p.codec_inited = r == 0;
        return r == expected ? 0 : 10;
    });
}

} // namespace

TEST(EncoderInit, NamesTheChannelFromItsProcEntry)
{
    configure("");
    Pipe p;
    ASSERT_TRUE(p.open_and_start_isp());
    ASSERT_EQ(kep_codec_init(p.m), 0);
    p.codec_inited = true;
    EXPECT_STREQ(p.m->codec_name, "1_hd");
    EXPECT_EQ(p.m->codec_state, 0u);
    EXPECT_EQ(p.m->codec_index, 0u);
}

TEST(EncoderInit, WithoutProcEntryTheSecondLetterIsNul)
{
    configure("--no-proc-codec");
    Pipe p;
    ASSERT_TRUE(p.open_and_start_isp());
    ASSERT_EQ(kep_codec_init(p.m), 0);
    p.codec_inited = true;
    EXPECT_EQ(memcmp(p.m->codec_name, "1_h\0", 4), 0) << p.m->codec_name;
}

TEST(EncoderInit, ChannelZeroFromVideo0Path)
{
    configure("--isp /dev/video7 --encoder /dev/video0");
    Pipe p;
    strcpy(p.m->isp_dev_name, "/dev/video7");
    strcpy(p.m->codec_dev_name, "/dev/video0");
    ASSERT_TRUE(p.open_and_start_isp());
    ASSERT_EQ(kep_codec_init(p.m), 0);
    p.codec_inited = true;
    EXPECT_STREQ(p.m->codec_name, "0_hd");
}

TEST(EncoderInit, MjpegAtScaleTwoAsksForHalfSize)
{
    Outcome o = in_child([] {
        configure("");
        Pipe p(KEP_FOURCC_MJPG, 640, 480);
        p.m->scale = 2;
        if (!p.open_and_start_isp() || kep_codec_init(p.m) != 0)
            return 10;
        p.codec_inited = true;
        if (strcmp(p.m->codec_name, "1_js") != 0)
            return 11;
        if (vcam_stat("enc.cap.width") != 320 || vcam_stat("enc.cap.height") != 240)
            return 12;
        if (vcam_stat("enc.out.width") != 640 || vcam_stat("enc.out.height") != 480)
            return 13;
        return vcam_stat("enc.cap.pixelformat") == KEP_FOURCC_MJPG ? 0 : 14;
    });
    EXPECT_EQ(o.status, 0) << o.err;
    EXPECT_TRUE(has(o.out, "\n640 480  scale == 2\n")) << o.out;
}

TEST(EncoderInit, PrivateControlsCarryTheConfiguredValues)
{
    configure("");
    Pipe p;
    p.m->codec_ctrl_value = 77;
    ASSERT_TRUE(p.open_and_start_isp());
    ASSERT_EQ(kep_codec_init(p.m), 0);
    p.codec_inited = true;
    EXPECT_EQ(vcam_stat("enc.ctrl.0x00981900"), 1);
    EXPECT_EQ(vcam_stat("enc.ctrl.0x00981901"), 1);
    EXPECT_EQ(vcam_stat("enc.ctrl.0x00981902"), 77);
    EXPECT_EQ(vcam_stat("enc.out.fps"), 200) << "input rate is the ISP's";
    EXPECT_EQ(vcam_stat("enc.cap.fps"), 30);
    EXPECT_EQ(vcam_stat("enc.out.REQBUFS.memory"), 2) << "pictures by user pointer";
}

TEST(EncoderInit, WithoutInputQueueOnlyTheBitStreamQueueIsSetUp)
{
    configure("");
    Pipe p;
    p.m->m2m_enable = 0;
    p.m->codec_fd = kep_open_device("/dev/video1");
    ASSERT_EQ(kep_codec_init(p.m), 0);
    p.codec_inited = true;
    EXPECT_EQ(vcam_stat("VIDIOC_S_CTRL"), 0) << "no private control with m2m_enable 0 and scale 1";
    EXPECT_EQ(vcam_stat("enc.out.REQBUFS.count"), -1) << "the input queue is left alone";
    EXPECT_EQ(vcam_stat("enc.VIDIOC_S_FMT"), 1);
    // The node codes its own pictures.
    ASSERT_EQ(kep_codec_start(p.m), 0);
    kep_codec_read(p.m);
    EXPECT_GT(p.m->codec_size, 0u);
    EXPECT_EQ(p.m->codec_flags & KEP_BUF_FLAG_KEYFRAME, KEP_BUF_FLAG_KEYFRAME);
    kep_codec_reset(p.m);
}

// Each request that init cannot do without: the step's message and the
// request's result.
TEST(EncoderInit, FailedRequestsReturnTheirResultWithTheStepMessage)
{
    const char *faults[] = {"enc:S_CTRL:once:EIO", "enc:QUERYCAP:once:EIO", "enc.out:S_FMT:once:EIO",
                            "enc.cap:S_FMT:once:EIO", "enc.out:REQBUFS:once:EIO", "enc.cap:REQBUFS:once:EIO"};
    for (const char *fault : faults) {
        Outcome o = init_with(std::string("--fail ") + fault, -1);
        EXPECT_EQ(o.status, 0) << fault << ": init did not return -1\n" << o.err;
        EXPECT_TRUE(has(o.err, "kep_codec_init:[0-9]+: ioctl: Input/output error\n")) << fault << ": " << o.err;
    }
}

TEST(EncoderInit, RateFailuresAreIgnored)
{
    Outcome o = init_with("--fail enc:S_PARM:always:EIO", 0);
    EXPECT_EQ(o.status, 0) << o.err;
    EXPECT_EQ(o.err.find("kep_codec_init"), std::string::npos) << o.err;
}

TEST(EncoderInit, FailedBufferQueryEndsTheProcess)
{
    Outcome o = init_with("--fail enc.cap:QUERYBUF:once:EIO", 0);
    EXPECT_EQ(o.status, 1);
    EXPECT_TRUE(has(o.err, "kep_codec_init:[0-9]+: ioctl: Input/output error\n")) << o.err;
}

TEST(EncoderInit, FailedMappingReturnsMinusOne)
{
    Outcome o = init_with("--fail enc:mmap:once:ENOMEM", -1);
    EXPECT_EQ(o.status, 0) << o.err;
    EXPECT_TRUE(has(o.err, "kep_codec_init:[0-9]+: mmap: Cannot allocate memory\n")) << o.err;
}

TEST(EncoderInit, MappedInputBuffersAreMappedAndUnmapped)
{
    configure("");
    Pipe p;
    p.m->codec_in_memory = KEP_IO_MMAP;
    p.m->codec_in_fourcc = KEP_FOURCC_S420;
    ASSERT_TRUE(p.open_and_start_isp());
    long maps = vcam_stat("mmap");
    ASSERT_EQ(kep_codec_init(p.m), 0);
    EXPECT_EQ(vcam_stat("mmap") - maps, 8) << "four input and four bit-stream buffers";
    ASSERT_NE(p.m->codec_out_buffers, nullptr);
    EXPECT_EQ(p.m->codec_out_buffers[3].length, 320u * 240 * 3 / 2);
    long unmaps = vcam_stat("munmap");
    EXPECT_EQ(kep_codec_uninit(p.m), 0);
    EXPECT_EQ(vcam_stat("munmap") - unmaps, 8);
    EXPECT_EQ(p.m->codec_out_buffers, nullptr);
}

// A smaller grant never leaves the caller an empty entry: with the bit stream
// alone (one buffer circulates) what was granted is mapped and unmapped; an
// input queue too short for the pictures fails the set-up (user pointers) or
// ends it at the query of the first missing buffer (mapped input buffers).
TEST(EncoderInit, FewerGrantedBuffers)
{
    struct Case {
        int m2m_enable;
        uint32_t in_memory;
        int status;        // of the child
        const char *error; // its standard error
    } cases[] = {
        {0, KEP_IO_USERPTR, 0, ""},
        {1, KEP_IO_USERPTR, 0, "^kep_codec_init:[0-9]+: ioctl: Cannot allocate memory\n"},
        {1, KEP_IO_MMAP, 1, "^kep_codec_init:[0-9]+: ioctl: Invalid argument\n"},
    };
    for (const Case &c : cases) {
        Outcome o = in_child([&c] {
            configure("--enc-grant 2");
            Pipe p;
            p.m->m2m_enable = c.m2m_enable;
            p.m->codec_in_memory = c.in_memory;
            p.m->codec_in_fourcc = KEP_FOURCC_S420;
            if (!p.open_and_start_isp())
                return 20;
            long maps = vcam_stat("mmap");
            int r = kep_codec_init(p.m);
            if (c.m2m_enable)
                return r == -1 ? 0 : 21;
            if (r != 0 || vcam_stat("mmap") - maps != 2 || !p.m->codec_cap_buffers[1].start ||
                p.m->codec_cap_buffers[2].start)
                return 22; // the table still has m2m_buffers entries, two of them mapped
            long unmaps = vcam_stat("munmap");
            if (kep_codec_uninit(p.m) != 0 || vcam_stat("munmap") - unmaps != 2)
                return 23;
            return 0;
        });
        EXPECT_EQ(o.status, c.status) << "m2m_enable " << c.m2m_enable << " memory " << c.in_memory << ": " << o.err;
        EXPECT_TRUE(*c.error ? has(o.err, c.error) : o.err.empty()) << o.err;
    }
}

TEST(EncoderInit, UnmapFailurePrintsAndReturnsMinusOne)
{
    // A refused unmap of a bit-stream buffer, and (mapped input pictures)
    // of the first picture, unmapped after the four bit-stream buffers.
    struct Case {
        const char *fail;
        uint32_t input;
    } cases[] = {{"--fail enc:munmap:once:EINVAL", KEP_IO_USERPTR}, {"--fail enc:munmap:@5:EINVAL", KEP_IO_MMAP}};
    for (const Case &c : cases) {
        Outcome o = in_child([c] {
            // The uninit ends at the refused unmap; a second one releases
            // the rest, never an address twice.
            configure(c.fail);
            Pipe p;
            p.m->codec_in_memory = c.input;
            p.m->codec_in_fourcc = KEP_FOURCC_S420;
            if (!p.open_and_start_isp() || kep_codec_init(p.m) != 0)
                return 10;
            if (kep_codec_uninit(p.m) != -1)
                return 11;
            return kep_codec_uninit(p.m) == 0 && vcam_stat("enc:munmap") == vcam_stat("enc:mmap") + 1 ? 0 : 12;
        });
        EXPECT_EQ(o.status, 0) << c.fail << "\n" << o.err;
        EXPECT_TRUE(has(o.err, "^munmap\n")) << c.fail << "\n" << o.err;
    }
}

TEST(EncoderInit, FailedMappingOfAnInputPictureReturnsMinusOne)
{
    Outcome o = in_child([] {
        // The second picture: the first is mapped already.
        configure("--fail enc:mmap:@2:ENOMEM");
        Pipe p;
        p.m->codec_in_memory = KEP_IO_MMAP;
        p.m->codec_in_fourcc = KEP_FOURCC_S420;
        if (!p.open_and_start_isp())
            return 20;
        if (kep_codec_init(p.m) != -1)
            return 10;
        // The caller's teardown releases the pictures mapped before it.
        return kep_codec_uninit(p.m) == 0 && vcam_stat("enc:munmap") == vcam_stat("enc:mmap") - 1 ? 0 : 11;
    });
    EXPECT_EQ(o.status, 0) << o.err;
    EXPECT_TRUE(has(o.err, "kep_codec_init:[0-9]+: mmap: Cannot allocate memory\n")) << o.err;
}

TEST(EncoderControls, H264RefusesAnyButTheQpIds)
{
    Outcome o = in_child([] {
        configure("");
        Pipe p;
        if (!p.open_and_start_isp() || kep_codec_init(p.m) != 0)
            return 10;
        p.codec_inited = true;
        long before = vcam_stat("enc.VIDIOC_S_CTRL");
        p.m->qp = 30;
        if (kep_codec_set_qp(p.m, KEP_CID_JPEG_COMPRESSION_QUALITY) != -1)
            return 11;
        if (vcam_stat("enc.VIDIOC_S_CTRL") != before)
            return 12; // refused without a request
        if (kep_codec_set_qp(p.m, KEP_CID_H264_I_FRAME_QP) != 0 || vcam_stat("enc.ctrl.0x00990a5e") != 30)
            return 13;
        p.m->qp = 35;
        if (kep_codec_set_qp(p.m, KEP_CID_H264_P_FRAME_QP) != 0 || vcam_stat("enc.ctrl.0x00990a5f") != 35)
            return 14;
        return 0;
    });
    EXPECT_EQ(o.status, 0) << o.err;
    EXPECT_EQ(o.err, "Error: Only support V4L2_CID_MPEG_VIDEO_H264_I_FRAME_QP/V4L2_CID_MPEG_VIDEO_H264_P_FRAME_QP\n");
}

TEST(EncoderControls, MjpegSetsQualityWhateverTheId)
{
    configure("");
    Pipe p(KEP_FOURCC_MJPG);
    ASSERT_TRUE(p.open_and_start_isp());
    ASSERT_EQ(kep_codec_init(p.m), 0);
    p.codec_inited = true;
    p.m->qp = 60;
    EXPECT_EQ(kep_codec_set_qp(p.m, KEP_CID_H264_I_FRAME_QP), 0);
    EXPECT_EQ(vcam_stat("enc.ctrl.0x009d0903"), 60);
    EXPECT_EQ(vcam_stat("enc.ctrl.0x00990a5e"), -1) << "no QP control was sent";
    EXPECT_EQ(kep_codec_get_qp(p.m), 0);
}

TEST(EncoderControls, DriverRefusalsArePrintedAndReturned)
{
    Outcome o = in_child([] {
        configure("");
        Pipe p(KEP_FOURCC_S420); // neither H.264 nor MJPEG: control id 0
        p.m->m2m_enable = 0;
        p.m->codec_fd = kep_open_device("/dev/video1");
        if (kep_codec_set_qp(p.m, KEP_CID_H264_I_FRAME_QP) != -1)
            return 10;
        p.m->gop = -5;
        if (kep_codec_set_gop(p.m) != -1)
            return 11;
        p.m->gop = 12;
        if (kep_codec_set_gop(p.m) != 0 || vcam_stat("enc.ctrl.0x00990a66") != 12)
            return 12;
        return kep_codec_get_gop(p.m);
    });
    EXPECT_EQ(o.status, 0) << o.err;
    EXPECT_TRUE(has(o.err, "^kep_codec_set_qp:[0-9]+: ioctl: Invalid argument\n")) << o.err;
    EXPECT_TRUE(has(o.err, "\nkep_codec_set_gop:[0-9]+: ioctl: Numerical result out of range\n")) << o.err;
}

TEST(EncoderInit, RefusedBitStreamQueueIsPrintedAndInitGoesOn)
{
    Outcome o = init_with("--fail enc.cap:QBUF:once:EIO", 0);
    EXPECT_EQ(o.status, 0) << o.err;
    EXPECT_TRUE(has(o.err, "^kep_codec_cap_q:[0-9]+: ioctl: Input/output error\n")) << o.err;
}

// A zero record's scale: no division by zero, and not "unscaled" either.
TEST(EncoderInit, ScaleZeroDividesAsOne)
{
    Outcome o = in_child([] {
        configure("");
        Pipe p;
        p.m->scale = 0;
        if (!p.open_and_start_isp() || kep_codec_init(p.m) != 0)
            return 10;
        p.codec_inited = true;
        if (vcam_stat("enc.cap.width") != 320 || vcam_stat("enc.cap.height") != 240)
            return 11;
        return strcmp(p.m->codec_name, "1_hs") == 0 ? 0 : 12;
    });
    EXPECT_EQ(o.status, 0) << o.err;
    EXPECT_TRUE(has(o.out, "\n320 240  scale == 0\n")) << o.out;
}

TEST(EncoderInit, NodePathWithoutNulNamesChannelZero)
{
    configure("");
    Pipe p;
    ASSERT_TRUE(p.open_and_start_isp());
    memset(p.m->codec_dev_name, '7', sizeof p.m->codec_dev_name); // no terminating NUL
    ASSERT_EQ(kep_codec_init(p.m), 0);
    p.codec_inited = true;
    EXPECT_EQ(memcmp(p.m->codec_name, "0_h\0", 4), 0) << "channel 0 has no /proc/codec entry here";
}

// kep_dec_start may change m2m_buffers after the ISP's and the encoder's
// tables were built: each is still released by the count it was built with,
// neither read past (more granted) nor left half mapped (fewer).
TEST(EncoderUninit, TablesAreReleasedByTheCountTheyWereBuiltWith)
{
    for (const char *grant : {"2", "6"}) {
        Outcome o = in_child([grant] {
            configure(std::string("--dec-grant ") + grant);
            Pipe p;
            p.m->codec_in_memory = KEP_IO_MMAP;
            p.m->codec_in_fourcc = KEP_FOURCC_S420;
            if (!p.open_and_start_isp() || kep_codec_init(p.m) != 0)
                return 10;
            p.m->dec_fd = kep_open_device("/dev/video2");
            p.m->dec_fourcc = KEP_FOURCC_H264;
            if (kep_dec_init(p.m) != 0 || kep_dec_start(p.m) != 0 || p.m->m2m_buffers != uint32_t(atoi(grant)))
                return 11;
            if (kep_codec_uninit(p.m) != 0 || kep_isp_stop(p.m) != 0 || kep_isp_uninit(p.m) != 0 ||
                kep_dec_stop(p.m) != 0)
                return 12;
            p.isp_started = false;
            close(p.m->dec_fd);
            // ISP, encoder input, bit stream: 4 each; the decoder's 2 x grant.
            return vcam_stat("munmap") == vcam_stat("mmap") && vcam_stat("mmap") == 12 + 2 * atoi(grant) ? 0 : 13;
        });
        EXPECT_EQ(o.status, 0) << "decoder grant " << grant << ": " << o.err;
    }
}
