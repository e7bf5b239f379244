// One frame of any bytes into the virtual decoder node through
// kep_dec_read/kep_dec_reset: byte 0 even = H.264 (byte 1 sets the entropy
// mode control), odd = MJPEG (bytes 1..2 seed the quantisation tables and
// the sub-sampling). Nothing may be read or written outside the buffers, and
// every frame must give the input buffer back.
#include "kep_vc.h"
#include "vcam.h"

#include <linux/videodev2.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>

namespace {

kep_m2m *open_decoder(uint32_t fourcc)
{
    kep_m2m *m = static_cast<kep_m2m *>(calloc(1, sizeof *m));
    m->dec_fd = kep_open_device("/dev/video2");
    m->dec_fourcc = fourcc;
    m->width = 64;
    m->height = 48;
    m->scale = 1;
    m->m2m_buffers = 2;
    if (kep_dec_init(m) != 0 || kep_dec_start(m) != 0)
        abort();
    return m;
}

kep_m2m *h264, *mjpg;

} // namespace

// Both decoders are set up once, before the first input, so that an input's
// allocations are its own.
extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    if (vcam_configure("") != 0)
        abort();
    (void)!freopen("/dev/null", "w", stdout); // the library's set-up lines
    h264 = open_decoder(KEP_FOURCC_H264);
    mjpg = open_decoder(KEP_FOURCC_MJPG);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 3)
        return 0;
    kep_m2m *m = (data[0] & 1) ? mjpg : h264;
    if (m == h264) {
        v4l2_control c = {0x00990A65, data[1] & 1};
        ioctl(m->dec_fd, VIDIOC_S_CTRL, &c);
    } else {
        static uint8_t table[64];
        for (unsigned i = 0; i < 64; ++i)
            table[i] = static_cast<uint8_t>(1 + (data[1] + i) % 255);
        kep_dec_set_mjpeg_qtab_luma(m, table);
        if (data[2] & 1)
            kep_dec_set_mjpeg_qtab_chroma(m, table);
        kep_dec_set_mjpeg_sample_format(m, (data[2] >> 1) & 1);
    }
    data += 3;
    size -= 3;
    kep_buffer &in = m->dec_out_buffers[m->dec_in_index];
    size_t n = size < in.length ? size : in.length;
    memcpy(in.start, data, n);
    m->dec_in_size = static_cast<uint32_t>(n);
    if (kep_dec_read(m) == 0) {
        if (m->dec_index >= m->m2m_buffers)
            abort();
        kep_dec_reset(m);
    } else {
        m->dec_in_index = m->dec_in_index + 1 >= m->m2m_buffers ? 0 : m->dec_in_index + 1;
    }
    return 0;
}
