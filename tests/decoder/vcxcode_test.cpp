// vcxcode end to end under the vcam launcher: stored H.264 and MJPEG streams
// transcoded both ways through the decoder and the encoder; FFmpeg decodes
// the results with the same frame count, and the platform's books show the
// encoder reading the decoder's pictures in place.
#include "encoder_support.h"
#include "media_streams.h"

#include <gtest/gtest.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

using enc_test::Outcome;
using enc_test::run_program;

namespace {

const std::string kBin = std::string(KEP_BUILD_DIR) + "/bin/";

struct TempDir {
    TempDir()
    {
        char t[] = "/tmp/kep_vcxcode_XXXXXX";
        path = mkdtemp(t) ? t : "";
    }
    ~TempDir()
    {
        if (!path.empty())
            (void)!system(("rm -rf '" + path + "'").c_str());
    }
    std::string path;
};

bool write_file(const std::string &path, const media::Bytes &data)
{
    FILE *f = fopen(path.c_str(), "wb");
    if (!f)
        return false;
    bool ok = fwrite(data.data(), 1, data.size(), f) == data.size();
    return fclose(f) == 0 && ok;
}

// "codec,width,height,frames" as ffprobe counts them.
std::string probe(const std::string &path)
{
    Outcome o = run_program({"/usr/bin/ffprobe", "-v", "error", "-count_frames", "-show_entries",
                             "stream=codec_name,width,height,nb_read_frames", "-of", "csv=p=0", path});
    return o.out;
}

long stat_of(const std::string &file, const std::string &name)
{
    FILE *f = fopen(file.c_str(), "r");
    if (!f)
        return -1;
    char key[128];
    long v;
    long found = -1;
    while (fscanf(f, "%127s %ld", key, &v) == 2)
        if (name == key)
            found = v;
    fclose(f);
    return found;
}

void transcode(const TempDir &dir, const std::string &in, const char *to, const std::string &out, int frames)
{
    std::string stats = dir.path + "/stats";
    Outcome o = run_program({kBin + "vcam", "--strict", "--stats-file", stats, "--", kBin + "vcxcode", "-s", "176x144", "-t", to,
                             "-o", out, in});
    ASSERT_EQ(o.status, 0) << o.err;
    EXPECT_NE(o.out.find("vcxcode: " + std::to_string(frames) + " frames read, " + std::to_string(frames) +
                         " pictures decoded, " + std::to_string(frames) + " frames coded"),
              std::string::npos)
        << o.out;
    EXPECT_EQ(stat_of(stats, "copies"), 0) << "the platform copied picture bytes";
    EXPECT_EQ(stat_of(stats, "enc.out.REQBUFS.memory"), 2) << "the encoder's pictures are not user pointers";
    EXPECT_EQ(stat_of(stats, "enc.foreign"), -1) << "the encoder refused a decoder picture";
    EXPECT_EQ(stat_of(stats, "dec.decoded"), frames);
    EXPECT_EQ(stat_of(stats, "enc.encoded"), frames);
}

TEST(Vcxcode, H264ToMjpegAndBack)
{
    media::H264Options o;
    o.frames = 12;
    o.repeat_headers = true;
    media::Bytes s = media::encode_h264(o);
    if (s.empty())
        GTEST_SKIP() << "no H.264 encoder";
    TempDir dir;
    ASSERT_TRUE(write_file(dir.path + "/in.h264", s));
    transcode(dir, dir.path + "/in.h264", "mjpg", dir.path + "/out.mjpg", 12);
    EXPECT_EQ(probe(dir.path + "/out.mjpg"), "mjpeg,176,144,12\n");
    transcode(dir, dir.path + "/out.mjpg", "h264", dir.path + "/back.h264", 12);
    EXPECT_EQ(probe(dir.path + "/back.h264"), "h264,176,144,12\n");
}

TEST(Vcxcode, MjpegWithChangingQualityToH264)
{
    media::MjpegOptions o;
    o.frames = 9;
    o.quality = {2, 2, 2, 9, 9, 9, 4, 4, 4};
    media::Bytes s = media::encode_mjpeg(o);
    if (s.empty())
        GTEST_SKIP() << "no MJPEG encoder";
    TempDir dir;
    ASSERT_TRUE(write_file(dir.path + "/in.mjpg", s));
    transcode(dir, dir.path + "/in.mjpg", "h264", dir.path + "/out.h264", 9);
    EXPECT_EQ(probe(dir.path + "/out.h264"), "h264,176,144,9\n");
}

TEST(Vcxcode, DecodeOnlyWritesRawPictures)
{
    media::H264Options o;
    o.frames = 5;
    o.repeat_headers = true;
    media::Bytes s = media::encode_h264(o);
    if (s.empty())
        GTEST_SKIP() << "no H.264 encoder";
    TempDir dir;
    ASSERT_TRUE(write_file(dir.path + "/in.h264", s));
    Outcome r = run_program({kBin + "vcam", "--strict", "--", kBin + "vcxcode", "-s", "176x144", "-S", "2", "-o",
                             dir.path + "/out.yuv", dir.path + "/in.h264"});
    ASSERT_EQ(r.status, 0) << r.err;
    FILE *f = fopen((dir.path + "/out.yuv").c_str(), "rb");
    ASSERT_NE(f, nullptr);
    fseek(f, 0, SEEK_END);
    EXPECT_EQ(ftell(f), 5 * 88 * 72 * 3 / 2) << "five half-size S420 pictures";
    fclose(f);
}

TEST(Vcxcode, BadOptionsPrintUsage)
{
    Outcome r = run_program({kBin + "vcxcode", "-t", "mjpg", "in.h264"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("vcxcode: -t needs an output (-o)\n"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("Usage: vcxcode"), std::string::npos);
}

} // namespace
