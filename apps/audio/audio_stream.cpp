// ALSA PCM capture and playback module (see audio_stream.h).
#include "audio_stream.h"

#include <errno.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

namespace {

// Platform format codes of the telephony codecs (G.726 and G.722).
enum {
    FMT_G726_A = 50,
    FMT_G726_B = 51,
    FMT_G726_C = 52,
    FMT_G726_D = 53, // G.726 with a capture period of 160
    FMT_G722 = 54,
};

void set_device(audio_stream *s, const char *name, snd_pcm_uframes_t period)
{
    // Every table name fits the 24-byte field; snprintf keeps it terminated.
    snprintf(s->device, sizeof s->device, "%s", name);
    s->period_frames = period;
}

// What set-up leaves to the data loop.
struct stream_setup {
    snd_pcm_t *pcm;
    int width;            // bits per sample
    size_t frame_bytes;   // channels x width / 8 (0 below a byte: capture only)
    size_t buffer_bytes;  // two periods
    snd_pcm_uframes_t align_frames; // fewest frames that fill whole bytes
    unsigned char *buffer;
};

// Bytes of `frames` frames, the division applied to the whole product as the
// buffer size is.
size_t frames_to_bytes(const audio_stream *s, int width, uint64_t frames)
{
    return (size_t)(frames * s->channels * (uint64_t)width / 8);
}

// Frames of `frame_bits` bits that end on a byte boundary: 1 for frames of
// whole bytes, 2 for 4-bit mono, 8 for 3- or 5-bit mono.
snd_pcm_uframes_t frames_per_whole_bytes(uint64_t frame_bits)
{
    uint64_t a = frame_bits % 8, b = 8;
    while (a != 0) { // b becomes gcd(frame_bits, 8)
        uint64_t t = b % a;
        b = a;
        a = t;
    }
    return (snd_pcm_uframes_t)(8 / b);
}

// Open and configure the device; every failure ends the process.
void setup_stream(const audio_stream *s, snd_pcm_stream_t direction, stream_setup *out)
{
    snd_pcm_t *pcm = nullptr;
    int rc = snd_pcm_open(&pcm, s->device, direction, s->open_mode);
    if (rc < 0) {
        fprintf(stderr, "unable to open pcm device: %s\n", snd_strerror(rc));
        exit(1);
    }

    snd_pcm_hw_params_t *params;
    snd_pcm_hw_params_alloca(&params); // zero-filled, on this stack
    snd_pcm_hw_params_any(pcm, params);
    snd_pcm_hw_params_set_access(pcm, params, SND_PCM_ACCESS_RW_INTERLEAVED);
    int width = snd_pcm_format_width(s->format);
    const uint64_t frame_bits = (uint64_t)s->channels * (uint64_t)(width > 0 ? width : 0);
    // A library that does not know the code (the platform's codec codes on a
    // stock ALSA library) reports a negative width: it must never size a
    // buffer. Capture takes frames narrower than a byte (G.726 carries 2 to 5
    // bits a sample); playback counts the frames of a chunk by dividing by
    // the frame's bytes, so there a frame must fill one.
    if (width <= 0 || (direction == SND_PCM_STREAM_PLAYBACK && frame_bits < 8)) {
        fprintf(stderr, "[KEP-AUDIO] format %d has no usable sample width (%d bits)\n",
                (int)s->format, width);
        exit(1);
    }
    snd_pcm_hw_params_set_format(pcm, params, s->format);
    snd_pcm_hw_params_set_channels(pcm, params, s->channels);
    snd_pcm_hw_params_set_rate(pcm, params, s->rate, 0);
    snd_pcm_uframes_t period = s->period_frames;
    snd_pcm_hw_params_set_period_size(pcm, params, period, 0);

    printf("[KEP-AUDIO] frame number : %d, format_bits: %d\n", (int)s->period_frames, width);

    rc = snd_pcm_hw_params(pcm, params);
    if (rc < 0) {
        fprintf(stderr, "unable to set hw parameters: %s\n", snd_strerror(rc));
        exit(1);
    }
    // The set calls above may have been refused; the buffer is sized from the
    // record, so a device that settled on another format or channel count
    // would read or write past it.
    snd_pcm_format_t got_format = SND_PCM_FORMAT_UNKNOWN;
    unsigned int got_channels = 0;
    snd_pcm_hw_params_get_format(params, &got_format);
    snd_pcm_hw_params_get_channels(params, &got_channels);
    if (got_format != s->format || got_channels != s->channels) {
        fprintf(stderr,
                "unable to set hw parameters: device %s runs format %d with %u channel(s), "
                "not format %d with %u\n",
                s->device, (int)got_format, got_channels, (int)s->format, s->channels);
        exit(1);
    }

    // Two periods, rounded up to a whole byte: frames narrower than a byte
    // may end inside the last one.
    uint64_t buffer_bytes = (frame_bits * 2 * s->period_frames + 7) / 8;
    unsigned char *buffer = buffer_bytes > 0 && buffer_bytes <= SIZE_MAX
                                ? (unsigned char *)malloc((size_t)buffer_bytes)
                                : nullptr;
    if (!buffer) {
        fprintf(stderr, "[KEP-AUDIO] no memory for a %llu-byte stream buffer\n",
                (unsigned long long)buffer_bytes);
        exit(1);
    }
    // Samples may be stored wider than their width (24 bits in 32): a device
    // whose two periods take more bytes than the buffer holds is refused.
    if ((uint64_t)snd_pcm_frames_to_bytes(pcm, (snd_pcm_sframes_t)(2 * s->period_frames)) >
        buffer_bytes) {
        fprintf(stderr, "unable to set hw parameters: device %s stores format %d in %d bits, "
                        "not %d\n",
                s->device, (int)s->format, snd_pcm_format_physical_width(s->format), width);
        exit(1);
    }
    out->pcm = pcm;
    out->width = width;
    out->frame_bytes = frames_to_bytes(s, width, 1);
    out->buffer_bytes = (size_t)buffer_bytes;
    out->align_frames = frames_per_whole_bytes(frame_bits);
    out->buffer = buffer;
}

void close_stream(stream_setup *st)
{
    snd_pcm_drain(st->pcm);
    snd_pcm_close(st->pcm);
    free(st->buffer);
}

} // namespace

int audio_capture_format_check(audio_stream *s)
{
    if (!s)
        return -1;
    switch ((int)s->format) {
    case SND_PCM_FORMAT_S8:
    case SND_PCM_FORMAT_U8:
        set_device(s, "hw:0,0", 40);
        return 0;
    case SND_PCM_FORMAT_S16_LE:
    case SND_PCM_FORMAT_U16_LE:
        s->period_frames = 80;
        switch (s->rate) {
        case 8000: set_device(s, "kep_audio_pcm_ex", 80); return 0;
        case 16000: set_device(s, "kep_audio_pcm_16k_ex", 80); return 0;
        case 32000: set_device(s, "kep_audio_pcm_32k_ex", 80); return 0;
        case 48000: set_device(s, "kep_audio_pcm_48k_ex", 80); return 0;
        default: printf("Wrong sample_rate: %d\n", (int)s->rate); return -1;
        }
    case SND_PCM_FORMAT_MU_LAW:
        set_device(s, "kep_audio_mulaw_ex", 80);
        return 0;
    case SND_PCM_FORMAT_A_LAW:
        set_device(s, "kep_audio_alaw_ex", 80);
        return 0;
    case FMT_G726_A:
    case FMT_G726_B:
    case FMT_G726_C:
        set_device(s, "kep_audio_g726_ex", 80);
        return 0;
    case FMT_G726_D:
        set_device(s, "kep_audio_g726_ex", 160);
        return 0;
    case FMT_G722:
        set_device(s, "kep_audio_g722_ex", 80);
        return 0;
    default:
        puts("[KEP-AUDIO]WRONG AUDIO FORMAT");
        return -1;
    }
}

int audio_playback_format_check(audio_stream *s)
{
    if (!s)
        return -1;
    switch ((int)s->format) {
    case SND_PCM_FORMAT_S8:
    case SND_PCM_FORMAT_U8:
        set_device(s, "hw:0", 160);
        return 0;
    case SND_PCM_FORMAT_S16_LE:
    case SND_PCM_FORMAT_U16_LE:
        s->period_frames = 160;
        switch (s->rate) {
        case 8000: set_device(s, "kep_audio_pcm_pb_ex", 160); return 0;
        case 16000: set_device(s, "kep_audio_pcm_pb_16k_ex", 160); return 0;
        case 32000: set_device(s, "kep_audio_pcm_pb_32k_ex", 160); return 0;
        case 48000: set_device(s, "kep_audio_pcm_pb_48k_ex", 160); return 0;
        default: printf("Wrong sample_rate: %d\n", (int)s->rate); return -1;
        }
    case SND_PCM_FORMAT_MU_LAW:
        set_device(s, "kep_audio_mulaw_pb_ex", 160);
        return 0;
    case SND_PCM_FORMAT_A_LAW:
        set_device(s, "kep_audio_alaw_pb_ex", 160);
        return 0;
    case FMT_G726_A:
    case FMT_G726_B:
    case FMT_G726_C:
    case FMT_G726_D:
        set_device(s, "kep_audio_g726_pb_ex", 160);
        return 0;
    case FMT_G722:
        set_device(s, "kep_audio_g722_pb_ex", 160);
        return 0;
    default:
        puts("[KEP-AUDIO]WRONG AUDIO FORMAT");
        return -1;
    }
}

void *audio_capture_thread(void *arg)
{
    const audio_stream *s = (const audio_stream *)arg;
    stream_setup st;
    setup_stream(s, SND_PCM_STREAM_CAPTURE, &st);

    uint64_t owed = (uint64_t)s->rate * 10;
    printf("[KEP-AUDIO] %d second(s) : %d frames\n", 10, (int)owed);

    // The buffer holds two periods; data reach the file only in whole loads.
    const snd_pcm_uframes_t load = 2 * s->period_frames;
    snd_pcm_uframes_t fill = 0;
    size_t offset = 0;
    int failures = 0;
    bool failed = false;
    while (owed > 0) {
        snd_pcm_sframes_t rc = snd_pcm_readi(st.pcm, st.buffer + offset, load - fill);
        if (rc > 0) {
            failures = 0;
            fill += (snd_pcm_uframes_t)rc;
            if (fill == load) {
                uint64_t frames = fill < owed ? fill : owed;
                size_t bytes = frames_to_bytes(s, st.width, frames);
                if (fwrite(st.buffer, 1, bytes, s->file) != bytes) {
                    fprintf(stderr,
                            "[KEP-AUDIO] capture from %s stopped: write to the capture file "
                            "failed: %s\n",
                            s->device, strerror(errno));
                    failed = true;
                    break;
                }
                owed -= frames;
                fill = 0;
                offset = 0;
            } else {
                // Every read starts on a byte. Frames narrower than a byte
                // that end a read inside one would be read over by the next:
                // they are dropped, like the frames of an overrun.
                fill -= fill % st.align_frames;
                offset = frames_to_bytes(s, st.width, fill);
            }
        } else if (rc == -EPIPE) {
            // Overrun: the lost frames are not made up and not reported.
            snd_pcm_prepare(st.pcm);
        } else if (rc == -EAGAIN) {
            // Opened non-blocking and no data yet.
            snd_pcm_wait(st.pcm, 1000);
        } else {
            // Any other error, or a read that keeps bringing nothing: retry a
            // bounded number of times so a dead device cannot hang the tool.
            if (++failures >= AUDIO_STREAM_MAX_RETRIES) {
                fprintf(stderr, "[KEP-AUDIO] capture from %s stopped after %d failed reads: %s\n",
                        s->device, failures, rc < 0 ? snd_strerror((int)rc) : "no data");
                failed = true;
                break;
            }
            usleep(AUDIO_STREAM_RETRY_PAUSE_US);
        }
    }
    close_stream(&st);
    return failed ? arg : nullptr;
}

void *audio_playback_thread(void *arg)
{
    const audio_stream *s = (const audio_stream *)arg;
    stream_setup st;
    setup_stream(s, SND_PCM_STREAM_PLAYBACK, &st);

    const size_t chunk = st.buffer_bytes;
    const size_t frame_bytes = st.frame_bytes;
    bool gave_up = false;   // the device stopped taking frames
    bool failed = false;
    while (!failed && !feof(s->file)) {
        size_t got = fread(st.buffer, 1, chunk, s->file);
        // A file that fails to read never reaches its end: what it gave is
        // played, then the stream stops.
        int read_error = ferror(s->file) ? errno : 0;
        snd_pcm_uframes_t frames = got / frame_bytes;
        printf(" read_frame = %d, read_frame_size : %d\n", (int)frames, (int)got);

        snd_pcm_uframes_t written = 0;
        size_t offset = 0;
        int failures = 0;
        while (written < frames) {
            snd_pcm_sframes_t rc = snd_pcm_writei(st.pcm, st.buffer + offset, frames - written);
            if (rc == -EPIPE) {
                fprintf(stderr, "overrun occurred\n");
                snd_pcm_prepare(st.pcm);
            } else if (rc == -EAGAIN) {
                // Opened non-blocking and the device is full: wait for room.
                snd_pcm_wait(st.pcm, 1000);
            } else if (rc <= 0) {
                if (rc < 0)
                    fprintf(stderr, "error from read: %s\n", snd_strerror((int)rc));
                if (++failures >= AUDIO_STREAM_MAX_RETRIES) {
                    fprintf(stderr, "[KEP-AUDIO] playback to %s stopped after %d failed writes\n",
                            s->device, failures);
                    gave_up = true;
                    failed = true;
                    break;
                }
                usleep(AUDIO_STREAM_RETRY_PAUSE_US);
            } else {
                failures = 0;
                written += (snd_pcm_uframes_t)rc;
                offset += (size_t)rc * frame_bytes;
                printf(" rc = %d, cached_frame : %d\n", (int)rc, (int)(written * frame_bytes));
            }
        }
        if (read_error && !failed) {
            fprintf(stderr,
                    "[KEP-AUDIO] playback to %s stopped: read from the playback file failed: %s\n",
                    s->device, strerror(read_error));
            failed = true;
        }
    }
    // In non-blocking mode a drain returns at once and the close would drop
    // what is still queued: let the drain wait for the last frames (not for a
    // device that has stopped taking any).
    if (!gave_up)
        snd_pcm_nonblock(st.pcm, 0);
    close_stream(&st);
    return failed ? arg : nullptr;
}

int audio_capture_join(audio_stream *s, const char *file_name)
{
    void *failed = nullptr;
    pthread_join(s->thread, &failed);
    // The last loads leave the stdio buffer only at the close.
    if (fclose(s->file) != 0 && !failed) {
        fprintf(stderr, "[KEP-AUDIO] write to capture file %s failed: %s\n", file_name,
                strerror(errno));
        return 1;
    }
    if (failed) {
        fprintf(stderr, "[KEP-AUDIO] capture file %s is incomplete\n", file_name);
        return 1;
    }
    return 0;
}
