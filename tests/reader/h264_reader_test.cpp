// H.264 frame boundaries: which start codes are found, which NAL units begin
// a frame, the entropy-mode control, the short-tail case, and agreement with
// a plain implementation of the group-of-four rule at every read boundary.
#include "fake_decoder.h"
#include "reader_support.h"

#include <gtest/gtest.h>

#include <linux/videodev2.h>

#include <stdlib.h>
#include <string.h>

#include <random>

namespace {

constexpr uint32_t ENTROPY = KEP_CID_H264_ENTROPY_MODE;

// The first frame of data in memory mode, without its padding.
Bytes first_frame(const Bytes &data, int dec_fd)
{
    ReadResult r = read_memory(data, KEP_FOURCC_H264, dec_fd);
    EXPECT_GT(r.code, 0);
    return unpadded(r.frame);
}

std::vector<Bytes> file_frames(const Bytes &stream, int dec_fd)
{
    std::vector<Bytes> frames;
    for (const ReadResult &r : read_file(stream, KEP_FOURCC_H264, dec_fd)) {
        if (r.code > 0)
            frames.push_back(unpadded(r.frame));
        else
            EXPECT_EQ(r.code, -1);
    }
    return frames;
}

TEST(H264Frames, KeyFrameCarriesItsParameterSetsAndEachPictureIsAFrame)
{
    FakeDecoder dec;
    Bytes s = sps(), p = pps(false), idr = slice(5, 0, 300), p1 = slice(1, 0, 200), p2 = slice(1, 0, 150);
    std::vector<Bytes> want = {concat({s, p, idr}), p1, p2};
    EXPECT_EQ(file_frames(concat({s, p, idr, p1, p2}), dec.fd), want);

    // Memory mode: each call returns the first frame of the data it is given.
    Bytes all = concat({s, p, idr, p1, p2});
    EXPECT_EQ(first_frame(all, dec.fd), want[0]);
    EXPECT_EQ(first_frame(concat({p1, p2}), dec.fd), p1);
    EXPECT_EQ(first_frame(p2, dec.fd), p2); // no second boundary: the whole data
}

TEST(H264Frames, SlicesAfterTheFirstStayInTheirPicture)
{
    FakeDecoder dec;
    Bytes s = sps(), p = pps(true);
    Bytes idr = concat({slice(5, 0, 100), slice(5, 120, 100), slice(5, 240, 100)});
    Bytes pa = concat({slice(1, 0, 90), slice(1, 120, 90), slice(1, 240, 90)});
    Bytes pb = concat({slice(1, 0, 60), slice(1, 200, 60)});
    std::vector<Bytes> want = {concat({s, p, idr}), pa, pb};
    EXPECT_EQ(file_frames(concat({s, p, idr, pa, pb}), dec.fd), want);
}

TEST(H264Frames, IdrWithoutSequenceParameterSetJoinsThePrecedingFrame)
{
    FakeDecoder dec;
    Bytes s = sps(), p = pps(false), idr1 = slice(5, 0, 100), p1 = slice(1, 0, 80), idr2 = slice(5, 0, 100),
          p2 = slice(1, 0, 70);
    std::vector<Bytes> want = {concat({s, p, idr1}), concat({p1, idr2}), p2};
    EXPECT_EQ(file_frames(concat({s, p, idr1, p1, idr2, p2}), dec.fd), want);
}

TEST(H264Frames, RepeatedParameterSetsStartANewFrame)
{
    FakeDecoder dec;
    Bytes k1 = concat({sps(), pps(false), slice(5, 0, 100)});
    Bytes k2 = concat({sps(), pps(false), slice(5, 0, 100)});
    Bytes p1 = slice(1, 0, 50);
    std::vector<Bytes> want = {k1, p1, k2};
    EXPECT_EQ(file_frames(concat({k1, p1, k2}), dec.fd), want);
}

TEST(H264Entropy, PictureParameterSetsSetTheEntropyModeWhileSearchingAFrameEnd)
{
    FakeDecoder dec;
    Bytes stream = concat({sps(), pps(true), slice(5, 0, 100), slice(1, 0, 50), sps(), pps(false, 1),
                           slice(5, 0, 100)});
    file_frames(stream, dec.fd);
    std::vector<ControlCall> calls = dec.with_id(ENTROPY);
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].request, (unsigned long)VIDIOC_S_CTRL);
    EXPECT_EQ(calls[0].value, 1);
    EXPECT_EQ(calls[1].value, 0);
    EXPECT_EQ(dec.calls.size(), 2u);
}

TEST(H264Entropy, AParameterSetThatStartsTheSearchIsNotDecoded)
{
    FakeDecoder dec;
    // The frame start is a PPS: found in phase 0, never looked into.
    first_frame(concat({pps(true), slice(5, 0, 100), slice(1, 0, 50)}), dec.fd);
    EXPECT_TRUE(dec.calls.empty());
}

// A refused entropy mode is reported, and sent again with each following
// slice until the decoder takes it: parameter sets may come only once.
TEST(H264Entropy, AFailingControlIsReportedAndSentAgainWithTheNextSlice)
{
    FakeDecoder dec;
    dec.fail_errno = EINVAL;
    dec.fail_times = 1;
    Bytes key = concat({sps(), pps(true), slice(5, 0, 100)});
    Bytes p1 = slice(1, 0, 40);
    ReadResult r = read_memory(concat({key, p1}), KEP_FOURCC_H264, dec.fd);
    EXPECT_EQ(unpadded(r.frame), key);
    EXPECT_EQ(last_err(), "set_entropy_mode: Invalid argument\n");
    std::vector<ControlCall> calls = dec.with_id(ENTROPY);
    ASSERT_EQ(calls.size(), 2u) << "the PPS's, refused, then again at the next slice";
    for (const ControlCall &c : calls)
        EXPECT_EQ(c.value, 1);
}

// ---- the group-of-four search ----------------------------------------------

// A frame start, then `gap` bytes ending in `tail`, then a P picture start:
// where does the first frame end? Data start is 4-byte aligned (malloc).
Bytes picture_after(const Bytes &head, const Bytes &tail)
{
    return concat({head, tail, slice(1, 0, 40)});
}

TEST(H264Search, StartCodeInsideAGroupIsFoundAfterANonZeroByte)
{
    FakeDecoder dec;
    Bytes head = slice(1, 0, 16); // 26 bytes: ends at group offset 2
    for (size_t extra = 0; extra < 4; extra++) {
        Bytes tail(extra, 0x33);
        Bytes data = picture_after(head, tail);
        EXPECT_EQ(first_frame(data, dec.fd).size(), head.size() + extra) << "start code at offset " << (head.size() + extra) % 4;
    }
}

TEST(H264Search, StartCodeAfterAFurtherZeroByteAcrossGroupsIsNotFound)
{
    FakeDecoder dec;
    // Groups: [.. .. .. 80] [33 00 00 00] [00 01 41 ..]: 00 00 00 00 01
    // with the start code beginning inside the second group.
    Bytes head = slice(1, 0, 0);
    while (head.size() % 4 != 0)
        head.insert(head.end() - 1, 0x5A);
    Bytes data = picture_after(head, {0x33, 0x00});
    size_t code_at = head.size() + 2;
    ASSERT_EQ(Bytes(data.begin() + (long)code_at - 1, data.begin() + (long)code_at + 4), Bytes({0, 0, 0, 0, 1}));
    EXPECT_EQ(first_frame(data, dec.fd), unpadded(data)); // no boundary: the whole data
}

TEST(H264Search, AfterFourZeroBytesOnlyAGroupAlignedStartCodeIsFound)
{
    FakeDecoder dec;
    Bytes head = slice(1, 0, 0);
    while (head.size() % 4 != 0)
        head.insert(head.end() - 1, 0x5A);
    // [00 00 00 00] [66 77 88 00] [00 00 01 41 ...]: a straddling start code
    // with a non-zero byte before it, not found in state 4 ...
    Bytes straddling = concat({{0, 0, 0, 0, 0x66, 0x77, 0x88}, slice(1, 0, 21)});
    ASSERT_EQ(straddling.size() % 4, 3u);
    straddling.push_back(0x99); // keeps the group-aligned code below aligned
    // ... until a start code filling a whole group: [00 00 00 01] [41 ...].
    Bytes aligned = slice(1, 0, 40);
    Bytes data = concat({head, straddling, aligned});
    ASSERT_EQ((head.size() + straddling.size()) % 4, 0u);
    EXPECT_EQ(first_frame(data, dec.fd).size(), head.size() + straddling.size());
}

TEST(H264Search, StartCodeWithLessThanEightBytesAfterItIsABoundaryAsIs)
{
    FakeDecoder dec;
    Bytes p1 = slice(1, 0, 40);
    // A slice that does not begin a picture, but too short to be looked at.
    Bytes tail = {0, 0, 0, 1, 0x41, 0x9A, 0x11};
    EXPECT_EQ(first_frame(concat({p1, tail}), dec.fd), p1);
    std::string out = last_out();
    EXPECT_NE(out.find("*** FATAL: H.264 parser: special parsing case ***\nfatal: h.264 parser special case\n"),
              std::string::npos)
        << out;

    // As a frame start only the first line is printed.
    ReadResult r = read_memory(tail, KEP_FOURCC_H264, dec.fd);
    EXPECT_EQ(unpadded(r.frame), tail);
    std::string out2 = last_out();
    EXPECT_EQ(count_of(out2, "*** FATAL: H.264 parser: special parsing case ***\n"), 1u) << out2;
    EXPECT_EQ(count_of(out2, "fatal: h.264 parser special case\n"), 0u) << out2;
}

TEST(H264Search, UnalignedDataIsReportedAndStillSplit)
{
    FakeDecoder dec;
    Bytes p1 = slice(1, 0, 41), p2 = slice(1, 0, 30);
    Bytes data = concat({p1, p2});
    kep_m2m m2m = {};
    m2m.dec_fourcc = KEP_FOURCC_H264;
    m2m.dec_fd = dec.fd;
    uint8_t *src = (uint8_t *)malloc(data.size() + 1);
    memcpy(src + 1, data.data(), data.size());
    uint8_t dst[256];
    OutputCapture cap;
    int32_t init = kep_bs_reader_init(&m2m, "/dev/mem");
    int32_t n = kep_bs_reader_read_frame(&m2m, src + 1, (uint32_t)data.size(), dst, sizeof dst);
    kep_bs_reader_uninit(&m2m);
    std::string out = cap.out();
    free(src);
    ASSERT_EQ(init, 0);
    EXPECT_EQ(n, 64);
    EXPECT_EQ(Bytes(dst, dst + p1.size()), p1);
    EXPECT_GE(count_of(out, "bit stream buffer not aligned\n"), 1u);
}

// ---- agreement with the plain rule -----------------------------------------

Bytes small_stream()
{
    return concat({sps(), pps(true), slice(5, 0, 60), slice(5, 40, 50), slice(1, 0, 33), slice(1, 20, 21),
                   pps(false, 1), slice(1, 0, 47), slice(5, 0, 40), sps(), pps(true), slice(5, 0, 29)});
}

TEST(H264Chunks, EveryReadBoundaryPositionMatchesThePlainRule)
{
    FakeDecoder dec;
    Bytes s = small_stream();
    for (size_t at = 0; at <= s.size(); at++) {
        // Lead-in bytes without zeros put the 8192-byte boundary at s[at].
        Bytes stream = concat({filler(8192 - at), s, filler(5000)});
        dec.calls.clear();
        std::vector<int32_t> entropy;
        std::vector<ReadResult> want = reference_h264_file(stream, 1u << 20, &entropy);
        std::vector<ReadResult> got = read_file(stream, KEP_FOURCC_H264, dec.fd);
        ASSERT_EQ(got, want) << "boundary at stream byte " << at;
        std::vector<int32_t> set;
        for (const ControlCall &c : dec.with_id(ENTROPY))
            set.push_back(c.value);
        EXPECT_EQ(set, entropy) << "boundary at stream byte " << at;
        // Unless the boundary splits the first start code, no byte is lost or
        // doubled: the frames put together are the stream from its first
        // start code on.
        if (at == 0 || at >= 4) {
            std::vector<Bytes> frames;
            for (const ReadResult &r : got)
                if (r.code > 0)
                    frames.push_back(unpadded(r.frame));
            Bytes joined = concat(frames);
            Bytes tail = concat({s, filler(5000)});
            size_t same = 0;
            while (same < joined.size() && same < tail.size() && joined[same] == tail[same])
                same++;
            EXPECT_TRUE(joined == tail) << "boundary at stream byte " << at << ": " << joined.size() << " bytes joined, "
                                        << tail.size() << " expected, first difference at " << same;
        }
    }
}

TEST(H264Chunks, MemoryModeAgreesWithThePlainRuleForEveryLength)
{
    FakeDecoder dec;
    Bytes s = small_stream();
    for (size_t len = 0; len <= s.size(); len++) {
        Bytes data(s.begin(), s.begin() + (long)len);
        ASSERT_EQ(read_memory(data, KEP_FOURCC_H264, dec.fd), reference_h264_memory(data)) << "length " << len;
    }
}

// Random streams rich in zero bytes and start-code fragments, through the
// library and through the plain rule: the fast search must find exactly the
// same boundaries.
Bytes random_stream(std::mt19937 &rng, size_t n)
{
    static const Bytes pieces[] = {{0, 0, 0, 1, 0x41, 0x9A}, {0, 0, 0, 1, 0x67}, {0, 0, 0, 1, 0x68, 0xCE},
                                   {0, 0, 1},             {0, 0, 0, 0},      {0, 0, 0, 1, 0x65, 0x88},
                                   {0, 0, 0, 1, 0x41, 0x80}, {0}};
    Bytes out;
    std::uniform_int_distribution<int> pick(0, 99);
    while (out.size() < n) {
        int k = pick(rng);
        if (k < 8) {
            const Bytes &p = pieces[k];
            out.insert(out.end(), p.begin(), p.end());
        } else if (k < 30) {
            out.push_back(0);
        } else {
            out.push_back((uint8_t)(rng() & 0xFF));
        }
    }
    return out;
}

TEST(H264Differential, RandomStreamsSplitExactlyAsThePlainRule)
{
    FakeDecoder dec;
    std::mt19937 rng(20240611);
    for (int round = 0; round < 60; round++) {
        size_t n = 1 + rng() % 30000;
        Bytes stream = random_stream(rng, n);
        uint32_t dst_size = round % 3 == 0 ? 1u << 20 : 64 + rng() % 4096;
        std::vector<ReadResult> want = reference_h264_file(stream, dst_size, nullptr, 5000);
        std::vector<ReadResult> got = read_file(stream, KEP_FOURCC_H264, dec.fd, dst_size, 5000);
        ASSERT_EQ(got, want) << "round " << round << " size " << n << " dst " << dst_size;

        size_t at = rng() % (stream.size() + 1);
        Bytes part(stream.begin() + (long)at, stream.end());
        ASSERT_EQ(read_memory(part, KEP_FOURCC_H264, dec.fd, dst_size), reference_h264_memory(part, dst_size))
            << "round " << round;
    }
}

// With under 8192 bytes of room the reader stages every read in its own
// buffer; with room it reads a frame that goes on past a read straight into
// the destination. Frames, controls and messages must not tell the two apart.
TEST(H264Chunks, FramesReadInPlaceEqualFramesStagedInTheBuffer)
{
    FakeDecoder dec;
    std::mt19937 rng(8192);
    std::vector<Bytes> parts = {sps(), pps(true), slice(5, 0, 1500)};
    for (int i = 0; i < 60; i++)
        parts.push_back(i % 7 == 3 ? pps(i % 2 == 0, 1) : slice(1, 0, 100 + rng() % 2900));
    Bytes stream = concat(parts);

    std::vector<ReadResult> staged = read_file(stream, KEP_FOURCC_H264, dec.fd, 4096);
    std::string staged_out = last_out();
    std::vector<ControlCall> staged_calls = dec.calls;
    dec.calls.clear();
    std::vector<ReadResult> in_place = read_file(stream, KEP_FOURCC_H264, dec.fd, 1u << 20);
    EXPECT_EQ(in_place, staged);
    EXPECT_EQ(last_out(), staged_out);
    EXPECT_EQ(dec.calls.size(), staged_calls.size());
    EXPECT_EQ(in_place, reference_h264_file(stream));
    // Frames start at every alignment, so the messages compared are there.
    EXPECT_GT(count_of(staged_out, "bit stream buffer not aligned\n"), 0u);
    EXPECT_EQ(staged.size(), 52u + 1u); // the key frame, 51 pictures, the end
}

// The committed x264 streams (scripts/make_test_streams.sh), on every
// platform: the plain rule's frames, one per picture, except that an IDR
// picture without parameter sets stays with the picture before it.
TEST(H264Streams, CommittedStreamsGiveAFramePerPicture)
{
    FakeDecoder dec;
    struct {
        const char *name;
        Bytes stream;
        size_t frames;
    } streams[] = {{"CABAC, four slices", KEP_TEST_STREAM("h264_cabac_slices.h264"), 10},
                   {"CAVLC, key frames without parameter sets", KEP_TEST_STREAM("h264_cavlc_idr.h264"), 8}};
    for (auto &t : streams) {
        ASSERT_FALSE(t.stream.empty()) << t.name;
        std::vector<ReadResult> got = read_file(t.stream, KEP_FOURCC_H264, dec.fd);
        EXPECT_EQ(got, reference_h264_file(t.stream)) << t.name;
        size_t frames = 0;
        Bytes joined;
        for (const ReadResult &r : got)
            if (r.code > 0) {
                frames++;
                Bytes f = unpadded(r.frame);
                joined.insert(joined.end(), f.begin(), f.end());
            }
        EXPECT_EQ(frames, t.frames) << t.name;
        EXPECT_EQ(joined, t.stream) << t.name;
    }
}

} // namespace
