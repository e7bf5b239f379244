// End to end: a stamp set through the library in the mounted codecfs is
// burnt into the video by the virtual encoder (vcam --datastamp), recorded
// by vcrec, decoded by FFmpeg, and the decoded luma compared with an
// independent reading of the font and of the BMP picture.
#include "bmp_builder.h"
#include "cds_test_util.h"
#include "codecfs_mount.h"
#include "glyph_reading.h"
#include "kep_vc.h"

#include <gtest/gtest.h>

#include <stdlib.h>

using cdstest::ScratchDir;

namespace {

constexpr unsigned kWidth = 320, kHeight = 240;

class StampBurnTest : public cdstest::CodecfsFixture {
protected:
    StampBurnTest() : CodecfsFixture({"1_hd", "1_jd"}) {}

    // Records three frames through the virtual encoder with the stamps of
    // the mount burnt in, and returns the luma of the first decoded frame.
    std::vector<uint8_t> record_and_decode(const char *format, const char *quality, bool datastamp = true)
    {
        const std::string bin = std::string(KEP_BUILD_DIR) + "/bin/";
        const std::string stream = tmp_.file("clip"), luma = tmp_.file("frame.gray");
        std::string record = bin + "vcam --still " + (datastamp ? "--datastamp " + mnt_ : "") + " -- " + bin + "vcrec -s 320x240 -r 200 -f " +
                             format + " -q " + quality + " -n 3 " + stream + " >/dev/null";
        EXPECT_EQ(system(record.c_str()), 0) << record;
        std::string decode = std::string("ffmpeg -v error -y -f ") + (strcmp(format, "mjpg") == 0 ? "mjpeg" : "h264") +
                             " -i " + stream + " -frames:v 1 -f rawvideo -pix_fmt gray " + luma;
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
    cdstest::BmpSpec spec;
    spec.width = 32;
    spec.height = 32;
    auto dark = [](int x, int y) { return (x / 4 + y / 4) % 2 == 0; }; // 4-pixel checkers
    spec.rgb = [&](int x, int y) { return dark(x, y) ? cdstest::Rgb{0, 0, 0} : cdstest::Rgb{255, 255, 255}; };
    cdstest::write_file(tmp_.file("logo.bmp"), cdstest::build_bmp(spec));
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

} // namespace
