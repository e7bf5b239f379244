// mdcap end to end on the virtual camera: the launcher runs the built program
// with the platform preloaded; the test reads its output through pipes,
// signals it, and reads the platform's statistics file written at exit.
#include <gtest/gtest.h>

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <fstream>
#include <functional>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

namespace {

const std::string kBin = std::string(KEP_BUILD_DIR) + "/bin/";
const std::string kMdcap = kBin + "mdcap";

std::string usage_text(const std::string &prog)
{
    return "Usage: " + prog +
           " [options]/n\nOptions:\n-h Print this message\n-W | --width        Frame Width\n"
           "-H | --height       Frame Height\n-n | --frames       Number of frames to num [1000]\n"
           "-p | --filename     File save Path\n-i | --fps      (optional) ISP Frame Rate (default=30) \n"
           "-B | --buffer       (optional) V4L2 buffer (default=4)\n";
}

long now_ms()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000L + ts.tv_nsec / 1000000L;
}

std::string temp_path(const char *pattern)
{
    std::string path(pattern);
    int fd = mkstemp(&path[0]);
    if (fd >= 0)
        close(fd);
    return path;
}

const char kConfiguration[] = "enable 0\nthreshold 512\nint_threshold 1\n"
                              "block_mask 00000000 00000000 00000000 00000000 00000000 00000000\n"
                              "int_timeout 1000\nenable 1\n";

// One run of `vcam [platform options] -- mdcap [args]`, with the
// motion-detection calls traced.
class MdcapRun {
public:
    MdcapRun(const std::vector<std::string> &platform, const std::vector<std::string> &args)
    {
        stats_path_ = temp_path("/tmp/kep_mdcap_stats_XXXXXX");
        trace_path_ = temp_path("/tmp/kep_mdcap_trace_XXXXXX");

        std::vector<std::string> argv{kBin + "vcam", "--strict", "--stats-file", stats_path_};
        argv.insert(argv.end(), platform.begin(), platform.end());
        argv.push_back("--");
        argv.push_back(kMdcap);
        argv.insert(argv.end(), args.begin(), args.end());

        int out[2], err[2];
        if (pipe(out) || pipe(err)) {
            ADD_FAILURE() << "pipe: " << strerror(errno);
            return;
        }
        fflush(nullptr);
        pid_ = fork();
        if (pid_ == 0) {
            dup2(out[1], 1);
            dup2(err[1], 2);
            close(out[0]);
            close(err[0]);
            close(out[1]);
            close(err[1]);
            // The trace shim goes in front of libkep_isp; the launcher puts
            // the platform in front of both.
            setenv("KEP_MD_TRACE", trace_path_.c_str(), 1);
            setenv("LD_PRELOAD", KEP_MD_TRACE_LIB, 1);
            std::vector<char *> cargv;
            for (auto &a : argv)
                cargv.push_back(const_cast<char *>(a.c_str()));
            cargv.push_back(nullptr);
            execv(cargv[0], cargv.data());
            _exit(127);
        }
        close(out[1]);
        close(err[1]);
        fds_[0] = out[0];
        fds_[1] = err[0];
    }

    ~MdcapRun()
    {
        if (pid_ > 0 && !reaped_) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        for (int fd : fds_)
            if (fd >= 0)
                close(fd);
        unlink(stats_path_.c_str());
        unlink(trace_path_.c_str());
    }

    // Reads output until `done` holds or the time is up; returns `done`.
    bool wait_for(const std::function<bool()> &done, int timeout_ms = 15000)
    {
        long deadline = now_ms() + timeout_ms;
        while (!done()) {
            long left = deadline - now_ms();
            if (left <= 0 || !pump(int(left)))
                return done();
        }
        return true;
    }

    // Sends sig (if any), reads everything, reaps; returns the wait status.
    int finish(int sig = 0, int timeout_ms = 15000)
    {
        if (sig)
            kill(pid_, sig);
        long deadline = now_ms() + timeout_ms;
        while (pump(int(std::max(1L, deadline - now_ms()))) && now_ms() < deadline) {
        }
        if (fds_[0] >= 0 || fds_[1] >= 0) {
            ADD_FAILURE() << "mdcap did not end within " << timeout_ms << " ms";
            kill(pid_, SIGKILL);
        }
        int status = 0;
        while (waitpid(pid_, &status, 0) == -1 && errno == EINTR) {
        }
        reaped_ = true;
        return status;
    }

    void send(int sig) const { kill(pid_, sig); }

    const std::string &out() const { return text_[0]; }
    const std::string &err() const { return text_[1]; }

    // The platform's counters ("name value" lines), written when mdcap ends.
    std::map<std::string, long> stats() const
    {
        std::map<std::string, long> m;
        std::ifstream in(stats_path_);
        std::string name;
        long value;
        while (in >> name >> value)
            m[name] = value;
        return m;
    }

    // The motion-detection settings mdcap made, one call a line.
    std::string trace() const
    {
        std::ifstream in(trace_path_);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }

    std::string describe() const { return "--- stdout ---\n" + out() + "--- stderr ---\n" + err(); }

private:
    // One poll round; false once both pipes are closed.
    bool pump(int timeout_ms)
    {
        struct pollfd pfd[2];
        int n = 0;
        int which[2];
        for (int i = 0; i < 2; ++i) {
            if (fds_[i] >= 0) {
                pfd[n].fd = fds_[i];
                pfd[n].events = POLLIN;
                which[n++] = i;
            }
        }
        if (n == 0)
            return false;
        int r = poll(pfd, n, timeout_ms);
        if (r <= 0)
            return r == 0 || errno == EINTR;
        for (int k = 0; k < n; ++k) {
            if (!(pfd[k].revents & (POLLIN | POLLHUP | POLLERR)))
                continue;
            char buf[4096];
            ssize_t got = read(pfd[k].fd, buf, sizeof(buf));
            if (got > 0) {
                text_[which[k]].append(buf, size_t(got));
            } else if (got == 0 || errno != EINTR) {
                close(fds_[which[k]]);
                fds_[which[k]] = -1;
            }
        }
        return true;
    }

    pid_t pid_ = -1;
    int fds_[2] = {-1, -1};
    std::string text_[2];
    std::string stats_path_;
    std::string trace_path_;
    bool reaped_ = false;
};

bool exited_with(int status, int code)
{
    return WIFEXITED(status) && WEXITSTATUS(status) == code;
}

long stat_of(const std::map<std::string, long> &stats, const std::string &name)
{
    auto it = stats.find(name);
    return it == stats.end() ? -1 : it->second;
}

// Runs mdcap until the ISP has streamed a few frames, then ends it.
std::map<std::string, long> streamed_stats(const std::vector<std::string> &args, std::string *err = nullptr)
{
    MdcapRun run({}, args);
    bool started = run.wait_for([&] { return run.err().find("============kep_md_thread============") !=
                                             std::string::npos; });
    EXPECT_TRUE(started) << run.describe();
    // Long enough for the capture thread to have taken frames.
    usleep(700 * 1000);
    int status = run.finish(SIGTERM);
    EXPECT_TRUE(exited_with(status, 0)) << "status " << status << "\n" << run.describe();
    if (err)
        *err = run.err();
    return run.stats();
}

TEST(Mdcap, DefaultRunStreams1280x720S420WithTwoMmapBuffers)
{
    auto stats = streamed_stats({});
    EXPECT_EQ(stat_of(stats, "S_FMT.width"), 1280);
    EXPECT_EQ(stat_of(stats, "S_FMT.height"), 720);
    EXPECT_EQ(stat_of(stats, "S_FMT.pixelformat"), 0x30323453);
    EXPECT_EQ(stat_of(stats, "S_PARM.numerator"), 1);
    EXPECT_EQ(stat_of(stats, "S_PARM.denominator"), 30);
    EXPECT_EQ(stat_of(stats, "REQBUFS.count"), 2);
    EXPECT_EQ(stat_of(stats, "REQBUFS.memory"), 1);
    EXPECT_EQ(stat_of(stats, "mmap"), 2);
    EXPECT_GT(stat_of(stats, "frames"), 0);
    EXPECT_EQ(stat_of(stats, "copies"), 0);
}

TEST(Mdcap, OptionsSetSizeRateAndBufferCount)
{
    auto stats = streamed_stats({"-W", "640", "--height", "480", "-i", "15", "-B", "4"});
    EXPECT_EQ(stat_of(stats, "S_FMT.width"), 640);
    EXPECT_EQ(stat_of(stats, "S_FMT.height"), 480);
    EXPECT_EQ(stat_of(stats, "S_PARM.denominator"), 15);
    EXPECT_EQ(stat_of(stats, "REQBUFS.count"), 4);
}

TEST(Mdcap, UnparsableWidthLeavesTheDefault)
{
    auto stats = streamed_stats({"-W", "abc"});
    EXPECT_EQ(stat_of(stats, "S_FMT.width"), 1280);
}

TEST(Mdcap, FrameCountAndPathAreAcceptedAndChangeNothing)
{
    auto stats = streamed_stats({"-n", "10", "-p", "/tmp/x"});
    EXPECT_EQ(stat_of(stats, "S_FMT.width"), 1280);
    EXPECT_EQ(stat_of(stats, "REQBUFS.count"), 2);
    EXPECT_GT(stat_of(stats, "frames"), 0);
}

TEST(Mdcap, MotionIsReportedWithBlockReports)
{
    MdcapRun run({}, {});
    bool seen = run.wait_for([&] {
        size_t d = run.err().find("Detected Moving!\n");
        return d != std::string::npos && run.err().find('\n', run.err().find("report:", d)) != std::string::npos;
    });
    int status = run.finish(SIGINT);
    ASSERT_TRUE(seen) << run.describe();
    EXPECT_TRUE(exited_with(status, 0)) << "status " << status;
    const std::string &err = run.err();
    EXPECT_EQ(err.find("============kep_m2m_thread============\n") == std::string::npos, false) << err;
    EXPECT_EQ(err.find("============kep_md_thread============\n") == std::string::npos, false) << err;
    // Every detection is followed by its six report words.
    std::regex detection("Detected Moving!\nreport:[0-9a-f]{8}( [0-9a-f]{8}){5}\n");
    EXPECT_TRUE(std::regex_search(err, detection)) << err;
    // Nothing else is printed between the lines it knows.
    std::regex known("(============kep_(m2m|md)_thread============|Detected Moving!|"
                     "report:[0-9a-f]{8}( [0-9a-f]{8}){5}|motion detection \\(have no motion status = 0\\))");
    std::istringstream lines(err);
    std::string line;
    while (std::getline(lines, line))
        EXPECT_TRUE(std::regex_match(line, known)) << "unexpected line: " << line;
    EXPECT_TRUE(run.out().find("----->has ability to crop!!\n") != std::string::npos) << run.out();
    EXPECT_EQ(run.trace().compare(0, strlen(kConfiguration), kConfiguration), 0) << run.trace();
}

// A still scene raises no interrupt: each time-out is reported as no motion.
TEST(Mdcap, StillSceneReportsNoMotionStatus)
{
    MdcapRun run({"--still"}, {});
    bool seen = run.wait_for(
        [&] { return run.err().find("motion detection (have no motion status = 0)\n") != std::string::npos; });
    int status = run.finish(SIGTERM);
    EXPECT_TRUE(seen) << run.describe();
    EXPECT_TRUE(exited_with(status, 0)) << "status " << status;
    EXPECT_EQ(run.err().find("Detected Moving!"), std::string::npos) << run.describe();
}

class MdcapSignal : public ::testing::TestWithParam<int> {};

TEST_P(MdcapSignal, EndsWithStatusZeroAndMotionDetectionOff)
{
    MdcapRun run({}, {});
    ASSERT_TRUE(run.wait_for([&] { return run.err().find("kep_md_thread") != std::string::npos; }))
        << run.describe();
    usleep(300 * 1000);
    int status = run.finish(GetParam());
    EXPECT_TRUE(exited_with(status, 0)) << "status " << status << "\n" << run.describe();
    // Configured in order, switched on, and switched off by the handler.
    EXPECT_EQ(run.trace(), std::string(kConfiguration) + "enable 0\n");
}

INSTANTIATE_TEST_SUITE_P(Signals, MdcapSignal, ::testing::Values(SIGINT, SIGQUIT, SIGTERM),
                         [](const ::testing::TestParamInfo<int> &info) {
                             return std::string(info.param == SIGINT    ? "SIGINT"
                                                : info.param == SIGQUIT ? "SIGQUIT"
                                                                        : "SIGTERM");
                         });

// The end is ordinary code, not a handler a second signal could interrupt:
// two signals at once still end the process once, with motion detection
// switched off once and the platform's at-exit statistics written.
TEST(Mdcap, SecondSignalDuringTheEndChangesNothing)
{
    MdcapRun run({}, {});
    ASSERT_TRUE(run.wait_for([&] { return run.err().find("kep_md_thread") != std::string::npos; }))
        << run.describe();
    usleep(300 * 1000);
    run.send(SIGTERM);
    int status = run.finish(SIGINT);
    EXPECT_TRUE(exited_with(status, 0)) << "status " << status << "\n" << run.describe();
    EXPECT_EQ(run.trace(), std::string(kConfiguration) + "enable 0\n");
    EXPECT_GT(stat_of(run.stats(), "frames"), 0) << "the statistics were not written at exit";
}

TEST(Mdcap, SingleGrantedBufferEndsWithInsufficientMemory)
{
    MdcapRun run({"--grant", "1"}, {"-B", "1"});
    int status = run.finish(0);
    EXPECT_TRUE(exited_with(status, 1)) << "status " << status << "\n" << run.describe();
    EXPECT_NE(run.err().find("Insufficient buffer memory\n"), std::string::npos) << run.describe();
}

struct UsageCase {
    std::string name;
    std::vector<std::string> args;
    bool on_stdout;
    int code;
};

void PrintTo(const UsageCase &c, std::ostream *os)
{
    for (const std::string &a : c.args)
        *os << a << ' ';
}

class MdcapUsage : public ::testing::TestWithParam<UsageCase> {};

TEST_P(MdcapUsage, PrintsTheUsageText)
{
    const UsageCase &c = GetParam();
    MdcapRun run({}, c.args);
    int status = run.finish(0);
    EXPECT_TRUE(exited_with(status, c.code)) << "status " << status << "\n" << run.describe();
    EXPECT_EQ(c.on_stdout ? run.out() : run.err(), usage_text(kMdcap));
    EXPECT_EQ(c.on_stdout ? run.err() : run.out(), "");
}

const UsageCase kUsageCases[] = {
    {"h", {"-h"}, true, 0},
    {"help", {"--help"}, true, 0},
    {"b3", {"-b", "3"}, false, 1},
    {"unknown", {"-x"}, false, 1},
    {"unknownLong", {"--bogus"}, false, 1},
    {"missingArgument", {"-W"}, false, 1},
};

INSTANTIATE_TEST_SUITE_P(Options, MdcapUsage, ::testing::ValuesIn(kUsageCases),
                         [](const ::testing::TestParamInfo<UsageCase> &info) { return info.param.name; });

TEST(Mdcap, MissingNodeEndsTheProcess)
{
    if (access("/dev/video0", F_OK) == 0)
        GTEST_SKIP() << "this machine has a real /dev/video0";
    MdcapRun run({"--isp", "/dev/video7"}, {});
    int status = run.finish(0);
    EXPECT_TRUE(exited_with(status, 1)) << "status " << status << "\n" << run.describe();
    EXPECT_NE(run.err().find("Cannot identify '/dev/video0': 2, No such file or directory\n"), std::string::npos)
        << run.describe();
}

} // namespace
