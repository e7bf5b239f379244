// libkep_isp stand-in: motion detection on the ISP's pictures.
//
// With the virtual camera platform in the process, the detector takes the ISP
// node's frames through vcam_isp_wait_frame() (looked up at run time, so the
// library also loads without it) and compares each with the one before,
// block by block. Without the platform there are no pictures: the interrupt
// wait sleeps its time-out and reports no motion.
#include "kep_isp.h"

#include <dlfcn.h>
#include <errno.h>
#include <pthread.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

namespace {

constexpr unsigned kColumns = 16, kRows = 12;
static_assert(kColumns * kRows == KEP_ISP_MD_BLOCKS, "192 blocks");
constexpr int kNoPlatformPollMs = 20;

using WaitFrame = int (*)(unsigned long long after, int timeout_ms, const unsigned char **luma, unsigned *width,
                          unsigned *height, unsigned long long *seq);

// A value read and written whole by any thread, on the compiler's own atomic
// operations, so that the stand-in needs no C++ library, not even its
// headers (the camera's small C library has none beside it).
template <typename T> class Atomic {
public:
    constexpr explicit Atomic(T v) : v_(v) {}
    T load() const { return __atomic_load_n(&v_, __ATOMIC_SEQ_CST); }
    void store(T v) { __atomic_store_n(&v_, v, __ATOMIC_SEQ_CST); }

private:
    T v_;
};

// Settings are plain atomics: the enable switch is flipped from signal
// handlers.
Atomic<int32_t> g_enabled{0};
Atomic<int32_t> g_threshold{512};
Atomic<int32_t> g_int_threshold{1};
Atomic<int32_t> g_timeout_ms{1000};

pthread_mutex_t g_blocks_mu = PTHREAD_MUTEX_INITIALIZER; // mask and report
uint32_t g_mask[KEP_ISP_MD_WORDS];
uint32_t g_report[KEP_ISP_MD_WORDS];

// Holds a mutex for one scope; the library stays free of the C++ runtime.
class Lock {
public:
    explicit Lock(pthread_mutex_t &mu) : mu_(mu) { pthread_mutex_lock(&mu_); }
    ~Lock() { pthread_mutex_unlock(&mu_); }
    Lock(const Lock &) = delete;
    Lock &operator=(const Lock &) = delete;

private:
    pthread_mutex_t &mu_;
};

// The detector's memory of the last frame it looked at; one waiter at a time.
struct Previous {
    unsigned char *luma = nullptr;
    size_t capacity = 0;
    unsigned width = 0, height = 0;
    unsigned long long seq = 0;
};
pthread_mutex_t g_detect_mu = PTHREAD_MUTEX_INITIALIZER;
Previous g_previous;

WaitFrame platform_wait()
{
    static Atomic<WaitFrame> cached{nullptr};
    WaitFrame f = cached.load();
    if (f == nullptr) {
        f = reinterpret_cast<WaitFrame>(dlsym(RTLD_DEFAULT, "vcam_isp_wait_frame"));
        cached.store(f);
    }
    return f;
}

long long now_ms()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

void sleep_ms(long long ms)
{
    if (ms <= 0)
        return;
    timespec ts{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000};
    while (nanosleep(&ts, &ts) == -1 && errno == EINTR) {
    }
}

bool keep(const unsigned char *luma, unsigned width, unsigned height, unsigned long long seq)
{
    size_t size = static_cast<size_t>(width) * height;
    if (size > g_previous.capacity) {
        unsigned char *grown = static_cast<unsigned char *>(realloc(g_previous.luma, size));
        if (grown == nullptr)
            return false;
        g_previous.luma = grown;
        g_previous.capacity = size;
    }
    memcpy(g_previous.luma, luma, size);
    g_previous.width = width;
    g_previous.height = height;
    g_previous.seq = seq;
    return true;
}

// Marks the blocks whose mean absolute difference from the previous frame,
// in 1/64 luma steps, exceeds the threshold; returns how many, masked blocks
// left out. Every second pixel of every second line is looked at.
unsigned moving_blocks(const unsigned char *luma, unsigned width, unsigned height, uint32_t out[KEP_ISP_MD_WORDS])
{
    uint32_t mask[KEP_ISP_MD_WORDS];
    {
        Lock lock(g_blocks_mu);
        memcpy(mask, g_mask, sizeof mask);
    }
    long long threshold = g_threshold.load();
    memset(out, 0, sizeof(uint32_t) * KEP_ISP_MD_WORDS);
    unsigned count = 0;
    for (unsigned row = 0; row < kRows; ++row) {
        unsigned y0 = row * height / kRows, y1 = (row + 1) * height / kRows;
        for (unsigned col = 0; col < kColumns; ++col) {
            unsigned block = row * kColumns + col;
            if (mask[block / 32] & (1u << (block % 32)))
                continue;
            unsigned x0 = col * width / kColumns, x1 = (col + 1) * width / kColumns;
            unsigned long long sum = 0, samples = 0;
            for (unsigned y = y0; y < y1; y += 2) {
                const unsigned char *a = luma + static_cast<size_t>(y) * width;
                const unsigned char *b = g_previous.luma + static_cast<size_t>(y) * width;
                for (unsigned x = x0; x < x1; x += 2) {
                    sum += static_cast<unsigned>(abs(a[x] - b[x]));
                    ++samples;
                }
            }
            if (samples != 0 && static_cast<long long>(sum * 64) > threshold * static_cast<long long>(samples)) {
                out[block / 32] |= 1u << (block % 32);
                ++count;
            }
        }
    }
    return count;
}

} // namespace

extern "C" {

int32_t kep_isp_md_enable_set(int32_t enable)
{
    g_enabled.store(enable != 0 ? 1 : 0);
    return 0;
}

int32_t kep_isp_md_threshold_set(int32_t threshold)
{
    g_threshold.store(threshold);
    return 0;
}

int32_t kep_isp_md_int_threshold_set(int32_t count)
{
    g_int_threshold.store(count);
    return 0;
}

int32_t kep_isp_md_block_mask_set(const uint32_t mask[KEP_ISP_MD_WORDS])
{
    if (mask == nullptr)
        return -1;
    Lock lock(g_blocks_mu);
    memcpy(g_mask, mask, sizeof g_mask);
    return 0;
}

int32_t kep_isp_md_int_timeout_set(int32_t timeout_ms)
{
    g_timeout_ms.store(timeout_ms);
    return 0;
}

int32_t kep_isp_md_int_get(uint32_t *status)
{
    if (status == nullptr)
        return -1;
    *status = 0;
    long long timeout = g_timeout_ms.load() < 0 ? 0 : g_timeout_ms.load();
    long long deadline = now_ms() + timeout;
    WaitFrame wait = platform_wait();
    if (wait == nullptr || g_enabled.load() == 0) {
        // No pictures, or a switched-off detector: no interrupt comes.
        sleep_ms(timeout);
        return 0;
    }
    Lock lock(g_detect_mu);
    for (;;) {
        long long remaining = deadline - now_ms();
        if (remaining < 0)
            remaining = 0;
        const unsigned char *luma = nullptr;
        unsigned width = 0, height = 0;
        unsigned long long seq = 0;
        int r = wait(g_previous.seq, static_cast<int>(remaining), &luma, &width, &height, &seq);
        if (r == 0) {
            bool comparable = g_previous.luma != nullptr && g_previous.width == width && g_previous.height == height;
            uint32_t moving[KEP_ISP_MD_WORDS];
            unsigned count = comparable ? moving_blocks(luma, width, height, moving) : 0;
            keep(luma, width, height, seq);
            int32_t needed = g_int_threshold.load() < 1 ? 1 : g_int_threshold.load();
            if (comparable && g_enabled.load() != 0 && count >= static_cast<unsigned>(needed)) {
                Lock blocks(g_blocks_mu);
                memcpy(g_report, moving, sizeof g_report);
                *status = 1;
                return 0;
            }
        } else if (r < 0) {
            // The ISP is not streaming (yet): look again shortly.
            sleep_ms(remaining < kNoPlatformPollMs ? remaining : kNoPlatformPollMs);
        }
        if (r == 1 || remaining == 0)
            return 0;
    }
}

int32_t kep_isp_md_block_report_get(uint32_t report[KEP_ISP_MD_WORDS])
{
    if (report == nullptr)
        return -1;
    Lock lock(g_blocks_mu);
    memcpy(report, g_report, sizeof g_report);
    return 0;
}

} // extern "C"
