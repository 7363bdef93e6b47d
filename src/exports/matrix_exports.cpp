// The csr_/csc_ x f32/f64 matrix exports (KORVEX_LIST_MATRIX): null checks,
// statuses, out slots, and forwarding to the subsystems, each through the
// allocation guard. MatrixApi<V, F> holds one family's operations under
// their form-neutral names.
#include "convert/convert.hpp"
#include "exports/define.hpp"
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
struct Axes {
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

// Every export that reads or writes through a handle in a way that depends
// on its family (value type and form) first checks that the handle is of
// this family: status exports give KORVEX_STATUS_FAMILY, queries their
// null-handle result, functions without a result do nothing. Exempt are
// those that serve every family alike: free, the shape queries and the nnz
// cache and statistics; outer range and mask slices serve both value types
// of their form.
template <typename V, Form F>
struct MatrixApi {
    // m is a non-null handle of this family.
    static bool mine(const CompressedMatrix* m) { return m && is_family<V, F>(*m); }
    // Outer slices of this form never touch values.
    template <Form Along>
    static bool sliceable(const CompressedMatrix& m) {
        return Along == F ? is_form<F>(m) : is_family<V, F>(m);
    }
    static bool all_mine(CompressedMatrix* const* ms, uint64_t c) {
        for (uint64_t j = 0; j < c; ++j)
            if (!is_family<V, F>(*ms[j])) return false;
        return true;
    }

    static void free(CompressedMatrix* m) { matrix_free(m); }
    static CompressedMatrix* clone(CompressedMatrix* m) {
        if (!mine(m)) return nullptr;
        return guard_or<CompressedMatrix*>(nullptr, [&] { return matrix_clone(*m); });
    }
    static uint64_t size() { return sizeof(CompressedMatrix); }
    static uint64_t rows(CompressedMatrix* m) { return m ? m->rows : 0; }
    static uint64_t cols(CompressedMatrix* m) { return m ? m->cols : 0; }
    static Shape shape(CompressedMatrix* m) { return m ? Shape{m->rows, m->cols} : Shape{0, 0}; }
    static uint8_t is_empty(CompressedMatrix* m) { return !m || m->rows == 0 || m->cols == 0; }

    static const Span* outer_values(CompressedMatrix* m, uint64_t i) {
        return mine(m) ? span_at(m->values, i) : nullptr;
    }
    static const Span* outer_indices(CompressedMatrix* m, uint64_t i) {
        return mine(m) ? span_at(m->indices, i) : nullptr;
    }
    static const V* outer_values_ptr(CompressedMatrix* m, uint64_t i) {
        const Span* s = outer_values(m, i);
        return s ? static_cast<const V*>(s->data) : nullptr;
    }
    static const int64_t* outer_indices_ptr(CompressedMatrix* m, uint64_t i) {
        const Span* s = outer_indices(m, i);
        return s ? static_cast<const int64_t*>(s->data) : nullptr;
    }
    static uint64_t outer_len(CompressedMatrix* m, uint64_t i) {
        const Span* s = outer_values(m, i);
        return s ? s->len : 0;
    }
    // The unchecked forms check no index, but still the family.
    static const V* outer_values_ptr_unchecked(CompressedMatrix* m, uint64_t i) {
        if (!is_family<V, F>(*m)) return nullptr;
        return static_cast<const V*>(m->values.ptr[i].data);
    }
    static const int64_t* outer_indices_ptr_unchecked(CompressedMatrix* m, uint64_t i) {
        if (!is_family<V, F>(*m)) return nullptr;
        return static_cast<const int64_t*>(m->indices.ptr[i].data);
    }
    static uint64_t outer_len_unchecked(CompressedMatrix* m, uint64_t i) {
        return is_family<V, F>(*m) ? m->values.ptr[i].len : 0;
    }
    static RowInfo get_outer_info(CompressedMatrix* m, uint64_t i) {
        if (!mine(m) || i >= outer_dim<F>(*m)) return RowInfo{nullptr, nullptr, 0};
        return get_outer_info_unchecked(m, i);
    }
    static RowInfo get_outer_info_unchecked(CompressedMatrix* m, uint64_t i) {
        if (!is_family<V, F>(*m)) return RowInfo{nullptr, nullptr, 0};
        return RowInfo{m->values.ptr[i].data, static_cast<const int64_t*>(m->indices.ptr[i].data),
                       m->values.ptr[i].len};
    }
    static int32_t get_outer_pointers(CompressedMatrix* m, const V** values_out,
                                      const int64_t** indices_out, uint64_t* lengths_out) {
        if (!m || !values_out || !indices_out || !lengths_out) return KORVEX_STATUS_NULL;
        if (!is_family<V, F>(*m)) return KORVEX_STATUS_FAMILY;
        for (uint64_t i = 0, n = outer_dim<F>(*m); i < n; ++i) {
            values_out[i] = static_cast<const V*>(m->values.ptr[i].data);
            indices_out[i] = static_cast<const int64_t*>(m->indices.ptr[i].data);
            lengths_out[i] = m->values.ptr[i].len;
        }
        return KORVEX_OK;
    }
    static const Span* values_vec_ptr(CompressedMatrix* m) { return mine(m) ? m->values.ptr : nullptr; }
    static const Span* indices_vec_ptr(CompressedMatrix* m) { return mine(m) ? m->indices.ptr : nullptr; }
    static uint64_t values_vec_len(CompressedMatrix* m) { return mine(m) ? m->values.len : 0; }

    static uint64_t nnz(CompressedMatrix* m) {
        return m ? guard_or<uint64_t>(0, [&] { return obtain_nnz(*m); }) : 0;
    }
    static uint8_t has_nnz_cache(CompressedMatrix* m) { return m && has_cached_nnz(*m); }
    static void set_nnz(CompressedMatrix* m, uint64_t n) {
        if (m) cache_nnz(*m, n);
    }
    static void invalidate_nnz(CompressedMatrix* m) {
        if (m) forget_nnz(*m);
    }
    static uint8_t is_zero(CompressedMatrix* m) { return !m || nnz(m) == 0; }
    static double density(CompressedMatrix* m) {
        return m ? guard_or(0.0, [&] { return korvex::density(*m); }) : 0.0;
    }
    static double sparsity(CompressedMatrix* m) {
        return m ? guard_or(1.0, [&] { return korvex::sparsity(*m); }) : 1.0;
    }
    static int32_t get_metadata(CompressedMatrix* m, uint64_t* rows_out, uint64_t* cols_out,
                                uint64_t* nnz_out) {
        if (!m || !rows_out || !cols_out || !nnz_out) return KORVEX_STATUS_NULL;
        return guard([&] {
            uint64_t n = obtain_nnz(*m);
            *rows_out = m->rows;
            *cols_out = m->cols;
            *nnz_out = n;
            return KORVEX_OK;
        });
    }

    static uint8_t is_valid(CompressedMatrix* m) {
        return mine(m) && guard_or(false, [&] { return korvex::is_valid<F>(*m); });
    }
    static uint8_t validate(CompressedMatrix* m) {
        return mine(m) && guard_or(false, [&] { return korvex::validate<F>(*m); });
    }
    static uint8_t indices_in_bounds(CompressedMatrix* m) {
        return mine(m) && guard_or(false, [&] { return korvex::indices_in_bounds<F>(*m); });
    }
    static uint8_t is_sorted(CompressedMatrix* m) {
        return mine(m) && guard_or(false, [&] { return korvex::is_sorted(*m); });
    }
    static void ensure_sorted(CompressedMatrix* m) {
        if (mine(m)) guard_void([&] { korvex::ensure_sorted<V, F>(*m); });
    }
    static uint8_t ensure_sorted_checked(CompressedMatrix* m) {
        return mine(m) && guard_or(false, [&] {
                   return korvex::ensure_sorted<V, F>(*m) == SortOutcome::sorted;
               });
    }

    static CompressedMatrix* from_scipy_view(uint64_t rows, uint64_t cols, const V* data,
                                             const int64_t* indices, const uint64_t* indptr) {
        if (!data || !indices || !indptr) return nullptr;
        return guard_or<CompressedMatrix*>(
            nullptr, [&] { return import_view<V, F>(rows, cols, data, indices, indptr); });
    }
    static int32_t from_scipy_copy(uint64_t rows, uint64_t cols, const V* data, uint64_t data_len,
                                   const int64_t* indices, uint64_t indices_len,
                                   const uint64_t* indptr, uint64_t indptr_len,
                                   CompressedMatrix** out) {
        if (!data || !indices || !indptr || !out) return KORVEX_STATUS_NULL;
        return guard([&] {
            return import_copy<V, F>(rows, cols, data, data_len, indices, indices_len, indptr,
                                     indptr_len, out);
        });
    }
    static int32_t from_scipy_copy_i32(uint64_t rows, uint64_t cols, const V* data,
                                       uint64_t data_len, const int32_t* indices,
                                       uint64_t indices_len, const int32_t* indptr,
                                       uint64_t indptr_len, CompressedMatrix** out) {
        if (!data || !indices || !indptr || !out) return KORVEX_STATUS_NULL;
        return guard([&] {
            return import_copy_i32<V, F>(rows, cols, data, data_len, indices, indices_len, indptr,
                                         indptr_len, out);
        });
    }
    static int32_t from_coo(uint64_t rows, uint64_t cols, const int64_t* row_indices,
                            const int64_t* col_indices, const V* data, uint64_t nnz,
                            CompressedMatrix** out) {
        if (!row_indices || !col_indices || !data || !out) return KORVEX_STATUS_NULL;
        return guard(
            [&] { return import_coo<V, F>(rows, cols, row_indices, col_indices, data, nnz, out); });
    }
    static int32_t to_coo(CompressedMatrix* m, int64_t* row_out, int64_t* col_out, V* val_out,
                          uint64_t capacity) {
        if (!m || !row_out || !col_out || !val_out) return KORVEX_STATUS_NULL;
        if (!is_family<V, F>(*m)) return KORVEX_STATUS_FAMILY;
        return guard([&] { return export_coo<V, F>(*m, row_out, col_out, val_out, capacity); });
    }
    static int32_t to_dense(CompressedMatrix* m, V* out, uint64_t capacity, uint8_t order) {
        if (!m || !out) return KORVEX_STATUS_NULL;
        if (!is_family<V, F>(*m)) return KORVEX_STATUS_FAMILY;
        return guard([&] { return export_dense<V, F>(*m, out, capacity, order); });
    }
    static int32_t to_compressed(CompressedMatrix* m, V* values_out, void* indices_out,
                                 void* indptr_out, uint64_t capacity, uint8_t index_width) {
        if (!m || !indices_out || !indptr_out) return KORVEX_STATUS_NULL;  // values_out may be NULL
        if (!is_family<V, F>(*m)) return KORVEX_STATUS_FAMILY;
        return guard([&] {
            return export_compressed<V, F>(*m, values_out, indices_out, indptr_out, capacity,
                                           index_width);
        });
    }

    static int32_t from_other(CompressedMatrix* src, CompressedMatrix** out) {
        if (!src || !out) return KORVEX_STATUS_NULL;
        if (!is_family<V, other(F)>(*src)) return KORVEX_STATUS_FAMILY;
        return guard([&] { return convert_form<V, other(F)>(*src, out); });
    }
    static int32_t transpose_from_other(CompressedMatrix* src, CompressedMatrix** out) {
        if (!src || !out) return KORVEX_STATUS_NULL;
        if (!is_family<V, other(F)>(*src)) return KORVEX_STATUS_FAMILY;
        return guard([&] { return transpose<V, other(F)>(*src, out); });
    }
    static int32_t transpose_shared_from_other(CompressedMatrix* src, CompressedMatrix** out) {
        if (!src || !out) return KORVEX_STATUS_NULL;
        if (!is_family<V, other(F)>(*src)) return KORVEX_STATUS_FAMILY;
        return guard([&] {
            *out = transpose_shared(*src);
            return KORVEX_OK;
        });
    }

    static int32_t slice_rows(CompressedMatrix* m, uint64_t start, uint64_t end, CompressedMatrix** out) {
        if (!m || !out) return KORVEX_STATUS_NULL;
        if (!sliceable<Form::csr>(*m)) return KORVEX_STATUS_FAMILY;
        return guard([&] { return Axes<V, F>::slice_rows(*m, start, end, out); });
    }
    static int32_t slice_cols(CompressedMatrix* m, uint64_t start, uint64_t end, CompressedMatrix** out) {
        if (!m || !out) return KORVEX_STATUS_NULL;
        if (!sliceable<Form::csc>(*m)) return KORVEX_STATUS_FAMILY;
        return guard([&] { return Axes<V, F>::slice_cols(*m, start, end, out); });
    }
    static int32_t slice_rows_mask(CompressedMatrix* m, const uint8_t* mask, uint64_t mask_len,
                                   CompressedMatrix** out) {
        if (!m || !mask || !out) return KORVEX_STATUS_NULL;
        if (!sliceable<Form::csr>(*m)) return KORVEX_STATUS_FAMILY;
        return guard([&] { return Axes<V, F>::mask_rows(*m, mask, mask_len, out); });
    }
    static int32_t slice_cols_mask(CompressedMatrix* m, const uint8_t* mask, uint64_t mask_len,
                                   CompressedMatrix** out) {
        if (!m || !mask || !out) return KORVEX_STATUS_NULL;
        if (!sliceable<Form::csc>(*m)) return KORVEX_STATUS_FAMILY;
        return guard([&] { return Axes<V, F>::mask_cols(*m, mask, mask_len, out); });
    }
    static int32_t take_rows(CompressedMatrix* m, const uint64_t* pos, uint64_t n, CompressedMatrix** out) {
        if (!m || !pos || !out) return KORVEX_STATUS_NULL;
        if (!is_family<V, F>(*m)) return KORVEX_STATUS_FAMILY;
        return guard([&] { return Axes<V, F>::take_rows(*m, pos, n, out); });
    }
    static int32_t take_cols(CompressedMatrix* m, const uint64_t* pos, uint64_t n, CompressedMatrix** out) {
        if (!m || !pos || !out) return KORVEX_STATUS_NULL;
        if (!is_family<V, F>(*m)) return KORVEX_STATUS_FAMILY;
        return guard([&] { return Axes<V, F>::take_cols(*m, pos, n, out); });
    }
    static int32_t hstack(CompressedMatrix* const* mats, uint64_t count, CompressedMatrix** out) {
        if (!mats || !out || count == 0 || any_null(mats, count)) return KORVEX_STATUS_NULL;
        if (!all_mine(mats, count)) return KORVEX_STATUS_FAMILY;
        return guard([&] { return Axes<V, F>::hstack(mats, count, out); });
    }
    static int32_t vstack(CompressedMatrix* const* mats, uint64_t count, CompressedMatrix** out) {
        if (!mats || !out || count == 0 || any_null(mats, count)) return KORVEX_STATUS_NULL;
        if (!all_mine(mats, count)) return KORVEX_STATUS_FAMILY;
        return guard([&] { return Axes<V, F>::vstack(mats, count, out); });
    }
};

}  // namespace

namespace exports {
namespace {
using csr_f32 = MatrixApi<float, Form::csr>;
using csr_f64 = MatrixApi<double, Form::csr>;
using csc_f32 = MatrixApi<float, Form::csc>;
using csc_f64 = MatrixApi<double, Form::csc>;
}  // namespace
}  // namespace exports
}  // namespace korvex

extern "C" {
KORVEX_FOR_FAMILIES(KORVEX_LIST_MATRIX, KORVEX_DEFINE)
}
