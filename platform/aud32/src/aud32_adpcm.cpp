#include "aud32_adpcm.h"

#include <string.h>

namespace aud32 {

namespace {

// Step multipliers per magnitude of the last code (one-word memory), in
// 1/16 octaves, the classic values for speech: two bits
// {0.8, 1.6}, three bits {0.9, 0.9, 1.25, 1.75}, four bits
// {0.9 x4, 1.2, 1.6, 2.0, 2.4}.
constexpr int kAdapt2[2] = {-5, 11};
constexpr int kAdapt3[4] = {-2, -2, 5, 13};
constexpr int kAdapt4[8] = {-2, -2, -2, -2, 4, 11, 16, 20};

constexpr int kMuShift = 3;    // predictor adaptation speed 1/8
constexpr int kLeakShift = 10; // coefficient leak 1/1024 per coded sample
constexpr int kMaxIndex = 13 * 16; // steps 2 .. 16384

// 2^(k/16) in Q15.
constexpr int32_t kOctave[16] = {32768, 34219, 35734, 37316, 38968, 40693, 42495, 44376,
                                 46341, 48393, 50535, 52773, 55109, 57549, 60097, 62757};

int32_t step_of(int32_t index) {
    return (int32_t)(((int64_t)kOctave[index & 15] << (index >> 4)) >> 14);
}

int32_t clamp16(int64_t v) {
    return v > 32767 ? 32767 : (v < -32768 ? -32768 : (int32_t)v);
}

int32_t predict(const Adpcm *s) {
    int64_t acc = 0;
    for (int i = 0; i < kOrder; ++i)
        acc += (int64_t)s->coef[i] * s->hist[i];
    return clamp16(acc >> 14);
}

// Code layout: the low bits are the magnitude, the top bit the sign.
// Levels are (k + 1/2) steps.
int32_t dequantise(int bits, int code, int32_t step) {
    int k = code & ((1 << (bits - 1)) - 1);
    int32_t mag = (int32_t)(((int64_t)(2 * k + 1) * step) >> 1);
    return (code >> (bits - 1)) ? -mag : mag;
}

// The sample the decoder puts at position j (1..m.step) of a group whose
// coded sample is `cur`, the previous one being `prev`.
int32_t interpolate(int32_t prev, int32_t cur, int j, int n) {
    return prev + (cur - prev) * j / n;
}

// Normalised LMS on the quantised prediction error, then the new coded
// sample enters the history. The leak pulls the predictor back after a bad
// stretch.
void update(Adpcm *s, Mode m, int code, int32_t err, int32_t recon) {
    const int64_t norm = s->energy + 1024;
    for (int i = 0; i < kOrder; ++i) {
        int64_t delta = (int64_t)err * s->hist[i] * (1 << (14 - kMuShift)) / norm;
        int64_t c = s->coef[i] + delta;
        c -= c >> kLeakShift;
        s->coef[i] = (int32_t)(c > 32767 ? 32767 : (c < -32767 ? -32767 : c));
    }
    int32_t oldest = s->hist[kOrder - 1];
    s->energy -= (int64_t)oldest * oldest;
    memmove(&s->hist[1], &s->hist[0], (kOrder - 1) * sizeof(s->hist[0]));
    s->hist[0] = recon;
    s->energy += (int64_t)recon * recon;
    s->last = recon;

    int k = code & ((1 << (m.bits - 1)) - 1);
    const int *adapt = m.bits == 2 ? kAdapt2 : (m.bits == 3 ? kAdapt3 : kAdapt4);
    int32_t index = s->step_index + adapt[k];
    s->step_index = index < 0 ? 0 : (index > kMaxIndex ? kMaxIndex : index);
}

void put_bits(uint8_t *out, int *pos, int code, int bits) {
    for (int b = 0; b < bits; ++b, ++*pos)
        out[*pos >> 3] |= (uint8_t)(((code >> b) & 1) << (*pos & 7));
}

int get_bits(const uint8_t *in, int *pos, int bits) {
    int code = 0;
    for (int b = 0; b < bits; ++b, ++*pos)
        code |= ((in[*pos >> 3] >> (*pos & 7)) & 1) << b;
    return code;
}

} // namespace

void adpcm_reset(Adpcm *s) {
    memset(s, 0, sizeof(*s));
    s->step_index = 4 * 16; // step 32: quiet enough to start on silence
}

int adpcm_bytes(Mode m, int n) {
    return (n / m.step * m.bits + 7) / 8;
}

void adpcm_encode(Adpcm *s, Mode m, const int16_t *pcm, int n, uint8_t *out) {
    int pos = 0;
    memset(out, 0, (size_t)adpcm_bytes(m, n));
    for (int g = 0; g + m.step <= n; g += m.step) {
        const int32_t pred = predict(s);
        const int32_t step = step_of(s->step_index);
        int best = 0;
        int64_t best_err = -1;
        for (int code = 0; code < (1 << m.bits); ++code) {
            int32_t cur = clamp16((int64_t)pred + dequantise(m.bits, code, step));
            int64_t err = 0;
            for (int j = 1; j <= m.step; ++j) {
                int64_t d = pcm[g + j - 1] - interpolate(s->last, cur, j, m.step);
                err += d * d;
            }
            if (best_err < 0 || err < best_err) {
                best_err = err;
                best = code;
            }
        }
        int32_t dq = dequantise(m.bits, best, step);
        update(s, m, best, dq, clamp16((int64_t)pred + dq));
        put_bits(out, &pos, best, m.bits);
    }
}

void adpcm_decode(Adpcm *s, Mode m, const uint8_t *in, int n, int16_t *pcm) {
    int pos = 0;
    for (int g = 0; g + m.step <= n; g += m.step) {
        const int32_t pred = predict(s);
        int code = get_bits(in, &pos, m.bits);
        int32_t dq = dequantise(m.bits, code, step_of(s->step_index));
        int32_t cur = clamp16((int64_t)pred + dq);
        for (int j = 1; j <= m.step; ++j)
            pcm[g + j - 1] = (int16_t)interpolate(s->last, cur, j, m.step);
        update(s, m, code, dq, cur);
    }
}

} // namespace aud32
