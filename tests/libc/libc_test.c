/* libkep_vc in C on the C library alone: the parts that need no driver (bit
 * reader, frame splitting of built and committed streams, the reader's and
 * the device opening's failures, datastamp files), run wherever the library
 * builds, the camera's kind of small C library included (scripts/test.sh
 * musl), where the C++ test framework cannot be built. Also the helpers of
 * the aud32tool round trip (tone, compare).
 *
 * Usage: libc_test CASE [ARGS]; exit status 0 when every check held. */
#define _GNU_SOURCE
#include "kep_vc.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

static int failures;

#define CHECK(cond, ...)                                                                                   \
    do {                                                                                                   \
        if (!(cond)) {                                                                                     \
            fprintf(stderr, "%s:%d: check failed: %s: ", __FILE__, __LINE__, #cond);                       \
            fprintf(stderr, __VA_ARGS__);                                                                  \
            fputc('\n', stderr);                                                                           \
            failures++;                                                                                    \
        }                                                                                                  \
    } while (0)

/* ---- bytes and files -------------------------------------------------- */

typedef struct {
    uint8_t *p;
    size_t n, cap;
} bytes;

static void put(bytes *b, const void *data, size_t n)
{
    if (b->n + n > b->cap) {
        b->cap = (b->n + n) * 2 + 64;
        b->p = realloc(b->p, b->cap);
        if (b->p == NULL)
            abort();
    }
    if (n > 0)
        memcpy(b->p + b->n, data, n);
    b->n += n;
}

static void put_byte(bytes *b, uint8_t v)
{
    put(b, &v, 1);
}

static void put_run(bytes *b, uint8_t v, size_t n)
{
    while (n-- > 0)
        put_byte(b, v);
}

/* Bytes that hold neither 00 nor FF, so that they form no start code and no
 * marker. */
static void put_body(bytes *b, size_t n, uint32_t seed)
{
    uint32_t x = seed * 2654435761u + 1;
    while (n-- > 0) {
        x = x * 1103515245u + 12345u;
        put_byte(b, (uint8_t)(1 + (x >> 16) % 254));
    }
}

static char *temp_file(const bytes *b)
{
    static char path[64];
    snprintf(path, sizeof path, "/tmp/kep-libc-XXXXXX");
    int fd = mkstemp(path);
    if (fd < 0 || (b->n > 0 && write(fd, b->p, b->n) != (ssize_t)b->n)) {
        perror("temp file");
        exit(2);
    }
    close(fd);
    return path;
}

static bytes load(const char *path)
{
    bytes b = {0};
    FILE *f = fopen(path, "rb");
    if (f == NULL) {
        perror(path);
        exit(2);
    }
    uint8_t chunk[4096];
    size_t n;
    while ((n = fread(chunk, 1, sizeof chunk, f)) > 0)
        put(&b, chunk, n);
    fclose(f);
    return b;
}

/* Standard error of the calls between the two, kept in a file. */
static int saved_err = -1;
static FILE *err_file;

static void capture_stderr(void)
{
    fflush(stderr);
    err_file = tmpfile();
    saved_err = dup(2);
    dup2(fileno(err_file), 2);
}

static void captured_stderr(char *out, size_t size)
{
    fflush(stderr);
    dup2(saved_err, 2);
    close(saved_err);
    rewind(err_file);
    size_t n = fread(out, 1, size - 1, err_file);
    out[n] = '\0';
    fclose(err_file);
}

/* Runs fn(arg) in a child process; returns its wait status, with what it
 * printed on standard error in err. */
static int in_child(void (*fn)(const void *), const void *arg, char *err, size_t size)
{
    fflush(stdout);
    capture_stderr();
    pid_t pid = fork();
    if (pid == 0) {
        fn(arg);
        _exit(0);
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    captured_stderr(err, size);
    return status;
}

/* ---- running the reader ----------------------------------------------- */

enum { MAX_FRAMES = 64, DST_SIZE = 1 << 20 };

typedef struct {
    int32_t code[MAX_FRAMES];
    bytes frame[MAX_FRAMES];
    size_t calls;
} frames;

static void free_frames(frames *f)
{
    for (size_t i = 0; i < f->calls; i++)
        free(f->frame[i].p);
}

static frames read_file(const bytes *stream, uint32_t fourcc)
{
    frames f;
    memset(&f, 0, sizeof f);
    char *path = temp_file(stream);
    kep_m2m m2m;
    memset(&m2m, 0, sizeof m2m);
    m2m.dec_fourcc = fourcc;
    m2m.dec_fd = -1; /* no decoder: the controls fail and are reported */
    uint8_t *dst = malloc(DST_SIZE);
    if (kep_bs_reader_init(&m2m, path) != 0) {
        CHECK(0, "reader init on %s", path);
    } else {
        while (f.calls < MAX_FRAMES) {
            int32_t n = kep_bs_reader_read_frame(&m2m, NULL, 0, dst, DST_SIZE);
            f.code[f.calls] = n;
            if (n > 0)
                put(&f.frame[f.calls], dst, (size_t)n);
            f.calls++;
            if (n == -1)
                break;
        }
        CHECK(kep_bs_reader_uninit(&m2m) == 0, "uninit");
    }
    free(dst);
    unlink(path);
    return f;
}

static int32_t read_memory(const bytes *data, uint32_t fourcc, bytes *out)
{
    kep_m2m m2m;
    memset(&m2m, 0, sizeof m2m);
    m2m.dec_fourcc = fourcc;
    m2m.dec_fd = -1;
    uint8_t *copy = malloc(data->n + 1), *dst = malloc(DST_SIZE);
    memcpy(copy, data->p, data->n);
    int32_t n = -1;
    if (kep_bs_reader_init(&m2m, "/dev/mem") == 0) {
        n = kep_bs_reader_read_frame(&m2m, copy, (uint32_t)data->n, dst, DST_SIZE);
        if (n > 0)
            put(out, dst, (size_t)n);
        kep_bs_reader_uninit(&m2m);
    }
    free(copy);
    free(dst);
    return n;
}

/* A returned frame is want followed by zeros up to a multiple of 64; up to
 * slack more bytes may have been delivered before the padding (an MJPEG
 * frame keeps its place for the fill bytes it had, now zeros). */
static int is_padded(const bytes *frame, int32_t code, const uint8_t *want, size_t n, size_t slack)
{
    size_t low = (n + 63) / 64 * 64, high = (n + slack + 63) / 64 * 64;
    if (code < 0 || (size_t)code < low || (size_t)code > high || code % 64 != 0 || frame->n != (size_t)code ||
        memcmp(frame->p, want, n) != 0)
        return 0;
    for (size_t i = n; i < frame->n; i++)
        if (frame->p[i] != 0)
            return 0;
    return 1;
}

/* ---- cases -------------------------------------------------------------- */

static void read_33_bits(const void *unused)
{
    (void)unused;
    uint8_t data[8] = {0};
    bits_handler h;
    bits_handler_init(&h, data, sizeof data);
    read_bits(&h, 33);
}

/* ue_exp_golomb on 1, 010, 011, 00100; read_bits across bytes from any bit. */
static void case_bits(void)
{
    uint8_t codes[] = {0xA6, 0x40}; /* 1 010 011 00100 */
    bits_handler h;
    bits_handler_init(&h, codes, sizeof codes);
    for (uint32_t want = 0; want < 4; want++) {
        uint32_t got = ue_exp_golomb(&h);
        CHECK(got == want, "ue_exp_golomb gave %u for %u", got, want);
    }
    /* More than 32 bits at once is an assertion naming the program. */
    char err[512];
    int status = in_child(read_33_bits, NULL, err, sizeof err);
    CHECK(WIFSIGNALED(status) && WTERMSIG(status) == SIGABRT, "read_bits(33): status %#x", status);
    const char *line = strstr(err, "libc_test: kep_vc_lib:");
    CHECK(line == err && strstr(err, ": read_bits: Assertion `bits < 33' failed.\n") != NULL,
          "read_bits(33) printed \"%s\"", err);
    static const struct {
        int first, n;
        uint32_t want;
    } reads[] = {{0, 32, 0xDEADBEEFu}, {4, 12, 0xEADu}, {3, 7, 0x7Au}, {7, 18, 0x15B7Du}, {8, 8, 0xADu}};
    uint8_t data[] = {0xDE, 0xAD, 0xBE, 0xEF};
    for (size_t i = 0; i < sizeof reads / sizeof reads[0]; i++) {
        bits_handler_init(&h, data, sizeof data);
        read_bits(&h, reads[i].first);
        uint32_t got = read_bits(&h, reads[i].n);
        CHECK(got == reads[i].want, "read_bits(%d) after %d bits: %#x, want %#x", reads[i].n, reads[i].first, got,
              reads[i].want);
    }
}

/* One NAL unit: start code, header byte, leading bytes, a body free of
 * start codes. */
static void put_nal(bytes *b, uint8_t header, uint8_t lead, size_t body, uint32_t seed)
{
    static const uint8_t start[] = {0, 0, 0, 1};
    put(b, start, sizeof start);
    put_byte(b, header);
    put_byte(b, lead);
    put_body(b, body, seed);
}

/* SPS PPS IDR, P (two slices), P, P as three... frames by the rule, big
 * enough to run over several 8192-byte reads; in file mode and memory mode. */
static void case_h264_frames(void)
{
    /* {header, first byte of the payload, body, frame it opens (0: none)}:
     * 0xE0 is ue 0 for first_mb_in_slice, 0x50 is ue 1 (a later slice);
     * the PPS byte 0xE8 is ue 0, ue 0, CABAC 1. */
    static const struct {
        uint8_t header, lead;
        size_t body;
        int opens;
    } units[] = {{0x67, 0x42, 14, 1},  {0x68, 0xE8, 6, 0},    {0x65, 0xE0, 6000, 0}, {0x41, 0xE0, 4100, 1},
                 {0x41, 0x50, 3000, 0}, {0x06, 0x05, 40, 0},   {0x41, 0xE0, 2900, 1}, {0x41, 0xE0, 9000, 1}};
    enum { UNITS = sizeof units / sizeof units[0] };
    bytes s = {0};
    size_t opens_at[UNITS + 1], frames_made = 0;
    for (size_t i = 0; i < UNITS; i++) {
        if (units[i].opens)
            opens_at[frames_made++] = s.n;
        put_nal(&s, units[i].header, units[i].lead, units[i].body, (uint32_t)i + 1);
    }
    opens_at[frames_made] = s.n;
    /* A start code cut by a read boundary is not found: keep them clear. */
    for (size_t at = 8192; at < s.n; at += 8192)
        for (size_t i = 0; i < frames_made; i++)
            CHECK(opens_at[i] + 3 < at || opens_at[i] >= at, "start code at %zu straddles a read", opens_at[i]);

    frames f = read_file(&s, KEP_FOURCC_H264);
    CHECK(f.calls == frames_made + 1, "%zu calls for %zu frames", f.calls, frames_made);
    for (size_t i = 0; i < frames_made && i < f.calls; i++)
        CHECK(is_padded(&f.frame[i], f.code[i], s.p + opens_at[i], opens_at[i + 1] - opens_at[i], 0),
              "file frame %zu: %d bytes, want %zu padded", i, f.code[i], opens_at[i + 1] - opens_at[i]);
    CHECK(f.calls > 0 && f.code[f.calls - 1] == -1, "the call after the last frame gives %d", f.code[f.calls - 1]);
    free_frames(&f);

    /* Memory mode: the first frame of the data handed over; without a
     * second boundary the whole data. */
    for (size_t i = 0; i < frames_made; i++) {
        bytes rest = {0}, out = {0};
        put(&rest, s.p + opens_at[i], s.n - opens_at[i]);
        int32_t n = read_memory(&rest, KEP_FOURCC_H264, &out);
        CHECK(is_padded(&out, n, rest.p, opens_at[i + 1] - opens_at[i], 0), "memory frame %zu: %d bytes", i, n);
        free(rest.p);
        free(out.p);
    }
    free(s.p);
}

/* One baseline JPEG: SOI, APP0, DQT, SOF0 (2x2 first component), DHT, SOS,
 * scan data with an FF 00 stuffing pair every few dozen bytes and, if asked,
 * restart markers, fill bytes, EOI. scan gets the frame as delivered. */
typedef struct {
    size_t scan_at, eoi_at;   /* where the scan and the EOI's FF are */
    size_t stuffed_at, rst_at; /* an FF of a stuffing pair, of a restart marker */
} jpeg_layout;

static void put_segment(bytes *b, uint8_t code, size_t payload, uint8_t value)
{
    uint8_t head[] = {0xFF, code, (uint8_t)((payload + 2) >> 8), (uint8_t)(payload + 2)};
    put(b, head, sizeof head);
    put_run(b, value, payload);
}

static jpeg_layout put_jpeg(bytes *b, bytes *scan, size_t scan_bytes, int restart, size_t fill)
{
    jpeg_layout l = {0, 0, 0, 0};
    static const uint8_t soi[] = {0xFF, 0xD8};
    put(b, soi, 2);
    put_segment(b, 0xE0, 14, 'J');
    put_segment(b, 0xDB, 130, 0x00);
    b->p[b->n - 65] = 0x01;
    static const uint8_t sof[] = {0xFF, 0xC0, 0, 17, 8, 0, 16, 0, 16, 3, 1, 0x22, 0, 2, 0x11, 1, 3, 0x11, 1};
    put(b, sof, sizeof sof);
    put_segment(b, 0xC4, 29, 0x21);
    static const uint8_t sos[] = {0xFF, 0xDA, 0, 12, 3, 1, 0x00, 2, 0x11, 3, 0x11, 0, 63, 0};
    put(b, sos, sizeof sos);
    l.scan_at = b->n;
    size_t start = scan->n;
    for (size_t i = 0; i < scan_bytes; i++) {
        if (i % 37 == 36) {
            if (l.stuffed_at == 0)
                l.stuffed_at = l.scan_at + scan->n - start;
            put_byte(scan, 0xFF);
            put_byte(scan, 0x00);
        } else if (restart && i % 300 == 299) {
            if (l.rst_at == 0)
                l.rst_at = l.scan_at + scan->n - start;
            put_byte(scan, 0xFF);
            put_byte(scan, (uint8_t)(0xD0 + i / 300 % 8));
        } else {
            put_body(scan, 1, (uint32_t)i);
        }
    }
    put(b, scan->p + start, scan->n - start);
    put_run(b, 0xFF, fill);
    l.eoi_at = b->n;
    static const uint8_t eoi[] = {0xFF, 0xD9};
    put(b, eoi, 2);
    put(scan, eoi, 2);
    return l;
}

/* Two images, the first placed so that a chosen byte of it is the last of the
 * first 8192-byte read: each frame is the scan data through FF D9. */
static void case_mjpeg_frames(void)
{
    enum { AT_STUFFED, AT_EOI, AT_AFTER_EOI, AT_RST, AT_SCAN, AT_NONE };
    static const struct {
        const char *name;
        int restart;
        size_t fill;
        int last_byte_of_read;
    } cases[] = {{"stuffed FF ends the read", 1, 0, AT_STUFFED},
                 {"FF of the end of image ends the read", 0, 0, AT_EOI},
                 {"D9 of the end of image ends the read", 0, 3, AT_AFTER_EOI},
                 {"FF of a restart marker ends the read", 1, 0, AT_RST},
                 {"SOS segment ends the read", 1, 2, AT_SCAN},
                 {"fill bytes rewritten in place", 1, 5, AT_NONE}};
    for (size_t c = 0; c < sizeof cases / sizeof cases[0]; c++) {
        bytes probe = {0}, scan = {0};
        jpeg_layout l = put_jpeg(&probe, &scan, 3000, cases[c].restart, cases[c].fill);
        size_t marks[] = {l.stuffed_at, l.eoi_at, l.eoi_at + 1, l.rst_at, l.scan_at - 1, 100};
        size_t mark = marks[cases[c].last_byte_of_read];
        free(probe.p);
        free(scan.p);

        bytes s = {0}, scans[2] = {{0}, {0}};
        put_run(&s, 0x00, 8191 - mark); /* no 0xFF in front */
        put_jpeg(&s, &scans[0], 3000, cases[c].restart, cases[c].fill);
        put_jpeg(&s, &scans[1], 5000, 1, 1);
        frames f = read_file(&s, KEP_FOURCC_MJPG);
        CHECK(f.calls == 3, "%s: %zu calls", cases[c].name, f.calls);
        size_t fills[2] = {cases[c].fill, 1};
        for (size_t i = 0; i < 2 && i < f.calls; i++)
            CHECK(is_padded(&f.frame[i], f.code[i], scans[i].p, scans[i].n, fills[i]), "%s: frame %zu of %d bytes",
                  cases[c].name, i, f.code[i]);
        free_frames(&f);
        free(s.p);
        free(scans[0].p);
        free(scans[1].p);
    }
}

/* The committed real streams (scripts/make_test_streams.sh). H.264: the
 * frames put back together are the stream from its first start code, each
 * ending where a start code follows. MJPEG: one frame per image, ending in
 * FF D9 with no fill byte in front. */
static void case_committed_streams(void)
{
    static const char *h264[] = {"h264_cabac_slices.h264", "h264_cavlc_idr.h264"};
    static const char *mjpeg[] = {"mjpeg_420_restart.mjpeg", "mjpeg_422.mjpeg"};
    char path[512];
    for (size_t k = 0; k < 2; k++) {
        snprintf(path, sizeof path, "%s/tests/reader/streams/%s", KEP_SOURCE_DIR, h264[k]);
        bytes s = load(path);
        frames f = read_file(&s, KEP_FOURCC_H264);
        size_t at = 0;
        while (at + 4 <= s.n && memcmp(s.p + at, "\0\0\0\1", 4) != 0)
            at++;
        size_t i = 0;
        for (; i < f.calls && f.code[i] > 0; i++) {
            /* The longest prefix of the frame that continues the stream up
             * to a start code (or its end), the rest being zero padding. */
            size_t n = (size_t)f.code[i], len = n + 1, ok = 0;
            while (len-- > 0 && !ok) {
                if (at + len > s.n || (len < n && f.frame[i].p[len] != 0))
                    continue;
                ok = memcmp(f.frame[i].p, s.p + at, len) == 0 &&
                     (at + len == s.n || (at + len + 4 <= s.n && memcmp(s.p + at + len, "\0\0\0\1", 4) == 0));
                if (ok)
                    at += len;
            }
            CHECK(ok, "%s: frame %zu does not continue the stream at byte %zu", h264[k], i, at);
            if (!ok)
                break;
        }
        CHECK(at == s.n && i > 1, "%s: %zu frames cover %zu of %zu bytes", h264[k], i, at, s.n);
        free_frames(&f);
        free(s.p);

        snprintf(path, sizeof path, "%s/tests/reader/streams/%s", KEP_SOURCE_DIR, mjpeg[k]);
        s = load(path);
        size_t images = 0;
        for (size_t j = 0; j + 1 < s.n; j++)
            images += s.p[j] == 0xFF && s.p[j + 1] == 0xD8;
        f = read_file(&s, KEP_FOURCC_MJPG);
        CHECK(f.calls == images + 1 && images > 1, "%s: %zu calls for %zu images", mjpeg[k], f.calls, images);
        for (i = 0; i < f.calls && f.code[i] > 0; i++) {
            const bytes *fr = &f.frame[i];
            size_t n = fr->n;
            while (n > 0 && fr->p[n - 1] == 0)
                n--;
            CHECK(n >= 3 && fr->p[n - 2] == 0xFF && fr->p[n - 1] == 0xD9 && fr->p[n - 3] != 0xFF,
                  "%s: frame %zu does not end at its end of image", mjpeg[k], i);
        }
        free_frames(&f);
        free(s.p);
    }
}

/* The reader's failures and their messages (perror texts in the C
 * library's words). */
static void case_reader_failures(void)
{
    kep_m2m m2m;
    memset(&m2m, 0, sizeof m2m);
    char err[512], want[512];
    CHECK(kep_bs_reader_init(NULL, "/dev/mem") == -1, "null record");
    CHECK(kep_bs_reader_read_frame(NULL, NULL, 0, NULL, 0) == -1, "null record");
    CHECK(kep_bs_reader_uninit(NULL) == -1, "null record");

    m2m.dec_fourcc = KEP_FOURCC_H264;
    capture_stderr();
    int r = kep_bs_reader_init(&m2m, "/nonexistent/stream.h264");
    captured_stderr(err, sizeof err);
    snprintf(want, sizeof want, "open input file failed: %s\n", strerror(ENOENT));
    CHECK(r == -1 && m2m.bs_reader == NULL, "missing file: %d", r);
    CHECK(strcmp(err, want) == 0, "missing file printed \"%s\"", err);

    capture_stderr();
    r = kep_bs_reader_init(&m2m, "");
    captured_stderr(err, sizeof err);
    CHECK(r == -1 && strncmp(err, "input component failed: ", 24) == 0, "empty path: %d, \"%s\"", r, err);

    m2m.dec_fourcc = KEP_FOURCC('Y', 'U', 'Y', 'V');
    CHECK(kep_bs_reader_init(&m2m, "/dev/mem") == -1 && m2m.bs_reader == NULL, "unknown format");
    /* In memory mode without a frame start: -2. */
    m2m.dec_fourcc = KEP_FOURCC_H264;
    bytes none = {0}, out = {0};
    put_body(&none, 300, 7);
    CHECK(read_memory(&none, KEP_FOURCC_H264, &out) == -2, "no frame start in memory");
    free(none.p);
    free(out.p);
}

static void open_device(const void *path)
{
    kep_open_device((const char *)path);
}

/* kep_open_device in a child process: anything but a character device ends
 * the process with status 1 after its message. A character device that is
 * no V4L2 node opens, blocking, and refuses the driver's requests. */
static void case_open_device(void)
{
    char file[] = "/tmp/kep-libc-nodev-XXXXXX";
    int tmp = mkstemp(file);
    close(tmp);
    char missing_msg[256], file_msg[256];
    snprintf(missing_msg, sizeof missing_msg, "Cannot identify '/nonexistent/video9': %d, %s\n", ENOENT,
             strerror(ENOENT));
    snprintf(file_msg, sizeof file_msg, "%s is no device\n", file);
    const struct {
        const char *path, *message;
    } cases[] = {{"/nonexistent/video9", missing_msg}, {file, file_msg}, {"/tmp", "/tmp is no device\n"}};
    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; i++) {
        char err[512];
        int status = in_child(open_device, cases[i].path, err, sizeof err);
        CHECK(WIFEXITED(status) && WEXITSTATUS(status) == 1, "%s: status %#x", cases[i].path, status);
        CHECK(strcmp(err, cases[i].message) == 0, "%s: printed \"%s\"", cases[i].path, err);
    }
    unlink(file);

    int fd = kep_open_device("/dev/null");
    int flags = fcntl(fd, F_GETFL);
    CHECK(fd >= 0 && flags != -1 && (flags & O_NONBLOCK) == 0 && (flags & O_ACCMODE) == O_RDWR,
          "/dev/null: fd %d, flags %#x", fd, flags);
    kep_m2m m2m;
    memset(&m2m, 0, sizeof m2m);
    m2m.codec_fd = fd;
    m2m.codec_fourcc = KEP_FOURCC_H264;
    m2m.qp = 30;
    char err[512];
    capture_stderr();
    int r = kep_codec_set_qp(&m2m, 0x00990A5E);
    captured_stderr(err, sizeof err);
    /* The kernel refuses a request /dev/null does not know with ENOTTY;
     * qemu-arm refuses one it cannot translate with ENOSYS. */
    int ok = 0;
    for (size_t i = 0; i < 2 && !ok; i++) {
        char want[256];
        snprintf(want, sizeof want, ": ioctl: %s\n", strerror(i == 0 ? ENOTTY : ENOSYS));
        ok = strlen(err) > strlen(want) && strcmp(err + strlen(err) - strlen(want), want) == 0;
    }
    CHECK(r == -1 && strncmp(err, "kep_codec_set_qp:", 17) == 0 && ok,
          "set_qp on a device that is no V4L2 node: %d, \"%s\"", r, err);
    close(fd);
}

/* Datastamp settings on plain files in a folder, as the driver's files. */
static void case_datastamp(void)
{
    char dir[] = "/tmp/kep-libc-cds-XXXXXX";
    CHECK(mkdtemp(dir) != NULL, "mkdtemp");
    const int32_t start[2] = {16, 32}, dim[2] = {64, 48};
    CHECK(kep_cds_set_position(dir, start, dim) == 0, "set_position");
    char path[128];
    const struct {
        const char *file, *written, *driver_text;
    } files[] = {{"ds_position", "0x10 0x20", "start(0x10, 0x20)"}, {"ds_dimension", "0x40 0x30", "dim(0x40, 0x30)"}};
    for (size_t i = 0; i < 2; i++) {
        snprintf(path, sizeof path, "%s/%s", dir, files[i].file);
        bytes b = load(path);
        CHECK(b.n == strlen(files[i].written) && memcmp(b.p, files[i].written, b.n) == 0, "%s holds \"%.*s\"",
              files[i].file, (int)b.n, (const char *)b.p);
        free(b.p);
        FILE *f = fopen(path, "w");
        fputs(files[i].driver_text, f);
        fclose(f);
    }
    int32_t got_start[2] = {0, 0}, got_dim[2] = {0, 0};
    CHECK(kep_cds_get_position(dir, got_start, got_dim) == 0 && got_start[0] == 16 && got_start[1] == 32 &&
              got_dim[0] == 64 && got_dim[1] == 48,
          "get_position: %d %d %d %d", got_start[0], got_start[1], got_dim[0], got_dim[1]);
    for (size_t i = 0; i < 2; i++) {
        snprintf(path, sizeof path, "%s/%s", dir, files[i].file);
        unlink(path);
    }
    rmdir(dir);
    CHECK(kep_cds_set_position(dir, start, dim) == 1, "set_position without the folder");
}

/* ---- the aud32tool round trip ----------------------------------------- */

enum { TONE_SAMPLES = 32000 };

static int16_t tone_sample(size_t i)
{
    /* Two tones from a triangle wave each: integer arithmetic, no libm. */
    long a = (long)(i * 440 * 4 % 32000) - 16000, b = (long)(i * 1270 * 4 % 32000) - 16000;
    a = a < 0 ? -a : a;
    b = b < 0 ? -b : b;
    return (int16_t)((a - 8000) + (b - 8000) / 3);
}

static int case_tone(const char *path)
{
    FILE *f = fopen(path, "wb");
    if (f == NULL)
        return 2;
    for (size_t i = 0; i < TONE_SAMPLES; i++) {
        int16_t v = tone_sample(i);
        uint8_t le[2] = {(uint8_t)v, (uint8_t)((uint16_t)v >> 8)};
        fwrite(le, 1, 2, f);
    }
    return fclose(f) == 0 ? 0 : 2;
}

/* The decoded file has every sample back and follows the tone closely
 * (correlation above 0.9, compared squared: no libm here). */
static void case_compare(const char *path)
{
    bytes b = load(path);
    CHECK(b.n == 2 * TONE_SAMPLES, "%zu bytes decoded, want %d", b.n, 2 * TONE_SAMPLES);
    double sxy = 0, sxx = 0, syy = 0;
    for (size_t i = 0; i < TONE_SAMPLES && 2 * i + 1 < b.n; i++) {
        double x = tone_sample(i), y = (int16_t)(b.p[2 * i] | b.p[2 * i + 1] << 8);
        sxy += x * y;
        sxx += x * x;
        syy += y * y;
    }
    CHECK(sxy > 0 && sxy * sxy > 0.81 * sxx * syy, "correlation too low: %g of %g", sxy * sxy, sxx * syy);
    free(b.p);
}

int main(int argc, char **argv)
{
    static const struct {
        const char *name;
        void (*run)(void);
    } cases[] = {{"bits", case_bits},
                 {"h264_frames", case_h264_frames},
                 {"mjpeg_frames", case_mjpeg_frames},
                 {"committed_streams", case_committed_streams},
                 {"reader_failures", case_reader_failures},
                 {"open_device", case_open_device},
                 {"datastamp", case_datastamp}};
    if (argc == 3 && strcmp(argv[1], "tone") == 0)
        return case_tone(argv[2]);
    if (argc == 3 && strcmp(argv[1], "compare") == 0) {
        case_compare(argv[2]);
        return failures == 0 ? 0 : 1;
    }
    for (size_t i = 0; argc == 2 && i < sizeof cases / sizeof cases[0]; i++)
        if (strcmp(argv[1], cases[i].name) == 0) {
            cases[i].run();
            printf("%s: %s\n", cases[i].name, failures == 0 ? "ok" : "FAILED");
            return failures == 0 ? 0 : 1;
        }
    fprintf(stderr, "usage: %s CASE | tone FILE | compare FILE\n", argv[0]);
    return 2;
}
