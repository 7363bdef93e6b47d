// Slicing by index ranges and by boolean masks. Along the outer dimension
// the result shares the source's span descriptors; along the inner one the
// kept entries are copied into two new buffers.
#pragma once

#include <cstdint>

#include "sparse/matrix.hpp"

namespace korvex {

// Outer indices [start, end). -5 for a bad range. Every function here
// gives -7 when the new buffers cannot be made.
template <Form F>
int32_t slice_outer_range(const CompressedMatrix& m, uint64_t start, uint64_t end,
                          CompressedMatrix** out);
// Entries with inner index in [start, end), rebased to start; rows assumed
// sorted. -5 for a bad range.
template <typename V, Form F>
int32_t slice_inner_range(const CompressedMatrix& m, uint64_t start, uint64_t end,
                          CompressedMatrix** out);
// Outer indices whose mask byte is non-zero. -3 for a wrong mask length.
template <Form F>
int32_t slice_outer_mask(const CompressedMatrix& m, const uint8_t* mask, uint64_t mask_len,
                         CompressedMatrix** out);
// Entries whose inner index has a non-zero mask byte, renumbered to its rank
// among the selected; stored order kept. -3 for a wrong length.
template <typename V, Form F>
int32_t slice_inner_mask(const CompressedMatrix& m, const uint8_t* mask, uint64_t mask_len,
                         CompressedMatrix** out);

// Outer indices pos[0..n), any order, repeats allowed: result outer index
// k shares the spans of source outer index pos[k]. O(n). -5 for a position
// beyond the outer dimension (nothing allocated). nnz not cached.
template <Form F>
int32_t take_outer(const CompressedMatrix& m, const uint64_t* pos, uint64_t n, CompressedMatrix** out);
// Inner indices pos[0..k): result inner index t holds the entries of source
// inner index pos[t]. Every row keeps its stored order, each entry emitted
// once per position that names it, positions increasing; empty rows are
// vacant. -5 for a position beyond the inner dimension, -8 for a stored
// index outside [0, inner dim) or a row whose spans differ in length, -7
// when the buffers fail.
template <typename V, Form F>
int32_t take_inner(const CompressedMatrix& m, const uint64_t* pos, uint64_t k, CompressedMatrix** out);

// The compressed arrays of take_outer(m, pos, k) written straight into
// caller memory, with no matrix made: indptr_out holds k + 1 entries,
// values_out and indices_out `capacity`; indices and indptr are int32_t
// (width 4) or int64_t (width 8). With values_out and indices_out both null
// only indptr_out is written (its last entry is the entry count); one of
// them null is -1. -5 for a
// position beyond the outer dimension and -6 for a bad width or a width 4
// that cannot hold the entry count or the inner dimension (nothing written
// either way); -6 for an entry count beyond capacity (indptr_out written);
// -8 for a row whose spans differ in length or a stored index outside
// [0, inner dim), found while writing, never writing outside the arrays.
template <typename V, Form F>
int32_t take_outer_compressed(const CompressedMatrix& m, const uint64_t* pos, uint64_t k,
                              void* indptr_out, V* values_out, void* indices_out,
                              uint64_t capacity, uint8_t width);

// Number of non-zero bytes.
uint64_t count_selected(const uint8_t* mask, uint64_t len);

}  // namespace korvex
