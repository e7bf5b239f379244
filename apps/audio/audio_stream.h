// ALSA PCM capture and playback module shared by the recording tools: maps a
// sample format and rate to one of the platform's named PCM devices and runs
// one whole stream between that device and an open stdio file.
#ifndef KEP_AUDIO_STREAM_H
#define KEP_AUDIO_STREAM_H

#include <alsa/asoundlib.h>
#include <pthread.h>
#include <stdio.h>

// One record per stream, owned by the program that runs the stream.
struct audio_stream {
    char device[24];                 // ALSA PCM name, set by the format check
    snd_pcm_format_t format;         // sample format (ALSA format code)
    snd_pcm_uframes_t period_frames; // ALSA period size, set by the format check
    int open_mode;                   // snd_pcm_open mode flags
    unsigned int channels;
    unsigned int rate;               // Hz
    FILE *file;                      // written by capture, read by playback
    pthread_t thread;                // the thread running the stream function
};

// Fill device and period_frames by the capture or playback device table.
// 0 when a row matched; -1 for a null record or a refused format or rate.
int audio_capture_format_check(audio_stream *stream);
int audio_playback_format_check(audio_stream *stream);

// Thread entries: run one whole stream on the given audio_stream. Capture
// records exactly rate x 10 frames; playback plays the file to its end.
// Return null when the whole stream went through, or the record's address
// when it stopped early on a failure already reported (the file could not be
// written or read, or the device kept failing): the program then ends with
// status 1. What was written before the failure stays in the file.
void *audio_capture_thread(void *stream);
void *audio_playback_thread(void *stream);

// For the program that started a capture: waits for its thread, closes its
// file and reports a recording that did not reach the file whole, naming
// `file_name`. Returns 0, or 1 (the program's exit status) after the message.
int audio_capture_join(audio_stream *stream, const char *file_name);

// Consecutive failed transfers (other than overrun, underrun and would-block)
// after which a stream gives up, and the pause between two attempts.
enum { AUDIO_STREAM_MAX_RETRIES = 100, AUDIO_STREAM_RETRY_PAUSE_US = 10000 };

#endif
