// The parsers' searches against literal implementations of their rules, from
// every start offset: the H.264 start-code search against the group-of-four
// rule, the MJPEG search for the next 0xFF against the byte-by-byte walk. The
// library picks the widest form of each search the processor has; this test
// is built once per form (KEP_SCAN_SUITE_H264 and KEP_SCAN_SUITE_MJPEG name
// it), so that each one is held to the rules.
#include "bs_reader.h"
#include "reader_support.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

#ifndef KEP_SCAN_SUITE_H264
#define KEP_SCAN_SUITE_H264 H264Scan
#define KEP_SCAN_SUITE_MJPEG MjpegScan
#endif

namespace {

using Bytes = std::vector<uint8_t>;
using Search = const uint8_t *(*)(const uint8_t *p, const uint8_t *end);

// The rule as written: groups of four from p, states 0 to 4, a short final
// group examined in the same order.
const uint8_t *plain_find(const uint8_t *p, const uint8_t *end)
{
    int state = 0;
    for (; p < end; p += 4) {
        size_t left = (size_t)(end - p);
        if (left >= 4 && p[0] == 0 && p[1] == 0 && p[2] == 0 && p[3] == 1)
            return p;
        if (state == 1 && left >= 3 && p[0] == 0 && p[1] == 0 && p[2] == 1)
            return p - 1;
        if (state == 2 && left >= 2 && p[0] == 0 && p[1] == 1)
            return p - 2;
        if (state == 3 && p[0] == 1)
            return p - 3;
        if (left < 4)
            return nullptr;
        if (state != 4) {
            int zeros = 0;
            while (zeros < 4 && p[3 - zeros] == 0)
                zeros++;
            state = zeros;
        }
    }
    return nullptr;
}

struct Rule {
    Search plain, library;
};
const Rule H264 = {plain_find, kep::h264_find_start_code};
const Rule MJPEG = {plain_mjpeg_marker, kep::mjpeg_find_marker};

// Compares the two from every start offset below `offsets` and reports the
// first disagreement.
::testing::AssertionResult agree_from_every_offset(const Bytes &b, size_t offsets, const Rule &rule = H264)
{
    const uint8_t *end = b.data() + b.size();
    for (size_t at = 0; at <= b.size() && at < offsets; at++) {
        const uint8_t *want = rule.plain(b.data() + at, end);
        const uint8_t *got = rule.library(b.data() + at, end);
        if (got != want)
            return ::testing::AssertionFailure()
                   << "from byte " << at << " of " << b.size() << ": found "
                   << (got ? (long)(got - b.data()) : -1L) << ", the rule finds " << (want ? (long)(want - b.data()) : -1L);
    }
    return ::testing::AssertionSuccess();
}

// Each fragment at every position of a buffer of non-zero bytes: the vector
// steps must pass over nothing, wherever in a step the fragment lies.
TEST(KEP_SCAN_SUITE_H264, FragmentsAtEveryPositionOfAStep)
{
    const Bytes fragments[] = {{0, 0, 0, 1}, {0, 0, 1}, {0, 0}, {0}, {0, 0, 0}, {0, 0, 0, 0, 1},
                               {0, 0, 0, 0, 0, 0, 0, 1}, {0, 0, 3}, {0, 1}, {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}};
    for (const Bytes &f : fragments) {
        for (size_t pos = 0; pos < 200; pos++) {
            Bytes b(260, 0xA5);
            std::copy(f.begin(), f.end(), b.begin() + (long)pos);
            ASSERT_TRUE(agree_from_every_offset(b, 8)) << "fragment of " << f.size() << " bytes at " << pos;
            // The same with the data ending inside or right after the fragment.
            for (size_t cut = pos; cut <= pos + f.size() + 1; cut++) {
                Bytes c(b.begin(), b.begin() + (long)cut);
                ASSERT_TRUE(agree_from_every_offset(c, 8)) << "fragment at " << pos << ", data cut at " << cut;
            }
        }
    }
}

// Two fragments: a run of zeros or a lone zero ahead of a start code puts the
// search in states 1 to 4 when it reaches it.
TEST(KEP_SCAN_SUITE_H264, StatesLeftByAnEarlierFragment)
{
    const Bytes first[] = {{0}, {0, 0}, {0, 0, 0}, {0, 0, 0, 0}, {0, 0, 0, 0, 0}, {0, 0, 3}};
    const Bytes second[] = {{0, 0, 0, 1}, {0, 0, 1}, {0, 1}, {1}};
    for (const Bytes &f : first)
        for (const Bytes &g : second)
            for (size_t pos = 60; pos < 72; pos++)
                for (size_t gap = 0; gap < 70; gap++) {
                    Bytes b(pos + f.size() + gap + g.size() + 40, 0x5A);
                    std::copy(f.begin(), f.end(), b.begin() + (long)pos);
                    std::copy(g.begin(), g.end(), b.begin() + (long)(pos + f.size() + gap));
                    ASSERT_TRUE(agree_from_every_offset(b, 4)) << "fragments at " << pos << ", gap " << gap;
                }
}

// Random data, from sparse zeros (coded slices) to mostly zeros.
TEST(KEP_SCAN_SUITE_H264, RandomBuffers)
{
    std::mt19937 rng(65);
    for (int round = 0; round < 3000; round++) {
        size_t n = round % 10 == 0 ? rng() % 20000 : rng() % 400;
        unsigned zero_share = 1u << (rng() % 9); // in 256ths
        Bytes b(n);
        for (uint8_t &x : b) {
            unsigned r = rng();
            x = (r & 0xFF) < zero_share ? 0 : (uint8_t)(1 + (r >> 8) % 255);
            if (x != 0 && (r >> 20) % 64 == 0)
                x = 1;
        }
        ASSERT_TRUE(agree_from_every_offset(b, 70)) << "round " << round << ", zero share " << zero_share << "/256";
    }
}

// Each fragment at every position of a step, in scan-like data (no 0xFF)
// and in data of zeros, so that an FF 00 pair is also formed with the byte
// after the fragment; the data cut inside or right after the fragment puts
// an 0xFF at the end of the data, as at the end of a read.
TEST(KEP_SCAN_SUITE_MJPEG, FragmentsAtEveryPositionOfAStep)
{
    const Bytes fragments[] = {{0xFF, 0x00}, {0xFF, 0xD9}, {0xFF}, {0xFF, 0xFF, 0xD9}, {0xFF, 0x00, 0xFF, 0x00},
                               {0xFF, 0xFF, 0x00}, {0xFF, 0xD3}, {0xFF, 0xE0}, {0x00, 0xFF}, {0xFF, 0x01}};
    for (uint8_t background : {0xA5, 0x00})
        for (const Bytes &f : fragments)
            for (size_t pos = 0; pos < 200; pos++) {
                Bytes b(260, background);
                std::copy(f.begin(), f.end(), b.begin() + (long)pos);
                ASSERT_TRUE(agree_from_every_offset(b, 8, MJPEG))
                    << "fragment of " << f.size() << " bytes at " << pos << " in bytes " << (int)background;
                for (size_t cut = pos; cut <= pos + f.size() + 1; cut++) {
                    Bytes c(b.begin(), b.begin() + (long)cut);
                    ASSERT_TRUE(agree_from_every_offset(c, 8, MJPEG))
                        << "fragment at " << pos << ", data cut at " << cut << ", bytes " << (int)background;
                }
            }
}

// Random data from entropy-coded scans (an FF 00 pair every few hundred
// bytes) to data thick with 0xFF and zeros, every length up to a few vector
// steps and some long ones.
TEST(KEP_SCAN_SUITE_MJPEG, RandomBuffers)
{
    std::mt19937 rng(66);
    for (int round = 0; round < 3000; round++) {
        size_t n = round % 10 == 0 ? rng() % 20000 : rng() % 400;
        unsigned ff_share = 1u << (rng() % 8), zero_share = 1u << (rng() % 9); // in 256ths
        bool stuffed = rng() % 2 == 0; // every FF followed by 00 but where chance puts another byte
        Bytes b(n);
        for (size_t i = 0; i < n; i++) {
            unsigned r = rng();
            b[i] = (r & 0xFF) < ff_share ? 0xFF : ((r >> 8) & 0xFF) < zero_share ? 0 : (uint8_t)(1 + (r >> 16) % 254);
            if (stuffed && i > 0 && b[i - 1] == 0xFF && (r >> 24) % 16 != 0)
                b[i] = 0;
        }
        ASSERT_TRUE(agree_from_every_offset(b, 70, MJPEG))
            << "round " << round << ", FF share " << ff_share << "/256, zero share " << zero_share << "/256";
    }
}

} // namespace
