// kep_open_device: only character devices are opened, blocking; anything
// else ends the process with status 1 after its message.
#include "isp_harness.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>

namespace kep_test {
namespace {

using OpenDevice = IspTest;

ChildRun open_in_child(const std::string &path)
{
    return run_in_child([path] { return kep_open_device(path.c_str()); });
}

TEST_F(OpenDevice, CharacterDeviceOpensBlocking)
{
    configure("");
    open_node();
    int flags = fcntl(m2m_.isp_fd, F_GETFL);
    ASSERT_NE(flags, -1);
    EXPECT_EQ(flags & O_NONBLOCK, 0) << "the node was left non-blocking";
    EXPECT_EQ(flags & O_ACCMODE, O_RDWR);
}

TEST_F(OpenDevice, RegularFileIsNoDevice)
{
    configure("");
    char path[] = "/tmp/kep_not_a_device_XXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    close(fd);
    ChildRun run = open_in_child(path);
    unlink(path);
    EXPECT_TRUE(run.exited_with(1)) << run.describe();
    EXPECT_EQ(run.err, std::string(path) + " is no device\n");
}

TEST_F(OpenDevice, DirectoryIsNoDevice)
{
    configure("");
    ChildRun run = open_in_child("/tmp");
    EXPECT_TRUE(run.exited_with(1)) << run.describe();
    EXPECT_EQ(run.err, "/tmp is no device\n");
}

TEST_F(OpenDevice, MissingPathCannotBeIdentified)
{
    configure("");
    ChildRun run = open_in_child("/nonexistent/video9");
    EXPECT_TRUE(run.exited_with(1)) << run.describe();
    EXPECT_EQ(run.err, std::string("Cannot identify '/nonexistent/video9': ") + std::to_string(ENOENT) + ", " +
                           strerror(ENOENT) + "\n");
}

TEST_F(OpenDevice, RefusedOpenEndsTheProcess)
{
    configure("--fail open:once:EBUSY");
    ChildRun run = open_in_child("/dev/video0");
    EXPECT_TRUE(run.exited_with(1)) << run.describe();
    EXPECT_EQ(run.err,
              std::string("Cannot open '/dev/video0': ") + std::to_string(EBUSY) + ", " + strerror(EBUSY) + "\n");
}

TEST_F(OpenDevice, RefusedBlockingModeReturnsMinusOne)
{
    configure("--fail fcntl:always:EIO");
    ChildRun run = open_in_child("/dev/video0");
    EXPECT_TRUE(run.returned) << run.describe();
    EXPECT_EQ(run.result, -1) << run.describe();
    EXPECT_EQ(run.err, "");
}

} // namespace
} // namespace kep_test
