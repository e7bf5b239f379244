#include "isp_harness.h"

#include "child_capture.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <regex>
#include <sstream>

namespace kep_test {

namespace {

std::string read_all(int fd)
{
    std::string text;
    lseek(fd, 0, SEEK_SET);
    char buf[4096];
    ssize_t n;
    while ((n = read(fd, buf, sizeof(buf))) > 0)
        text.append(buf, size_t(n));
    return text;
}

int temp_file()
{
    char path[] = "/tmp/kep_isp_capture_XXXXXX";
    int fd = mkstemp(path);
    if (fd >= 0)
        unlink(path);
    return fd;
}

} // namespace

std::string ChildRun::describe() const
{
    std::ostringstream s;
    if (WIFEXITED(status))
        s << "exited with " << WEXITSTATUS(status);
    else if (WIFSIGNALED(status))
        s << "killed by signal " << WTERMSIG(status);
    if (returned)
        s << ", body returned " << result;
    s << "\n--- stdout ---\n" << out << "--- stderr ---\n" << err;
    return s.str();
}

ChildRun run_in_child(const std::function<int()> &body)
{
    int out[2], err[2], res[2];
    ChildRun run;
    if (pipe(out) || pipe(err) || pipe(res)) {
        ADD_FAILURE() << "pipe: " << strerror(errno);
        return run;
    }
    fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        close(out[0]);
        close(err[0]);
        close(res[0]);
        dup2(out[1], 1);
        dup2(err[1], 2);
        close(out[1]);
        close(err[1]);
        // A child that blocks for good is a failure, not a hung suite.
        alarm(60);
        int r = body();
        fflush(nullptr);
        if (write(res[1], &r, sizeof(r)) != sizeof(r))
            _exit(99);
        _exit(0);
    }
    close(out[1]);
    close(err[1]);
    close(res[1]);
    if (pid < 0) {
        ADD_FAILURE() << "fork: " << strerror(errno);
        return run;
    }
    std::string result_bytes;
    int fds[3] = {out[0], err[0], res[0]};
    std::string *texts[3] = {&run.out, &run.err, &result_bytes};
    kep_child::drain(fds, texts, 3);
    while (waitpid(pid, &run.status, 0) == -1 && errno == EINTR) {
    }
    if (result_bytes.size() == sizeof(int)) {
        run.returned = true;
        memcpy(&run.result, result_bytes.data(), sizeof(int));
    }
    return run;
}

OutputCapture::OutputCapture()
{
    fflush(stdout);
    fflush(stderr);
    for (int i = 0; i < 2; ++i) {
        saved_[i] = dup(i + 1);
        files_[i] = temp_file();
        dup2(files_[i], i + 1);
    }
}

void OutputCapture::finish()
{
    if (done_)
        return;
    done_ = true;
    fflush(stdout);
    fflush(stderr);
    for (int i = 0; i < 2; ++i) {
        dup2(saved_[i], i + 1);
        close(saved_[i]);
        (i == 0 ? out_ : err_) = read_all(files_[i]);
        close(files_[i]);
    }
}

OutputCapture::~OutputCapture()
{
    finish();
}

bool has_line(const std::string &text, const std::string &regex)
{
    std::regex re(regex);
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        if (std::regex_match(line, re))
            return true;
    }
    return false;
}

kep_m2m make_record(uint32_t isp_io, uint32_t buffers)
{
    kep_m2m m2m;
    memset(&m2m, 0, sizeof(m2m));
    snprintf(m2m.isp_dev_name, sizeof(m2m.isp_dev_name), "%s", "/dev/video0");
    m2m.isp_fd = -1;
    m2m.width = 1280;
    m2m.height = 720;
    m2m.isp_fps = 30;
    m2m.isp_fourcc = KEP_FOURCC_S420;
    m2m.isp_io = isp_io;
    m2m.m2m_buffers = buffers;
    return m2m;
}

int child_stream(kep_m2m *m2m, bool start)
{
    m2m->isp_fd = kep_open_device(m2m->isp_dev_name);
    if (m2m->isp_fd < 0 || kep_isp_init(m2m) != 0)
        return kSetupFailed;
    if (start && kep_isp_start(m2m) != 0 && streams_buffers(*m2m))
        return kSetupFailed;
    return 0;
}

void IspTest::configure(const char *options)
{
    std::string strict = std::string("--strict ") + options;
    ASSERT_EQ(vcam_configure(strict.c_str()), 0) << "virtual camera options: " << options;
}

void IspTest::configure_lenient(const char *options)
{
    ASSERT_EQ(vcam_configure(options), 0) << "virtual camera options: " << options;
}

void IspTest::open_node()
{
    m2m_.isp_fd = kep_open_device(m2m_.isp_dev_name);
    ASSERT_GE(m2m_.isp_fd, 0);
}

void IspTest::TearDown()
{
    // A test that failed half-way still releases what the library built.
    if (m2m_.isp_buffers)
        kep_isp_uninit(&m2m_);
    if (m2m_.isp_fd >= 0)
        close(m2m_.isp_fd);
    m2m_.isp_fd = -1;
}

} // namespace kep_test
