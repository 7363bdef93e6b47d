// The arithmetic exports of the four families: null checks, length checks
// and forwarding to src/compute, each through the allocation guard.
#include "compute/compute.hpp"
#include "exports/guard.hpp"
#include "korvex.h"

namespace korvex {
namespace {

// rows x k and cols x k both fit 64 bits (the caller's blocks exist).
bool block_sizes_fit(const CompressedMatrix& m, uint64_t k) {
    uint64_t r;
    return !__builtin_mul_overflow(m.rows, k, &r) && !__builtin_mul_overflow(m.cols, k, &r);
}

template <typename V, Form F, typename T>
int32_t vector_product(CompressedMatrix* m, const T* x, uint64_t x_len, T* y, uint64_t y_len,
                       bool transposed) {
    if (!m || !x || !y) return KORVEX_STATUS_NULL;
    const uint64_t in = transposed ? m->rows : m->cols, res = transposed ? m->cols : m->rows;
    if (x_len != in || y_len != res) return KORVEX_STATUS_SHAPE_MISMATCH;
    return guard([&] { return compute::product<V, F, T>(*m, x, y, 1, false, transposed); });
}

template <typename V, Form F, typename T>
int32_t block_product(CompressedMatrix* m, const T* x, uint64_t k, uint8_t order, T* y,
                      bool transposed) {
    if (!m || !x || !y) return KORVEX_STATUS_NULL;
    if (!block_sizes_fit(*m, k)) return KORVEX_STATUS_SHAPE_MISMATCH;
    return guard([&] { return compute::product<V, F, T>(*m, x, y, k, order != 0, transposed); });
}

template <typename V, Form F>
int32_t sums(CompressedMatrix* m, double* out, uint64_t out_len, bool rows) {
    if (!m || !out) return KORVEX_STATUS_NULL;
    if (out_len != (rows ? m->rows : m->cols)) return KORVEX_STATUS_SHAPE_MISMATCH;
    return guard([&] { return compute::sum_axis<V, F>(*m, out, rows); });
}

template <typename V, Form F>
int32_t scale(CompressedMatrix* m, const V* w, uint64_t w_len, bool rows, CompressedMatrix** out) {
    if (!m || !w || !out) return KORVEX_STATUS_NULL;
    if (w_len != (rows ? m->rows : m->cols)) return KORVEX_STATUS_SHAPE_MISMATCH;
    return guard([&] { return compute::scale_axis<V, F>(*m, w, rows, out); });
}

}  // namespace
}  // namespace korvex

using korvex::Form;

#define KORVEX_PRODUCT_EXPORTS(P, S, V, F, T)                                                     \
    KORVEX_API int32_t P##_matvec##S(CompressedMatrix* m, const T* x, uint64_t x_len, T* y,       \
                                     uint64_t y_len) {                                            \
        return korvex::vector_product<V, F, T>(m, x, x_len, y, y_len, false);                     \
    }                                                                                             \
    KORVEX_API int32_t P##_rmatvec##S(CompressedMatrix* m, const T* z, uint64_t z_len, T* y,      \
                                      uint64_t y_len) {                                           \
        return korvex::vector_product<V, F, T>(m, z, z_len, y, y_len, true);                      \
    }                                                                                             \
    KORVEX_API int32_t P##_matmat##S(CompressedMatrix* m, const T* X, uint64_t k, uint8_t order,  \
                                     T* Y) {                                                      \
        return korvex::block_product<V, F, T>(m, X, k, order, Y, false);                          \
    }                                                                                             \
    KORVEX_API int32_t P##_rmatmat##S(CompressedMatrix* m, const T* Z, uint64_t k, uint8_t order, \
                                      T* Y) {                                                     \
        return korvex::block_product<V, F, T>(m, Z, k, order, Y, true);                           \
    }

#define KORVEX_COMPUTE_EXPORTS(P, V, F)                                                           \
    KORVEX_PRODUCT_EXPORTS(P, , V, F, V)                                                          \
    KORVEX_API int32_t P##_sum_rows(CompressedMatrix* m, double* out, uint64_t out_len) {         \
        return korvex::sums<V, F>(m, out, out_len, true);                                         \
    }                                                                                             \
    KORVEX_API int32_t P##_sum_cols(CompressedMatrix* m, double* out, uint64_t out_len) {         \
        return korvex::sums<V, F>(m, out, out_len, false);                                        \
    }                                                                                             \
    KORVEX_API int32_t P##_map_values(CompressedMatrix* m, uint32_t op, double arg,               \
                                      CompressedMatrix** out) {                                   \
        if (!m || !out) return KORVEX_STATUS_NULL;                                                \
        return korvex::guard([&] { return korvex::compute::map_values<V, F>(*m, op, arg, out); });                       \
    }                                                                                             \
    KORVEX_API int32_t P##_scale_rows(CompressedMatrix* m, const V* w, uint64_t w_len,            \
                                      CompressedMatrix** out) {                                   \
        return korvex::scale<V, F>(m, w, w_len, true, out);                                       \
    }                                                                                             \
    KORVEX_API int32_t P##_scale_cols(CompressedMatrix* m, const V* w, uint64_t w_len,            \
                                      CompressedMatrix** out) {                                   \
        return korvex::scale<V, F>(m, w, w_len, false, out);                                      \
    }

extern "C" {
KORVEX_COMPUTE_EXPORTS(csr_f32, float, Form::csr)
KORVEX_COMPUTE_EXPORTS(csr_f64, double, Form::csr)
KORVEX_COMPUTE_EXPORTS(csc_f32, float, Form::csc)
KORVEX_COMPUTE_EXPORTS(csc_f64, double, Form::csc)
KORVEX_PRODUCT_EXPORTS(csr_f32, _f64, float, Form::csr, double)
KORVEX_PRODUCT_EXPORTS(csc_f32, _f64, float, Form::csc, double)
}
