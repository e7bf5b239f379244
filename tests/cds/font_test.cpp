// Fonts and text stamps: the exported tables, the three block layouts, the
// block text written for a text, and the whole-stamp setter.
#include "cds_test_util.h"
#include "glyph_reading.h"
#include "kep_vc.h"

#include <gtest/gtest.h>

#include <set>

using cdstest::Capture;
using cdstest::glyph_pixel;
using cdstest::read_file;
using cdstest::ScratchDir;
using cdstest::write_file;

namespace {

constexpr int kColon = 39;
constexpr int kBlank = 36;

const uint8_t *glyph(const uint8_t *font, int g)
{
    return font + g * KEP_GLYPH_BYTES;
}

std::string set_string_text(const char *text, int32_t scale)
{
    ScratchDir dir;
    EXPECT_EQ(kep_cds_set_string(dir.c_str(), text, scale), 0);
    std::string file = read_file(dir.file("ds_datastamp"));
    EXPECT_EQ(file.size(), 1024u);
    return std::string(file.c_str()); // the block text, without the zero fill
}

TEST(FontBlockText, DigitZeroAtEachScaleCode)
{
    EXPECT_EQ(set_string_text("0", 0), "0x0 0x7c0000 0xe600c6 0xde00f6 0xc600ce 0x7c00c6 0x0 0x0 ");
    EXPECT_EQ(set_string_text("0", 1), "0x7c000000 0xdef6e6c6 0x0 0x0 0x7cc6c6ce 0x0 0x0 0x0 ");
    EXPECT_EQ(set_string_text("0", 2), "0x7000c000 0x0 0xdfece666 0x0 0x7cccc66e 0x0 0x0 0x0 ");
}

TEST(FontBlockText, OtherScaleCodesUseTheRowLayout)
{
    EXPECT_EQ(set_string_text("A5", 3), set_string_text("A5", 0));
    EXPECT_EQ(set_string_text("A5", -1), set_string_text("A5", 0));
}

TEST(FontBlockText, LowerCaseLettersShowTheirCapitals)
{
    for (int scale = 0; scale <= 2; ++scale) {
        EXPECT_EQ(set_string_text("abcdefghi", scale), set_string_text("ABCDEFGHI", scale));
        EXPECT_EQ(set_string_text("jklmnopqr", scale), set_string_text("JKLMNOPQR", scale));
        EXPECT_EQ(set_string_text("stuvwxyz", scale), set_string_text("STUVWXYZ", scale));
    }
}

TEST(FontBlockText, BlanksProduceEightZeroWords)
{
    const std::string zero_block = "0x0 0x0 0x0 0x0 0x0 0x0 0x0 0x0 ";
    for (const char *text : {" ", "\t", "\x7f", "\x01"})
        EXPECT_EQ(set_string_text(text, 0), zero_block) << "code " << int(text[0]);
}

TEST(FontBlockText, CodesAbove127AreDrawnBlank)
{
    const std::string zero_block = "0x0 0x0 0x0 0x0 0x0 0x0 0x0 0x0 ";
    for (int scale = 0; scale <= 2; ++scale) {
        EXPECT_EQ(set_string_text("\x80", scale), zero_block);
        EXPECT_EQ(set_string_text("\xff", scale), zero_block);
        EXPECT_EQ(set_string_text("A\xe9" "B", scale), set_string_text("A B", scale));
    }
}

TEST(FontBlockText, EmptyTextWrites1024ZeroBytes)
{
    ScratchDir dir;
    EXPECT_EQ(kep_cds_set_string(dir.c_str(), "", 0), 0);
    EXPECT_EQ(read_file(dir.file("ds_datastamp")), std::string(1024, '\0'));
}

TEST(FontBlockText, TextIsFollowedByZeroBytesUpTo1024)
{
    ScratchDir dir;
    EXPECT_EQ(kep_cds_set_string(dir.c_str(), "12:00", 1), 0);
    std::string file = read_file(dir.file("ds_datastamp"));
    ASSERT_EQ(file.size(), 1024u);
    size_t len = strlen(file.c_str());
    EXPECT_EQ(cdstest::parse_words(file.substr(0, len)).size(), 40u);
    EXPECT_EQ(file.find_first_not_of('\0', len), std::string::npos);
}

TEST(FontBlockText, ElevenOfTheWidestGlyphsFit)
{
    // Find the glyph with the longest block text and stamp it eleven times.
    size_t widest = 0;
    char widest_char = '0';
    for (int c = 33; c < 127; ++c) {
        char t[2] = {static_cast<char>(c), 0};
        for (int scale = 0; scale <= 2; ++scale) {
            size_t n = set_string_text(t, scale).size();
            if (n > widest) {
                widest = n;
                widest_char = static_cast<char>(c);
            }
        }
    }
    std::string text(11, widest_char);
    for (int scale = 0; scale <= 2; ++scale) {
        ScratchDir dir;
        EXPECT_EQ(kep_cds_set_string(dir.c_str(), text.c_str(), scale), 0) << "scale " << scale;
    }
}

TEST(FontBlockText, TextBeyond1023CharactersIsRefusedAndTheFileLeftAlone)
{
    ScratchDir dir;
    // A blank block is 32 characters: 31 blanks fill 992, 32 would need 1024.
    std::string fits(31, ' '), too_long(32, ' ');
    EXPECT_EQ(kep_cds_set_string(dir.c_str(), fits.c_str(), 0), 0);
    ASSERT_TRUE(write_file(dir.file("ds_datastamp"), "previous"));
    Capture cap;
    EXPECT_EQ(kep_cds_set_string(dir.c_str(), too_long.c_str(), 0), 1);
    EXPECT_NE(cap.err().find("more than 1023 bytes of block text"), std::string::npos) << cap.err();
    EXPECT_EQ(read_file(dir.file("ds_datastamp")), "previous");
}

TEST(FontBlockText, UnopenableFileIsReported)
{
    Capture cap;
    EXPECT_EQ(kep_cds_set_string("/nonexistent/kep", "12", 0), 1);
    EXPECT_EQ(cap.err(), "open /nonexistent/kep/ds_datastamp failed.\n");
}

TEST(FontTables, CharacterTableMapsEveryCode)
{
    const char punct[] = "=,:/~-_|(){}<>[]\\@?;^$'\"#%!&*+.";
    for (int c = 0; c < 128; ++c) {
        int expected;
        if (c >= '0' && c <= '9')
            expected = c - '0';
        else if (c >= 'A' && c <= 'Z')
            expected = 10 + c - 'A';
        else if (c >= 'a' && c <= 'z')
            expected = 10 + c - 'a';
        else if (c == '`')
            expected = 59;
        else if (c > 32 && c < 127 && strchr(punct, c))
            expected = 37 + static_cast<int>(strchr(punct, c) - punct);
        else
            expected = kBlank;
        EXPECT_EQ(ascii_2_font[c], expected) << "code " << c;
    }
}

TEST(FontTables, FixedGlyphsZeroAndA)
{
    const uint8_t zero[32] = {0, 0, 0, 0, 0, 0, 0x7c, 0, 0xc6, 0, 0xe6, 0, 0xf6, 0, 0xde, 0, 0xce, 0, 0xc6, 0, 0xc6, 0, 0x7c};
    const uint8_t a[32] = {0, 0, 0, 0, 0, 0, 0x10, 0, 0x38, 0, 0x6c, 0, 0xc6, 0, 0xc6, 0, 0xfe, 0, 0xc6, 0, 0xc6, 0, 0xc6};
    EXPECT_EQ(memcmp(glyph(OSD_Font_X1, 0), zero, 32), 0);
    EXPECT_EQ(memcmp(glyph(OSD_Font_X1, 10), a, 32), 0);
}

TEST(FontTables, DigitsAndCapitalsStayInTheirCells)
{
    for (int g = 0; g < 36; ++g) {
        const bool is_q = g == 10 + 'Q' - 'A', is_t = g == 10 + 'T' - 'A';
        for (int y = 0; y < 16; ++y)
            for (int x = 0; x < 16; ++x) {
                if (!glyph_pixel(glyph(OSD_Font_X1, g), 0, x, y))
                    continue;
                bool rows_ok = (y >= 3 && y <= 11) || (is_q && y == 12);
                bool cols_ok = (x >= 1 && x <= 7) || (is_t && x == 0);
                EXPECT_TRUE(rows_ok && cols_ok) << "glyph " << g << " pixel " << x << "," << y;
            }
    }
}

TEST(FontTables, EveryCharacterHasItsOwnVisibleGlyph)
{
    std::set<std::string> seen;
    for (int g = 0; g < KEP_FONT_GLYPHS; ++g) {
        std::string bytes(reinterpret_cast<const char *>(glyph(OSD_Font_X1, g)), 32);
        if (g == kBlank) {
            EXPECT_EQ(bytes, std::string(32, '\0'));
            continue;
        }
        EXPECT_NE(bytes, std::string(32, '\0')) << "glyph " << g << " is empty";
        EXPECT_TRUE(seen.insert(bytes).second) << "glyph " << g << " repeats another glyph";
    }
}

TEST(FontTables, ColonDotsDifferOnlyInTheMagnifiedTables)
{
    auto row_cols = [](const uint8_t *block, int scale, int y) {
        std::string cols;
        for (int x = 0; x < 16; ++x)
            cols += glyph_pixel(block, scale, x, y) ? '#' : '.';
        return cols;
    };
    const std::string wide = "..####..........", narrow = "..###...........";
    for (int y : {4, 12})
        EXPECT_EQ(row_cols(glyph(OSD_Font_X1, kColon), 0, y), wide);
    for (int y : {5, 13})
        EXPECT_EQ(row_cols(glyph(OSD_Font_X1, kColon), 0, y), narrow);
    for (int y : {4, 5, 12, 13}) {
        EXPECT_EQ(row_cols(glyph(OSD_Font_X2, kColon), 1, y), wide) << "x2 row " << y;
        EXPECT_EQ(row_cols(glyph(OSD_Font_X4, kColon), 2, y), wide) << "x4 row " << y;
    }
}

TEST(FontTables, MagnifiedTablesDrawTheSamePixelsAsX1)
{
    // Read through the layout descriptions, independently of the library.
    for (int g = 0; g < KEP_FONT_GLYPHS; ++g) {
        if (g == kColon)
            continue;
        for (int y = 0; y < 16; ++y)
            for (int x = 0; x < 16; ++x) {
                bool p = glyph_pixel(glyph(OSD_Font_X1, g), 0, x, y);
                ASSERT_EQ(glyph_pixel(glyph(OSD_Font_X2, g), 1, x, y), p) << "x2 glyph " << g << " at " << x << "," << y;
                ASSERT_EQ(glyph_pixel(glyph(OSD_Font_X4, g), 2, x, y), p) << "x4 glyph " << g << " at " << x << "," << y;
            }
    }
}

TEST(FontTables, MagnifiedTablesAreX1ConvertedExceptTheColon)
{
    for (int32_t scale = 1; scale <= 2; ++scale) {
        kep_cds cds{};
        cds.scale = scale;
        uint32_t src[KEP_FONT_GLYPHS * 8], dst[KEP_FONT_GLYPHS * 8];
        memcpy(src, OSD_Font_X1, sizeof src);
        kep_cds_scale_font(&cds, src, dst, KEP_FONT_GLYPHS);
        const uint8_t *table = scale == 1 ? OSD_Font_X2 : OSD_Font_X4;
        for (int g = 0; g < KEP_FONT_GLYPHS; ++g) {
            bool same = memcmp(reinterpret_cast<uint8_t *>(dst) + g * 32, glyph(table, g), 32) == 0;
            EXPECT_EQ(same, g != kColon) << "scale " << scale << " glyph " << g;
        }
    }
}

TEST(FontScale, ScaleCodeThreeCopiesBlocksUnchanged)
{
    kep_cds cds{};
    cds.scale = 3;
    uint32_t src[16], dst[16];
    for (int i = 0; i < 16; ++i)
        src[i] = 0x9e3779b9u * (i + 1);
    kep_cds_scale_font(&cds, src, dst, 2);
    EXPECT_EQ(memcmp(src, dst, sizeof src), 0);
}

TEST(FontScale, ConvertsEveryPixelToItsTile)
{
    // One pixel at a time through both layouts.
    for (int32_t scale = 1; scale <= 2; ++scale)
        for (int y = 0; y < 16; ++y)
            for (int x = 0; x < 16; ++x) {
                uint32_t src[8] = {}, dst[8];
                src[y / 2] = 1u << (x + 16 * (y % 2));
                kep_cds cds{};
                cds.scale = scale;
                EXPECT_EQ(kep_cds_scale_font(&cds, src, dst, 1), 0);
                int set = 0;
                for (int yy = 0; yy < 16; ++yy)
                    for (int xx = 0; xx < 16; ++xx)
                        set += cdstest::glyph_pixel_words(dst, scale, xx, yy);
                EXPECT_EQ(set, 1);
                EXPECT_TRUE(cdstest::glyph_pixel_words(dst, scale, x, y)) << "scale " << scale << " " << x << "," << y;
            }
}

TEST(FontScale, DumpPrintsEachBlockAsTwoLinesAndABlankLine)
{
    kep_cds cds{};
    cds.scale = 0;
    cds.dump = 1;
    uint32_t src[16], dst[16];
    for (int i = 0; i < 16; ++i)
        src[i] = i == 0 ? 0xABCDEF01u : static_cast<uint32_t>(i);
    Capture cap;
    kep_cds_scale_font(&cds, src, dst, 2);
    EXPECT_EQ(cap.out(), "0xABCDEF01, 0x00000001, 0x00000002, 0x00000003,\n"
                         "0x00000004, 0x00000005, 0x00000006, 0x00000007,\n\n"
                         "0x00000008, 0x00000009, 0x0000000A, 0x0000000B,\n"
                         "0x0000000C, 0x0000000D, 0x0000000E, 0x0000000F,\n\n");
}

TEST(FontScale, DatastampConvertsWidthTimesHeightOver256Blocks)
{
    kep_cds cds{};
    cds.scale = 1;
    cds.width = 32;
    cds.height = 16; // two blocks
    cds.words = 24;  // room for three
    uint32_t bitmap[24], scaled[24];
    for (int i = 0; i < 24; ++i)
        bitmap[i] = 0x01010101u * (i + 1);
    memset(scaled, 0xee, sizeof scaled);
    cds.bitmap = bitmap;
    cds.scaled_bitmap = scaled;
    EXPECT_EQ(kep_cds_scale_datastamp(&cds), 0);
    uint32_t expected[16];
    kep_cds_scale_font(&cds, bitmap, expected, 2);
    EXPECT_EQ(memcmp(scaled, expected, sizeof expected), 0);
    EXPECT_EQ(scaled[16], 0xeeeeeeeeu) << "the third block is beyond width x height";
}

TEST(FontScale, DatastampNeverConvertsMoreBlocksThanTheBitmapsHold)
{
    kep_cds cds{};
    cds.scale = 2;
    cds.width = 256;
    cds.height = 256; // 256 blocks claimed
    cds.words = 8;    // one block held
    uint32_t bitmap[8] = {1, 2, 3, 4, 5, 6, 7, 8}, scaled[8] = {};
    cds.bitmap = bitmap;
    cds.scaled_bitmap = scaled;
    EXPECT_EQ(kep_cds_scale_datastamp(&cds), 0);
    uint32_t expected[8];
    kep_cds_scale_font(&cds, bitmap, expected, 1);
    EXPECT_EQ(memcmp(scaled, expected, sizeof expected), 0);
}

TEST(FontSetFont, EqualsSetStringForTextsWithoutColon)
{
    const char *texts[] = {"", "KEP 2024-06-01", "a~b_c|d", "@#$%&*+!?"};
    for (const char *text : texts)
        for (int32_t scale = 0; scale <= 2; ++scale) {
            ScratchDir dir;
            kep_cds cds{};
            snprintf(cds.proc_dir, sizeof cds.proc_dir, "%s", dir.c_str());
            cds.text = const_cast<char *>(text);
            cds.scale = scale;
            Capture cap;
            ASSERT_EQ(kep_cds_set_font(&cds, ascii_2_font, OSD_Font_X1), 0);
            cap.finish();
            std::string via_font = read_file(dir.file("ds_datastamp"));
            ASSERT_EQ(kep_cds_set_string(dir.c_str(), text, scale), 0);
            EXPECT_EQ(via_font, read_file(dir.file("ds_datastamp"))) << "\"" << text << "\" scale " << scale;
        }
}

TEST(FontSetFont, ColonMatchesSetStringOnlyAtScaleZero)
{
    for (int32_t scale = 0; scale <= 2; ++scale) {
        ScratchDir dir;
        kep_cds cds{};
        snprintf(cds.proc_dir, sizeof cds.proc_dir, "%s", dir.c_str());
        cds.text = const_cast<char *>("12:34");
        cds.scale = scale;
        Capture cap;
        ASSERT_EQ(kep_cds_set_font(&cds, ascii_2_font, OSD_Font_X1), 0);
        cap.finish();
        std::string via_font = read_file(dir.file("ds_datastamp"));
        ASSERT_EQ(kep_cds_set_string(dir.c_str(), "12:34", scale), 0);
        EXPECT_EQ(via_font == read_file(dir.file("ds_datastamp")), scale == 0) << "scale " << scale;
    }
}

TEST(FontSetFont, EchoesEachBlockTextOnItsOwnLine)
{
    ScratchDir dir;
    kep_cds cds{};
    snprintf(cds.proc_dir, sizeof cds.proc_dir, "%s", dir.c_str());
    cds.text = const_cast<char *>("0 ");
    cds.scale = 2;
    Capture cap;
    ASSERT_EQ(kep_cds_set_font(&cds, ascii_2_font, OSD_Font_X1), 0);
    EXPECT_EQ(cap.out(), "0x7000c000 0x0 0xdfece666 0x0 0x7cccc66e 0x0 0x0 0x0 \n"
                         "0x0 0x0 0x0 0x0 0x0 0x0 0x0 0x0 \n");
}

TEST(FontSetFont, UsesTheCallersTableAndFont)
{
    // A two-glyph font of our own: glyph 1 all set, every character maps to it.
    ScratchDir dir;
    uint8_t table[128];
    memset(table, 1, sizeof table);
    uint8_t font[64];
    memset(font, 0, 32);
    memset(font + 32, 0xff, 32);
    kep_cds cds{};
    snprintf(cds.proc_dir, sizeof cds.proc_dir, "%s", dir.c_str());
    cds.text = const_cast<char *>("x");
    Capture cap;
    ASSERT_EQ(kep_cds_set_font(&cds, table, font), 0);
    EXPECT_EQ(std::string(read_file(dir.file("ds_datastamp")).c_str()),
              "0xffffffff 0xffffffff 0xffffffff 0xffffffff 0xffffffff 0xffffffff 0xffffffff 0xffffffff ");
}

TEST(FontSetFont, TooLongTextIsRefusedBeforeAnythingIsPrintedOrWritten)
{
    ScratchDir dir;
    ASSERT_TRUE(write_file(dir.file("ds_datastamp"), "previous"));
    kep_cds cds{};
    snprintf(cds.proc_dir, sizeof cds.proc_dir, "%s", dir.c_str());
    std::string text(40, '8');
    cds.text = &text[0];
    cds.dump = 1;
    Capture cap;
    EXPECT_EQ(kep_cds_set_font(&cds, ascii_2_font, OSD_Font_X1), 1);
    EXPECT_EQ(cap.out(), "");
    EXPECT_EQ(read_file(dir.file("ds_datastamp")), "previous");
}

kep_cds text_stamp(const char *text)
{
    kep_cds cds{};
    cds.text = const_cast<char *>(text);
    cds.start[0] = 16;
    cds.start[1] = 32;
    cds.dim[0] = static_cast<int32_t>(strlen(text));
    cds.dim[1] = 1;
    cds.fg_color[0] = 235;
    cds.fg_color[1] = 128;
    cds.fg_color[2] = 128;
    cds.bg_color[0] = 16;
    cds.bg_color[1] = 128;
    cds.bg_color[2] = 128;
    cds.color_attr[0] = 9;
    cds.color_attr[1] = 2;
    cds.enable = 1;
    cds.scale = 1;
    snprintf(cds.proc_dir, sizeof cds.proc_dir, "/nonexistent/not-used");
    return cds;
}

TEST(FontSetAll, WritesEveryFileFromTheRecord)
{
    ScratchDir dir;
    kep_cds cds = text_stamp("AB");
    Capture cap;
    EXPECT_EQ(kep_cds_set_all(dir.c_str(), &cds), 0);
    EXPECT_EQ(read_file(dir.file("ds_color")), "235 128 128 16 128 128");
    EXPECT_EQ(read_file(dir.file("ds_color_attr")), "0x7 0x2");
    EXPECT_EQ(cds.color_attr[0], 7) << "the record's weight is clamped";
    EXPECT_EQ(read_file(dir.file("ds_position")), "0x10 0x20");
    EXPECT_EQ(read_file(dir.file("ds_dimension")), "0x2 0x1");
    EXPECT_EQ(read_file(dir.file("ds_datastamp")), [] {
        ScratchDir d2;
        kep_cds_set_string(d2.c_str(), "AB", 1);
        return read_file(d2.file("ds_datastamp"));
    }());
    EXPECT_EQ(read_file(dir.file("ds_scale")), "1");
    EXPECT_EQ(read_file(dir.file("ds_enable")), "1");
}

TEST(FontSetAll, StopsAtMissingColourFileAndWritesNothingElse)
{
    // Every file name but ds_color is blocked by a directory of that name,
    // so any write past the first step would fail loudly too.
    ScratchDir dir;
    mkdir(dir.file("ds_color").c_str(), 0755);
    kep_cds cds = text_stamp("AB");
    Capture cap;
    EXPECT_EQ(kep_cds_set_all(dir.c_str(), &cds), 1);
    EXPECT_EQ(cap.err(), "open " + dir.file("ds_color") + " failed.\n");
    for (const char *name : {"ds_color_attr", "ds_position", "ds_dimension", "ds_datastamp", "ds_scale", "ds_enable"})
        EXPECT_FALSE(cdstest::exists(dir.file(name))) << name;
    EXPECT_EQ(cds.color_attr[0], 9) << "weight untouched: its step never ran";
}

TEST(FontSetAll, KeepsWhatEarlierStepsWroteWhenALaterStepFails)
{
    ScratchDir dir;
    mkdir(dir.file("ds_datastamp").c_str(), 0755);
    kep_cds cds = text_stamp("AB");
    Capture cap;
    EXPECT_EQ(kep_cds_set_all(dir.c_str(), &cds), 1);
    EXPECT_EQ(cap.err(), "<<Warning>> Error Stamp weight =9 range 1 ~ 7\nopen " + dir.file("ds_datastamp") + " failed.\n");
    EXPECT_EQ(read_file(dir.file("ds_color")), "235 128 128 16 128 128");
    EXPECT_EQ(read_file(dir.file("ds_color_attr")), "0x7 0x2");
    EXPECT_EQ(read_file(dir.file("ds_position")), "0x10 0x20");
    EXPECT_EQ(read_file(dir.file("ds_dimension")), "0x2 0x1");
    EXPECT_FALSE(cdstest::exists(dir.file("ds_scale")));
    EXPECT_FALSE(cdstest::exists(dir.file("ds_enable")));
}

TEST(FontSetAll, ResultOfTheLastStepIsTheResult)
{
    ScratchDir dir;
    mkdir(dir.file("ds_enable").c_str(), 0755);
    kep_cds cds = text_stamp("A");
    Capture cap;
    EXPECT_EQ(kep_cds_set_all(dir.c_str(), &cds), 1);
    EXPECT_EQ(read_file(dir.file("ds_scale")), "1");
    EXPECT_EQ(cap.err(), "<<Warning>> Error Stamp weight =9 range 1 ~ 7\n") << "enable fails silently";
}

} // namespace
