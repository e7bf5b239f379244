// Buffer ownership on the virtual nodes: one table of programs that break an
// ownership rule, each run in a child twice. Under --strict the child ends at
// the violation with status 70 and a line naming node, buffer, request and
// owner; without it the child runs on and the violation is counted once.
#include "child_capture.h"
#include "vcam_client.h"

#include <stdio.h>
#include <stdlib.h>
#include <string>
#include <sys/wait.h>

using namespace vcam_test;

namespace {

constexpr uint32_t kOutput = V4L2_BUF_TYPE_VIDEO_OUTPUT;
constexpr unsigned kW = 160, kH = 120;
constexpr uint32_t kPicture = kW * kH * 3 / 2;

size_t page()
{
    return static_cast<size_t>(sysconf(_SC_PAGESIZE));
}

// Ends the child when a request of the scenario itself fails.
void must(bool ok, const char *what)
{
    if (!ok) {
        fprintf(stderr, "scenario: %s: %s\n", what, strerror(errno));
        _exit(99);
    }
}

// The ISP with `count` buffers requested (memory-mapped ones mapped), not
// streaming: every buffer with the program.
struct Isp {
    explicit Isp(unsigned count, uint32_t memory = V4L2_MEMORY_MMAP) : memory(memory)
    {
        fd = open("/dev/video0", O_RDWR);
        must(fd >= 0 && set_format(fd, kCapture, kS420, kW, kH) == 0, "ISP set-up");
        must(request(fd, kCapture, memory, count) == static_cast<int>(count), "ISP REQBUFS");
        for (unsigned i = 0; i < count; ++i) {
            if (memory == V4L2_MEMORY_MMAP) {
                v4l2_buffer b = buffer(kCapture, memory, i);
                must(ioctl(fd, VIDIOC_QUERYBUF, &b) == 0, "ISP QUERYBUF");
                void *p = mmap(nullptr, b.length, PROT_READ | PROT_WRITE, MAP_SHARED, fd, b.m.offset);
                must(p != MAP_FAILED, "ISP mmap");
                maps.push_back(Mapping{static_cast<uint8_t *>(p), b.length});
            } else {
                size_t len = (kPicture + page() - 1) / page() * page();
                void *p = nullptr;
                must(posix_memalign(&p, page(), len) == 0, "ISP user buffer");
                maps.push_back(Mapping{static_cast<uint8_t *>(p), len});
            }
        }
    }
    int queue(unsigned i)
    {
        v4l2_buffer b = buffer(kCapture, memory, i);
        if (memory == V4L2_MEMORY_USERPTR) {
            b.m.userptr = reinterpret_cast<unsigned long>(maps[i].start);
            b.length = static_cast<uint32_t>(maps[i].length);
        }
        return ioctl(fd, VIDIOC_QBUF, &b);
    }
    int take()
    {
        v4l2_buffer b = buffer(kCapture, memory, 0);
        return ioctl(fd, VIDIOC_DQBUF, &b) == 0 ? static_cast<int>(b.index) : -1;
    }
    void unmap_all()
    {
        for (Mapping &m : maps)
            if (memory == V4L2_MEMORY_MMAP)
                munmap(m.start, m.length);
        maps.clear();
    }
    uint32_t memory;
    int fd = -1;
    std::vector<Mapping> maps;
};

// The encoder taking pictures by user pointer, no bit-stream buffer queued:
// a picture lent to it stays queued there.
struct Enc {
    Enc()
    {
        fd = open("/dev/video1", O_RDWR);
        must(fd >= 0 && set_format(fd, kOutput, kS420) == 0 &&
                 set_format(fd, kCapture, v4l2_fourcc('H', '2', '6', '4')) == 0,
             "encoder set-up");
        must(request(fd, kOutput, V4L2_MEMORY_USERPTR, 2) == 2, "encoder REQBUFS");
    }
    int lend(const Mapping &m)
    {
        v4l2_buffer b = buffer(kOutput, V4L2_MEMORY_USERPTR, 0);
        b.m.userptr = reinterpret_cast<unsigned long>(m.start);
        b.length = kPicture;
        return ioctl(fd, VIDIOC_QBUF, &b);
    }
    int fd = -1;
};

struct Row {
    const char *kind; // the violation.<kind> counter
    void (*scenario)();
    // What the strict line says, in order; "%p" stands for any address.
    std::vector<std::string> says;
};

std::string dec(size_t n)
{
    return std::to_string(n);
}

const Row kRows[] = {
    {"qbuf_not_held",
     [] {
         Isp isp(2);
         must(isp.queue(0) == 0, "first QBUF");
         isp.queue(0);
         isp.unmap_all();
     },
     {"vcam: strict: isp /dev/video0 buffer 0: QBUF: the program does not hold the buffer (owner: the driver, "
      "queued)\n"}},
    {"lend_not_held",
     [] {
         Isp isp(2);
         Enc enc;
         must(isp.queue(0) == 0, "ISP QBUF");
         enc.lend(isp.maps[0]);
         isp.unmap_all();
     },
     {"vcam: strict: enc.out /dev/video1 buffer 0: QBUF: lends isp /dev/video0 buffer 0, which the program does "
      "not hold (owner: the driver, queued)\n"}},
    {"qbuf_lent",
     [] {
         Isp isp(2);
         Enc enc;
         must(enc.lend(isp.maps[1]) == 0, "lending a held buffer");
         isp.queue(1);
         close(enc.fd); // the encoder lets go of it before the ISP closes
         isp.unmap_all();
     },
     {"vcam: strict: isp /dev/video0 buffer 1: QBUF: another node still reads the buffer (owner: the program, "
      "lent to enc.out /dev/video1 buffer 0)\n"}},
    {"lost",
     [] {
         // The encoder codes its own scene into every queued bit-stream
         // buffer; buffer 0 is taken and never given back.
         int fd = open("/dev/video1", O_RDWR);
         must(fd >= 0 && set_format(fd, kCapture, v4l2_fourcc('H', '2', '6', '4')) == 0, "encoder set-up");
         must(request(fd, kCapture, V4L2_MEMORY_MMAP, 2) == 2, "encoder REQBUFS");
         for (unsigned i = 0; i < 2; ++i) {
             v4l2_buffer b = buffer(kCapture, V4L2_MEMORY_MMAP, i);
             must(ioctl(fd, VIDIOC_QBUF, &b) == 0, "encoder QBUF");
         }
         uint32_t type = kCapture;
         must(ioctl(fd, VIDIOC_STREAMON, &type) == 0, "encoder STREAMON");
         for (int n = 0; n < 60; ++n) {
             v4l2_buffer b = buffer(kCapture, V4L2_MEMORY_MMAP, 0);
             must(ioctl(fd, VIDIOC_DQBUF, &b) == 0, "encoder DQBUF");
             if (b.index == 1)
                 must(ioctl(fd, VIDIOC_QBUF, &b) == 0, "encoder QBUF");
         }
     },
     {"vcam: strict: enc.cap /dev/video1 buffer 0: DQBUF: lost: not queued again for 48 dequeue requests while "
      "the queue streams (owner: the program)\n"}},
    {"munmap",
     [] {
         Isp isp(1);
         munmap(isp.maps[0].start, page());
         isp.maps.clear(); // the rest stays mapped: the program lost track of it
     },
     {"vcam: strict: isp /dev/video0 buffer 0: munmap(%p, " + dec(page()) +
          "): no mapping has that address and length (mapped at %p, " + dec(kPicture) +
          " bytes) (owner: the program)\n"}},
    {"munmap",
     [] {
         Isp isp(1);
         Mapping m = isp.maps[0];
         isp.unmap_all();
         munmap(m.start, m.length);
     },
     {"vcam: strict: isp /dev/video0 buffer 0: munmap(%p, " + dec(kPicture) +
      "): the mapping is already unmapped (owner: the program)\n"}},
    {"close_mapped",
     [] {
         Isp isp(1);
         close(isp.fd);
         isp.unmap_all();
     },
     {"vcam: strict: isp /dev/video0 buffer 0: close: the buffer is still mapped (owner: the program)\n"}},
    {"close_lent",
     [] {
         Isp isp(1, V4L2_MEMORY_USERPTR);
         Enc enc;
         must(isp.queue(0) == 0, "ISP QBUF");
         uint32_t type = kCapture;
         must(ioctl(isp.fd, VIDIOC_STREAMON, &type) == 0, "ISP STREAMON");
         must(isp.take() == 0, "ISP DQBUF");
         must(enc.lend(isp.maps[0]) == 0, "lending the held buffer");
         close(isp.fd);
     },
     {"vcam: strict: isp /dev/video0 buffer 0: close: another node still reads the buffer (owner: the program, "
      "lent to enc.out /dev/video1 buffer 0)\n"}},
};

// Whether text holds the parts in order, "%p" matching one hexadecimal
// address ("0x" and digits).
bool says(const std::string &text, const std::string &pattern)
{
    size_t t = 0, p = 0;
    while (p < pattern.size()) {
        size_t mark = pattern.find("%p", p);
        std::string literal = pattern.substr(p, mark == std::string::npos ? std::string::npos : mark - p);
        size_t at = text.find(literal, t);
        if (at == std::string::npos || (p > 0 && at != t))
            return false;
        t = at + literal.size();
        if (mark == std::string::npos)
            break;
        if (text.compare(t, 2, "0x") != 0)
            return false;
        t += 2;
        while (t < text.size() && isxdigit(static_cast<unsigned char>(text[t])))
            ++t;
        p = mark + 2;
    }
    return true;
}

kep_child::Captured run(const Row &row, bool strict)
{
    std::string options = strict ? "--strict --fps 500" : "--fps 500";
    return kep_child::capture([&] {
        alarm(30);
        if (vcam_configure(options.c_str()) != 0)
            _exit(98);
        row.scenario();
        printf("%ld %ld\n", vcam_stat("violations"), vcam_stat((std::string("violation.") + row.kind).c_str()));
        fflush(stdout);
        _exit(0);
    });
}

class VcamOwnership : public ::testing::TestWithParam<size_t> {};

TEST_P(VcamOwnership, StrictEndsWithTheLineAndLenientCountsOnce)
{
    const Row &row = kRows[GetParam()];
    kep_child::Captured strict = run(row, true);
    ASSERT_TRUE(strict.ran);
    EXPECT_TRUE(WIFEXITED(strict.wait_status) && WEXITSTATUS(strict.wait_status) == 70)
        << row.kind << ": status " << strict.wait_status << "\n" << strict.err;
    for (const std::string &line : row.says)
        EXPECT_TRUE(says(strict.err, line)) << row.kind << ": wanted\n" << line << "got\n" << strict.err;
    EXPECT_EQ(strict.out, "") << "the strict child ends at the violation";

    kep_child::Captured lenient = run(row, false);
    ASSERT_TRUE(lenient.ran);
    EXPECT_TRUE(WIFEXITED(lenient.wait_status) && WEXITSTATUS(lenient.wait_status) == 0)
        << row.kind << ": status " << lenient.wait_status << "\n" << lenient.err;
    EXPECT_EQ(lenient.out, "1 1\n") << row.kind << ": violations, and of this kind\n" << lenient.err;
    EXPECT_EQ(lenient.err.find("vcam: strict"), std::string::npos) << lenient.err;
}

INSTANTIATE_TEST_SUITE_P(EveryRule, VcamOwnership, ::testing::Range<size_t>(0, sizeof kRows / sizeof kRows[0]),
                         [](const ::testing::TestParamInfo<size_t> &i) {
                             return std::string(kRows[i.param].kind) + "_" + std::to_string(i.param);
                         });

} // namespace
