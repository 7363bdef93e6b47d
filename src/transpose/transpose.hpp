// Transposition: A (form F) becomes the other form holding A's transpose.
#pragma once

#include <cstdint>

#include "sparse/matrix.hpp"

namespace korvex {

// Copies every outer span of src into fresh buffers, sorted by index, with
// the shape swapped; empty outer indices get vacant spans. -8 when a row's
// value and index spans differ in length, -7 when the buffers fail.
template <typename V, Form F>
int32_t transpose(const CompressedMatrix& src, CompressedMatrix** out);

// The transpose over src's own spans: src's outer index i becomes outer
// index i of the other form, shape swapped, every span shared (one more
// reference each), nnz cache copied. O(outer dim) descriptors, no element
// copied.
CompressedMatrix* transpose_shared(const CompressedMatrix& src);

}  // namespace korvex
