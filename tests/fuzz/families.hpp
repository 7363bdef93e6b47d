// One wrapper per export family (csr/csc x f32/f64) with the same member
// names, so that a test is written once for all four: Fam<V, CSR>::copy is
// csr_f64_from_scipy_copy for Fam<double, true>, and so on.
#pragma once

#include <cstdint>

#include "korvex.h"

namespace fz {

// Fam<V, !CSR> is the other form of the same value type.
template <typename V, bool CSR>
struct Fam;
#define FN(name, fn) static constexpr auto name = fn;
#define FUZZ_FAMILY(P, VT, CSR, X, Y)                                                    \
    template <>                                                                          \
    struct Fam<VT, CSR> {                                                                \
        using V = VT;                                                                    \
        static constexpr bool csr = CSR;                                                 \
        FN(release, P##_free) FN(clone, P##_clone) FN(rows, P##_rows) FN(cols, P##_cols) \
        FN(info, P##_get_##X##_info) FN(pointers, P##_get_##X##_pointers)                \
        FN(values_vec, P##_values_vec_ptr) FN(indices_vec, P##_indices_vec_ptr)          \
        FN(values_vec_len, P##_values_vec_len) FN(nnz, P##_nnz) FN(set_nnz, P##_set_nnz) \
        FN(invalidate_nnz, P##_invalidate_nnz) FN(has_cache, P##_has_nnz_cache)          \
        FN(is_zero, P##_is_zero) FN(density, P##_density) FN(metadata, P##_get_metadata) \
        FN(is_valid, P##_is_valid) FN(validate, P##_validate)                            \
        FN(in_bounds, P##_indices_in_bounds) FN(is_sorted, P##_is_sorted)                \
        FN(sort_checked, P##_ensure_sorted_checked) FN(view, P##_from_scipy_view)        \
        FN(copy, P##_from_scipy_copy) FN(coo, P##_from_coo) FN(to_coo, P##_to_coo)       \
        FN(to_dense, P##_to_dense) FN(from_other, P##_from_##Y)                          \
        FN(transpose_from, P##_transpose_from_##Y) FN(slice_rows, P##_slice_rows)        \
        FN(slice_cols, P##_slice_cols) FN(mask_rows, P##_slice_rows_mask)                \
        FN(mask_cols, P##_slice_cols_mask) FN(hstack, P##_hstack) FN(vstack, P##_vstack) \
        FN(take_rows, P##_take_rows) FN(take_cols, P##_take_cols)                        \
        FN(to_compressed, P##_to_compressed) FN(copy_i32, P##_from_scipy_copy_i32)       \
        FN(transpose_shared, P##_transpose_shared_from_##Y)                              \
        FN(matvec, P##_matvec) FN(rmatvec, P##_rmatvec) FN(matmat, P##_matmat)           \
        FN(rmatmat, P##_rmatmat) FN(sum_rows, P##_sum_rows) FN(sum_cols, P##_sum_cols)   \
        FN(map, P##_map_values) FN(scale_rows, P##_scale_rows)                           \
        FN(scale_cols, P##_scale_cols) FN(matmul, P##_matmul) FN(combine, P##_combine)   \
        FN(compare, P##_compare) FN(compare_scalar, P##_compare_scalar)                  \
        FN(map_summed, P##_map_summed) FN(set_entries, P##_set_entries)                  \
        FN(eliminate_zeros, P##_eliminate_zeros) FN(sum_duplicates, P##_sum_duplicates)  \
        FN(sort_indices, P##_sort_indices)                                               \
        FN(combine_other, P##_combine_##Y)                                               \
        FN(compare_scalar_to_compressed, P##_compare_scalar_to_compressed)               \
    };
FUZZ_FAMILY(csr_f32, float, true, row, csc)
FUZZ_FAMILY(csr_f64, double, true, row, csc)
FUZZ_FAMILY(csc_f32, float, false, col, csr)
FUZZ_FAMILY(csc_f64, double, false, col, csr)
#undef FUZZ_FAMILY
#undef FN

// Calls body.template operator()<Fam<...>>() for the family picked by b.
template <typename Body>
void dispatch(uint8_t b, Body&& body) {
    switch (b & 3) {
        case 0: body.template operator()<Fam<float, true>>(); break;
        case 1: body.template operator()<Fam<double, true>>(); break;
        case 2: body.template operator()<Fam<float, false>>(); break;
        default: body.template operator()<Fam<double, false>>(); break;
    }
}

}  // namespace fz
