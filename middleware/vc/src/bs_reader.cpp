// Bit-stream reader: splits a stored H.264 or MJPEG elementary stream, read
// from a file in 8192-byte chunks or handed over in memory, into frames
// padded to 64 bytes. Filling and parsing go through the reader's table of
// operations, chosen at init by mode and format.
#include "bs_reader.h"
#include "kep_vc_lib.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

namespace kep {

namespace {

constexpr const char *READER_VERSION = "1.1.0622";
// Build stamp of this reader release; fixed so that builds are reproducible.
constexpr const char *READER_DATE = "Oct 22 2015";
constexpr const char *READER_TIME = "12:17:08";
constexpr const char *MEMORY_PATH = "/dev/mem";

int32_t file_fill(bs_reader *r)
{
    if (r == nullptr || r->fd < 0) {
        printf("packet read failed\n");
        return -1;
    }
    ssize_t n;
    do {
        n = read(r->fd, r->data, BS_CHUNK);
    } while (n < 0 && errno == EINTR);
    return (int32_t)n;
}

int32_t memory_fill(bs_reader *r)
{
    if (r == nullptr || r->fd < 0) {
        printf("packet read failed\n");
        return -1;
    }
    return (int32_t)r->length;
}

struct format_ops {
    uint32_t fourcc;
    int32_t header_length; // bytes of a frame start skipped before the end search
    bs_parse_fn parse;
};

const bs_fill_fn fill_ops[] = {file_fill, memory_fill};

const format_ops parse_ops[] = {
    {KEP_FOURCC_H264, 4, h264_frame_parser},
    {KEP_FOURCC_MJPG, 0, mjpeg_frame_parser},
};

const format_ops *ops_for(uint32_t fourcc)
{
    for (const format_ops &ops : parse_ops)
        if (ops.fourcc == fourcc)
            return &ops;
    return nullptr;
}

void release(bs_reader *r)
{
    if (r->mjpeg != nullptr) {
        free(r->mjpeg->components);
        free(r->mjpeg);
    }
    if (r->mode == BS_MODE_FILE)
        free(r->base);
    free(r);
}

// A failed init leaves nothing behind: no open file, no half-built reader.
int32_t init_failed(kep_m2m *m2m, bs_reader *r)
{
    if (r->mode == BS_MODE_FILE && r->fd >= 0)
        close(r->fd);
    release(r);
    m2m->bs_reader = nullptr;
    return -1;
}

// Appends n bytes at *cursor if they fit before dst_end; bytes read straight
// into their place are only counted.
bool append(uint8_t **cursor, uint8_t *dst_end, const uint8_t *from, size_t n)
{
    if (n > (size_t)(dst_end - *cursor))
        return false;
    if (n > 0 && from != *cursor)
        memcpy(*cursor, from, n);
    *cursor += n;
    return true;
}

} // namespace

} // namespace kep

using namespace kep;

extern "C" KEP_VC_API int32_t kep_bs_reader_init(kep_m2m *m2m, const char *path)
{
    if (m2m == nullptr)
        return -1;
    bs_reader *r = (bs_reader *)calloc(1, sizeof(bs_reader));
    if (r == nullptr || path == nullptr || path[0] == '\0') {
        perror("input component failed");
        free(r);
        return -1;
    }
    m2m->bs_reader = r;
    r->mode = strcmp(path, MEMORY_PATH) == 0 ? BS_MODE_MEMORY : BS_MODE_FILE;
    printf("bit-stream reader v%s, %s %s (mode=%s)\n", READER_VERSION, READER_DATE, READER_TIME,
           r->mode == BS_MODE_MEMORY ? "memory" : "file");

    if (r->mode == BS_MODE_FILE) {
        // Reading a stream is no reason to write its inode's access time on
        // every read; only the owner may ask for that, others read as usual.
        r->fd = open(path, O_RDONLY | O_NOATIME);
        if (r->fd < 0 && errno == EPERM)
            r->fd = open(path, O_RDONLY);
        if (r->fd < 0) {
            perror("open input file failed");
            return init_failed(m2m, r);
        }
    }

    r->format = m2m->dec_fourcc;
    const format_ops *ops = ops_for(r->format);
    if (ops == nullptr)
        return init_failed(m2m, r);
    r->header_length = ops->header_length;
    r->parse = ops->parse;
    if (r->format == KEP_FOURCC_MJPG) {
        r->mjpeg = (mjpeg_parser_state *)calloc(1, sizeof(mjpeg_parser_state));
        if (r->mjpeg == nullptr) {
            perror("input component failed");
            return init_failed(m2m, r);
        }
    }

    r->fill = fill_ops[r->mode];
    if (r->mode == BS_MODE_FILE) {
        // On a cache line: every read is a kernel copy into it, and where a
        // heap block happens to start 16 bytes into a line that copy was
        // measured a third slower.
        r->base = (uint8_t *)aligned_alloc(BS_ALIGN, BS_CHUNK);
        if (r->base == nullptr) {
            perror("allocate input buffer failed");
            return init_failed(m2m, r);
        }
        r->length = BS_CHUNK;
    }
    r->position = r->data = r->base;
    return 0;
}

extern "C" KEP_VC_API int32_t kep_bs_reader_read_frame(kep_m2m *m2m, uint8_t *src, uint32_t src_len, uint8_t *dst,
                                                       uint32_t dst_size)
{
    if (m2m == nullptr || m2m->bs_reader == nullptr)
        return -1;
    bs_reader *r = (bs_reader *)m2m->bs_reader;
    if (r->fd < 0)
        return -1;
    const bool memory = r->mode == BS_MODE_MEMORY;
    if (memory) {
        r->base = r->position = src;
        r->length = src_len;
    }
    r->data = r->base;

    uint8_t *cursor = dst;
    uint8_t *const dst_end = dst + dst_size;
    uint8_t *frame_start = r->base;
    uint8_t *end = r->base + r->length;
    uint8_t *position = r->position;
    uint32_t remaining = (uint32_t)(end - position);
    int phase = BS_HEADER;
    int parse_state = 0;
    uint8_t *next = r->base;
    bool refill = position == r->base && !r->frame_at_base;
    r->frame_at_base = false;

    for (;;) {
        if (refill) {
            refill = false;
            // A frame that runs on past this read would have the whole read
            // appended: read it straight into its place in dst instead.
            r->data = !memory && phase == BS_TAILER && dst_end - cursor >= (ptrdiff_t)BS_CHUNK ? cursor : r->base;
            int32_t n = r->fill(r);
            // A failed read ends the stream like the end of the file.
            if (n < 0)
                n = 0;
            r->length = (uint32_t)n;
            frame_start = position = r->data;
            end = r->data + n;
            remaining = (uint32_t)n;
            if (n == 0)
                phase = BS_EXHAUSTED;
        }

        uint8_t *found = r->parse(m2m, position, &remaining, phase, &parse_state);

        if (found != nullptr && phase == BS_HEADER) {
            frame_start = found;
            position = found + r->header_length;
            remaining -= (uint32_t)r->header_length;
            phase = BS_TAILER;
            continue;
        }
        if (found != nullptr && phase == BS_TAILER) {
            if (!append(&cursor, dst_end, frame_start, (size_t)(found - frame_start))) {
                printf("parser fatal: frame length is larger than destination buffer size.\n");
                // Skip the frame, so that the next call goes on after it.
                r->position = found;
                r->frame_at_base = !memory && found == r->base;
                return -102;
            }
            if (r->data != r->base) {
                // The rest of a read made in place moves to where it would
                // have been read, so the next call goes on exactly as if.
                size_t offset = (size_t)(found - r->data);
                memcpy(r->base + offset, found, (size_t)(end - found));
                found = r->base + offset;
                r->data = r->base;
            }
            next = found;
            // The next frame may begin at the very first byte of this read.
            r->frame_at_base = !memory && found == r->base;
            break;
        }
        if (phase == BS_HEADER) {
            if (memory) {
                printf("parser: can not parse frame header\n");
                r->position = r->base;
                return -2;
            }
            position = r->base;
            refill = true;
            continue;
        }
        if (phase == BS_TAILER) {
            if (memory && r->format == KEP_FOURCC_MJPG) {
                printf("parser: can not parse frame tailer\n");
                r->position = r->base;
                return -2;
            }
            if (!append(&cursor, dst_end, frame_start, (size_t)(end - frame_start))) {
                printf("parser fatal: bit-stream length is larger than destination buffer's.\n");
                // The buffer is used up; the next call reads on.
                r->position = r->base;
                return -100;
            }
            if (memory) {
                next = r->base;
                break;
            }
            refill = true;
            continue;
        }
        // Input exhausted.
        if (!append(&cursor, dst_end, frame_start, (size_t)(end - frame_start))) {
            printf("parser fatal: remaining bit-stream lengthis larger than destination buffer\n");
            r->position = r->base;
            return -101;
        }
        r->data = r->base;
        next = r->base;
        if (cursor == dst) {
            r->position = next;
            return -1;
        }
        break;
    }

    size_t length = (size_t)(cursor - dst);
    size_t padded = (length + BS_PAD - 1) / BS_PAD * BS_PAD;
    // The padding must fit as well: a frame whose padded length exceeds the
    // destination is refused rather than written past its end.
    if (padded > dst_size) {
        printf("parser fatal: frame length is larger than destination buffer size.\n");
        r->position = next;
        return -102;
    }
    if (padded > length)
        memset(cursor, 0, padded - length);
    r->position = next;
    return (int32_t)padded;
}

extern "C" KEP_VC_API int32_t kep_bs_reader_uninit(kep_m2m *m2m)
{
    if (m2m == nullptr)
        return -1;
    bs_reader *r = (bs_reader *)m2m->bs_reader;
    if (r == nullptr || r->fd < 0)
        return 0;
    int32_t result = 0;
    // The descriptor is gone even when close() reports a failure, and a
    // second close could only fail again: the reader is released either way.
    if (r->mode == BS_MODE_FILE && close(r->fd) != 0) {
        perror("close input file failed");
        result = -1;
    }
    if (r->mjpeg != nullptr) {
        if (r->format == KEP_FOURCC_MJPG)
            free(r->mjpeg->components);
        else if (r->format != KEP_FOURCC_H264)
            printf("parser fatal: invalid format\n");
        r->mjpeg->components = nullptr;
    }
    release(r);
    m2m->bs_reader = nullptr;
    return result;
}
