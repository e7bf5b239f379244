// The aud32 waveform coder: ADPCM on a sample grid decimated by 1, 2 or 4,
// with a backward-adaptive (normalised LMS) predictor and an adaptive
// quantiser with one-word memory of 2, 3 or 4 bits. The decoder outputs the coded samples and
// fills the samples between them by linear interpolation from the previous
// coded sample, so the codec has no delay. The encoder chooses each code by
// analysis by synthesis: it tries every code and keeps the one whose
// interpolated samples come closest to the input.
//
// Everything is integer arithmetic, so an encoder on one machine and a
// decoder on another stay in step bit for bit.
#ifndef AUD32_ADPCM_H
#define AUD32_ADPCM_H

#include <stdint.h>

namespace aud32 {

constexpr int kOrder = 8; // predictor taps

// One coded sample of `bits` bits per `step` input samples.
struct Mode {
    int step;
    int bits;
};

struct Adpcm {
    int32_t step_index;   // quantiser step, in 1/16 octaves above the smallest
    int32_t last;         // the latest coded (decimated) sample
    int32_t coef[kOrder]; // predictor coefficients, Q14
    int32_t hist[kOrder]; // coded samples, hist[0] the newest
    int64_t energy;       // sum of hist[i]^2
};

void adpcm_reset(Adpcm *s);

// Bytes that n input samples take in a mode (n a multiple of mode.step).
int adpcm_bytes(Mode m, int n);

// Codes n samples (n a multiple of mode.step) into bits, least significant
// bit first; writes adpcm_bytes(m, n) bytes of out.
void adpcm_encode(Adpcm *s, Mode m, const int16_t *pcm, int n, uint8_t *out);

// Decodes n samples from the bits that adpcm_encode wrote.
void adpcm_decode(Adpcm *s, Mode m, const uint8_t *in, int n, int16_t *pcm);

} // namespace aud32

#endif
