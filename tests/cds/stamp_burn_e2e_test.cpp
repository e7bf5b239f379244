// End to end: a stamp set through the library in the mounted codecfs is
// burnt into the video by the virtual encoder (vcam --datastamp), recorded
// by vcrec, decoded by FFmpeg, and the decoded luma compared with an
// independent reading of the font and of the BMP picture. vcrec's own stamp
// options (a clock, a logo) are checked the same way.
#include "bmp_builder.h"
#include "cds_test_util.h"
#include "codecfs_mount.h"
#include "glyph_reading.h"
#include "kep_vc.h"

#include <gtest/gtest.h>

#include <stdlib.h>
#include <time.h>

using cdstest::ScratchDir;

namespace {

constexpr unsigned kWidth = 320, kHeight = 240;

class StampBurnTest : public cdstest::CodecfsFixture {
protected:
    StampBurnTest() : CodecfsFixture({"1_hd", "1_jd"}) {}

    // Records three frames (or what vcrec_args ask for) through the virtual
    // encoder with the stamps of the mount burnt in, and returns the luma of
    // the first decoded frame.
    std::vector<uint8_t> record_and_decode(const char *format, const char *quality, bool datastamp = true,
                                           const std::string &vcrec_args = "-r 200 -n 3")
    {
        const std::string bin = std::string(KEP_BUILD_DIR) + "/bin/";
        std::string record = bin + "vcam --strict --still " + (datastamp ? "--datastamp " + mnt_ : "") + " -- " + bin +
                             "vcrec -s 320x240 -f " + format + " -q " + quality + " " + vcrec_args + " " +
                             tmp_.file("clip") + " >/dev/null";
        EXPECT_EQ(system(record.c_str()), 0) << record;
        return decode(format, 0);
    }

    // The luma of decoded frame n of the last recording.
    std::vector<uint8_t> decode(const char *format, int n)
    {
        const std::string luma = tmp_.file("frame.gray");
        std::string decode = std::string("ffmpeg -v error -y -f ") + (strcmp(format, "mjpg") == 0 ? "mjpeg" : "h264") +
                             " -i " + tmp_.file("clip") + " -vf 'select=eq(n\\," + std::to_string(n) +
                             ")' -frames:v 1 -f rawvideo -pix_fmt gray " + luma;
        EXPECT_EQ(system(decode.c_str()), 0) << decode;
        std::string bytes = cdstest::read_file(luma);
        EXPECT_EQ(bytes.size(), kWidth * kHeight);
        return std::vector<uint8_t>(bytes.begin(), bytes.end());
    }

    ScratchDir tmp_;
};

// Counts pixels of the region whose decoded luma is on the wrong side of the
// middle between the two stamp colours (235 set, 16 clear).
template <typename Want>
int wrong_pixels(const std::vector<uint8_t> &luma, unsigned x0, unsigned y0, unsigned w, unsigned h, Want want)
{
    int wrong = 0;
    for (unsigned y = 0; y < h; ++y)
        for (unsigned x = 0; x < w; ++x) {
            bool bright = luma[(y0 + y) * kWidth + x0 + x] > 125;
            wrong += bright != want(x, y);
        }
    return wrong;
}

TEST_F(StampBurnTest, TextStampShowsTheGlyphsAtEachMagnification)
{
    const char *text = "KE12"; // 256 pixels wide at x4: inside the picture
    for (int32_t scale = 0; scale <= 2; ++scale) {
        const unsigned m = 1u << scale;
        kep_cds cds{};
        cds.text = const_cast<char *>(text);
        cds.start[0] = 16;
        cds.start[1] = 32;
        cds.dim[0] = static_cast<int32_t>(strlen(text));
        cds.dim[1] = 1;
        cds.fg_color[0] = 235;
        cds.fg_color[1] = cds.fg_color[2] = 128;
        cds.bg_color[0] = 16;
        cds.bg_color[1] = cds.bg_color[2] = 128;
        cds.color_attr[0] = 7;
        cds.enable = 1;
        cds.scale = scale;
        ASSERT_EQ(kep_cds_set_all(dir("1_jd").c_str(), &cds), 0);
        std::vector<uint8_t> luma = record_and_decode("mjpg", "95");
        ASSERT_EQ(luma.size(), kWidth * kHeight);
        const unsigned w = static_cast<unsigned>(strlen(text)) * 16 * m;
        int wrong = wrong_pixels(luma, 16, 32, w, 16 * m, [&](unsigned x, unsigned y) {
            unsigned glyph = ascii_2_font[static_cast<uint8_t>(text[x / (16 * m)])];
            return cdstest::glyph_pixel(OSD_Font_X1 + glyph * KEP_GLYPH_BYTES, 0, (x % (16 * m)) / m, y / m);
        });
        EXPECT_EQ(wrong, 0) << "scale " << scale << ": " << wrong << " pixels differ from the glyphs";
    }
}

TEST_F(StampBurnTest, StampOfAnotherChannelOrSwitchedOffIsNotBurnt)
{
    kep_cds cds{};
    cds.text = const_cast<char *>("8888");
    cds.start[0] = 16;
    cds.start[1] = 32;
    cds.dim[0] = 4;
    cds.dim[1] = 1;
    cds.fg_color[0] = 235;
    cds.bg_color[0] = 16;
    cds.color_attr[0] = 7;
    cds.enable = 1;
    ASSERT_EQ(kep_cds_set_all(dir("1_hd").c_str(), &cds), 0); // H.264 channel: not recorded here
    cds.enable = 0;
    ASSERT_EQ(kep_cds_set_all(dir("1_jd").c_str(), &cds), 0);
    std::vector<uint8_t> luma = record_and_decode("mjpg", "95");
    ASSERT_EQ(luma.size(), kWidth * kHeight);
    std::vector<uint8_t> plain = record_and_decode("mjpg", "95", false);
    EXPECT_TRUE(luma == plain) << "the picture is the same as without any datastamp";
}

TEST_F(StampBurnTest, BmpStampShowsThePictureInH264)
{
    cdstest::BmpSpec shape;
    shape.width = 32;
    shape.height = 32;
    auto dark = [](int x, int y) { return (x / 4 + y / 4) % 2 == 0; }; // 4-pixel checkers
    shape.rgb = [&](int x, int y) { return dark(x, y) ? cdstest::Rgb{0, 0, 0} : cdstest::Rgb{255, 255, 255}; };
    cdstest::write_file(tmp_.file("logo.bmp"), cdstest::build_bmp(shape));
    kep_cds cds{};
    snprintf(cds.bmp_path, sizeof cds.bmp_path, "%s", tmp_.file("logo.bmp").c_str());
    snprintf(cds.proc_dir, sizeof cds.proc_dir, "%s", dir("1_hd").c_str());
    cds.threshold[0] = cds.threshold[1] = cds.threshold[2] = 128;
    cds.start[0] = 64;
    cds.start[1] = 48;
    cds.scale = 1;
    ASSERT_EQ(kep_cds_set_bmp(&cds), 0);
    ASSERT_EQ(kep_cds_set_scale(dir("1_hd").c_str(), 1), 0);
    ASSERT_EQ(kep_cds_set_enable(dir("1_hd").c_str(), 1), 0);
    std::vector<uint8_t> luma = record_and_decode("h264", "10");
    ASSERT_EQ(luma.size(), kWidth * kHeight);
    // Set pixels are drawn black (the picture's colour), clear ones white.
    int wrong = wrong_pixels(luma, 64, 48, 64, 64, [&](unsigned x, unsigned y) { return !dark(x / 2, y / 2); });
    EXPECT_EQ(wrong, 0) << wrong << " pixels differ from the picture magnified twice";
}

// Pixels of a text stamp at (x0, y0) with magnification code scale that
// differ from the glyphs of that magnification's font (the colon of the x2
// and x4 fonts is not the one of the x1 font).
int wrong_text_pixels(const std::vector<uint8_t> &luma, const std::string &text, unsigned x0, unsigned y0,
                      int scale)
{
    const unsigned m = 1u << scale;
    const uint8_t *font = scale == 2 ? OSD_Font_X4 : scale == 1 ? OSD_Font_X2 : OSD_Font_X1;
    const unsigned w = static_cast<unsigned>(text.size()) * 16 * m;
    return wrong_pixels(luma, x0, y0, w, 16 * m, [&](unsigned x, unsigned y) {
        unsigned glyph = ascii_2_font[static_cast<uint8_t>(text[x / (16 * m)])];
        return cdstest::glyph_pixel(font + glyph * KEP_GLYPH_BYTES, scale, (x % (16 * m)) / m, y / m);
    });
}

// The second of [from, to] whose clock text the stamp shows exactly, or -1.
time_t clock_shown(const std::vector<uint8_t> &luma, time_t from, time_t to)
{
    for (time_t t = from; t <= to; ++t) {
        struct tm tm;
        char text[16];
        localtime_r(&t, &tm);
        strftime(text, sizeof text, "%H:%M:%S", &tm);
        if (wrong_text_pixels(luma, text, 16, 32, 1) == 0)
            return t;
    }
    return -1;
}

TEST_F(StampBurnTest, VcrecClockStampShowsTheTimeAndIsRedrawnEachSecond)
{
    // 45 frames at 30 per second: the recording crosses a second boundary.
    time_t before = time(nullptr);
    std::vector<uint8_t> first = record_and_decode(
        "mjpg", "95", true, "-r 30 -n 45 -d " + mnt_ + " -t %H:%M:%S -m 2 -p 16,32");
    time_t after = time(nullptr);
    ASSERT_EQ(first.size(), kWidth * kHeight);
    time_t shown_first = clock_shown(first, before, after);
    EXPECT_NE(shown_first, -1) << "the first frame shows no time between " << before << " and " << after;
    std::vector<uint8_t> last = decode("mjpg", 44);
    ASSERT_EQ(last.size(), kWidth * kHeight);
    time_t shown_last = clock_shown(last, before, after);
    EXPECT_NE(shown_last, -1) << "the last frame shows no time between " << before << " and " << after;
    EXPECT_GT(shown_last, shown_first) << "the clock was not redrawn during 1.5 s of recording";
}

TEST_F(StampBurnTest, VcrecLogoStampShowsThePictureAndEndsSwitchedOff)
{
    cdstest::BmpSpec shape;
    shape.width = 32;
    shape.height = 16;
    auto dark = [](int x, int y) { return x < 16 && y >= 4 && y < 12; }; // a bar in the left half
    shape.rgb = [&](int x, int y) { return dark(x, y) ? cdstest::Rgb{0, 0, 0} : cdstest::Rgb{255, 255, 255}; };
    cdstest::write_file(tmp_.file("logo.bmp"), cdstest::build_bmp(shape));
    std::vector<uint8_t> luma =
        record_and_decode("h264", "10", true, "-r 200 -n 3 -d " + mnt_ + " -l " + tmp_.file("logo.bmp") + " -m 4 -p 32,64");
    ASSERT_EQ(luma.size(), kWidth * kHeight);
    // Set pixels are drawn black (the picture's colour), clear ones white.
    int wrong = wrong_pixels(luma, 32, 64, 128, 64, [&](unsigned x, unsigned y) { return !dark(x / 4, y / 4); });
    EXPECT_EQ(wrong, 0) << wrong << " pixels differ from the picture magnified four times";
    EXPECT_EQ(cdstest::read_file(dir("1_hd") + "/ds_enable"), "datastamp enable=0")
        << "vcrec leaves its stamp switched on after the recording";
}

} // namespace
