// M2M hardware encoder: raw pictures go into the node's output queue, H.264
// or MJPEG frames come out of its capture queue. Only one bit-stream buffer
// circulates; pictures arrive by user pointer from the ISP without a copy.
//
// Buffer ownership: the bit-stream table's book says where the circulating
// buffer is (with the driver, with the caller, or with the library after the
// driver refused it); the picture tables' books (the ISP's, the decoder's or
// the encoder's own input table) mark the pictures the encoder reads. A
// picture goes back to its owner only once the encoder has given it up, and
// a bit-stream buffer is queued only when the driver does not have it, so a
// failed request costs at most the frame it hit.
#include "codec.h"
#include "buffer_table.h"
#include "decoder.h"
#include "isp.h"
#include "kep_vc_lib.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/stat.h>

namespace {

using namespace kep::abi;

constexpr uint32_t STATE_INITIALISED = 0;
constexpr uint32_t STATE_STREAMING = 1;
constexpr uint32_t STATE_STOPPED = 2;

constexpr uint32_t CODEC_NAME_DIGITS_MAX = 16;

// A zero record carries scale 0; it means the same as 1 rather than a
// division by zero.
uint32_t divisor(const kep_m2m *m2m)
{
    return m2m->scale ? m2m->scale : 1;
}

// The channel number is the first token of the node path under a tokenizer
// whose delimiters are the characters of "/dev/video"; the path is tokenized
// in place. A path without its terminating NUL inside the field has no token.
int channel_number(kep_m2m *m2m)
{
    char *path = m2m->codec_dev_name;
    if (!memchr(path, '\0', sizeof(m2m->codec_dev_name)))
        return 0;
    char *save = nullptr;
    const char *token = strtok_r(path, "/dev/video", &save);
    return token ? atoi(token) : 0;
}

void name_channel(kep_m2m *m2m)
{
    int channel = channel_number(m2m);
    char first = '\0';
    if (m2m->codec_fourcc == KEP_FOURCC_H264)
        first = 'h';
    else if (m2m->codec_fourcc == KEP_FOURCC_MJPG)
        first = 'j';

    char second = '\0';
    if (m2m->scale != 1) {
        second = 's';
    } else {
        // A NUL first letter ends the path right after the underscore, as it
        // ends the name.
        char entry[sizeof("/proc/codec/") + CODEC_NAME_DIGITS_MAX + 4];
        snprintf(entry, sizeof(entry), "/proc/codec/%d_%cd", channel, first);
        struct stat st;
        if (stat(entry, &st) == 0)
            second = 'd';
    }
    snprintf(m2m->codec_name, sizeof(m2m->codec_name), "%d_%c%c", channel, first, second);
}

// Builds a zero-filled table for a queue and maps its buffers. The table has
// an entry for every index the record may hold (m2m_buffers) and for every
// buffer the driver granted, so neither a smaller nor a larger grant can put
// an index outside it. Bit-stream buffers: only one circulates and the caller
// sees only the one the driver returned, so a smaller grant maps what exists.
// Input pictures: the caller fills any entry below m2m_buffers, so each is
// queried, and one the driver did not grant ends the process like any failed
// query rather than leaving the caller an empty entry.
int map_queue(kep_m2m *m2m, uint32_t type, uint32_t granted, kep_buffer **table)
{
    uint32_t entries = granted > m2m->m2m_buffers ? granted : m2m->m2m_buffers;
    uint32_t mapped = granted < m2m->m2m_buffers && type == BUF_TYPE_CAPTURE ? granted : m2m->m2m_buffers;
    *table = kep::table_new(entries);
    if (!*table) {
        fprintf(stderr, "Out of memory\n");
        kep::die();
    }
    for (uint32_t i = 0; i < mapped; ++i) {
        kep::MapResult r = kep::map_buffer(m2m->codec_fd, type, i, &(*table)[i]);
        if (r == kep::MapResult::query_failed) {
            kep::perror_at("kep_codec_init", __LINE__, "ioctl");
            kep::die();
        }
        if (r == kep::MapResult::mmap_failed) {
            kep::perror_at("kep_codec_init", __LINE__, "mmap");
            return -1;
        }
    }
    return 0;
}

int request_buffers(kep_m2m *m2m, uint32_t type, uint32_t memory, uint32_t *granted)
{
    int r = kep::request_buffers(m2m->codec_fd, type, memory, m2m->m2m_buffers, granted);
    if (r == -1)
        kep::perror_at("kep_codec_init", __LINE__, "ioctl");
    return r;
}

// The bit-stream book (codec_cap_buffers): where the circulating buffer is,
// whether the driver still owes the frame of a picture it took, and which
// table the encoder's pictures belong to.
constexpr uint32_t CAP_WHERE = 3;
constexpr uint32_t CAP_IDLE = 0;    // not queued, nobody's to queue (before init, after a stop)
constexpr uint32_t CAP_QUEUED = 1;  // with the driver
constexpr uint32_t CAP_CALLER = 2;  // between a read that took it and its reset
constexpr uint32_t CAP_LIBRARY = 3; // the driver refused it: queued again by the next read
constexpr uint32_t CAP_OWED = 4;    // a picture went in and its frame has not come out
constexpr uint32_t FEEDER_SHIFT = 4, FEEDER_BITS = 3u << FEEDER_SHIFT;

uint32_t cap_where(kep_m2m *m2m)
{
    kep::TableBook *book = kep::table_book(m2m->codec_cap_buffers);
    return book ? book->flags & CAP_WHERE : CAP_IDLE;
}

void set_cap(kep_m2m *m2m, uint32_t where)
{
    if (kep::TableBook *book = kep::table_book(m2m->codec_cap_buffers))
        book->flags = (book->flags & ~CAP_WHERE) | where;
}

void set_owed(kep_m2m *m2m, bool owed)
{
    if (kep::TableBook *book = kep::table_book(m2m->codec_cap_buffers))
        book->flags = owed ? book->flags | CAP_OWED : book->flags & ~CAP_OWED;
}

bool owed(kep_m2m *m2m)
{
    kep::TableBook *book = kep::table_book(m2m->codec_cap_buffers);
    return book && (book->flags & CAP_OWED);
}

kep::Feeder feeder(kep_m2m *m2m)
{
    kep::TableBook *book = kep::table_book(m2m->codec_cap_buffers);
    return book ? kep::Feeder((book->flags & FEEDER_BITS) >> FEEDER_SHIFT) : kep::Feeder::none;
}

void set_feeder(kep_m2m *m2m, kep::Feeder f)
{
    if (kep::TableBook *book = kep::table_book(m2m->codec_cap_buffers))
        book->flags = (book->flags & ~FEEDER_BITS) | (uint32_t(f) << FEEDER_SHIFT);
}

kep_buffer *pictures(kep_m2m *m2m, kep::Feeder f)
{
    switch (f) {
    case kep::Feeder::isp: return m2m->isp_buffers;
    case kep::Feeder::decoder: return m2m->dec_cap_buffers;
    case kep::Feeder::own: return m2m->codec_out_buffers;
    default: return nullptr;
    }
}

// The encoder gave picture i up: it goes back to its owner, unless the
// caller still holds it (then the reset gives it back).
void picture_done(kep_m2m *m2m, kep::Feeder f, uint32_t i)
{
    uint8_t *state = kep::table_state(pictures(m2m, f), i);
    if (!state || !(*state & kep::BUF_LENT))
        return;
    *state = uint8_t(*state & ~kep::BUF_LENT);
    if (*state & kep::BUF_CALLER)
        return;
    if (f == kep::Feeder::isp)
        kep_isp_q_index(m2m, i);
    else if (f == kep::Feeder::decoder)
        kep::dec_picture_back(m2m, i);
}

bool any_lent(kep_m2m *m2m, kep::Feeder f)
{
    kep_buffer *table = pictures(m2m, f);
    uint32_t count = kep::table_count(table);
    for (uint32_t i = 0; i < count; ++i)
        if (*kep::table_state(table, i) & kep::BUF_LENT)
            return true;
    return false;
}

// Takes one consumed picture back; its index, or -1 when none was done
// (EAGAIN, EIO: silent) or the request failed (printed). An index outside the
// table is the driver fault every dequeue treats as one: the picture it
// stands for could never go back to its owner.
int take_picture(kep_m2m *m2m, kep::Feeder f)
{
    v4l2_buffer_t buf;
    memset(&buf, 0, sizeof(buf));
    buf.type = BUF_TYPE_OUTPUT;
    buf.memory = m2m->codec_in_memory;
    if (kep::ioctl_retry(m2m->codec_fd, DQBUF, &buf) == -1) {
        if (errno != EIO && errno != EAGAIN)
            perror("ioctl");
        return -1;
    }
    KEP_ASSERT(buf.index < m2m->m2m_buffers, "kep_codec_out_dq");
    picture_done(m2m, f, buf.index);
    return int(buf.index);
}

} // namespace

namespace kep {

int codec_cap_q(kep_m2m *m2m)
{
    v4l2_buffer_t buf;
    memset(&buf, 0, sizeof(buf));
    buf.index = m2m->codec_index;
    buf.type = abi::BUF_TYPE_CAPTURE;
    buf.memory = abi::MEMORY_MMAP;
    if (m2m->force_i_frame) {
        printf("set i frame \n");
        buf.flags = KEP_BUF_FLAG_KEYFRAME;
    }
    int r = kep::ioctl_retry(m2m->codec_fd, abi::QBUF, &buf);
    if (r == -1)
        perror_at("kep_codec_cap_q", __LINE__, "ioctl");
    set_cap(m2m, r == -1 ? CAP_LIBRARY : CAP_QUEUED);
    return r;
}

bool codec_holds_frame(kep_m2m *m2m)
{
    return cap_where(m2m) == CAP_CALLER;
}

int codec_frame_back(kep_m2m *m2m)
{
    if (cap_where(m2m) != CAP_CALLER)
        return 0;
    if (m2m->codec_state == 2 || m2m->codec_skip_queue) {
        set_cap(m2m, CAP_IDLE); // a restart queues buffer 0 again
        return 0;
    }
    return codec_cap_q(m2m);
}

int codec_queue_picture(kep_m2m *m2m, Feeder f, uint32_t index)
{
    v4l2_buffer_t buf;
    memset(&buf, 0, sizeof(buf));
    buf.index = index;
    buf.type = abi::BUF_TYPE_OUTPUT;
    buf.memory = m2m->codec_in_memory;
    kep_buffer *table = pictures(m2m, f);
    if (m2m->codec_in_memory == abi::MEMORY_USERPTR) {
        // The encoder reads the picture in place; an index outside its
        // table is no picture at all.
        if (index >= table_count(table)) {
            errno = EINVAL;
            return -1;
        }
        const kep_buffer &picture = table[index];
        buf.m.userptr = static_cast<decltype(buf.m.userptr)>(reinterpret_cast<uintptr_t>(picture.start));
        buf.length = picture.length;
    }
    set_feeder(m2m, f);
    int r = kep::ioctl_retry(m2m->codec_fd, abi::QBUF, &buf);
    uint8_t *state = table_state(table, index);
    if (r != -1 && state)
        *state |= BUF_LENT;
    if (r != -1 && cap_where(m2m) == CAP_QUEUED)
        set_owed(m2m, true);
    return r;
}

void codec_out_q(kep_m2m *m2m)
{
    if (codec_queue_picture(m2m, feeder(m2m), m2m->isp_index) == -1)
        perror_at("kep_codec_out_q", __LINE__, "ioctl");
}

void codec_pictures_back(kep_m2m *m2m, uint32_t expected)
{
    Feeder f = feeder(m2m);
    // Oldest first: pictures a failed dequeue left with the encoder come
    // before the one just queued.
    uint32_t count = table_count(pictures(m2m, f)) + 1;
    for (uint32_t n = 0; n < count; ++n) {
        int i = take_picture(m2m, f);
        if (i < 0 || uint32_t(i) == expected)
            break;
    }
}

void codec_settle(kep_m2m *m2m)
{
    if (m2m->codec_state == 1 && cap_where(m2m) == CAP_LIBRARY)
        codec_cap_q(m2m);
    Feeder f = feeder(m2m);
    uint32_t count = table_count(pictures(m2m, f));
    for (uint32_t n = 0; n < count && any_lent(m2m, f); ++n)
        if (take_picture(m2m, f) < 0)
            break;
}

int codec_cap_dq(kep_m2m *m2m)
{
    v4l2_buffer_t buf;
    memset(&buf, 0, sizeof(buf));
    buf.type = abi::BUF_TYPE_CAPTURE;
    buf.memory = abi::MEMORY_MMAP;
    int r = kep::ioctl_retry(m2m->codec_fd, abi::DQBUF, &buf);
    int saved = errno;
    // The descriptor was zeroed, so a failed dequeue reads as "no frame".
    m2m->codec_flags = buf.flags;
    m2m->codec_index = buf.index;
    m2m->codec_size = buf.bytesused;
    if (r == -1) {
        if (saved != EIO && saved != EAGAIN)
            perror("ioctl");
    } else {
        KEP_ASSERT(buf.index < m2m->m2m_buffers, "kep_codec_cap_dq");
        set_cap(m2m, CAP_CALLER);
        set_owed(m2m, false);
    }
    if (!(m2m->codec_flags & KEP_BUF_FLAG_ERROR))
        m2m->force_i_frame = 0;
    errno = saved;
    return r;
}

} // namespace kep

namespace {

// Every picture the encoder read is given up when its input queue stops.
void pictures_released(kep_m2m *m2m)
{
    kep::Feeder f = feeder(m2m);
    uint32_t count = kep::table_count(pictures(m2m, f));
    for (uint32_t i = 0; i < count; ++i)
        picture_done(m2m, f, i);
}

} // namespace

extern "C" {

KEP_VC_API int32_t kep_codec_init(kep_m2m *m2m)
{
    int fd = m2m->codec_fd;
    int r;
    m2m->codec_skip_queue = 0;

    if (m2m->m2m_enable) {
        if ((r = kep::set_ctrl(fd, KEP_CID_PRIVATE_0, 1)) == -1 || (r = kep::set_ctrl(fd, KEP_CID_PRIVATE_1, 1)) == -1) {
            kep::perror_at("kep_codec_init", __LINE__, "ioctl");
            return r;
        }
    }
    if (m2m->m2m_enable || m2m->scale != 1) {
        if ((r = kep::set_ctrl(fd, KEP_CID_PRIVATE_2, m2m->codec_ctrl_value)) == -1) {
            kep::perror_at("kep_codec_init", __LINE__, "ioctl");
            return r;
        }
    }

    v4l2_capability cap;
    memset(&cap, 0, sizeof(cap));
    if ((r = kep::ioctl_retry(fd, QUERYCAP, &cap)) == -1) {
        kep::perror_at("kep_codec_init", __LINE__, "ioctl");
        return r;
    }

    if (m2m->m2m_enable)
        kep::set_time_per_frame(fd, BUF_TYPE_OUTPUT, m2m->isp_fps);
    kep::set_time_per_frame(fd, BUF_TYPE_CAPTURE, m2m->codec_fps);

    if (m2m->m2m_enable) {
        uint32_t in_fourcc = m2m->codec_in_memory == MEMORY_USERPTR ? m2m->isp_fourcc : m2m->codec_in_fourcc;
        if ((r = kep::set_pix_format(fd, BUF_TYPE_OUTPUT, m2m->width, m2m->height, in_fourcc)) == -1) {
            kep::perror_at("kep_codec_init", __LINE__, "ioctl");
            return r;
        }
    }

    printf("%d %d  scale == %d\n", m2m->width, m2m->height, m2m->scale);
    uint32_t div = divisor(m2m);
    if ((r = kep::set_pix_format(fd, BUF_TYPE_CAPTURE, m2m->width / div, m2m->height / div, m2m->codec_fourcc)) == -1) {
        kep::perror_at("kep_codec_init", __LINE__, "ioctl");
        return r;
    }

    name_channel(m2m);

    uint32_t granted = 0;
    if (m2m->m2m_enable) {
        if ((r = request_buffers(m2m, BUF_TYPE_OUTPUT, m2m->codec_in_memory, &granted)) == -1)
            return r;
        // Pictures of other nodes go in at their own index: an input queue
        // shorter than their tables could never take some of them.
        if (m2m->codec_in_memory == MEMORY_USERPTR && granted < m2m->m2m_buffers) {
            errno = ENOMEM;
            kep::perror_at("kep_codec_init", __LINE__, "ioctl");
            return -1;
        }
    }
    if (m2m->codec_in_memory == MEMORY_MMAP) {
        if (map_queue(m2m, BUF_TYPE_OUTPUT, granted, &m2m->codec_out_buffers) == -1)
            return -1;
    }

    if ((r = request_buffers(m2m, BUF_TYPE_CAPTURE, MEMORY_MMAP, &granted)) == -1)
        return r;
    if (map_queue(m2m, BUF_TYPE_CAPTURE, granted, &m2m->codec_cap_buffers) == -1)
        return -1;

    m2m->codec_index = 0;
    kep::codec_cap_q(m2m);
    m2m->codec_state = STATE_INITIALISED;
    return 0;
}

KEP_VC_API int32_t kep_codec_start(kep_m2m *m2m)
{
    uint32_t type = BUF_TYPE_OUTPUT;
    if (m2m->m2m_enable && kep::ioctl_retry(m2m->codec_fd, STREAMON, &type) == -1) {
        kep::perror_at("kep_codec_start", __LINE__, "ioctl");
        return -1;
    }
    type = BUF_TYPE_CAPTURE;
    if (kep::ioctl_retry(m2m->codec_fd, STREAMON, &type) == -1) {
        kep::perror_at("kep_codec_start", __LINE__, "ioctl");
        return -1;
    }
    if (m2m->codec_state == STATE_STOPPED) {
        m2m->codec_index = 0;
        kep::codec_cap_q(m2m);
    }
    m2m->codec_state = STATE_STREAMING;
    return 0;
}

KEP_VC_API int32_t kep_codec_read(kep_m2m *m2m)
{
    if (!m2m->m2m_enable) {
        kep::codec_settle(m2m);
        kep::codec_cap_dq(m2m);
        return 0;
    }
    bool isp_feeds = m2m->codec_in_memory == MEMORY_USERPTR;
    kep::Feeder f = isp_feeds ? kep::Feeder::isp : kep::Feeder::own;
    set_feeder(m2m, f);
    kep::codec_settle(m2m);
    // A frame a failed dequeue left in the bit-stream buffer comes first; the
    // next picture waits for the next read, so frames stay one per picture.
    if (m2m->codec_state == STATE_STREAMING && owed(m2m) && cap_where(m2m) == CAP_QUEUED) {
        kep::codec_cap_dq(m2m);
        if (kep::codec_holds_frame(m2m))
            return 0;
    }
    if (isp_feeds && kep_isp_next_frame(m2m) == -1 && m2m->codec_state != STATE_STOPPED) {
        // The ISP gave no frame: isp_index still names a buffer the ISP
        // owns again, which must neither be coded (the ISP may be filling
        // it) nor given back twice by the reset. No frame this time.
        m2m->codec_size = 0;
        m2m->codec_flags = 0;
        return 0;
    }
    if (m2m->codec_state == STATE_STOPPED) {
        m2m->codec_size = 0;
        return 0;
    }
    if (!m2m->codec_skip_queue)
        kep::codec_out_q(m2m);
    kep::codec_pictures_back(m2m, m2m->isp_index);
    kep::codec_cap_dq(m2m);
    return 0;
}

KEP_VC_API int32_t kep_codec_reset(kep_m2m *m2m)
{
    // The ISP frame of the read goes back unless the encoder still reads it
    // (then it goes back when the encoder gives it up) or the read took none.
    if (m2m->m2m_enable && m2m->codec_in_memory == MEMORY_USERPTR)
        kep_isp_q(m2m);
    // The bit-stream buffer goes back only when the read took it: after a
    // failed dequeue the driver still has it.
    kep::codec_frame_back(m2m);
    return 0;
}

KEP_VC_API int32_t kep_codec_stop(kep_m2m *m2m)
{
    uint32_t type = BUF_TYPE_OUTPUT;
    if (m2m->m2m_enable) {
        if (kep::ioctl_retry(m2m->codec_fd, STREAMOFF, &type) == -1) {
            kep::perror_at("kep_codec_stop", __LINE__, "ioctl");
            return -1;
        }
        // Streaming off gave every picture back: each goes to its owner.
        pictures_released(m2m);
    }
    type = BUF_TYPE_CAPTURE;
    if (kep::ioctl_retry(m2m->codec_fd, STREAMOFF, &type) == -1) {
        kep::perror_at("kep_codec_stop", __LINE__, "ioctl");
        return -1;
    }
    if (cap_where(m2m) != CAP_CALLER)
        set_cap(m2m, CAP_IDLE);
    set_owed(m2m, false);
    m2m->codec_state = STATE_STOPPED;
    return 0;
}

KEP_VC_API int32_t kep_codec_uninit(kep_m2m *m2m)
{
    // Each table by the count it was built with: m2m_buffers may have
    // changed since (kep_dec_start).
    if (m2m->codec_cap_buffers) {
        if (kep::unmap_buffers(m2m->codec_cap_buffers, kep::table_count(m2m->codec_cap_buffers)) == -1)
            return -1;
        // The tables go with their mappings so that init/uninit cycles do
        // not leak.
        free(m2m->codec_cap_buffers);
        m2m->codec_cap_buffers = nullptr;
    }
    if (m2m->codec_in_memory == MEMORY_MMAP && m2m->codec_out_buffers) {
        if (kep::unmap_buffers(m2m->codec_out_buffers, kep::table_count(m2m->codec_out_buffers)) == -1)
            return -1;
        free(m2m->codec_out_buffers);
        m2m->codec_out_buffers = nullptr;
    }
    return 0;
}

KEP_VC_API int32_t kep_codec_set_qp(kep_m2m *m2m, uint32_t ctrl_id)
{
    uint32_t id = 0;
    if (m2m->codec_fourcc == KEP_FOURCC_H264) {
        if (ctrl_id != KEP_CID_H264_I_FRAME_QP && ctrl_id != KEP_CID_H264_P_FRAME_QP) {
            fprintf(stderr, "Error: Only support "
                            "V4L2_CID_MPEG_VIDEO_H264_I_FRAME_QP/V4L2_CID_MPEG_VIDEO_H264_P_FRAME_QP\n");
            return -1;
        }
        id = ctrl_id;
    } else if (m2m->codec_fourcc == KEP_FOURCC_MJPG) {
        id = KEP_CID_JPEG_COMPRESSION_QUALITY;
    }
    int r = kep::set_ctrl(m2m->codec_fd, id, m2m->qp);
    if (r == -1)
        kep::perror_at("kep_codec_set_qp", __LINE__, "ioctl");
    return r;
}

KEP_VC_API int32_t kep_codec_get_qp(kep_m2m *)
{
    return 0;
}

KEP_VC_API int32_t kep_codec_set_gop(kep_m2m *m2m)
{
    int r = kep::set_ctrl(m2m->codec_fd, KEP_CID_H264_I_PERIOD, m2m->gop);
    if (r == -1)
        kep::perror_at("kep_codec_set_gop", __LINE__, "ioctl");
    return r;
}

KEP_VC_API int32_t kep_codec_get_gop(kep_m2m *)
{
    return 0;
}

} // extern "C"
