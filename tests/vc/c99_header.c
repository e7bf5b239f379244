/* The public header as a C99 caller sees it: it compiles cleanly under
 * -std=c99 -pedantic, its records have the documented layout on both the
 * 64-bit host and the 32-bit camera, and a program links against the
 * library through it. */
#include "kep_vc.h"

#include <stddef.h>
#include <stdio.h>
#include <string.h>

/* C99 has no static assertion: a negative array size stops the compile. */
#define LAYOUT(name, cond) typedef char layout_##name[(cond) ? 1 : -1]

#if UINTPTR_MAX == 0xFFFFFFFFFFFFFFFFu
#define P64 1
#elif UINTPTR_MAX == 0xFFFFFFFFu
#define P64 0
#else
#error "only 32- and 64-bit pointers are described"
#endif
/* Offset or size for the 64-bit layout, then for the 32-bit one. */
#define AT(o64, o32) (P64 ? (o64) : (o32))

LAYOUT(buffer_start, offsetof(kep_buffer, start) == 0);
LAYOUT(buffer_length, offsetof(kep_buffer, length) == AT(8, 4));
LAYOUT(buffer_size, sizeof(kep_buffer) == AT(16, 8));

LAYOUT(m2m_isp_dev_name, offsetof(kep_m2m, isp_dev_name) == 0 && sizeof(((kep_m2m *)0)->isp_dev_name) == 12);
LAYOUT(m2m_codec_dev_name, offsetof(kep_m2m, codec_dev_name) == 12 && sizeof(((kep_m2m *)0)->codec_dev_name) == 25);
LAYOUT(m2m_codec_name, offsetof(kep_m2m, codec_name) == 37 && sizeof(((kep_m2m *)0)->codec_name) == 67);
LAYOUT(m2m_isp_fd, offsetof(kep_m2m, isp_fd) == 104);
LAYOUT(m2m_codec_fd, offsetof(kep_m2m, codec_fd) == 108);
LAYOUT(m2m_dec_fd, offsetof(kep_m2m, dec_fd) == 112);
LAYOUT(m2m_codec_skip_queue, offsetof(kep_m2m, codec_skip_queue) == 116);
LAYOUT(m2m_m2m_enable, offsetof(kep_m2m, m2m_enable) == 120);
LAYOUT(m2m_scale, offsetof(kep_m2m, scale) == 124);
LAYOUT(m2m_codec_ctrl_value, offsetof(kep_m2m, codec_ctrl_value) == 128);
LAYOUT(m2m_timestamp, offsetof(kep_m2m, timestamp) == 132 && sizeof(((kep_m2m *)0)->timestamp) == 8);
LAYOUT(m2m_width, offsetof(kep_m2m, width) == 140);
LAYOUT(m2m_height, offsetof(kep_m2m, height) == 144);
LAYOUT(m2m_isp_fps, offsetof(kep_m2m, isp_fps) == 148);
LAYOUT(m2m_codec_fps, offsetof(kep_m2m, codec_fps) == 152);
LAYOUT(m2m_qp, offsetof(kep_m2m, qp) == 156);
LAYOUT(m2m_gop, offsetof(kep_m2m, gop) == 160);
LAYOUT(m2m_m2m_buffers, offsetof(kep_m2m, m2m_buffers) == 164);
LAYOUT(m2m_codec_flags, offsetof(kep_m2m, codec_flags) == 168);
LAYOUT(m2m_force_i_frame, offsetof(kep_m2m, force_i_frame) == 172);
LAYOUT(m2m_isp_buffers, offsetof(kep_m2m, isp_buffers) == 176);
LAYOUT(m2m_codec_cap_buffers, offsetof(kep_m2m, codec_cap_buffers) == AT(184, 180));
LAYOUT(m2m_codec_out_buffers, offsetof(kep_m2m, codec_out_buffers) == AT(192, 184));
LAYOUT(m2m_dec_out_buffers, offsetof(kep_m2m, dec_out_buffers) == AT(200, 188));
LAYOUT(m2m_dec_cap_buffers, offsetof(kep_m2m, dec_cap_buffers) == AT(208, 192));
LAYOUT(m2m_isp_index, offsetof(kep_m2m, isp_index) == AT(216, 196));
LAYOUT(m2m_codec_index, offsetof(kep_m2m, codec_index) == AT(220, 200));
LAYOUT(m2m_codec_size, offsetof(kep_m2m, codec_size) == AT(224, 204));
LAYOUT(m2m_dec_index, offsetof(kep_m2m, dec_index) == AT(228, 208));
LAYOUT(m2m_dec_size, offsetof(kep_m2m, dec_size) == AT(232, 212));
LAYOUT(m2m_dec_in_index, offsetof(kep_m2m, dec_in_index) == AT(236, 216));
LAYOUT(m2m_dec_in_size, offsetof(kep_m2m, dec_in_size) == AT(240, 220));
LAYOUT(m2m_isp_fourcc, offsetof(kep_m2m, isp_fourcc) == AT(244, 224));
LAYOUT(m2m_codec_in_fourcc, offsetof(kep_m2m, codec_in_fourcc) == AT(248, 228));
LAYOUT(m2m_codec_fourcc, offsetof(kep_m2m, codec_fourcc) == AT(252, 232));
LAYOUT(m2m_dec_fourcc, offsetof(kep_m2m, dec_fourcc) == AT(256, 236));
LAYOUT(m2m_codec_in_memory, offsetof(kep_m2m, codec_in_memory) == AT(260, 240));
LAYOUT(m2m_isp_io, offsetof(kep_m2m, isp_io) == AT(264, 244));
LAYOUT(m2m_bs_reader, offsetof(kep_m2m, bs_reader) == AT(272, 248));
LAYOUT(m2m_codec_state, offsetof(kep_m2m, codec_state) == AT(280, 252));
LAYOUT(m2m_size, sizeof(kep_m2m) == AT(288, 256));

LAYOUT(cds_proc_dir, offsetof(kep_cds, proc_dir) == 0 && sizeof(((kep_cds *)0)->proc_dir) == 64);
LAYOUT(cds_bmp_path, offsetof(kep_cds, bmp_path) == 64 && sizeof(((kep_cds *)0)->bmp_path) == 64);
LAYOUT(cds_text, offsetof(kep_cds, text) == 128);
LAYOUT(cds_start, offsetof(kep_cds, start) == AT(136, 132));
LAYOUT(cds_dim, offsetof(kep_cds, dim) == AT(144, 140));
LAYOUT(cds_fg_color, offsetof(kep_cds, fg_color) == AT(152, 148));
LAYOUT(cds_bg_color, offsetof(kep_cds, bg_color) == AT(164, 160));
LAYOUT(cds_threshold, offsetof(kep_cds, threshold) == AT(176, 172));
LAYOUT(cds_color_attr, offsetof(kep_cds, color_attr) == AT(188, 184));
LAYOUT(cds_enable, offsetof(kep_cds, enable) == AT(196, 192));
LAYOUT(cds_scale, offsetof(kep_cds, scale) == AT(200, 196));
LAYOUT(cds_width, offsetof(kep_cds, width) == AT(204, 200));
LAYOUT(cds_height, offsetof(kep_cds, height) == AT(208, 204));
LAYOUT(cds_bitmap, offsetof(kep_cds, bitmap) == AT(216, 208));
LAYOUT(cds_scaled_bitmap, offsetof(kep_cds, scaled_bitmap) == AT(224, 212));
LAYOUT(cds_words, offsetof(kep_cds, words) == AT(232, 216));
LAYOUT(cds_dump, offsetof(kep_cds, dump) == AT(236, 220));
LAYOUT(cds_size, sizeof(kep_cds) == AT(240, 224));

LAYOUT(fourcc_s420, KEP_FOURCC_S420 == 0x30323453u);
LAYOUT(fourcc_h264, KEP_FOURCC_H264 == 0x34363248u);
LAYOUT(fourcc_mjpg, KEP_FOURCC_MJPG == 0x47504A4Du);

int main(void)
{
    kep_m2m m2m;
    int failures = 0;

    /* A zero-filled record is valid input: with no table there is nothing
     * to release, and read mode (isp_io 0) stops without a driver request. */
    memset(&m2m, 0, sizeof(m2m));
    m2m.isp_fd = -1;
    if (kep_isp_uninit(&m2m) != 0) {
        fprintf(stderr, "kep_isp_uninit on a record without a table did not return 0\n");
        failures++;
    }
    if (kep_isp_stop(&m2m) != 0) {
        fprintf(stderr, "kep_isp_stop in read mode did not return 0\n");
        failures++;
    }
    return failures ? 1 : 0;
}
