// The ISP capture stream in its three I/O modes against the virtual camera:
// negotiation results, buffer tables, real frames, crop notes.
#include "isp_harness.h"

#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <vector>

namespace kep_test {
namespace {

std::vector<uint8_t> held_luma(const kep_m2m &m2m)
{
    const kep_buffer &b = m2m.isp_buffers[m2m.isp_io == KEP_IO_MMAP || m2m.isp_io == KEP_IO_USERPTR ? m2m.isp_index : 0];
    size_t n = size_t(m2m.width) * m2m.height;
    if (n > b.length)
        n = b.length;
    const uint8_t *p = static_cast<const uint8_t *>(b.start);
    return std::vector<uint8_t>(p, p + n);
}

int64_t usec(const kep_timestamp &t)
{
    return int64_t(t.tv_sec) * 1000000 + t.tv_usec;
}

uint32_t page_round(uint32_t n)
{
    uint32_t page = uint32_t(sysconf(_SC_PAGESIZE));
    return (n + page - 1) / page * page;
}

// Takes `count` frames, returning the luma of the first and the last.
void take_frames(kep_m2m *m2m, int count, std::vector<uint8_t> *first, std::vector<uint8_t> *last)
{
    for (int i = 0; i < count; ++i) {
        ASSERT_EQ(kep_isp_read(m2m), 1);
        ASSERT_LT(m2m->isp_index, m2m->m2m_buffers);
        if (i == 0)
            *first = held_luma(*m2m);
        if (i == count - 1)
            *last = held_luma(*m2m);
        ASSERT_EQ(kep_isp_reset(m2m), 1);
    }
}

using IspStream = IspTest;

TEST_F(IspStream, MmapStreamsMovingPicturesWithRisingTimestamps)
{
    configure("");
    open_node();
    ASSERT_EQ(kep_isp_init(&m2m_), 0);
    ASSERT_NE(m2m_.isp_buffers, nullptr);
    EXPECT_EQ(m2m_.m2m_buffers, 2u);
    EXPECT_EQ(vcam_stat("mmap"), 2);
    for (uint32_t i = 0; i < m2m_.m2m_buffers; ++i)
        EXPECT_GE(m2m_.isp_buffers[i].length, 1280u * 720 * 3 / 2) << "buffer " << i;

    ASSERT_EQ(kep_isp_start(&m2m_), 0);
    EXPECT_EQ(m2m_.isp_index, 0u);

    std::vector<uint8_t> first, last;
    int64_t previous = -1;
    for (int i = 0; i < 6; ++i) {
        ASSERT_EQ(kep_isp_read(&m2m_), 1);
        ASSERT_LT(m2m_.isp_index, 2u);
        int64_t now = usec(m2m_.timestamp);
        EXPECT_GT(now, previous) << "frame " << i << " carries no newer timestamp";
        previous = now;
        if (i == 0)
            first = held_luma(m2m_);
        last = held_luma(m2m_);
        ASSERT_EQ(kep_isp_reset(&m2m_), 1);
    }
    EXPECT_NE(first, last) << "the scene did not move across six frames";
    // Memory-mapped frames are read in place: the platform copied nothing.
    EXPECT_EQ(vcam_stat("copies"), 0);
    EXPECT_GE(vcam_stat("frames"), 6);

    EXPECT_EQ(kep_isp_stop(&m2m_), 0);
    EXPECT_EQ(kep_isp_uninit(&m2m_), 0);
    EXPECT_EQ(m2m_.isp_buffers, nullptr);
    EXPECT_EQ(vcam_stat("munmap"), 2);
}

TEST_F(IspStream, UserPointerStreamsIntoPageAlignedBuffers)
{
    configure("");
    m2m_ = make_record(KEP_IO_USERPTR);
    open_node();
    ASSERT_EQ(kep_isp_init(&m2m_), 0);
    ASSERT_EQ(m2m_.m2m_buffers, 2u);
    long page = sysconf(_SC_PAGESIZE);
    for (uint32_t i = 0; i < 2; ++i) {
        EXPECT_EQ(uintptr_t(m2m_.isp_buffers[i].start) % uintptr_t(page), 0u) << "buffer " << i;
        EXPECT_EQ(m2m_.isp_buffers[i].length, page_round(1382400)) << "buffer " << i;
    }
    ASSERT_EQ(kep_isp_start(&m2m_), 0);

    std::vector<uint8_t> first, last;
    take_frames(&m2m_, 6, &first, &last);
    EXPECT_NE(first, last) << "the scene did not move across six frames";
    EXPECT_GT(vcam_stat("copies"), 0) << "the platform filled no user buffer";
    // Only memory-mapped mode reports capture times.
    EXPECT_EQ(m2m_.timestamp.tv_sec, 0);
    EXPECT_EQ(m2m_.timestamp.tv_usec, 0);

    EXPECT_EQ(kep_isp_stop(&m2m_), 0);
    EXPECT_EQ(kep_isp_uninit(&m2m_), 0);
    EXPECT_EQ(m2m_.isp_buffers, nullptr);
}

// Width 1280, bytes per line and image size reported as 0: bytes per line
// becomes 1920, the frame 1,382,400 bytes, each user buffer a page multiple.
TEST_F(IspStream, ZeroSizesFromTheDriverFollowTheFrameSizeRule)
{
    configure("--zero-sizes");
    m2m_ = make_record(KEP_IO_USERPTR);
    open_node();
    ASSERT_EQ(kep_isp_init(&m2m_), 0);
    EXPECT_EQ(m2m_.isp_buffers[0].length, page_round(1920u * 720));
    if (sysconf(_SC_PAGESIZE) == 4096) {
        EXPECT_EQ(m2m_.isp_buffers[0].length, 1384448u);
    }
    EXPECT_EQ(kep_isp_uninit(&m2m_), 0);
    TearDown();

    configure("--zero-sizes");
    m2m_ = make_record(0);
    open_node();
    ASSERT_EQ(kep_isp_init(&m2m_), 0);
    EXPECT_EQ(m2m_.isp_buffers[0].length, 1382400u);
}

TEST_F(IspStream, ReadModeStreamsIntoOneFrameSizedBuffer)
{
    configure("");
    m2m_ = make_record(0);
    open_node();
    ASSERT_EQ(kep_isp_init(&m2m_), 0);
    ASSERT_NE(m2m_.isp_buffers, nullptr);
    EXPECT_EQ(m2m_.isp_buffers[0].length, 1382400u);
    EXPECT_EQ(vcam_stat("VIDIOC_REQBUFS"), 0);
    // The library asks to switch streaming on in read mode too; holding no
    // buffers, the driver refuses, and the first read starts the sensor.
    OutputCapture cap;
    EXPECT_EQ(kep_isp_start(&m2m_), -1);
    cap.finish();
    EXPECT_TRUE(has_line(cap.err(), kReadModeStreamOn)) << cap.err();
    EXPECT_EQ(vcam_stat("VIDIOC_STREAMON"), 1);

    std::vector<uint8_t> first, last;
    take_frames(&m2m_, 6, &first, &last);
    EXPECT_EQ(m2m_.isp_index, 0u);
    EXPECT_NE(first, last) << "the scene did not move across six frames";
    EXPECT_GE(vcam_stat("read"), 6);
    EXPECT_EQ(vcam_stat("VIDIOC_DQBUF"), 0);

    // Read mode has nothing to switch off.
    EXPECT_EQ(kep_isp_stop(&m2m_), 0);
    EXPECT_EQ(vcam_stat("VIDIOC_STREAMOFF"), 0);
    EXPECT_EQ(kep_isp_uninit(&m2m_), 0);
    EXPECT_EQ(m2m_.isp_buffers, nullptr);
}

TEST_F(IspStream, AdjustedSizeIsWrittenBackToTheRecord)
{
    configure("--size 640x480");
    open_node();
    ASSERT_EQ(kep_isp_init(&m2m_), 0);
    EXPECT_EQ(m2m_.width, 640u);
    EXPECT_EQ(m2m_.height, 480u);
    EXPECT_EQ(vcam_stat("S_FMT.width"), 1280) << "the requested width was not 1280";
}

TEST_F(IspStream, GrantedCountReplacesTheRequestedOne)
{
    configure("--grant 3");
    open_node();
    ASSERT_EQ(kep_isp_init(&m2m_), 0);
    EXPECT_EQ(m2m_.m2m_buffers, 3u);
    EXPECT_EQ(vcam_stat("mmap"), 3);
    ASSERT_EQ(kep_isp_start(&m2m_), 0);
    EXPECT_EQ(vcam_stat("VIDIOC_QBUF"), 3);
    EXPECT_EQ(kep_isp_stop(&m2m_), 0);
    EXPECT_EQ(kep_isp_uninit(&m2m_), 0);
    EXPECT_EQ(vcam_stat("munmap"), 3);
}

// User-pointer mode has no minimum: a single buffer still streams.
TEST_F(IspStream, UserPointerStreamsWithOneGrantedBuffer)
{
    configure("--grant 1");
    m2m_ = make_record(KEP_IO_USERPTR, 4);
    open_node();
    ASSERT_EQ(kep_isp_init(&m2m_), 0);
    EXPECT_EQ(m2m_.m2m_buffers, 1u);
    ASSERT_EQ(kep_isp_start(&m2m_), 0);
    std::vector<uint8_t> first, last;
    take_frames(&m2m_, 3, &first, &last);
    EXPECT_EQ(m2m_.isp_index, 0u);
    EXPECT_EQ(kep_isp_stop(&m2m_), 0);
    EXPECT_EQ(kep_isp_uninit(&m2m_), 0);
}

TEST_F(IspStream, CropToTheRequestedSizeIsAnnounced)
{
    configure("");
    open_node();
    OutputCapture cap;
    int r = kep_isp_init(&m2m_);
    cap.finish();
    ASSERT_EQ(r, 0) << cap.err();
    int l, t, w, h, cl, ct;
    ASSERT_EQ(sscanf(cap.out().c_str(),
                     "----->has ability to crop!!\ncropcap.defrect = (%d, %d, %d, %d)\n"
                     "----->sussess crop to (%d, %d, 1280, 720)\n",
                     &l, &t, &w, &h, &cl, &ct),
              6)
        << cap.out();
    EXPECT_EQ(cl, l);
    EXPECT_EQ(ct, t);
    char expected[256];
    snprintf(expected, sizeof(expected),
             "----->has ability to crop!!\ncropcap.defrect = (%d, %d, %d, %d)\n----->sussess crop to (%d, %d, 1280, "
             "720)\n",
             l, t, w, h, l, t);
    EXPECT_EQ(cap.out(), expected);
    EXPECT_EQ(cap.err(), "");
}

TEST_F(IspStream, RefusedCropIsAnnouncedAndSetupGoesOn)
{
    configure("--fail S_CROP");
    open_node();
    OutputCapture cap;
    int r = kep_isp_init(&m2m_);
    cap.finish();
    ASSERT_EQ(r, 0) << cap.err();
    EXPECT_TRUE(has_line(cap.out(), R"(-----!!but crop to \(-?\d+, -?\d+, 1280, 720\) Failed!!)")) << cap.out();
    EXPECT_FALSE(has_line(cap.out(), "----->sussess.*")) << cap.out();
    EXPECT_EQ(vcam_stat("VIDIOC_S_FMT"), 1);
}

TEST_F(IspStream, NodeWithoutCropGoesOnToTheFormat)
{
    configure("--no-crop");
    open_node();
    OutputCapture cap;
    int r = kep_isp_init(&m2m_);
    cap.finish();
    ASSERT_EQ(r, 0) << cap.err();
    EXPECT_EQ(cap.out(), "!! has no ability to crop!!\n");
    EXPECT_EQ(vcam_stat("VIDIOC_S_CROP"), 0);
    EXPECT_EQ(vcam_stat("VIDIOC_S_FMT"), 1);
}

// The ARM build speaks the camera kernel's 92-byte buffer descriptor, the
// others the host kernel's own; the platform tells which one it was asked in.
TEST_F(IspStream, BufferRequestsUseTheAbiOfTheBuild)
{
    configure("");
    open_node();
    ASSERT_EQ(kep_isp_init(&m2m_), 0);
    ASSERT_EQ(kep_isp_start(&m2m_), 0);
    ASSERT_EQ(kep_isp_read(&m2m_), 1);
    ASSERT_EQ(kep_isp_reset(&m2m_), 1);
#if defined(KEP_CAMERA_ABI)
    EXPECT_GT(vcam_stat("abi.camera"), 0);
    EXPECT_EQ(vcam_stat("abi.host"), 0);
#else
    EXPECT_GT(vcam_stat("abi.host"), 0);
    EXPECT_EQ(vcam_stat("abi.camera"), 0);
#endif
}

TEST_F(IspStream, UninitWithoutTableReleasesNothing)
{
    configure("");
    EXPECT_EQ(kep_isp_uninit(&m2m_), 0);
    EXPECT_EQ(vcam_stat("munmap"), 0);
}

} // namespace
} // namespace kep_test
