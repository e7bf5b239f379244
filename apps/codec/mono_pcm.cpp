#include "mono_pcm.h"

#include <errno.h>
#include <stdio.h>

mono_pcm_result mono_pcm_open(snd_pcm_t **pcm, const char *device, snd_pcm_stream_t stream, int mode,
                              unsigned int rate)
{
  int err = snd_pcm_open(pcm, device, stream, mode);
  if (err < 0) {
    *pcm = nullptr;
    return {MONO_PCM_OPEN, err};
  }
  snd_pcm_hw_params_t *params;
  snd_pcm_hw_params_alloca(&params);  // zero-filled
  if ((err = snd_pcm_hw_params_any(*pcm, params)) < 0)
    return {MONO_PCM_ANY, err};
  if ((err = snd_pcm_hw_params_set_access(*pcm, params, SND_PCM_ACCESS_RW_INTERLEAVED)) < 0)
    return {MONO_PCM_ACCESS, err};
  if ((err = snd_pcm_hw_params_set_format(*pcm, params, SND_PCM_FORMAT_S16_LE)) < 0)
    return {MONO_PCM_FORMAT, err};
  if ((err = snd_pcm_hw_params_set_channels(*pcm, params, 1)) < 0)
    return {MONO_PCM_CHANNELS, err};
  if ((err = snd_pcm_hw_params_set_rate(*pcm, params, rate, 0)) < 0)
    return {MONO_PCM_RATE, err};
  if ((err = snd_pcm_hw_params(*pcm, params)) < 0)
    return {MONO_PCM_APPLY, err};
  return {MONO_PCM_OK, 0};
}

namespace {

// The rate step keeps the name it has always been reported under although
// the rate is set exactly.
const char *step_name(mono_pcm_step step)
{
  switch (step) {
  case MONO_PCM_ANY: return "snd_pcm_hw_params_any";
  case MONO_PCM_ACCESS: return "snd_pcm_hw_params_set_access";
  case MONO_PCM_FORMAT: return "snd_pcm_hw_params_set_format";
  case MONO_PCM_CHANNELS: return "snd_pcm_hw_params_set_channels";
  case MONO_PCM_RATE: return "snd_pcm_hw_params_set_rate_near";
  case MONO_PCM_APPLY: return "snd_pcm_hw_params";
  default: return "snd_pcm_open";
  }
}

}  // namespace

void mono_pcm_report(mono_pcm_result r, bool with_reason)
{
  if (r.step == MONO_PCM_OPEN) {
    fprintf(stderr, "unable to open pcm device: %s\n", snd_strerror(r.err));
  } else if (r.step == MONO_PCM_APPLY) {
    fprintf(stderr, "unable to set hw parameters: %s\n", snd_strerror(r.err));
  } else if (with_reason) {
    // ALSA returns negative codes without setting errno.
    errno = -r.err;
    perror(step_name(r.step));
  } else {
    fputs(step_name(r.step), stderr);
  }
}
