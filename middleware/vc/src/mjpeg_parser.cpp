// MJPEG frames: the scan data of one image plus its end-of-image marker. The
// markers in front of the scan are walked by a resumable state machine, so a
// marker, a length field or a segment may straddle two reads; the frame
// header's sub-sampling and every changed quantisation table go to the
// decoder through its controls.
#include "bs_reader.h"
#include "kep_vc_lib.h"
#include "scan_forms.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>

namespace kep {

namespace {

enum walk_state : int {
    WALK_SEARCH = 0,
    WALK_SEARCH_AGAIN = 1,
    WALK_FF_AT_END = 2,
    WALK_MARKER = 3,
    WALK_LENGTH_SPLIT = 4,
    WALK_LENGTH = 5,
    WALK_SKIP_PENDING = 6,
    WALK_SEGMENT = 7,
};

constexpr uint8_t SOF0 = 0xC0;
constexpr uint8_t RST0 = 0xD0;
constexpr uint8_t RST7 = 0xD7;
constexpr uint8_t EOI = 0xD9;
constexpr uint8_t SOS = 0xDA;
constexpr uint8_t DQT = 0xDB;
constexpr uint8_t COM = 0xFE;

constexpr uint32_t QTABLE_BYTES = 64;

// Only these codes end a run of data; anything else after 0xFF (DHT, APPn,
// fill bytes, stuffing) is data and the search goes on at the code byte.
inline bool is_marker(uint8_t code)
{
    return code == SOF0 || (code >= 0xD0 && code <= 0xDD) || code == COM;
}

inline bool has_no_length(uint8_t code)
{
    return code >= RST0 && code <= EOI;
}

inline uint32_t segment_length(const mjpeg_parser_state *s)
{
    return (uint32_t)s->length_high << 8 | s->length_low;
}

// Payload bytes of the current segment. A length field below 2 cannot even
// cover itself; such a segment is taken as empty.
inline uint32_t payload_length(const mjpeg_parser_state *s)
{
    uint32_t l = segment_length(s);
    return l < 2 ? 0 : l - 2;
}

// The search for the next 0xFF. In the scan data, which is nearly all of a
// stream, 0xFF is followed by the stuffing byte 00 in all but a handful of
// places (restart markers, fill bytes, the end of image). The walk takes such
// an FF, finds no marker code after it and goes on at the 00, so passing over
// every FF 00 pair finds what it would; the last byte of the data has no
// byte after it in this read and is always looked at.
inline const uint8_t *marker_bytes(const uint8_t *q, const uint8_t *end)
{
    for (; q < end; q++)
        if (q[0] == 0xFF && (q + 1 == end || q[1] != 0))
            return q;
    return nullptr;
}

#if defined(KEP_SCAN_SSE2)
// Lanes of q[0..15] holding an FF that is not followed by 00; reads q[16].
inline __m128i unstuffed_ff16(const uint8_t *q, __m128i ff, __m128i zero)
{
    __m128i v = _mm_loadu_si128((const __m128i *)q), next = _mm_loadu_si128((const __m128i *)(q + 1));
    return _mm_andnot_si128(_mm_cmpeq_epi8(next, zero), _mm_cmpeq_epi8(v, ff));
}

inline unsigned lanes16(__m128i m)
{
    return (unsigned)_mm_movemask_epi8(m);
}

// Each step reads one byte past its vectors, so it needs one to be there.
inline const uint8_t *marker_sse2(const uint8_t *q, const uint8_t *end)
{
    const __m128i ff = _mm_set1_epi8((char)0xFF), zero = _mm_setzero_si128();
    while (end - q > 64) {
        __m128i a = unstuffed_ff16(q, ff, zero), b = unstuffed_ff16(q + 16, ff, zero),
                c = unstuffed_ff16(q + 32, ff, zero), d = unstuffed_ff16(q + 48, ff, zero);
        if (lanes16(_mm_or_si128(_mm_or_si128(a, b), _mm_or_si128(c, d))) != 0) {
            uint64_t m = (uint64_t)lanes16(a) | (uint64_t)lanes16(b) << 16 | (uint64_t)lanes16(c) << 32 |
                         (uint64_t)lanes16(d) << 48;
            return q + __builtin_ctzll(m);
        }
        q += 64;
    }
    for (; end - q > 16; q += 16) {
        unsigned m = lanes16(unstuffed_ff16(q, ff, zero));
        if (m != 0)
            return q + __builtin_ctz(m);
    }
    return marker_bytes(q, end);
}
#endif

#if defined(KEP_SCAN_AVX2)
// The same in 32-byte vectors, 64 bytes per branch.
__attribute__((target("avx2"))) const uint8_t *marker_avx2(const uint8_t *q, const uint8_t *end)
{
    const __m256i ff = _mm256_set1_epi8((char)0xFF), zero = _mm256_setzero_si256();
    while (end - q > 64) {
        __m256i a = _mm256_andnot_si256(_mm256_cmpeq_epi8(_mm256_loadu_si256((const __m256i *)(q + 1)), zero),
                                        _mm256_cmpeq_epi8(_mm256_loadu_si256((const __m256i *)q), ff));
        __m256i b = _mm256_andnot_si256(_mm256_cmpeq_epi8(_mm256_loadu_si256((const __m256i *)(q + 33)), zero),
                                        _mm256_cmpeq_epi8(_mm256_loadu_si256((const __m256i *)(q + 32)), ff));
        if (!_mm256_testz_si256(_mm256_or_si256(a, b), _mm256_or_si256(a, b))) {
            uint64_t m = (uint64_t)(uint32_t)_mm256_movemask_epi8(a) | (uint64_t)(uint32_t)_mm256_movemask_epi8(b)
                                                                          << 32;
            return q + __builtin_ctzll(m);
        }
        q += 64;
    }
    return marker_sse2(q, end);
}
#endif

void frame_header(kep_m2m *m2m, mjpeg_parser_state *s, const uint8_t *payload, uint32_t size)
{
    if (size < 6)
        return;
    uint32_t nf = payload[5];
    // A header too short for its own component count is skipped like one
    // that is not in memory.
    if (size < 6 + 3 * nf)
        return;
    if (nf > s->component_capacity) {
        mjpeg_component *grown = (mjpeg_component *)calloc(nf, sizeof(mjpeg_component));
        if (grown == nullptr)
            return;
        free(s->components);
        s->components = grown;
        s->component_capacity = nf;
    }
    s->component_count = (uint8_t)nf;
    for (uint32_t i = 0; i < nf; i++) {
        const uint8_t *c = payload + 6 + 3 * i;
        s->components[i] = {c[0], (uint8_t)(c[1] >> 4), (uint8_t)(c[1] & 0x0F), c[2]};
    }
    if (nf == 0)
        return;
    const mjpeg_component &first = s->components[0];
    if (first.h == 2 && first.v == 2)
        kep_dec_set_mjpeg_sample_format(m2m, 0);
    else if (first.h == 2 && first.v == 1)
        kep_dec_set_mjpeg_sample_format(m2m, 1);
    else
        printf("mjpeg parser: non-supported sample format\n");
}

void quantisation_tables(kep_m2m *m2m, mjpeg_parser_state *s, const uint8_t *payload, uint32_t size)
{
    uint32_t count = size / (1 + QTABLE_BYTES);
    for (uint32_t i = 0; i < count; i++) {
        const uint8_t *t = payload + i * (1 + QTABLE_BYTES);
        uint32_t pq = t[0] >> 4;
        uint32_t tq = t[0] & 0x0F;
        if (pq != 0) {
            printf("jpg precise error\n");
            return;
        }
        if (tq > 1) {
            printf("jpg qtable un-handled id %d\n", (int)tq);
            continue;
        }
        mjpeg_qtable &q = s->qtables[tq];
        if (memcmp(q.space + q.slot, t + 1, QTABLE_BYTES) == 0)
            continue;
        // The changed table moves to the other slot, so the decoder sees a
        // new address for it.
        q.slot ^= 1;
        memcpy(q.space + q.slot, t + 1, QTABLE_BYTES);
        int r = tq == 0 ? kep_dec_set_mjpeg_qtab_luma(m2m, q.space + q.slot)
                        : kep_dec_set_mjpeg_qtab_chroma(m2m, q.space + q.slot);
        // A table the decoder refused is sent again with the next frame: no
        // table holds a zero, so the next comparison differs.
        if (r != 0)
            q.space[q.slot] = 0;
    }
}

// End of image: the marker and the 0xFF fill bytes before it become zero, and
// FF D9 is written right after the last byte that is not fill, so the frame
// ends at its real end of image. Only bytes of the current data are touched:
// a marker whose 0xFF closed the previous read ends the frame as it is.
void end_of_image(uint8_t *data_start, uint8_t *code)
{
    if (code == data_start)
        return;
    uint8_t *marker = code - 1;
    marker[0] = 0;
    marker[1] = 0;
    uint8_t *w = marker;
    while (w > data_start && w[-1] == 0xFF) {
        w--;
        *w = 0;
    }
    w[0] = 0xFF;
    w[1] = EOI;
}

void syntax_error(uint8_t code, const uint8_t *p, uint32_t remaining)
{
    // Nothing follows the marker in this read: report the missing byte as 0.
    printf("detected jpg syntax error 0x%02X 0x%02X, %u\n", code, remaining > 0 ? p[0] : 0u, remaining);
}

} // namespace

const uint8_t *mjpeg_find_marker(const uint8_t *p, const uint8_t *end)
{
#if defined(KEP_SCAN_AVX2)
    if (scan_has_avx2())
        return marker_avx2(p, end);
#endif
#if defined(KEP_SCAN_SSE2)
    return marker_sse2(p, end);
#else
    // The C library's scan finds each 0xFF; a stuffed one is passed over.
    while (p < end) {
        const uint8_t *ff = (const uint8_t *)memchr(p, 0xFF, (size_t)(end - p));
        if (ff == nullptr || ff + 1 == end || ff[1] != 0)
            return ff;
        p = ff + 2;
    }
    return nullptr;
#endif
}

uint8_t *mjpeg_frame_parser(kep_m2m *m2m, uint8_t *pos, uint32_t *remaining, int phase, int *state)
{
    bs_reader *r = (bs_reader *)m2m->bs_reader;
    mjpeg_parser_state *s = r->mjpeg;
    uint8_t *const data_start = r->data;
    uint8_t *p = pos;
    uint32_t left = *remaining;

    for (;;) {
        switch (*state) {
        case WALK_SEARCH:
        case WALK_SEARCH_AGAIN: {
            s->flags = 0;
            s->marker_first = s->marker_code = 0;
            s->length_high = s->length_low = 0;
            s->remainder = 0;
            uint8_t *ff = (uint8_t *)mjpeg_find_marker(p, p + left);
            if (ff == nullptr) {
                *remaining = 0;
                return nullptr;
            }
            left -= (uint32_t)(ff - p);
            p = ff;
            *state = left == 1 ? WALK_FF_AT_END : WALK_MARKER;
            break;
        }

        case WALK_FF_AT_END:
            if (!(s->flags & MJPEG_MARKER_COMPLETE)) {
                s->marker_first = *p;
                s->flags |= MJPEG_MARKER_COMPLETE;
                *remaining = 0;
                return nullptr;
            }
            if (left == 0) {
                *remaining = 0;
                return nullptr;
            }
            s->marker_code = *p;
            if (!is_marker(s->marker_code)) {
                *state = WALK_SEARCH; // the code byte is searched again
                break;
            }
            p++;
            left--;
            if (has_no_length(s->marker_code)) {
                s->length_high = 0;
                s->length_low = 2;
                *state = WALK_SEGMENT;
            } else {
                *state = WALK_MARKER;
            }
            break;

        case WALK_MARKER:
            if (!(s->flags & MJPEG_MARKER_COMPLETE)) {
                s->marker_first = p[0];
                s->marker_code = p[1];
                if (!is_marker(s->marker_code)) {
                    p++;
                    left--;
                    *state = WALK_SEARCH;
                    break;
                }
                p += 2;
                left -= 2;
                s->flags |= MJPEG_MARKER_COMPLETE;
            }
            if (left == 0) {
                if (phase == BS_TAILER && s->marker_code == EOI) {
                    end_of_image(data_start, p - 1);
                    *state = WALK_SEARCH;
                    *remaining = 0;
                    return p;
                }
                *remaining = 0;
                return nullptr;
            }
            if (has_no_length(s->marker_code)) {
                s->length_high = 0;
                s->length_low = 2;
                *state = WALK_SEGMENT;
            } else {
                *state = left == 1 ? WALK_LENGTH_SPLIT : WALK_LENGTH;
            }
            break;

        case WALK_LENGTH_SPLIT:
            if (!(s->flags & MJPEG_LENGTH_HIGH_HELD)) {
                s->length_high = *p;
                s->flags = MJPEG_LENGTH_HIGH_HELD;
                *remaining = 0;
                return nullptr;
            }
            if (left == 0) {
                *remaining = 0;
                return nullptr;
            }
            s->length_low = *p;
            p++;
            left--;
            *state = WALK_LENGTH;
            break;

        case WALK_LENGTH:
            if (!(s->flags & MJPEG_LENGTH_HIGH_HELD)) {
                s->length_high = p[0];
                s->length_low = p[1];
                p += 2;
                left -= 2;
                s->flags = MJPEG_LENGTH_HIGH_HELD;
            }
            if (left == 0) {
                *remaining = 0;
                return nullptr;
            }
            *state = left >= payload_length(s) ? WALK_SEGMENT : WALK_SKIP_PENDING;
            break;

        case WALK_SKIP_PENDING:
            if (!(s->flags & MJPEG_REMAINDER_PENDING)) {
                s->remainder = (uint16_t)(payload_length(s) - left);
                s->flags = MJPEG_REMAINDER_PENDING;
                *remaining = 0;
                return nullptr;
            }
            // The rest of the segment may run past this read too.
            if (left < s->remainder) {
                s->remainder = (uint16_t)(s->remainder - left);
                *remaining = 0;
                return nullptr;
            }
            p += s->remainder;
            left -= s->remainder;
            s->remainder = 0;
            *state = WALK_SEGMENT;
            break;

        case WALK_SEGMENT: {
            const uint8_t *payload = nullptr;
            uint32_t size = 0;
            if (!(s->flags & MJPEG_REMAINDER_PENDING)) {
                size = payload_length(s);
                if (left < size) {
                    printf("mjpeg parser: insufficient pattern %u %u\n", left, size);
                    *remaining = 0;
                    return nullptr;
                }
                payload = p;
                p += size;
                left -= size;
            }
            *state = WALK_SEARCH;
            uint8_t code = s->marker_code;
            if (code == SOF0) {
                if (payload != nullptr)
                    frame_header(m2m, s, payload, size);
            } else if (code >= RST0 && code <= RST7) {
                printf("mjpeg parser: non-supported marker %02X\n", code);
            } else if (code == EOI) {
                if (phase == BS_TAILER) {
                    end_of_image(data_start, p - 1);
                    *remaining = left;
                    return p;
                }
                syntax_error(code, p, left);
            } else if (code == SOS) {
                if (phase == BS_HEADER) {
                    *remaining = left;
                    return p;
                }
                syntax_error(code, p, left);
            } else if (code == DQT) {
                if (payload != nullptr)
                    quantisation_tables(m2m, s, payload, size);
            }
            // SOI, DNL, DRI and COM need nothing.
            break;
        }

        default:
            *state = WALK_SEARCH;
            break;
        }
    }
}

} // namespace kep

namespace {

int set_ctrl(kep_m2m *m2m, uint32_t id, int32_t value, const char *what)
{
    int r = kep::set_ctrl(m2m->dec_fd, id, value);
    if (r != 0)
        perror(what);
    return r;
}

// The table's address is the control value where addresses are 32 bits wide.
// Wider addresses do not fit; there the same control goes as an extended
// control whose pointer payload is the 64-byte table itself, so the driver
// reads the table instead of a truncated address.
int set_qtable(kep_m2m *m2m, uint32_t id, const uint8_t *table, const char *what)
{
#if UINTPTR_MAX <= 0xFFFFFFFFu
    return set_ctrl(m2m, id, (int32_t)(uintptr_t)table, what);
#else
    v4l2_ext_control c = {};
    c.id = id;
    c.size = 64;
    c.ptr = (void *)table;
    v4l2_ext_controls cs = {};
    cs.which = V4L2_CTRL_ID2WHICH(id);
    cs.count = 1;
    cs.controls = &c;
    int r = kep::ioctl_retry(m2m->dec_fd, VIDIOC_S_EXT_CTRLS, &cs);
    if (r != 0)
        perror(what);
    return r;
#endif
}

} // namespace

extern "C" KEP_VC_API int32_t kep_dec_set_mjpeg_sample_format(kep_m2m *m2m, int32_t format)
{
    int32_t value;
    if (format == 0)
        value = 2; // 4:2:0
    else if (format == 1)
        value = 1; // 4:2:2
    else
        return -1;
    return set_ctrl(m2m, KEP_CID_JPEG_CHROMA_SUBSAMPLING, value, "set_mjpeg_sample_format");
}

extern "C" KEP_VC_API int32_t kep_dec_set_mjpeg_qtab_luma(kep_m2m *m2m, const uint8_t *table)
{
    return set_qtable(m2m, KEP_CID_MJPEG_QTAB_LUMA, table, "set_mjpeg_qtable_luma");
}

extern "C" KEP_VC_API int32_t kep_dec_set_mjpeg_qtab_chroma(kep_m2m *m2m, const uint8_t *table)
{
    return set_qtable(m2m, KEP_CID_MJPEG_QTAB_CHROMA, table, "set_mjpeg_qtable_chroma");
}
