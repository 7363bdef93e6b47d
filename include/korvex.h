/*
 * korvex: compressed sparse matrices (CSR and CSC, f32/f64 values, signed
 * 64-bit indices) behind a flat C ABI.
 *
 * Every row of a CSR matrix and every column of a CSC matrix is held as a
 * pair of 32-byte `Span` descriptors, one over its values and one over its
 * inner indices. A span points into the caller's arrays (a zero-copy view) or
 * into a reference-counted buffer that many matrices may share, so slicing and
 * stacking along the compressed axis and cloning copy no element.
 *
 * Conventions that hold for every function below:
 *  - Null pointers never fault. Queries on a null handle return 0, NULL,
 *    false or an all-zero record (documented exceptions: `_is_empty` and
 *    `_is_zero` give 1, `_sparsity` gives 1.0). Functions without a result do
 *    nothing.
 *  - Functions that can fail return an int32_t status: 0 on success, one of
 *    the negative KORVEX_STATUS_* values otherwise. A function that builds a
 *    matrix stores the new handle through its `out` slot only on success; on
 *    any failure the slot is untouched and nothing stays allocated.
 *  - Booleans cross the interface as one byte, 0 or 1.
 *  - Every handle remembers its family (csr_f32, csr_f64, csc_f32,
 *    csc_f64) from the call that made it. A function whose work depends on
 *    the family refuses a handle of another one before touching it: a
 *    function returning a status gives KORVEX_STATUS_FAMILY (-9, after the
 *    null checks), a query gives its null-handle result, a function without
 *    a result does nothing. Exempt, because they serve every family alike:
 *    `_free` (any family's frees any handle), `_size`, `_rows`, `_cols`,
 *    `_shape`, `_is_empty`, and the nnz cache and statistics (`_nnz`,
 *    `_has_nnz_cache`, `_set_nnz`, `_invalidate_nnz`, `_is_zero`,
 *    `_density`, `_sparsity`, `_get_metadata`). Outer range and mask slices
 *    (CSR `_slice_rows`/`_slice_rows_mask`, CSC `_slice_cols`/
 *    `_slice_cols_mask`) serve both value types of their form; the result
 *    keeps the source's family. Conversions and transpositions want a
 *    source of the same value type in the other form (`csr_f64_from_csc`
 *    takes a csc_f64 handle); every input of a stack must be of the
 *    function's family.
 *  - The caller owns every handle that a constructor, `_clone`, conversion,
 *    transposition, slice or stack returns, and every span record that
 *    `span_<T>_clone` returns; it releases them with the matching `_free`.
 *  - Pointers returned by accessors are borrowed from the matrix and stay
 *    valid until that matrix is freed.
 *  - A view (`_from_scipy_view`) borrows the caller's arrays: they must stay
 *    alive and unmoved until every matrix and span record over them (clones,
 *    outer slices and stacks along the compressed axis included) is freed.
 *  - Heavy loops run on one process-wide oneTBB pool created on first use.
 *  - Running out of memory never ends the process, wherever it happens
 *    (data blocks, span arrays, temporaries, the matrix record, per-thread
 *    buffers, the pool's tasks), and neither does a size that overflows:
 *    functions returning a status give KORVEX_STATUS_ALLOC (-7) with the
 *    out slot untouched and nothing left allocated; those returning a new
 *    handle or span record give NULL; functions without a result leave the
 *    matrix valid and holding the same entries (`_ensure_sorted` may have
 *    sorted some rows); queries (`_nnz`, `_is_valid`, ...) run on the
 *    calling thread when the pool cannot take their work. An export that
 *    fails this way may have written part of its caller array.
 *
 * Threading: no lock protects a matrix. Reading calls may run concurrently on
 * one matrix. Calls that fill the nnz cache (`_nnz`, statistics, `_to_coo`,
 * stacking of matrices without a cached count), `_set_nnz`,
 * `_invalidate_nnz`, in-place sorting and `_free` must not overlap with other
 * calls on the same matrix (or, for sorting, on matrices sharing its buffers).
 *
 * This header compiles as C99 and as C++.
 */
#ifndef KORVEX_H
#define KORVEX_H

#include <stddef.h>
#include <stdint.h>

#if defined(_WIN32)
#  if defined(KORVEX_BUILDING)
#    define KORVEX_API __declspec(dllexport)
#  else
#    define KORVEX_API __declspec(dllimport)
#  endif
#elif defined(__GNUC__)
#  define KORVEX_API __attribute__((visibility("default")))
#else
#  define KORVEX_API
#endif

#include "korvex_exports.h"

/* Declares one line of an export list (korvex_exports.h). */
#define KORVEX_DECLARE(P, R, NAME, OP, PARAMS, ARGS) KORVEX_API R NAME PARAMS;
#define KORVEX_DECLARE_CONSTANT(NAME, VALUE) KORVEX_API extern const uint64_t NAME;

#ifdef __cplusplus
extern "C" {
#endif

/* ------------------------------------------------------------------------ */
/* Status values and flags                                                   */
/* ------------------------------------------------------------------------ */

/** Statuses returned by every function that can fail. */
enum {
    KORVEX_OK = 0,
    /** A required pointer is null; for stacking also an input count of 0. */
    KORVEX_STATUS_NULL = -1,
    /** Stacking inputs disagree in the dimension that must agree.
     *  Arithmetic: an array length does not match the matrix. */
    KORVEX_STATUS_SHAPE_MISMATCH = -2,
    /** Copy import: data or indices length differs from indptr[n].
     *  Mask slicing: mask length differs from the masked dimension.
     *  Value maps: an unknown operation. */
    KORVEX_STATUS_LENGTH = -3,
    /** Copy import: indptr has the wrong length, does not start at 0, or has
     *  an interior entry beyond its last one. */
    KORVEX_STATUS_INDPTR = -4,
    /** Range slicing: start > end or end beyond the dimension. */
    KORVEX_STATUS_RANGE = -5,
    /** Export: the caller's output array is too small (also: rows x cols
     *  overflows 64 bits, or more entries than a too-low cached nnz). */
    KORVEX_STATUS_CAPACITY = -6,
    /** Memory ran out, or a size or dimension computed on the way
     *  overflows 64 bits: for the data of a new matrix or for any of the
     *  call's bookkeeping (span arrays, temporaries, per-thread buffers, the
     *  pool's tasks). Every function that returns a status can give it. */
    KORVEX_STATUS_ALLOC = -7,
    /** An index lies outside the matrix (coordinate import, conversion,
     *  dense export, arithmetic), or a row's value and index spans differ
     *  in length. */
    KORVEX_STATUS_INDEX = -8,
    /** A matrix handle of another family: its value type or its form is
     *  not the one of the function's prefix (a csr_f32 handle passed to a
     *  csr_f64_ or csc_f32_ function). Nothing was read or written through
     *  it. */
    KORVEX_STATUS_FAMILY = -9
};

/** Span flag bits, also exported as data symbols of the same name without
 *  the KORVEX_ prefix. */
#define KORVEX_SPAN_FLAG_VIEW 1u
#define KORVEX_SPAN_FLAG_ALIGNED 2u
#define KORVEX_SPAN_FLAG_MUTABLE 4u

/* ------------------------------------------------------------------------ */
/* Records                                                                   */
/* ------------------------------------------------------------------------ */

/**
 * One contiguous typed array: the values or the indices of one row (CSR) or
 * column (CSC). 32 bytes. The element type comes from context.
 *
 * Kinds the library makes:
 *   owned segment  {buffer data + offset, buffer, len >= 1, ALIGNED|MUTABLE}
 *   view           {address in caller array, NULL, len >= 1, VIEW}
 *   empty          {static sentinel, NULL, 0, VIEW|MUTABLE}
 *   vacant         {(void*)element width, NULL, 0, VIEW}
 */
typedef struct Span {
    void *data;     /* first element; never NULL in a span the library makes */
    void *owner;    /* shared buffer, or NULL for views, empty and vacant */
    uint64_t len;   /* number of elements */
    uint64_t flags; /* KORVEX_SPAN_FLAG_* bits */
} Span;

/** What `span_<T>_info` reports. 32 bytes. */
typedef struct SpanInfo {
    const void *data;
    uint64_t len;
    uint64_t elem_size; /* width of the export's <T>, not of the span */
    uint64_t flags;
} SpanInfo;

/** A matrix shape. 16 bytes. */
typedef struct Shape {
    uint64_t rows;
    uint64_t cols;
} Shape;

/** One row (CSR) or column (CSC): its value pointer, index pointer and
 *  length. 24 bytes. */
typedef struct RowInfo {
    const void *values;
    const int64_t *indices;
    uint64_t len;
} RowInfo;

/** Opaque matrix handle. The same record serves CSR and CSC and knows which
 *  family made it; the functions of other families refuse it (-9). */
typedef struct CompressedMatrix CompressedMatrix;

#if defined(__cplusplus)
static_assert(sizeof(Span) == 32, "Span is 32 bytes");
static_assert(offsetof(Span, owner) == 8 && offsetof(Span, len) == 16 &&
                  offsetof(Span, flags) == 24,
              "Span layout");
static_assert(sizeof(SpanInfo) == 32 && offsetof(SpanInfo, elem_size) == 16,
              "SpanInfo layout");
static_assert(sizeof(Shape) == 16 && offsetof(Shape, cols) == 8, "Shape layout");
static_assert(sizeof(RowInfo) == 24 && offsetof(RowInfo, len) == 16, "RowInfo layout");
#elif defined(__STDC_VERSION__) && __STDC_VERSION__ >= 201112L
_Static_assert(sizeof(Span) == 32, "Span is 32 bytes");
_Static_assert(offsetof(Span, owner) == 8 && offsetof(Span, len) == 16 &&
                   offsetof(Span, flags) == 24,
               "Span layout");
_Static_assert(sizeof(SpanInfo) == 32 && offsetof(SpanInfo, elem_size) == 16,
               "SpanInfo layout");
_Static_assert(sizeof(Shape) == 16 && offsetof(Shape, cols) == 8, "Shape layout");
_Static_assert(sizeof(RowInfo) == 24 && offsetof(RowInfo, len) == 16, "RowInfo layout");
#endif

/* ------------------------------------------------------------------------ */
/* Exported constants (8-byte data symbols)                                  */
/* ------------------------------------------------------------------------ */

/* KORVEX_ABI_VERSION 1, SPAN_FLAG_VIEW 1, SPAN_FLAG_ALIGNED 2,
 * SPAN_FLAG_MUTABLE 4, SPAN_SIZE 32 */
KORVEX_LIST_CONSTANTS(KORVEX_DECLARE_CONSTANT)

/* ------------------------------------------------------------------------ */
/* Span functions: span_<T>_<op> for T in f32, f64, i32, i64, usize          */
/* ------------------------------------------------------------------------ */
/*
 * Every function accepts a null span and then returns 0 / NULL / an all-zero
 * record. T only sets the element width (4 for f32 and i32, 8 otherwise).
 *
 *   len        the element count
 *   byte_size  len x width of T
 *   data       read-only data pointer
 *   data_mut   writable data pointer if the span is MUTABLE, else NULL
 *   flags      the whole flags field
 *   is_view, is_aligned, is_mutable   one flag bit each, as 0 or 1
 *   info       {data, len, width of T, flags}
 *   size       32, the size of a Span record (takes no argument)
 *   clone      a new heap record with the same four fields; the shared
 *              buffer behind it (if any) gains a reference. The caller owns
 *              the record and releases it with span_<T>_free.
 *   free       drops the record's buffer reference and frees the record.
 *              Only for records from span_<T>_clone, never for spans reached
 *              through a matrix.
 */

/* ------------------------------------------------------------------------ */
/* Matrix functions                                                          */
/* ------------------------------------------------------------------------ */
/*
 * Four families: csr_f32_, csr_f64_, csc_f32_, csc_f64_. Below, P is the
 * prefix, V the value type (float or double), X the outer word (`row` for
 * CSR, `col` for CSC) and Y the other form (`csc` for CSR, `csr` for CSC).
 * "Outer" means rows for CSR and columns for CSC; "inner" the other one.
 * Each name is documented once here and declared for all four families by
 * KORVEX_LIST_MATRIX (korvex_exports.h); nm -D on the library lists them all.
 *
 * Lifecycle and shape
 *   P_free(m)        release m: its span records and one reference on every
 *                    buffer its spans use. NULL: nothing.
 *   P_clone(m)       new handle sharing every element with m; nnz cache
 *                    copied. NULL: NULL.
 *   P_size()         80, the size of the matrix record.
 *   P_rows, P_cols   the shape fields. NULL: 0.
 *   P_shape(m)       {rows, cols}. NULL: {0, 0}.
 *   P_is_empty(m)    1 if rows or cols is 0. NULL: 1.
 *
 * Per-outer-index accessors (i is checked against the span array's length;
 * the _unchecked forms check no index and need a valid m and i < outer dim;
 * they still refuse a handle of another family: NULL, 0, all-zero)
 *   P_X_values(m,i), P_X_indices(m,i)    pointer to span i (inside m)
 *   P_X_values_ptr, P_X_indices_ptr      its data pointer
 *   P_X_len(m,i)                         its length
 *   P_get_X_info(m,i)                    {values, indices, len}; all-zero when
 *                                        m is NULL or i >= outer dim
 *   P_get_X_pointers(m,vals,idx,lens)    fill three caller arrays of outer-dim
 *                                        entries; -1 if any pointer is NULL
 *   P_values_vec_ptr, P_indices_vec_ptr  first span of each span array
 *                                        (SPAN_SIZE bytes apart; owned by m)
 *   P_values_vec_len                     length of the value span array
 *
 * Nonzero count and statistics (every stored entry counts, zeros included)
 *   P_nnz(m)             cached count, or count in parallel and cache it
 *   P_has_nnz_cache(m)   1 if a count is cached
 *   P_set_nnz(m,n)       cache n (trusted: used by everything until cleared)
 *   P_invalidate_nnz(m)  forget the cached count
 *   P_is_zero(m)         1 if nnz is 0. NULL: 1
 *   P_density(m)         1 - sparsity; 0.0 for an empty shape
 *   P_sparsity(m)        1 - nnz / (cols x rows) in doubles; 1.0 for an empty
 *                        shape and for NULL
 *   P_get_metadata(m, rows_out, cols_out, nnz_out)  -1 if any pointer is
 *                        NULL (nothing written), else 0
 *
 * Validation and sorting
 *   P_is_valid(m)           both span arrays have outer-dim entries and every
 *                           row's value and index spans have equal length
 *   P_validate(m)           is_valid, and every index in [0, inner dim) and
 *                           every row strictly increasing
 *   P_indices_in_bounds(m)  every index in [0, inner dim)
 *   P_is_sorted(m)          every row strictly increasing (duplicates are
 *                           unsorted)
 *   P_ensure_sorted(m)      sort every unsorted row, values moving with
 *                           their indices. Never writes caller memory: if
 *                           some unsorted row is a view (not MUTABLE), no
 *                           row is sorted at all and the matrix is left as it
 *                           was; sort a copy (_from_scipy_copy, _clone of a
 *                           copy) instead. No other matrix reads different
 *                           entries afterwards: a row whose storage every
 *                           reader holds whole (clones, takes, stacks) is
 *                           reordered where it lies, for all of them; a row
 *                           whose indices another matrix reads beside values
 *                           of its own (a value map's result and its source)
 *                           gets a sorted copy instead, all copies of one
 *                           call cut from one new pair of buffers. When that
 *                           pair cannot be had, no row is sorted.
 *   P_ensure_sorted_checked(m)  as ensure_sorted; 1 if some row was sorted,
 *                           0 if none was (already sorted, or refused
 *                           because an unsorted row is not MUTABLE; then
 *                           is_sorted keeps reporting 0)
 *
 * Import (out receives a new handle owned by the caller)
 *   P_from_scipy_view(rows, cols, data, indices, indptr)  zero-copy; reads
 *       indptr only; NULL if any array is NULL or memory runs out. An
 *       outer index whose indptr pair decreases gets an empty span. nnz not
 *       cached.
 *   P_from_scipy_copy(rows, cols, data, data_len, indices, indices_len,
 *       indptr, indptr_len, out)  copies into two new buffers; statuses
 *       -1 (NULL), -4 (indptr_len != n+1, indptr[0] != 0, or an interior
 *       entry above indptr[n]), -3 (data_len or indices_len != indptr[n]),
 *       -7 (buffers). n is rows for CSR, cols for CSC. The three arrays
 *       may sit at any address (they are read without alignment
 *       assumptions).
 *   P_from_scipy_copy_i32(rows, cols, data, data_len, indices, indices_len,
 *       indptr, indptr_len, out)  as _from_scipy_copy from int32_t indices
 *       and indptr (scipy's usual arrays), widened to int64 during the one
 *       copy; the same statuses, and a negative indptr entry is -4.
 *   P_from_coo(rows, cols, row_idx, col_idx, data, nnz, out)  duplicates
 *       kept, explicit zeros stored, rows sorted by inner index, inner
 *       indices stored unchecked. -1 (a NULL pointer, even when nnz is 0), -8 (an
 *       outer index negative or >= the outer dim), -7 (buffers).
 *
 * Export (into caller arrays; nothing is written on failure,
 *   except that after -7 the array may be partly written)
 *   P_to_coo(m, row_out, col_out, val_out, capacity)  entries grouped by
 *       outer index, stored order within; -1 (NULL), -6 (capacity < nnz, or
 *       more stored entries than a too-low cached nnz; never writes past
 *       capacity). Fills the nnz cache.
 *   P_to_dense(m, out, capacity, order)  order 0: row-major, else
 *       column-major; duplicates: the last stored wins. -1 (NULL), -6
 *       (capacity < rows x cols, or that product overflows), -8 (an inner
 *       index outside [0, inner dim); detected before anything is written).
 *   P_to_compressed(m, values_out, indices_out, indptr_out, capacity,
 *       index_width)  scipy's three arrays: values_out and indices_out hold
 *       `capacity` elements, indptr_out outer dim + 1; indices and indptr
 *       elements are index_width bytes (4: int32_t, 8: int64_t). Outer
 *       indices in order, stored order within; indptr_out[0] is 0. One
 *       parallel pass; reads and fills no nnz cache. -1 (NULL), -6
 *       (capacity < nnz, index_width not 4 or 8, or width 4 with nnz >
 *       INT32_MAX or inner dim > INT32_MAX + 1), nothing written on either;
 *       values_out NULL: the pattern only (indices and indptr; what a
 *       boolean result such as a comparison's needs);
 *       -8 (a stored index outside [0, inner dim), or a row whose value
 *       and index spans differ in length; found while writing: the arrays'
 *       contents are then unspecified, never written outside their
 *       lengths).
 *
 * Conversion and transposition (fresh buffers; source untouched)
 *   P_from_Y(src, out)   the same matrix in this family's form, every outer
 *       index sorted. -1, -7, -8 (an inner index of src outside the target's
 *       outer range, or a row whose value and index spans differ in length).
 *   P_transpose_from_Y(src, out)  the transpose, in this family's form: each
 *       outer span of src copied and sorted; empty ones vacant. -1, -7.
 *   P_transpose_shared_from_Y(src, out)  the transpose in this family's form
 *       over src's own spans (CSR A gives CSC A^T whose outer index i holds
 *       row i of A): O(outer dim) descriptors, no element copied, one more
 *       reference per span, stored order and nnz cache kept. Views stay
 *       views of the caller's arrays. -1, -7.
 *
 * Slicing (outer slices share spans with m; inner slices copy)
 *   P_slice_rows(m, start, end, out), P_slice_cols(...)  half-open range;
 *       -1 (NULL), -5 (start > end or end > dim), -7. Inner
 *       slices assume sorted rows and rebase indices to start.
 *   P_slice_rows_mask(m, mask, mask_len, out), P_slice_cols_mask(...)
 *       one byte per row/column, non-zero selects; -1 (a NULL pointer, even
 *       when mask_len is 0), -3 (mask_len != dim), -7. Inner masks
 *       keep stored order; entries whose index lies outside the mask are
 *       dropped.
 *   P_take_rows(m, pos, n, out), P_take_cols(...)  the rows/columns named by
 *       pos[0..n), any order, repeats allowed. Along the outer axis result
 *       index k shares source index pos[k]'s spans (one reference each),
 *       O(n) whatever the outer dim, nnz not cached. Along the inner axis
 *       entries are copied: result inner index k holds source inner index
 *       pos[k]; within a row entries keep stored order, each emitted once
 *       per position naming its index, positions increasing; empty rows are
 *       vacant; nnz cached. -1 (a NULL pointer, even when n is 0), -5 (a
 *       position >= the axis length; nothing allocated), -7, and for the
 *       inner axis -8 (a stored index outside [0, inner dim), or a row whose
 *       value and index spans differ in length).
 *   P_take_Xs_to_compressed(m, pos, n, indptr_out, values_out, indices_out,
 *       capacity, index_width)  the outer take of pos[0..n) written straight
 *       into scipy's three arrays (as P_to_compressed of P_take_Xs' result,
 *       with no matrix made): indptr_out holds n + 1 elements, values_out
 *       and indices_out `capacity`; index elements are index_width bytes (4
 *       or 8). values_out and indices_out both NULL: only indptr_out is
 *       written, its last element the entry count (call again with arrays
 *       that large). Parallel for large takes. -1 (m, pos or indptr_out
 *       NULL, or one of the two arrays), -5 (a position >= the outer dim;
 *       nothing written), -6 (index_width not 4 or 8, or width 4 with more
 *       than INT32_MAX entries or an inner dim above 2^31, nothing written;
 *       capacity below the entry count, indptr_out written), -8 (a stored
 *       index outside [0, inner dim), or a row whose spans differ in length;
 *       found while copying, never writing outside the arrays).
 *
 * Stacking (mats: array of count handles of this family)
 *   P_vstack(mats, count, out), P_hstack(mats, count, out)  along the
 *       compressed axis (CSR vstack, CSC hstack) spans are shared; across it
 *       entries are copied with shifted inner indices, input 0 first, no
 *       sorting. One input: a clone. -1 (NULL array or slot, count 0, or a
 *       NULL handle inside the array), -2 (dimensions disagree), -7.
 */

/* ------------------------------------------------------------------------ */
/* Arithmetic: products, sums and value maps                                 */
/* ------------------------------------------------------------------------ */

/** Value map operations of `P_map_values` (the list in korvex_exports.h):
 *  f(v) for each stored value v, computed in the matrix's value type. Each
 *  maps 0 to 0. KORVEX_MAP_SCALE 0 (v * arg), NEGATE 1, ABS 2, POWER 3
 *  (pow(v, arg)), SQRT 4, LOG1P 5, EXPM1 6, SIN 7, TAN 8, ARCSIN 9, ARCTAN 10,
 *  SINH 11, TANH 12, ARCSINH 13, FLOOR 14, CEIL 15, RINT 16 (half to even),
 *  TRUNC 17, SIGN 18 (-1, 0 or 1; NaN stays NaN), DEG2RAD 19, RAD2DEG 20,
 *  ROUND 21 (numpy's round to (int)arg decimals). */
#define KORVEX_MAP_ENUMERATOR(NAME, name, code) KORVEX_MAP_##NAME = code,
enum { KORVEX_LIST_MAP_OPS(KORVEX_MAP_ENUMERATOR) };

/*
 * For each family P (value type V) and operand type T: V, and for the f32
 * families also double through the `_f64` forms of the four products
 * (csr_f32_matvec_f64 takes and gives double arrays).
 *
 * These read the matrix and write caller arrays (or make a new matrix), in
 * parallel, with work split by stored entries so that long rows do not
 * leave one thread with most of it. Any matrix works: views, clones,
 * slices and stacks whose rows share storage (each outer index counts on
 * its own), unsorted rows, repeated indices (they add up) and explicit
 * zeros. An index is checked against the inner dimension in the loop that
 * uses it: an index outside it, or a row whose value and index spans differ
 * in length, gives -8; nothing outside the caller's arrays is read or
 * written, and the output arrays' contents are then unspecified. Sums along
 * the compressed axis (CSR sum_rows, CSC sum_cols) and maps that do not
 * depend on position read no index. Products and sums accumulate in double.
 *
 * Products (-1: m or an array NULL; -2: a length that does not match, or
 * rows x k or cols x k overflows; -7: scratch memory; -8 as above)
 *   P_matvec(m, x, x_len, y, y_len)    y = M x; x_len == cols, y_len == rows
 *   P_rmatvec(m, z, z_len, y, y_len)   y = M^T z; z_len == rows,
 *       y_len == cols. M^T is never built: each thread adds into its own
 *       array, and the arrays are summed in parallel.
 *   P_matmat(m, X, k, order, Y)        Y = M X; X is cols x k, Y rows x k,
 *       order 0: both row-major, any other: both column-major. k == 0
 *       writes nothing.
 *   P_rmatmat(m, Z, k, order, Y)       Y = M^T Z; Z is rows x k, Y cols x k.
 *
 * Sums (in double; -1, -2: out_len wrong, -7, -8)
 *   P_sum_rows(m, out, out_len)   out[i] = sum of row i; out_len == rows
 *   P_sum_cols(m, out, out_len)   out[j] = sum of column j; out_len == cols
 *
 * Value maps: a new matrix of the same family whose index spans are m's own
 * (one more reference each, no index copied) and whose value spans are
 * fresh, cut from one new buffer; empty outer indices keep their span; the
 * result's nnz is cached; m is untouched. -1 (m or out NULL), -7 (buffer),
 * and nothing is allocated on failure.
 *   P_map_values(m, op, arg, out)   op(v) per stored value, op a
 *       KORVEX_MAP_* code (arg used by SCALE, POWER and ROUND);
 *       -3: unknown op.
 *   P_map_summed(m, op, arg, out)   op of the sums of repeated indices:
 *       a row (column for CSC) that is not strictly increasing comes out
 *       sorted, each index once, in index spans of the result's own; every
 *       other row shares m's, as P_map_values. Costs one scan of the
 *       indices more than P_map_values.
 *   P_scale_rows(m, w, w_len, out)  v * w[row]; w_len == rows else -2.
 *   P_scale_cols(m, w, w_len, out)  v * w[column]; w_len == cols else -2.
 *       Scaling along the inner axis reads the indices: -8 as above.
 */

/* ------------------------------------------------------------------------ */
/* The library's threads                                                     */
/* ------------------------------------------------------------------------ */
/*
 *   korvex_set_num_threads(n)  caps every later parallel loop at n threads,
 *       the calling thread included (a loop running now keeps its threads);
 *       n == 0 lifts the cap. Process-wide, any thread may call it. A cap
 *       above the pool's size (the CPUs the process could use when the pool
 *       started) leaves the pool's size. 0, or -7.
 *   korvex_get_num_threads()   the threads a parallel loop started now uses
 *       (at least 1).
 */

/* ------------------------------------------------------------------------ */
/* Edits in place                                                            */
/* ------------------------------------------------------------------------ */
/*
 * Each changes only the rows (CSR) or columns (CSC) it must and gives them
 * fresh segments, all cut from one new pair of buffers per call; every other
 * row keeps its storage. No other matrix sharing storage with m (clones,
 * slices, takes, stacks, shared transposes, value maps' results and their
 * sources) reads different entries afterwards, and caller memory (a view's
 * arrays) is never written. A cached nnz stays right. On failure m is
 * exactly as it was. -1: m NULL (or an array NULL with n > 0); -9: a handle
 * of another family; -7: memory.
 * They must not overlap other calls on m or on matrices sharing its storage.
 *   P_set_entries(m, rows, cols, vals, n)  (rows[t], cols[t]) := vals[t] for
 *       t < n: a stored entry changes its value (a position stored more than
 *       once keeps its first copy and drops the others, so it reads
 *       vals[t]); any other position is inserted, zeros too. A position
 *       named twice takes its last value. Insertions keep a strictly
 *       increasing row sorted and follow the stored entries of any other
 *       row in index order. -8 (nothing changed): some index outside the
 *       shape. O(n log n) (O(n) for positions already in increasing order
 *       of outer, then inner index) plus the changed rows.
 *   P_eliminate_zeros(m)   drops stored values equal to 0 (NaN kept), the
 *       others keeping their order. Scans the values.
 *   P_sum_duplicates(m)    every row that is not strictly increasing becomes
 *       canonical: sorted, each index once holding the sum of its copies
 *       (zero sums kept). Scans the indices.
 *   P_sort_indices(m)      as _ensure_sorted, but unsorted rows that are
 *       views of caller memory get sorted copies instead of refusing the
 *       call; -7 with nothing sorted when the copies cannot be made.
 */

/* ------------------------------------------------------------------------ */
/* Two operands of one family                                                */
/* ------------------------------------------------------------------------ */

/** Elementwise operations of `P_combine`. The union ones read a missing
 *  entry as 0; MAX and MIN keep the first operand unless the comparison
 *  holds (a NaN in the first operand wins, one in the second loses);
 *  MUL stores the positions present in both, and a NaN where a non-finite
 *  value meets a missing entry (inf * 0). */
enum {
    KORVEX_COMBINE_ADD = 0,
    KORVEX_COMBINE_SUB = 1,
    KORVEX_COMBINE_MAX = 2,
    KORVEX_COMBINE_MIN = 3,
    KORVEX_COMBINE_MUL = 4
};
/** Comparisons of `P_compare` and `P_compare_scalar`: a op b. */
enum {
    KORVEX_CMP_NE = 0,
    KORVEX_CMP_LT = 1,
    KORVEX_CMP_GT = 2,
    KORVEX_CMP_LE = 3,
    KORVEX_CMP_GE = 4,
    KORVEX_CMP_EQ = 5
};

/*
 * For each family P, both operands of family P (-9 otherwise); a new matrix
 * of family P in *out, its nnz cached, its rows sorted with no repeated
 * index and no stored entry whose result is exactly zero (a NaN is stored),
 * empty rows vacant. Any inputs work: views, clones, slices and stacks
 * whose rows share storage, unsorted rows, repeated indices (they add up
 * first) and explicit zeros. Values are computed in V. Each result is
 * counted row by row first, then filled into one span batch, in parallel.
 * -1 (a NULL argument), -7 (memory), -8 (an index read outside its
 * dimension, or a row whose value and index spans differ in length);
 * *out is written only on success.
 *
 *   P_matmul(a, b, out)   a . b, a.rows x b.cols; -2 when a.cols != b.rows.
 *       CSR: row i of out sums, over a's row i entries (k, v), v times b's
 *       row k; CSC: column j of out sums, over b's column j entries (k, v),
 *       a's column k times v. Terms are added in scipy's order, so sums and
 *       cancellations match scipy's. Extra memory: per-thread accumulators
 *       (a table of about twice a row's multiply-adds, or one array of out's
 *       inner dimension), five words per outer index of out, and, when the
 *       operand whose entries lead (CSR: a; CSC: b) has entries enough, 32
 *       bytes per outer index of the other one (or a packed copy of it, when
 *       its outer indices hold fewer than 4 entries on average).
 *   P_combine(a, b, op, out)   op(a, b) elementwise, op a KORVEX_COMBINE_*
 *       code; -2 for different shapes, -3 for an unknown op.
 *   P_compare(a, b, op, out)   value 1 at every position stored in a or b
 *       where a op b holds (a missing side read as 0), op a KORVEX_CMP_*
 *       code; -2, -3 as above. Positions stored in neither are not
 *       visited: where 0 op 0 holds (LE, GE, EQ) the caller adds them.
 *   P_compare_scalar(a, s, op, out)   the same against the scalar s over
 *       a's stored positions; for f32 s is rounded to f32 first (numpy's
 *       rule), unless beyond f32's range. -3.
 *   For a boolean array of the result, P_to_compressed with values_out
 *   NULL gives its pattern.
 *   P_combine_Y(a, b, op, out)   P_combine with b of the other form (family
 *       Y of the same value type, -9 otherwise); the result takes a's form.
 *       No conversion of b is made: sums, differences, maximum and minimum
 *       regroup b's entries in temporary arrays (b's entries once more, in
 *       32-bit indices where they fit); the product looks a's entries up in
 *       b through a filter of about one byte per entry of b.
 *   P_compare_scalar_to_compressed(a, s, op, indptr, indices, flags,
 *       capacity, index_width)   P_compare_scalar's pattern written straight
 *       into scipy's arrays of a boolean matrix, with no matrix made; index
 *       elements are index_width bytes (4: int32_t, 8: int64_t). indices and
 *       flags both NULL: writes only indptr (outer dim + 1 elements, [0] = 0,
 *       the last the entry count). Then with arrays of that many elements:
 *       reads indptr back as the first call wrote it and fills indices and
 *       flags (each 1). -1 (a or indptr NULL, or one of the two arrays), -3,
 *       -6 (index_width not 4 or 8; width 4 with more than INT32_MAX entries
 *       or an inner dim above 2^31; a place of indptr outside [0,
 *       capacity]), -8 (an index outside the inner dim, or a row whose count
 *       differs from indptr: the matrix changed between the calls).
 */

/* ------------------------------------------------------------------------ */
/* Declarations, from the lists in korvex_exports.h                          */
/* ------------------------------------------------------------------------ */
KORVEX_FOR_SPAN_TYPES(KORVEX_LIST_SPAN, KORVEX_DECLARE)
KORVEX_FOR_FAMILIES(KORVEX_LIST_FAMILY, KORVEX_DECLARE)
KORVEX_FOR_F32_FAMILIES(KORVEX_LIST_F32_FAMILY, KORVEX_DECLARE)
KORVEX_LIST_LIBRARY(KORVEX_DECLARE)

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* KORVEX_H */
