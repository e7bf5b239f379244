// The vcam launcher as a user runs it: help, exit status, the platform in the
// child, statistics at exit, option errors. The probe keeps the buffer rules:
// strict.
#include "child_capture.h"

#include <gtest/gtest.h>
#include <stdio.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

const std::string kLauncher = std::string(KEP_BUILD_DIR) + "/bin/vcam";
const std::string kProbe = std::string(KEP_BUILD_DIR) + "/tests/vcam_probe";

kep_child::Ran run(const std::vector<std::string> &args)
{
    return kep_child::run_program(args);
}

bool has(const std::string &text, const std::string &part)
{
    return text.find(part) != std::string::npos;
}

} // namespace

TEST(VcamLauncher, HelpDocumentsEveryOption)
{
    kep_child::Ran r = run({kLauncher, "--help"});
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(has(r.out, "Usage: vcam [options] -- COMMAND [ARGS...]")) << r.out;
    for (const char *opt : {"--isp PATH", "--grant N", "--fail [NODE:]REQ[:once|:always][:ERRNO]", "--eintr N",
                            "--eagain N", "--no-crop", "--size WxH", "--zero-sizes", "--no-streaming", "--no-read",
                            "--no-capture", "--bad-index", "--bad-userptr", "--fps N", "--still", "--plain-codec", "--stats ",
                            "--stats-file PATH"})
        EXPECT_TRUE(has(r.out, opt)) << opt << " is not documented";
    EXPECT_TRUE(r.err.empty()) << r.err;
}

TEST(VcamLauncher, RunsTheCommandOnTheVirtualNodeAndPassesItsStatus)
{
    kep_child::Ran r = run({kLauncher, "--strict", "--", kProbe, "/dev/video0", "2", "7"});
    EXPECT_EQ(r.status, 7) << r.err;
    EXPECT_TRUE(has(r.out, "/dev/video0 is a character device\n")) << r.out;
    EXPECT_TRUE(has(r.out, "driver vcam\n")) << r.out;
    EXPECT_TRUE(has(r.out, "frame 1 in buffer 1\n")) << r.out;
    EXPECT_TRUE(r.err.empty()) << "no statistics without --stats: " << r.err;
}

TEST(VcamLauncher, StatsOptionPrintsTheCountersAtExit)
{
    kep_child::Ran r = run({kLauncher, "--strict", "--stats", "--", kProbe, "/dev/video0", "3", "0"});
    EXPECT_EQ(r.status, 0) << r.err;
    for (const char *line : {"VIDIOC_DQBUF 3\n", "VIDIOC_QBUF 5\n", "REQBUFS.granted 2\n", "S_FMT.width 320\n",
                             "frames 3\n", "mmap 2\n", "munmap 2\n", "copies 0\n"})
        EXPECT_TRUE(has(r.err, line)) << line << "missing from:\n" << r.err;
}

TEST(VcamLauncher, StatsFileOptionWritesTheCountersThere)
{
    std::string path = std::string(KEP_BUILD_DIR) + "/tests/vcam_stats_file.txt";
    unlink(path.c_str());
    kep_child::Ran r = run({kLauncher, "--strict", "--grant", "1", "--stats-file", path, "--", kProbe, "/dev/video0", "1", "0"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(r.err.empty()) << r.err;
    FILE *f = fopen(path.c_str(), "r");
    ASSERT_NE(f, nullptr) << path;
    std::string text;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0)
        text.append(buf, n);
    fclose(f);
    EXPECT_TRUE(has(text, "REQBUFS.granted 1\n")) << text;
}

TEST(VcamLauncher, IspOptionPutsTheNodeElsewhere)
{
    kep_child::Ran r = run({kLauncher, "--strict", "--isp", "/dev/vcam-elsewhere", "--", kProbe, "/dev/vcam-elsewhere", "1", "0"});
    EXPECT_EQ(r.status, 0) << r.err;
    kep_child::Ran old = run({kLauncher, "--strict", "--isp", "/dev/vcam-elsewhere", "--", kProbe, "/dev/vcam-nowhere", "1", "0"});
    EXPECT_EQ(old.status, 3);
    EXPECT_TRUE(has(old.err, "probe: stat: No such file or directory")) << old.err;
}

TEST(VcamLauncher, FaultOptionsReachTheCommand)
{
    kep_child::Ran r = run({kLauncher, "--strict", "--fail", "open:always:EBUSY", "--", kProbe, "/dev/video0", "1", "0"});
    EXPECT_EQ(r.status, 3);
    EXPECT_TRUE(has(r.err, "probe: open: Device or resource busy\n")) << r.err;
}

TEST(VcamLauncher, BadOptionIsRefusedBeforeAnythingRuns)
{
    kep_child::Ran r = run({kLauncher, "--strict", "--grant", "lots", "--", kProbe, "/dev/video0", "1", "0"});
    EXPECT_EQ(r.status, 2);
    EXPECT_TRUE(has(r.err, "vcam: --grant: expected a count from 0 to 64, got 'lots'\n")) << r.err;
    EXPECT_TRUE(r.out.empty()) << "the command did not run: " << r.out;
}

TEST(VcamLauncher, MissingOrUnrunnableCommand)
{
    kep_child::Ran none = run({kLauncher, "--stats"});
    EXPECT_EQ(none.status, 2);
    EXPECT_TRUE(has(none.err, "vcam: no command given\n")) << none.err;
    kep_child::Ran missing = run({kLauncher, "--", "/nonexistent/program"});
    EXPECT_EQ(missing.status, 127);
    EXPECT_TRUE(has(missing.err, "vcam: cannot run /nonexistent/program: No such file or directory\n"))
        << missing.err;
}
