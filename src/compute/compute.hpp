// Arithmetic on a matrix and caller arrays: products with dense vectors and
// blocks, sums along each axis, and value maps that share the index spans.
//
// Every loop runs on the pool over an entry-balanced plan (sparse/plan.hpp). Rows
// are read through their spans, so views, clones, slices and stacks whose
// rows share storage all work, each outer index counted on its own;
// unsorted rows, repeated indices (they add up) and explicit zeros need
// nothing special. An index is checked against the inner dimension in the
// loop that uses it: one outside it (or a row whose value and index spans
// differ in length) gives KORVEX_STATUS_INDEX, and nothing outside the
// caller's arrays is read or written; the outputs' contents are then
// unspecified.
#pragma once

#include <cstdint>

#include "sparse/matrix.hpp"

namespace korvex::compute {

// Y = M X (transposed: Y = M^T X). X holds k columns of the operand's
// length (cols of M, or rows when transposed), Y k columns of the result's;
// both row-major, or both column-major. Accumulates in double, stores T.
template <typename V, Form F, typename T>
int32_t product(const CompressedMatrix& m, const T* x, T* y, uint64_t k, bool col_major,
                bool transposed);

// out[i] = sum of row i (rows), or out[j] = sum of column j, in double.
// Sums along the outer axis read no index.
template <typename V, Form F>
int32_t sum_axis(const CompressedMatrix& m, double* out, bool rows);

// A new matrix over m's index spans (one more reference each) with fresh
// value spans in one new buffer: op(v, arg) per stored value (op codes as
// KORVEX_MAP_*). Empty outer indices keep their span. -3 for an unknown op.
template <typename V, Form F>
int32_t map_values(const CompressedMatrix& m, uint32_t op, double arg, CompressedMatrix** out);

// map_values on the sums of repeated indices, as the maps that are not
// linear need: a row (CSR) or column (CSC) that is not strictly increasing
// comes out canonical (sorted, each index once) holding op of its sums, in
// index spans of the result's own; every other row shares m's index span,
// as map_values does. m is never changed. The extra cost is one scan of the
// index spans and the rows that repeat an index.
template <typename V, Form F>
int32_t map_summed(const CompressedMatrix& m, uint32_t op, double arg, CompressedMatrix** out);

// As map_values over a float32 matrix, giving a float64 one: each value is
// taken to double, then op(v, arg) in double. The result shares m's index
// spans as a same-type map's does.
template <Form F>
int32_t map_values_widened(const CompressedMatrix& m, uint32_t op, double arg,
                           CompressedMatrix** out);

// As map_values with v * w[row] (rows) or v * w[column].
template <typename V, Form F>
int32_t scale_axis(const CompressedMatrix& m, const V* w, bool rows, CompressedMatrix** out);

}  // namespace korvex::compute
