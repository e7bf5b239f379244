/*
 * libkep_vc - video middleware of the kep IP-camera system-on-chip.
 *
 * Plain C interface (C99 and C++): fixed-width integers, records whose
 * fields are declared in their documented order. The caller owns every
 * record; the library owns only the buffer tables and mappings it builds
 * between an init/start call and the matching stop/uninit call.
 */
#ifndef KEP_VC_H
#define KEP_VC_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(KEP_VC_BUILD)
#define KEP_VC_API __attribute__((visibility("default")))
#else
#define KEP_VC_API
#endif

/* Fourcc codes: four ASCII characters, first character in the lowest byte. */
#define KEP_FOURCC(a, b, c, d) \
    ((uint32_t)(a) | ((uint32_t)(b) << 8) | ((uint32_t)(c) << 16) | ((uint32_t)(d) << 24))
#define KEP_FOURCC_H264 KEP_FOURCC('H', '2', '6', '4') /* 0x34363248 */
#define KEP_FOURCC_MJPG KEP_FOURCC('M', 'J', 'P', 'G') /* 0x47504A4D */
#define KEP_FOURCC_S420 KEP_FOURCC('S', '4', '2', '0') /* 0x30323453, YUV 4:2:0, 12 bpp */

/* ISP I/O methods (isp_io). Any other value means plain read(). */
#define KEP_IO_MMAP 1u
#define KEP_IO_USERPTR 2u

/* Buffer flags as the drivers report them. */
#define KEP_BUF_FLAG_KEYFRAME 0x8u
#define KEP_BUF_FLAG_ERROR 0x40u

/* Controls. */
#define KEP_CID_H264_I_FRAME_QP 0x00990A5Eu
#define KEP_CID_H264_P_FRAME_QP 0x00990A5Fu
#define KEP_CID_H264_ENTROPY_MODE 0x00990A65u
#define KEP_CID_H264_I_PERIOD 0x00990A66u
#define KEP_CID_JPEG_CHROMA_SUBSAMPLING 0x009D0901u
#define KEP_CID_JPEG_COMPRESSION_QUALITY 0x009D0903u
#define KEP_CID_PRIVATE_0 0x00981900u
#define KEP_CID_PRIVATE_1 0x00981901u
#define KEP_CID_PRIVATE_2 0x00981902u
#define KEP_CID_MJPEG_QTAB_LUMA 0x00981905u
#define KEP_CID_MJPEG_QTAB_CHROMA 0x00981906u

/* One buffer-table entry. */
typedef struct kep_buffer {
    void *start;
    uint32_t length;
} kep_buffer;

typedef struct kep_timestamp {
    int32_t tv_sec;
    int32_t tv_usec;
} kep_timestamp;

/* Context record of one video pipeline: caller-allocated and zero-filled. */
typedef struct kep_m2m {
    char isp_dev_name[12];
    char codec_dev_name[25];
    char codec_name[67];
    int32_t isp_fd;
    int32_t codec_fd;
    int32_t dec_fd;
    int32_t codec_skip_queue;
    int32_t m2m_enable;
    uint32_t scale;
    int32_t codec_ctrl_value;
    kep_timestamp timestamp;
    uint32_t width;
    uint32_t height;
    uint32_t isp_fps;
    uint32_t codec_fps;
    int32_t qp;
    int32_t gop;
    uint32_t m2m_buffers;
    uint32_t codec_flags;
    int32_t force_i_frame;
    kep_buffer *isp_buffers;
    kep_buffer *codec_cap_buffers;
    kep_buffer *codec_out_buffers;
    kep_buffer *dec_out_buffers;
    kep_buffer *dec_cap_buffers;
    uint32_t isp_index;
    uint32_t codec_index;
    uint32_t codec_size;
    uint32_t dec_index;
    uint32_t dec_size;
    uint32_t dec_in_index;
    uint32_t dec_in_size;
    uint32_t isp_fourcc;
    uint32_t codec_in_fourcc;
    uint32_t codec_fourcc;
    uint32_t dec_fourcc;
    uint32_t codec_in_memory;
    uint32_t isp_io;
    void *bs_reader;
    uint32_t codec_state;
} kep_m2m;

/* Datastamp parameter record: caller-owned. */
typedef struct kep_cds {
    char proc_dir[64];
    char bmp_path[64];
    char *text;
    int32_t start[2];
    int32_t dim[2];
    int32_t fg_color[3];
    int32_t bg_color[3];
    uint32_t threshold[3];
    int32_t color_attr[2];
    int32_t enable;
    int32_t scale;
    uint32_t width;
    uint32_t height;
    uint32_t *bitmap;
    uint32_t *scaled_bitmap;
    int32_t words;
    int32_t dump;
} kep_cds;

/* MSB-first bit reader over a caller-owned byte area. */
typedef struct bits_handler {
    uint8_t *cursor;
    uint8_t *start;
    uint32_t size;
    uint32_t bit_position;
} bits_handler;

/* Device access. */
KEP_VC_API int32_t kep_open_device(const char *path);

/* ISP capture stream. */
KEP_VC_API int32_t kep_isp_init(kep_m2m *m2m);
KEP_VC_API int32_t kep_isp_start(kep_m2m *m2m);
KEP_VC_API int32_t kep_isp_read(kep_m2m *m2m);
KEP_VC_API int32_t kep_isp_reset(kep_m2m *m2m);
KEP_VC_API int32_t kep_isp_stop(kep_m2m *m2m);
KEP_VC_API int32_t kep_isp_uninit(kep_m2m *m2m);

/* M2M encoder. */
KEP_VC_API int32_t kep_codec_init(kep_m2m *m2m);
KEP_VC_API int32_t kep_codec_start(kep_m2m *m2m);
KEP_VC_API int32_t kep_codec_read(kep_m2m *m2m);
KEP_VC_API int32_t kep_codec_reset(kep_m2m *m2m);
KEP_VC_API int32_t kep_codec_stop(kep_m2m *m2m);
KEP_VC_API int32_t kep_codec_uninit(kep_m2m *m2m);
KEP_VC_API int32_t kep_codec_set_qp(kep_m2m *m2m, uint32_t ctrl_id);
KEP_VC_API int32_t kep_codec_get_qp(kep_m2m *m2m);
KEP_VC_API int32_t kep_codec_set_gop(kep_m2m *m2m);
KEP_VC_API int32_t kep_codec_get_gop(kep_m2m *m2m);

/* Bit-stream reader and bit reader. */
KEP_VC_API int32_t kep_bs_reader_init(kep_m2m *m2m, const char *path);
KEP_VC_API int32_t kep_bs_reader_read_frame(kep_m2m *m2m, uint8_t *src, uint32_t src_len,
                                            uint8_t *dst, uint32_t dst_size);
KEP_VC_API int32_t kep_bs_reader_uninit(kep_m2m *m2m);
KEP_VC_API bits_handler *bits_handler_init(bits_handler *h, uint8_t *data, uint32_t size);
KEP_VC_API uint32_t read_bits(bits_handler *h, int32_t n);
KEP_VC_API uint32_t ue_exp_golomb(bits_handler *h);

/* MJPEG decoder controls, set while the reader parses. The quantisation-table
 * setters pass the 64-byte table's address as the control value (VIDIOC_S_CTRL)
 * where addresses are 32 bits wide; with wider addresses they send the same
 * control id with VIDIOC_S_EXT_CTRLS, one control whose pointer payload (size 64)
 * is the table itself. */
KEP_VC_API int32_t kep_dec_set_mjpeg_sample_format(kep_m2m *m2m, int32_t format);
KEP_VC_API int32_t kep_dec_set_mjpeg_qtab_luma(kep_m2m *m2m, const uint8_t *table);
KEP_VC_API int32_t kep_dec_set_mjpeg_qtab_chroma(kep_m2m *m2m, const uint8_t *table);

/* Hardware decoder and decode-to-encode. */
KEP_VC_API int32_t kep_dec_init(kep_m2m *m2m);
KEP_VC_API int32_t kep_dec_start(kep_m2m *m2m);
KEP_VC_API int32_t kep_dec_read(kep_m2m *m2m);
KEP_VC_API int32_t kep_dec_reset(kep_m2m *m2m);
KEP_VC_API int32_t kep_dec_stop(kep_m2m *m2m);
KEP_VC_API int32_t kep_dec_uninit(kep_m2m *m2m);
KEP_VC_API int32_t kep_dec2enc(kep_m2m *m2m);
KEP_VC_API int32_t kep_dec2enc_reset(kep_m2m *m2m);

/* Datastamp driver files. */
KEP_VC_API int32_t kep_cds_get_datastamp(const char *dir, char *buf, int32_t length);
KEP_VC_API int32_t kep_cds_set_datastamp(const char *dir, const char *data, int32_t length);
KEP_VC_API int32_t kep_cds_get_position(const char *dir, int32_t start[2], int32_t dim[2]);
KEP_VC_API int32_t kep_cds_set_position(const char *dir, const int32_t start[2], const int32_t dim[2]);
KEP_VC_API int32_t kep_cds_get_color(const char *dir);
KEP_VC_API int32_t kep_cds_set_color(const char *dir, const int32_t fg[3], const int32_t bg[3]);
KEP_VC_API int32_t kep_cds_get_color_attr(const char *dir);
KEP_VC_API int32_t kep_cds_set_color_attr(const char *dir, int32_t attr[2]);
KEP_VC_API int32_t kep_cds_get_scale(const char *dir);
KEP_VC_API int32_t kep_cds_set_scale(const char *dir, int32_t scale);
KEP_VC_API int32_t kep_cds_get_enable(const char *dir, int32_t *enable);
KEP_VC_API int32_t kep_cds_set_enable(const char *dir, int32_t enable);

/* Fonts and text stamps. A glyph block is 32 bytes (eight 32-bit words). */
#define KEP_FONT_GLYPHS 68
#define KEP_GLYPH_BYTES 32
KEP_VC_API extern const uint8_t OSD_Font_X1[KEP_FONT_GLYPHS * KEP_GLYPH_BYTES];
KEP_VC_API extern const uint8_t OSD_Font_X2[KEP_FONT_GLYPHS * KEP_GLYPH_BYTES];
KEP_VC_API extern const uint8_t OSD_Font_X4[KEP_FONT_GLYPHS * KEP_GLYPH_BYTES];
KEP_VC_API extern const uint8_t ascii_2_font[128];
KEP_VC_API int32_t kep_cds_scale_font(kep_cds *cds, const uint32_t *src, uint32_t *dst, int32_t count);
KEP_VC_API int32_t kep_cds_scale_datastamp(kep_cds *cds);
KEP_VC_API int32_t kep_cds_set_string(const char *dir, const char *text, int32_t scale);
KEP_VC_API int32_t kep_cds_set_font(kep_cds *cds, const uint8_t *table, const uint8_t *font);
KEP_VC_API int32_t kep_cds_set_all(const char *dir, kep_cds *cds);

/* BMP pictures as datastamp bitmaps. */
KEP_VC_API int32_t kep_read_bmp(kep_cds *cds);
KEP_VC_API int32_t kep_cds_set_bmp(kep_cds *cds);
KEP_VC_API int32_t kep_scale_down_bmppicture(const char *in_path, const char *out_path);
KEP_VC_API int32_t kep_scale_up_bmppicture(const char *in_path, const char *out_path);

#ifdef __cplusplus
}
#endif

#endif /* KEP_VC_H */
