// audtwin: two streams of one device at once, into the fixed files
// /tmp/audio1.raw and /tmp/audio2.raw.
#include "audio_test_util.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string>

#include <gtest/gtest.h>

using namespace kep_test;

namespace {

const char kFirst[] = "/tmp/audio1.raw";
const char kSecond[] = "/tmp/audio2.raw";

std::vector<std::string> sorted_lines(const std::string &text)
{
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    std::sort(lines.begin(), lines.end());
    return lines;
}

class Audtwin : public ::testing::Test {
protected:
    void SetUp() override
    {
        unlink(kFirst);
        unlink(kSecond);
    }
    void TearDown() override
    {
        unlink(kFirst);
        unlink(kSecond);
        rmdir(kSecond);
    }
    fixed_path_lock lock_;
    scratch_dir dir_;
};

TEST_F(Audtwin, LeavesTwoEqualRecordingsOf160000Bytes)
{
    std::vector<uint8_t> source = test_signal(90000);
    ASSERT_TRUE(write_file(dir_.path("source.raw"), source));
    run_result r = run_program("audtwin", {"ignored", "-x"},
                               {"ALSA_CONFIG_PATH=" + alsa_conf("virtual"),
                                "KEP_ALSA_CAPTURE_FILE=" + dir_.path("source.raw")});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    // The two streams' lines may interleave in any order.
    EXPECT_EQ(sorted_lines(r.out),
              (std::vector<std::string>{"[KEP-AUDIO] 10 second(s) : 80000 frames",
                                        "[KEP-AUDIO] 10 second(s) : 80000 frames",
                                        "[KEP-AUDIO] frame number : 80, format_bits: 16",
                                        "[KEP-AUDIO] frame number : 80, format_bits: 16"}));
    std::vector<uint8_t> first, second;
    ASSERT_TRUE(read_file(kFirst, &first));
    ASSERT_TRUE(read_file(kSecond, &second));
    EXPECT_EQ(first.size(), 160000u);
    EXPECT_EQ(first_difference(first, second), -1);
    source.resize(160000);
    EXPECT_EQ(first_difference(first, source), -1);
}

TEST_F(Audtwin, OverrunsInBothStreamsLeaveBothFilesComplete)
{
    run_result r = run_program("audtwin", {},
                               {"ALSA_CONFIG_PATH=" + alsa_conf("fault"),
                                "KEP_ALSA_FAULTS=2=EPIPE,40=EPIPE,41=short5,300=EAGAIN"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    for (const char *path : {kFirst, kSecond}) {
        std::vector<uint8_t> got;
        ASSERT_TRUE(read_file(path, &got)) << path;
        EXPECT_EQ(first_difference(got, fault_pattern(160000)), -1) << path;
    }
}

TEST_F(Audtwin, UncreatableSecondFileLeavesAnEmptyFirstFileAndStatus255)
{
    ASSERT_EQ(mkdir(kSecond, 0755), 0); // fopen "wb" of a directory fails
    run_result r = run_program("audtwin", {}, {"ALSA_CONFIG_PATH=" + alsa_conf("virtual")});
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.out, "[KEP-AUDIO] capture file open failed\n");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(file_size(kFirst), 0);
}

TEST_F(Audtwin, UncreatableFirstFileEndsWithStatus255BeforeTheSecond)
{
    ASSERT_EQ(mkdir(kFirst, 0755), 0);
    run_result r = run_program("audtwin", {}, {"ALSA_CONFIG_PATH=" + alsa_conf("virtual")});
    rmdir(kFirst);
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.out, "[KEP-AUDIO] capture file open failed\n");
    EXPECT_EQ(file_size(kSecond), -1);
}

// The second file takes nothing: its stream stops with a message, the first
// still records in full, and the run fails.
TEST_F(Audtwin, FailedWriteOfOneStreamEndsWithStatus1)
{
    ASSERT_EQ(symlink("/dev/full", kSecond), 0);
    run_result r = run_program("audtwin", {}, {"ALSA_CONFIG_PATH=" + alsa_conf("fault")});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "[KEP-AUDIO] capture from kep_audio_pcm_ex stopped: write to the capture "
                     "file failed: No space left on device\n"
                     "[KEP-AUDIO] capture file /tmp/audio2.raw is incomplete\n");
    std::vector<uint8_t> got;
    ASSERT_TRUE(read_file(kFirst, &got));
    EXPECT_EQ(first_difference(got, fault_pattern(160000)), -1);
}

TEST_F(Audtwin, DeviceFailureInAStreamEndsTheWholeProcessWithStatus1)
{
    run_result r = run_program("audtwin", {},
                               {"ALSA_CONFIG_PATH=" + alsa_conf("fault"), "KEP_ALSA_FAULTS=open=EBUSY"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err.rfind("unable to open pcm device: Device or resource busy\n", 0), 0u) << r.err;
}

} // namespace
