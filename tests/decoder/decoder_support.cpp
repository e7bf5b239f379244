#include "decoder_support.h"

#include <stdlib.h>
#include <string.h>
#include <unistd.h>

namespace dec_test {

std::vector<Frame> scene_h264(unsigned n, unsigned w, unsigned h)
{
    std::vector<Frame> frames;
    kep_m2m *e = static_cast<kep_m2m *>(calloc(1, sizeof(kep_m2m)));
    strcpy(e->codec_dev_name, "/dev/video1");
    e->codec_fd = kep_open_device(e->codec_dev_name);
    e->m2m_enable = 0;
    e->scale = 1;
    e->width = w;
    e->height = h;
    e->isp_fps = e->codec_fps = 30;
    e->codec_fourcc = KEP_FOURCC_H264;
    e->m2m_buffers = 2;
    if (e->codec_fd >= 0 && kep_codec_init(e) == 0 && kep_codec_start(e) == 0) {
        for (unsigned i = 0; i < n; ++i) {
            kep_codec_read(e);
            if (e->codec_size == 0)
                break;
            const uint8_t *p = static_cast<const uint8_t *>(e->codec_cap_buffers[e->codec_index].start);
            frames.emplace_back(p, p + e->codec_size);
            kep_codec_reset(e);
        }
        kep_codec_stop(e);
    }
    kep_codec_uninit(e);
    if (e->codec_fd >= 0)
        close(e->codec_fd);
    free(e->codec_cap_buffers);
    free(e);
    if (frames.size() != n)
        frames.clear();
    return frames;
}

Dec::Dec(uint32_t fourcc, unsigned width, unsigned height, unsigned buffers, unsigned scale)
{
    m = static_cast<kep_m2m *>(calloc(1, sizeof(kep_m2m)));
    m->dec_fd = kep_open_device("/dev/video2");
    m->dec_fourcc = fourcc;
    m->width = width;
    m->height = height;
    m->m2m_buffers = buffers;
    m->scale = scale;
}

Dec::~Dec()
{
    if (started)
        kep_dec_stop(m);
    kep_dec_uninit(m);
    if (m->dec_fd >= 0)
        close(m->dec_fd);
    free(m);
}

bool Dec::init_and_start()
{
    started = kep_dec_init(m) == 0 && kep_dec_start(m) == 0;
    return started;
}

bool Dec::put(const Frame &frame)
{
    const kep_buffer &b = m->dec_out_buffers[m->dec_in_index];
    if (frame.size() > b.length)
        return false;
    memcpy(b.start, frame.data(), frame.size());
    m->dec_in_size = static_cast<uint32_t>(frame.size());
    return true;
}

} // namespace dec_test
