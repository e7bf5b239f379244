// The aud32 codec API: format table, context life cycle and block loops
// around the ADPCM coder.
#include "kep_audio_aud32.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "aud32_adpcm.h"

namespace {

struct Format {
    int code;
    int rate_khz;
    int width;
    int kbps;
    aud32::Mode mode; // input samples per coded sample, bits per coded sample
};

// Below two bits per input sample the coder runs on a decimated grid: that
// measured better on speech than coarser quantising at the full rate.
constexpr Format kFormats[] = {
    {KEP_AUD32_FMT8_8KBPS, 8, 8, 8, {2, 2}},          {KEP_AUD32_FMT8_16KBPS, 8, 8, 16, {1, 2}},
    {KEP_AUD32_FMT16_8K_8KBPS, 8, 16, 8, {2, 2}},     {KEP_AUD32_FMT16_16K_16KBPS, 16, 16, 16, {2, 2}},
    {KEP_AUD32_FMT16_16K_24KBPS, 16, 16, 24, {2, 3}}, {KEP_AUD32_FMT16_16K_32KBPS, 16, 16, 32, {2, 4}},
    {KEP_AUD32_FMT16_32K_32KBPS, 32, 16, 32, {4, 4}},    {KEP_AUD32_FMT16_32K_48KBPS, 32, 16, 48, {2, 3}},
};

// Every block is 10 ms: at most 320 samples, 640 PCM bytes, 60 coded bytes.
constexpr int kMaxSamples = 320;

struct Context {
    kep_aud32 head; // first, so that the caller's pointer is the context's
    int direction;
    int samples;    // per block
    int width;      // 8 or 16
    int pcm_bytes;  // real block sizes, whatever head reports
    int coded_bytes;
    aud32::Mode mode;
    aud32::Adpcm state;
};

// The decoding gain has no context by contract, so it is process-wide.
int g_gain = 1;

const Format *find_format(int code) {
    for (const Format &f : kFormats)
        if (f.code == code)
            return &f;
    return nullptr;
}

// Test-only: lets tests see how a caller copes with bad block sizes.
void apply_test_sizes(kep_aud32 *head) {
    const char *v = getenv("KEP_AUD32_TEST_BLOCK_SIZES");
    int coded, pcm;
    if (v && sscanf(v, "%d,%d", &coded, &pcm) == 2) {
        head->coded_size = coded;
        head->pcm_size = pcm;
    }
}

void to_samples(const Context *c, const uint8_t *in, int16_t *pcm) {
    for (int i = 0; i < c->samples; ++i) {
        if (c->width == 8)
            pcm[i] = (int16_t)((int8_t)in[i] * 256);
        else
            pcm[i] = (int16_t)(uint16_t)(in[2 * i] | (in[2 * i + 1] << 8));
    }
}

void from_samples(const Context *c, const int16_t *pcm, uint8_t *out, int gain) {
    for (int i = 0; i < c->samples; ++i) {
        int32_t v = pcm[i] * gain;
        v = v > 32767 ? 32767 : (v < -32768 ? -32768 : v);
        if (c->width == 8) {
            int32_t s = (v + 128) >> 8;
            out[i] = (uint8_t)(int8_t)(s > 127 ? 127 : s);
        } else {
            out[2 * i] = (uint8_t)(v & 0xff);
            out[2 * i + 1] = (uint8_t)((v >> 8) & 0xff);
        }
    }
}

// Refused calls produce nothing.
bool bad_call(kep_aud32 *ctx, const void *in, void *out, int in_size, int *out_size, int dir) {
    if (!out_size)
        return true;
    bool bad = !ctx || !in || !out || in_size < 0 || *out_size < 0 ||
               ((Context *)ctx)->direction != dir;
    if (bad)
        *out_size = 0;
    return bad;
}

} // namespace

extern "C" {

KEP_AUD32_API kep_aud32 *kep_aud32_open(int direction, int format) {
    const Format *f = find_format(format);
    if (!f || (direction != KEP_AUD32_ENCODER && direction != KEP_AUD32_DECODER))
        return nullptr;
    Context *c = (Context *)calloc(1, sizeof(Context));
    if (!c)
        return nullptr;
    c->direction = direction;
    c->samples = f->rate_khz * 10;
    c->width = f->width;
    c->pcm_bytes = c->samples * f->width / 8;
    c->coded_bytes = f->kbps * 10 / 8;
    c->mode = f->mode;
    aud32::adpcm_reset(&c->state);
    c->head.format = format;
    c->head.coded_size = c->coded_bytes;
    c->head.pcm_size = c->pcm_bytes;
    apply_test_sizes(&c->head);
    return &c->head;
}

KEP_AUD32_API int kep_aud32_encode(kep_aud32 *ctx, const void *in, void *out, int in_size,
                                   int *out_size) {
    if (bad_call(ctx, in, out, in_size, out_size, KEP_AUD32_ENCODER))
        return -1;
    Context *c = (Context *)ctx;
    int blocks = in_size / c->pcm_bytes;
    if (blocks > *out_size / c->coded_bytes)
        blocks = *out_size / c->coded_bytes;
    int16_t pcm[kMaxSamples];
    const uint8_t *src = (const uint8_t *)in;
    uint8_t *dst = (uint8_t *)out;
    for (int b = 0; b < blocks; ++b) {
        to_samples(c, src + b * c->pcm_bytes, pcm);
        aud32::adpcm_encode(&c->state, c->mode, pcm, c->samples, dst + b * c->coded_bytes);
    }
    *out_size = blocks * c->coded_bytes;
    return blocks * c->pcm_bytes;
}

KEP_AUD32_API int kep_aud32_decode(kep_aud32 *ctx, const void *in, void *out, int in_size,
                                   int *out_size) {
    if (bad_call(ctx, in, out, in_size, out_size, KEP_AUD32_DECODER))
        return -1;
    Context *c = (Context *)ctx;
    int blocks = in_size / c->coded_bytes;
    if (blocks > *out_size / c->pcm_bytes)
        blocks = *out_size / c->pcm_bytes;
    int gain = __atomic_load_n(&g_gain, __ATOMIC_RELAXED);
    int16_t pcm[kMaxSamples];
    const uint8_t *src = (const uint8_t *)in;
    uint8_t *dst = (uint8_t *)out;
    for (int b = 0; b < blocks; ++b) {
        aud32::adpcm_decode(&c->state, c->mode, src + b * c->coded_bytes, c->samples, pcm);
        from_samples(c, pcm, dst + b * c->pcm_bytes, gain);
    }
    *out_size = blocks * c->pcm_bytes;
    return blocks * c->coded_bytes;
}

KEP_AUD32_API int kep_aud32_decode_gain(int16_t gain) {
    if (gain < 0)
        return -1;
    __atomic_store_n(&g_gain, (int)gain, __ATOMIC_RELAXED);
    return 0;
}

KEP_AUD32_API void kep_aud32_close(kep_aud32 *ctx) {
    free(ctx);
}

} // extern "C"
