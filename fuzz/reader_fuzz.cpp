// Fuzz target for the frame splitter. Built once per format and mode:
// FUZZ_FOURCC is KEP_FOURCC_H264 or KEP_FOURCC_MJPG, FUZZ_FILE_MODE 1 or 0.
//
// Input: 2 bytes destination size, 2 bytes chunking (file mode: how many
// lead-in bytes put the stream at that offset of the 8192-byte reads; memory
// mode: the seed of the call lengths), 1 byte lead-in value, then the stream.
// The destination is exactly dst_size bytes on the heap, so any write past it
// is caught. H.264 results are also checked against the plain group-of-four
// splitter, and the MJPEG walk's search for the next 0xFF against the plain
// byte-by-byte one on the input itself.
#include "bs_reader.h"
#include "kep_vc.h"
#include "reader_support.h"

#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

#ifndef FUZZ_FOURCC
#error "FUZZ_FOURCC must name the stream format"
#endif

namespace {

constexpr size_t HEADER = 5;

[[noreturn]] void fail(const char *what)
{
    fprintf(stderr, "fuzz_reader: %s\n", what);
    abort();
}

void check_result(int32_t n, uint32_t dst_size)
{
    if (n > 0) {
        if (n % 64 != 0 || (uint32_t)n > dst_size)
            fail("frame length not a multiple of 64 within the destination");
    } else if (n != -1 && n != -2 && n != -100 && n != -101 && n != -102) {
        fail("unknown result");
    }
}

ReadResult take(int32_t n, const uint8_t *dst)
{
    ReadResult r{n, {}};
    if (n > 0)
        r.frame.assign(dst, dst + n);
    return r;
}

// From the first offsets to the end, and from the start to the last ends, so
// that every form of the search meets the input's last bytes as the end of
// the data, as at the end of a read.
void check_mjpeg_search(const uint8_t *data, size_t size)
{
    const size_t span = 32;
    for (size_t k = 0; k < span && k <= size; k++) {
        const uint8_t *p = data + k, *end = data + size, *cut = data + size - k;
        if (kep::mjpeg_find_marker(p, end) != plain_mjpeg_marker(p, end) ||
            kep::mjpeg_find_marker(data, cut) != plain_mjpeg_marker(data, cut))
            fail("the MJPEG search differs from the plain byte-by-byte one");
    }
}

#if FUZZ_FILE_MODE
constexpr size_t MAX_CALLS = 4096;

int run_file(const Bytes &stream, uint32_t dst_size)
{
    // One memory-backed file for the whole run, rewritten for each input.
    static int fd = memfd_create("kep-fuzz-stream", MFD_CLOEXEC);
    if (fd < 0 || ftruncate(fd, 0) != 0)
        fail("no memory file");
    if (!stream.empty() && pwrite(fd, stream.data(), stream.size(), 0) != (ssize_t)stream.size())
        fail("memory file write");
    char path[64];
    snprintf(path, sizeof path, "/proc/self/fd/%d", fd);
    kep_m2m m2m = {};
    m2m.dec_fourcc = FUZZ_FOURCC;
    m2m.dec_fd = -1;
    if (kep_bs_reader_init(&m2m, path) != 0)
        fail("init failed");
    uint8_t *dst = (uint8_t *)malloc(dst_size ? dst_size : 1);
    std::vector<ReadResult> got;
    for (size_t i = 0; i < MAX_CALLS; i++) {
        int32_t n = kep_bs_reader_read_frame(&m2m, nullptr, 0, dst, dst_size);
        check_result(n, dst_size);
        got.push_back(take(n, dst));
        if (n == -1)
            break;
    }
    if (got.back().code != -1)
        fail("file mode did not reach the end of the stream");
    free(dst);
    kep_bs_reader_uninit(&m2m);
    if (FUZZ_FOURCC == KEP_FOURCC_H264 && got != reference_h264_file(stream, dst_size, nullptr, MAX_CALLS))
        fail("file mode differs from the plain group-of-four splitter");
    return 0;
}
#else
int run_memory(const uint8_t *data, size_t size, uint32_t dst_size, uint32_t seed)
{
    kep_m2m m2m = {};
    m2m.dec_fourcc = FUZZ_FOURCC;
    m2m.dec_fd = -1;
    if (kep_bs_reader_init(&m2m, "/dev/mem") != 0)
        fail("init failed");
    uint8_t *dst = (uint8_t *)malloc(dst_size ? dst_size : 1);
    size_t at = 0;
    uint32_t x = seed | 1;
    do {
        x = x * 1103515245u + 12345u;
        size_t len = seed == 0 ? size - at : (x >> 8) % (size - at + 1);
        // An exact heap copy: reading or writing outside it is caught.
        uint8_t *src = (uint8_t *)malloc(len ? len : 1);
        if (len)
            memcpy(src, data + at, len);
        Bytes copy(data + at, data + at + len);
        int32_t n = kep_bs_reader_read_frame(&m2m, src, (uint32_t)len, dst, dst_size);
        check_result(n, dst_size);
        free(src);
        if (FUZZ_FOURCC == KEP_FOURCC_H264 && !(take(n, dst) == reference_h264_memory(copy, dst_size)))
            fail("memory mode differs from the plain group-of-four splitter");
        at += len ? len : 1;
    } while (at < size);
    free(dst);
    kep_bs_reader_uninit(&m2m);
    return 0;
}
#endif

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < HEADER)
        return 0;
    // Up to 64 KiB: more than any input the fuzzer makes (-max_len).
    uint32_t dst_size = (uint32_t)data[0] | (uint32_t)data[1] << 8;
    uint32_t chunking = (uint32_t)data[2] | (uint32_t)data[3] << 8;
    uint8_t lead_value = data[4];
    data += HEADER;
    size -= HEADER;
    if (FUZZ_FOURCC == KEP_FOURCC_MJPG)
        check_mjpeg_search(data, size);
#if FUZZ_FILE_MODE
    Bytes stream(chunking % 8192, lead_value);
    stream.insert(stream.end(), data, data + size);
    return run_file(stream, dst_size);
#else
    (void)lead_value;
    return run_memory(data, size, dst_size, chunking);
#endif
}
