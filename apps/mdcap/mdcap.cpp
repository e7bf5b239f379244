// mdcap: keeps the ISP streaming on one thread while a second thread runs
// the ISP's motion detection and reports every detection on standard error.
// It runs until SIGINT, SIGQUIT or SIGTERM.
#include "kep_isp.h"
#include "kep_vc.h"

#include <getopt.h>
#include <pthread.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

namespace {

// Accepted for compatibility with the other capture tools; nothing uses them.
int frame_count = 0;
const char *file_path = "./";

void usage(FILE *out, const char *prog)
{
    fprintf(out,
            "Usage: %s [options]/n\n"
            "Options:\n"
            "-h Print this message\n"
            "-W | --width        Frame Width\n"
            "-H | --height       Frame Height\n"
            "-n | --frames       Number of frames to num [1000]\n"
            "-p | --filename     File save Path\n"
            "-i | --fps      (optional) ISP Frame Rate (default=30) \n"
            "-B | --buffer       (optional) V4L2 buffer (default=4)\n",
            prog);
}

// "%d" as the option parser reads numbers: a value that does not parse
// leaves the field as it was.
template <typename T> void read_number(const char *arg, T *field)
{
    int value;
    if (sscanf(arg, "%d", &value) == 1)
        *field = T(value);
}

void parse_options(int argc, char **argv, kep_m2m *m2m)
{
    static const struct option long_options[] = {
        {"help", no_argument, nullptr, 'h'},      {"width", required_argument, nullptr, 'W'},
        {"height", required_argument, nullptr, 'H'}, {"fps", required_argument, nullptr, 'i'},
        {"frames", required_argument, nullptr, 'n'}, {"filename", required_argument, nullptr, 'p'},
        {"buffer", required_argument, nullptr, 'B'}, {nullptr, 0, nullptr, 0},
    };
    // The usage text is the whole answer to a bad command line.
    opterr = 0;
    for (;;) {
        int c = getopt_long(argc, argv, "hW:H:i:n:p:b:B:", long_options, nullptr);
        if (c == -1)
            break;
        switch (c) {
        case 'h':
            usage(stdout, argv[0]);
            exit(0);
        case 'W':
            read_number(optarg, &m2m->width);
            break;
        case 'H':
            read_number(optarg, &m2m->height);
            break;
        case 'i':
            read_number(optarg, &m2m->isp_fps);
            break;
        case 'n':
            read_number(optarg, &frame_count);
            break;
        case 'p':
            file_path = optarg;
            break;
        case 'B':
            read_number(optarg, &m2m->m2m_buffers);
            break;
        default: // -b, unknown options, missing arguments
            usage(stderr, argv[0]);
            exit(1);
        }
    }
}

// The three ending signals are blocked in every thread and taken by the main
// thread in sigwait(), so that what ends the process (motion detection off,
// then exit with its stdio flush and at-exit work) runs as ordinary code, never
// inside a signal handler that interrupted a thread in the middle of stdio or
// of the library, and a second signal cannot interrupt it: it stays pending.
void ending_signals(sigset_t *set)
{
    sigemptyset(set);
    sigaddset(set, SIGINT);
    sigaddset(set, SIGQUIT);
    sigaddset(set, SIGTERM);
}

// Blocked before the threads start, which inherit the mask.
void block_ending_signals()
{
    sigset_t set;
    ending_signals(&set);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

[[noreturn]] void end_on_signal()
{
    kep_isp_md_enable_set(0);
    exit(0);
}

// Set by the capture thread when it ends, which it does only after a failed
// kep_isp_init.
bool capture_done = false;

// Waits for an ending signal; until_capture_ends: returns once the capture
// thread has ended (looked at every 200 ms) if no signal came first.
void wait_for_signal(bool until_capture_ends)
{
    sigset_t set;
    ending_signals(&set);
    if (!until_capture_ends) {
        int sig = 0;
        while (sigwait(&set, &sig) != 0) {
        }
        end_on_signal();
    }
    while (!__atomic_load_n(&capture_done, __ATOMIC_ACQUIRE)) {
        struct timespec pause = {0, 200 * 1000 * 1000};
        if (sigtimedwait(&set, nullptr, &pause) > 0)
            end_on_signal();
    }
}

// Owns the ISP stream and the record: takes and returns frames without
// looking at them, which keeps the ISP (and its motion detector) running.
void *capture_thread(void *arg)
{
    kep_m2m *m2m = static_cast<kep_m2m *>(arg);
    fprintf(stderr, "============kep_m2m_thread============\n");

    m2m->isp_fd = kep_open_device(m2m->isp_dev_name);
    if (kep_isp_init(m2m) == 0) {
        kep_isp_start(m2m);
        for (;;) {
            kep_isp_read(m2m);
            kep_isp_reset(m2m);
        }
    }

    kep_isp_stop(m2m);
    kep_isp_uninit(m2m);
    close(m2m->isp_fd);
    free(m2m);
    __atomic_store_n(&capture_done, true, __ATOMIC_RELEASE);
    return nullptr;
}

void *md_thread(void *)
{
    fprintf(stderr, "============kep_md_thread============\n");

    uint32_t mask[6] = {0, 0, 0, 0, 0, 0};
    kep_isp_md_enable_set(0);
    kep_isp_md_threshold_set(512);
    kep_isp_md_int_threshold_set(1);
    kep_isp_md_block_mask_set(mask);
    kep_isp_md_int_timeout_set(1000);
    kep_isp_md_enable_set(1);

    // kep_isp_md_int_get waits for an interrupt (or its time-out) and so
    // sets the pace of this loop.
    for (;;) {
        uint32_t status = 0;
        kep_isp_md_int_get(&status);
        if (status == 0) {
            fprintf(stderr, "motion detection (have no motion status = %d)\n", int(status));
            continue;
        }
        uint32_t report[6] = {0, 0, 0, 0, 0, 0};
        fprintf(stderr, "Detected Moving!\n");
        kep_isp_md_block_report_get(report);
        fprintf(stderr, "report:%08x %08x %08x %08x %08x %08x\n", report[0], report[1], report[2], report[3],
                report[4], report[5]);
    }
    return nullptr;
}

} // namespace

int main(int argc, char **argv)
{
    kep_m2m *m2m = static_cast<kep_m2m *>(calloc(1, sizeof(kep_m2m)));
    if (!m2m) {
        fprintf(stderr, "Out of memory\n");
        return 1;
    }
    snprintf(m2m->isp_dev_name, sizeof(m2m->isp_dev_name), "%s", "/dev/video0");
    m2m->m2m_enable = 1;
    m2m->isp_io = KEP_IO_MMAP;
    m2m->width = 1280;
    m2m->height = 720;
    m2m->isp_fps = 30;
    m2m->m2m_buffers = 2;
    m2m->isp_fourcc = KEP_FOURCC_S420;

    parse_options(argc, argv, m2m);
    // The library's progress notes go to standard output; a line at a time
    // keeps them in order with the reports when both end up in one log.
    setvbuf(stdout, nullptr, _IOLBF, 0);
    block_ending_signals();

    pthread_t capture, md;
    bool capture_started = pthread_create(&capture, nullptr, capture_thread, m2m) == 0;
    if (!capture_started)
        fprintf(stderr, "exit thread creation failed");
    bool md_started = pthread_create(&md, nullptr, md_thread, m2m) == 0;
    if (!md_started)
        fprintf(stderr, "exit thread creation failed");

    // The motion-detection thread never ends: then only a signal ends the
    // process. Otherwise the capture thread may end by itself, and so does
    // the program after it.
    if (md_started)
        wait_for_signal(false);
    if (capture_started) {
        wait_for_signal(true);
        pthread_join(capture, nullptr);
    }
    return 0;
}
