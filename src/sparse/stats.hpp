// The nonzero-count cache and the statistics derived from it.
#pragma once

#include <cstdint>

#include "sparse/matrix.hpp"

namespace korvex {

// Sum of the value spans' lengths, in parallel over the descriptors.
uint64_t count_entries(const CompressedMatrix& m);
// The cached count, else count_entries, which then fills the cache.
uint64_t obtain_nnz(CompressedMatrix& m);
// 1 - nnz / (cols * rows), each step in doubles; 1.0 for an empty shape.
double sparsity(CompressedMatrix& m);
// 1 - sparsity (not the plain quotient); 0.0 for an empty shape.
double density(CompressedMatrix& m);

}  // namespace korvex
