// The csr_/csc_ x f32/f64 matrix exports: null checks, statuses, out slots,
// and forwarding to the subsystems, each through the allocation guard. One macro forms the names of a family
// and forwards each to the template of its form and value type.
#include "convert/convert.hpp"
#include "exports/guard.hpp"
#include "korvex.h"
#include "slice/slice.hpp"
#include "sparse/matrix.hpp"
#include "sparse/stats.hpp"
#include "sparse/validate.hpp"
#include "stack/stack.hpp"
#include "transpose/transpose.hpp"

namespace korvex {
namespace {

inline const Span* span_at(const SpanVec& v, uint64_t i) { return i < v.len ? v.ptr + i : nullptr; }

// Rows for CSR, columns for CSC, and the inner-axis variants of each
// operation, so that the export table below only names the axis.
template <typename V, Form F>
struct Family {
    static int32_t slice_rows(CompressedMatrix& m, uint64_t a, uint64_t b, CompressedMatrix** out) {
        return F == Form::csr ? slice_outer_range<F>(m, a, b, out) : slice_inner_range<V, F>(m, a, b, out);
    }
    static int32_t slice_cols(CompressedMatrix& m, uint64_t a, uint64_t b, CompressedMatrix** out) {
        return F == Form::csc ? slice_outer_range<F>(m, a, b, out) : slice_inner_range<V, F>(m, a, b, out);
    }
    static int32_t mask_rows(CompressedMatrix& m, const uint8_t* k, uint64_t n, CompressedMatrix** out) {
        return F == Form::csr ? slice_outer_mask<F>(m, k, n, out) : slice_inner_mask<V, F>(m, k, n, out);
    }
    static int32_t mask_cols(CompressedMatrix& m, const uint8_t* k, uint64_t n, CompressedMatrix** out) {
        return F == Form::csc ? slice_outer_mask<F>(m, k, n, out) : slice_inner_mask<V, F>(m, k, n, out);
    }
    static int32_t take_rows(CompressedMatrix& m, const uint64_t* p, uint64_t n, CompressedMatrix** out) {
        return F == Form::csr ? take_outer<F>(m, p, n, out) : take_inner<V, F>(m, p, n, out);
    }
    static int32_t take_cols(CompressedMatrix& m, const uint64_t* p, uint64_t n, CompressedMatrix** out) {
        return F == Form::csc ? take_outer<F>(m, p, n, out) : take_inner<V, F>(m, p, n, out);
    }
    // CSR vstack and CSC hstack run along the compressed axis.
    static int32_t vstack(CompressedMatrix* const* ms, uint64_t c, CompressedMatrix** out) {
        return F == Form::csr ? stack_along<F>(ms, c, out) : stack_across<V, F>(ms, c, out);
    }
    static int32_t hstack(CompressedMatrix* const* ms, uint64_t c, CompressedMatrix** out) {
        return F == Form::csc ? stack_along<F>(ms, c, out) : stack_across<V, F>(ms, c, out);
    }
};

inline bool any_null(CompressedMatrix* const* ms, uint64_t c) {
    for (uint64_t j = 0; j < c; ++j)
        if (!ms[j]) return true;
    return false;
}

}  // namespace
}  // namespace korvex

using korvex::Form;

#define KORVEX_MATRIX_EXPORTS(P, V, F, X, Y)                                                       \
    KORVEX_API void P##_free(CompressedMatrix* m) { korvex::matrix_free(m); }                      \
    KORVEX_API CompressedMatrix* P##_clone(CompressedMatrix* m) {                                  \
        if (!m) return nullptr;                                                                    \
        return korvex::guard_or<CompressedMatrix*>(nullptr, [&] { return korvex::matrix_clone(*m); }); \
    }                                                                                              \
    KORVEX_API uint64_t P##_size(void) { return sizeof(CompressedMatrix); }                        \
    KORVEX_API uint64_t P##_rows(CompressedMatrix* m) { return m ? m->rows : 0; }                  \
    KORVEX_API uint64_t P##_cols(CompressedMatrix* m) { return m ? m->cols : 0; }                  \
    KORVEX_API Shape P##_shape(CompressedMatrix* m) {                                              \
        return m ? Shape{m->rows, m->cols} : Shape{0, 0};                                          \
    }                                                                                              \
    KORVEX_API uint8_t P##_is_empty(CompressedMatrix* m) { return !m || m->rows == 0 || m->cols == 0; } \
    KORVEX_API const Span* P##_##X##_values(CompressedMatrix* m, uint64_t i) {                     \
        return m ? korvex::span_at(m->values, i) : nullptr;                                        \
    }                                                                                              \
    KORVEX_API const Span* P##_##X##_indices(CompressedMatrix* m, uint64_t i) {                    \
        return m ? korvex::span_at(m->indices, i) : nullptr;                                       \
    }                                                                                              \
    KORVEX_API const V* P##_##X##_values_ptr(CompressedMatrix* m, uint64_t i) {                    \
        const Span* s = m ? korvex::span_at(m->values, i) : nullptr;                               \
        return s ? static_cast<const V*>(s->data) : nullptr;                                       \
    }                                                                                              \
    KORVEX_API const int64_t* P##_##X##_indices_ptr(CompressedMatrix* m, uint64_t i) {             \
        const Span* s = m ? korvex::span_at(m->indices, i) : nullptr;                              \
        return s ? static_cast<const int64_t*>(s->data) : nullptr;                                 \
    }                                                                                              \
    KORVEX_API uint64_t P##_##X##_len(CompressedMatrix* m, uint64_t i) {                           \
        const Span* s = m ? korvex::span_at(m->values, i) : nullptr;                               \
        return s ? s->len : 0;                                                                     \
    }                                                                                              \
    KORVEX_API const V* P##_##X##_values_ptr_unchecked(CompressedMatrix* m, uint64_t i) {          \
        return static_cast<const V*>(m->values.ptr[i].data);                                       \
    }                                                                                              \
    KORVEX_API const int64_t* P##_##X##_indices_ptr_unchecked(CompressedMatrix* m, uint64_t i) {   \
        return static_cast<const int64_t*>(m->indices.ptr[i].data);                                \
    }                                                                                              \
    KORVEX_API uint64_t P##_##X##_len_unchecked(CompressedMatrix* m, uint64_t i) {                 \
        return m->values.ptr[i].len;                                                               \
    }                                                                                              \
    KORVEX_API RowInfo P##_get_##X##_info(CompressedMatrix* m, uint64_t i) {                       \
        if (!m || i >= korvex::outer_dim<F>(*m)) return RowInfo{nullptr, nullptr, 0};              \
        return P##_get_##X##_info_unchecked(m, i);                                                 \
    }                                                                                              \
    KORVEX_API RowInfo P##_get_##X##_info_unchecked(CompressedMatrix* m, uint64_t i) {             \
        return RowInfo{m->values.ptr[i].data, static_cast<const int64_t*>(m->indices.ptr[i].data), \
                       m->values.ptr[i].len};                                                      \
    }                                                                                              \
    KORVEX_API int32_t P##_get_##X##_pointers(CompressedMatrix* m, const V** values_out,           \
                                              const int64_t** indices_out, uint64_t* lengths_out) { \
        if (!m || !values_out || !indices_out || !lengths_out) return KORVEX_STATUS_NULL;          \
        for (uint64_t i = 0, n = korvex::outer_dim<F>(*m); i < n; ++i) {                           \
            values_out[i] = static_cast<const V*>(m->values.ptr[i].data);                          \
            indices_out[i] = static_cast<const int64_t*>(m->indices.ptr[i].data);                  \
            lengths_out[i] = m->values.ptr[i].len;                                                 \
        }                                                                                          \
        return KORVEX_OK;                                                                          \
    }                                                                                              \
    KORVEX_API const Span* P##_values_vec_ptr(CompressedMatrix* m) { return m ? m->values.ptr : nullptr; } \
    KORVEX_API const Span* P##_indices_vec_ptr(CompressedMatrix* m) { return m ? m->indices.ptr : nullptr; } \
    KORVEX_API uint64_t P##_values_vec_len(CompressedMatrix* m) { return m ? m->values.len : 0; }  \
    KORVEX_API uint64_t P##_nnz(CompressedMatrix* m) {                                             \
        return m ? korvex::guard_or<uint64_t>(0, [&] { return korvex::obtain_nnz(*m); }) : 0;      \
    }                                                                                              \
    KORVEX_API uint8_t P##_has_nnz_cache(CompressedMatrix* m) { return m && m->nnz_tag == 1; }     \
    KORVEX_API void P##_set_nnz(CompressedMatrix* m, uint64_t nnz) {                               \
        if (m) {                                                                                   \
            m->nnz_tag = 1;                                                                        \
            m->nnz = nnz;                                                                          \
        }                                                                                          \
    }                                                                                              \
    KORVEX_API void P##_invalidate_nnz(CompressedMatrix* m) {                                      \
        if (m) m->nnz_tag = 0;                                                                     \
    }                                                                                              \
    KORVEX_API uint8_t P##_is_zero(CompressedMatrix* m) { return !m || P##_nnz(m) == 0; }          \
    KORVEX_API double P##_density(CompressedMatrix* m) {                                           \
        return m ? korvex::guard_or(0.0, [&] { return korvex::density(*m); }) : 0.0;               \
    }                                                                                              \
    KORVEX_API double P##_sparsity(CompressedMatrix* m) {                                          \
        return m ? korvex::guard_or(1.0, [&] { return korvex::sparsity(*m); }) : 1.0;              \
    }                                                                                              \
    KORVEX_API int32_t P##_get_metadata(CompressedMatrix* m, uint64_t* rows_out, uint64_t* cols_out, \
                                        uint64_t* nnz_out) {                                       \
        if (!m || !rows_out || !cols_out || !nnz_out) return KORVEX_STATUS_NULL;                   \
        return korvex::guard([&] {                                                                 \
            uint64_t nnz = korvex::obtain_nnz(*m);                                                 \
            *rows_out = m->rows;                                                                   \
            *cols_out = m->cols;                                                                   \
            *nnz_out = nnz;                                                                        \
            return KORVEX_OK;                                                                      \
        });                                                                                        \
    }                                                                                              \
    KORVEX_API uint8_t P##_is_valid(CompressedMatrix* m) {                                         \
        return m && korvex::guard_or(false, [&] { return korvex::is_valid<F>(*m); });              \
    }                                                                                              \
    KORVEX_API uint8_t P##_validate(CompressedMatrix* m) {                                         \
        return m && korvex::guard_or(false, [&] { return korvex::validate<F>(*m); });              \
    }                                                                                              \
    KORVEX_API uint8_t P##_indices_in_bounds(CompressedMatrix* m) {                                \
        return m && korvex::guard_or(false, [&] { return korvex::indices_in_bounds<F>(*m); });     \
    }                                                                                              \
    KORVEX_API uint8_t P##_is_sorted(CompressedMatrix* m) {                                        \
        return m && korvex::guard_or(false, [&] { return korvex::is_sorted(*m); });                \
    }                                                                                              \
    KORVEX_API void P##_ensure_sorted(CompressedMatrix* m) {                                       \
        if (m) korvex::guard_void([&] { korvex::ensure_sorted<V, F>(*m); });                       \
    }                                                                                              \
    KORVEX_API uint8_t P##_ensure_sorted_checked(CompressedMatrix* m) {                            \
        return m && korvex::guard_or(false, [&] {                                                  \
                   return korvex::ensure_sorted<V, F>(*m) == korvex::SortOutcome::sorted;          \
               });                                                                                 \
    }                                                                                              \
    KORVEX_API CompressedMatrix* P##_from_scipy_view(uint64_t rows, uint64_t cols, const V* data,  \
                                                     const int64_t* indices, const uint64_t* indptr) { \
        if (!data || !indices || !indptr) return nullptr;                                          \
        return korvex::guard_or<CompressedMatrix*>(nullptr, [&] {                                  \
            return korvex::import_view<V, F>(rows, cols, data, indices, indptr);                   \
        });                                                                                        \
    }                                                                                              \
    KORVEX_API int32_t P##_from_scipy_copy(uint64_t rows, uint64_t cols, const V* data,            \
                                           uint64_t data_len, const int64_t* indices,              \
                                           uint64_t indices_len, const uint64_t* indptr,           \
                                           uint64_t indptr_len, CompressedMatrix** out) {          \
        if (!data || !indices || !indptr || !out) return KORVEX_STATUS_NULL;                       \
        return korvex::guard([&] {                                                                 \
            return korvex::import_copy<V, F>(rows, cols, data, data_len, indices, indices_len,     \
                                             indptr, indptr_len, out);                             \
        });                                                                                        \
    }                                                                                              \
    KORVEX_API int32_t P##_from_scipy_copy_i32(uint64_t rows, uint64_t cols, const V* data,       \
                                               uint64_t data_len, const int32_t* indices,          \
                                               uint64_t indices_len, const int32_t* indptr,        \
                                               uint64_t indptr_len, CompressedMatrix** out) {      \
        if (!data || !indices || !indptr || !out) return KORVEX_STATUS_NULL;                       \
        return korvex::guard([&] {                                                                 \
            return korvex::import_copy_i32<V, F>(rows, cols, data, data_len, indices, indices_len, \
                                                 indptr, indptr_len, out);                         \
        });                                                                                        \
    }                                                                                              \
    KORVEX_API int32_t P##_from_coo(uint64_t rows, uint64_t cols, const int64_t* row_indices,     \
                                    const int64_t* col_indices, const V* data, uint64_t nnz,      \
                                    CompressedMatrix** out) {                                     \
        if (!row_indices || !col_indices || !data || !out) return KORVEX_STATUS_NULL;              \
        return korvex::guard([&] {                                                                 \
            return korvex::import_coo<V, F>(rows, cols, row_indices, col_indices, data, nnz, out); \
        });                                                                                        \
    }                                                                                              \
    KORVEX_API int32_t P##_to_coo(CompressedMatrix* m, int64_t* row_out, int64_t* col_out,         \
                                  V* val_out, uint64_t capacity) {                                 \
        if (!m || !row_out || !col_out || !val_out) return KORVEX_STATUS_NULL;                     \
        return korvex::guard(                                                                      \
            [&] { return korvex::export_coo<V, F>(*m, row_out, col_out, val_out, capacity); });    \
    }                                                                                              \
    KORVEX_API int32_t P##_to_dense(CompressedMatrix* m, V* out, uint64_t capacity, uint8_t order) { \
        if (!m || !out) return KORVEX_STATUS_NULL;                                                 \
        return korvex::guard([&] { return korvex::export_dense<V, F>(*m, out, capacity, order); }); \
    }                                                                                              \
    KORVEX_API int32_t P##_to_compressed(CompressedMatrix* m, V* values_out, void* indices_out,   \
                                         void* indptr_out, uint64_t capacity, uint8_t index_width) { \
        if (!m || !values_out || !indices_out || !indptr_out) return KORVEX_STATUS_NULL;           \
        return korvex::guard([&] {                                                                 \
            return korvex::export_compressed<V, F>(*m, values_out, indices_out, indptr_out,        \
                                                   capacity, index_width);                         \
        });                                                                                        \
    }                                                                                              \
    KORVEX_API int32_t P##_from_##Y(CompressedMatrix* src, CompressedMatrix** out) {              \
        if (!src || !out) return KORVEX_STATUS_NULL;                                               \
        return korvex::guard([&] { return korvex::convert_form<V, korvex::other(F)>(*src, out); }); \
    }                                                                                              \
    KORVEX_API int32_t P##_transpose_from_##Y(CompressedMatrix* src, CompressedMatrix** out) {     \
        if (!src || !out) return KORVEX_STATUS_NULL;                                               \
        return korvex::guard([&] { return korvex::transpose<V, korvex::other(F)>(*src, out); });   \
    }                                                                                              \
    KORVEX_API int32_t P##_transpose_shared_from_##Y(CompressedMatrix* src, CompressedMatrix** out) { \
        if (!src || !out) return KORVEX_STATUS_NULL;                                               \
        return korvex::guard([&] {                                                                 \
            *out = korvex::transpose_shared(*src);                                                 \
            return KORVEX_OK;                                                                      \
        });                                                                                        \
    }                                                                                              \
    KORVEX_API int32_t P##_slice_rows(CompressedMatrix* m, uint64_t start, uint64_t end,          \
                                      CompressedMatrix** out) {                                    \
        if (!m || !out) return KORVEX_STATUS_NULL;                                                 \
        return korvex::guard([&] { return korvex::Family<V, F>::slice_rows(*m, start, end, out); }); \
    }                                                                                              \
    KORVEX_API int32_t P##_slice_cols(CompressedMatrix* m, uint64_t start, uint64_t end,           \
                                      CompressedMatrix** out) {                                    \
        if (!m || !out) return KORVEX_STATUS_NULL;                                                 \
        return korvex::guard([&] { return korvex::Family<V, F>::slice_cols(*m, start, end, out); }); \
    }                                                                                              \
    KORVEX_API int32_t P##_take_rows(CompressedMatrix* m, const uint64_t* pos, uint64_t n,        \
                                     CompressedMatrix** out) {                                     \
        if (!m || !pos || !out) return KORVEX_STATUS_NULL;                                         \
        return korvex::guard([&] { return korvex::Family<V, F>::take_rows(*m, pos, n, out); });    \
    }                                                                                              \
    KORVEX_API int32_t P##_take_cols(CompressedMatrix* m, const uint64_t* pos, uint64_t n,        \
                                     CompressedMatrix** out) {                                     \
        if (!m || !pos || !out) return KORVEX_STATUS_NULL;                                         \
        return korvex::guard([&] { return korvex::Family<V, F>::take_cols(*m, pos, n, out); });    \
    }                                                                                              \
    KORVEX_API int32_t P##_slice_rows_mask(CompressedMatrix* m, const uint8_t* mask,              \
                                           uint64_t mask_len, CompressedMatrix** out) {            \
        if (!m || !mask || !out) return KORVEX_STATUS_NULL;                                        \
        return korvex::guard([&] { return korvex::Family<V, F>::mask_rows(*m, mask, mask_len, out); }); \
    }                                                                                              \
    KORVEX_API int32_t P##_slice_cols_mask(CompressedMatrix* m, const uint8_t* mask,               \
                                           uint64_t mask_len, CompressedMatrix** out) {            \
        if (!m || !mask || !out) return KORVEX_STATUS_NULL;                                        \
        return korvex::guard([&] { return korvex::Family<V, F>::mask_cols(*m, mask, mask_len, out); }); \
    }                                                                                              \
    KORVEX_API int32_t P##_hstack(CompressedMatrix* const* mats, uint64_t count,                   \
                                  CompressedMatrix** out) {                                        \
        if (!mats || !out || count == 0 || korvex::any_null(mats, count)) return KORVEX_STATUS_NULL; \
        return korvex::guard([&] { return korvex::Family<V, F>::hstack(mats, count, out); });      \
    }                                                                                              \
    KORVEX_API int32_t P##_vstack(CompressedMatrix* const* mats, uint64_t count,                   \
                                  CompressedMatrix** out) {                                        \
        if (!mats || !out || count == 0 || korvex::any_null(mats, count)) return KORVEX_STATUS_NULL; \
        return korvex::guard([&] { return korvex::Family<V, F>::vstack(mats, count, out); });      \
    }

extern "C" {
KORVEX_MATRIX_EXPORTS(csr_f32, float, Form::csr, row, csc)
KORVEX_MATRIX_EXPORTS(csr_f64, double, Form::csr, row, csc)
KORVEX_MATRIX_EXPORTS(csc_f32, float, Form::csc, col, csr)
KORVEX_MATRIX_EXPORTS(csc_f64, double, Form::csc, col, csr)
}
