/* Test shim preloaded in front of libkep_isp: records the motion-detection
 * settings that mdcap makes (one line per call, appended to the file named by
 * KEP_MD_TRACE), then forwards each call to the real library. Only write(2)
 * is used on the recording path, so that a call from a signal handler would
 * be safe too. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <fcntl.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

static int trace_fd = -1;

__attribute__((constructor)) static void open_trace(void)
{
    const char *path = getenv("KEP_MD_TRACE");
    if (path && *path)
        trace_fd = open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
}

/* Appends the decimal (or, with hex, 8-digit hexadecimal) form of v. */
static size_t put_number(char *p, uint32_t v, int negative, int hex)
{
    char digits[16];
    size_t n = 0, len = 0;
    if (hex) {
        for (int i = 7; i >= 0; --i)
            digits[n++] = "0123456789abcdef"[(v >> (i * 4)) & 0xf];
    } else {
        do {
            digits[n++] = (char)('0' + v % 10);
            v /= 10;
        } while (v);
        for (size_t i = 0; i < n / 2; ++i) {
            char t = digits[i];
            digits[i] = digits[n - 1 - i];
            digits[n - 1 - i] = t;
        }
    }
    if (negative)
        p[len++] = '-';
    memcpy(p + len, digits, n);
    return len + n;
}

static void record(const char *name, const uint32_t *words, int count, int hex)
{
    if (trace_fd < 0)
        return;
    char line[160];
    size_t len = strlen(name);
    memcpy(line, name, len);
    for (int i = 0; i < count; ++i) {
        line[len++] = ' ';
        int32_t s = (int32_t)words[i];
        len += hex ? put_number(line + len, words[i], 0, 1)
                   : put_number(line + len, s < 0 ? 0u - (uint32_t)s : (uint32_t)s, s < 0, 0);
    }
    line[len++] = '\n';
    (void)!write(trace_fd, line, len);
}

/* mdcap's threads make these calls, the first of each name looks the real
 * one up: the pointer is shared between threads, hence atomic. */
#define FORWARD(name, type, arg)                                            \
    typedef int32_t (*name##_fn)(type);                                     \
    static name##_fn real = 0;                                              \
    name##_fn fn = __atomic_load_n(&real, __ATOMIC_ACQUIRE);                \
    if (!fn) {                                                              \
        fn = (name##_fn)dlsym(RTLD_NEXT, #name);                            \
        __atomic_store_n(&real, fn, __ATOMIC_RELEASE);                      \
    }                                                                       \
    return fn ? fn(arg) : -1

int32_t kep_isp_md_enable_set(int32_t v)
{
    uint32_t w = (uint32_t)v;
    record("enable", &w, 1, 0);
    FORWARD(kep_isp_md_enable_set, int32_t, v);
}

int32_t kep_isp_md_threshold_set(int32_t v)
{
    uint32_t w = (uint32_t)v;
    record("threshold", &w, 1, 0);
    FORWARD(kep_isp_md_threshold_set, int32_t, v);
}

int32_t kep_isp_md_int_threshold_set(int32_t v)
{
    uint32_t w = (uint32_t)v;
    record("int_threshold", &w, 1, 0);
    FORWARD(kep_isp_md_int_threshold_set, int32_t, v);
}

int32_t kep_isp_md_block_mask_set(const uint32_t *mask)
{
    record("block_mask", mask, mask ? 6 : 0, 1);
    FORWARD(kep_isp_md_block_mask_set, const uint32_t *, mask);
}

int32_t kep_isp_md_int_timeout_set(int32_t v)
{
    uint32_t w = (uint32_t)v;
    record("int_timeout", &w, 1, 0);
    FORWARD(kep_isp_md_int_timeout_set, int32_t, v);
}
