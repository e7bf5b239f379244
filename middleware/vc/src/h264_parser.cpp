// H.264 frame boundaries: 4-byte start codes found in groups of four bytes; a
// frame ends where a sequence parameter set or the first slice of a non-IDR
// picture begins. Picture parameter sets met on the way hand their entropy
// coding mode to the decoder.
#include "bs_reader.h"
#include "kep_vc_lib.h"

#include <stdio.h>
#include <string.h>
#include <sys/ioctl.h>

// The search has three forms: wide vectors where the processor has them, SSE2
// vectors on any x86-64, and the C library's byte scan elsewhere. The tests
// build the narrower forms on purpose through these two switches.
#if defined(__SSE2__) && !defined(KEP_SCAN_PORTABLE)
#define KEP_SCAN_SSE2 1
#include <emmintrin.h>
#if defined(__x86_64__) && !defined(KEP_SCAN_NO_AVX2)
#define KEP_SCAN_AVX2 1
#include <immintrin.h>
#endif
#endif

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
// long. Returns end when no pair follows.

// The group, counted from p, that holds byte z.
inline const uint8_t *group_of(const uint8_t *p, const uint8_t *z)
{
    return p + ((size_t)(z - p) & ~(size_t)3);
}

// The last few bytes, one by one; p is a group start.
inline const uint8_t *zero_pair_in_tail(const uint8_t *p, const uint8_t *end)
{
    for (const uint8_t *q = p; end - q >= 2; q++)
        if (q[0] == 0 && q[1] == 0)
            return group_of(p, q);
    return end;
}

#if defined(KEP_SCAN_SSE2)
// Byte i of (x | x one byte on) is zero when bytes i and i + 1 both are. Each
// step needs one byte beyond its vectors: the pair may end there.
inline __m128i zero_pairs16(const uint8_t *q)
{
    return _mm_or_si128(_mm_loadu_si128((const __m128i *)q), _mm_loadu_si128((const __m128i *)(q + 1)));
}

inline const uint8_t *zero_pair_sse2(const uint8_t *p, const uint8_t *end)
{
    const __m128i zero = _mm_setzero_si128();
    while (end - p >= 65) {
        __m128i a = zero_pairs16(p), b = zero_pairs16(p + 16), c = zero_pairs16(p + 32), d = zero_pairs16(p + 48);
        if (_mm_movemask_epi8(_mm_cmpeq_epi8(_mm_min_epu8(_mm_min_epu8(a, b), _mm_min_epu8(c, d)), zero)) != 0) {
            uint64_t m = (uint64_t)(unsigned)_mm_movemask_epi8(_mm_cmpeq_epi8(a, zero)) |
                         (uint64_t)(unsigned)_mm_movemask_epi8(_mm_cmpeq_epi8(b, zero)) << 16 |
                         (uint64_t)(unsigned)_mm_movemask_epi8(_mm_cmpeq_epi8(c, zero)) << 32 |
                         (uint64_t)(unsigned)_mm_movemask_epi8(_mm_cmpeq_epi8(d, zero)) << 48;
            return p + (((unsigned)__builtin_ctzll(m) >> 2) << 2);
        }
        p += 64;
    }
    while (end - p >= 17) {
        unsigned m = (unsigned)_mm_movemask_epi8(_mm_cmpeq_epi8(zero_pairs16(p), zero));
        if (m != 0)
            return p + (((unsigned)__builtin_ctz(m) >> 2) << 2);
        p += 16;
    }
    return zero_pair_in_tail(p, end);
}
#endif

#if defined(KEP_SCAN_AVX2)
// The same in 32-byte vectors, where the processor has them.
__attribute__((target("avx2"))) inline __m256i zero_pairs32(const uint8_t *q)
{
    return _mm256_or_si256(_mm256_loadu_si256((const __m256i *)q), _mm256_loadu_si256((const __m256i *)(q + 1)));
}

__attribute__((target("avx2"))) const uint8_t *zero_pair_avx2(const uint8_t *p, const uint8_t *end)
{
    const __m256i zero = _mm256_setzero_si256();
    while (end - p >= 65) {
        __m256i a = zero_pairs32(p), b = zero_pairs32(p + 32);
        if (_mm256_movemask_epi8(_mm256_cmpeq_epi8(_mm256_min_epu8(a, b), zero)) != 0) {
            uint64_t m = (uint64_t)(uint32_t)_mm256_movemask_epi8(_mm256_cmpeq_epi8(a, zero)) |
                         (uint64_t)(uint32_t)_mm256_movemask_epi8(_mm256_cmpeq_epi8(b, zero)) << 32;
            return p + (((unsigned)__builtin_ctzll(m) >> 2) << 2);
        }
        p += 64;
    }
    if (end - p >= 33) {
        uint32_t m = (uint32_t)_mm256_movemask_epi8(_mm256_cmpeq_epi8(zero_pairs32(p), zero));
        if (m != 0)
            return p + (((unsigned)__builtin_ctz(m) >> 2) << 2);
        p += 32;
    }
    return zero_pair_sse2(p, end);
}
#endif

inline const uint8_t *next_group_with_zero_pair(const uint8_t *p, const uint8_t *end)
{
#if defined(KEP_SCAN_AVX2)
    if (__builtin_cpu_supports("avx2"))
        return zero_pair_avx2(p, end);
#endif
#if defined(KEP_SCAN_SSE2)
    return zero_pair_sse2(p, end);
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

void set_entropy_mode(kep_m2m *m2m, uint32_t cabac)
{
    if (kep::set_ctrl(m2m->dec_fd, KEP_CID_H264_ENTROPY_MODE, (int32_t)cabac) != 0)
        perror("set_entropy_mode");
}

} // namespace

// Search states: 0 = the previous group did not end in a zero byte; 1..3 = it
// ended in exactly that many zero bytes; 4 = a group of four zero bytes was
// seen, after which only a start code filling a whole group counts.
//
// In states 0 and 4 the search jumps to the next group that can matter (see
// next_group_with_zero_pair).
const uint8_t *h264_find_start_code(const uint8_t *p, const uint8_t *end)
{
    unsigned state = 0;
    while (p < end) {
        if (state == 0 || state == 4) {
            p = next_group_with_zero_pair(p, end);
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
