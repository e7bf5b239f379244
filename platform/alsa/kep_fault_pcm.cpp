// ALSA external I/O plugin "kepfault": a PCM device that never blocks and
// fails at chosen points, for the failure paths a file cannot produce
// (overruns, would-block, read errors, short transfers, refused set-up).
//
// Configuration (see kep-fault.conf):
//   pcm.NAME { type kepfault faults "RULES" file "PATH" }
// RULES is a list separated by commas or blanks:
//   open=ERR       snd_pcm_open fails with -ERR
//   hw=ERR         snd_pcm_hw_params fails with -ERR
//   channels=N     the device takes only N channels
//   rate=N         the device takes only N Hz
//   format=NAME    the device takes only that format (S16_LE, ...)
//   N=ACT          the N-th transfer (1-based: each readi/writei that reaches
//   N-M=ACT        the device) does ACT; N-M is a range, N+ every transfer
//   N+=ACT         from N on
// ACT is an errno name (EPIPE, EAGAIN, EIO, EINVAL, EBUSY, ENODEV, ESTRPIPE,
// EBADFD, ENOMEM, EINTR) or a number: the transfer returns minus that value
// (EPIPE also puts the stream in the XRUN state, as a real overrun does); or
// shortK: the transfer moves at most K frames and the read or write returns
// early with what it has.
// Capture data: byte k of the stream (counted over all delivered bytes since
// open) is ((k * 2654435761) mod 2^32) >> 24; frames narrower than a byte take
// its bits in order, the most significant bit of a byte first. Captures take
// any format of at least one bit, playbacks formats of whole bytes. Playback
// data are appended to PATH when given, else dropped.
#include <alsa/asoundlib.h>
#include <alsa/pcm_external.h>

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/eventfd.h>
#include <unistd.h>

namespace {

enum { MAX_RULES = 32 };

struct rule {
    unsigned long first;
    unsigned long last; // ULONG_MAX for "from first on"
    int error;          // > 0: fail with -error
    unsigned long short_frames; // > 0: move at most this many frames
};

struct fault_pcm {
    snd_pcm_ioplug_t io;
    rule rules[MAX_RULES];
    int nrules;
    int open_error;
    int hw_error;
    unsigned int channels; // 0: any
    unsigned int rate;     // 0: any
    int format;            // SND_PCM_FORMAT_UNKNOWN: any
    unsigned long transfers;
    bool cut_pending; // a short transfer ends its read/write at the next call
    uint64_t bits_delivered;
    int out_fd;
};

int errno_by_name(const char *s)
{
    static const struct {
        const char *name;
        int value;
    } names[] = {{"EPIPE", EPIPE},   {"EAGAIN", EAGAIN},     {"EIO", EIO},
                 {"EINVAL", EINVAL}, {"EBUSY", EBUSY},       {"ENODEV", ENODEV},
                 {"ESTRPIPE", ESTRPIPE}, {"EBADFD", EBADFD}, {"ENOMEM", ENOMEM},
                 {"EINTR", EINTR}};
    for (const auto &n : names)
        if (strcmp(s, n.name) == 0)
            return n.value;
    char *end;
    long v = strtol(s, &end, 10);
    return (*s && !*end && v > 0 && v < 4096) ? (int)v : -1;
}

int parse_rules(fault_pcm *f, const char *text)
{
    char buf[1024];
    if (strlen(text) >= sizeof buf)
        return -EINVAL;
    strcpy(buf, text);
    char *save = nullptr;
    for (char *tok = strtok_r(buf, ", \t", &save); tok; tok = strtok_r(nullptr, ", \t", &save)) {
        char *eq = strchr(tok, '=');
        if (!eq)
            return -EINVAL;
        *eq = '\0';
        const char *key = tok;
        const char *val = eq + 1;
        if (strcmp(key, "open") == 0) {
            if ((f->open_error = errno_by_name(val)) < 0)
                return -EINVAL;
        } else if (strcmp(key, "hw") == 0) {
            if ((f->hw_error = errno_by_name(val)) < 0)
                return -EINVAL;
        } else if (strcmp(key, "channels") == 0) {
            long n = strtol(val, nullptr, 10);
            if (n < 1 || n > 8)
                return -EINVAL;
            f->channels = (unsigned int)n;
        } else if (strcmp(key, "rate") == 0) {
            long n = strtol(val, nullptr, 10);
            if (n < 1000 || n > 192000)
                return -EINVAL;
            f->rate = (unsigned int)n;
        } else if (strcmp(key, "format") == 0) {
            if ((f->format = snd_pcm_format_value(val)) == SND_PCM_FORMAT_UNKNOWN)
                return -EINVAL;
        } else {
            if (f->nrules == MAX_RULES)
                return -EINVAL;
            rule r = {};
            char *end;
            r.first = strtoul(key, &end, 10);
            if (end == key || r.first == 0)
                return -EINVAL;
            if (*end == '+' && end[1] == '\0') {
                r.last = (unsigned long)-1;
            } else if (*end == '-') {
                const char *second = end + 1;
                r.last = strtoul(second, &end, 10);
                if (end == second || *end || r.last < r.first)
                    return -EINVAL;
            } else if (*end == '\0') {
                r.last = r.first;
            } else {
                return -EINVAL;
            }
            if (strncmp(val, "short", 5) == 0) {
                r.short_frames = strtoul(val + 5, &end, 10);
                if (end == val + 5 || *end || r.short_frames == 0)
                    return -EINVAL;
            } else if ((r.error = errno_by_name(val)) < 0) {
                return -EINVAL;
            }
            f->rules[f->nrules++] = r;
        }
    }
    return 0;
}

unsigned char pattern_byte(uint64_t k)
{
    return (unsigned char)(((uint32_t)k * 2654435761u) >> 24);
}

fault_pcm *of(snd_pcm_ioplug_t *io)
{
    return (fault_pcm *)io->private_data;
}

int fault_start(snd_pcm_ioplug_t *)
{
    return 0;
}

int fault_stop(snd_pcm_ioplug_t *)
{
    return 0;
}

// The device is never the bottleneck: a capture buffer is always full, a
// playback buffer always empty.
snd_pcm_sframes_t fault_pointer(snd_pcm_ioplug_t *io)
{
    if (io->stream == SND_PCM_STREAM_CAPTURE)
        return (snd_pcm_sframes_t)(io->appl_ptr + io->buffer_size);
    return (snd_pcm_sframes_t)io->appl_ptr;
}

snd_pcm_sframes_t fault_transfer(snd_pcm_ioplug_t *io, const snd_pcm_channel_area_t *areas,
                                 snd_pcm_uframes_t offset, snd_pcm_uframes_t size)
{
    fault_pcm *f = of(io);
    if (f->cut_pending) {
        // Ends the read or write that a short transfer began; the library
        // returns the frames already moved.
        f->cut_pending = false;
        return -EAGAIN;
    }
    unsigned long n = ++f->transfers;
    for (int i = 0; i < f->nrules; i++) {
        const rule &r = f->rules[i];
        if (n < r.first || n > r.last)
            continue;
        if (r.error) {
            if (r.error == EPIPE)
                snd_pcm_ioplug_set_state(io, SND_PCM_STATE_XRUN);
            return -r.error;
        }
        if (r.short_frames < size) {
            size = r.short_frames;
            f->cut_pending = true;
        }
        break;
    }

    // Interleaved access: one area describes every channel, in bits.
    const uint64_t frame_bits =
        (uint64_t)snd_pcm_format_physical_width(io->format) * io->channels;
    const uint64_t first_bit = areas[0].first + offset * frame_bits;
    const uint64_t bits = size * frame_bits;
    unsigned char *addr = (unsigned char *)areas[0].addr;
    unsigned char *base = addr + first_bit / 8;
    size_t bytes = (size_t)(bits / 8);
    if (io->stream == SND_PCM_STREAM_CAPTURE) {
        if (first_bit % 8 == 0 && bits % 8 == 0 && f->bits_delivered % 8 == 0) {
            for (size_t i = 0; i < bytes; i++)
                base[i] = pattern_byte(f->bits_delivered / 8 + i);
        } else {
            for (uint64_t i = 0; i < bits; i++) {
                uint64_t from = f->bits_delivered + i, to = first_bit + i;
                unsigned char mask = (unsigned char)(0x80u >> (to % 8));
                if ((pattern_byte(from / 8) << (from % 8)) & 0x80)
                    addr[to / 8] |= mask;
                else
                    addr[to / 8] &= (unsigned char)~mask;
            }
        }
    } else if (f->out_fd >= 0) {
        size_t done = 0;
        while (done < bytes) {
            ssize_t w = write(f->out_fd, base + done, bytes - done);
            if (w < 0) {
                if (errno == EINTR)
                    continue;
                return -errno;
            }
            done += (size_t)w;
        }
    }
    f->bits_delivered += bits;
    return (snd_pcm_sframes_t)size;
}

int fault_hw_params(snd_pcm_ioplug_t *io, snd_pcm_hw_params_t *)
{
    fault_pcm *f = of(io);
    return f->hw_error ? -f->hw_error : 0;
}

int fault_prepare(snd_pcm_ioplug_t *io)
{
    of(io)->cut_pending = false;
    return 0;
}

int fault_close(snd_pcm_ioplug_t *io)
{
    fault_pcm *f = of(io);
    close(io->poll_fd);
    if (f->out_fd >= 0)
        close(f->out_fd);
    free(f);
    return 0;
}

const snd_pcm_ioplug_callback_t kCallbacks = {
    .start = fault_start,
    .stop = fault_stop,
    .pointer = fault_pointer,
    .transfer = fault_transfer,
    .close = fault_close,
    .hw_params = fault_hw_params,
    .hw_free = nullptr,
    .sw_params = nullptr,
    .prepare = fault_prepare,
    .drain = nullptr,
    .pause = nullptr,
    .resume = nullptr,
    .poll_descriptors_count = nullptr,
    .poll_descriptors = nullptr,
    .poll_revents = nullptr,
    .dump = nullptr,
    .delay = nullptr,
    .query_chmaps = nullptr,
    .get_chmap = nullptr,
    .set_chmap = nullptr,
};

int set_constraints(fault_pcm *f)
{
    snd_pcm_ioplug_t *io = &f->io;
    // Memory-mapped access is ALSA's own emulation on the transfers, as the
    // conversion plugins in front of a card need it.
    unsigned int access[] = {SND_PCM_ACCESS_RW_INTERLEAVED, SND_PCM_ACCESS_MMAP_INTERLEAVED};
    int err = snd_pcm_ioplug_set_param_list(io, SND_PCM_IOPLUG_HW_ACCESS, 2, access);
    if (err < 0)
        return err;
    // Playback data are stored in whole bytes.
    const int narrowest = io->stream == SND_PCM_STREAM_CAPTURE ? 1 : 8;
    unsigned int formats[SND_PCM_FORMAT_LAST + 1];
    unsigned int nformats = 0;
    for (int v = 0; v <= SND_PCM_FORMAT_LAST; v++)
        if ((f->format == SND_PCM_FORMAT_UNKNOWN || v == f->format) &&
            snd_pcm_format_physical_width((snd_pcm_format_t)v) >= narrowest)
            formats[nformats++] = (unsigned int)v;
    if ((err = snd_pcm_ioplug_set_param_list(io, SND_PCM_IOPLUG_HW_FORMAT, nformats, formats)) < 0)
        return err;
    unsigned int lo = f->channels ? f->channels : 1;
    unsigned int hi = f->channels ? f->channels : 8;
    if ((err = snd_pcm_ioplug_set_param_minmax(io, SND_PCM_IOPLUG_HW_CHANNELS, lo, hi)) < 0)
        return err;
    unsigned int rate_lo = f->rate ? f->rate : 1000;
    unsigned int rate_hi = f->rate ? f->rate : 192000;
    if ((err = snd_pcm_ioplug_set_param_minmax(io, SND_PCM_IOPLUG_HW_RATE, rate_lo, rate_hi)) < 0)
        return err;
    if ((err = snd_pcm_ioplug_set_param_minmax(io, SND_PCM_IOPLUG_HW_PERIOD_BYTES, 1, 1 << 20)) < 0)
        return err;
    if ((err = snd_pcm_ioplug_set_param_minmax(io, SND_PCM_IOPLUG_HW_BUFFER_BYTES, 2, 1 << 22)) < 0)
        return err;
    return snd_pcm_ioplug_set_param_minmax(io, SND_PCM_IOPLUG_HW_PERIODS, 2, 1024);
}

} // namespace

extern "C" __attribute__((visibility("default"))) SND_PCM_PLUGIN_DEFINE_FUNC(kepfault)
{
    const char *faults = "";
    const char *file = "";
    snd_config_iterator_t i, next;
    snd_config_for_each(i, next, conf)
    {
        snd_config_t *n = snd_config_iterator_entry(i);
        const char *id;
        if (snd_config_get_id(n, &id) < 0)
            continue;
        if (strcmp(id, "comment") == 0 || strcmp(id, "type") == 0 || strcmp(id, "hint") == 0)
            continue;
        if (strcmp(id, "faults") == 0) {
            if (snd_config_get_string(n, &faults) < 0)
                return -EINVAL;
            continue;
        }
        if (strcmp(id, "file") == 0) {
            if (snd_config_get_string(n, &file) < 0)
                return -EINVAL;
            continue;
        }
        SNDERR("kepfault: unknown field %s", id);
        return -EINVAL;
    }
    (void)root;

    fault_pcm *f = (fault_pcm *)calloc(1, sizeof *f);
    if (!f)
        return -ENOMEM;
    f->out_fd = -1;
    f->format = SND_PCM_FORMAT_UNKNOWN;
    int err = parse_rules(f, faults);
    if (err < 0) {
        SNDERR("kepfault: bad fault list \"%s\"", faults);
        free(f);
        return err;
    }
    if (f->open_error) {
        err = -f->open_error;
        free(f);
        return err;
    }
    if (stream == SND_PCM_STREAM_PLAYBACK && file[0]) {
        f->out_fd = open(file, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        if (f->out_fd < 0) {
            err = -errno;
            free(f);
            return err;
        }
    }
    // Always ready: waits return at once and the data path decides.
    int efd = eventfd(1, EFD_CLOEXEC | EFD_NONBLOCK);
    if (efd < 0) {
        err = -errno;
        if (f->out_fd >= 0)
            close(f->out_fd);
        free(f);
        return err;
    }

    f->io.version = SND_PCM_IOPLUG_VERSION;
    f->io.name = "kep fault-injecting PCM";
    f->io.flags = SND_PCM_IOPLUG_FLAG_BOUNDARY_WA;
    f->io.poll_fd = efd;
    f->io.poll_events = stream == SND_PCM_STREAM_CAPTURE ? POLLIN : POLLOUT;
    f->io.mmap_rw = 0;
    f->io.callback = &kCallbacks;
    f->io.private_data = f;

    err = snd_pcm_ioplug_create(&f->io, name, stream, mode);
    if (err < 0) {
        close(efd);
        if (f->out_fd >= 0)
            close(f->out_fd);
        free(f);
        return err;
    }
    err = set_constraints(f);
    if (err < 0) {
        snd_pcm_ioplug_delete(&f->io); // calls fault_close
        return err;
    }
    *pcmp = f->io.pcm;
    return 0;
}

#pragma GCC visibility push(default)
extern "C" {
SND_PCM_PLUGIN_SYMBOL(kepfault)
}
#pragma GCC visibility pop
