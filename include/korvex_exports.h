/*
 * The one list of korvex's exports. korvex.h declares every export from
 * these lists, src/exports defines every one of them from the same lines,
 * and scripts/gen_bindings.py writes the Python package's ctypes tables
 * (python/korvex/_exports.py) and the symbol lists (abi/korvex.symbols,
 * abi/korvex.map) from them. The `exports_generated` test fails when a
 * generated file differs from what the lists say.
 *
 * One function is one line:
 *
 *     E(P, result type, exported name, operation, (parameters), (arguments))
 *
 * P is the family prefix (csr_f32, ...; span_f32, ...; `library` for the
 * functions the library has once). The exported name is pasted from the
 * list's parameters: P the prefix, V the value type, X the outer word (`row`
 * for CSR, `col` for CSC), Y the other form (`csc` for CSR, `csr` for CSC).
 * The operation is the form-neutral short name (X read as `outer`, Y as
 * `other`): src/exports defines each export as
 *
 *     result name(parameters) { return korvex::exports::P::operation(arguments); }
 *
 * and the Python package reaches it as `family(...).<short name>` and
 * `family(...).<operation>`.
 *
 * Parameter types the generator knows: the integer types of <stdint.h>,
 * float, double, V, T, CT, the records Shape, RowInfo and SpanInfo, and any
 * pointer. Everything here is plain C99 preprocessor.
 *
 * Include korvex.h rather than this file.
 */
#ifndef KORVEX_EXPORTS_H
#define KORVEX_EXPORTS_H

/* ------------------------------------------------------------------------ */
/* Who has which list                                                        */
/* ------------------------------------------------------------------------ */

/* LIST(E, P, V, X, Y) once for each matrix family. */
#define KORVEX_FOR_FAMILIES(LIST, E)                                                             \
    LIST(E, csr_f32, float, row, csc)                                                            \
    LIST(E, csr_f64, double, row, csc)                                                           \
    LIST(E, csc_f32, float, col, csr)                                                            \
    LIST(E, csc_f64, double, col, csr)

/* LIST(E, P, V, X, Y) once for each family with f32 values. */
#define KORVEX_FOR_F32_FAMILIES(LIST, E)                                                         \
    LIST(E, csr_f32, float, row, csc)                                                            \
    LIST(E, csc_f32, float, col, csr)

/* LIST(E, P, T, CT) once for each span element type. */
#define KORVEX_FOR_SPAN_TYPES(LIST, E)                                                           \
    LIST(E, span_f32, f32, float)                                                                \
    LIST(E, span_f64, f64, double)                                                               \
    LIST(E, span_i32, i32, int32_t)                                                              \
    LIST(E, span_i64, i64, int64_t)                                                              \
    LIST(E, span_usize, usize, uint64_t)

/* Every list each family has: a new room of operations adds its list here
 * (and defines it in its own src/exports file). */
#define KORVEX_LIST_FAMILY(E, P, V, X, Y)                                                        \
    KORVEX_LIST_MATRIX(E, P, V, X, Y)                                                            \
    KORVEX_LIST_COMPUTE(E, P, V, X, Y)                                                           \
    KORVEX_LIST_EDIT(E, P, V, X, Y)                                                              \
    KORVEX_LIST_COMBINE(E, P, V, X, Y)

/* What only the f32 families have: the products in double, and value maps
 * into float64 over the same index spans. */
#define KORVEX_LIST_F32_FAMILY(E, P, V, X, Y)                                                    \
    KORVEX_LIST_PRODUCTS(E, P, _f64, double)                                                     \
    KORVEX_LIST_WIDEN(E, P, V, X, Y)

/* Functions the library has once, outside any family, for example
 *     E(library, int32_t, korvex_set_threads, set_threads, (uint64_t n), (n))
 * defined by korvex::exports::library::set_threads. */
#define KORVEX_LIST_LIBRARY(E)                                                                   \
    E(library, int32_t, korvex_set_num_threads, set_num_threads, (uint64_t n), (n))              \
    E(library, uint64_t, korvex_get_num_threads, get_num_threads, (void), ())

/* ------------------------------------------------------------------------ */
/* Spans: span_<T>_<op>                                                      */
/* ------------------------------------------------------------------------ */
#define KORVEX_LIST_SPAN(E, P, T, CT)                                                            \
    E(P, uint64_t, span_##T##_len, len, (const Span *s), (s))                                    \
    E(P, uint64_t, span_##T##_byte_size, byte_size, (const Span *s), (s))                        \
    E(P, const CT *, span_##T##_data, data, (const Span *s), (s))                                \
    E(P, CT *, span_##T##_data_mut, data_mut, (const Span *s), (s))                              \
    E(P, uint64_t, span_##T##_flags, flags, (const Span *s), (s))                                \
    E(P, uint8_t, span_##T##_is_view, is_view, (const Span *s), (s))                             \
    E(P, uint8_t, span_##T##_is_aligned, is_aligned, (const Span *s), (s))                       \
    E(P, uint8_t, span_##T##_is_mutable, is_mutable, (const Span *s), (s))                       \
    E(P, SpanInfo, span_##T##_info, info, (const Span *s), (s))                                  \
    E(P, uint64_t, span_##T##_size, size, (void), ())                                            \
    E(P, Span *, span_##T##_clone, clone, (const Span *s), (s))                                  \
    E(P, void, span_##T##_free, free, (Span *s), (s))

/* ------------------------------------------------------------------------ */
/* Matrices: lifecycle, accessors, nnz, validation, import/export,           */
/* conversion, transposition, slicing, takes, stacking (src/exports/         */
/* matrix_exports.cpp)                                                       */
/* ------------------------------------------------------------------------ */
#define KORVEX_LIST_MATRIX(E, P, V, X, Y)                                                        \
    E(P, void, P##_free, free, (CompressedMatrix *m), (m))                                       \
    E(P, CompressedMatrix *, P##_clone, clone, (CompressedMatrix *m), (m))                       \
    E(P, uint64_t, P##_size, size, (void), ())                                                   \
    E(P, uint64_t, P##_rows, rows, (CompressedMatrix *m), (m))                                   \
    E(P, uint64_t, P##_cols, cols, (CompressedMatrix *m), (m))                                   \
    E(P, Shape, P##_shape, shape, (CompressedMatrix *m), (m))                                    \
    E(P, uint8_t, P##_is_empty, is_empty, (CompressedMatrix *m), (m))                            \
    E(P, const Span *, P##_##X##_values, outer_values, (CompressedMatrix *m, uint64_t i), (m, i)) \
    E(P, const Span *, P##_##X##_indices, outer_indices, (CompressedMatrix *m, uint64_t i),      \
      (m, i))                                                                                    \
    E(P, const V *, P##_##X##_values_ptr, outer_values_ptr, (CompressedMatrix *m, uint64_t i),   \
      (m, i))                                                                                    \
    E(P, const int64_t *, P##_##X##_indices_ptr, outer_indices_ptr,                              \
      (CompressedMatrix *m, uint64_t i), (m, i))                                                 \
    E(P, uint64_t, P##_##X##_len, outer_len, (CompressedMatrix *m, uint64_t i), (m, i))          \
    E(P, const V *, P##_##X##_values_ptr_unchecked, outer_values_ptr_unchecked,                  \
      (CompressedMatrix *m, uint64_t i), (m, i))                                                 \
    E(P, const int64_t *, P##_##X##_indices_ptr_unchecked, outer_indices_ptr_unchecked,          \
      (CompressedMatrix *m, uint64_t i), (m, i))                                                 \
    E(P, uint64_t, P##_##X##_len_unchecked, outer_len_unchecked,                                 \
      (CompressedMatrix *m, uint64_t i), (m, i))                                                 \
    E(P, RowInfo, P##_get_##X##_info, get_outer_info, (CompressedMatrix *m, uint64_t i), (m, i)) \
    E(P, RowInfo, P##_get_##X##_info_unchecked, get_outer_info_unchecked,                        \
      (CompressedMatrix *m, uint64_t i), (m, i))                                                 \
    E(P, int32_t, P##_get_##X##_pointers, get_outer_pointers,                                    \
      (CompressedMatrix *m, const V **values_out, const int64_t **indices_out,                   \
       uint64_t *lengths_out),                                                                   \
      (m, values_out, indices_out, lengths_out))                                                 \
    E(P, const Span *, P##_values_vec_ptr, values_vec_ptr, (CompressedMatrix *m), (m))           \
    E(P, const Span *, P##_indices_vec_ptr, indices_vec_ptr, (CompressedMatrix *m), (m))         \
    E(P, uint64_t, P##_values_vec_len, values_vec_len, (CompressedMatrix *m), (m))               \
    E(P, uint64_t, P##_nnz, nnz, (CompressedMatrix *m), (m))                                     \
    E(P, uint8_t, P##_has_nnz_cache, has_nnz_cache, (CompressedMatrix *m), (m))                  \
    E(P, void, P##_set_nnz, set_nnz, (CompressedMatrix *m, uint64_t nnz), (m, nnz))              \
    E(P, void, P##_invalidate_nnz, invalidate_nnz, (CompressedMatrix *m), (m))                   \
    E(P, uint8_t, P##_is_zero, is_zero, (CompressedMatrix *m), (m))                              \
    E(P, double, P##_density, density, (CompressedMatrix *m), (m))                               \
    E(P, double, P##_sparsity, sparsity, (CompressedMatrix *m), (m))                             \
    E(P, int32_t, P##_get_metadata, get_metadata,                                                \
      (CompressedMatrix *m, uint64_t *rows_out, uint64_t *cols_out, uint64_t *nnz_out),          \
      (m, rows_out, cols_out, nnz_out))                                                          \
    E(P, uint8_t, P##_is_valid, is_valid, (CompressedMatrix *m), (m))                            \
    E(P, uint8_t, P##_validate, validate, (CompressedMatrix *m), (m))                            \
    E(P, uint8_t, P##_indices_in_bounds, indices_in_bounds, (CompressedMatrix *m), (m))          \
    E(P, uint8_t, P##_is_sorted, is_sorted, (CompressedMatrix *m), (m))                          \
    E(P, void, P##_ensure_sorted, ensure_sorted, (CompressedMatrix *m), (m))                     \
    E(P, uint8_t, P##_ensure_sorted_checked, ensure_sorted_checked, (CompressedMatrix *m), (m))  \
    E(P, CompressedMatrix *, P##_from_scipy_view, from_scipy_view,                               \
      (uint64_t rows, uint64_t cols, const V *data, const int64_t *indices,                      \
       const uint64_t *indptr),                                                                  \
      (rows, cols, data, indices, indptr))                                                       \
    E(P, int32_t, P##_from_scipy_copy, from_scipy_copy,                                          \
      (uint64_t rows, uint64_t cols, const V *data, uint64_t data_len, const int64_t *indices,   \
       uint64_t indices_len, const uint64_t *indptr, uint64_t indptr_len,                        \
       CompressedMatrix **out),                                                                  \
      (rows, cols, data, data_len, indices, indices_len, indptr, indptr_len, out))               \
    E(P, int32_t, P##_from_scipy_copy_i32, from_scipy_copy_i32,                                  \
      (uint64_t rows, uint64_t cols, const V *data, uint64_t data_len, const int32_t *indices,   \
       uint64_t indices_len, const int32_t *indptr, uint64_t indptr_len,                         \
       CompressedMatrix **out),                                                                  \
      (rows, cols, data, data_len, indices, indices_len, indptr, indptr_len, out))               \
    E(P, int32_t, P##_from_coo, from_coo,                                                        \
      (uint64_t rows, uint64_t cols, const int64_t *row_indices, const int64_t *col_indices,     \
       const V *data, uint64_t nnz, CompressedMatrix **out),                                     \
      (rows, cols, row_indices, col_indices, data, nnz, out))                                    \
    E(P, int32_t, P##_to_coo, to_coo,                                                            \
      (CompressedMatrix *m, int64_t *row_out, int64_t *col_out, V *val_out, uint64_t capacity),  \
      (m, row_out, col_out, val_out, capacity))                                                  \
    E(P, int32_t, P##_to_dense, to_dense,                                                        \
      (CompressedMatrix *m, V *out, uint64_t capacity, uint8_t order), (m, out, capacity, order)) \
    E(P, int32_t, P##_to_compressed, to_compressed,                                              \
      (CompressedMatrix *m, V *values_out, void *indices_out, void *indptr_out,                  \
       uint64_t capacity, uint8_t index_width),                                                  \
      (m, values_out, indices_out, indptr_out, capacity, index_width))                           \
    E(P, int32_t, P##_from_##Y, from_other, (CompressedMatrix *src, CompressedMatrix **out),     \
      (src, out))                                                                                \
    E(P, int32_t, P##_transpose_from_##Y, transpose_from_other,                                  \
      (CompressedMatrix *src, CompressedMatrix **out), (src, out))                               \
    E(P, int32_t, P##_transpose_shared_from_##Y, transpose_shared_from_other,                    \
      (CompressedMatrix *src, CompressedMatrix **out), (src, out))                               \
    E(P, int32_t, P##_slice_rows, slice_rows,                                                    \
      (CompressedMatrix *m, uint64_t start, uint64_t end, CompressedMatrix **out),               \
      (m, start, end, out))                                                                      \
    E(P, int32_t, P##_slice_cols, slice_cols,                                                    \
      (CompressedMatrix *m, uint64_t start, uint64_t end, CompressedMatrix **out),               \
      (m, start, end, out))                                                                      \
    E(P, int32_t, P##_slice_rows_mask, slice_rows_mask,                                          \
      (CompressedMatrix *m, const uint8_t *mask, uint64_t mask_len, CompressedMatrix **out),     \
      (m, mask, mask_len, out))                                                                  \
    E(P, int32_t, P##_slice_cols_mask, slice_cols_mask,                                          \
      (CompressedMatrix *m, const uint8_t *mask, uint64_t mask_len, CompressedMatrix **out),     \
      (m, mask, mask_len, out))                                                                  \
    E(P, int32_t, P##_take_rows, take_rows,                                                      \
      (CompressedMatrix *m, const uint64_t *pos, uint64_t n, CompressedMatrix **out),            \
      (m, pos, n, out))                                                                          \
    E(P, int32_t, P##_take_cols, take_cols,                                                      \
      (CompressedMatrix *m, const uint64_t *pos, uint64_t n, CompressedMatrix **out),            \
      (m, pos, n, out))                                                                          \
    E(P, int32_t, P##_take_##X##s_to_compressed, take_outer_to_compressed,                       \
      (CompressedMatrix *m, const uint64_t *pos, uint64_t n, void *indptr_out, V *values_out,    \
       void *indices_out, uint64_t capacity, uint8_t index_width),                               \
      (m, pos, n, indptr_out, values_out, indices_out, capacity, index_width))                   \
    E(P, int32_t, P##_hstack, hstack,                                                            \
      (CompressedMatrix *const *mats, uint64_t count, CompressedMatrix **out),                   \
      (mats, count, out))                                                                        \
    E(P, int32_t, P##_vstack, vstack,                                                            \
      (CompressedMatrix *const *mats, uint64_t count, CompressedMatrix **out),                   \
      (mats, count, out))

/* ------------------------------------------------------------------------ */
/* Arithmetic: products, sums, value maps (src/exports/compute_exports.cpp)  */
/* ------------------------------------------------------------------------ */

/* The four products with operands of type T; S is the name suffix. */
#define KORVEX_LIST_PRODUCTS(E, P, S, T)                                                         \
    E(P, int32_t, P##_matvec##S, matvec##S,                                                      \
      (CompressedMatrix *m, const T *x, uint64_t x_len, T *y, uint64_t y_len),                   \
      (m, x, x_len, y, y_len))                                                                   \
    E(P, int32_t, P##_rmatvec##S, rmatvec##S,                                                    \
      (CompressedMatrix *m, const T *z, uint64_t z_len, T *y, uint64_t y_len),                   \
      (m, z, z_len, y, y_len))                                                                   \
    E(P, int32_t, P##_matmat##S, matmat##S,                                                      \
      (CompressedMatrix *m, const T *X, uint64_t k, uint8_t order, T *Y), (m, X, k, order, Y))   \
    E(P, int32_t, P##_rmatmat##S, rmatmat##S,                                                    \
      (CompressedMatrix *m, const T *Z, uint64_t k, uint8_t order, T *Y), (m, Z, k, order, Y))

#define KORVEX_LIST_COMPUTE(E, P, V, X, Y)                                                       \
    KORVEX_LIST_PRODUCTS(E, P, , V)                                                              \
    E(P, int32_t, P##_sum_rows, sum_rows, (CompressedMatrix *m, double *out, uint64_t out_len),  \
      (m, out, out_len))                                                                         \
    E(P, int32_t, P##_sum_cols, sum_cols, (CompressedMatrix *m, double *out, uint64_t out_len),  \
      (m, out, out_len))                                                                         \
    E(P, int32_t, P##_map_values, map_values,                                                    \
      (CompressedMatrix *m, uint32_t op, double arg, CompressedMatrix **out), (m, op, arg, out)) \
    E(P, int32_t, P##_map_summed, map_summed,                                                    \
      (CompressedMatrix *m, uint32_t op, double arg, CompressedMatrix **out), (m, op, arg, out)) \
    E(P, int32_t, P##_scale_rows, scale_rows,                                                    \
      (CompressedMatrix *m, const V *w, uint64_t w_len, CompressedMatrix **out),                 \
      (m, w, w_len, out))                                                                        \
    E(P, int32_t, P##_scale_cols, scale_cols,                                                    \
      (CompressedMatrix *m, const V *w, uint64_t w_len, CompressedMatrix **out),                 \
      (m, w, w_len, out))

/* P_map_values_f64: as P_map_values, the result float64 (the family of P's
 * form with f64 values) over the source's own index spans (one more
 * reference each; no index is copied): each value taken to double, then
 * op(v, arg) in double. Only the f32 families have it. */
#define KORVEX_LIST_WIDEN(E, P, V, X, Y)                                                         \
    E(P, int32_t, P##_map_values_f64, map_values_f64,                                            \
      (CompressedMatrix *m, uint32_t op, double arg, CompressedMatrix **out), (m, op, arg, out))

/* Edits in place (src/exports/edit_exports.cpp). */
#define KORVEX_LIST_EDIT(E, P, V, X, Y)                                                          \
    E(P, int32_t, P##_set_entries, set_entries,                                                  \
      (CompressedMatrix *m, const int64_t *rows, const int64_t *cols, const V *vals, uint64_t n), \
      (m, rows, cols, vals, n))                                                                  \
    E(P, int32_t, P##_eliminate_zeros, eliminate_zeros, (CompressedMatrix *m), (m))              \
    E(P, int32_t, P##_sum_duplicates, sum_duplicates, (CompressedMatrix *m), (m))                \
    E(P, int32_t, P##_sort_indices, sort_indices, (CompressedMatrix *m), (m))

/* ------------------------------------------------------------------------ */
/* Two operands of one family: product, elementwise, comparisons             */
/* (src/exports/combine_exports.cpp)                                         */
/* ------------------------------------------------------------------------ */
#define KORVEX_LIST_COMBINE(E, P, V, X, Y)                                                       \
    E(P, int32_t, P##_matmul, matmul,                                                            \
      (CompressedMatrix *a, CompressedMatrix *b, CompressedMatrix **out), (a, b, out))           \
    E(P, int32_t, P##_combine, combine,                                                          \
      (CompressedMatrix *a, CompressedMatrix *b, uint32_t op, CompressedMatrix **out),           \
      (a, b, op, out))                                                                           \
    E(P, int32_t, P##_compare, compare,                                                          \
      (CompressedMatrix *a, CompressedMatrix *b, uint32_t op, CompressedMatrix **out),           \
      (a, b, op, out))                                                                           \
    E(P, int32_t, P##_compare_scalar, compare_scalar,                                            \
      (CompressedMatrix *a, double s, uint32_t op, CompressedMatrix **out), (a, s, op, out))     \
    E(P, int32_t, P##_combine_##Y, combine_other,                                                \
      (CompressedMatrix *a, CompressedMatrix *b, uint32_t op, CompressedMatrix **out),           \
      (a, b, op, out))                                                                           \
    E(P, int32_t, P##_compare_scalar_to_compressed, compare_scalar_to_compressed,                \
      (CompressedMatrix *a, double s, uint32_t op, void *indptr, void *indices, uint8_t *flags,  \
       uint64_t capacity, uint8_t index_width),                                                  \
      (a, s, op, indptr, indices, flags, capacity, index_width))

/* ------------------------------------------------------------------------ */
/* Constants and codes                                                       */
/* ------------------------------------------------------------------------ */

/* C(name, value): the exported 8-byte data symbols. */
#define KORVEX_LIST_CONSTANTS(C)                                                                 \
    C(KORVEX_ABI_VERSION, 1)                                                                     \
    C(SPAN_FLAG_VIEW, KORVEX_SPAN_FLAG_VIEW)                                                     \
    C(SPAN_FLAG_ALIGNED, KORVEX_SPAN_FLAG_ALIGNED)                                               \
    C(SPAN_FLAG_MUTABLE, KORVEX_SPAN_FLAG_MUTABLE)                                               \
    C(SPAN_SIZE, sizeof(Span))

/* M(NAME, name, code): the operations of P_map_values, f(v) for each stored
 * value v in the matrix's value type; each maps 0 to 0. The header names
 * them KORVEX_MAP_<NAME>, the Python package MAP_OPS["<name>"], and
 * src/compute/maps.cpp has one kernel per code. */
#define KORVEX_LIST_MAP_OPS(M)                                                                   \
    M(SCALE, scale, 0)     /* v * arg */                                                         \
    M(NEGATE, negate, 1)   /* -v */                                                              \
    M(ABS, abs, 2)                                                                               \
    M(POWER, power, 3)     /* pow(v, arg) */                                                     \
    M(SQRT, sqrt, 4)                                                                             \
    M(LOG1P, log1p, 5)                                                                           \
    M(EXPM1, expm1, 6)                                                                           \
    M(SIN, sin, 7)                                                                               \
    M(TAN, tan, 8)                                                                               \
    M(ARCSIN, arcsin, 9)                                                                         \
    M(ARCTAN, arctan, 10)                                                                        \
    M(SINH, sinh, 11)                                                                            \
    M(TANH, tanh, 12)                                                                            \
    M(ARCSINH, arcsinh, 13)                                                                      \
    M(FLOOR, floor, 14)                                                                          \
    M(CEIL, ceil, 15)                                                                            \
    M(RINT, rint, 16)      /* round half to even */                                              \
    M(TRUNC, trunc, 17)                                                                          \
    M(SIGN, sign, 18)      /* -1, 0 or 1; NaN stays NaN */                                       \
    M(DEG2RAD, deg2rad, 19)                                                                      \
    M(RAD2DEG, rad2deg, 20)                                                                      \
    M(ROUND, round, 21)    /* numpy's round to (int)arg decimals: scale by 10^|arg|, round    \
                              half to even, scale back */

#endif /* KORVEX_EXPORTS_H */
