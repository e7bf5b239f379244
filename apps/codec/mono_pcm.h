// The ALSA set-up the AAC and Opus tools share: one 16-bit mono interleaved
// stream at an exact rate. Each tool reports a failure in its own words, so
// the set-up only says which step failed and with what code.
#pragma once

#include <alsa/asoundlib.h>

enum mono_pcm_step {
  MONO_PCM_OK = 0,
  MONO_PCM_OPEN,
  MONO_PCM_ANY,
  MONO_PCM_ACCESS,
  MONO_PCM_FORMAT,
  MONO_PCM_CHANNELS,
  MONO_PCM_RATE,
  MONO_PCM_APPLY,
};

struct mono_pcm_result {
  mono_pcm_step step;  // MONO_PCM_OK, or the step that failed
  int err;             // the negative ALSA code of that step
};

// Opens `device` and sets its hardware parameters. *pcm is null after a
// failed open and stays open after any later failure: the caller closes it.
mono_pcm_result mono_pcm_open(snd_pcm_t **pcm, const char *device, snd_pcm_stream_t stream, int mode,
                              unsigned int rate);

// Reports a failed set-up on standard error. The open and the final apply
// have their own messages; a failed parameter step is named, followed by the
// code's text when `with_reason` (the Opus tools) or by nothing at all (the
// AAC tools).
void mono_pcm_report(mono_pcm_result r, bool with_reason);
