// M2M hardware decoder: bit-stream frames go into the node's output queue,
// 'S420' pictures come out of its capture queue. Decoded pictures can be
// handed to the running encoder in place (decode-to-encode).
//
// Buffer ownership, kept in the tables' books: every picture is with the
// decoder except the one the caller holds between a read and its reset, and
// those the encoder still reads; an input buffer is with the decoder from its
// queueing until it is taken back. The caller is only ever given an input
// buffer to fill that the decoder does not have, and a picture goes back to
// the decoder once, when neither the caller nor the encoder holds it.
#include "decoder.h"

#include "buffer_table.h"
#include "codec.h"
#include "kep_vc_lib.h"

#include <errno.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <time.h>

namespace {

using namespace kep::abi;

// A refused input buffer is usually a queue still busy with the previous
// frame; a driver that refuses it for good must not hold the caller forever.
constexpr int INPUT_QUEUE_TRIES = 200;
constexpr long INPUT_QUEUE_PAUSE_NS = 5 * 1000 * 1000;

// The picture book's flag: both queues stream.
constexpr uint32_t DEC_STREAMING = 1;

int map_table(int fd, uint32_t type, uint32_t count, kep_buffer **table, const char *query_msg,
              const char *mmap_msg)
{
    *table = kep::table_new(count);
    if (!*table) {
        fprintf(stderr, "Out of memory\n");
        return -1;
    }
    for (uint32_t i = 0; i < count; ++i) {
        kep::MapResult r = kep::map_buffer(fd, type, i, &(*table)[i]);
        if (r != kep::MapResult::mapped) {
            perror(r == kep::MapResult::query_failed ? query_msg : mmap_msg);
            return -1;
        }
    }
    return 0;
}

// By the count the table was built with.
int unmap_table(kep_buffer **table)
{
    if (!*table)
        return 0;
    if (kep::unmap_buffers(*table, kep::table_count(*table)) == -1)
        return -1;
    free(*table);
    *table = nullptr;
    return 0;
}

// Waits without a time limit until fd is readable; poll() rather than
// select() so that no descriptor number can reach past an fd_set.
int wait_readable(int fd)
{
    struct pollfd pfd;
    pfd.fd = fd;
    pfd.events = POLLIN;
    pfd.revents = 0;
    int r;
    do {
        r = poll(&pfd, 1, -1);
    } while (r == -1 && errno == EINTR);
    // A descriptor that is not open makes select() fail; poll() reports it
    // per descriptor instead, and the wait must fail the same way.
    if (r > 0 && (pfd.revents & POLLNVAL)) {
        errno = EBADF;
        return -1;
    }
    return r;
}

int queue_input(kep_m2m *m2m)
{
    v4l2_buffer_t buf;
    for (int tries = 0;; ++tries) {
        memset(&buf, 0, sizeof(buf));
        buf.index = m2m->dec_in_index;
        buf.type = BUF_TYPE_OUTPUT;
        buf.memory = MEMORY_MMAP;
        buf.bytesused = m2m->dec_in_size;
        int r = kep::ioctl_retry(m2m->dec_fd, QBUF, &buf);
        if (r != -1) {
            if (uint8_t *state = kep::table_state(m2m->dec_out_buffers, m2m->dec_in_index))
                *state = kep::BUF_QUEUED;
            return r;
        }
        perror("output qbuf, now retry");
        if (tries + 1 >= INPUT_QUEUE_TRIES) {
            fprintf(stderr, "kep_dec_read: decoder refused input buffer %u %d times, giving up\n",
                    m2m->dec_in_index, INPUT_QUEUE_TRIES);
            return r;
        }
        struct timespec pause = {0, INPUT_QUEUE_PAUSE_NS};
        nanosleep(&pause, nullptr);
    }
}

bool input_with_decoder(kep_m2m *m2m, uint32_t i)
{
    uint8_t *state = kep::table_state(m2m->dec_out_buffers, i);
    return state && (*state & kep::BUF_QUEUED);
}

// Takes one consumed input buffer back; false when none was done (EIO,
// EAGAIN: silent) or the request failed (printed).
bool take_input(kep_m2m *m2m)
{
    v4l2_buffer_t buf;
    memset(&buf, 0, sizeof(buf));
    buf.type = BUF_TYPE_OUTPUT;
    buf.memory = MEMORY_MMAP;
    if (kep::ioctl_retry(m2m->dec_fd, DQBUF, &buf) == -1) {
        if (errno != EIO && errno != EAGAIN)
            perror("output dqbuf");
        return false;
    }
    // An input the reader would be handed back could never be refilled.
    KEP_ASSERT(buf.index < m2m->m2m_buffers, "kep_dec_read");
    if (uint8_t *state = kep::table_state(m2m->dec_out_buffers, buf.index))
        *state = uint8_t(*state & ~kep::BUF_QUEUED);
    return true;
}

// Before a read: input buffers a failed dequeue left with the decoder come
// back, and pictures the library holds (a requeue the driver refused, one
// the encoder gave up) go back to the decoder. So does a picture the caller
// still holds: reading the next frame ends its use of the last one (a
// kep_dec2enc_reset whose bit-stream requeue failed returns before giving it
// back).
void settle(kep_m2m *m2m)
{
    kep::TableBook *book = kep::table_book(m2m->dec_cap_buffers);
    if (!book || !(book->flags & DEC_STREAMING))
        return;
    uint32_t inputs = kep::table_count(m2m->dec_out_buffers);
    for (uint32_t i = 0; i < inputs; ++i)
        if (input_with_decoder(m2m, i) && !take_input(m2m))
            break;
    for (uint32_t i = 0; i < book->count; ++i) {
        uint8_t *state = kep::table_state(m2m->dec_cap_buffers, i);
        if (*state & kep::BUF_CALLER)
            *state = uint8_t(*state & ~kep::BUF_CALLER);
        if (*state == 0 && kep::dec_picture_back(m2m, i) == -1)
            perror("capture qbuf");
    }
}

} // namespace

namespace kep {

int dec_picture_back(kep_m2m *m2m, uint32_t index)
{
    v4l2_buffer_t buf;
    memset(&buf, 0, sizeof(buf));
    buf.index = index;
    buf.type = BUF_TYPE_CAPTURE;
    buf.memory = MEMORY_MMAP;
    int r = kep::ioctl_retry(m2m->dec_fd, QBUF, &buf);
    if (uint8_t *state = table_state(m2m->dec_cap_buffers, index))
        *state = r == -1 ? 0 : BUF_QUEUED;
    return r;
}

} // namespace kep

extern "C" {

KEP_VC_API int32_t kep_dec_init(kep_m2m *m2m)
{
    int fd = m2m->dec_fd;
    int r;
    if ((r = kep::set_ctrl(fd, KEP_CID_PRIVATE_0, 1)) == -1 || (r = kep::set_ctrl(fd, KEP_CID_PRIVATE_1, 1)) == -1) {
        perror("ioctl");
        return r;
    }
    v4l2_capability cap;
    memset(&cap, 0, sizeof(cap));
    if ((r = kep::ioctl_retry(fd, QUERYCAP, &cap)) == -1) {
        perror("ioctl querycap");
        return r;
    }
    if ((r = kep::set_time_per_frame(fd, BUF_TYPE_OUTPUT, 1)) == -1) {
        perror("ioctl output set parm");
        return r;
    }
    if ((r = kep::set_time_per_frame(fd, BUF_TYPE_CAPTURE, 1)) == -1) {
        perror("ioctl capture set parm");
        return r;
    }
    if ((r = kep::set_pix_format(fd, BUF_TYPE_OUTPUT, m2m->width, m2m->height, m2m->dec_fourcc)) == -1) {
        perror("ioctl output set format");
        return r;
    }
    // A zero record carries scale 0; it divides as 1.
    uint32_t div = m2m->scale ? m2m->scale : 1;
    if ((r = kep::set_pix_format(fd, BUF_TYPE_CAPTURE, m2m->width / div, m2m->height / div, KEP_FOURCC_S420)) == -1) {
        perror("ioctl capture set format");
        return r;
    }
    printf("w: %d, h: %d, scale: %d\n", m2m->width, m2m->height, m2m->scale);
    return 0;
}

KEP_VC_API int32_t kep_dec_start(kep_m2m *m2m)
{
    int fd = m2m->dec_fd;
    uint32_t out_granted = 0, cap_granted = 0;
    int r;
    if ((r = kep::request_buffers(fd, BUF_TYPE_OUTPUT, MEMORY_MMAP, m2m->m2m_buffers, &out_granted)) == -1) {
        perror("ioctl output VIDIOC_REQBUFS");
        return r;
    }
    if ((r = kep::request_buffers(fd, BUF_TYPE_CAPTURE, MEMORY_MMAP, m2m->m2m_buffers, &cap_granted)) == -1) {
        perror("ioctl capture VIDIOC_REQBUFS");
        return r;
    }
    // The capture grant sets the count; an input queue granted fewer buffers
    // lowers it further, so that every index held in the record exists on
    // both queues.
    uint32_t count = cap_granted < out_granted ? cap_granted : out_granted;
    if (count != m2m->m2m_buffers)
        m2m->m2m_buffers = count;
    // No buffer on a queue leaves the caller no input buffer to fill and no
    // picture to take: fail rather than hand out empty tables.
    if (count == 0) {
        fprintf(stderr, "kep_dec_start: the decoder granted no buffers\n");
        return -1;
    }

    if ((r = map_table(fd, BUF_TYPE_OUTPUT, count, &m2m->dec_out_buffers, "ioctl output querybuf",
                       "mmap output querybuf")) != 0)
        return r;
    if ((r = map_table(fd, BUF_TYPE_CAPTURE, count, &m2m->dec_cap_buffers, "ioctl capture querybuf",
                       "mmap capture querybuf")) != 0)
        return r;

    for (uint32_t i = 0; i < count; ++i) {
        if ((r = kep::dec_picture_back(m2m, i)) == -1) {
            perror("ioctl");
            return r;
        }
    }
    uint32_t type = BUF_TYPE_OUTPUT;
    if ((r = kep::ioctl_retry(fd, STREAMON, &type)) == -1) {
        perror("ioctl");
        return r;
    }
    type = BUF_TYPE_CAPTURE;
    if ((r = kep::ioctl_retry(fd, STREAMON, &type)) == -1) {
        perror("ioctl");
        return r;
    }
    kep::table_book(m2m->dec_cap_buffers)->flags |= DEC_STREAMING;
    return 0;
}

KEP_VC_API int32_t kep_dec_read(kep_m2m *m2m)
{
    int fd = m2m->dec_fd;
    settle(m2m);
    if (queue_input(m2m) == -1) {
        // Nothing was decoded: the reset has no picture to give back.
        m2m->dec_index = 0;
        m2m->dec_size = 0;
        return -1;
    }

    if (wait_readable(fd) == -1) {
        perror("select");
        kep::die();
    }

    // A failure leaves the input with the decoder; the next read takes it back.
    take_input(m2m);

    // The wait said a picture is done: a dequeue that failed is tried once
    // more, so that one failed request does not leave every later picture a
    // read behind (and the last one with the decoder at the stop).
    v4l2_buffer_t buf;
    int r = -1;
    for (int attempt = 0; attempt < 2 && r == -1; ++attempt) {
        memset(&buf, 0, sizeof(buf));
        buf.type = BUF_TYPE_CAPTURE;
        buf.memory = MEMORY_MMAP;
        r = kep::ioctl_retry(fd, DQBUF, &buf);
        if (r == -1 && errno != EIO && errno != EAGAIN)
            perror("capture dqbuf");
    }
    // A picture index outside the table would be handed to the caller and to
    // the encoder; treat it as the driver fault it is.
    if (r != -1) {
        KEP_ASSERT(buf.index < m2m->m2m_buffers, "kep_dec_read");
        if (uint8_t *state = kep::table_state(m2m->dec_cap_buffers, buf.index))
            *state = kep::BUF_CALLER;
    }
    m2m->dec_index = buf.index;
    m2m->dec_size = buf.bytesused;
    return r;
}

KEP_VC_API int32_t kep_dec_reset(kep_m2m *m2m)
{
    // The next input buffer to fill is one the decoder does not have.
    uint32_t next = m2m->dec_in_index;
    for (uint32_t n = 0; n < m2m->m2m_buffers; ++n) {
        next = next + 1 >= m2m->m2m_buffers ? 0 : next + 1;
        if (!input_with_decoder(m2m, next))
            break;
    }
    m2m->dec_in_index = next;

    // Only the picture the read took goes back: after a read that took none
    // the decoder has every picture already. One the encoder still reads
    // goes back when the encoder gives it up.
    uint8_t *state = kep::table_state(m2m->dec_cap_buffers, m2m->dec_index);
    if (!state || !(*state & kep::BUF_CALLER))
        return 0;
    if (*state & kep::BUF_LENT) {
        *state = uint8_t(*state & ~kep::BUF_CALLER);
        return 0;
    }
    int r = kep::dec_picture_back(m2m, m2m->dec_index);
    if (r == -1)
        perror("capture qbuf");
    return r;
}

KEP_VC_API int32_t kep_dec_stop(kep_m2m *m2m)
{
    uint32_t type = BUF_TYPE_OUTPUT;
    int r = kep::ioctl_retry(m2m->dec_fd, STREAMOFF, &type);
    if (r != -1) {
        type = BUF_TYPE_CAPTURE;
        r = kep::ioctl_retry(m2m->dec_fd, STREAMOFF, &type);
    }
    if (r == -1) {
        kep::perror_at("kep_dec_stop", __LINE__, "ioctl");
        return r;
    }
    if (unmap_table(&m2m->dec_out_buffers) == -1 || unmap_table(&m2m->dec_cap_buffers) == -1)
        return -1;
    return 0;
}

KEP_VC_API int32_t kep_dec_uninit(kep_m2m *)
{
    return 0;
}

KEP_VC_API int32_t kep_dec2enc(kep_m2m *m2m)
{
    kep::codec_settle(m2m);
    int r = kep_dec_read(m2m);
    if (r != 0) {
        kep::perror_at("kep_dec2enc", __LINE__, "read");
        return r;
    }

    // The encoder reads the decoded picture in place (user pointer); with
    // memory kind 1 only the index is passed.
    if ((r = kep::codec_queue_picture(m2m, kep::Feeder::decoder, m2m->dec_index)) == -1) {
        kep::perror_at("kep_dec2enc", __LINE__, "ioctl");
        return r;
    }

    int ready = wait_readable(m2m->codec_fd);
    if (ready == -1) {
        perror("select");
        return -1;
    }

    if (m2m->m2m_enable)
        kep::codec_pictures_back(m2m, m2m->dec_index);
    // The wait said a frame is done: a dequeue that failed is tried once
    // more, so that one failed request does not leave every later frame a
    // picture behind.
    if (kep::codec_cap_dq(m2m) == -1)
        kep::codec_cap_dq(m2m);
    return ready;
}

KEP_VC_API int32_t kep_dec2enc_reset(kep_m2m *m2m)
{
    int r = kep::codec_frame_back(m2m);
    if (r == -1) {
        kep::perror_at("kep_dec2enc_reset", __LINE__, "reset");
        return r;
    }
    r = kep_dec_reset(m2m);
    if (r < 0) {
        kep::perror_at("kep_dec2enc_reset", __LINE__, "reset");
        return r;
    }
    return 0;
}

} // extern "C"
