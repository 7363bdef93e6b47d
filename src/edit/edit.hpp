// Edits of a matrix in place: setting entries, dropping stored zeros,
// adding repeated indices up, sorting with copies. Each changes only the
// rows it must and gives them fresh segments, all cut from one new pair of
// buffers per call; every other row keeps its storage, and no other matrix
// sharing any storage with this one reads different entries afterwards
// (rows are replaced, never written where another reader may see them).
// Cost: the rows changed plus, where noted, one scan of the stored entries.
// Every function leaves m exactly as it was when it fails, and keeps a
// cached nnz right.
#pragma once

#include <cstdint>

#include "sparse/matrix.hpp"

namespace korvex {

// Sets n entries: (rows[t], cols[t]) becomes vals[t]. An entry stored there
// changes its value; a position that is not stored is inserted, zeros
// included. When the position is stored more than once, its first copy
// takes the value and the others are dropped, so that the position reads
// vals[t]. A position named more than once takes its last value. Inserted
// entries keep a strictly increasing row sorted; in any other row they
// follow the stored ones in increasing index order. -8 when some rows[t]
// is outside [0, rows) or cols[t] outside [0, cols) (nothing changed), -7
// when memory runs out. O(n log n) unless the positions come in increasing
// (outer, inner) order, plus the changed rows.
template <typename V, Form F>
int32_t set_entries(CompressedMatrix& m, const int64_t* rows, const int64_t* cols, const V* vals,
                    uint64_t n);

// Drops every stored value equal to zero (-0.0 included, NaN kept); the
// other entries keep their order. Scans every entry.
template <typename V, Form F>
int32_t eliminate_zeros(CompressedMatrix& m);

// Drops every stored value whose magnitude is at most tol (tol >= 0; NaN
// kept): eliminate_zeros with a tolerance.
template <typename V, Form F>
int32_t drop_small(CompressedMatrix& m, double tol);

// Puts every row that is not strictly increasing in canonical form: sorted,
// each index once holding the sum of its copies (zero sums are kept).
// Canonical rows are not touched. Scans every row's indices.
template <typename V, Form F>
int32_t sum_duplicates(CompressedMatrix& m);

}  // namespace korvex
