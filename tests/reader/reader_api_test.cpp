// Reader life cycle, modes, results and messages that do not depend on the
// stream format.
#include "fake_decoder.h"
#include "reader_support.h"

#include "child_capture.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// One P picture of exactly n bytes (n >= 16).
Bytes p_frame(size_t n)
{
    Bytes b = slice(1, 0, 0);
    b.pop_back();
    while (b.size() + 1 < n)
        b.push_back(0x5A);
    b.push_back(0x80);
    return b;
}

int open_descriptors()
{
    int n = 0;
    DIR *d = opendir("/proc/self/fd");
    while (readdir(d) != nullptr)
        n++;
    closedir(d);
    return n;
}

// The descriptor this process holds on path, or -1.
int descriptor_of(const char *path)
{
    char want[PATH_MAX];
    if (realpath(path, want) == nullptr)
        return -1;
    DIR *d = opendir("/proc/self/fd");
    int found = -1;
    while (dirent *e = readdir(d)) {
        char link[300], target[PATH_MAX];
        snprintf(link, sizeof link, "/proc/self/fd/%s", e->d_name);
        ssize_t n = readlink(link, target, sizeof target - 1);
        if (n > 0) {
            target[n] = '\0';
            if (strcmp(target, want) == 0)
                found = atoi(e->d_name);
        }
    }
    closedir(d);
    return found;
}

TEST(ReaderLifecycle, NullRecordFailsEveryEntryPoint)
{
    uint8_t dst[64];
    EXPECT_EQ(kep_bs_reader_init(nullptr, "/dev/mem"), -1);
    EXPECT_EQ(kep_bs_reader_read_frame(nullptr, dst, sizeof dst, dst, sizeof dst), -1);
    EXPECT_EQ(kep_bs_reader_uninit(nullptr), -1);
}

TEST(ReaderLifecycle, MemoryPathOpensNothingAndPrintsTheBanner)
{
    kep_m2m m2m = {};
    m2m.dec_fourcc = KEP_FOURCC_H264;
    OutputCapture cap;
    int before = open_descriptors();
    int32_t r = kep_bs_reader_init(&m2m, "/dev/mem");
    int during = open_descriptors();
    std::string out = cap.out();
    ASSERT_EQ(r, 0);
    EXPECT_EQ(out, "bit-stream reader v1.1.0622, Oct 22 2015 12:17:08 (mode=memory)\n");
    EXPECT_NE(m2m.bs_reader, nullptr);
    EXPECT_EQ(during, before);
    EXPECT_EQ(kep_bs_reader_uninit(&m2m), 0);
    EXPECT_EQ(m2m.bs_reader, nullptr);
}

TEST(ReaderLifecycle, FilePathPrintsFileModeAndUninitClosesIt)
{
    TempFile f(Bytes(10, 1));
    kep_m2m m2m = {};
    m2m.dec_fourcc = KEP_FOURCC_MJPG;
    OutputCapture cap;
    int before = open_descriptors();
    int32_t r = kep_bs_reader_init(&m2m, f.path());
    int during = open_descriptors();
    int32_t u = kep_bs_reader_uninit(&m2m);
    int after = open_descriptors();
    std::string out = cap.out();
    ASSERT_EQ(r, 0);
    EXPECT_EQ(out, "bit-stream reader v1.1.0622, Oct 22 2015 12:17:08 (mode=file)\n");
    EXPECT_EQ(during, before + 1);
    EXPECT_EQ(u, 0);
    EXPECT_EQ(after, before);
    EXPECT_EQ(m2m.bs_reader, nullptr);
}

TEST(ReaderLifecycle, EmptyPathFailsWithInputComponentFailed)
{
    kep_m2m m2m = {};
    m2m.dec_fourcc = KEP_FOURCC_H264;
    OutputCapture cap;
    int32_t r = kep_bs_reader_init(&m2m, "");
    std::string out, err;
    cap.take(&out, &err);
    EXPECT_EQ(r, -1);
    EXPECT_EQ(err.rfind("input component failed", 0), 0u) << err;
    EXPECT_EQ(out, "");
    EXPECT_EQ(m2m.bs_reader, nullptr);
}

TEST(ReaderLifecycle, MissingFileFailsAndLeavesNoReader)
{
    kep_m2m m2m = {};
    m2m.dec_fourcc = KEP_FOURCC_H264;
    OutputCapture cap;
    int32_t r = kep_bs_reader_init(&m2m, "/nonexistent/stream.h264");
    std::string err;
    cap.take(nullptr, &err);
    EXPECT_EQ(r, -1);
    EXPECT_EQ(err, "open input file failed: No such file or directory\n");
    EXPECT_EQ(m2m.bs_reader, nullptr);
    EXPECT_EQ(kep_bs_reader_read_frame(&m2m, nullptr, 0, nullptr, 0), -1);
}

// The reader asks the kernel not to update the stream's access time, which
// only the file's owner may ask: a stream of another owner is read all the
// same. As root the child gives up root, since root may ask for any file.
TEST(ReaderLifecycle, StreamOfAnotherOwnerIsReadAllTheSame)
{
    TempFile f(concat({p_frame(100), p_frame(100), p_frame(40)}));
    const bool root = geteuid() == 0;
    ASSERT_EQ(chmod(f.path(), 0644), 0);
    // Without root, a file of ours would be ours to ask for: read one of root's.
    const char *path = root ? f.path() : "/etc/passwd";
    kep_child::Captured c = kep_child::capture([&] {
        if (root && setuid(65534) != 0)
            _exit(20);
        kep_m2m m2m = {};
        m2m.dec_fourcc = KEP_FOURCC_H264;
        m2m.dec_fd = -1;
        if (kep_bs_reader_init(&m2m, path) != 0)
            _exit(21);
        uint8_t dst[1024];
        int frames = 0;
        int32_t n;
        while ((n = kep_bs_reader_read_frame(&m2m, nullptr, 0, dst, sizeof dst)) != -1)
            frames += n > 0;
        kep_bs_reader_uninit(&m2m);
        _exit(root ? frames : 0);
    });
    ASSERT_TRUE(c.ran);
    EXPECT_EQ(c.err.find("open input file failed"), std::string::npos) << c.err;
    ASSERT_TRUE(WIFEXITED(c.wait_status));
    EXPECT_EQ(WEXITSTATUS(c.wait_status), root ? 3 : 0) << c.err;
}

TEST(ReaderLifecycle, UnknownFormatFailsSilentlyAndClosesTheFile)
{
    TempFile f(Bytes(10, 1));
    kep_m2m m2m = {};
    m2m.dec_fourcc = KEP_FOURCC_S420;
    int before = open_descriptors();
    std::string out, err;
    int32_t r;
    {
        OutputCapture cap;
        r = kep_bs_reader_init(&m2m, f.path());
        cap.take(&out, &err);
    }
    EXPECT_EQ(r, -1);
    EXPECT_EQ(out, "bit-stream reader v1.1.0622, Oct 22 2015 12:17:08 (mode=file)\n");
    EXPECT_EQ(err, "");
    EXPECT_EQ(m2m.bs_reader, nullptr);
    EXPECT_EQ(open_descriptors(), before);
}

TEST(ReaderLifecycle, UninitWithoutReaderSucceeds)
{
    kep_m2m m2m = {};
    EXPECT_EQ(kep_bs_reader_uninit(&m2m), 0);
    uint8_t dst[64];
    EXPECT_EQ(kep_bs_reader_read_frame(&m2m, dst, 0, dst, sizeof dst), -1);
}

TEST(ReaderLifecycle, FailingCloseIsReported)
{
    TempFile f(Bytes(10, 1));
    kep_m2m m2m = {};
    m2m.dec_fourcc = KEP_FOURCC_H264;
    int32_t r;
    {
        OutputCapture quiet;
        r = kep_bs_reader_init(&m2m, f.path());
    }
    ASSERT_EQ(r, 0);
    int fd = descriptor_of(f.path());
    ASSERT_GE(fd, 0);
    close(fd); // behind the reader's back
    OutputCapture cap;
    r = kep_bs_reader_uninit(&m2m);
    std::string err;
    cap.take(nullptr, &err);
    EXPECT_EQ(r, -1);
    EXPECT_EQ(err, "close input file failed: Bad file descriptor\n");
    EXPECT_EQ(m2m.bs_reader, nullptr); // released all the same
}

TEST(ReaderResults, FrameIsPaddedWithZerosToA64ByteMultiple)
{
    FakeDecoder dec;
    Bytes data = concat({p_frame(100), p_frame(128), p_frame(40)});
    ReadResult first = read_memory(data, KEP_FOURCC_H264, dec.fd);
    ASSERT_EQ(first.code, 128);
    EXPECT_TRUE(std::equal(data.begin(), data.begin() + 100, first.frame.begin()));
    EXPECT_EQ(Bytes(first.frame.begin() + 100, first.frame.end()), Bytes(28, 0));

    ReadResult second = read_memory(Bytes(data.begin() + 100, data.end()), KEP_FOURCC_H264, dec.fd);
    ASSERT_EQ(second.code, 128);
    EXPECT_TRUE(std::equal(data.begin() + 100, data.begin() + 228, second.frame.begin()));
}

TEST(ReaderResults, PaddingNeverGoesPastTheDestinationSize)
{
    FakeDecoder dec;
    Bytes data = concat({p_frame(100), p_frame(40)});
    // 100 bytes fit, their padding to 128 does not: refused, and read_memory
    // checks that nothing was written past dst_size.
    for (uint32_t size : {100u, 127u}) {
        EXPECT_EQ(read_memory(data, KEP_FOURCC_H264, dec.fd, size).code, -102) << "dst_size " << size;
        EXPECT_EQ(count_of(last_out(), "parser fatal: frame length is larger than destination buffer size.\n"), 1u);
    }
    EXPECT_EQ(read_memory(data, KEP_FOURCC_H264, dec.fd, 128).code, 128);
}

TEST(ReaderResults, FrameLargerThanTheDestinationIsRefusedWith102)
{
    FakeDecoder dec;
    Bytes data = concat({p_frame(300), p_frame(40)});
    EXPECT_EQ(read_memory(data, KEP_FOURCC_H264, dec.fd, 299).code, -102);
    EXPECT_EQ(last_out(), "bit-stream reader v1.1.0622, Oct 22 2015 12:17:08 (mode=memory)\n"
                         "parser fatal: frame length is larger than destination buffer size.\n");
}

TEST(ReaderResults, UnfinishedFrameLargerThanTheDestinationIsRefusedWith100)
{
    FakeDecoder dec;
    const char *message = "parser fatal: bit-stream length is larger than destination buffer's.\n";
    // Memory mode: the last frame runs to the end of the data.
    EXPECT_EQ(read_memory(p_frame(300), KEP_FOURCC_H264, dec.fd, 200).code, -100);
    EXPECT_EQ(count_of(last_out(), message), 1u);
    // File mode: a frame spanning reads outgrows the destination.
    std::vector<ReadResult> r = read_file(concat({p_frame(20000), p_frame(100)}), KEP_FOURCC_H264, dec.fd, 10000);
    ASSERT_GE(r.size(), 1u);
    EXPECT_EQ(r[0].code, -100);
    EXPECT_EQ(r.back().code, -1); // and the stream can still be read to its end
    EXPECT_EQ(count_of(last_out(), message), 1u);
}

TEST(ReaderResults, FileModeReturnsTheLastFrameAtEndOfFileThenMinusOne)
{
    FakeDecoder dec;
    Bytes a = p_frame(200), b = p_frame(20000), c = p_frame(77);
    std::vector<ReadResult> r = read_file(concat({a, b, c}), KEP_FOURCC_H264, dec.fd);
    ASSERT_EQ(r.size(), 4u);
    EXPECT_EQ(unpadded(r[0].frame), a);
    EXPECT_EQ(unpadded(r[1].frame), b); // assembled from three reads
    EXPECT_EQ(unpadded(r[2].frame), c);
    EXPECT_EQ(r[2].code, 128);
    EXPECT_EQ(r[3].code, -1);
}

TEST(ReaderResults, FileModeKeepsAnsweringMinusOneAfterTheEnd)
{
    FakeDecoder dec;
    TempFile f(p_frame(50));
    kep_m2m m2m = {};
    m2m.dec_fourcc = KEP_FOURCC_H264;
    m2m.dec_fd = dec.fd;
    uint8_t dst[256];
    int32_t r[5];
    {
        OutputCapture quiet;
        r[0] = kep_bs_reader_init(&m2m, f.path());
        for (int i = 1; i < 4; i++)
            r[i] = kep_bs_reader_read_frame(&m2m, nullptr, 0, dst, sizeof dst);
        r[4] = kep_bs_reader_uninit(&m2m);
    }
    EXPECT_EQ(std::vector<int32_t>(r, r + 5), std::vector<int32_t>({0, 64, -1, -1, 0}));
}

TEST(ReaderResults, FailingReadEndsTheStream)
{
    // A directory opens for reading but every read() fails (EISDIR).
    char dir[] = "/tmp/kep-reader-dir-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    kep_m2m m2m = {};
    m2m.dec_fourcc = KEP_FOURCC_H264;
    uint8_t dst[256];
    int32_t r[4];
    {
        OutputCapture quiet;
        r[0] = kep_bs_reader_init(&m2m, dir);
        r[1] = kep_bs_reader_read_frame(&m2m, nullptr, 0, dst, sizeof dst);
        r[2] = kep_bs_reader_read_frame(&m2m, nullptr, 0, dst, sizeof dst);
        r[3] = kep_bs_reader_uninit(&m2m);
    }
    EXPECT_EQ(std::vector<int32_t>(r, r + 4), std::vector<int32_t>({0, -1, -1, 0}));
    rmdir(dir);
}

TEST(ReaderResults, MemoryModeWithoutAnyStartCodeIsMinus2)
{
    FakeDecoder dec;
    EXPECT_EQ(read_memory(filler(500), KEP_FOURCC_H264, dec.fd).code, -2);
    EXPECT_EQ(count_of(last_out(), "parser: can not parse frame header\n"), 1u);
}

TEST(ReaderResults, MemoryModeWithNoDataIsEndOfStream)
{
    FakeDecoder dec;
    EXPECT_EQ(read_memory(Bytes(), KEP_FOURCC_H264, dec.fd).code, -1);
}

} // namespace
