/* vcxcode: decodes a stored H.264 or MJPEG elementary stream on the M2M
 * decoder and, with -t, re-encodes every decoded picture on the M2M encoder.
 * The bit-stream reader copies each frame straight into the decoder's mapped
 * input buffer; in transcoding the encoder takes the decoder's picture buffer
 * by user pointer (no copy) and the coded frame is written from the
 * encoder's mapped bit-stream buffer. Without -t the decoded pictures ('S420')
 * can be written raw with -o. */
#include "kep_vc.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

static void usage(FILE *out)
{
    fprintf(out,
            "Usage: vcxcode [options] INPUT\n"
            "Decodes INPUT, an H.264 or MJPEG elementary stream, on the M2M decoder; with -t\n"
            "re-encodes each picture on the M2M encoder into OUTPUT as an elementary stream.\n"
            "  -f FORMAT  input format, h264 or mjpg (default: from the file name, else h264)\n"
            "  -s WxH     stream picture size (default 1280x720)\n"
            "  -t FORMAT  transcode to h264 or mjpg\n"
            "  -o OUTPUT  the transcoded stream, or without -t the raw 'S420' pictures\n"
            "  -d PATH    decoder node (default /dev/video2)\n"
            "  -e PATH    encoder node (default /dev/video1)\n"
            "  -q QP      H.264 quantiser (0-51) or JPEG quality (1-100) of the encoder\n"
            "  -g N       key-frame period of the encoder (H.264)\n"
            "  -S N       divide the picture size by N (default 1)\n"
            "  -b N       buffers per queue (default 4)\n"
            "  -n N       stop after N frames (default: the whole stream)\n"
            "  -v         one line per frame on standard output\n");
}

static int parse_uint(const char *text, unsigned long max, unsigned long *out)
{
    char *end = NULL;
    unsigned long v;
    if (text == NULL || *text == '\0' || *text == '-')
        return -1;
    errno = 0;
    v = strtoul(text, &end, 10);
    if (errno != 0 || *end != '\0' || v > max)
        return -1;
    *out = v;
    return 0;
}

static int parse_format(const char *text, uint32_t *fourcc)
{
    if (strcmp(text, "h264") == 0)
        *fourcc = KEP_FOURCC_H264;
    else if (strcmp(text, "mjpg") == 0 || strcmp(text, "mjpeg") == 0)
        *fourcc = KEP_FOURCC_MJPG;
    else
        return -1;
    return 0;
}

static int ends_with(const char *s, const char *tail)
{
    size_t n = strlen(s), m = strlen(tail);
    return n >= m && strcmp(s + n - m, tail) == 0;
}

struct settings {
    const char *decoder, *encoder, *input, *output;
    unsigned long width, height, scale, buffers, frames;
    long qp, gop;
    uint32_t in_fourcc, out_fourcc;
    int verbose;
};

static int parse_args(int argc, char **argv, struct settings *s)
{
    int c, format_given = 0;
    unsigned long v;
    while ((c = getopt(argc, argv, "f:s:t:o:d:e:q:g:S:b:n:vh")) != -1) {
        switch (c) {
        case 'f':
            if (parse_format(optarg, &s->in_fourcc))
                return -1;
            format_given = 1;
            break;
        case 's': {
            char *x = strchr(optarg, 'x');
            if (x == NULL)
                return -1;
            *x = '\0';
            if (parse_uint(optarg, 8192, &s->width) || parse_uint(x + 1, 8192, &s->height) || !s->width ||
                !s->height)
                return -1;
            break;
        }
        case 't':
            if (parse_format(optarg, &s->out_fourcc))
                return -1;
            break;
        case 'o': s->output = optarg; break;
        case 'd': s->decoder = optarg; break;
        case 'e': s->encoder = optarg; break;
        case 'q':
            if (parse_uint(optarg, 100, &v))
                return -1;
            s->qp = (long)v;
            break;
        case 'g':
            if (parse_uint(optarg, 100000, &v))
                return -1;
            s->gop = (long)v;
            break;
        case 'S':
            if (parse_uint(optarg, 16, &s->scale) || s->scale == 0)
                return -1;
            break;
        case 'b':
            if (parse_uint(optarg, 32, &s->buffers) || s->buffers < 1)
                return -1;
            break;
        case 'n':
            if (parse_uint(optarg, 100000000, &s->frames))
                return -1;
            break;
        case 'v': s->verbose = 1; break;
        case 'h': usage(stdout); exit(0);
        default: return -1;
        }
    }
    if (optind != argc - 1)
        return -1;
    s->input = argv[optind];
    if (!format_given && (ends_with(s->input, ".mjpg") || ends_with(s->input, ".mjpeg") ||
                          ends_with(s->input, ".jpg")))
        s->in_fourcc = KEP_FOURCC_MJPG;
    if (strlen(s->encoder) >= sizeof(((kep_m2m *)0)->codec_dev_name)) {
        fprintf(stderr, "vcxcode: node path too long\n");
        return -1;
    }
    if (s->out_fourcc != 0 && s->output == NULL) {
        fprintf(stderr, "vcxcode: -t needs an output (-o)\n");
        return -1;
    }
    if (s->out_fourcc == KEP_FOURCC_H264 && s->qp > 51) {
        fprintf(stderr, "vcxcode: an H.264 quantiser is 0 to 51\n");
        return -1;
    }
    if (s->out_fourcc == KEP_FOURCC_MJPG && s->qp == 0) {
        fprintf(stderr, "vcxcode: a JPEG quality is 1 to 100\n");
        return -1;
    }
    return 0;
}

/* A frame that gave no picture holds no picture buffer: only the next input
 * buffer is chosen, as kep_dec_reset would. */
static void next_input(kep_m2m *m)
{
    m->dec_in_index = m->dec_in_index + 1 >= m->m2m_buffers ? 0 : m->dec_in_index + 1;
}

/* The encoder's settings and start, after the decoder runs: its input
 * pictures are the decoder's, taken by user pointer. */
static int start_encoder(kep_m2m *m, const struct settings *s)
{
    strcpy(m->codec_dev_name, s->encoder);
    m->codec_fd = kep_open_device(m->codec_dev_name);
    if (m->codec_fd < 0)
        return -1;
    m->m2m_enable = 1;
    m->codec_in_memory = 2;
    m->isp_fourcc = KEP_FOURCC_S420;
    m->codec_fourcc = s->out_fourcc;
    m->isp_fps = m->codec_fps = 30;
    /* The encoder's pictures are the decoder's output: already divided. */
    m->width = (uint32_t)(s->width / s->scale);
    m->height = (uint32_t)(s->height / s->scale);
    m->scale = 1;
    if (kep_codec_init(m) != 0)
        return -1;
    if (s->qp >= 0) {
        m->qp = (int32_t)s->qp;
        if (kep_codec_set_qp(m, 0x00990A5E) != 0 ||
            (s->out_fourcc == KEP_FOURCC_H264 && kep_codec_set_qp(m, 0x00990A5F) != 0))
            return -1;
    }
    if (s->gop >= 0) {
        m->gop = (int32_t)s->gop;
        if (kep_codec_set_gop(m) != 0)
            return -1;
    }
    return kep_codec_start(m);
}

int main(int argc, char **argv)
{
    struct settings s;
    kep_m2m *m;
    FILE *out = NULL;
    unsigned long frames = 0, pictures = 0, coded = 0, keys = 0, failed = 0;
    unsigned long long bytes = 0;
    int status = 0, coding = 0;

    memset(&s, 0, sizeof s);
    s.decoder = "/dev/video2";
    s.encoder = "/dev/video1";
    s.width = 1280;
    s.height = 720;
    s.scale = 1;
    s.buffers = 4;
    s.qp = -1;
    s.gop = -1;
    s.in_fourcc = KEP_FOURCC_H264;
    if (parse_args(argc, argv, &s) != 0) {
        usage(stderr);
        return 1;
    }
    if (access(s.input, R_OK) != 0) {
        fprintf(stderr, "vcxcode: cannot read %s: %s\n", s.input, strerror(errno));
        return 1;
    }

    m = calloc(1, sizeof *m);
    if (m == NULL) {
        fprintf(stderr, "vcxcode: out of memory\n");
        return 1;
    }
    m->dec_fd = kep_open_device(s.decoder);
    if (m->dec_fd < 0) {
        fprintf(stderr, "vcxcode: cannot set up %s\n", s.decoder);
        free(m);
        return 1;
    }
    m->dec_fourcc = s.in_fourcc;
    m->width = (uint32_t)s.width;
    m->height = (uint32_t)s.height;
    m->scale = (uint32_t)s.scale;
    m->m2m_buffers = (uint32_t)s.buffers;
    if (kep_dec_init(m) != 0 || kep_dec_start(m) != 0) {
        fprintf(stderr, "vcxcode: decoder set-up failed\n");
        status = 1;
        goto stop_decoder;
    }
    if (s.out_fourcc != 0) {
        coding = 1;
        if (start_encoder(m, &s) != 0) {
            fprintf(stderr, "vcxcode: encoder set-up failed\n");
            status = 1;
            goto stop_all;
        }
    }
    if (kep_bs_reader_init(m, s.input) != 0) {
        fprintf(stderr, "vcxcode: cannot read %s\n", s.input);
        status = 1;
        goto stop_all;
    }
    if (s.output != NULL && (out = fopen(s.output, "wb")) == NULL) {
        fprintf(stderr, "vcxcode: cannot write %s: %s\n", s.output, strerror(errno));
        status = 1;
        goto stop_reader;
    }

    while (s.frames == 0 || frames < s.frames) {
        kep_buffer *in = &m->dec_out_buffers[m->dec_in_index];
        int32_t n = kep_bs_reader_read_frame(m, NULL, 0, in->start, in->length);
        if (n < 0)
            break;
        m->dec_in_size = (uint32_t)n;
        ++frames;
        if (coding) {
            int r = kep_dec2enc(m);
            if (r > 0 && m->codec_size > 0) {
                const kep_buffer *bs = &m->codec_cap_buffers[m->codec_index];
                ++pictures;
                ++coded;
                if (m->codec_flags & 0x8)
                    ++keys;
                bytes += m->codec_size;
                if (fwrite(bs->start, 1, m->codec_size, out) != m->codec_size) {
                    fprintf(stderr, "vcxcode: cannot write %s\n", s.output);
                    status = 1;
                }
            } else if (r > 0) {
                ++pictures;
                ++failed;
            } else {
                ++failed;
            }
            if (s.verbose)
                printf("frame %lu: in %u bytes, out %u bytes%s\n", frames, m->dec_in_size,
                       r > 0 ? m->codec_size : 0, r > 0 && (m->codec_flags & 0x8) ? " key" : "");
            if (r > 0) {
                if (kep_dec2enc_reset(m) != 0)
                    status = 1;
            } else if (m->dec_size > 0) {
                if (kep_dec_reset(m) < 0)
                    status = 1;
            } else {
                next_input(m);
            }
        } else {
            int r = kep_dec_read(m);
            if (r == 0 && m->dec_size > 0) {
                ++pictures;
                if (out != NULL) {
                    const kep_buffer *pic = &m->dec_cap_buffers[m->dec_index];
                    if (fwrite(pic->start, 1, m->dec_size, out) != m->dec_size) {
                        fprintf(stderr, "vcxcode: cannot write %s\n", s.output);
                        status = 1;
                    }
                    bytes += m->dec_size;
                }
            } else {
                ++failed;
            }
            if (s.verbose)
                printf("frame %lu: in %u bytes, picture %u bytes\n", frames, m->dec_in_size,
                       r == 0 ? m->dec_size : 0);
            if (r == 0) {
                if (kep_dec_reset(m) < 0)
                    status = 1;
            } else {
                next_input(m);
            }
        }
        if (status != 0)
            break;
    }
    if (coding)
        printf("vcxcode: %lu frames read, %lu pictures decoded, %lu frames coded (%lu key), %llu bytes written, %lu "
               "without a picture\n",
               frames, pictures, coded, keys, bytes, failed);
    else
        printf("vcxcode: %lu frames read, %lu pictures decoded, %llu bytes written, %lu without a picture\n", frames,
               pictures, bytes, failed);

    if (out != NULL && fclose(out) != 0) {
        fprintf(stderr, "vcxcode: cannot write %s\n", s.output);
        status = 1;
    }
stop_reader:
    kep_bs_reader_uninit(m);
stop_all:
    if (coding) {
        if (m->codec_state == 1 && kep_codec_stop(m) != 0)
            status = 1;
        if (kep_codec_uninit(m) != 0)
            status = 1;
        free(m->codec_cap_buffers);
        free(m->codec_out_buffers);
        if (m->codec_fd >= 0)
            close(m->codec_fd);
    }
stop_decoder:
    if ((m->dec_out_buffers != NULL || m->dec_cap_buffers != NULL) && kep_dec_stop(m) != 0)
        status = 1;
    kep_dec_uninit(m);
    close(m->dec_fd);
    free(m);
    return status;
}
