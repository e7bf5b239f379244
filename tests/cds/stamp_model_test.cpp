// The virtual codec driver's stamp model: settings taken from the file
// texts, the answers in the driver's forms, the snapshot, and the drawing
// into S420 pictures.
#include "glyph_reading.h"
#include "stamp.h"
#include "stamp_snapshot.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

using codecfs::DsFile;
using codecfs::Stamp;

namespace {

std::unique_ptr<Stamp> fresh()
{
    return std::unique_ptr<Stamp>(new Stamp{});
}

int apply(Stamp &s, DsFile f, const std::string &text)
{
    return codecfs::apply(s, f, text.data(), text.size());
}

std::string answer(const Stamp &s, DsFile f)
{
    char buf[codecfs::kMaxStampText + 1];
    size_t n = codecfs::answer(s, f, buf, sizeof buf);
    return std::string(buf, n);
}

TEST(StampSettings, EachFileAnswersInTheDriverForm)
{
    auto s = fresh();
    EXPECT_EQ(apply(*s, DsFile::position, "0x10 0x20"), 0);
    EXPECT_EQ(apply(*s, DsFile::dimension, "0x4 0x1"), 0);
    EXPECT_EQ(apply(*s, DsFile::color, "255 128 128 0 128 128"), 0);
    EXPECT_EQ(apply(*s, DsFile::color_attr, "0x7 0x3"), 0);
    EXPECT_EQ(apply(*s, DsFile::scale, "2"), 0);
    EXPECT_EQ(apply(*s, DsFile::enable, "1"), 0);
    EXPECT_EQ(answer(*s, DsFile::position), "start(0x10, 0x20)");
    EXPECT_EQ(answer(*s, DsFile::dimension), "dim(0x4, 0x1)");
    EXPECT_EQ(answer(*s, DsFile::color), "fg(255, 128, 128) bg(0, 128, 128)");
    EXPECT_EQ(answer(*s, DsFile::color_attr), "weight=7 attr=0x3");
    EXPECT_EQ(answer(*s, DsFile::scale), "scale=2");
    EXPECT_EQ(answer(*s, DsFile::enable), "datastamp enable=1");
}

TEST(StampSettings, MalformedSettingsAreRefusedAndChangeNothing)
{
    auto s = fresh();
    ASSERT_EQ(apply(*s, DsFile::position, "0x10 0x20"), 0);
    for (const char *bad : {"", "0x10", "0x10 0x20 0x30", "x y", "0x10,0x20"})
        EXPECT_EQ(apply(*s, DsFile::position, bad), -1) << '"' << bad << '"';
    EXPECT_EQ(answer(*s, DsFile::position), "start(0x10, 0x20)");
    EXPECT_EQ(apply(*s, DsFile::color, "1 2 3 4 5"), -1);
    EXPECT_EQ(apply(*s, DsFile::enable, "on"), -1);
    EXPECT_EQ(apply(*s, DsFile::scale, std::string(200, '1')), -1) << "over-long small setting";
    EXPECT_EQ(answer(*s, DsFile::enable), "datastamp enable=0");
}

TEST(StampSettings, TextStampBlocksAreDecodedUpToTheZeroFill)
{
    auto s = fresh();
    std::string text = "0x0 0x7c0000 0xe600c6 0xde00f6 0xc600ce 0x7c00c6 0x0 0x0 ";
    std::string file = text + std::string(1024 - text.size(), '\0');
    ASSERT_EQ(apply(*s, DsFile::datastamp, file), 0);
    ASSERT_EQ(s->word_count, 8u);
    EXPECT_EQ(s->words[1], 0x7c0000u);
    EXPECT_EQ(s->words[5], 0x7c00c6u);
    EXPECT_EQ(answer(*s, DsFile::datastamp), file) << "the raw text is answered as written";
}

TEST(StampSettings, BitmapWordsWithoutPrefixAreDecoded)
{
    auto s = fresh();
    ASSERT_EQ(apply(*s, DsFile::datastamp, "ffffffff 0 1a "), 0);
    ASSERT_EQ(s->word_count, 3u);
    EXPECT_EQ(s->words[0], 0xffffffffu);
    EXPECT_EQ(s->words[2], 0x1au);
}

TEST(StampSettings, BadBlockTextsAreRefused)
{
    auto s = fresh();
    ASSERT_EQ(apply(*s, DsFile::datastamp, "0x1 0x2 "), 0);
    for (const char *bad : {"0x1 zz", "0x", "123456789", "0x1g"})
        EXPECT_EQ(apply(*s, DsFile::datastamp, bad), -1) << bad;
    EXPECT_EQ(s->word_count, 2u);
    EXPECT_EQ(apply(*s, DsFile::datastamp, std::string(codecfs::kMaxStampText + 1, ' ')), -1);
}

TEST(StampSettings, WordsBeyondTheTableAreDropped)
{
    auto s = fresh();
    std::string text;
    for (size_t i = 0; i < codecfs::kMaxStampWords + 10; ++i)
        text += "1 ";
    ASSERT_EQ(apply(*s, DsFile::datastamp, text), 0);
    EXPECT_EQ(s->word_count, codecfs::kMaxStampWords);
}

TEST(StampSnapshot, RoundTripsTheDecodedStamp)
{
    auto s = fresh();
    apply(*s, DsFile::datastamp, "0x1 0x2 0x3 0x4 0x5 0x6 0x7 0xfffffff8 0x9 ");
    apply(*s, DsFile::position, "0x10 0x20");
    apply(*s, DsFile::dimension, "0x1 0x1");
    apply(*s, DsFile::color, "1 2 3 4 5 6");
    apply(*s, DsFile::color_attr, "0x5 0x9");
    apply(*s, DsFile::scale, "1");
    apply(*s, DsFile::enable, "1");
    std::vector<char> buf(codecfs::snapshot_size(*s) + 1);
    size_t n = codecfs::write_snapshot(*s, buf.data(), buf.size());
    ASSERT_LT(n, buf.size());
    auto t = fresh();
    ASSERT_TRUE(codecfs::read_snapshot(buf.data(), n, *t));
    EXPECT_EQ(t->word_count, 9u);
    EXPECT_EQ(t->words[7], 0xfffffff8u);
    EXPECT_EQ(t->start[1], 32);
    EXPECT_EQ(t->fg[2], 3);
    EXPECT_EQ(t->bg[0], 4);
    EXPECT_EQ(t->weight, 5);
    EXPECT_EQ(t->attr, 9);
    EXPECT_EQ(t->scale, 1);
    EXPECT_EQ(t->enable, 1);
}

TEST(StampSnapshot, MalformedSnapshotsLeaveTheStampAlone)
{
    auto s = fresh();
    s->enable = 7;
    for (const char *bad : {"", "codecfs-stamp 2\n", "codecfs-stamp 1\nenable 1",
                            "codecfs-stamp 1\nenable 1 scale 0 start 0 0 dim 1 1 fg 0 0 0 bg 0 0 0 weight 1 attr 0 "
                            "words 2\n00000001\n",
                            "codecfs-stamp 1\nenable 1 scale 0 start 0 0 dim 1 1 fg 0 0 0 bg 0 0 0 weight 1 attr 0 "
                            "words 99999\n"})
        EXPECT_FALSE(codecfs::read_snapshot(bad, strlen(bad), *s)) << bad;
    EXPECT_EQ(s->enable, 7);
}

// A picture of mid grey, 'S420'.
struct Picture {
    unsigned w, h;
    std::vector<uint8_t> data;
    Picture(unsigned w_, unsigned h_) : w(w_), h(h_), data(w_ * h_ * 3 / 2, 100) {}
    uint8_t y(unsigned x, unsigned yy) const { return data[yy * w + x]; }
    uint8_t cb(unsigned x, unsigned yy) const { return data[w * h + (yy / 2) * (w / 2) + x / 2]; }
    uint8_t cr(unsigned x, unsigned yy) const { return data[w * h + (w / 2) * (h / 2) + (yy / 2) * (w / 2) + x / 2]; }
};

std::unique_ptr<Stamp> one_pixel_stamp(int32_t scale, int px, int py)
{
    auto s = fresh();
    s->word_count = 8;
    // Set pixel (px, py) through the layout description.
    for (int i = 0; i < 256; ++i) {
        uint32_t words[8] = {};
        words[i / 32] = 1u << (i % 32);
        if (cdstest::glyph_pixel_words(words, scale, px, py)) {
            s->words[i / 32] = 1u << (i % 32);
            break;
        }
    }
    s->dim[0] = s->dim[1] = 1;
    s->fg[0] = 235;
    s->fg[1] = 50;
    s->fg[2] = 200;
    s->bg[0] = 16;
    s->bg[1] = 128;
    s->bg[2] = 128;
    s->scale = scale;
    s->enable = 1;
    return s;
}

TEST(StampDraw, DisabledStampDrawsNothing)
{
    auto s = one_pixel_stamp(0, 0, 0);
    s->enable = 0;
    Picture p(64, 64);
    codecfs::draw_s420(*s, p.data.data(), p.w, p.h);
    EXPECT_EQ(p.data, std::vector<uint8_t>(64 * 64 * 3 / 2, 100));
}

TEST(StampDraw, PixelsAreMagnifiedAtTheirPlace)
{
    for (int32_t scale = 0; scale <= 2; ++scale) {
        const int m = 1 << scale;
        auto s = one_pixel_stamp(scale, 5, 9);
        s->start[0] = 8;
        s->start[1] = 4;
        Picture p(96, 96);
        codecfs::draw_s420(*s, p.data.data(), p.w, p.h);
        for (unsigned y = 0; y < p.h; ++y)
            for (unsigned x = 0; x < p.w; ++x) {
                bool in_stamp = x >= 8 && x < 8 + 16u * m && y >= 4 && y < 4 + 16u * m;
                bool on = x >= 8 + 5u * m && x < 8 + 6u * m && y >= 4 + 9u * m && y < 4 + 10u * m;
                uint8_t want = on ? 235 : in_stamp ? 16 : 100;
                ASSERT_EQ(p.y(x, y), want) << "scale " << scale << " at " << x << "," << y;
            }
        // Chroma takes the colour of the top-left luma pixel of its 2 x 2: a
        // single pixel at odd coordinates (x1) leaves the background's.
        EXPECT_EQ(p.cb(8 + 5 * m, 4 + 9 * m), m > 1 ? 50 : 128) << "scale " << scale;
        EXPECT_EQ(p.cr(8 + 5 * m, 4 + 9 * m), m > 1 ? 200 : 128) << "scale " << scale;
        EXPECT_EQ(p.cb(0, 0), 100);
    }
}

TEST(StampDraw, BlocksFillColumnsThenRows)
{
    auto s = fresh();
    s->word_count = 24;
    for (int b = 0; b < 3; ++b)
        s->words[b * 8] = 1; // top-left pixel of each block
    s->dim[0] = 2;
    s->dim[1] = 2; // four blocks claimed, three held
    s->fg[0] = 200;
    s->bg[0] = 10;
    s->enable = 1;
    Picture p(64, 64);
    codecfs::draw_s420(*s, p.data.data(), p.w, p.h);
    EXPECT_EQ(p.y(0, 0), 200);
    EXPECT_EQ(p.y(16, 0), 200);
    EXPECT_EQ(p.y(0, 16), 200);
    EXPECT_EQ(p.y(16, 16), 100) << "the fourth block has no words: not drawn";
    EXPECT_EQ(p.y(1, 0), 10);
}

TEST(StampDraw, StampsReachingOutOfThePictureAreClipped)
{
    auto s = one_pixel_stamp(2, 15, 15);
    s->dim[0] = 1;
    for (int32_t x0 : {-40, -1, 60, 1000})
        for (int32_t y0 : {-40, 60}) {
            s->start[0] = x0;
            s->start[1] = y0;
            Picture p(64, 64);
            codecfs::draw_s420(*s, p.data.data(), p.w, p.h); // must stay inside the buffer
            if (x0 == -1 && y0 == -40) {
                EXPECT_EQ(p.y(59, 20), 235) << "pixel 15,15 magnified 4x lands at 59..62, 20..23";
            }
        }
}

} // namespace
