// Programs built with 64-bit file offsets (and, where it applies, fortified
// calls) reach the node through the C library's other names: stat64, open64,
// fcntl64, mmap64, __read_chk. 32-bit ARM programs use these.
#include "scene.h"
#include "vcam_client.h"

#include <sys/stat.h>

static_assert(sizeof(off_t) == 8, "built with 64-bit file offsets");

using namespace vcam_test;

TEST(VcamLargeFile, NodeStatsOpensAndMapsThroughTheLargeFileNames)
{
    configure("--fps 100");
    struct stat st;
    ASSERT_EQ(stat("/dev/video0", &st), 0);
    EXPECT_TRUE(S_ISCHR(st.st_mode));
    Node node;
    ASSERT_GE(node.fd, 0) << strerror(errno);
    ASSERT_EQ(fstat(node.fd, &st), 0);
    EXPECT_TRUE(S_ISCHR(st.st_mode));
    int flags = fcntl(node.fd, F_GETFL);
    ASSERT_NE(flags, -1);
    EXPECT_EQ(vcam_stat("fcntl"), 1);
    ASSERT_EQ(node.stream_mmap(320, 240, 2), 2);
    EXPECT_EQ(vcam_stat("mmap"), 2);
    v4l2_buffer b;
    ASSERT_EQ(node.dequeue(b), 0);
    vcam::Scene scene;
    scene.set_size(320, 240);
    EXPECT_EQ(scene.read_counter(node.maps[b.index].start), static_cast<long>(b.sequence));
}

TEST(VcamLargeFile, ReadIntoAFixedBufferReachesTheNode)
{
    configure("--fps 100");
    static uint8_t frame[64 * 48 * 3 / 2];
    Node node;
    ASSERT_EQ(node.set_format(64, 48), 0);
    ASSERT_EQ(read(node.fd, frame, sizeof frame), static_cast<ssize_t>(sizeof frame));
    EXPECT_EQ(vcam_stat("read"), 1);
    EXPECT_EQ(vcam_stat("copies"), static_cast<long>(sizeof frame));
}
