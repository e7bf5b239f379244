// The platform's pieces without the libc wrappers: option parsing and the
// test scene.
#include "options.h"
#include "scene.h"

#include <errno.h>
#include <gtest/gtest.h>

using vcam::Options;

namespace {

bool parse(const char *text, Options &o, std::string &error)
{
    std::vector<std::string> words;
    return vcam::split_words(text, words, error) && vcam::parse_options(words, o, error);
}

} // namespace

TEST(VcamOptions, DefaultsAreTheIspAtVideo0With30Fps)
{
    Options o;
    std::string error;
    ASSERT_TRUE(parse("", o, error));
    ASSERT_EQ(o.isp_paths.size(), 1u);
    EXPECT_EQ(o.isp_paths[0], "/dev/video0");
    EXPECT_EQ(o.fps, 30u);
    EXPECT_EQ(o.grant, -1);
    EXPECT_TRUE(o.fails.empty());
}

TEST(VcamOptions, EveryOptionSetsItsField)
{
    Options o;
    std::string error;
    ASSERT_TRUE(parse("--isp /dev/a --isp /dev/b --grant 1 --eintr 3 --eagain 4 --no-crop --size 641x361 "
                      "--zero-sizes --no-streaming --no-read --no-capture --bad-index --bad-userptr --fps 7 "
                      "--still --stats --stats-file '/tmp/with space' --strict",
                      o, error))
        << error;
    EXPECT_EQ(o.isp_paths, (std::vector<std::string>{"/dev/a", "/dev/b"})) << "--isp replaces the default";
    EXPECT_EQ(o.grant, 1);
    EXPECT_EQ(o.eintr, 3);
    EXPECT_EQ(o.eagain, 4);
    EXPECT_TRUE(o.no_crop && o.zero_sizes && o.no_streaming && o.no_read && o.no_capture);
    EXPECT_TRUE(o.bad_index && o.bad_userptr && o.still && o.stats && o.strict);
    EXPECT_EQ(o.size_w, 640u) << "sizes round down to even";
    EXPECT_EQ(o.size_h, 360u);
    EXPECT_EQ(o.fps, 7u);
    EXPECT_EQ(o.stats_file, "/tmp/with space");
}

TEST(VcamOptions, FailTakesModeAndErrnoInAnyCombination)
{
    Options o;
    std::string error;
    ASSERT_TRUE(parse("--fail QBUF --fail DQBUF:always --fail S_CROP:EBUSY --fail munmap:once:EIO --fail read:5", o,
                      error))
        << error;
    ASSERT_EQ(o.fails.size(), 5u);
    EXPECT_EQ(o.fails[0].request, "QBUF");
    EXPECT_FALSE(o.fails[0].always);
    EXPECT_EQ(o.fails[0].err, EINVAL) << "default errno";
    EXPECT_TRUE(o.fails[1].always);
    EXPECT_EQ(o.fails[2].err, EBUSY);
    EXPECT_FALSE(o.fails[2].always);
    EXPECT_EQ(o.fails[3].err, EIO);
    EXPECT_EQ(o.fails[4].err, 5) << "a number is an errno too";
}

TEST(VcamOptions, BadOptionsNameTheProblem)
{
    const struct {
        const char *text;
        const char *said;
    } cases[] = {
        {"--fail VIDIOC_QBUF", "unknown request"}, {"--fail QBUF:sometimes", "bad field"},
        {"--fail QBUF:always:EWHAT", "bad field"}, {"--fail QBUF:@0", "bad field"},
        {"--fail QBUF:badindex", "bad field"},     {"--grant -1", "--grant"},
        {"--grant 65", "--grant"},                 {"--size 640", "--size"},
        {"--size 8x8", "--size"},                  {"--fps 0", "--fps"},
        {"--eintr x", "--eintr"},                  {"--isp video0", "absolute"},
        {"--frobnicate", "unknown option '--frobnicate'"}, {"--grant", "missing value"},
        {"--stats-file 'open", "unterminated quote"},
    };
    for (const auto &c : cases) {
        Options o;
        std::string error;
        EXPECT_FALSE(parse(c.text, o, error)) << c.text;
        EXPECT_NE(error.find(c.said), std::string::npos) << c.text << " said: " << error;
    }
}

TEST(VcamOptions, QuotedWordsSplitBackUnchanged)
{
    const std::vector<std::string> words = {"plain", "with space", "it's", "back\\slash", "\"dq\"", ""};
    std::string joined;
    for (const auto &w : words)
        joined += vcam::quote_word(w) + " ";
    std::vector<std::string> back;
    std::string error;
    ASSERT_TRUE(vcam::split_words(joined.c_str(), back, error)) << error;
    EXPECT_EQ(back, words);
}

TEST(VcamScene, CounterReadsBackTheFrameNumber)
{
    vcam::Scene scene;
    for (auto size : {std::pair<unsigned, unsigned>{1280, 720}, {320, 240}, {640, 360}}) {
        scene.set_size(size.first, size.second);
        std::vector<uint8_t> picture(vcam::s420_size(size.first, size.second));
        for (uint64_t n : {0ull, 7ull, 12345678ull, 99999999ull, 100000003ull}) {
            scene.render(picture.data(), n, false);
            EXPECT_EQ(scene.read_counter(picture.data()), static_cast<long>(n % 100000000))
                << size.first << "x" << size.second << " frame " << n;
        }
    }
}

TEST(VcamScene, ObjectMovesInsideThePicture)
{
    vcam::Scene scene;
    scene.set_size(320, 240);
    vcam::Rect previous = scene.object_at(0);
    for (uint64_t n = 1; n < 400; ++n) {
        vcam::Rect r = scene.object_at(n);
        ASSERT_LE(r.x + r.w, 320u) << "frame " << n;
        ASSERT_LE(r.y + r.h, 240u) << "frame " << n;
        ASSERT_GT(r.w, 0u);
        EXPECT_TRUE(r.x != previous.x || r.y != previous.y) << "the object stood still at frame " << n;
        previous = r;
    }
}

TEST(VcamScene, FramesDifferOnlyAtTheObjectAndTheCounter)
{
    vcam::Scene scene;
    scene.set_size(320, 240);
    std::vector<uint8_t> a(vcam::s420_size(320, 240)), b(a.size());
    scene.render(a.data(), 10, false);
    scene.render(b.data(), 11, false);
    vcam::Rect ra = scene.object_at(10), rb = scene.object_at(11);
    auto inside = [](const vcam::Rect &r, unsigned x, unsigned y) {
        return x >= r.x && x < r.x + r.w && y >= r.y && y < r.y + r.h;
    };
    unsigned changed = 0;
    for (unsigned y = 0; y < 240; ++y)
        for (unsigned x = 0; x < 320; ++x) {
            size_t at = static_cast<size_t>(y) * 320 + x;
            if (a[at] == b[at])
                continue;
            ++changed;
            bool counter = y < 20; // the counter box sits in the top lines
            ASSERT_TRUE(inside(ra, x, y) || inside(rb, x, y) || counter) << "pixel " << x << "," << y;
        }
    EXPECT_GT(changed, 0u);
}

TEST(VcamScene, StillSceneIsTheSameEveryFrame)
{
    vcam::Scene scene;
    scene.set_size(64, 48);
    std::vector<uint8_t> a(vcam::s420_size(64, 48)), b(a.size());
    scene.render(a.data(), 3, true);
    scene.render(b.data(), 90, true);
    EXPECT_EQ(a, b);
}
