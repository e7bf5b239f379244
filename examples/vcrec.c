/* vcrec: records H.264 or MJPEG from the camera into an elementary-stream
 * file. The ISP streams pictures, the M2M encoder takes each ISP buffer by
 * user pointer (no copy) and the coded frame is written straight from the
 * encoder's mapped bit-stream buffer. A key frame can be asked for every N
 * frames (-k) or at any time with SIGUSR1. */
#include "kep_vc.h"

#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
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

struct settings {
    const char *isp, *encoder, *output;
    unsigned long width, height, fps, frames, key_every, scale, buffers, restart_at;
    long qp, gop;
    uint32_t fourcc;
    int userptr, verbose;
};

static int parse_args(int argc, char **argv, struct settings *s)
{
    int c;
    unsigned long v;
    while ((c = getopt(argc, argv, "i:e:s:r:f:q:g:n:k:S:b:R:uvh")) != -1) {
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

int main(int argc, char **argv)
{
    struct settings s = {"/dev/video0", "/dev/video1", NULL, 1280, 720, 30, 90, 0, 1, 4, 0, -1, -1,
                         KEP_FOURCC_H264, 0, 0};
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
