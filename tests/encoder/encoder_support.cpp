#include "encoder_support.h"

#include "child_capture.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

namespace enc_test {

namespace {

Outcome spawn(const std::function<void()> &child)
{
    kep_child::Captured c = kep_child::capture(child);
    Outcome o;
    if (!c.ran)
        return o;
    o.out = std::move(c.out);
    o.err = std::move(c.err);
    if (WIFEXITED(c.wait_status))
        o.status = WEXITSTATUS(c.wait_status);
    else if (WIFSIGNALED(c.wait_status))
        o.signal = WTERMSIG(c.wait_status);
    return o;
}

} // namespace

Outcome in_child(const std::function<int()> &fn)
{
    return spawn([&] {
        int r = fn();
        fflush(nullptr);
        _exit(r & 0xff);
    });
}

Outcome run_program(const std::vector<std::string> &argv)
{
    return spawn([&] { kep_child::exec_program(argv, {}); });
}

namespace {

// Matches pattern p (from pi) at text position ti.
bool match_at(const std::string &t, size_t ti, const std::string &p, size_t pi)
{
    static const std::string kNumber = "[0-9]+";
    while (pi < p.size()) {
        if (p.compare(pi, kNumber.size(), kNumber) == 0) {
            size_t n = 0;
            while (ti + n < t.size() && t[ti + n] >= '0' && t[ti + n] <= '9')
                ++n;
            if (n == 0)
                return false;
            ti += n;
            pi += kNumber.size();
        } else {
            if (ti >= t.size() || t[ti] != p[pi])
                return false;
            ++ti;
            ++pi;
        }
    }
    return true;
}

} // namespace

bool has(const std::string &text, const std::string &pattern)
{
    if (!pattern.empty() && pattern[0] == '^')
        return match_at(text, 0, pattern, 1);
    for (size_t i = 0; i <= text.size(); ++i)
        if (match_at(text, i, pattern, 0))
            return true;
    return false;
}

void configure(const std::string &options)
{
    configure_lenient("--strict " + options);
}

void configure_lenient(const std::string &options)
{
    if (vcam_configure(options.c_str()) != 0) {
        fprintf(stderr, "vcam_configure(\"%s\") refused\n", options.c_str());
        abort();
    }
}

long requests()
{
    static const char *const kNames[] = {"QUERYCAP", "CROPCAP", "G_CROP", "S_CROP",   "G_PARM",    "S_PARM",
                                         "ENUM_FMT", "G_FMT",   "S_FMT",  "TRY_FMT",  "REQBUFS",   "QUERYBUF",
                                         "QBUF",     "DQBUF",   "STREAMON", "STREAMOFF", "G_CTRL", "S_CTRL"};
    long sum = 0;
    for (const char *n : kNames)
        sum += vcam_stat((std::string("VIDIOC_") + n).c_str());
    return sum;
}

Pipe::Pipe(uint32_t fourcc, unsigned width, unsigned height)
{
    m = static_cast<kep_m2m *>(calloc(1, sizeof *m));
    strcpy(m->isp_dev_name, "/dev/video0");
    strcpy(m->codec_dev_name, "/dev/video1");
    m->isp_fd = m->codec_fd = -1;
    m->width = width;
    m->height = height;
    m->isp_fps = 200;
    m->codec_fps = 30;
    m->isp_fourcc = KEP_FOURCC_S420;
    m->isp_io = KEP_IO_MMAP;
    m->m2m_buffers = 4;
    m->codec_fourcc = fourcc;
    m->m2m_enable = 1;
    m->codec_in_memory = KEP_IO_USERPTR;
    m->scale = 1;
}

Pipe::~Pipe()
{
    if (codec_inited) {
        if (m->codec_state == 1)
            kep_codec_stop(m);
        kep_codec_uninit(m);
    }
    if (isp_started) {
        kep_isp_stop(m);
        kep_isp_uninit(m);
    }
    if (m->codec_fd >= 0)
        close(m->codec_fd);
    if (m->isp_fd >= 0)
        close(m->isp_fd);
    free(m->codec_cap_buffers);
    free(m->codec_out_buffers);
    free(m);
}

bool Pipe::open_and_start_isp()
{
    m->isp_fd = kep_open_device(m->isp_dev_name);
    m->codec_fd = kep_open_device(m->codec_dev_name);
    if (m->isp_fd < 0 || m->codec_fd < 0)
        return false;
    if (kep_isp_init(m) != 0)
        return false;
    isp_started = true;
    return kep_isp_start(m) == 0;
}

bool Pipe::init_and_start()
{
    if (kep_codec_init(m) != 0)
        return false;
    codec_inited = true;
    return kep_codec_start(m) == 0;
}

std::vector<uint8_t> Pipe::read()
{
    kep_codec_read(m);
    if (m->codec_size == 0)
        return {};
    const kep_buffer &b = m->codec_cap_buffers[m->codec_index];
    const uint8_t *p = static_cast<const uint8_t *>(b.start);
    return std::vector<uint8_t>(p, p + m->codec_size);
}

} // namespace enc_test
