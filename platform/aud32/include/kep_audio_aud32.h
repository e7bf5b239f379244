/*
 * libkep_audio_aud32 - the aud32 speech codec of the kep platform.
 *
 * A codec context converts fixed-size blocks: a PCM block of 10 ms of mono
 * samples (signed 8-bit, or signed 16-bit little-endian) and the coded block
 * of the same 10 ms. Encoder and decoder state carries over from one block to
 * the next, so a coded stream is decoded from its first block on.
 *
 * Plain C interface (C99 and C++).
 */
#ifndef KEP_AUDIO_AUD32_H
#define KEP_AUDIO_AUD32_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(KEP_AUD32_BUILD)
#define KEP_AUD32_API __attribute__((visibility("default")))
#else
#define KEP_AUD32_API
#endif

/* Format codes: sample width, sample rate, coded bit rate. */
enum {
    KEP_AUD32_FMT8_8KBPS = 0,        /* 8-bit, 8 kHz, 8 kbit/s */
    KEP_AUD32_FMT8_16KBPS = 5,       /* 8-bit, 8 kHz, 16 kbit/s */
    KEP_AUD32_FMT16_8K_8KBPS = 8,    /* 16-bit, 8 kHz, 8 kbit/s */
    KEP_AUD32_FMT16_16K_16KBPS = 29, /* 16-bit, 16 kHz, 16 kbit/s */
    KEP_AUD32_FMT16_16K_24KBPS = 39, /* 16-bit, 16 kHz, 24 kbit/s */
    KEP_AUD32_FMT16_16K_32KBPS = 49, /* 16-bit, 16 kHz, 32 kbit/s */
    KEP_AUD32_FMT16_32K_32KBPS = 55, /* 16-bit, 32 kHz, 32 kbit/s */
    KEP_AUD32_FMT16_32K_48KBPS = 60  /* 16-bit, 32 kHz, 48 kbit/s (listed as 64 by the tool) */
};

/* kep_aud32_open directions. */
enum { KEP_AUD32_ENCODER = 1, KEP_AUD32_DECODER = 2 };

/* Largest coded or PCM block of any format, in bytes. */
#define KEP_AUD32_MAX_BLOCK 640

/* The public head of a codec context; the codec state follows it and is the
 * library's alone. Callers read the block sizes, never write them. */
typedef struct kep_aud32 {
    int32_t format;      /* format code the context was opened with */
    int32_t coded_size;  /* bytes of one coded block */
    int32_t pcm_size;    /* bytes of one PCM block */
} kep_aud32;

/* Opens an encoder or decoder for a format code; null for an unknown
 * direction or code, or when memory runs out. The test-only environment
 * variable KEP_AUD32_TEST_BLOCK_SIZES="<coded>,<pcm>" makes the context
 * report other block sizes (the codec itself keeps its real ones). */
KEP_AUD32_API kep_aud32 *kep_aud32_open(int direction, int format);

/* Encodes the whole PCM blocks of in[0..in_size) into out, as many as fit in
 * *out_size bytes. Returns the number of input bytes taken and stores the
 * number of coded bytes written in *out_size; -1 (with *out_size 0 when it
 * can be written) for a decoder context, null pointers or negative sizes. */
KEP_AUD32_API int kep_aud32_encode(kep_aud32 *ctx, const void *in, void *out, int in_size,
                                   int *out_size);

/* Decodes the whole coded blocks of in[0..in_size) into PCM, as many as fit
 * in *out_size bytes, with the decoding gain in force. Returns the number of
 * input bytes taken and stores the number of PCM bytes written in *out_size;
 * -1 as for kep_aud32_encode. */
KEP_AUD32_API int kep_aud32_decode(kep_aud32 *ctx, const void *in, void *out, int in_size,
                                   int *out_size);

/* Sets the linear gain (1 = unity, 0 = mute) that every decoding from now on
 * applies, with saturation. A negative gain is refused (-1) and leaves the
 * gain as it was. Process-wide: it has no context. */
KEP_AUD32_API int kep_aud32_decode_gain(int16_t gain);

/* Releases a context; null is allowed. */
KEP_AUD32_API void kep_aud32_close(kep_aud32 *ctx);

#ifdef __cplusplus
}
#endif

#endif
