// Stacking lists of matrices of one form: along the compressed axis by
// sharing spans, across it by copying entries with shifted inner indices.
#pragma once

#include <cstdint>

#include "sparse/matrix.hpp"

namespace korvex {

// mats: count >= 1 non-null handles. One input gives a clone. -2 when the
// inner dimensions disagree.
template <Form F>
int32_t stack_along(CompressedMatrix* const* mats, uint64_t count, CompressedMatrix** out);
// -2 when the outer dimensions disagree, -7 when the buffers fail, -8 when
// an input row's value and index spans differ in length.
template <typename V, Form F>
int32_t stack_across(CompressedMatrix* const* mats, uint64_t count, CompressedMatrix** out);

}  // namespace korvex
