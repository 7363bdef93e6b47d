#include "compute/vecmath.hpp"

#include <cmath>

#if defined(KORVEX_HAVE_MVEC) && defined(__x86_64__)
#include <immintrin.h>
#define KORVEX_VECTOR_MATH 1
#endif

namespace korvex::compute {

namespace {

template <typename T, typename F>
void scalar(const T* src, T* dst, uint64_t n, F f) {
    for (uint64_t q = 0; q < n; ++q) dst[q] = f(src[q]);
}

}  // namespace

#ifdef KORVEX_VECTOR_MATH
// Declared with the ISA their vector arguments need.
#define KORVEX_E __attribute__((target("avx512f")))
#define KORVEX_D __attribute__((target("avx2,fma")))
extern "C" {
KORVEX_E __m512d _ZGVeN8v_log1p(__m512d);
KORVEX_E __m512 _ZGVeN16v_log1pf(__m512);
KORVEX_E __m512d _ZGVeN8v_expm1(__m512d);
KORVEX_E __m512 _ZGVeN16v_expm1f(__m512);
KORVEX_D __m256d _ZGVdN4v_log1p(__m256d);
KORVEX_D __m256 _ZGVdN8v_log1pf(__m256);
KORVEX_D __m256d _ZGVdN4v_expm1(__m256d);
KORVEX_D __m256 _ZGVdN8v_expm1f(__m256);
}
#undef KORVEX_E
#undef KORVEX_D

namespace {

enum class Isa { none, avx2, avx512 };

Isa isa() {
    static const Isa level = [] {
        __builtin_cpu_init();
        if (__builtin_cpu_supports("avx512f")) return Isa::avx512;
        if (__builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma")) return Isa::avx2;
        return Isa::none;
    }();
    return level;
}

// Whole vectors through f, the rest through the scalar function.
#define KORVEX_VEC_LOOP(NAME, T, W, TARGET, LOAD, STORE, VF, SF)                \
    __attribute__((target(TARGET))) void NAME(const T* src, T* dst, uint64_t n) { \
        uint64_t q = 0;                                                        \
        for (; q + W <= n; q += W) STORE(dst + q, VF(LOAD(src + q)));          \
        for (; q < n; ++q) dst[q] = SF(src[q]);                                \
    }
KORVEX_VEC_LOOP(log1p_e, double, 8, "avx512f", _mm512_loadu_pd, _mm512_storeu_pd, _ZGVeN8v_log1p, std::log1p)
KORVEX_VEC_LOOP(log1pf_e, float, 16, "avx512f", _mm512_loadu_ps, _mm512_storeu_ps, _ZGVeN16v_log1pf, std::log1p)
KORVEX_VEC_LOOP(expm1_e, double, 8, "avx512f", _mm512_loadu_pd, _mm512_storeu_pd, _ZGVeN8v_expm1, std::expm1)
KORVEX_VEC_LOOP(expm1f_e, float, 16, "avx512f", _mm512_loadu_ps, _mm512_storeu_ps, _ZGVeN16v_expm1f, std::expm1)
KORVEX_VEC_LOOP(log1p_d, double, 4, "avx2,fma", _mm256_loadu_pd, _mm256_storeu_pd, _ZGVdN4v_log1p, std::log1p)
KORVEX_VEC_LOOP(log1pf_d, float, 8, "avx2,fma", _mm256_loadu_ps, _mm256_storeu_ps, _ZGVdN8v_log1pf, std::log1p)
KORVEX_VEC_LOOP(expm1_d, double, 4, "avx2,fma", _mm256_loadu_pd, _mm256_storeu_pd, _ZGVdN4v_expm1, std::expm1)
KORVEX_VEC_LOOP(expm1f_d, float, 8, "avx2,fma", _mm256_loadu_ps, _mm256_storeu_ps, _ZGVdN8v_expm1f, std::expm1)
#undef KORVEX_VEC_LOOP

}  // namespace

#define KORVEX_DISPATCH(FN, T, E, D, SF)                                     \
    void FN(const T* src, T* dst, uint64_t n) {                              \
        switch (isa()) {                                                     \
            case Isa::avx512: return E(src, dst, n);                         \
            case Isa::avx2: return D(src, dst, n);                           \
            default: return scalar(src, dst, n, [](T v) { return SF(v); });  \
        }                                                                    \
    }
#else
#define KORVEX_DISPATCH(FN, T, E, D, SF) \
    void FN(const T* src, T* dst, uint64_t n) { scalar(src, dst, n, [](T v) { return SF(v); }); }
#endif

KORVEX_DISPATCH(log1p_array, double, log1p_e, log1p_d, std::log1p)
KORVEX_DISPATCH(log1p_array, float, log1pf_e, log1pf_d, std::log1p)
KORVEX_DISPATCH(expm1_array, double, expm1_e, expm1_d, std::expm1)
KORVEX_DISPATCH(expm1_array, float, expm1f_e, expm1f_d, std::expm1)
#undef KORVEX_DISPATCH

}  // namespace korvex::compute
