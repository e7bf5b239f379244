// M2M hardware encoder: raw pictures go into the node's output queue, H.264
// or MJPEG frames come out of its capture queue. Only one bit-stream buffer
// circulates; pictures arrive by user pointer from the ISP without a copy.
#include "codec.h"
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
// an index outside it; only buffers that exist are queried and mapped.
int map_queue(kep_m2m *m2m, uint32_t type, uint32_t granted, kep_buffer **table)
{
    uint32_t entries = granted > m2m->m2m_buffers ? granted : m2m->m2m_buffers;
    uint32_t mapped = granted < m2m->m2m_buffers ? granted : m2m->m2m_buffers;
    *table = static_cast<kep_buffer *>(calloc(entries ? entries : 1, sizeof(kep_buffer)));
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
    return r;
}

void codec_out_q(kep_m2m *m2m)
{
    v4l2_buffer_t buf;
    memset(&buf, 0, sizeof(buf));
    buf.index = m2m->isp_index;
    buf.type = abi::BUF_TYPE_OUTPUT;
    buf.memory = m2m->codec_in_memory;
    if (m2m->codec_in_memory == abi::MEMORY_USERPTR) {
        const kep_buffer &picture = m2m->isp_buffers[m2m->isp_index];
        buf.m.userptr = static_cast<decltype(buf.m.userptr)>(reinterpret_cast<uintptr_t>(picture.start));
        buf.length = picture.length;
    }
    if (kep::ioctl_retry(m2m->codec_fd, abi::QBUF, &buf) == -1)
        perror_at("kep_codec_out_q", __LINE__, "ioctl");
}

void codec_out_dq(kep_m2m *m2m)
{
    v4l2_buffer_t buf;
    memset(&buf, 0, sizeof(buf));
    buf.type = abi::BUF_TYPE_OUTPUT;
    buf.memory = m2m->codec_in_memory;
    if (kep::ioctl_retry(m2m->codec_fd, abi::DQBUF, &buf) == -1 && errno != EIO && errno != EAGAIN)
        perror("ioctl");
}

void codec_cap_dq(kep_m2m *m2m)
{
    v4l2_buffer_t buf;
    memset(&buf, 0, sizeof(buf));
    buf.type = abi::BUF_TYPE_CAPTURE;
    buf.memory = abi::MEMORY_MMAP;
    int r = kep::ioctl_retry(m2m->codec_fd, abi::DQBUF, &buf);
    // The descriptor was zeroed, so a failed dequeue reads as "no frame".
    m2m->codec_flags = buf.flags;
    m2m->codec_index = buf.index;
    m2m->codec_size = buf.bytesused;
    if (r == -1) {
        if (errno != EIO && errno != EAGAIN)
            perror("ioctl");
    } else {
        KEP_ASSERT(buf.index < m2m->m2m_buffers, "kep_codec_cap_dq");
    }
    if (!(m2m->codec_flags & KEP_BUF_FLAG_ERROR))
        m2m->force_i_frame = 0;
}

} // namespace kep

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
    if (m2m->m2m_enable) {
        if (m2m->codec_in_memory == MEMORY_USERPTR && kep_isp_next_frame(m2m) == -1 &&
            m2m->codec_state != STATE_STOPPED) {
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

        kep::codec_out_dq(m2m);
    }
    kep::codec_cap_dq(m2m);
    return 0;
}

KEP_VC_API int32_t kep_codec_reset(kep_m2m *m2m)
{
    bool isp_feeds = m2m->m2m_enable && m2m->codec_in_memory == MEMORY_USERPTR;
    if (m2m->codec_size == 0 && !(m2m->codec_flags & KEP_BUF_FLAG_ERROR)) {
        // No frame came out; after a stop the ISP frame the read took still
        // has to go back.
        if (m2m->codec_state == STATE_STOPPED && isp_feeds)
            kep_isp_q(m2m);
        return 0;
    }
    if (isp_feeds)
        kep_isp_q(m2m);
    if (!m2m->codec_skip_queue)
        kep::codec_cap_q(m2m);
    return 0;
}

KEP_VC_API int32_t kep_codec_stop(kep_m2m *m2m)
{
    uint32_t type = BUF_TYPE_OUTPUT;
    if (m2m->m2m_enable && kep::ioctl_retry(m2m->codec_fd, STREAMOFF, &type) == -1) {
        kep::perror_at("kep_codec_stop", __LINE__, "ioctl");
        return -1;
    }
    type = BUF_TYPE_CAPTURE;
    if (kep::ioctl_retry(m2m->codec_fd, STREAMOFF, &type) == -1) {
        kep::perror_at("kep_codec_stop", __LINE__, "ioctl");
        return -1;
    }
    m2m->codec_state = STATE_STOPPED;
    return 0;
}

KEP_VC_API int32_t kep_codec_uninit(kep_m2m *m2m)
{
    if (m2m->codec_cap_buffers) {
        if (kep::unmap_buffers(m2m->codec_cap_buffers, m2m->m2m_buffers) == -1)
            return -1;
        // The tables go with their mappings so that init/uninit cycles do
        // not leak.
        free(m2m->codec_cap_buffers);
        m2m->codec_cap_buffers = nullptr;
    }
    if (m2m->codec_in_memory == MEMORY_MMAP && m2m->codec_out_buffers) {
        if (kep::unmap_buffers(m2m->codec_out_buffers, m2m->m2m_buffers) == -1)
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
