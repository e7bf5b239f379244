// The reader on real encoder output, against FFmpeg's own parsers: libx264
// streams (CAVLC and CABAC, multi-slice, repeated and missing parameter
// sets) and native MJPEG streams (4:2:0 and 4:2:2, changing quality).
#include "fake_decoder.h"
#include "media_streams.h"
#include "reader_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>

namespace {

// FFmpeg's access units, joined where our rule does not start a frame: an
// access unit that does not open with an SPS or a non-IDR slice (an IDR
// without parameter sets) stays with the frame before it.
std::vector<size_t> expected_h264_boundaries(const Bytes &s)
{
    std::vector<size_t> units = media::ffmpeg_split(s, true);
    std::vector<size_t> out;
    for (size_t at : units) {
        uint8_t type = s[at + 4] & 0x1F;
        if (out.empty() || type == 7 || type == 1)
            out.push_back(at);
    }
    return out;
}

// The 4-byte and 3-byte start codes of a range, for failure messages.
std::string describe(const Bytes &s, size_t from, size_t to)
{
    std::string out;
    for (size_t i = from; i + 3 < to; i++)
        if (s[i] == 0 && s[i + 1] == 0 && s[i + 2] == 1)
            out += std::to_string(i) + (i > 0 && s[i - 1] == 0 ? ":long:" : ":short:") + std::to_string(s[i + 3] & 0x1F) + " ";
    return out;
}

Bytes slice_of(const Bytes &s, size_t from, size_t to)
{
    return Bytes(s.begin() + (long)from, s.begin() + (long)to);
}

void check_h264(const Bytes &s, const char *what)
{
    ASSERT_FALSE(s.empty()) << what << ": libx264 not available";
    FakeDecoder dec;
    std::vector<size_t> want = expected_h264_boundaries(s);
    ASSERT_GE(want.size(), 3u) << what;
    std::vector<size_t> ends = want;
    ends.push_back(s.size());

    // Memory mode: handed the data from each frame start, the reader returns
    // exactly FFmpeg's frame.
    for (size_t i = 0; i + 1 < ends.size(); i++) {
        ReadResult r = read_memory(slice_of(s, ends[i], s.size()), KEP_FOURCC_H264, dec.fd);
        ASSERT_GT(r.code, 0) << what << " frame " << i;
        Bytes frame = slice_of(s, ends[i], ends[i + 1]);
        ASSERT_GE(r.frame.size(), frame.size()) << what << " frame " << i << " at " << ends[i] << ": " << describe(s, ends[i], ends[i + 1]);
        EXPECT_TRUE(std::equal(frame.begin(), frame.end(), r.frame.begin()))
            << what << " frame " << i << " differs from FFmpeg's";
        EXPECT_EQ(r.frame.size(), (frame.size() + 63) / 64 * 64) << what << " frame " << i;
    }

    // File mode: exactly the plain rule; and against FFmpeg, a boundary is
    // missed only where its start code straddles two reads, and added only
    // where a start code sits in the last bytes of a read.
    std::vector<ReadResult> got = read_file(s, KEP_FOURCC_H264, dec.fd);
    ASSERT_EQ(got, reference_h264_file(s)) << what;
    std::set<size_t> found;
    size_t at = 0;
    Bytes joined;
    for (const ReadResult &r : got) {
        if (r.code <= 0)
            continue;
        // NAL units end in their stop bit, so the padding is all that is zero.
        Bytes frame = unpadded(r.frame);
        found.insert(at);
        joined.insert(joined.end(), frame.begin(), frame.end());
        at += frame.size();
    }
    EXPECT_EQ(joined, s) << what << ": file mode lost or doubled bytes";
    for (size_t b : want) {
        bool straddles = b / 8192 != (b + 3) / 8192;
        if (!straddles) {
            EXPECT_TRUE(found.count(b)) << what << ": frame at " << b << " not found in file mode";
        }
    }
    for (size_t b : found) {
        bool near_read_end = 8192 - b % 8192 < 8;
        if (!near_read_end) {
            EXPECT_TRUE(std::count(want.begin(), want.end(), b)) << what << ": extra boundary at " << b;
        }
    }
}

TEST(MediaH264, CabacMultiSliceWithRepeatedParameterSets)
{
    media::H264Options o;
    o.slices = 3;
    o.repeat_headers = true;
    o.gop = 4;
    o.frames = 20;
    FakeDecoder dec;
    Bytes s = media::encode_h264(o);
    check_h264(s, "cabac, 3 slices, repeated SPS/PPS");
}

TEST(MediaH264, CavlcWithKeyFramesWithoutParameterSets)
{
    media::H264Options o;
    o.cabac = false;
    o.gop = 3;
    o.frames = 16;
    Bytes s = media::encode_h264(o);
    check_h264(s, "cavlc, IDR without SPS");
    // The later IDR pictures carry no SPS, so they join the frame before them.
    std::vector<size_t> units = media::ffmpeg_split(s, true);
    EXPECT_LT(expected_h264_boundaries(s).size(), units.size());
}

TEST(MediaH264, LargePicturesSpanningManyReads)
{
    media::H264Options o;
    o.width = 640;
    o.height = 480;
    o.frames = 10;
    o.bitrate = 4000000;
    o.slices = 2;
    check_h264(media::encode_h264(o), "640x480, frames over several reads");
}

TEST(MediaH264, EntropyModeFollowsThePictureParameterSets)
{
    for (bool cabac : {false, true}) {
        media::H264Options o;
        o.cabac = cabac;
        o.repeat_headers = true;
        o.gop = 2;
        o.frames = 6;
        Bytes s = media::encode_h264(o);
        ASSERT_FALSE(s.empty());
        FakeDecoder dec;
        read_file(s, KEP_FOURCC_H264, dec.fd);
        std::vector<ControlCall> calls = dec.with_id(KEP_CID_H264_ENTROPY_MODE);
        ASSERT_EQ(calls.size(), 3u) << "one PPS per key frame";
        for (const ControlCall &c : calls)
            EXPECT_EQ(c.value, cabac ? 1 : 0);
    }
}

// ---- MJPEG ------------------------------------------------------------------

struct Image {
    size_t at, end;
    Bytes scan;  // after the SOS segment, through FF D9
    std::vector<std::pair<size_t, size_t>> dqt; // payload ranges
    size_t sof_at = 0, sof_end = 0;
    int sampling = 0;
};

// A plain marker walk over one image that FFmpeg's parser delimited.
Image walk(const Bytes &s, size_t at, size_t end)
{
    Image im{at, end, {}, {}};
    size_t i = at + 2;
    while (i + 4 <= end) {
        EXPECT_EQ(s[i], 0xFF);
        uint8_t code = s[i + 1];
        size_t len = (size_t)s[i + 2] << 8 | s[i + 3];
        size_t payload = i + 4, next = i + 2 + len;
        if (code == 0xDB)
            im.dqt.push_back({payload, next});
        if (code == 0xC0) {
            im.sof_at = payload;
            im.sof_end = next;
            uint8_t hv = s[payload + 7];
            im.sampling = hv == 0x22 ? 2 : hv == 0x21 ? 1 : 0;
        }
        if (code == 0xDA) {
            im.scan = slice_of(s, next, end);
            break;
        }
        i = next;
    }
    return im;
}

void check_mjpeg(const Bytes &s, const char *what)
{
    ASSERT_FALSE(s.empty()) << what;
    std::vector<size_t> starts = media::ffmpeg_split(s, false);
    ASSERT_GE(starts.size(), 2u) << what;
    std::vector<Image> images;
    for (size_t i = 0; i < starts.size(); i++)
        images.push_back(walk(s, starts[i], i + 1 < starts.size() ? starts[i + 1] : s.size()));

    for (size_t lead : {size_t(0), size_t(8192 - 700), size_t(5000)}) {
        Bytes stream = concat({filler(lead, 0x00), s});
        FakeDecoder dec;
        std::vector<Bytes> frames;
        for (const ReadResult &r : read_file(stream, KEP_FOURCC_MJPG, dec.fd))
            if (r.code > 0)
                frames.push_back(normalised_mjpeg_frame(r.frame));
        ASSERT_EQ(frames.size(), images.size()) << what << " lead " << lead;
        // Fill bytes in front of an end of image are not part of a frame.
        for (size_t i = 0; i < images.size(); i++)
            EXPECT_EQ(frames[i], normalised_mjpeg_frame(images[i].scan)) << what << " lead " << lead << " image " << i;

        // Tables and sampling as a plain walk sees them, skipping what a read
        // boundary cuts.
        auto whole = [&](size_t from, size_t to) { return (lead + from) / 8192 == (lead + to - 1) / 8192; };
        Bytes stored[2] = {Bytes(64, 0), Bytes(64, 0)};
        std::vector<Bytes> luma, chroma;
        std::vector<int32_t> sampling;
        for (const Image &im : images) {
            for (auto [from, to] : im.dqt) {
                if (!whole(from, to))
                    continue;
                for (size_t t = from; t + 65 <= to; t += 65) {
                    Bytes table = slice_of(s, t + 1, t + 65);
                    int id = s[t] & 0x0F;
                    if (id < 2 && table != stored[id]) {
                        stored[id] = table;
                        (id == 0 ? luma : chroma).push_back(table);
                    }
                }
            }
            if (whole(im.sof_at, im.sof_end))
                sampling.push_back(im.sampling);
        }
        std::vector<Bytes> sent_luma, sent_chroma;
        std::vector<int32_t> sent_sampling;
        for (const ControlCall &c : dec.calls) {
            if (c.id == KEP_CID_MJPEG_QTAB_LUMA)
                sent_luma.push_back(c.table);
            else if (c.id == KEP_CID_MJPEG_QTAB_CHROMA)
                sent_chroma.push_back(c.table);
            else if (c.id == KEP_CID_JPEG_CHROMA_SUBSAMPLING)
                sent_sampling.push_back(c.value);
        }
        EXPECT_EQ(sent_luma, luma) << what << " lead " << lead;
        EXPECT_EQ(sent_chroma, chroma) << what << " lead " << lead;
        EXPECT_EQ(sent_sampling, sampling) << what << " lead " << lead;
    }
}

TEST(MediaMjpeg, Yuv420WithChangingQuality)
{
    media::MjpegOptions o;
    o.frames = 8;
    o.quality = {2, 2, 9, 9, 9, 20, 2, 2};
    check_mjpeg(media::encode_mjpeg(o), "4:2:0, changing quality");
}

TEST(MediaMjpeg, Yuv422LargerPictures)
{
    media::MjpegOptions o;
    o.yuv422 = true;
    o.width = 640;
    o.height = 480;
    o.frames = 4;
    o.quality = {2, 5};
    check_mjpeg(media::encode_mjpeg(o), "4:2:2, 640x480");
}

// The committed streams of scripts/make_test_streams.sh: x264's own layout
// of parameter sets, SEI and multi-slice pictures; MJPEG with restart
// markers, APP0 and COM segments and fill bytes before the end of image.
TEST(MediaStreams, CommittedH264StreamsSplitAsFfmpegsParser)
{
    check_h264(KEP_TEST_STREAM("h264_cabac_slices.h264"), "CABAC, four slices, repeated parameter sets");
    check_h264(KEP_TEST_STREAM("h264_cavlc_idr.h264"), "CAVLC, key frames without parameter sets");
}

TEST(MediaStreams, CommittedMjpegStreamsSplitAsFfmpegsParser)
{
    check_mjpeg(KEP_TEST_STREAM("mjpeg_420_restart.mjpeg"), "4:2:0, restart markers, fill bytes");
    check_mjpeg(KEP_TEST_STREAM("mjpeg_422.mjpeg"), "4:2:2, fill bytes");
}

TEST(MediaMjpeg, MemoryModeReturnsEachImagesScan)
{
    media::MjpegOptions o;
    o.frames = 3;
    Bytes s = media::encode_mjpeg(o);
    ASSERT_FALSE(s.empty());
    std::vector<size_t> starts = media::ffmpeg_split(s, false);
    FakeDecoder dec;
    for (size_t i = 0; i < starts.size(); i++) {
        size_t end = i + 1 < starts.size() ? starts[i + 1] : s.size();
        ReadResult r = read_memory(slice_of(s, starts[i], s.size()), KEP_FOURCC_MJPG, dec.fd);
        EXPECT_EQ(unpadded(r.frame), walk(s, starts[i], end).scan) << "image " << i;
    }
}

} // namespace
