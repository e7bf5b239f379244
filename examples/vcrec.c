/* vcrec: records H.264 or MJPEG from the camera into an elementary-stream
 * file. The ISP streams pictures, the M2M encoder takes each ISP buffer by
 * user pointer (no copy) and the coded frame is written straight from the
 * encoder's mapped bit-stream buffer. A key frame can be asked for every N
 * frames (-k) or at any time with SIGUSR1. A datastamp, a text (a running
 * clock when it holds strftime conversions) or a BMP logo, can be burnt into
 * the pictures by the codec driver for the length of the recording. */
#include "kep_vc.h"

#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

static volatile sig_atomic_t key_requested;
static volatile sig_atomic_t stop_requested;

static void on_usr1(int sig)
{
    (void)sig;
    key_requested = 1;
}

static void on_stop(int sig)
{
    (void)sig;
    stop_requested = 1;
}

static void usage(FILE *out)
{
    fprintf(out,
            "Usage: vcrec [options] OUTPUT\n"
            "Records frames from the ISP through the M2M encoder into OUTPUT as an\n"
            "elementary stream (H.264 with start codes, or MJPEG pictures back to back).\n"
            "  -i PATH    ISP node (default /dev/video0)\n"
            "  -e PATH    encoder node (default /dev/video1)\n"
            "  -s WxH     picture size (default 1280x720)\n"
            "  -r FPS     frame rate of the ISP and the stream (default 30)\n"
            "  -f FORMAT  h264 or mjpg (default h264)\n"
            "  -q QP      H.264 quantiser of I and P frames (0-51), or JPEG quality (1-100)\n"
            "  -g N       key-frame period in frames (H.264)\n"
            "  -n N       frames to write (default 90)\n"
            "  -k N       ask for a key frame every N frames (default 0: never)\n"
            "  -S N       divide the picture size by N (default 1)\n"
            "  -b N       buffers per queue (default 4)\n"
            "  -R N       stop and restart the encoder after N frames\n"
            "  -u         ISP in user-pointer mode (default: memory-mapped)\n"
            "  -v         one line per frame on standard output\n"
            "Datastamp, burnt into the pictures by the codec driver while recording:\n"
            "  -t TEXT    text stamp; strftime conversions make it a clock redrawn each\n"
            "             second, e.g. -t %%H:%%M:%%S (at most 11 characters always fit)\n"
            "  -l BMP     logo stamp from a 24-bit BMP, sides multiples of 16, 1280 words\n"
            "  -p X,Y     stamp position in picture pixels (default 16,16)\n"
            "  -m N       stamp magnification 1, 2 or 4 (default 1)\n"
            "  -d DIR     datastamp root: the channel's files are DIR/<channel>\n"
            "             (default /proc/codec)\n"
            "SIGUSR1 asks for a key frame; SIGINT or SIGTERM end the recording.\n");
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

/* Longest stamp text taken, before and after the clock's conversions; the
 * driver's block text holds 11 characters at least, up to 31 narrow ones. */
#define STAMP_TEXT_MAX 64

struct settings {
    const char *isp, *encoder, *output;
    unsigned long width, height, fps, frames, key_every, scale, buffers, restart_at;
    long qp, gop;
    uint32_t fourcc;
    int userptr, verbose;
    const char *stamp_root, *stamp_text, *stamp_bmp;
    unsigned long stamp_x, stamp_y, stamp_scale;
};

static int parse_args(int argc, char **argv, struct settings *s)
{
    int c;
    unsigned long v;
    while ((c = getopt(argc, argv, "i:e:s:r:f:q:g:n:k:S:b:R:uvht:l:p:m:d:")) != -1) {
        switch (c) {
        case 'i': s->isp = optarg; break;
        case 'e': s->encoder = optarg; break;
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
        case 'r':
            if (parse_uint(optarg, 1000, &s->fps) || s->fps == 0)
                return -1;
            break;
        case 'f':
            if (strcmp(optarg, "h264") == 0)
                s->fourcc = KEP_FOURCC_H264;
            else if (strcmp(optarg, "mjpg") == 0)
                s->fourcc = KEP_FOURCC_MJPG;
            else
                return -1;
            break;
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
        case 'n':
            if (parse_uint(optarg, 10000000, &s->frames) || s->frames == 0)
                return -1;
            break;
        case 'k':
            if (parse_uint(optarg, 10000000, &s->key_every))
                return -1;
            break;
        case 'S':
            if (parse_uint(optarg, 16, &s->scale) || s->scale == 0)
                return -1;
            break;
        case 'b':
            if (parse_uint(optarg, 32, &s->buffers) || s->buffers < 2)
                return -1;
            break;
        case 'R':
            if (parse_uint(optarg, 10000000, &s->restart_at))
                return -1;
            break;
        case 't': s->stamp_text = optarg; break;
        case 'l': s->stamp_bmp = optarg; break;
        case 'd': s->stamp_root = optarg; break;
        case 'p': {
            char *comma = strchr(optarg, ',');
            if (comma == NULL)
                return -1;
            *comma = '\0';
            if (parse_uint(optarg, 8192, &s->stamp_x) || parse_uint(comma + 1, 8192, &s->stamp_y))
                return -1;
            break;
        }
        case 'm':
            /* The driver's magnification code: 0 x1, 1 x2, 2 x4. */
            if (parse_uint(optarg, 4, &v) || (v != 1 && v != 2 && v != 4))
                return -1;
            s->stamp_scale = v == 4 ? 2 : v / 2;
            break;
        case 'u': s->userptr = 1; break;
        case 'v': s->verbose = 1; break;
        case 'h': usage(stdout); exit(0);
        default: return -1;
        }
    }
    if (optind != argc - 1)
        return -1;
    s->output = argv[optind];
    if (strlen(s->isp) >= sizeof(((kep_m2m *)0)->isp_dev_name) ||
        strlen(s->encoder) >= sizeof(((kep_m2m *)0)->codec_dev_name)) {
        fprintf(stderr, "vcrec: node path too long\n");
        return -1;
    }
    if (s->stamp_text != NULL && s->stamp_bmp != NULL) {
        fprintf(stderr, "vcrec: a stamp is a text or a logo, not both\n");
        return -1;
    }
    if (s->stamp_text != NULL && strlen(s->stamp_text) >= STAMP_TEXT_MAX) {
        fprintf(stderr, "vcrec: stamp text too long\n");
        return -1;
    }
    if (s->stamp_bmp != NULL && strlen(s->stamp_bmp) >= sizeof(((kep_cds *)0)->bmp_path)) {
        fprintf(stderr, "vcrec: logo path too long\n");
        return -1;
    }
    if (s->fourcc == KEP_FOURCC_H264 && s->qp > 51) {
        fprintf(stderr, "vcrec: an H.264 quantiser is 0 to 51\n");
        return -1;
    }
    if (s->fourcc == KEP_FOURCC_MJPG && s->qp == 0) {
        fprintf(stderr, "vcrec: a JPEG quality is 1 to 100\n");
        return -1;
    }
    return 0;
}

/* The stamp of one recording: the channel's directory and, for a clock, the
 * text last written. */
struct stamp {
    char dir[sizeof(((kep_cds *)0)->proc_dir)];
    char shown[STAMP_TEXT_MAX];
    time_t drawn_at;
    int clock;
};

/* The text for now: the stamp text through strftime. */
static void stamp_render(const struct settings *s, time_t now, char out[STAMP_TEXT_MAX])
{
    struct tm tm;
    if (localtime_r(&now, &tm) == NULL || strftime(out, STAMP_TEXT_MAX, s->stamp_text, &tm) == 0)
        out[0] = '\0';
}

/* Colours in Y, Cb, Cr: white text on a black box, readable on any scene. */
static int stamp_set(const struct settings *s, const char *channel, struct stamp *st)
{
    kep_cds cds;
    int n = snprintf(st->dir, sizeof st->dir, "%s/%s", s->stamp_root, channel);
    if (n < 0 || (size_t)n >= sizeof st->dir) {
        fprintf(stderr, "vcrec: datastamp directory path too long\n");
        return -1;
    }
    memset(&cds, 0, sizeof cds);
    cds.start[0] = (int32_t)s->stamp_x;
    cds.start[1] = (int32_t)s->stamp_y;
    cds.scale = (int32_t)s->stamp_scale;
    cds.enable = 1;
    if (s->stamp_bmp != NULL) {
        strcpy(cds.proc_dir, st->dir);
        strcpy(cds.bmp_path, s->stamp_bmp);
        cds.threshold[0] = cds.threshold[1] = cds.threshold[2] = 128;
        /* Blocks, colours taken from the picture, position and size. */
        if (kep_cds_set_bmp(&cds) != 0) {
            free(cds.bitmap); /* left with the record when the driver refused */
            free(cds.scaled_bitmap);
            return -1;
        }
        cds.color_attr[0] = 7;
        if (kep_cds_set_color_attr(st->dir, cds.color_attr) != 0 || kep_cds_set_scale(st->dir, cds.scale) != 0 ||
            kep_cds_set_enable(st->dir, 1) != 0)
            return -1;
        return 0;
    }
    st->clock = strchr(s->stamp_text, '%') != NULL;
    st->drawn_at = time(NULL);
    if (st->clock)
        stamp_render(s, st->drawn_at, st->shown);
    else
        strcpy(st->shown, s->stamp_text);
    cds.text = st->shown;
    cds.dim[0] = (int32_t)strlen(st->shown);
    cds.dim[1] = 1;
    cds.fg_color[0] = 235;
    cds.fg_color[1] = cds.fg_color[2] = 128;
    cds.bg_color[0] = 16;
    cds.bg_color[1] = cds.bg_color[2] = 128;
    cds.color_attr[0] = 7;
    return kep_cds_set_all(st->dir, &cds) != 0 ? -1 : 0;
}

/* A clock is redrawn when the second changes; a text of another length
 * also needs the stamp's size anew. */
static int stamp_tick(const struct settings *s, struct stamp *st)
{
    char text[STAMP_TEXT_MAX];
    time_t now = time(NULL);
    if (!st->clock || now == st->drawn_at)
        return 0;
    st->drawn_at = now;
    stamp_render(s, now, text);
    if (strcmp(text, st->shown) == 0)
        return 0;
    if (strlen(text) != strlen(st->shown)) {
        int32_t start[2], dim[2];
        start[0] = (int32_t)s->stamp_x;
        start[1] = (int32_t)s->stamp_y;
        dim[0] = (int32_t)strlen(text);
        dim[1] = 1;
        if (kep_cds_set_position(st->dir, start, dim) != 0)
            return -1;
    }
    strcpy(st->shown, text);
    return kep_cds_set_string(st->dir, text, (int32_t)s->stamp_scale) != 0 ? -1 : 0;
}

int main(int argc, char **argv)
{
    struct settings s = {"/dev/video0", "/dev/video1", NULL, 1280, 720, 30, 90, 0, 1, 4, 0, -1, -1,
                         KEP_FOURCC_H264, 0, 0, "/proc/codec", NULL, NULL, 16, 16, 0};
    struct stamp stamp;
    int stamping = 0;
    kep_m2m *m2m;
    FILE *out;
    unsigned long written = 0, attempts = 0;
    int status = 0;
    struct sigaction sa;

    if (parse_args(argc, argv, &s) != 0) {
        usage(stderr);
        return 2;
    }

    memset(&sa, 0, sizeof sa);
    sa.sa_handler = on_usr1;
    sigaction(SIGUSR1, &sa, NULL);
    sa.sa_handler = on_stop;
    sigaction(SIGINT, &sa, NULL);
    sigaction(SIGTERM, &sa, NULL);

    out = fopen(s.output, "wb");
    if (out == NULL) {
        fprintf(stderr, "vcrec: cannot write %s: %s\n", s.output, strerror(errno));
        return 1;
    }

    /* The record is ours: zero it, fill the configuration, open the nodes. */
    m2m = calloc(1, sizeof *m2m);
    if (m2m == NULL) {
        fprintf(stderr, "vcrec: out of memory\n");
        fclose(out);
        return 1;
    }
    strcpy(m2m->isp_dev_name, s.isp);
    strcpy(m2m->codec_dev_name, s.encoder);
    m2m->width = (uint32_t)s.width;
    m2m->height = (uint32_t)s.height;
    m2m->isp_fps = (uint32_t)s.fps;
    m2m->codec_fps = (uint32_t)s.fps;
    m2m->isp_fourcc = KEP_FOURCC_S420;
    m2m->isp_io = s.userptr ? KEP_IO_USERPTR : KEP_IO_MMAP;
    m2m->m2m_buffers = (uint32_t)s.buffers;
    m2m->codec_fourcc = s.fourcc;
    m2m->m2m_enable = 1;
    m2m->codec_in_memory = KEP_IO_USERPTR;
    m2m->scale = (uint32_t)s.scale;
    m2m->isp_fd = kep_open_device(m2m->isp_dev_name);
    m2m->codec_fd = kep_open_device(m2m->codec_dev_name);
    if (m2m->isp_fd < 0 || m2m->codec_fd < 0) {
        fprintf(stderr, "vcrec: cannot open the nodes\n");
        return 1;
    }

    if (kep_isp_init(m2m) != 0 || kep_isp_start(m2m) != 0) {
        fprintf(stderr, "vcrec: ISP set-up failed\n");
        return 1;
    }
    if (kep_codec_init(m2m) != 0) {
        fprintf(stderr, "vcrec: encoder set-up failed\n");
        return 1;
    }
    printf("vcrec: channel %s, %ux%u\n", m2m->codec_name, m2m->width / m2m->scale, m2m->height / m2m->scale);
    if (s.qp >= 0) {
        m2m->qp = (int32_t)s.qp;
        if (s.fourcc == KEP_FOURCC_H264) {
            if (kep_codec_set_qp(m2m, KEP_CID_H264_I_FRAME_QP) != 0 ||
                kep_codec_set_qp(m2m, KEP_CID_H264_P_FRAME_QP) != 0)
                status = 1;
        } else if (kep_codec_set_qp(m2m, KEP_CID_JPEG_COMPRESSION_QUALITY) != 0) {
            status = 1;
        }
    }
    memset(&stamp, 0, sizeof stamp);
    if (status == 0 && (s.stamp_text != NULL || s.stamp_bmp != NULL)) {
        if (stamp_set(&s, m2m->codec_name, &stamp) != 0) {
            fprintf(stderr, "vcrec: cannot set the datastamp of channel %s\n", m2m->codec_name);
            status = 1;
        } else {
            stamping = 1;
        }
    }
    if (s.gop >= 0) {
        m2m->gop = (int32_t)s.gop;
        if (kep_codec_set_gop(m2m) != 0)
            status = 1;
    }
    if (status == 0 && kep_codec_start(m2m) != 0)
        status = 1;

    /* Frames that come out empty (a dropped or failed frame) are not
     * counted; give up when far more attempts than frames were needed. */
    while (status == 0 && written < s.frames && !stop_requested && attempts < s.frames * 4 + 100) {
        ++attempts;
        if (stamping && stamp_tick(&s, &stamp) != 0) {
            fprintf(stderr, "vcrec: cannot redraw the datastamp\n");
            status = 1;
            break;
        }
        kep_codec_read(m2m);
        if (m2m->codec_size != 0) {
            const kep_buffer *bs = &m2m->codec_cap_buffers[m2m->codec_index];
            uint32_t size = m2m->codec_size <= bs->length ? m2m->codec_size : bs->length;
            if (fwrite(bs->start, 1, size, out) != size) {
                fprintf(stderr, "vcrec: cannot write %s: %s\n", s.output, strerror(errno));
                status = 1;
            }
            if (s.verbose)
                printf("frame %lu index %u size %u flags 0x%x\n", written, m2m->codec_index, m2m->codec_size,
                       m2m->codec_flags);
            ++written;
        }
        /* Asked for between a read and its reset, a key frame rides on the
         * bit-stream buffer the reset queues: the next frame. (A read clears
         * the request once a buffer comes back without the error flag.) */
        if (key_requested || (s.key_every != 0 && m2m->codec_size != 0 && written % s.key_every == 0)) {
            key_requested = 0;
            m2m->force_i_frame = 1;
        }
        kep_codec_reset(m2m);
        if (status == 0 && s.restart_at != 0 && written == s.restart_at && m2m->codec_size != 0) {
            if (kep_codec_stop(m2m) != 0 || kep_codec_start(m2m) != 0)
                status = 1;
            else if (s.verbose)
                printf("restarted\n");
        }
    }

    if (kep_codec_stop(m2m) != 0)
        status = 1;
    /* The stamp was this recording's: the channel goes on without it. */
    if (stamping && kep_cds_set_enable(stamp.dir, 0) != 0)
        status = 1;
    if (kep_codec_uninit(m2m) != 0)
        status = 1;
    if (kep_isp_stop(m2m) != 0)
        status = 1;
    if (kep_isp_uninit(m2m) != 0)
        status = 1;
    close(m2m->codec_fd);
    close(m2m->isp_fd);
    free(m2m->codec_cap_buffers);
    free(m2m->codec_out_buffers);
    free(m2m);
    if (fclose(out) != 0)
        status = 1;
    printf("vcrec: %lu frames written to %s\n", written, s.output);
    if (written < s.frames && !stop_requested && status == 0) {
        fprintf(stderr, "vcrec: only %lu of %lu frames came out\n", written, s.frames);
        status = 1;
    }
    return status;
}
