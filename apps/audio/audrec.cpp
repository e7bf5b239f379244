// audrec: records ten seconds of mono audio from the platform's named ALSA
// capture devices into a raw file, on a worker thread.
#include "audio_stream.h"

#include <errno.h>
#include <getopt.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

namespace {

const char kUsage[] =
    "Usage: %s [options]/n\n"
    "Options:\n"
    "-h                 Print this message\n"
    "-d | --device\t\talaw, mulaw, g726, s8, s16, u8, u16, g722\n"
    "-f | --file\t\tfilename \n"
    "-s | --samplerate\t8 / 16 / 32 / 48 (kHz, 16K/32K/48K are used for PCM. default is 8k.) \n"
    "Ex:   %s -d alaw -p test.raw\n"
    "\n";

struct format_entry {
    const char *name;
    int code;
};

// Looked up in this order, names compared exactly.
const format_entry kFormats[] = {
    {"s8", SND_PCM_FORMAT_S8},     {"s16", SND_PCM_FORMAT_S16_LE}, {"u8", SND_PCM_FORMAT_U8},
    {"u16", SND_PCM_FORMAT_U16_LE}, {"alaw", SND_PCM_FORMAT_A_LAW}, {"mulaw", SND_PCM_FORMAT_MU_LAW},
    {"g726", 50},                   {"g722", 54},
};

enum { NAME_MAX_CHARS = 127 };

// Takes the first blank-delimited word of `arg` into `out` (128 bytes), as a
// "%s" scan would. A word longer than 127 characters is refused rather than
// cut: a shortened file name would silently name another file.
// Returns 1 on a word, 0 when there is none (setting unchanged), -1 when too long.
int scan_name(const char *arg, char *out)
{
    int end = 0;
    char word[NAME_MAX_CHARS + 1];
    if (sscanf(arg, " %127s%n", word, &end) != 1)
        return 0;
    if (arg[end] != '\0' && arg[end] != ' ' && arg[end] != '\t' && arg[end] != '\n' &&
        arg[end] != '\v' && arg[end] != '\f' && arg[end] != '\r')
        return -1;
    memcpy(out, word, sizeof word);
    return 1;
}

void take_name(const char *arg, char *out, char option)
{
    if (scan_name(arg, out) < 0) {
        fprintf(stderr, "[KEP-AUDIO] the argument of -%c is longer than %d characters\n", option,
                NAME_MAX_CHARS);
        exit(1);
    }
}

} // namespace

int main(int argc, char **argv)
{
    char format_name[NAME_MAX_CHARS + 1] = "s16";
    char file_name[NAME_MAX_CHARS + 1] = "/tmp/audio1";
    int khz = 8;

    audio_stream *stream = (audio_stream *)malloc(sizeof *stream);
    if (!stream) {
        perror("malloc");
        return 1;
    }

    static const struct option long_options[] = {
        {"help", no_argument, nullptr, 'h'},
        {"device", required_argument, nullptr, 'd'},
        {"file", required_argument, nullptr, 'f'},
        {"samplerate", required_argument, nullptr, 's'},
        {nullptr, 0, nullptr, 0},
    };
    opterr = 0; // an unknown option is answered by the usage text alone
    int c;
    while ((c = getopt_long(argc, argv, "hd:f:s:", long_options, nullptr)) != -1) {
        switch (c) {
        case 'h':
            printf(kUsage, argv[0], argv[0]);
            exit(0);
        case 'd':
            take_name(optarg, format_name, 'd');
            break;
        case 'f':
            take_name(optarg, file_name, 'f');
            break;
        case 's':
            sscanf(optarg, "%d", &khz); // not a number: the rate stays
            break;
        default:
            fprintf(stderr, kUsage, argv[0], argv[0]);
            exit(1);
        }
    }

    int code = -1;
    for (const format_entry &f : kFormats) {
        if (strcmp(format_name, f.name) == 0) {
            code = f.code;
            break;
        }
    }
    if (code < 0) {
        puts("[KEP-AUDIO] Wrong format");
        free(stream);
        return 0;
    }
    stream->format = (snd_pcm_format_t)code;

    if (khz == 16 || khz == 32 || khz == 48) {
        if (code != SND_PCM_FORMAT_S16_LE && code != SND_PCM_FORMAT_U16_LE) {
            puts("ONLY PCM S16/U16 support 16Khz / 32Khz / 48Khz samplerate");
            free(stream);
            return 0;
        }
    } else if (khz != 8) {
        printf("Wrong samplerate : %d\n", khz);
        free(stream);
        return 0;
    }

    printf("[KEP-AUDIO] format: %s, file: %s\n", format_name, file_name);
    stream->open_mode = SND_PCM_NONBLOCK;
    stream->channels = 1;
    stream->rate = (unsigned int)khz * 1000;

    if (audio_capture_format_check(stream) == -1) {
        puts("[KEP-AUDIO] audio format check error");
        free(stream);
        return 0;
    }

    stream->file = fopen(file_name, "wb");
    if (!stream->file) {
        puts("[KEP-AUDIO] capture file open failed");
        free(stream);
        return 0;
    }

    int rc = pthread_create(&stream->thread, nullptr, audio_capture_thread, stream);
    if (rc != 0) {
        fprintf(stderr, "%s:%d: ", "main", 175);
        errno = rc; // pthread_create reports its error by value
        perror("exit thread creation failed");
        exit(1);
    }
    int status = audio_capture_join(stream, file_name);
    free(stream);
    return status;
}
