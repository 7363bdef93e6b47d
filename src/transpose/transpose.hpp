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

}  // namespace korvex
