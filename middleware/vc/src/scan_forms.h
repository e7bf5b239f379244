// The parsers' byte searches come in three forms: wide vectors where the
// processor has them, SSE2 vectors on any x86-64, and the C library's byte
// scan elsewhere (the ARM camera). The tests build the narrower forms on
// purpose through KEP_SCAN_NO_AVX2 and KEP_SCAN_PORTABLE.
#ifndef KEP_SCAN_FORMS_H
#define KEP_SCAN_FORMS_H

#if defined(__SSE2__) && !defined(KEP_SCAN_PORTABLE)
#define KEP_SCAN_SSE2 1
#include <emmintrin.h>
#if defined(__x86_64__) && !defined(KEP_SCAN_NO_AVX2)
#define KEP_SCAN_AVX2 1
#include <immintrin.h>
#endif
#endif

namespace kep {

#if defined(KEP_SCAN_AVX2)
inline bool scan_has_avx2()
{
    return __builtin_cpu_supports("avx2");
}
#endif

} // namespace kep

#endif
