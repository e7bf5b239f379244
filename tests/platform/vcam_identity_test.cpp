// The nodes as tools identify a video4linux device: device numbers, their
// sysfs entries read, resolved and listed, /dev listed; and every other path,
// the real sysfs included, as the C library answers it without the platform.
#include "vcam.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <limits.h>
#include <set>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <string>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace {

std::string read_file(const char *path)
{
    std::string text;
    FILE *f = fopen(path, "r");
    if (f == nullptr)
        return "(" + std::string(strerror(errno)) + ")";
    char buf[256];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0)
        text.append(buf, n);
    fclose(f);
    return text;
}

// The same file read by system calls of its own, which no wrapper sees.
std::string read_file_raw(const char *path)
{
    int fd = static_cast<int>(syscall(SYS_openat, AT_FDCWD, path, O_RDONLY | O_CLOEXEC));
    if (fd < 0)
        return "(" + std::string(strerror(errno)) + ")";
    std::string text;
    char buf[256];
    long n;
    while ((n = syscall(SYS_read, fd, buf, sizeof buf)) > 0)
        text.append(buf, static_cast<size_t>(n));
    syscall(SYS_close, fd);
    return text;
}

std::set<std::string> listing(const char *dir)
{
    std::set<std::string> names;
    DIR *d = opendir(dir);
    if (d == nullptr)
        return names;
    while (dirent *e = readdir(d))
        names.insert(e->d_name);
    closedir(d);
    return names;
}

std::string link_of(const char *path)
{
    char buf[PATH_MAX];
    ssize_t n = readlink(path, buf, sizeof buf);
    return n < 0 ? "(" + std::string(strerror(errno)) + ")" : std::string(buf, static_cast<size_t>(n));
}

std::string resolved(const char *path)
{
    char buf[PATH_MAX];
    return realpath(path, buf) != nullptr ? buf : "(" + std::string(strerror(errno)) + ")";
}

} // namespace

TEST(VcamIdentity, NodesAreVideo4linuxDevicesWithTheirOwnNumbers)
{
    ASSERT_EQ(vcam_configure(""), 0);
    struct {
        const char *path;
        unsigned minor;
    } nodes[] = {{"/dev/video0", 0}, {"/dev/video1", 1}, {"/dev/video2", 2}};
    for (const auto &n : nodes) {
        struct stat st;
        ASSERT_EQ(stat(n.path, &st), 0) << n.path;
        EXPECT_TRUE(S_ISCHR(st.st_mode)) << n.path;
        // A real device of this number keeps it; the node then takes another.
        std::string real = "/sys/dev/char/81:" + std::to_string(n.minor);
        if (read_file_raw(real.c_str())[0] == '(') {
            EXPECT_EQ(major(st.st_rdev), 81u) << n.path;
            EXPECT_EQ(minor(st.st_rdev), n.minor) << n.path;
        }
        int fd = open(n.path, O_RDWR);
        ASSERT_GE(fd, 0) << n.path;
        struct stat fst;
        ASSERT_EQ(fstat(fd, &fst), 0);
        EXPECT_EQ(fst.st_rdev, st.st_rdev) << "fstat of " << n.path;
        close(fd);
    }
}

TEST(VcamIdentity, SysfsAnswersForTheNodesOnly)
{
    ASSERT_EQ(vcam_configure("--isp /dev/video0 --encoder /dev/video1 --decoder /dev/video2"), 0);
    struct stat st;
    ASSERT_EQ(stat("/dev/video0", &st), 0);
    std::string number = std::to_string(major(st.st_rdev)) + ":" + std::to_string(minor(st.st_rdev));
    std::string by_number = "/sys/dev/char/" + number;
    const std::string node_dir = "/sys/devices/platform/vcam/video4linux/video0";
    struct {
        std::string path, contents;
    } files[] = {
        {by_number + "/uevent", "MAJOR=81\nMINOR=" + std::to_string(minor(st.st_rdev)) + "\nDEVNAME=video0\n"},
        {"/sys/class/video4linux/video0/name", "kep virtual ISP\n"},
        {"/sys/class/video4linux/video1/name", "kep virtual encoder\n"},
        {"/sys/class/video4linux/video2/index", "1\n"}, // the codec driver's second node
        {node_dir + "/dev", number + "\n"},
        {by_number + "/device/modalias", "platform:vcam\n"},
    };
    for (const auto &f : files)
        EXPECT_EQ(read_file(f.path.c_str()), f.contents) << f.path;

    EXPECT_EQ(link_of("/sys/class/video4linux/video0"), "../../devices/platform/vcam/video4linux/video0");
    EXPECT_EQ(link_of((node_dir + "/device").c_str()), "../../../vcam");
    EXPECT_EQ(resolved(by_number.c_str()), node_dir);
    EXPECT_EQ(resolved("/sys/class/video4linux/video2/device"), "/sys/devices/platform/vcam-codec");
    EXPECT_EQ(resolved("/dev/video0"), "/dev/video0") << "a node is where the program looks for it";

    std::set<std::string> classes = listing("/sys/class/video4linux");
    for (const char *name : {"video0", "video1", "video2"})
        EXPECT_EQ(classes.count(name), 1u) << name;
    EXPECT_EQ(listing(node_dir.c_str()),
              (std::set<std::string>{".", "..", "dev", "dev_debug", "device", "index", "name", "subsystem", "uevent"}));
    EXPECT_EQ(listing("/sys/devices/platform/vcam-codec").count("media0"), 1u) << "the codec driver's media controller";
    std::set<std::string> dev = listing("/dev");
    EXPECT_TRUE(dev.count("video0") && dev.count("video1") && dev.count("video2") && dev.count("null"));

    ASSERT_EQ(stat((node_dir + "/name").c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    ASSERT_EQ(lstat("/sys/class/video4linux/video0", &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    ASSERT_EQ(stat("/sys/class/video4linux/video0", &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(open((node_dir + "/name").c_str(), O_WRONLY), -1) << "the entries are read-only";
    EXPECT_EQ(errno, EACCES);
    EXPECT_EQ(read_file("/sys/class/video4linux/video3/name")[0], '(') << "no such node";

    // Real sysfs reads as it does without the platform.
    for (const char *real : {"/sys/dev/char/1:3/uevent", "/sys/kernel/uevent_seqnum", "/sys/class/mem/null/dev"})
        EXPECT_EQ(read_file(real), read_file_raw(real)) << real;
    EXPECT_EQ(resolved("/sys/class/mem/null"), resolved("/sys/devices/virtual/mem/null"));
}
