// Operations on two matrices of one family: the sparse product, elementwise
// combinations and comparisons (and comparisons with a scalar).
//
// Inputs are read through their spans as they come: unsorted rows, repeated
// indices (they add up first), explicit zeros, views, and rows shared with
// other matrices. Every index is checked in the loop that reads it: one
// outside its dimension, or a row whose value and index spans differ in
// length, gives KORVEX_STATUS_INDEX with nothing made. Each result is sized
// by counting its rows exactly first, then filled into one span batch; its
// rows are sorted, hold no repeated index and no entry whose result is
// exactly zero (a NaN result is stored). Empty rows get vacant spans. Values
// are computed in the matrices' value type.
#pragma once

#include <cstdint>

#include "sparse/matrix.hpp"

namespace korvex::combine {

// Elementwise operations (KORVEX_COMBINE_*). The union ones see a missing
// entry as 0; maximum and minimum keep the first operand when the
// comparison is false (a NaN in the first operand wins, one in the second
// loses), as scipy does. Multiplication stores the entries present in both,
// and also a NaN where a non-finite value meets a missing entry (inf * 0),
// as the dense product would.
enum CombineOp : uint32_t { kAdd = 0, kSub = 1, kMax = 2, kMin = 3, kMul = 4 };
// Comparisons (KORVEX_CMP_*).
enum CompareOp : uint32_t { kNe = 0, kLt = 1, kGt = 2, kLe = 3, kGe = 4, kEq = 5 };

// out = a b (rows a.rows, cols b.cols). CSR: row i of out is the sum over a's
// row i entries (k, v) of v times b's row k; CSC: column j of out is the sum
// over b's column j entries (k, v) of a's column k times v. -2 when a.cols !=
// b.rows. Memory beyond the result: per-thread accumulators (a hash table
// sized by a row's multiply-adds, or a dense array of the result's inner
// dimension), five words per outer index of the result, 32 bytes per outer
// index of the right operand when the left one has entries enough to make
// flattening its rows pay, and the slots of sums that cancel to exactly
// zero (the batch is sized by the distinct indices each row reaches).
template <typename V, Form F>
int32_t matmul(const CompressedMatrix& a, const CompressedMatrix& b, CompressedMatrix** out);

// out = op(a, b) elementwise; -2 for different shapes, -3 for an unknown op.
template <typename V, Form F>
int32_t combine(const CompressedMatrix& a, const CompressedMatrix& b, uint32_t op,
                CompressedMatrix** out);

// Value 1 at every position stored in a or b (after repeated indices are
// summed) where `a op b` holds, a missing side read as 0. -2, -3 as above.
template <typename V, Form F>
int32_t compare(const CompressedMatrix& a, const CompressedMatrix& b, uint32_t op,
                CompressedMatrix** out);

// The same against the scalar s over a's stored positions. For f32 values s
// is rounded to f32 first (numpy's rule for a Python float beside a float32
// array) unless it lies beyond f32's range, where the comparison is made in
// f64.
template <typename V, Form F>
int32_t compare_scalar(const CompressedMatrix& a, double s, uint32_t op, CompressedMatrix** out);

// out = op(a, b) elementwise for b of the other form (a's form and family
// otherwise): the result takes a's form. Sums, differences, maximum and
// minimum regroup b's entries by a's outer index in bookkeeping arrays (b's
// entries again, in narrow indices where they fit); the product looks each
// of a's entries up in b through a filter of b's positions (about one byte
// per entry of b), falling back to the regrouping when b holds a value that
// is not finite. -2, -3 as combine.
template <typename V, Form F>
int32_t combine_other(const CompressedMatrix& a, const CompressedMatrix& b, uint32_t op,
                      CompressedMatrix** out);

// compare_scalar's pattern written straight into scipy's arrays, index
// elements `width` bytes (4: int32_t, 8: int64_t). indices and flags null:
// counts, writing indptr (outer dim + 1 elements, indptr[0] = 0, the last
// the entry count; -6 where that exceeds the index type). Otherwise fills
// indices and flags (1 each, `capacity` elements) at the places the
// counting call wrote into indptr, which is read back: -6 where a place
// lies outside [0, capacity), -8 where a row's count differs from it (the
// operand changed between the calls). -6 for another width, or width 4
// with an inner dimension above 2^31.
template <typename V, Form F>
int32_t compare_scalar_to_compressed(const CompressedMatrix& a, double s, uint32_t op, void* indptr,
                                     void* indices, uint8_t* flags, uint64_t capacity,
                                     uint8_t width);

}  // namespace korvex::combine
