// BMP pictures as stamp bitmaps: sizes and refusals, thresholds, stamp
// colours, bit placement, the text written to the driver, and halving and
// doubling of BMP files, including hostile headers.
#include "bmp_builder.h"
#include "cds_test_util.h"
#include "kep_vc.h"

#include <gtest/gtest.h>

using cdstest::BmpSpec;
using cdstest::build_bmp;
using cdstest::Capture;
using cdstest::get_le;
using cdstest::read_file;
using cdstest::Rgb;
using cdstest::ScratchDir;
using cdstest::write_file;

namespace {

const Rgb kWhite{255, 255, 255}, kBlack{0, 0, 0};

// Fills a record for a picture written into dir, thresholds 128 each.
kep_cds record_for(const ScratchDir &dir, const std::string &bmp)
{
    kep_cds cds{};
    snprintf(cds.bmp_path, sizeof cds.bmp_path, "%s", dir.file("p.bmp").c_str());
    snprintf(cds.proc_dir, sizeof cds.proc_dir, "%s", dir.c_str());
    cds.threshold[0] = cds.threshold[1] = cds.threshold[2] = 128;
    EXPECT_TRUE(write_file(dir.file("p.bmp"), bmp));
    return cds;
}

void release(kep_cds &cds)
{
    free(cds.bitmap);
    free(cds.scaled_bitmap);
    cds.bitmap = cds.scaled_bitmap = nullptr;
}

BmpSpec with_pixels(int w, int h, std::function<Rgb(int, int)> f)
{
    BmpSpec s;
    s.width = w;
    s.height = h;
    s.rgb = std::move(f);
    return s;
}

TEST(BmpRead, FortyEightBySixteenGivesThreeBlocks)
{
    ScratchDir dir;
    // One black pixel in the top-left corner of each block.
    kep_cds cds = record_for(dir, build_bmp(with_pixels(48, 16, [](int x, int y) {
                                 return (x % 16 == 0 && y == 0) ? kBlack : kWhite;
                             })));
    ASSERT_EQ(kep_read_bmp(&cds), 0);
    EXPECT_EQ(cds.width, 48u);
    EXPECT_EQ(cds.height, 16u);
    EXPECT_EQ(cds.dim[0], 3);
    EXPECT_EQ(cds.dim[1], 1);
    EXPECT_EQ(cds.words, 24);
    ASSERT_NE(cds.bitmap, nullptr);
    ASSERT_NE(cds.scaled_bitmap, nullptr);
    for (int w = 0; w < 24; ++w)
        EXPECT_EQ(cds.bitmap[w], w % 8 == 0 ? 1u : 0u) << "word " << w;
    release(cds);
}

TEST(BmpRead, LargestPictureIsAccepted)
{
    ScratchDir dir;
    kep_cds cds = record_for(dir, build_bmp(with_pixels(256, 160, [](int, int) { return kWhite; })));
    ASSERT_EQ(kep_read_bmp(&cds), 0);
    EXPECT_EQ(cds.words, 1280);
    release(cds);
}

TEST(BmpRead, TooLargePictureIsRefusedWithoutAllocation)
{
    ScratchDir dir;
    kep_cds cds = record_for(dir, build_bmp(with_pixels(256, 176, [](int, int) { return kWhite; })));
    Capture cap;
    EXPECT_EQ(kep_read_bmp(&cds), 1);
    EXPECT_EQ(cap.err(), "no supprot 256X176 too large size\n");
    EXPECT_EQ(cds.bitmap, nullptr);
    EXPECT_EQ(cds.scaled_bitmap, nullptr);
    EXPECT_EQ(cds.width, 256u);
    EXPECT_EQ(cds.words, 1408);
}

TEST(BmpRead, SizeNotMultipleOf16IsRefusedWithRecordHoldingIt)
{
    ScratchDir dir;
    kep_cds cds = record_for(dir, build_bmp(with_pixels(100, 32, [](int, int) { return kWhite; })));
    Capture cap;
    EXPECT_EQ(kep_read_bmp(&cds), 1);
    EXPECT_EQ(cap.err(), "no supprot 100X32\n");
    EXPECT_EQ(cds.width, 100u);
    EXPECT_EQ(cds.height, 32u);
    EXPECT_EQ(cds.dim[0], 6);
    EXPECT_EQ(cds.dim[1], 2);
    EXPECT_EQ(cds.words, 100);
    EXPECT_EQ(cds.bitmap, nullptr);
}

TEST(BmpRead, MissingFileLeavesRecordUntouched)
{
    kep_cds cds{};
    snprintf(cds.bmp_path, sizeof cds.bmp_path, "/nonexistent/logo.bmp");
    cds.width = 7;
    Capture cap;
    EXPECT_EQ(kep_read_bmp(&cds), 1);
    EXPECT_EQ(cap.err(), "open /nonexistent/logo.bmp failed.\n ");
    EXPECT_EQ(cds.width, 7u);
}

TEST(BmpThreshold, AnyChannelBelowItsThresholdSetsThePixel)
{
    ScratchDir dir;
    const Rgb colours[] = {kBlack, kWhite, {0, 0, 255}, {255, 127, 255}, {255, 255, 127}, {128, 128, 128}};
    const bool expected[] = {true, false, true, true, true, false};
    kep_cds cds = record_for(dir, build_bmp(with_pixels(16, 16, [&](int x, int y) {
                                 return (y == 0 && x < 6) ? colours[x] : kWhite;
                             })));
    ASSERT_EQ(kep_read_bmp(&cds), 0);
    for (int x = 0; x < 6; ++x)
        EXPECT_EQ((cds.bitmap[0] >> x) & 1, expected[x] ? 1u : 0u) << "pixel " << x;
    release(cds);
}

TEST(BmpThreshold, ThresholdsApplyPerChannel)
{
    ScratchDir dir;
    // Red 100 is below a red threshold of 101 but not of 100.
    for (uint32_t t : {100u, 101u}) {
        kep_cds cds = record_for(dir, build_bmp(with_pixels(16, 16, [](int x, int y) {
                                     return (x == 0 && y == 0) ? Rgb{100, 255, 255} : kWhite;
                                 })));
        cds.threshold[0] = t;
        cds.threshold[1] = cds.threshold[2] = 0;
        ASSERT_EQ(kep_read_bmp(&cds), 0);
        EXPECT_EQ(cds.bitmap[0] & 1, t == 101 ? 1u : 0u) << "threshold " << t;
        release(cds);
    }
}

struct ColourCase {
    Rgb first;
    int32_t y, cb, cr;
};

TEST(BmpColour, FirstSetPixelGivesTheTruncatedStampColour)
{
    const ColourCase cases[] = {
        {{0, 0, 0}, 0, 128, 128},
        {{255, 0, 0}, 76, 84, 255},
        {{0, 0, 255}, 29, 255, 107},
        {{0, 255, 0}, 149, 43, 21},
    };
    for (const ColourCase &c : cases) {
        ScratchDir dir;
        // The first set pixel in reading order is at (5, 0); a different set
        // pixel follows it.
        kep_cds cds = record_for(dir, build_bmp(with_pixels(16, 16, [&](int x, int y) {
                                     if (y == 0 && x == 5)
                                         return c.first;
                                     return (y == 3 && x == 2) ? Rgb{10, 20, 30} : kWhite;
                                 })));
        ASSERT_EQ(kep_read_bmp(&cds), 0);
        EXPECT_EQ(cds.fg_color[0], c.y);
        EXPECT_EQ(cds.fg_color[1], c.cb);
        EXPECT_EQ(cds.fg_color[2], c.cr);
        EXPECT_EQ(cds.bg_color[0], 255);
        EXPECT_EQ(cds.bg_color[1], 128);
        EXPECT_EQ(cds.bg_color[2], 128);
        release(cds);
    }
}

TEST(BmpColour, MidGreyTruncatesTo127)
{
    ScratchDir dir;
    kep_cds cds = record_for(dir, build_bmp(with_pixels(16, 16, [](int, int) { return Rgb{128, 128, 128}; })));
    cds.threshold[0] = 129;
    ASSERT_EQ(kep_read_bmp(&cds), 0);
    EXPECT_EQ(cds.fg_color[0], 127);
    EXPECT_EQ(cds.fg_color[1], 128);
    EXPECT_EQ(cds.fg_color[2], 128);
    release(cds);
}

TEST(BmpColour, PictureWithoutSetPixelGivesBlack)
{
    ScratchDir dir;
    kep_cds cds = record_for(dir, build_bmp(with_pixels(16, 16, [](int, int) { return kWhite; })));
    cds.fg_color[0] = 99;
    ASSERT_EQ(kep_read_bmp(&cds), 0);
    EXPECT_EQ(cds.fg_color[0], 0);
    EXPECT_EQ(cds.fg_color[1], 128);
    EXPECT_EQ(cds.fg_color[2], 128);
    release(cds);
}

TEST(BmpPlacement, TopLeftPixelIsTheFirstPixelOfTheLastFileRow)
{
    ScratchDir dir;
    std::string bmp = build_bmp(with_pixels(32, 32, [](int, int) { return kWhite; }));
    // Picture row 0 is the last row stored; its first pixel, set black.
    const size_t last_row = 54 + 31 * 32 * 3;
    bmp[last_row] = bmp[last_row + 1] = bmp[last_row + 2] = 0;
    kep_cds cds = record_for(dir, bmp);
    ASSERT_EQ(kep_read_bmp(&cds), 0);
    EXPECT_EQ(cds.bitmap[0], 1u);
    for (int w = 1; w < cds.words; ++w)
        EXPECT_EQ(cds.bitmap[w], 0u) << w;
    release(cds);
}

TEST(BmpPlacement, BitsFollowTheRowLayoutBlockByBlock)
{
    struct Case {
        int x, y, word;
        uint32_t bit;
    } cases[] = {
        {0, 1, 0, 16},           // the pixel below the top-left one
        {16, 0, 8, 0},           // column 16 of the top row: second block
        {15, 15, 7, 31},         // last pixel of the first block
        {3, 16, 16, 3},          // second block row, first block
        {31, 31, 31, 31},        // bottom-right pixel
        {17, 6, 8 + 3, 1},       // inside the second block
    };
    for (const Case &c : cases) {
        ScratchDir dir;
        kep_cds cds = record_for(dir, build_bmp(with_pixels(32, 32, [&](int x, int y) {
                                     return (x == c.x && y == c.y) ? kBlack : kWhite;
                                 })));
        ASSERT_EQ(kep_read_bmp(&cds), 0);
        for (int w = 0; w < cds.words; ++w)
            EXPECT_EQ(cds.bitmap[w], w == c.word ? 1u << c.bit : 0u) << "pixel " << c.x << "," << c.y << " word " << w;
        release(cds);
    }
}

TEST(BmpHostile, TopDownPictureReadsLikeItsBottomUpTwin)
{
    ScratchDir dir;
    auto pattern = [](int x, int y) { return ((x * 7 + y * 3) % 5 == 0) ? kBlack : kWhite; };
    kep_cds up = record_for(dir, build_bmp(with_pixels(32, 16, pattern)));
    ASSERT_EQ(kep_read_bmp(&up), 0);
    kep_cds down = record_for(dir, build_bmp(with_pixels(32, -16, pattern)));
    ASSERT_EQ(kep_read_bmp(&down), 0);
    EXPECT_EQ(down.height, 16u);
    EXPECT_EQ(down.dim[1], 1);
    EXPECT_EQ(memcmp(up.bitmap, down.bitmap, 16 * sizeof(uint32_t)), 0);
    release(up);
    release(down);
}

TEST(BmpHostile, RefusedPicturesLeaveNothingAllocated)
{
    struct Case {
        const char *what;
        std::string bmp;
        std::string message;
    };
    std::string full = build_bmp(with_pixels(32, 16, [](int, int) { return kBlack; }));
    BmpSpec eight = with_pixels(16, 16, [](int, int) { return kBlack; });
    eight.bpp = 8;
    BmpSpec rle = eight;
    rle.compression = 1;
    BmpSpec huge = with_pixels(16, 16, [](int, int) { return kBlack; });
    std::string huge_bmp = build_bmp(huge);
    cdstest::put_le(huge_bmp, 18, 0x80000000u, 4); // width * height overflows 32 bits
    std::string zero = build_bmp(huge);
    cdstest::put_le(zero, 18, 0, 4);
    std::string far_offset = full;
    cdstest::put_le(far_offset, 10, 0xfffffff0u, 4);
    Case cases[] = {
        {"short header", full.substr(0, 20), "truncated BMP header"},
        {"short pixels", full.substr(0, full.size() - 1), "pixel data truncated"},
        {"8 bits", build_bmp(eight), "unsupported BMP: 8 bits per pixel, compression 0"},
        {"compressed", build_bmp(rle), "unsupported BMP: 8 bits per pixel, compression 1"},
        {"overflowing size", huge_bmp, "too large size"},
        {"zero width", zero, "no supprot 0X16"},
        {"pixels beyond the file", far_offset, "pixel data truncated"},
    };
    for (const Case &c : cases) {
        ScratchDir dir;
        kep_cds cds = record_for(dir, c.bmp);
        Capture cap;
        EXPECT_EQ(kep_read_bmp(&cds), 1) << c.what;
        EXPECT_NE(cap.err().find(c.message), std::string::npos) << c.what << ": " << cap.err();
        EXPECT_EQ(cds.bitmap, nullptr) << c.what;
        EXPECT_EQ(cds.scaled_bitmap, nullptr) << c.what;
    }
}

TEST(BmpSetBmp, WritesBitmapTextColourAndPositionThenReleases)
{
    ScratchDir dir;
    kep_cds cds = record_for(dir, build_bmp(with_pixels(32, 16, [](int x, int y) {
                                 return (x == y || x == 20) ? Rgb{255, 0, 0} : kWhite;
                             })));
    cds.scale = 2;
    cds.start[0] = 64;
    cds.start[1] = 48;
    kep_cds expected = cds;
    ASSERT_EQ(kep_read_bmp(&expected), 0);
    kep_cds_scale_datastamp(&expected);
    std::string text;
    for (int i = 0; i < expected.words; ++i) {
        char w[16];
        snprintf(w, sizeof w, "%x ", expected.scaled_bitmap[i]);
        text += w;
    }
    release(expected);

    ASSERT_EQ(kep_cds_set_bmp(&cds), 0);
    EXPECT_EQ(read_file(dir.file("ds_datastamp")), text);
    EXPECT_EQ(read_file(dir.file("ds_color")), "76 84 255 255 128 128");
    EXPECT_EQ(read_file(dir.file("ds_position")), "0x40 0x30");
    EXPECT_EQ(read_file(dir.file("ds_dimension")), "0x2 0x1");
    EXPECT_FALSE(cdstest::exists(dir.file("ds_scale")));
    EXPECT_FALSE(cdstest::exists(dir.file("ds_enable")));
    EXPECT_EQ(cds.bitmap, nullptr);
    EXPECT_EQ(cds.scaled_bitmap, nullptr);
}

TEST(BmpSetBmp, DenseLargestBitmapIsWrittenWhole)
{
    // 1280 words of ffffffff need 11520 characters: more than 8192.
    ScratchDir dir;
    kep_cds cds = record_for(dir, build_bmp(with_pixels(256, 160, [](int, int) { return kBlack; })));
    ASSERT_EQ(kep_cds_set_bmp(&cds), 0);
    std::string text = read_file(dir.file("ds_datastamp"));
    EXPECT_EQ(text.size(), 1280u * 9);
    EXPECT_EQ(cdstest::parse_words(text), std::vector<unsigned>(1280, 0xffffffffu));
}

TEST(BmpSetBmp, RefusedPictureWritesNothing)
{
    ScratchDir dir;
    kep_cds cds = record_for(dir, build_bmp(with_pixels(100, 32, [](int, int) { return kBlack; })));
    Capture cap;
    EXPECT_EQ(kep_cds_set_bmp(&cds), 1);
    EXPECT_FALSE(cdstest::exists(dir.file("ds_datastamp")));
    EXPECT_FALSE(cdstest::exists(dir.file("ds_color")));
}

TEST(BmpSetBmp, UnopenableDatastampKeepsBitmapsAndWritesNoColour)
{
    ScratchDir dir;
    kep_cds cds = record_for(dir, build_bmp(with_pixels(16, 16, [](int, int) { return kBlack; })));
    mkdir(dir.file("ds_datastamp").c_str(), 0755);
    Capture cap;
    EXPECT_EQ(kep_cds_set_bmp(&cds), 1);
    EXPECT_EQ(cap.err(), "open " + dir.file("ds_datastamp") + " failed.\n");
    EXPECT_FALSE(cdstest::exists(dir.file("ds_color")));
    EXPECT_FALSE(cdstest::exists(dir.file("ds_position")));
    EXPECT_NE(cds.bitmap, nullptr) << "the caller releases them";
    release(cds);
}

// ---- halving and doubling files ----

std::string scale_file(const std::string &bmp, bool up, int32_t *result = nullptr)
{
    ScratchDir dir;
    write_file(dir.file("in.bmp"), bmp);
    int32_t r = up ? kep_scale_up_bmppicture(dir.file("in.bmp").c_str(), dir.file("out.bmp").c_str())
                   : kep_scale_down_bmppicture(dir.file("in.bmp").c_str(), dir.file("out.bmp").c_str());
    if (result)
        *result = r;
    else
        EXPECT_EQ(r, 0);
    return read_file(dir.file("out.bmp"));
}

TEST(BmpHalve, ColourChannelsAreRoundedAverages)
{
    BmpSpec s = with_pixels(4, 2, [](int x, int y) {
        const uint8_t red[2][2] = {{1, 2}, {2, 2}};
        return x < 2 ? Rgb{red[y][x], 0, 0} : Rgb{9, 9, 9};
    });
    std::string out = scale_file(build_bmp(s), false);
    ASSERT_EQ(out.size(), 54u + 8) << "one row of two pixels, padded to 8 bytes";
    EXPECT_EQ(static_cast<uint8_t>(out[54 + 2]), 2) << "red of (1+2+2+2+2)>>2";
    EXPECT_EQ(static_cast<uint8_t>(out[54 + 3 + 2]), 9);
}

TEST(BmpHalve, PaletteIndicesAreTruncatedAverages)
{
    BmpSpec s;
    s.width = 4;
    s.height = 2;
    s.bpp = 8;
    s.palette.assign(1024, 0x5a);
    s.index = [](int x, int y) { return static_cast<uint8_t>(x < 2 ? ((x == 0 && y == 0) ? 1 : 2) : 200); };
    std::string out = scale_file(build_bmp(s), false);
    ASSERT_EQ(out.size(), 1078u + 4);
    EXPECT_EQ(static_cast<uint8_t>(out[1078]), 1) << "7 >> 2";
    EXPECT_EQ(static_cast<uint8_t>(out[1079]), 200);
}

TEST(BmpHalve, HeaderGetsHalfSizeAndKeepsEverythingElse)
{
    BmpSpec s = with_pixels(9, 5, [](int, int) { return kWhite; }); // odd sizes halve down
    std::string in = build_bmp(s);
    std::string out = scale_file(in, false);
    EXPECT_EQ(out.substr(0, 2), "BM");
    EXPECT_EQ(get_le(out, 18, 4), 4u);
    EXPECT_EQ(get_le(out, 22, 4), 2u);
    EXPECT_EQ(get_le(out, 2, 4), 54u + 2 * 12) << "file size: 4 pixels of 3 bytes per row, two rows";
    EXPECT_EQ(out.size(), 54u + 2 * 12);
    EXPECT_EQ(out.substr(6, 8), in.substr(6, 8)) << "reserved and pixel-data offset";
    EXPECT_EQ(out.substr(14, 4), in.substr(14, 4));
    EXPECT_EQ(out.substr(26, 28), in.substr(26, 28)) << "planes, depth and the rest of the information header";
}

TEST(BmpHalve, PaddedRowsAreReadAndWrittenWithTheirPadding)
{
    // 24-bit, 6 pixels wide: 18-byte rows padded to 20. Each 2x2 block has
    // its own colour, so a misread stride would mix blocks.
    BmpSpec s = with_pixels(6, 2, [](int x, int) { return Rgb{static_cast<uint8_t>(40 * (x / 2) + 10), 0, 0}; });
    std::string out = scale_file(build_bmp(s), false);
    // 3 pixels, 9 bytes, padded to 12.
    ASSERT_EQ(out.size(), 54u + 12);
    EXPECT_EQ(get_le(out, 2, 4), 66u);
    for (int x = 0; x < 3; ++x)
        EXPECT_EQ(static_cast<uint8_t>(out[54 + 3 * x + 2]), 40 * x + 10) << x;
}

TEST(BmpDouble, EachPixelBecomesATwoByTwoBlock)
{
    BmpSpec s = with_pixels(2, 2, [](int x, int y) { return Rgb{static_cast<uint8_t>(10 * x + 100 * y), 1, 2}; });
    std::string out = scale_file(build_bmp(s), true);
    ASSERT_EQ(out.size(), 54u + 4 * 12);
    EXPECT_EQ(get_le(out, 18, 4), 4u);
    EXPECT_EQ(get_le(out, 22, 4), 4u);
    // File rows: 0,1 from input file row 0 (picture row 1), 2,3 from row 1.
    for (int fr = 0; fr < 4; ++fr)
        for (int x = 0; x < 4; ++x) {
            int picture_row = fr < 2 ? 1 : 0;
            EXPECT_EQ(static_cast<uint8_t>(out[54 + fr * 12 + 3 * x + 2]), 10 * (x / 2) + 100 * picture_row)
                << fr << "," << x;
            EXPECT_EQ(static_cast<uint8_t>(out[54 + fr * 12 + 3 * x]), 2);
        }
}

TEST(BmpDouble, EightBitPictureKeepsItsPalette)
{
    BmpSpec s;
    s.width = 4;
    s.height = 3;
    s.bpp = 8;
    for (int i = 0; i < 1024; ++i)
        s.palette.push_back(static_cast<uint8_t>(i * 7));
    s.index = [](int x, int y) { return static_cast<uint8_t>(x + 4 * y); };
    std::string in = build_bmp(s);
    ASSERT_EQ(get_le(in, 10, 4), 1078u);
    std::string out = scale_file(in, true);
    EXPECT_EQ(get_le(out, 2, 4), 1078u + 4 * 4 * 3);
    EXPECT_EQ(out.size(), 1078u + 4 * 4 * 3);
    EXPECT_EQ(out.substr(54, 1024), in.substr(54, 1024));
    EXPECT_EQ(static_cast<uint8_t>(out[1078 + 8 * 2 + 5]), 2 + 4 * 1) << "file row 2, column 5";
}

TEST(BmpDouble, TopDownHeightKeepsItsSign)
{
    BmpSpec s = with_pixels(4, -2, [](int, int) { return kWhite; });
    std::string out = scale_file(build_bmp(s), true);
    EXPECT_EQ(static_cast<int32_t>(get_le(out, 22, 4)), -4);
    EXPECT_EQ(out.size(), 54u + 4 * 24);
}

TEST(BmpScaleHostile, RefusalsCreateNoOutput)
{
    std::string ok = build_bmp(with_pixels(4, 4, [](int, int) { return kWhite; }));
    BmpSpec rle;
    rle.width = 4;
    rle.height = 4;
    rle.bpp = 8;
    rle.compression = 1;
    BmpSpec deep = with_pixels(4, 4, [](int, int) { return kWhite; });
    deep.bpp = 32;
    std::string low_offset = ok;
    cdstest::put_le(low_offset, 10, 20, 4);
    std::string huge = ok;
    cdstest::put_le(huge, 18, 0x7fffffff, 4);
    cdstest::put_le(huge, 22, 0x7fffffff, 4);
    std::string zero_width = ok;
    cdstest::put_le(zero_width, 18, 0, 4);
    struct Case {
        const char *what;
        std::string bmp;
    } cases[] = {
        {"header of 29 bytes", ok.substr(0, 29)},
        {"offset beyond the file", ok.substr(0, 50)},
        {"pixels cut short", ok.substr(0, ok.size() - 3)},
        {"compressed", build_bmp(rle)},
        {"32 bits", build_bmp(deep)},
        {"offset inside the header", low_offset},
        {"huge sizes", huge},
        {"zero width", zero_width},
    };
    for (const Case &c : cases)
        for (bool up : {false, true}) {
            int32_t r = 0;
            Capture cap;
            std::string out = scale_file(c.bmp, up, &r);
            cap.finish();
            EXPECT_EQ(r, 1) << c.what << (up ? " doubled" : " halved");
            EXPECT_EQ(out, "<missing>") << c.what;
            EXPECT_NE(cap.err().find("in.bmp: "), std::string::npos) << c.what << ": " << cap.err();
        }
}

TEST(BmpScaleFailures, UnopenableFilesAreNamed)
{
    ScratchDir dir;
    write_file(dir.file("in.bmp"), build_bmp(with_pixels(4, 4, [](int, int) { return kWhite; })));
    Capture cap;
    EXPECT_EQ(kep_scale_down_bmppicture("/nonexistent/in.bmp", dir.file("o.bmp").c_str()), 1);
    EXPECT_EQ(kep_scale_up_bmppicture(dir.file("in.bmp").c_str(), "/nonexistent/out.bmp"), 1);
    EXPECT_EQ(cap.err(), "open /nonexistent/in.bmp failed.\n open /nonexistent/out.bmp failed.\n ");
}

} // namespace
