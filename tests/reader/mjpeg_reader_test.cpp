// MJPEG frames: scan data plus end of image, the marker walk across reads,
// the end-of-image rewrite, and the decoder controls it sets on the way.
#include "fake_decoder.h"
#include "reader_support.h"

#include <gtest/gtest.h>

#include <linux/videodev2.h>

#include <stdlib.h>
#include <string.h>

namespace {

constexpr uint32_t SUBSAMPLING = KEP_CID_JPEG_CHROMA_SUBSAMPLING;
constexpr uint32_t LUMA = KEP_CID_MJPEG_QTAB_LUMA;
constexpr uint32_t CHROMA = KEP_CID_MJPEG_QTAB_CHROMA;

std::vector<Bytes> file_frames(const Bytes &stream, int dec_fd)
{
    std::vector<Bytes> frames;
    for (const ReadResult &r : read_file(stream, KEP_FOURCC_MJPG, dec_fd)) {
        if (r.code > 0)
            frames.push_back(normalised_mjpeg_frame(r.frame));
        else
            EXPECT_EQ(r.code, -1);
    }
    return frames;
}

// The 64 table bytes that reached the decoder in the order they were sent.
std::vector<Bytes> tables_sent(const FakeDecoder &dec, uint32_t id)
{
    std::vector<Bytes> out;
    for (const ControlCall &c : dec.with_id(id))
        out.push_back(c.table);
    return out;
}

std::vector<int32_t> values_sent(const FakeDecoder &dec, uint32_t id)
{
    std::vector<int32_t> out;
    for (const ControlCall &c : dec.with_id(id))
        out.push_back(c.value);
    return out;
}

TEST(MjpegFrames, FrameIsTheScanDataThroughTheEndOfImage)
{
    FakeDecoder dec;
    JpegSpec shape;
    shape.comment = 40;
    Jpeg a = make_jpeg(shape);
    shape.seed = 2;
    Jpeg b = make_jpeg(shape);

    ReadResult r = read_memory(a.bytes, KEP_FOURCC_MJPG, dec.fd);
    ASSERT_GT(r.code, 0);
    EXPECT_EQ(unpadded(r.frame), a.scan);
    std::vector<Bytes> want = {a.scan, b.scan};
    EXPECT_EQ(file_frames(concat({a.bytes, b.bytes}), dec.fd), want);
}

TEST(MjpegFrames, FillBytesBeforeTheEndOfImageAreRewrittenInPlace)
{
    FakeDecoder dec;
    JpegSpec shape;
    shape.fill = 2; // scan ends x FF FF FF D9
    Jpeg j = make_jpeg(shape);
    kep_m2m m2m = {};
    m2m.dec_fourcc = KEP_FOURCC_MJPG;
    m2m.dec_fd = dec.fd;
    Bytes src = j.bytes;
    Bytes dst(1024);
    int32_t n;
    {
        OutputCapture quiet;
        kep_bs_reader_init(&m2m, "/dev/mem");
        n = kep_bs_reader_read_frame(&m2m, src.data(), (uint32_t)src.size(), dst.data(), (uint32_t)dst.size());
        kep_bs_reader_uninit(&m2m);
    }

    size_t x = j.bytes.size() - 5; // the last scan byte
    EXPECT_EQ(Bytes(src.end() - 5, src.end()), Bytes({j.bytes[x], 0xFF, 0xD9, 0x00, 0x00}));
    Bytes body(j.scan.begin(), j.scan.end() - 2);
    Bytes want = concat({body, {0xFF, 0xD9, 0x00, 0x00}});
    ASSERT_EQ(n, (int32_t)((want.size() + 63) / 64 * 64));
    EXPECT_EQ(Bytes(dst.begin(), dst.begin() + (long)want.size()), want);
}

TEST(MjpegFrames, RestartMarkersAreReportedAndStayInTheFrame)
{
    FakeDecoder dec;
    JpegSpec shape;
    shape.restart = true;
    shape.scan = 300;
    Jpeg j = make_jpeg(shape);
    ReadResult r = read_memory(j.bytes, KEP_FOURCC_MJPG, dec.fd);
    std::string out = last_out();
    EXPECT_EQ(unpadded(r.frame), j.scan);
    EXPECT_NE(out.find("mjpeg parser: non-supported marker D0\nmjpeg parser: non-supported marker D1\n"),
              std::string::npos)
        << out;
    EXPECT_EQ(count_of(out, "mjpeg parser: non-supported marker"), 4u) << out;
}

TEST(MjpegFrames, MissingEndOfImageInMemoryIsMinus2)
{
    FakeDecoder dec;
    Jpeg j = make_jpeg(JpegSpec());
    Bytes cut(j.bytes.begin(), j.bytes.end() - 2);
    EXPECT_EQ(read_memory(cut, KEP_FOURCC_MJPG, dec.fd).code, -2);
    EXPECT_EQ(count_of(last_out(), "parser: can not parse frame tailer\n"), 1u);

    Bytes headers_only(j.bytes.begin(), j.bytes.begin() + (long)j.sof_end);
    EXPECT_EQ(read_memory(headers_only, KEP_FOURCC_MJPG, dec.fd).code, -2);
    EXPECT_EQ(count_of(last_out(), "parser: can not parse frame header\n"), 1u);
}

TEST(MjpegFrames, EndOfImageBeforeAnyScanIsASyntaxError)
{
    FakeDecoder dec;
    Jpeg j = make_jpeg(JpegSpec());
    Bytes data = concat({{0xFF, 0xD9, 0x55}, j.bytes});
    ReadResult r = read_memory(data, KEP_FOURCC_MJPG, dec.fd);
    EXPECT_EQ(unpadded(r.frame), j.scan);
    EXPECT_EQ(count_of(last_out(),
                       "detected jpg syntax error 0xD9 0x55, " + std::to_string(data.size() - 2) + "\n"),
              1u);
}

TEST(MjpegControls, SamplingOfTheFirstComponentSetsTheSubSampling)
{
    FakeDecoder dec;
    JpegSpec s420, s422, s444;
    s422.v = 1;
    s444.h = 1;
    s444.v = 1;
    file_frames(concat({make_jpeg(s420).bytes, make_jpeg(s422).bytes, make_jpeg(s444).bytes}), dec.fd);
    EXPECT_EQ(values_sent(dec, SUBSAMPLING), std::vector<int32_t>({2, 1}));
    EXPECT_EQ(count_of(last_out(), "mjpeg parser: non-supported sample format\n"), 1u);
}

TEST(MjpegControls, LaterFrameHeaderWithMoreComponentsIsRead)
{
    FakeDecoder dec;
    JpegSpec grey, colour;
    grey.components = 1;
    grey.h = grey.v = 2;
    colour.components = 4;
    colour.v = 1;
    file_frames(concat({make_jpeg(grey).bytes, make_jpeg(colour).bytes}), dec.fd);
    EXPECT_EQ(values_sent(dec, SUBSAMPLING), std::vector<int32_t>({2, 1}));
}

TEST(MjpegControls, ChangedTablesAreSentOnceAtAlternatingAddresses)
{
    FakeDecoder dec;
    JpegSpec q1, q2;
    q2.luma_q = 30;
    q2.chroma_q = 40;
    Jpeg a = make_jpeg(q1), b = make_jpeg(q2);
    file_frames(concat({a.bytes, a.bytes, b.bytes, b.bytes, b.bytes, a.bytes}), dec.fd);

    EXPECT_EQ(tables_sent(dec, LUMA), std::vector<Bytes>({a.luma, b.luma, a.luma}));
    EXPECT_EQ(tables_sent(dec, CHROMA), std::vector<Bytes>({a.chroma, b.chroma, a.chroma}));
    for (uint32_t id : {LUMA, CHROMA}) {
        std::vector<ControlCall> calls = dec.with_id(id);
        ASSERT_EQ(calls.size(), 3u);
        // Two addresses one byte apart, taken in turn.
        EXPECT_TRUE(calls[1].address == calls[0].address + 1 || calls[1].address + 1 == calls[0].address);
        EXPECT_EQ(calls[2].address, calls[0].address);
    }
}

TEST(MjpegControls, TablesTravelAsTheTargetAllows)
{
    FakeDecoder dec;
    Jpeg j = make_jpeg(JpegSpec());
    read_memory(j.bytes, KEP_FOURCC_MJPG, dec.fd);
    std::vector<ControlCall> calls = dec.with_id(LUMA);
    ASSERT_EQ(calls.size(), 1u);
    if (sizeof(void *) == 4) {
        // The address itself is the 32-bit control value.
        EXPECT_EQ(calls[0].request, (unsigned long)VIDIOC_S_CTRL);
    } else {
        // Addresses do not fit: an extended control carries the table.
        EXPECT_EQ(calls[0].request, (unsigned long)VIDIOC_S_EXT_CTRLS);
        EXPECT_EQ(calls[0].which, 0x00980000u);
    }
    EXPECT_EQ(calls[0].table, j.luma);
    EXPECT_EQ(dec.with_id(SUBSAMPLING).at(0).request, (unsigned long)VIDIOC_S_CTRL);
}

Bytes with_table_byte(const Jpeg &j, size_t table, uint8_t pq_tq)
{
    Bytes b = j.bytes;
    b[j.dqt_at + table * 65] = pq_tq;
    return b;
}

TEST(MjpegControls, SixteenBitTablesEndTheSegment)
{
    FakeDecoder dec;
    Jpeg j = make_jpeg(JpegSpec());
    ReadResult r = read_memory(with_table_byte(j, 0, 0x10), KEP_FOURCC_MJPG, dec.fd);
    EXPECT_EQ(unpadded(r.frame), j.scan);
    EXPECT_EQ(count_of(last_out(), "jpg precise error\n"), 1u);
    EXPECT_TRUE(dec.with_id(LUMA).empty());
    EXPECT_TRUE(dec.with_id(CHROMA).empty());
}

TEST(MjpegControls, TableIdsAboveOneAreReportedAndIgnored)
{
    FakeDecoder dec;
    Jpeg j = make_jpeg(JpegSpec());
    read_memory(with_table_byte(j, 0, 0x02), KEP_FOURCC_MJPG, dec.fd);
    EXPECT_EQ(count_of(last_out(), "jpg qtable un-handled id 2\n"), 1u);
    EXPECT_TRUE(dec.with_id(LUMA).empty());
    EXPECT_EQ(tables_sent(dec, CHROMA), std::vector<Bytes>({j.chroma}));
}

TEST(MjpegControls, FailingControlsAreReportedAndTheWalkGoesOn)
{
    FakeDecoder dec;
    dec.fail_errno = EIO;
    Jpeg j = make_jpeg(JpegSpec());
    ReadResult r = read_memory(j.bytes, KEP_FOURCC_MJPG, dec.fd);
    EXPECT_EQ(unpadded(r.frame), j.scan);
    EXPECT_EQ(last_err(), "set_mjpeg_qtable_luma: Input/output error\n"
                   "set_mjpeg_qtable_chroma: Input/output error\n"
                   "set_mjpeg_sample_format: Input/output error\n");
}

// A table the decoder refused is sent again with the next frame, though it
// did not change; one it took is not.
TEST(MjpegControls, RefusedTableIsSentAgainWithTheNextFrame)
{
    FakeDecoder dec;
    dec.fail_errno = EIO;
    dec.fail_times = 1; // the first luma table
    Jpeg j = make_jpeg(JpegSpec());
    std::vector<Bytes> want = {j.scan, j.scan, j.scan};
    EXPECT_EQ(file_frames(concat({j.bytes, j.bytes, j.bytes}), dec.fd), want);
    EXPECT_EQ(tables_sent(dec, LUMA), std::vector<Bytes>({j.luma, j.luma}));
    EXPECT_EQ(tables_sent(dec, CHROMA), std::vector<Bytes>({j.chroma}));
}

TEST(MjpegControls, ExportedSettersReturnTheRequestResult)
{
    FakeDecoder dec;
    kep_m2m m2m = {};
    m2m.dec_fd = dec.fd;
    EXPECT_EQ(kep_dec_set_mjpeg_sample_format(&m2m, 2), -1);
    EXPECT_EQ(kep_dec_set_mjpeg_sample_format(&m2m, -1), -1);
    EXPECT_TRUE(dec.calls.empty());
    EXPECT_EQ(kep_dec_set_mjpeg_sample_format(&m2m, 0), 0);
    EXPECT_EQ(kep_dec_set_mjpeg_sample_format(&m2m, 1), 0);
    EXPECT_EQ(values_sent(dec, SUBSAMPLING), std::vector<int32_t>({2, 1}));
    Bytes t = qtable(7);
    EXPECT_EQ(kep_dec_set_mjpeg_qtab_chroma(&m2m, t.data()), 0);
    EXPECT_EQ(tables_sent(dec, CHROMA), std::vector<Bytes>({t}));
    dec.fail_errno = EBUSY;
    OutputCapture cap;
    int32_t r = kep_dec_set_mjpeg_qtab_luma(&m2m, t.data());
    std::string err;
    cap.take(nullptr, &err);
    EXPECT_EQ(r, -1);
    EXPECT_EQ(err, "set_mjpeg_qtable_luma: Device or resource busy\n");
}

// ---- segments and markers across reads -------------------------------------

TEST(MjpegWalk, SegmentsLongerThanTheNextReadAreSkipped)
{
    FakeDecoder dec;
    JpegSpec shape;
    shape.comment = 30000; // runs over four reads
    Jpeg j = make_jpeg(shape);
    EXPECT_EQ(file_frames(concat({j.bytes, j.bytes}), dec.fd), std::vector<Bytes>({j.scan, j.scan}));
    EXPECT_EQ(tables_sent(dec, LUMA), std::vector<Bytes>({j.luma}));
}

TEST(MjpegWalk, LengthFieldsBelowTwoAreEmptySegments)
{
    FakeDecoder dec;
    Jpeg j = make_jpeg(JpegSpec());
    for (uint8_t low : {0, 1}) {
        Bytes data = concat({{0xFF, 0xD8, 0xFF, 0xFE, 0x00, low}, Bytes(j.bytes.begin() + 2, j.bytes.end())});
        ReadResult r = read_memory(data, KEP_FOURCC_MJPG, dec.fd);
        EXPECT_EQ(unpadded(r.frame), j.scan) << "length " << (int)low;
        // Cut right after the short length: nothing found, nothing read past.
        EXPECT_EQ(read_memory(Bytes(data.begin(), data.begin() + 6), KEP_FOURCC_MJPG, dec.fd).code, -2);
    }
}

// Where the 8192-byte reads cut the stream decides which segments are in
// memory as a whole: a frame header or a DQT segment cut in two is skipped.
struct Expected {
    std::vector<Bytes> luma, chroma;
    std::vector<int32_t> sampling;
};

Expected expected_controls(const std::vector<Jpeg> &images, const std::vector<JpegSpec> &shapes, size_t lead)
{
    Expected e;
    Bytes luma(64, 0), chroma(64, 0);
    size_t at = lead;
    auto whole = [](size_t from, size_t to) { return from / 8192 == (to - 1) / 8192; };
    for (size_t i = 0; i < images.size(); i++) {
        const Jpeg &j = images[i];
        if (whole(at + j.dqt_at, at + j.dqt_end)) {
            if (j.luma != luma)
                e.luma.push_back(luma = j.luma);
            if (j.chroma != chroma)
                e.chroma.push_back(chroma = j.chroma);
        }
        if (whole(at + j.sof_at, at + j.sof_end))
            e.sampling.push_back(shapes[i].v == 2 ? 2 : 1);
        at += j.bytes.size();
    }
    return e;
}

TEST(MjpegChunks, EveryReadBoundaryPositionGivesTheSameFrames)
{
    FakeDecoder dec;
    std::vector<JpegSpec> shapes(3);
    shapes[0].fill = 3;
    shapes[0].restart = true;
    shapes[0].scan = 150;
    shapes[1].luma_q = 31;
    shapes[1].chroma_q = 41;
    shapes[1].v = 1;
    shapes[1].comment = 20;
    shapes[1].scan = 120;
    shapes[2] = shapes[1];
    shapes[2].fill = 1;
    shapes[2].app0 = false;
    std::vector<Jpeg> images;
    std::vector<Bytes> scans;
    for (const JpegSpec &s : shapes) {
        images.push_back(make_jpeg(s));
        scans.push_back(images.back().scan);
    }
    Bytes s;
    for (const Jpeg &j : images)
        s = concat({s, j.bytes});

    for (size_t at = 0; at <= s.size(); at++) {
        size_t lead = 8192 - at; // bytes without 0xFF in front
        Bytes stream = concat({filler(lead, 0x00), s});
        dec.calls.clear();
        ASSERT_EQ(file_frames(stream, dec.fd), scans) << "boundary at stream byte " << at;
        Expected e = expected_controls(images, shapes, lead);
        EXPECT_EQ(tables_sent(dec, LUMA), e.luma) << "boundary at stream byte " << at;
        EXPECT_EQ(tables_sent(dec, CHROMA), e.chroma) << "boundary at stream byte " << at;
        EXPECT_EQ(values_sent(dec, SUBSAMPLING), e.sampling) << "boundary at stream byte " << at;
    }
}

TEST(MjpegChunks, EndOfImageWhoseFfClosesAReadEndsTheFrameAfterD9)
{
    FakeDecoder dec;
    JpegSpec shape;
    shape.fill = 2;
    Jpeg a = make_jpeg(shape), b = make_jpeg(JpegSpec());
    // The FF of FF D9 is the last byte of the first read.
    size_t lead = 8192 - (a.bytes.size() - 1);
    std::vector<ReadResult> r = read_file(concat({filler(lead, 0x00), a.bytes, b.bytes}), KEP_FOURCC_MJPG, dec.fd);
    ASSERT_EQ(r.size(), 3u);
    // Nothing of the first read is rewritten: the fill bytes stay in front.
    Bytes body(a.scan.begin(), a.scan.end() - 2);
    EXPECT_EQ(unpadded(r[0].frame), concat({body, {0xFF, 0xFF, 0xFF, 0xD9}}));
    EXPECT_EQ(unpadded(r[1].frame), b.scan);
}

// Reads staged in the reader's buffer (under 8192 bytes of room) and reads
// made straight into the destination give the same frames, controls and
// messages, fill bytes in front of the end of image included.
TEST(MjpegChunks, FramesReadInPlaceEqualFramesStagedInTheBuffer)
{
    FakeDecoder dec;
    std::vector<Bytes> images;
    for (int i = 0; i < 40; i++) {
        JpegSpec shape;
        shape.seed = (uint8_t)(i + 1);
        shape.fill = (size_t)(i * 7 % 40);
        shape.scan = 500 + (size_t)(i * 677 % 2500);
        shape.luma_q = (uint8_t)(10 + i % 3);
        shape.restart = i % 4 == 0;
        images.push_back(make_jpeg(shape).bytes);
    }
    Bytes stream = concat(images);

    std::vector<ReadResult> staged = read_file(stream, KEP_FOURCC_MJPG, dec.fd, 4096);
    std::string staged_out = last_out();
    size_t staged_calls = dec.calls.size();
    dec.calls.clear();
    std::vector<ReadResult> in_place = read_file(stream, KEP_FOURCC_MJPG, dec.fd, 1u << 20);
    EXPECT_EQ(in_place, staged);
    EXPECT_EQ(last_out(), staged_out);
    EXPECT_EQ(dec.calls.size(), staged_calls);
    EXPECT_EQ(staged.size(), 40u + 1u);

    // A read boundary inside the fill bytes: only those of the read holding
    // the end of image are rewritten, wherever that read was made.
    JpegSpec shape;
    shape.fill = 12;
    shape.scan = 3000;
    Jpeg j = make_jpeg(shape);
    for (size_t before = 1; before <= 16; before++) {
        Bytes lead = filler(8192 - (j.bytes.size() - 2 - before), 0x00);
        Bytes one = concat({lead, j.bytes, make_jpeg(JpegSpec()).bytes});
        std::vector<ReadResult> a = read_file(one, KEP_FOURCC_MJPG, dec.fd, 4096);
        std::vector<ReadResult> b = read_file(one, KEP_FOURCC_MJPG, dec.fd, 1u << 20);
        ASSERT_EQ(b, a) << before << " bytes of the image before the end of image in the second read";
        ASSERT_GT(a.size(), 1u);
        EXPECT_EQ(normalised_mjpeg_frame(a[0].frame), j.scan) << before;
    }
}

// The committed MJPEG streams (scripts/make_test_streams.sh), on every
// platform: a frame per image, each the scan with its restart markers and
// the end of image without the fill bytes in front of it.
TEST(MjpegStreams, CommittedStreamsGiveAFramePerImage)
{
    FakeDecoder dec;
    struct {
        const char *name;
        Bytes stream;
        size_t images;
        size_t restart_markers;
    } streams[] = {{"4:2:0 with restart markers", KEP_TEST_STREAM("mjpeg_420_restart.mjpeg"), 6, 6 * 8},
                   {"4:2:2", KEP_TEST_STREAM("mjpeg_422.mjpeg"), 4, 0}};
    for (auto &t : streams) {
        ASSERT_FALSE(t.stream.empty()) << t.name;
        // As delivered: the fill bytes and the old marker became zeros behind
        // the rewritten end of image, which unpadded() drops with the padding.
        std::vector<Bytes> frames;
        for (const ReadResult &r : read_file(t.stream, KEP_FOURCC_MJPG, dec.fd))
            if (r.code > 0)
                frames.push_back(unpadded(r.frame));
        ASSERT_EQ(frames.size(), t.images) << t.name;
        size_t markers = 0;
        for (const Bytes &f : frames) {
            ASSERT_GE(f.size(), 3u);
            EXPECT_EQ(f[f.size() - 2], 0xFF);
            EXPECT_EQ(f.back(), 0xD9);
            EXPECT_NE(f[f.size() - 3], 0xFF) << t.name << ": fill bytes left in front of the end of image";
            for (size_t i = 0; i + 1 < f.size(); i++)
                markers += f[i] == 0xFF && f[i + 1] >= 0xD0 && f[i + 1] <= 0xD7;
        }
        EXPECT_EQ(markers, t.restart_markers) << t.name;
    }
}

} // namespace
