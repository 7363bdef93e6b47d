// The arithmetic exports of the four families (KORVEX_LIST_COMPUTE and the
// f32 families' products in double): null checks, length checks and
// forwarding to src/compute, each through the allocation guard.
#include <type_traits>

#include "compute/compute.hpp"
#include "exports/define.hpp"
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
    if (!is_family<V, F>(*m)) return KORVEX_STATUS_FAMILY;
    const uint64_t in = transposed ? m->rows : m->cols, res = transposed ? m->cols : m->rows;
    if (x_len != in || y_len != res) return KORVEX_STATUS_SHAPE_MISMATCH;
    return guard([&] { return compute::product<V, F, T>(*m, x, y, 1, false, transposed); });
}

template <typename V, Form F, typename T>
int32_t block_product(CompressedMatrix* m, const T* x, uint64_t k, uint8_t order, T* y,
                      bool transposed) {
    if (!m || !x || !y) return KORVEX_STATUS_NULL;
    if (!is_family<V, F>(*m)) return KORVEX_STATUS_FAMILY;
    if (!block_sizes_fit(*m, k)) return KORVEX_STATUS_SHAPE_MISMATCH;
    return guard([&] { return compute::product<V, F, T>(*m, x, y, k, order != 0, transposed); });
}

template <typename V, Form F>
int32_t sums(CompressedMatrix* m, double* out, uint64_t out_len, bool rows) {
    if (!m || !out) return KORVEX_STATUS_NULL;
    if (!is_family<V, F>(*m)) return KORVEX_STATUS_FAMILY;
    if (out_len != (rows ? m->rows : m->cols)) return KORVEX_STATUS_SHAPE_MISMATCH;
    return guard([&] { return compute::sum_axis<V, F>(*m, out, rows); });
}

template <typename V, Form F>
int32_t scale(CompressedMatrix* m, const V* w, uint64_t w_len, bool rows, CompressedMatrix** out) {
    if (!m || !w || !out) return KORVEX_STATUS_NULL;
    if (!is_family<V, F>(*m)) return KORVEX_STATUS_FAMILY;
    if (w_len != (rows ? m->rows : m->cols)) return KORVEX_STATUS_SHAPE_MISMATCH;
    return guard([&] { return compute::scale_axis<V, F>(*m, w, rows, out); });
}

// One family's arithmetic; every export refuses a handle of another family
// (KORVEX_STATUS_FAMILY) before reading it; the `_f64` products exist for the f32 families.
template <typename V, Form F>
struct ComputeApi {
    static int32_t matvec(CompressedMatrix* m, const V* x, uint64_t x_len, V* y, uint64_t y_len) {
        return vector_product<V, F, V>(m, x, x_len, y, y_len, false);
    }
    static int32_t rmatvec(CompressedMatrix* m, const V* z, uint64_t z_len, V* y, uint64_t y_len) {
        return vector_product<V, F, V>(m, z, z_len, y, y_len, true);
    }
    static int32_t matmat(CompressedMatrix* m, const V* x, uint64_t k, uint8_t order, V* y) {
        return block_product<V, F, V>(m, x, k, order, y, false);
    }
    static int32_t rmatmat(CompressedMatrix* m, const V* z, uint64_t k, uint8_t order, V* y) {
        return block_product<V, F, V>(m, z, k, order, y, true);
    }
    static int32_t matvec_f64(CompressedMatrix* m, const double* x, uint64_t x_len, double* y,
                              uint64_t y_len) {
        return vector_product<V, F, double>(m, x, x_len, y, y_len, false);
    }
    static int32_t rmatvec_f64(CompressedMatrix* m, const double* z, uint64_t z_len, double* y,
                               uint64_t y_len) {
        return vector_product<V, F, double>(m, z, z_len, y, y_len, true);
    }
    static int32_t matmat_f64(CompressedMatrix* m, const double* x, uint64_t k, uint8_t order,
                              double* y) {
        return block_product<V, F, double>(m, x, k, order, y, false);
    }
    static int32_t rmatmat_f64(CompressedMatrix* m, const double* z, uint64_t k, uint8_t order,
                               double* y) {
        return block_product<V, F, double>(m, z, k, order, y, true);
    }
    static int32_t sum_rows(CompressedMatrix* m, double* out, uint64_t out_len) {
        return sums<V, F>(m, out, out_len, true);
    }
    static int32_t sum_cols(CompressedMatrix* m, double* out, uint64_t out_len) {
        return sums<V, F>(m, out, out_len, false);
    }
    static int32_t map_values(CompressedMatrix* m, uint32_t op, double arg, CompressedMatrix** out) {
        if (!m || !out) return KORVEX_STATUS_NULL;
        if (!is_family<V, F>(*m)) return KORVEX_STATUS_FAMILY;
        return guard([&] { return compute::map_values<V, F>(*m, op, arg, out); });
    }
    static int32_t map_summed(CompressedMatrix* m, uint32_t op, double arg, CompressedMatrix** out) {
        if (!m || !out) return KORVEX_STATUS_NULL;
        if (!is_family<V, F>(*m)) return KORVEX_STATUS_FAMILY;
        return guard([&] { return compute::map_summed<V, F>(*m, op, arg, out); });
    }
    // The f32 families only: the result is of the f64 family of form F.
    static int32_t map_values_f64(CompressedMatrix* m, uint32_t op, double arg, CompressedMatrix** out) {
        static_assert(std::is_same_v<V, float>, "only float32 matrices widen");
        if (!m || !out) return KORVEX_STATUS_NULL;
        if (!is_family<V, F>(*m)) return KORVEX_STATUS_FAMILY;
        return guard([&] { return compute::map_values_widened<F>(*m, op, arg, out); });
    }
    static int32_t scale_rows(CompressedMatrix* m, const V* w, uint64_t w_len, CompressedMatrix** out) {
        return scale<V, F>(m, w, w_len, true, out);
    }
    static int32_t scale_cols(CompressedMatrix* m, const V* w, uint64_t w_len, CompressedMatrix** out) {
        return scale<V, F>(m, w, w_len, false, out);
    }
};

}  // namespace

namespace exports {
namespace {
using csr_f32 = ComputeApi<float, Form::csr>;
using csr_f64 = ComputeApi<double, Form::csr>;
using csc_f32 = ComputeApi<float, Form::csc>;
using csc_f64 = ComputeApi<double, Form::csc>;
}  // namespace
}  // namespace exports
}  // namespace korvex

extern "C" {
KORVEX_FOR_FAMILIES(KORVEX_LIST_COMPUTE, KORVEX_DEFINE)
KORVEX_FOR_F32_FAMILIES(KORVEX_LIST_F32_FAMILY, KORVEX_DEFINE)
}
