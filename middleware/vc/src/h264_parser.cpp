// H.264 frame boundaries: 4-byte start codes found in groups of four bytes; a
// frame ends where a sequence parameter set or the first slice of a non-IDR
// picture begins. Picture parameter sets met on the way hand their entropy
// coding mode to the decoder.
#include "bs_reader.h"
#include "kep_vc_lib.h"
#include "scan_forms.h"

#include <stdio.h>
#include <string.h>

namespace kep {

namespace {

constexpr uint32_t NAL_SLICE = 1;
constexpr uint32_t NAL_SPS = 7;
constexpr uint32_t NAL_PPS = 8;
// Bytes of a NAL unit that the header decoding may look at.
constexpr uint32_t HEADER_BYTES = 32;

// A group as a little-endian word: b0 in the low byte, b3 in the high one.
inline uint32_t group_word(const uint8_t *g)
{
    uint32_t v;
    memcpy(&v, g, sizeof v);
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    v = __builtin_bswap32(v);
#endif
    return v;
}

constexpr uint32_t START_CODE_WORD = 0x01000000u; // 00 00 00 01

// Zero bytes at the end of the group (b3 backwards): the next search state.
inline unsigned trailing_zero_bytes(uint32_t v)
{
    return v == 0 ? 4u : (unsigned)__builtin_clz(v) >> 3;
}

// Every start code, whole or straddling two groups, holds two zero bytes in a
// row, and so does every group that leaves the search in state 2, 3 or 4.
// Before the first such pair at or after p, the groups therefore find nothing
// and leave the state at 0 or 1 (or at 4), and a state of 1 cannot complete
// a start code in the group holding the pair. So in states 0 and 4 the search
// may go straight on at the group (counted from p) that holds the first byte
// of the next pair of zero bytes, in the state it had. Coded slice data holds
// such pairs only where emulation prevention put 00 00 03, so the jumps are
// long. Returns end when nothing can follow.
//
// The vector forms look at half as much: only the 16-bit words at even
// offsets from p. A start code's three zero bytes fill one of them, and so
// does a group of four zeros; a pair that fills none (odd offset, no third
// zero) leaves the state at 0 or 1 and finds nothing. The start code may
// begin one byte before its zero word, in the group before; so the search
// goes on at the group holding that byte. That group does not begin with a
// zero word, so a state of 1 left by its predecessor completes nothing in it.

// The group, counted from p, that holds byte z.
inline const uint8_t *group_of(const uint8_t *p, const uint8_t *z)
{
    return p + ((size_t)(z - p) & ~(size_t)3);
}

#if defined(KEP_SCAN_SSE2)
// The group to go on at for a zero word at w (an even offset from p).
inline const uint8_t *group_before_zero_word(const uint8_t *p, const uint8_t *w)
{
    return group_of(p, w > p ? w - 1 : p);
}

inline unsigned zero_words16(__m128i v)
{
    return (unsigned)_mm_movemask_epi8(_mm_cmpeq_epi16(v, _mm_setzero_si128()));
}

// From q, an even offset from p.
inline const uint8_t *zero_word_sse2(const uint8_t *p, const uint8_t *q, const uint8_t *end)
{
    const __m128i zero = _mm_setzero_si128();
    while (end - q >= 64) {
        __m128i a = _mm_loadu_si128((const __m128i *)q), b = _mm_loadu_si128((const __m128i *)(q + 16)),
                c = _mm_loadu_si128((const __m128i *)(q + 32)), d = _mm_loadu_si128((const __m128i *)(q + 48));
        // No unsigned 16-bit minimum before SSE4.1: the four compares are merged.
        __m128i any = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi16(a, zero), _mm_cmpeq_epi16(b, zero)),
                                   _mm_or_si128(_mm_cmpeq_epi16(c, zero), _mm_cmpeq_epi16(d, zero)));
        if (_mm_movemask_epi8(any) != 0) {
            uint64_t m = (uint64_t)zero_words16(a) | (uint64_t)zero_words16(b) << 16 |
                         (uint64_t)zero_words16(c) << 32 | (uint64_t)zero_words16(d) << 48;
            return group_before_zero_word(p, q + __builtin_ctzll(m));
        }
        q += 64;
    }
    for (; end - q >= 16; q += 16) {
        unsigned m = zero_words16(_mm_loadu_si128((const __m128i *)q));
        if (m != 0)
            return group_before_zero_word(p, q + __builtin_ctz(m));
    }
    for (; end - q >= 2; q += 2)
        if (q[0] == 0 && q[1] == 0)
            return group_before_zero_word(p, q);
    return end;
}
#endif

#if defined(KEP_SCAN_AVX2)
// The same in 32-byte vectors, where the processor has them.
__attribute__((target("avx2"))) const uint8_t *zero_word_avx2(const uint8_t *p, const uint8_t *end)
{
    const __m256i zero = _mm256_setzero_si256();
    const uint8_t *q = p;
    // 128 bytes per test: zero words are rare, so the one branch nearly
    // always goes the same way; a hit is then placed 32 bytes at a time.
    while (end - q >= 128) {
        __m256i a = _mm256_loadu_si256((const __m256i *)q), b = _mm256_loadu_si256((const __m256i *)(q + 32)),
                c = _mm256_loadu_si256((const __m256i *)(q + 64)), d = _mm256_loadu_si256((const __m256i *)(q + 96));
        __m256i low = _mm256_min_epu16(_mm256_min_epu16(a, b), _mm256_min_epu16(c, d));
        if (_mm256_movemask_epi8(_mm256_cmpeq_epi16(low, zero)) != 0)
            break;
        q += 128;
    }
    for (; end - q >= 32; q += 32) {
        uint32_t m = (uint32_t)_mm256_movemask_epi8(_mm256_cmpeq_epi16(_mm256_loadu_si256((const __m256i *)q), zero));
        if (m != 0)
            return group_before_zero_word(p, q + __builtin_ctz(m));
    }
    return zero_word_sse2(p, q, end);
}
#endif

inline const uint8_t *next_group_that_can_matter(const uint8_t *p, const uint8_t *end)
{
#if defined(KEP_SCAN_AVX2)
    if (scan_has_avx2())
        return zero_word_avx2(p, end);
#endif
#if defined(KEP_SCAN_SSE2)
    return zero_word_sse2(p, p, end);
#else
    // The C library's scan finds each zero byte; a lone one is passed over.
    const uint8_t *from = p;
    while (end - from >= 2) {
        const uint8_t *zero = (const uint8_t *)memchr(from, 0, (size_t)(end - from - 1));
        if (zero == nullptr)
            return end;
        if (zero[1] == 0)
            return group_of(p, zero);
        from = zero + 2;
    }
    return end;
#endif
}

// A refused setting is tried again with the next slice: parameter sets may
// come only once, and without the right mode the decoder decodes nothing.
void set_entropy_mode(kep_m2m *m2m, uint32_t cabac)
{
    bs_reader *reader = (bs_reader *)m2m->bs_reader;
    if (kep::set_ctrl(m2m->dec_fd, KEP_CID_H264_ENTROPY_MODE, (int32_t)cabac) != 0) {
        perror("set_entropy_mode");
        reader->entropy_pending = 1 + cabac;
    } else {
        reader->entropy_pending = 0;
    }
}

} // namespace

// Search states: 0 = the previous group did not end in a zero byte; 1..3 = it
// ended in exactly that many zero bytes; 4 = a group of four zero bytes was
// seen, after which only a start code filling a whole group counts.
//
// In states 0 and 4 the search jumps to the next group that can matter (see
// next_group_that_can_matter).
const uint8_t *h264_find_start_code(const uint8_t *p, const uint8_t *end)
{
    unsigned state = 0;
    while (p < end) {
        if (state == 0 || state == 4) {
            p = next_group_that_can_matter(p, end);
            if (p >= end)
                return nullptr;
        }
        size_t left = (size_t)(end - p);
        if (left < 4) {
            // Short final group: only the straddling forms can complete in it.
            if (state == 1 && left >= 3 && p[0] == 0 && p[1] == 0 && p[2] == 1)
                return p - 1;
            if (state == 2 && left >= 2 && p[0] == 0 && p[1] == 1)
                return p - 2;
            if (state == 3 && p[0] == 1)
                return p - 3;
            return nullptr;
        }
        uint32_t v = group_word(p);
        if (v == START_CODE_WORD)
            return p;
        if (state != 4) {
            if (state != 0) {
                // The rest of a start code whose first `state` bytes ended the
                // previous group: 00 00 01, 00 01 or 01 at the group's start.
                unsigned bits = 8 * (4 - state);
                if ((v & ((1u << bits) - 1)) == 1u << (bits - 8))
                    return p - state;
            }
            state = trailing_zero_bytes(v);
        }
        p += 4;
    }
    return nullptr;
}

uint8_t *h264_frame_parser(kep_m2m *m2m, uint8_t *pos, uint32_t *remaining, int phase, int *state)
{
    (void)state; // no search state survives between calls or reads
    // Alignment as the bytes would lie in the reader's buffer: a read made in
    // place in the destination keeps its offset from the read's start.
    const bs_reader *reader = (const bs_reader *)m2m->bs_reader;
    if ((((uintptr_t)pos - (uintptr_t)reader->data + (uintptr_t)reader->base) & 3u) != 0)
        printf("bit stream buffer not aligned\n");

    uint8_t *const start = pos;
    uint8_t *const end = pos + *remaining;
    uint8_t *p = pos;
    for (;;) {
        uint8_t *q = (uint8_t *)h264_find_start_code(p, end);
        if (q == nullptr) {
            *remaining = 0;
            return nullptr;
        }
        uint32_t r = (uint32_t)(end - q);
        *remaining = r;
        if (r < 8) {
            // Too short to hold a NAL header worth decoding: a boundary as is.
            printf("*** FATAL: H.264 parser: special parsing case ***\n");
            if (phase == BS_TAILER)
                printf("fatal: h.264 parser special case\n");
            return q;
        }
        if (phase != BS_TAILER)
            return q;

        uint32_t type = q[4] & 0x1Fu;
        if (type == NAL_SPS)
            return q;
        if (type == NAL_PPS || type == NAL_SLICE) {
            uint32_t avail = r - 5;
            bits_handler h;
            bits_handler_init(&h, q + 5, avail < HEADER_BYTES ? avail : HEADER_BYTES);
            if (type == NAL_PPS) {
                ue_exp_golomb(&h); // pic_parameter_set_id
                ue_exp_golomb(&h); // seq_parameter_set_id
                uint32_t cabac = read_bits(&h, 1);
                read_bits(&h, 1); // bottom_field_pic_order_in_frame_present_flag
                set_entropy_mode(m2m, cabac);
            } else {
                if (reader->entropy_pending)
                    set_entropy_mode(m2m, reader->entropy_pending - 1);
                uint32_t first_mb = ue_exp_golomb(&h);
                ue_exp_golomb(&h); // slice_type
                ue_exp_golomb(&h); // pic_parameter_set_id
                if (first_mb == 0)
                    return q;
            }
        }
        // Resume at the group holding the NAL header byte, in state 0.
        p = start + ((size_t)(q + 4 - start) & ~(size_t)3);
    }
}

} // namespace kep
