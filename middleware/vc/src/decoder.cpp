// M2M hardware decoder: bit-stream frames go into the node's output queue,
// 'S420' pictures come out of its capture queue. Decoded pictures can be
// handed to the running encoder in place (decode-to-encode).
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

int map_table(int fd, uint32_t type, uint32_t count, kep_buffer **table, const char *query_msg,
              const char *mmap_msg)
{
    *table = static_cast<kep_buffer *>(calloc(count ? count : 1, sizeof(kep_buffer)));
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

int unmap_table(kep_buffer **table, uint32_t count)
{
    if (!*table)
        return 0;
    if (kep::unmap_buffers(*table, count) == -1)
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
        if (r != -1)
            return r;
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

} // namespace

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
        v4l2_buffer_t buf;
        memset(&buf, 0, sizeof(buf));
        buf.index = i;
        buf.type = BUF_TYPE_CAPTURE;
        buf.memory = MEMORY_MMAP;
        if ((r = kep::ioctl_retry(fd, QBUF, &buf)) == -1) {
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
    return 0;
}

KEP_VC_API int32_t kep_dec_read(kep_m2m *m2m)
{
    int fd = m2m->dec_fd;
    if (queue_input(m2m) == -1)
        return -1;

    if (wait_readable(fd) == -1) {
        perror("select");
        kep::die();
    }

    v4l2_buffer_t buf;
    memset(&buf, 0, sizeof(buf));
    buf.type = BUF_TYPE_OUTPUT;
    buf.memory = MEMORY_MMAP;
    if (kep::ioctl_retry(fd, DQBUF, &buf) == -1 && errno != EIO && errno != EAGAIN)
        perror("output dqbuf");

    memset(&buf, 0, sizeof(buf));
    buf.type = BUF_TYPE_CAPTURE;
    buf.memory = MEMORY_MMAP;
    int r = kep::ioctl_retry(fd, DQBUF, &buf);
    if (r == -1 && errno != EIO && errno != EAGAIN)
        perror("capture dqbuf");
    // A picture index outside the table would be handed to the caller and to
    // the encoder; treat it as the driver fault it is.
    if (r != -1)
        KEP_ASSERT(buf.index < m2m->m2m_buffers, "kep_dec_read");
    m2m->dec_index = buf.index;
    m2m->dec_size = buf.bytesused;
    return r;
}

KEP_VC_API int32_t kep_dec_reset(kep_m2m *m2m)
{
    m2m->dec_in_index = m2m->dec_in_index + 1 >= m2m->m2m_buffers ? 0 : m2m->dec_in_index + 1;

    v4l2_buffer_t buf;
    memset(&buf, 0, sizeof(buf));
    buf.index = m2m->dec_index;
    buf.type = BUF_TYPE_CAPTURE;
    buf.memory = MEMORY_MMAP;
    int r = kep::ioctl_retry(m2m->dec_fd, QBUF, &buf);
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
    if (unmap_table(&m2m->dec_out_buffers, m2m->m2m_buffers) == -1 ||
        unmap_table(&m2m->dec_cap_buffers, m2m->m2m_buffers) == -1)
        return -1;
    return 0;
}

KEP_VC_API int32_t kep_dec_uninit(kep_m2m *)
{
    return 0;
}

KEP_VC_API int32_t kep_dec2enc(kep_m2m *m2m)
{
    int r = kep_dec_read(m2m);
    if (r != 0) {
        kep::perror_at("kep_dec2enc", __LINE__, "read");
        return r;
    }

    v4l2_buffer_t buf;
    memset(&buf, 0, sizeof(buf));
    buf.index = m2m->dec_index;
    buf.type = BUF_TYPE_OUTPUT;
    buf.memory = m2m->codec_in_memory;
    if (m2m->codec_in_memory == MEMORY_USERPTR) {
        // The encoder reads the decoded picture in place.
        const kep_buffer &picture = m2m->dec_cap_buffers[m2m->dec_index];
        buf.m.userptr = static_cast<decltype(buf.m.userptr)>(reinterpret_cast<uintptr_t>(picture.start));
        buf.length = picture.length;
    }
    if ((r = kep::ioctl_retry(m2m->codec_fd, QBUF, &buf)) == -1) {
        kep::perror_at("kep_dec2enc", __LINE__, "ioctl");
        return r;
    }

    int ready = wait_readable(m2m->codec_fd);
    if (ready == -1) {
        perror("select");
        return -1;
    }

    if (m2m->m2m_enable)
        kep::codec_out_dq(m2m);
    kep::codec_cap_dq(m2m);
    return ready;
}

KEP_VC_API int32_t kep_dec2enc_reset(kep_m2m *m2m)
{
    int r = kep::codec_cap_q(m2m);
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
