// audtwin: records the same capture device twice at once, two streams on two
// threads, into /tmp/audio1.raw and /tmp/audio2.raw.
#include "audio_stream.h"

#include <errno.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>

namespace {

const char kFirstFile[] = "/tmp/audio1.raw";
const char kSecondFile[] = "/tmp/audio2.raw";

// Signed 16-bit PCM at 8 kHz, one channel, non-blocking.
audio_stream *new_stream()
{
    audio_stream *s = (audio_stream *)malloc(sizeof *s);
    if (!s) {
        perror("malloc");
        exit(1);
    }
    s->format = SND_PCM_FORMAT_S16_LE;
    s->open_mode = SND_PCM_NONBLOCK;
    s->channels = 1;
    s->rate = 8000;
    return s;
}

} // namespace

int main()
{
    audio_stream *first = new_stream();
    if (audio_capture_format_check(first) == -1) {
        puts("[KEP-AUDIO] audio format check error");
        free(first);
        return -1;
    }
    first->file = fopen(kFirstFile, "wb");
    if (!first->file) {
        puts("[KEP-AUDIO] capture file open failed");
        free(first);
        return -1;
    }

    audio_stream *second = new_stream();
    if (audio_capture_format_check(second) == -1) {
        puts("[KEP-AUDIO] audio format check error");
        fclose(first->file);
        free(second);
        free(first);
        return -1;
    }
    second->file = fopen(kSecondFile, "wb");
    if (!second->file) {
        puts("[KEP-AUDIO] capture file open failed");
        fclose(first->file);
        free(second);
        free(first);
        return -1;
    }

    // Both creations are attempted before either is checked.
    int rc1 = pthread_create(&first->thread, nullptr, audio_capture_thread, first);
    int rc2 = pthread_create(&second->thread, nullptr, audio_capture_thread, second);
    if (rc1 != 0 || rc2 != 0) {
        fprintf(stderr, "%s:%d: ", "main", 119);
        errno = rc1 != 0 ? rc1 : rc2;
        perror("exit thread creation failed");
        exit(1);
    }

    // Either recording failing fails the run; the other still completes.
    int status = audio_capture_join(second, kSecondFile);
    status |= audio_capture_join(first, kFirstFile);
    free(second);
    free(first);
    return status;
}
