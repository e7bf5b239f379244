#include "audio_test_util.h"
#include "child_capture.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <math.h>

#include <gtest/gtest.h>

namespace kep_test {

namespace {

// Everything the audio platform reads from the environment.
const char *const kPlatformVars[] = {
    "ALSA_CONFIG_PATH",  "KEP_ALSA_CAPTURE_FILE", "KEP_ALSA_PLAYBACK_FILE", "KEP_ALSA_FAULTS",
    "KEP_ALSA_FAULT_FILE", "KEP_AUDIO_STATE_FILE", "KEP_AUDIO_TRACE",
};

// The cross build runs its programs under an emulator, also when a test
// starts them.
std::vector<std::string> emulator_prefix()
{
    std::vector<std::string> prefix;
#ifdef KEP_TEST_EMULATOR
    std::string list = KEP_TEST_EMULATOR; // words separated by '|'
    size_t start = 0;
    while (start <= list.size()) {
        size_t end = list.find('|', start);
        if (end == std::string::npos)
            end = list.size();
        if (end > start)
            prefix.push_back(list.substr(start, end - start));
        start = end + 1;
    }
#endif
    return prefix;
}

} // namespace

std::string bin_path(const std::string &program)
{
    return std::string(KEP_BUILD_DIR) + "/bin/" + program;
}

std::string alsa_conf(const char *flavour)
{
    return std::string(KEP_BUILD_DIR) + "/share/alsa/kep-" + flavour + ".conf";
}

run_result run_program(const std::string &program, const std::vector<std::string> &args,
                       const std::vector<std::string> &env)
{
    return run_path(bin_path(program), args, env);
}

run_result run_path(const std::string &path, const std::vector<std::string> &args,
                    const std::vector<std::string> &env, const std::string &stdout_path)
{
    std::vector<std::string> argv = emulator_prefix();
    argv.push_back(path);
    argv.insert(argv.end(), args.begin(), args.end());
    kep_child::Captured c = kep_child::capture([&] {
        for (const char *v : kPlatformVars)
            unsetenv(v);
        if (!stdout_path.empty()) {
            int fd = open(stdout_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (fd < 0 || dup2(fd, STDOUT_FILENO) < 0) {
                fprintf(stderr, "%s: %s\n", stdout_path.c_str(), strerror(errno));
                _exit(126);
            }
        }
        kep_child::exec_program(argv, env);
        fprintf(stderr, "exec %s: %s\n", argv[0].c_str(), strerror(errno));
    });
    run_result r;
    if (!c.ran) {
        ADD_FAILURE() << "no child: " << strerror(errno);
        return r;
    }
    r.out = std::move(c.out);
    r.err = std::move(c.err);
    if (WIFEXITED(c.wait_status))
        r.status = WEXITSTATUS(c.wait_status);
    else if (WIFSIGNALED(c.wait_status))
        r.status = 128 + WTERMSIG(c.wait_status);
    return r;
}

scratch_dir::scratch_dir()
{
    char tmpl[] = "/tmp/kep-audio-test.XXXXXX";
    const char *d = mkdtemp(tmpl);
    if (!d)
        ADD_FAILURE() << "mkdtemp: " << strerror(errno);
    dir_ = d ? d : "/tmp";
}

scratch_dir::~scratch_dir()
{
    std::string cmd = "rm -rf '" + dir_ + "'";
    if (dir_ != "/tmp" && system(cmd.c_str()) != 0)
        fprintf(stderr, "could not remove %s\n", dir_.c_str());
}

fixed_path_lock::fixed_path_lock()
{
    fd_ = open("/tmp/kep-audio-fixed-paths.lock", O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (fd_ < 0 || flock(fd_, LOCK_EX) != 0)
        ADD_FAILURE() << "cannot lock the fixed /tmp paths: " << strerror(errno);
}

fixed_path_lock::~fixed_path_lock()
{
    if (fd_ >= 0)
        close(fd_);
}

bool read_file(const std::string &path, std::vector<uint8_t> *data)
{
    data->clear();
    FILE *f = fopen(path.c_str(), "rb");
    if (!f)
        return false;
    uint8_t buf[65536];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0)
        data->insert(data->end(), buf, buf + n);
    bool ok = !ferror(f);
    fclose(f);
    return ok;
}

bool write_file(const std::string &path, const std::vector<uint8_t> &data)
{
    FILE *f = fopen(path.c_str(), "wb");
    if (!f)
        return false;
    bool ok = fwrite(data.data(), 1, data.size(), f) == data.size();
    return fclose(f) == 0 && ok;
}

long file_size(const std::string &path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? (long)st.st_size : -1;
}

std::vector<uint8_t> test_signal(size_t frames)
{
    std::vector<uint8_t> out(frames * 2);
    for (size_t n = 0; n < frames; n++) {
        double level = 1000.0 + 20000.0 * (double)(n % 100000) / 100000.0;
        int v = (int)lrint(level * sin(2.0 * M_PI * 700.0 * (double)n / 8000.0)) | 1;
        out[2 * n] = (uint8_t)(v & 0xff);
        out[2 * n + 1] = (uint8_t)((v >> 8) & 0xff);
    }
    return out;
}

std::vector<uint8_t> fault_pattern(size_t bytes)
{
    std::vector<uint8_t> out(bytes);
    for (size_t k = 0; k < bytes; k++)
        out[k] = (uint8_t)(((uint32_t)k * 2654435761u) >> 24);
    return out;
}

// ITU-T G.191 reference coders (alaw_compress, ulaw_compress), on the
// 12- and 14-bit magnitudes of a 16-bit sample, negative values in ones'
// complement.
uint8_t g711_alaw(int16_t linear)
{
    int ix = (linear < 0 ? ~linear : linear) >> 4;
    if (ix > 15) {
        int iexp = 1;
        while (ix > 16 + 15) {
            ix >>= 1;
            iexp++;
        }
        ix -= 16;
        ix += iexp << 4;
    }
    if (linear >= 0)
        ix |= 0x80;
    return (uint8_t)(ix ^ 0x55);
}

uint8_t g711_ulaw(int16_t linear)
{
    int absno = (linear < 0 ? (~linear) >> 2 : linear >> 2) + 33;
    if (absno > 0x1fff)
        absno = 0x1fff;
    int segno = 1;
    for (int i = absno >> 6; i != 0; i >>= 1)
        segno++;
    int high = 0x8 - segno;
    int low = 0xf - ((absno >> segno) & 0xf);
    int out = (high << 4) | low;
    if (linear >= 0)
        out |= 0x80;
    return (uint8_t)out;
}

long first_difference(const std::vector<uint8_t> &a, const std::vector<uint8_t> &b)
{
    size_t n = a.size() < b.size() ? a.size() : b.size();
    for (size_t i = 0; i < n; i++)
        if (a[i] != b[i])
            return (long)i;
    return a.size() == b.size() ? -1 : (long)n;
}

} // namespace kep_test
