// Test driver of the ALSA module: runs one stream the way the tools do.
// Usage: audio_stream_driver capture|playback FORMAT RATE FILE [CHANNELS [OPEN_MODE [AS]]]
// AS runs the device FORMAT selects with another format code: the platform's
// own codes mean other formats on a PC's ALSA library.
// Exit status 0 after the whole stream, 1 when it stopped early on a failure
// (as in the tools), 2 on bad usage, 3 when the format check refuses, 4 when
// the file cannot be opened.
#include "audio_stream.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

int main(int argc, char **argv)
{
    if (argc < 5 || argc > 8 ||
        (strcmp(argv[1], "capture") != 0 && strcmp(argv[1], "playback") != 0)) {
        fprintf(stderr, "usage: %s capture|playback FORMAT RATE FILE [CHANNELS [OPEN_MODE [AS]]]\n",
                argv[0]);
        return 2;
    }
    bool capture = strcmp(argv[1], "capture") == 0;
    audio_stream *s = (audio_stream *)malloc(sizeof *s);
    if (!s)
        return 2;
    memset(s->device, 'x', sizeof s->device); // the check must terminate it
    s->format = (snd_pcm_format_t)atoi(argv[2]);
    s->rate = (unsigned int)strtoul(argv[3], nullptr, 10);
    s->channels = argc > 5 ? (unsigned int)strtoul(argv[5], nullptr, 10) : 1;
    s->open_mode = argc > 6 ? atoi(argv[6]) : SND_PCM_NONBLOCK;

    int rc = capture ? audio_capture_format_check(s) : audio_playback_format_check(s);
    if (rc != 0) {
        free(s);
        return 3;
    }
    if (argc > 7)
        s->format = (snd_pcm_format_t)atoi(argv[7]);
    s->file = fopen(argv[4], capture ? "wb" : "rb");
    if (!s->file) {
        perror(argv[4]);
        free(s);
        return 4;
    }
    if (pthread_create(&s->thread, nullptr, capture ? audio_capture_thread : audio_playback_thread,
                       s) != 0) {
        perror("pthread_create");
        return 2;
    }
    void *failed = nullptr;
    pthread_join(s->thread, &failed);
    fclose(s->file);
    free(s);
    return failed ? 1 : 0;
}
