// The library against the virtual codec driver: codecfs is mounted, the
// datastamp calls go through its files, and the stamp it decoded is drawn
// into raw pictures and compared with an independent reading of the fonts
// and of the BMP picture.
#include "bmp_builder.h"
#include "cds_test_util.h"
#include "codecfs_mount.h"
#include "glyph_reading.h"
#include "kep_vc.h"
#include "stamp.h"
#include "stamp_snapshot.h"

#include <gtest/gtest.h>

#include <spawn.h>
#include <sys/wait.h>


#include <memory>

using cdstest::Capture;
using cdstest::read_file;
using cdstest::ScratchDir;

namespace {

// A mid-grey S420 picture.
struct Picture {
    unsigned w, h;
    std::vector<uint8_t> data;
    Picture(unsigned w_, unsigned h_) : w(w_), h(h_), data(w_ * h_ * 3 / 2, 100) {}
    uint8_t y(unsigned x, unsigned yy) const { return data[yy * w + x]; }
};

// codecfs mounted with channels 1_hd and 2_sd.
class CodecfsTest : public cdstest::CodecfsFixture {
protected:
    CodecfsTest() : CodecfsFixture({"1_hd", "2_sd"}) {}

    // The stamp the driver decoded, as an encoder sees it.
    std::unique_ptr<codecfs::Stamp> stamp(const char *channel = "1_hd") const
    {
        std::unique_ptr<codecfs::Stamp> s(new codecfs::Stamp{});
        std::string text = read_file(dir(channel) + "/.stamp");
        EXPECT_TRUE(codecfs::read_snapshot(text.data(), text.size(), *s)) << text;
        return s;
    }
};

TEST_F(CodecfsTest, GettersReturnWhatTheSettersWrote)
{
    const std::string d = dir();
    const int32_t start[2] = {0x40, 0x18}, dim[2] = {6, 1};
    const int32_t fg[3] = {235, 128, 128}, bg[3] = {16, 120, 130};
    int32_t attr[2] = {9, 2};
    Capture cap;
    ASSERT_EQ(kep_cds_set_position(d.c_str(), start, dim), 0);
    ASSERT_EQ(kep_cds_set_color(d.c_str(), fg, bg), 0);
    ASSERT_EQ(kep_cds_set_color_attr(d.c_str(), attr), 0);
    ASSERT_EQ(kep_cds_set_scale(d.c_str(), 2), 0);
    ASSERT_EQ(kep_cds_set_enable(d.c_str(), 1), 0);
    ASSERT_EQ(kep_cds_set_datastamp(d.c_str(), "0x1 0x2 ", 8), 0);
    int32_t got_start[2] = {0, 0}, got_dim[2] = {0, 0}, enable = 0;
    char buf[64] = {};
    EXPECT_EQ(kep_cds_get_position(d.c_str(), got_start, got_dim), 0);
    EXPECT_EQ(kep_cds_get_color(d.c_str()), 0);
    EXPECT_EQ(kep_cds_get_color_attr(d.c_str()), 0);
    EXPECT_EQ(kep_cds_get_scale(d.c_str()), 0);
    EXPECT_EQ(kep_cds_get_enable(d.c_str(), &enable), 0);
    EXPECT_EQ(kep_cds_get_datastamp(d.c_str(), buf, sizeof buf - 1), 0);
    EXPECT_EQ(got_start[0], 0x40);
    EXPECT_EQ(got_start[1], 0x18);
    EXPECT_EQ(got_dim[0], 6);
    EXPECT_EQ(got_dim[1], 1);
    EXPECT_EQ(enable, 1);
    EXPECT_EQ(cap.out(), "[get]: ds_positon = start(0x40, 0x18)\n"
                         "[get]: ds_dimension = dim(0x6, 0x1)\n"
                         "[get]: ds_color = fg(235, 128, 128) bg(16, 120, 130)\n"
                         "[get]: ds_color_attr = weight=7 attr=0x2\n"
                         "[get]: ds_enable = 1\n"
                         "[get]: ds_datastamp = 0x1 0x2 \n");
    EXPECT_EQ(stamp()->scale, 2);
}

TEST_F(CodecfsTest, ChannelsKeepTheirOwnStamps)
{
    ASSERT_EQ(kep_cds_set_enable(dir("1_hd").c_str(), 1), 0);
    ASSERT_EQ(kep_cds_set_enable(dir("2_sd").c_str(), 0), 0);
    int32_t a = -1, b = -1;
    Capture cap;
    EXPECT_EQ(kep_cds_get_enable(dir("1_hd").c_str(), &a), 0);
    EXPECT_EQ(kep_cds_get_enable(dir("2_sd").c_str(), &b), 0);
    EXPECT_EQ(a, 1);
    EXPECT_EQ(b, 0);
}

TEST_F(CodecfsTest, MalformedSettingIsRefusedAndChangesNothing)
{
    ASSERT_EQ(kep_cds_set_scale(dir().c_str(), 1), 0);
    FILE *f = fopen((dir() + "/ds_scale").c_str(), "w");
    ASSERT_NE(f, nullptr);
    fputs("large", f);
    EXPECT_NE(fclose(f), 0) << "the driver refuses the setting when stdio writes it out";
    EXPECT_EQ(stamp()->scale, 1);
}

TEST_F(CodecfsTest, DisabledStampIsNotDrawn)
{
    kep_cds cds{};
    cds.text = const_cast<char *>("88");
    cds.dim[0] = 2;
    cds.dim[1] = 1;
    cds.color_attr[0] = 1;
    cds.fg_color[0] = 235;
    cds.enable = 0;
    ASSERT_EQ(kep_cds_set_all(dir().c_str(), &cds), 0);
    Picture p(64, 32);
    ASSERT_EQ(codecfs::draw_from_snapshot_file((dir() + "/.stamp").c_str(), p.data.data(), p.w, p.h), 0);
    EXPECT_EQ(p.data, std::vector<uint8_t>(64 * 32 * 3 / 2, 100));
    ASSERT_EQ(kep_cds_set_enable(dir().c_str(), 1), 0);
    ASSERT_EQ(codecfs::draw_from_snapshot_file((dir() + "/.stamp").c_str(), p.data.data(), p.w, p.h), 0);
    EXPECT_NE(p.data, std::vector<uint8_t>(64 * 32 * 3 / 2, 100)) << "switched on, the stamp appears";
}

TEST_F(CodecfsTest, LargestDenseBitmapArrivesWhole)
{
    // 11520 bytes of text reach the driver in one write: in two it would be
    // two settings, the second half of the words alone.
    ScratchDir tmp;
    cdstest::BmpSpec shape;
    shape.width = 256;
    shape.height = 160;
    shape.rgb = [](int, int) { return cdstest::Rgb{0, 0, 0}; };
    cdstest::write_file(tmp.file("p.bmp"), cdstest::build_bmp(shape));
    kep_cds cds{};
    snprintf(cds.bmp_path, sizeof cds.bmp_path, "%s", tmp.file("p.bmp").c_str());
    snprintf(cds.proc_dir, sizeof cds.proc_dir, "%s", dir().c_str());
    cds.threshold[0] = cds.threshold[1] = cds.threshold[2] = 128;
    ASSERT_EQ(kep_cds_set_bmp(&cds), 0);
    auto s = stamp();
    EXPECT_EQ(s->word_count, 1280u);
    EXPECT_EQ(s->words[1279], 0xffffffffu);
    EXPECT_EQ(s->dim[0], 16);
    EXPECT_EQ(s->dim[1], 10);
}

// As the camera's driver, codecfs takes each write as a whole setting: the
// same text written in two pieces leaves the second piece alone.
TEST_F(CodecfsTest, EachWriteIsOneSetting)
{
    const std::string path = dir() + "/ds_datastamp";
    int fd = open(path.c_str(), O_WRONLY | O_TRUNC);
    ASSERT_GE(fd, 0);
    const char first[] = "0x1 0x2 0x3 ", second[] = "0x4 0x5 ";
    ASSERT_EQ(write(fd, first, strlen(first)), ssize_t(strlen(first)));
    ASSERT_EQ(write(fd, second, strlen(second)), ssize_t(strlen(second)));
    close(fd);
    auto s = stamp();
    ASSERT_EQ(s->word_count, 2u);
    EXPECT_EQ(s->words[0], 4u);
    EXPECT_EQ(s->words[1], 5u);
}

TEST_F(CodecfsTest, TextStampIsDrawnAsTheGlyphsAtEachMagnification)
{
    const char *text = "Kep 2024";
    for (int32_t scale = 0; scale <= 2; ++scale) {
        const int m = 1 << scale;
        kep_cds cds{};
        cds.text = const_cast<char *>(text);
        cds.start[0] = 24;
        cds.start[1] = 10;
        cds.dim[0] = static_cast<int32_t>(strlen(text));
        cds.dim[1] = 1;
        cds.fg_color[0] = 235;
        cds.fg_color[1] = cds.fg_color[2] = 128;
        cds.bg_color[0] = 16;
        cds.bg_color[1] = cds.bg_color[2] = 128;
        cds.color_attr[0] = 7;
        cds.enable = 1;
        cds.scale = scale;
        ASSERT_EQ(kep_cds_set_all(dir().c_str(), &cds), 0);

        // As the encoder would: the snapshot file drawn into the picture.
        Picture p(640, 96);
        ASSERT_EQ(codecfs::draw_from_snapshot_file((dir() + "/.stamp").c_str(), p.data.data(), p.w, p.h), 0);
        for (size_t i = 0; i < strlen(text); ++i) {
            const uint8_t *glyph = OSD_Font_X1 + ascii_2_font[static_cast<uint8_t>(text[i])] * KEP_GLYPH_BYTES;
            for (int py = 0; py < 16 * m; ++py)
                for (int px = 0; px < 16 * m; ++px) {
                    bool on = cdstest::glyph_pixel(glyph, 0, px / m, py / m);
                    unsigned x = 24 + static_cast<unsigned>(i * 16 * m + px), y = 10 + static_cast<unsigned>(py);
                    ASSERT_EQ(p.y(x, y), on ? 235 : 16)
                        << "scale " << scale << " character '" << text[i] << "' pixel " << px << "," << py;
                }
        }
        const unsigned right = 24 + static_cast<unsigned>(strlen(text) * 16 * m);
        EXPECT_EQ(p.y(right, 10), 100) << "nothing right of the stamp";
        EXPECT_EQ(p.y(24, 10 + 16 * m), 100) << "nothing below the stamp";
        EXPECT_EQ(p.y(23, 10), 100) << "nothing left of the stamp";
    }
}

TEST_F(CodecfsTest, BmpStampIsDrawnAsTheThresholdedPicture)
{
    ScratchDir tmp;
    cdstest::BmpSpec shape;
    shape.width = 48;
    shape.height = 32;
    // A ring and a diagonal in dark red on white.
    auto dark = [](int x, int y) {
        int dx = x - 24, dy = y - 16;
        return (dx * dx + dy * dy > 100 && dx * dx + dy * dy < 180) || x == y;
    };
    shape.rgb = [&](int x, int y) { return dark(x, y) ? cdstest::Rgb{120, 10, 10} : cdstest::Rgb{250, 250, 250}; };
    cdstest::write_file(tmp.file("logo.bmp"), cdstest::build_bmp(shape));
    for (int32_t scale = 0; scale <= 2; ++scale) {
        const int m = 1 << scale;
        kep_cds cds{};
        snprintf(cds.bmp_path, sizeof cds.bmp_path, "%s", tmp.file("logo.bmp").c_str());
        snprintf(cds.proc_dir, sizeof cds.proc_dir, "%s", dir().c_str());
        cds.threshold[0] = cds.threshold[1] = cds.threshold[2] = 128;
        cds.start[0] = 8;
        cds.start[1] = 6;
        cds.scale = scale;
        ASSERT_EQ(kep_cds_set_bmp(&cds), 0);
        ASSERT_EQ(kep_cds_set_scale(dir().c_str(), scale), 0);
        ASSERT_EQ(kep_cds_set_enable(dir().c_str(), 1), 0);

        auto s = stamp();
        const int32_t want_y = static_cast<int32_t>(0.299 * 120 + 0.587 * 10 + 0.114 * 10);
        EXPECT_EQ(s->fg[0], want_y);
        Picture p(256, 160);
        codecfs::draw_s420(*s, p.data.data(), p.w, p.h);
        for (int y = 0; y < 32 * m; ++y)
            for (int x = 0; x < 48 * m; ++x)
                ASSERT_EQ(p.y(8 + x, 6 + y), dark(x / m, y / m) ? want_y : 255)
                    << "scale " << scale << " picture pixel " << x / m << "," << y / m;
    }
}

} // namespace

// Options given many times reach FUSE once: the argument list has a fixed
// size (the run ends at -h, before anything is mounted).
TEST(Codecfs, RepeatedOptionsStayWithinTheArgumentList)
{
#ifndef KEP_CODECFS
    GTEST_SKIP() << "codecfs is not built for this target";
#else
    std::vector<const char *> argv{"codecfs"};
    for (int i = 0; i < 2000; ++i)
        argv.push_back(i % 2 ? "-d" : "-f");
    argv.insert(argv.end(), {"-h", nullptr});
    posix_spawn_file_actions_t quiet;
    posix_spawn_file_actions_init(&quiet);
    posix_spawn_file_actions_addopen(&quiet, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid;
    ASSERT_EQ(posix_spawn(&pid, KEP_CODECFS, &quiet, nullptr, const_cast<char **>(argv.data()), environ), 0);
    posix_spawn_file_actions_destroy(&quiet);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
#endif
}
