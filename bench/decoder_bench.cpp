// Decode and decode-to-encode: CPU time per frame and driver requests per
// frame of the loops through libkep_vc (kep_dec_read/kep_dec_reset, and
// kep_dec2enc/kep_dec2enc_reset into a running H.264 encoder by user
// pointer), against the same loops written as raw V4L2 requests, all on the
// virtual platform (linked in), rounds alternating, best round kept.
//
//   build/bench/decoder_bench [frames per round, default 60] [rounds, default 5]
//
// The stream is 1280x720 H.264 coded once by the virtual encoder from its
// still scene; both loops copy each frame into the decoder's input buffer
// the same way (the bit-stream reader's work is measured by reader_bench).
// The measure is the CPU time of the looping thread, which includes the
// decoding and coding the virtual nodes do inside the requests: the ratio
// of the library loop to the raw loop is the library's overhead.
//
// The decoding and coding inside the requests are most of that CPU time, and
// their noise hides the library; so the same pairs run again on the
// platform's plain engines, with a noise floor of their own (plain_pair.h).
#include "kep_vc.h"
#include "plain_pair.h"
#include "vcam.h"

#include <errno.h>
#include <linux/videodev2.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <time.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace {

constexpr unsigned kWidth = 1280, kHeight = 720, kBuffers = 4;
using Frame = std::vector<uint8_t>;

struct Result {
    double cpu = 1e30;   // seconds, best round
    double last_cpu = 0; // seconds, the last round
    double requests = 0; // per frame
};

double cpu_now()
{
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

long requests()
{
    static const char *const kNames[] = {"QUERYCAP", "G_PARM", "S_PARM", "G_FMT", "S_FMT", "REQBUFS", "QUERYBUF",
                                         "QBUF", "DQBUF", "STREAMON", "STREAMOFF", "G_CTRL", "S_CTRL"};
    long sum = 0;
    for (const char *n : kNames) {
        long v = vcam_stat((std::string("VIDIOC_") + n).c_str());
        sum += v > 0 ? v : 0;
    }
    return sum;
}

[[noreturn]] void fail(const char *what)
{
    fprintf(stderr, "decoder_bench: %s: %s\n", what, strerror(errno));
    exit(1);
}

std::vector<Frame> make_stream(unsigned n)
{
    if (vcam_configure("--still") != 0)
        fail("vcam_configure");
    kep_m2m *e = static_cast<kep_m2m *>(calloc(1, sizeof *e));
    strcpy(e->codec_dev_name, "/dev/video1");
    e->codec_fd = kep_open_device(e->codec_dev_name);
    e->scale = 1;
    e->width = kWidth;
    e->height = kHeight;
    e->isp_fps = e->codec_fps = 30;
    e->codec_fourcc = KEP_FOURCC_H264;
    e->m2m_buffers = 2;
    e->gop = 30;
    std::vector<Frame> frames;
    if (kep_codec_init(e) != 0 || kep_codec_set_gop(e) != 0 || kep_codec_start(e) != 0)
        fail("encoder set-up");
    while (frames.size() < n) {
        kep_codec_read(e);
        if (e->codec_size == 0)
            fail("encoding the stream");
        const uint8_t *p = static_cast<const uint8_t *>(e->codec_cap_buffers[e->codec_index].start);
        frames.emplace_back(p, p + e->codec_size);
        kep_codec_reset(e);
    }
    kep_codec_stop(e);
    kep_codec_uninit(e);
    close(e->codec_fd);
    free(e->codec_cap_buffers);
    free(e);
    return frames;
}

constexpr const char *kCoded = "--still", *kPlain = "--still --plain-codec";

kep_m2m *new_record(bool transcode, const char *platform)
{
    if (vcam_configure(platform) != 0)
        fail("vcam_configure");
    kep_m2m *m = static_cast<kep_m2m *>(calloc(1, sizeof *m));
    m->dec_fd = kep_open_device("/dev/video2");
    m->dec_fourcc = KEP_FOURCC_H264;
    m->width = kWidth;
    m->height = kHeight;
    m->scale = 1;
    m->m2m_buffers = kBuffers;
    if (transcode) {
        strcpy(m->codec_dev_name, "/dev/video1");
        m->codec_fd = kep_open_device(m->codec_dev_name);
        m->m2m_enable = 1;
        m->codec_in_memory = 2;
        m->isp_fourcc = KEP_FOURCC_S420;
        m->codec_fourcc = KEP_FOURCC_H264;
        m->isp_fps = m->codec_fps = 30;
    }
    return m;
}

void put(kep_m2m *m, const Frame &f)
{
    memcpy(m->dec_out_buffers[m->dec_in_index].start, f.data(), f.size());
    m->dec_in_size = static_cast<uint32_t>(f.size());
}

void end_record(kep_m2m *m, bool transcode)
{
    if (transcode) {
        kep_codec_stop(m);
        kep_codec_uninit(m);
        free(m->codec_cap_buffers);
        close(m->codec_fd);
    }
    kep_dec_stop(m);
    close(m->dec_fd);
    free(m);
}

void library_round(const std::vector<Frame> &frames, bool transcode, Result &best, const char *platform = kCoded)
{
    kep_m2m *m = new_record(transcode, platform);
    if (kep_dec_init(m) != 0 || kep_dec_start(m) != 0 ||
        (transcode && (kep_codec_init(m) != 0 || kep_codec_start(m) != 0)))
        fail("library set-up");
    long r0 = requests();
    double c0 = cpu_now();
    for (const Frame &f : frames) {
        put(m, f);
        if (transcode) {
            if (kep_dec2enc(m) <= 0 || m->codec_size == 0)
                fail("kep_dec2enc");
            kep_dec2enc_reset(m);
        } else {
            if (kep_dec_read(m) != 0 || m->dec_size == 0)
                fail("kep_dec_read");
            kep_dec_reset(m);
        }
    }
    double cpu = cpu_now() - c0;
    best.cpu = cpu < best.cpu ? cpu : best.cpu;
    best.last_cpu = cpu;
    best.requests = double(requests() - r0) / frames.size();
    end_record(m, transcode);
}

int wait_readable(int fd)
{
    pollfd p = {fd, POLLIN, 0};
    int r;
    do
        r = poll(&p, 1, -1);
    while (r == -1 && errno == EINTR);
    return r;
}

// The same work in raw requests: the library's set-up calls are reused (not
// timed); the per-frame requests are written out.
void raw_round(const std::vector<Frame> &frames, bool transcode, Result &best, const char *platform = kCoded)
{
    kep_m2m *m = new_record(transcode, platform);
    if (kep_dec_init(m) != 0 || kep_dec_start(m) != 0 ||
        (transcode && (kep_codec_init(m) != 0 || kep_codec_start(m) != 0)))
        fail("raw set-up");
    long r0 = requests();
    double c0 = cpu_now();
    unsigned in = 0, enc_index = 0;
    for (const Frame &f : frames) {
        memcpy(m->dec_out_buffers[in].start, f.data(), f.size());
        v4l2_buffer b;
        memset(&b, 0, sizeof b);
        b.index = in;
        b.type = V4L2_BUF_TYPE_VIDEO_OUTPUT;
        b.memory = V4L2_MEMORY_MMAP;
        b.bytesused = static_cast<uint32_t>(f.size());
        if (ioctl(m->dec_fd, VIDIOC_QBUF, &b) != 0 || wait_readable(m->dec_fd) <= 0)
            fail("decoder input");
        memset(&b, 0, sizeof b);
        b.type = V4L2_BUF_TYPE_VIDEO_OUTPUT;
        b.memory = V4L2_MEMORY_MMAP;
        ioctl(m->dec_fd, VIDIOC_DQBUF, &b);
        memset(&b, 0, sizeof b);
        b.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        b.memory = V4L2_MEMORY_MMAP;
        if (ioctl(m->dec_fd, VIDIOC_DQBUF, &b) != 0 || b.bytesused == 0)
            fail("decoder picture");
        unsigned pic = b.index;
        if (transcode) {
            memset(&b, 0, sizeof b);
            b.index = pic;
            b.type = V4L2_BUF_TYPE_VIDEO_OUTPUT;
            b.memory = V4L2_MEMORY_USERPTR;
            b.m.userptr = reinterpret_cast<unsigned long>(m->dec_cap_buffers[pic].start);
            b.length = m->dec_cap_buffers[pic].length;
            if (ioctl(m->codec_fd, VIDIOC_QBUF, &b) != 0 || wait_readable(m->codec_fd) <= 0)
                fail("encoder input");
            memset(&b, 0, sizeof b);
            b.type = V4L2_BUF_TYPE_VIDEO_OUTPUT;
            b.memory = V4L2_MEMORY_USERPTR;
            ioctl(m->codec_fd, VIDIOC_DQBUF, &b);
            memset(&b, 0, sizeof b);
            b.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
            b.memory = V4L2_MEMORY_MMAP;
            if (ioctl(m->codec_fd, VIDIOC_DQBUF, &b) != 0 || b.bytesused == 0)
                fail("encoder frame");
            enc_index = b.index;
            memset(&b, 0, sizeof b);
            b.index = enc_index;
            b.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
            b.memory = V4L2_MEMORY_MMAP;
            if (ioctl(m->codec_fd, VIDIOC_QBUF, &b) != 0)
                fail("encoder requeue");
        }
        in = in + 1 >= m->m2m_buffers ? 0 : in + 1;
        memset(&b, 0, sizeof b);
        b.index = pic;
        b.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        b.memory = V4L2_MEMORY_MMAP;
        if (ioctl(m->dec_fd, VIDIOC_QBUF, &b) != 0)
            fail("decoder requeue");
    }
    double cpu = cpu_now() - c0;
    best.cpu = cpu < best.cpu ? cpu : best.cpu;
    best.last_cpu = cpu;
    best.requests = double(requests() - r0) / frames.size();
    end_record(m, transcode);
}

} // namespace

int main(int argc, char **argv)
{
    unsigned frames = argc > 1 ? static_cast<unsigned>(atoi(argv[1])) : 60;
    unsigned rounds = argc > 2 ? static_cast<unsigned>(atoi(argv[2])) : 5;
    if (frames == 0 || rounds == 0) {
        fprintf(stderr, "usage: decoder_bench [frames per round] [rounds]\n");
        return 1;
    }
    // The library prints its set-up lines; they are not the benchmark's.
    if (!freopen("/dev/null", "w", stdout))
        fail("stdout");
    std::vector<Frame> stream = make_stream(frames);
    for (bool transcode : {false, true}) {
        Result lib, raw;
        for (unsigned r = 0; r < rounds; ++r) {
            library_round(stream, transcode, lib);
            raw_round(stream, transcode, raw);
        }
        fprintf(stderr,
                "%s 1280x720 H.264%s, %u frames x %u rounds (best CPU time of the looping thread):\n"
                "  libkep_vc     %8.3f ms/frame  %5.2f requests/frame\n"
                "  raw requests  %8.3f ms/frame  %5.2f requests/frame\n"
                "  overhead ratio library/raw: %.4f (target <= 1.02)\n",
                transcode ? "decode-to-encode" : "decode", transcode ? " -> H.264 by user pointer" : "", frames,
                rounds, lib.cpu * 1e3 / frames, lib.requests, raw.cpu * 1e3 / frames, raw.requests, lib.cpu / raw.cpu);
        unsigned plain_rounds = 6 * rounds + 1;
        plain_pair::Times plain = plain_pair::measure(plain_rounds, [&](int who, double *requests) {
            Result r;
            if (who == plain_pair::LIBRARY)
                library_round(stream, transcode, r, kPlain);
            else
                raw_round(stream, transcode, r, kPlain);
            *requests = r.requests;
            return r.last_cpu;
        });
        plain_pair::print(stderr, transcode ? "decode-to-encode, H.264" : "decode, H.264", frames, plain_rounds, plain);
    }
    return 0;
}
