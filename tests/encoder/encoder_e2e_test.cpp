// vcrec under the vcam launcher, its streams checked by FFmpeg's ffprobe:
// every frame decodes at the right size, key frames sit where the period,
// requests and restarts put them, QP moves sizes, MJPEG frames are JPEGs.
#include "encoder_support.h"

#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <string>
#include <unistd.h>
#include <vector>

using namespace enc_test;

namespace {

struct Frame {
    bool key = false;
    unsigned width = 0, height = 0;
};

struct Recorded {
    Outcome run;
    std::vector<long> sizes;     // per frame, from vcrec -v
    std::vector<unsigned> flags; // per frame
    std::string path;
};

std::string temp_path(const char *ext)
{
    char name[] = "/tmp/vcrec_test_XXXXXX";
    int fd = mkstemp(name);
    if (fd >= 0)
        close(fd);
    unlink(name);
    return std::string(name) + ext;
}

// vcam [vcam_opts] -- vcrec -v -s 320x240 -r 200 [args] FILE
Recorded record(const std::vector<std::string> &args, const std::vector<std::string> &vcam_opts = {},
                const char *ext = ".h264")
{
    Recorded r;
    r.path = temp_path(ext);
    std::vector<std::string> argv{std::string(KEP_BUILD_DIR) + "/bin/vcam", "--strict"};
    argv.insert(argv.end(), vcam_opts.begin(), vcam_opts.end());
    argv.insert(argv.end(), {"--", std::string(KEP_BUILD_DIR) + "/bin/vcrec", "-v", "-s", "320x240", "-r", "200"});
    argv.insert(argv.end(), args.begin(), args.end());
    argv.push_back(r.path);
    r.run = run_program(argv);
    size_t at = 0;
    while ((at = r.run.out.find("frame ", at)) != std::string::npos) {
        unsigned long n = 0, index = 0, size = 0, flags = 0;
        if (sscanf(r.run.out.c_str() + at, "frame %lu index %lu size %lu flags 0x%lx", &n, &index, &size, &flags) == 4) {
            r.sizes.push_back(static_cast<long>(size));
            r.flags.push_back(static_cast<unsigned>(flags));
        }
        at += 6;
    }
    return r;
}

bool have_ffprobe()
{
    return system("ffprobe -version >/dev/null 2>&1") == 0;
}

// Every decoded frame, as ffprobe reports it.
std::vector<Frame> probe(const std::string &path, const char *format = nullptr)
{
    std::string cmd = "ffprobe -v error ";
    if (format != nullptr)
        cmd += std::string("-f ") + format + " ";
    cmd += "-show_entries frame=key_frame,width,height -of csv=p=0 " + path;
    std::vector<Frame> frames;
    FILE *p = popen(cmd.c_str(), "r");
    if (p == nullptr)
        return frames;
    char line[256];
    while (fgets(line, sizeof line, p) != nullptr) {
        int key = 0;
        unsigned w = 0, h = 0;
        if (sscanf(line, "%d,%u,%u", &key, &w, &h) == 3)
            frames.push_back(Frame{key == 1, w, h});
    }
    pclose(p);
    return frames;
}

std::vector<uint8_t> slurp(const std::string &path)
{
    std::vector<uint8_t> data;
    FILE *f = fopen(path.c_str(), "rb");
    if (f == nullptr)
        return data;
    int c;
    while ((c = fgetc(f)) != EOF)
        data.push_back(static_cast<uint8_t>(c));
    fclose(f);
    return data;
}

class EncoderEndToEnd : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!have_ffprobe())
            GTEST_SKIP() << "ffprobe is not installed (scripts/setup.sh installs it)";
    }
    void TearDown() override
    {
        for (const std::string &p : files_)
            unlink(p.c_str());
    }
    Recorded keep(Recorded r)
    {
        files_.push_back(r.path);
        return r;
    }
    std::vector<std::string> files_;
};

} // namespace

TEST_F(EncoderEndToEnd, H264DecodesFrameForFrameWithKeyFramesAtTheGop)
{
    Recorded r = keep(record({"-n", "25", "-g", "10"}));
    ASSERT_EQ(r.run.status, 0) << r.run.err;
    std::vector<Frame> frames = probe(r.path);
    ASSERT_EQ(frames.size(), 25u) << "every frame written decodes";
    ASSERT_EQ(r.flags.size(), 25u);
    for (size_t i = 0; i < frames.size(); ++i) {
        EXPECT_EQ(frames[i].width, 320u);
        EXPECT_EQ(frames[i].height, 240u);
        EXPECT_EQ(frames[i].key, i % 10 == 0) << "frame " << i;
        EXPECT_EQ((r.flags[i] & 0x8) != 0, i % 10 == 0) << "flag of frame " << i;
    }
}

TEST_F(EncoderEndToEnd, RequestedKeyFramesComeOnTheNextFrame)
{
    Recorded r = keep(record({"-n", "16", "-g", "0", "-k", "5"}));
    ASSERT_EQ(r.run.status, 0) << r.run.err;
    std::vector<Frame> frames = probe(r.path);
    ASSERT_EQ(frames.size(), 16u);
    for (size_t i = 0; i < frames.size(); ++i)
        EXPECT_EQ(frames[i].key, i % 5 == 0) << "frame " << i;
}

TEST_F(EncoderEndToEnd, LowerQpGivesLargerFrames)
{
    Recorded fine = keep(record({"-n", "12", "-q", "18"}));
    Recorded coarse = keep(record({"-n", "12", "-q", "40"}));
    ASSERT_EQ(fine.run.status, 0) << fine.run.err;
    ASSERT_EQ(coarse.run.status, 0) << coarse.run.err;
    ASSERT_EQ(fine.sizes.size(), 12u);
    ASSERT_EQ(coarse.sizes.size(), 12u);
    long fine_p = 0, coarse_p = 0;
    for (size_t i = 1; i < 12; ++i) {
        fine_p += fine.sizes[i];
        coarse_p += coarse.sizes[i];
    }
    EXPECT_GT(fine.sizes[0], coarse.sizes[0] * 2) << "key frame";
    EXPECT_GT(fine_p, coarse_p) << "P frames";
    EXPECT_EQ(probe(fine.path).size(), 12u);
}

TEST_F(EncoderEndToEnd, ScaleTwoGivesHalfSizePictures)
{
    Recorded r = keep(record({"-n", "5", "-S", "2"}));
    ASSERT_EQ(r.run.status, 0) << r.run.err;
    EXPECT_NE(r.run.out.find("channel 1_hs"), std::string::npos) << r.run.out;
    std::vector<Frame> frames = probe(r.path);
    ASSERT_EQ(frames.size(), 5u);
    EXPECT_EQ(frames[0].width, 160u);
    EXPECT_EQ(frames[0].height, 120u);
}

TEST_F(EncoderEndToEnd, RestartResumesWithAKeyFrameInBufferZero)
{
    Recorded r = keep(record({"-n", "12", "-R", "6"}));
    ASSERT_EQ(r.run.status, 0) << r.run.err;
    EXPECT_NE(r.run.out.find("frame 5 index 0 size"), std::string::npos);
    EXPECT_NE(r.run.out.find("restarted\nframe 6 index 0 size"), std::string::npos) << r.run.out;
    std::vector<Frame> frames = probe(r.path);
    ASSERT_EQ(frames.size(), 12u) << "the stream decodes across the restart";
    EXPECT_TRUE(frames[6].key);
    EXPECT_FALSE(frames[7].key);
}

TEST_F(EncoderEndToEnd, MjpegFramesAreJpegPicturesOfTheRightSize)
{
    Recorded r = keep(record({"-n", "4", "-f", "mjpg", "-q", "80"}, {}, ".mjpg"));
    ASSERT_EQ(r.run.status, 0) << r.run.err;
    EXPECT_NE(r.run.out.find("channel 1_jd"), std::string::npos) << r.run.out;
    std::vector<uint8_t> data = slurp(r.path);
    ASSERT_EQ(r.sizes.size(), 4u);
    size_t at = 0;
    for (size_t i = 0; i < r.sizes.size(); ++i) {
        size_t n = static_cast<size_t>(r.sizes[i]);
        ASSERT_LE(at + n, data.size());
        EXPECT_TRUE(data[at] == 0xFF && data[at + 1] == 0xD8) << "SOI of frame " << i;
        EXPECT_TRUE(data[at + n - 2] == 0xFF && data[at + n - 1] == 0xD9) << "EOI of frame " << i;
        EXPECT_EQ(r.flags[i] & 0x48u, 0x8u) << "every JPEG picture is a key frame, none an error";
        at += n;
    }
    std::vector<Frame> frames = probe(r.path, "mjpeg");
    ASSERT_EQ(frames.size(), 4u);
    EXPECT_EQ(frames[3].width, 320u);
    EXPECT_EQ(frames[3].height, 240u);
}

TEST_F(EncoderEndToEnd, StatsShowNoCopies)
{
    std::string stats = temp_path(".stats");
    files_.push_back(stats);
    Recorded r = keep(record({"-n", "10"}, {"--stats-file", stats}));
    ASSERT_EQ(r.run.status, 0) << r.run.err;
    std::vector<uint8_t> text = slurp(stats);
    std::string s(text.begin(), text.end());
    EXPECT_NE(s.find("\ncopies 0\n"), std::string::npos) << s;
    EXPECT_NE(s.find("\nenc.encoded 10\n"), std::string::npos) << s;
    EXPECT_EQ(s.find("enc.foreign"), std::string::npos) << "every picture was a held ISP buffer";
}

// One transient failure of a bit-stream or picture request costs at most the
// frame it hit, never the stream: the recording gets its frames, and they
// decode, with the ISP memory-mapped and by user pointer.
TEST_F(EncoderEndToEnd, TransientDriverFaultsCostNoMoreThanOneFrame)
{
    for (const char *fault : {"enc.cap:DQBUF:once:EIO", "enc.cap:DQBUF:@5:EAGAIN", "enc.out:DQBUF:@3:EIO",
                              "enc.cap:QBUF:@4:EIO", "enc.out:QBUF:@6:EBUSY", "isp:DQBUF:@7:EAGAIN"}) {
        for (const char *mode : {"", "-u"}) {
            std::vector<std::string> args{"-n", "60"};
            if (*mode)
                args.push_back(mode);
            Recorded r = keep(record(args, {"--fail", fault}));
            EXPECT_EQ(r.run.status, 0) << fault << " " << mode << ": " << r.run.err;
            EXPECT_EQ(probe(r.path).size(), 60u) << fault << " " << mode;
            EXPECT_EQ(r.run.err.find("ISP VIDIOC_QBUF ERR"), std::string::npos) << fault << " " << mode;
        }
    }
}
