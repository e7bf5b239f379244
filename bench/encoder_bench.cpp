// Capture to encode: frames per second and driver requests per frame of the
// ISP-to-encoder loop at 1280x720 H.264 through libkep_vc, against the same
// loop written as raw V4L2 requests, both on the virtual platform (linked in)
// and timed in the same run, rounds alternating, best round kept.
//
//   build/bench/encoder_bench [frames per round, default 200] [rounds, default 5] [control]
//
// With "control" a second library loop runs as a third contender: the ratio
// of the two library loops is the noise floor of the machine at the time.
//
// The coding inside the encoder's requests is most of that CPU time, and its
// noise hides the library; so the same pair runs again on the platform's
// plain coder, with a noise floor of its own (plain_pair.h).
//
// The ISP runs at 250 frames per second, faster than the loops code. The
// measure is the CPU time of the looping thread (wall time on a shared
// machine mostly measures the other processes); the ratio of the library
// loop's to the raw loop's is the library's overhead. Frames per second are
// wall-clock, for information.
#include "kep_vc.h"
#include "plain_pair.h"
#include "vcam.h"

#include <errno.h>
#include <fcntl.h>
#include <linux/videodev2.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace {

constexpr unsigned kWidth = 1280, kHeight = 720, kBuffers = 4;

// A still scene: the coding work per frame must not depend on how many
// sensor frames a loop happened to skip, or the faster loop codes less motion.
// On the plain coder the ISP runs faster than the loops take frames, so that
// they never sleep between frames (a loop that sleeps comes back to caches
// others have used, the larger part of the noise on a shared machine).
struct Setting {
    const char *platform;
    unsigned fps;
};
constexpr Setting kCoded = {"--still", 250};
constexpr Setting kPlain = {"--still --plain-codec", 2000};

struct Result {
    double wall = 1e30; // seconds, best round
    double cpu = 1e30;
    double requests = 0; // per frame
};

double now()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

// CPU time of the calling thread: the loop, the library and the coding the
// virtual encoder does inside the requests, but not the ISP's frame thread,
// whose work does not depend on the loop.
double cpu_now()
{
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

long requests()
{
    static const char *const kNames[] = {"QUERYCAP", "CROPCAP", "G_CROP",   "S_CROP",    "G_PARM", "S_PARM",
                                         "ENUM_FMT", "G_FMT",   "S_FMT",    "TRY_FMT",   "REQBUFS", "QUERYBUF",
                                         "QBUF",     "DQBUF",   "STREAMON", "STREAMOFF", "G_CTRL", "S_CTRL"};
    long sum = 0;
    for (const char *n : kNames)
        sum += vcam_stat((std::string("VIDIOC_") + n).c_str());
    return sum;
}

void fail(const char *what)
{
    fprintf(stderr, "encoder_bench: %s: %s\n", what, strerror(errno));
    exit(1);
}

void keep(Result &best, double wall, double cpu, double reqs)
{
    if (wall < best.wall)
        best.wall = wall;
    if (cpu < best.cpu)
        best.cpu = cpu;
    best.requests = reqs;
}

// The library loop, as a camera application writes it.
void library_round(unsigned frames, Result &best, const Setting &setting = kCoded)
{
    if (vcam_configure(setting.platform) != 0)
        fail("vcam_configure");
    kep_m2m *m = static_cast<kep_m2m *>(calloc(1, sizeof *m));
    strcpy(m->isp_dev_name, "/dev/video0");
    strcpy(m->codec_dev_name, "/dev/video1");
    m->width = kWidth;
    m->height = kHeight;
    m->isp_fps = m->codec_fps = setting.fps;
    m->isp_fourcc = KEP_FOURCC_S420;
    m->isp_io = KEP_IO_MMAP;
    m->m2m_buffers = kBuffers;
    m->codec_fourcc = KEP_FOURCC_H264;
    m->m2m_enable = 1;
    m->codec_in_memory = KEP_IO_USERPTR;
    m->scale = 1;
    m->isp_fd = kep_open_device(m->isp_dev_name);
    m->codec_fd = kep_open_device(m->codec_dev_name);
    if (kep_isp_init(m) != 0 || kep_isp_start(m) != 0 || kep_codec_init(m) != 0 || kep_codec_start(m) != 0)
        fail("library set-up");
    unsigned got = 0;
    long r0 = requests();
    double t0 = now(), c0 = cpu_now();
    while (got < frames) {
        kep_codec_read(m);
        if (m->codec_size != 0)
            ++got;
        kep_codec_reset(m);
    }
    double wall = now() - t0, cpu = cpu_now() - c0;
    keep(best, wall, cpu, double(requests() - r0) / frames);
    kep_codec_stop(m);
    kep_codec_uninit(m);
    kep_isp_stop(m);
    kep_isp_uninit(m);
    close(m->codec_fd);
    close(m->isp_fd);
    free(m);
}

int xioctl(int fd, unsigned long req, void *arg)
{
    int r;
    do
        r = ioctl(fd, req, arg);
    while (r == -1 && errno == EINTR);
    return r;
}

v4l2_buffer buf(uint32_t type, uint32_t memory, unsigned index = 0)
{
    v4l2_buffer b;
    memset(&b, 0, sizeof b);
    b.type = type;
    b.memory = memory;
    b.index = index;
    return b;
}

void set_fmt(int fd, uint32_t type, uint32_t fourcc)
{
    v4l2_format f;
    memset(&f, 0, sizeof f);
    f.type = type;
    f.fmt.pix.width = kWidth;
    f.fmt.pix.height = kHeight;
    f.fmt.pix.pixelformat = fourcc;
    if (xioctl(fd, VIDIOC_S_FMT, &f) != 0)
        fail("S_FMT");
}

void set_rate(int fd, uint32_t type, unsigned fps)
{
    v4l2_streamparm p;
    memset(&p, 0, sizeof p);
    p.type = type;
    p.parm.capture.timeperframe = v4l2_fract{1, fps};
    xioctl(fd, VIDIOC_S_PARM, &p);
}

unsigned reqbufs(int fd, uint32_t type, uint32_t memory)
{
    v4l2_requestbuffers rb;
    memset(&rb, 0, sizeof rb);
    rb.count = kBuffers;
    rb.type = type;
    rb.memory = memory;
    if (xioctl(fd, VIDIOC_REQBUFS, &rb) != 0)
        fail("REQBUFS");
    return rb.count;
}

void stream(int fd, uint32_t type, bool on)
{
    if (xioctl(fd, on ? VIDIOC_STREAMON : VIDIOC_STREAMOFF, &type) != 0)
        fail("STREAM");
}

// The same work in raw requests: the least a program can ask of the drivers.
void raw_round(unsigned frames, Result &best, const Setting &setting = kCoded)
{
    const uint32_t cap = V4L2_BUF_TYPE_VIDEO_CAPTURE, out = V4L2_BUF_TYPE_VIDEO_OUTPUT;
    if (vcam_configure(setting.platform) != 0)
        fail("vcam_configure");
    int isp = open("/dev/video0", O_RDWR);
    int enc = open("/dev/video1", O_RDWR);
    if (isp < 0 || enc < 0)
        fail("open");
    set_rate(isp, cap, setting.fps);
    set_fmt(isp, cap, v4l2_fourcc('S', '4', '2', '0'));
    unsigned n = reqbufs(isp, cap, V4L2_MEMORY_MMAP);
    std::vector<void *> pics(n);
    std::vector<uint32_t> lens(n);
    for (unsigned i = 0; i < n; ++i) {
        v4l2_buffer b = buf(cap, V4L2_MEMORY_MMAP, i);
        if (xioctl(isp, VIDIOC_QUERYBUF, &b) != 0)
            fail("QUERYBUF");
        pics[i] = mmap(nullptr, b.length, PROT_READ | PROT_WRITE, MAP_SHARED, isp, b.m.offset);
        lens[i] = b.length;
        if (pics[i] == MAP_FAILED || xioctl(isp, VIDIOC_QBUF, &b) != 0)
            fail("ISP buffers");
    }
    stream(isp, cap, true);

    set_rate(enc, out, setting.fps);
    set_rate(enc, cap, setting.fps);
    set_fmt(enc, out, v4l2_fourcc('S', '4', '2', '0'));
    set_fmt(enc, cap, v4l2_fourcc('H', '2', '6', '4'));
    reqbufs(enc, out, V4L2_MEMORY_USERPTR);
    reqbufs(enc, cap, V4L2_MEMORY_MMAP);
    v4l2_buffer bs = buf(cap, V4L2_MEMORY_MMAP, 0);
    if (xioctl(enc, VIDIOC_QUERYBUF, &bs) != 0)
        fail("QUERYBUF");
    void *stream_buf = mmap(nullptr, bs.length, PROT_READ | PROT_WRITE, MAP_SHARED, enc, bs.m.offset);
    uint32_t stream_len = bs.length;
    if (stream_buf == MAP_FAILED || xioctl(enc, VIDIOC_QBUF, &bs) != 0)
        fail("bit-stream buffer");
    stream(enc, out, true);
    stream(enc, cap, true);

    unsigned got = 0;
    volatile uint8_t sink = 0;
    long r0 = requests();
    double t0 = now(), c0 = cpu_now();
    while (got < frames) {
        pollfd p{isp, POLLIN, 0};
        poll(&p, 1, 5000);
        v4l2_buffer ib = buf(cap, V4L2_MEMORY_MMAP);
        if (xioctl(isp, VIDIOC_DQBUF, &ib) != 0)
            continue;
        v4l2_buffer in = buf(out, V4L2_MEMORY_USERPTR, ib.index);
        in.m.userptr = reinterpret_cast<unsigned long>(pics[ib.index]);
        in.length = lens[ib.index];
        ioctl(enc, VIDIOC_QBUF, &in);
        v4l2_buffer back = buf(out, V4L2_MEMORY_USERPTR);
        ioctl(enc, VIDIOC_DQBUF, &back);
        v4l2_buffer coded = buf(cap, V4L2_MEMORY_MMAP);
        if (ioctl(enc, VIDIOC_DQBUF, &coded) == 0 && coded.bytesused != 0) {
            sink = sink + static_cast<uint8_t *>(stream_buf)[0];
            ++got;
        }
        xioctl(isp, VIDIOC_QBUF, &ib);
        v4l2_buffer again = buf(cap, V4L2_MEMORY_MMAP, coded.index);
        ioctl(enc, VIDIOC_QBUF, &again);
    }
    double wall = now() - t0, cpu = cpu_now() - c0;
    keep(best, wall, cpu, double(requests() - r0) / frames);
    (void)sink;

    stream(enc, out, false);
    stream(enc, cap, false);
    munmap(stream_buf, stream_len);
    stream(isp, cap, false);
    for (unsigned i = 0; i < n; ++i)
        munmap(pics[i], lens[i]);
    close(enc);
    close(isp);
}

void print(const char *name, unsigned frames, const Result &r)
{
    printf("  %-16s %7.1f frames/s  %5.2f requests/frame  %7.3f ms CPU/frame\n", name, frames / r.wall, r.requests,
           r.cpu * 1000 / frames);
}

} // namespace

int main(int argc, char **argv)
{
    unsigned frames = argc > 1 ? static_cast<unsigned>(atoi(argv[1])) : 200;
    unsigned rounds = argc > 2 ? static_cast<unsigned>(atoi(argv[2])) : 5;
    bool control = argc > 3 && strcmp(argv[3], "control") == 0;
    if (frames == 0 || rounds == 0 || (argc > 3 && !control)) {
        fprintf(stderr, "usage: encoder_bench [frames per round] [rounds] [control]\n");
        return 2;
    }
    // The library prints its set-up notes; the numbers are what matter here.
    fflush(stdout);
    int saved = dup(1), null_fd = open("/dev/null", O_WRONLY);
    if (saved < 0 || null_fd < 0 || dup2(null_fd, 1) < 0)
        return 1;
    close(null_fd);
    // The plain coder's rounds are short: more of them, for the medians.
    unsigned plain_rounds = 6 * rounds + 1;
    plain_pair::Times plain = plain_pair::measure(plain_rounds, [&](int who, double *requests) {
        Result r;
        if (who == plain_pair::LIBRARY)
            library_round(frames, r, kPlain);
        else
            raw_round(frames, r, kPlain);
        *requests = r.requests;
        return r.cpu;
    });
    Result lib, raw, lib2;
    for (unsigned i = 0; i < rounds; ++i) {
        if (control)
            library_round(frames, lib2);
        // Alternate which loop goes first so that neither always meets a
        // warmer (or busier) machine.
        if (i % 2 == 0) {
            library_round(frames, lib);
            raw_round(frames, raw);
        } else {
            raw_round(frames, raw);
            library_round(frames, lib);
        }
    }
    fflush(stdout);
    dup2(saved, 1);
    close(saved);
    printf("capture to encode, %ux%u H.264, %u frames a round, best of %u rounds\n", kWidth, kHeight, frames, rounds);
    print("libkep_vc loop", frames, lib);
    print("raw request loop", frames, raw);
    printf("  library / raw CPU time: %.3f (target <= 1.020); requests per frame %.2f against %.2f\n",
           lib.cpu / raw.cpu, lib.requests, raw.requests);
    if (control)
        printf("  control, library / library CPU time: %.3f (the noise floor)\n", lib.cpu / lib2.cpu);

    plain_pair::print(stdout, "capture to encode, H.264", frames, plain_rounds, plain);
    return 0;
}
