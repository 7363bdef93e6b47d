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

// Number of non-zero bytes.
uint64_t count_selected(const uint8_t* mask, uint64_t len);

}  // namespace korvex
