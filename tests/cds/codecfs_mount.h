// A codecfs (the virtual codec driver's datastamp file system) mounted on a
// scratch directory for the length of one test.
#ifndef KEP_CODECFS_MOUNT_H
#define KEP_CODECFS_MOUNT_H

#include "cds_test_util.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace cdstest {

class CodecfsFixture : public ::testing::Test {
protected:
    explicit CodecfsFixture(std::vector<std::string> channels) : channels_(std::move(channels)) {}

    void SetUp() override
    {
#ifndef KEP_CODECFS
        GTEST_SKIP() << "codecfs is not built for this target (no libfuse3): the driver file system cannot be mounted";
#else
        int fd = open("/dev/fuse", O_RDWR);
        if (fd < 0)
            GTEST_SKIP() << "/dev/fuse cannot be opened here: FUSE file systems cannot be mounted";
        close(fd);
        char tmpl[] = "/tmp/kep-codecfs-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        mnt_ = tmpl;
        std::vector<const char *> argv{"codecfs"};
        for (const std::string &c : channels_) {
            argv.push_back("--channel");
            argv.push_back(c.c_str());
        }
        argv.insert(argv.end(), {"-f", mnt_.c_str(), nullptr});
        pid_ = fork();
        ASSERT_GE(pid_, 0);
        if (pid_ == 0) {
            // Should the test die, codecfs unmounts and ends with it.
            prctl(PR_SET_PDEATHSIG, SIGTERM);
            int null = open("/dev/null", O_WRONLY);
            dup2(null, 1);
            execv(KEP_CODECFS, const_cast<char **>(argv.data()));
            _exit(127);
        }
        for (int i = 0; i < 400; ++i) {
            if (exists(dir(channels_[0].c_str()) + "/ds_enable"))
                return;
            int status;
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                FAIL() << "codecfs ended before mounting, status " << status;
            }
            struct timespec ts = {0, 25 * 1000 * 1000};
            nanosleep(&ts, nullptr);
        }
        FAIL() << "codecfs did not mount " << mnt_ << " within 10 s";
#endif
    }

    void TearDown() override
    {
        if (pid_ > 0) {
            // Unmounting ends codecfs normally; a signal is the fallback.
            bool unmounted = umount2(mnt_.c_str(), 0) == 0;
            if (!unmounted)
                kill(pid_, SIGTERM);
            int status = 0;
            waitpid(pid_, &status, 0);
            EXPECT_TRUE(unmounted && WIFEXITED(status) && WEXITSTATUS(status) == 0) << "codecfs status " << status;
        }
        if (!mnt_.empty()) {
            umount2(mnt_.c_str(), MNT_DETACH); // still mounted only if codecfs died
            rmdir(mnt_.c_str());
        }
    }

    std::string dir(const char *channel = "1_hd") const { return mnt_ + "/" + channel; }

    std::vector<std::string> channels_;
    std::string mnt_;
    pid_t pid_ = -1;
};

} // namespace cdstest

#endif
