// H.264 frame boundaries: 4-byte start codes found in groups of four bytes; a
// frame ends where a sequence parameter set or the first slice of a non-IDR
// picture begins. Picture parameter sets met on the way hand their entropy
// coding mode to the decoder.
#include "bs_reader.h"
#include "kep_vc_lib.h"

#include <stdio.h>
#include <string.h>
#include <sys/ioctl.h>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace kep {

namespace {

constexpr uint32_t NAL_SLICE = 1;
constexpr uint32_t NAL_SPS = 7;
constexpr uint32_t NAL_PPS = 8;
// Bytes of a NAL unit that the header decoding may look at.
constexpr uint32_t HEADER_BYTES = 32;

inline unsigned trailing_zero_bytes(const uint8_t *g)
{
    if (g[3] != 0)
        return 0;
    if (g[2] != 0)
        return 1;
    if (g[1] != 0)
        return 2;
    if (g[0] != 0)
        return 3;
    return 4;
}

// In state 0 only a group whose third or fourth byte is zero can hold a
// start code (00 00 00 01) or leave state 0 (a zero last byte); every other
// group is examined and changes nothing. This returns the first group at or
// after p (group-aligned with p) that may matter, or a position fewer than
// 16 bytes before end from which the groups are examined one by one.
#if defined(__SSE2__)
inline const uint8_t *next_group_with_late_zero(const uint8_t *p, const uint8_t *end)
{
    const __m128i zero = _mm_setzero_si128();
    constexpr unsigned LATE = 0xCCCCu; // bytes 2 and 3 of each group
    while (end - p >= 32) {
        __m128i a = _mm_loadu_si128((const __m128i *)p);
        __m128i b = _mm_loadu_si128((const __m128i *)(p + 16));
        unsigned ma = (unsigned)_mm_movemask_epi8(_mm_cmpeq_epi8(a, zero)) & LATE;
        unsigned mb = (unsigned)_mm_movemask_epi8(_mm_cmpeq_epi8(b, zero)) & LATE;
        if ((ma | mb) != 0) {
            if (ma != 0)
                return p + (((unsigned)__builtin_ctz(ma) >> 2) << 2);
            return p + 16 + (((unsigned)__builtin_ctz(mb) >> 2) << 2);
        }
        p += 32;
    }
    if (end - p >= 16) {
        unsigned m = (unsigned)_mm_movemask_epi8(_mm_cmpeq_epi8(_mm_loadu_si128((const __m128i *)p), zero)) & LATE;
        if (m != 0)
            return p + (((unsigned)__builtin_ctz(m) >> 2) << 2);
        p += 16;
    }
    return p;
}
#else
inline const uint8_t *next_group_with_late_zero(const uint8_t *p, const uint8_t *end)
{
    // Any zero byte, found by the C library's scan: a superset of the groups
    // that matter.
    const void *zero = memchr(p, 0, (size_t)(end - p));
    if (zero == nullptr)
        return end;
    return p + ((size_t)((const uint8_t *)zero - p) & ~(size_t)3);
}
#endif

void set_entropy_mode(kep_m2m *m2m, uint32_t cabac)
{
    v4l2_control c = {};
    c.id = KEP_CID_H264_ENTROPY_MODE;
    c.value = (int32_t)cabac;
    if (ioctl(m2m->dec_fd, abi::S_CTRL, &c) != 0)
        perror("set_entropy_mode");
}

} // namespace

// Search states: 0 = the previous group did not end in a zero byte; 1..3 = it
// ended in exactly that many zero bytes; 4 = a group of four zero bytes was
// seen, after which only a start code filling a whole group counts.
//
// In state 0 the scan jumps straight to the next group that can matter (see
// next_group_with_late_zero); the groups it skips would all have been
// examined in state 0 and left it there.
const uint8_t *h264_find_start_code(const uint8_t *p, const uint8_t *end)
{
    unsigned state = 0;
    while (p < end) {
        if (state == 0) {
            p = next_group_with_late_zero(p, end);
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
        if (p[0] == 0 && p[1] == 0 && p[2] == 0 && p[3] == 1)
            return p;
        if (state != 4) {
            if (state == 1 && p[0] == 0 && p[1] == 0 && p[2] == 1)
                return p - 1;
            if (state == 2 && p[0] == 0 && p[1] == 1)
                return p - 2;
            if (state == 3 && p[0] == 1)
                return p - 3;
            state = trailing_zero_bytes(p);
        }
        p += 4;
    }
    return nullptr;
}

uint8_t *h264_frame_parser(kep_m2m *m2m, uint8_t *pos, uint32_t *remaining, int phase, int *state)
{
    (void)state; // no search state survives between calls or reads
    if (((uintptr_t)pos & 3u) != 0)
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
