// Checks of a matrix's invariants, and in-place index sorting.
#pragma once

#include <cstdint>

#include "sparse/matrix.hpp"

namespace korvex {

// Both span arrays have outer-dim entries and each row's value and index
// spans have the same length.
template <Form F>
bool is_valid(const CompressedMatrix& m);
// is_valid, and every index in [0, inner dim), every row strictly increasing.
template <Form F>
bool validate(const CompressedMatrix& m);
// Every index span (over the array's own length) within [0, inner dim).
template <Form F>
bool indices_in_bounds(const CompressedMatrix& m);
// Every index span (over the array's own length) strictly increasing.
bool is_sorted(const CompressedMatrix& m);

enum class SortOutcome {
    unchanged,  // every row already sorted
    sorted,     // at least one row was sorted
    refused,    // some unsorted row is not MUTABLE; nothing was written
};

// Sorts every unsorted row of outer indices [0, outer dim) in place. Rows
// that need reordering must be MUTABLE: if any unsorted row has a value or
// index span without MUTABLE (a view of caller memory), no row is sorted.
// Empty and single-entry rows never need reordering, whatever their flags.
template <typename V, Form F>
SortOutcome ensure_sorted(CompressedMatrix& m);

// Sorts rows [0, n) of freshly built span arrays (all MUTABLE), in parallel.
template <typename V>
void sort_rows(Span* values, Span* indices, uint64_t n);

}  // namespace korvex
