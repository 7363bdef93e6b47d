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
    sorted,     // every unsorted row was sorted
    refused,    // some unsorted row is a view of caller memory; nothing was written
    failed,     // the copies' data blocks could not be had; nothing was written
};

// Sorts every unsorted row of outer indices [0, outer dim), values moving
// with their indices, so that no other matrix reads different entries
// afterwards. A row is reordered where it lies when every reader of its
// storage reads its values and indices together (m alone, clones, takes,
// stacks: see reorderable_in_place); otherwise it gets a sorted copy, all
// such copies cut from one new pair of buffers. Unsorted rows that are
// views of caller memory (not MUTABLE) are copied the same way when
// copy_views is set; otherwise no row is sorted and the outcome is
// `refused`. Caller memory is never written. Empty and single-entry rows
// never need reordering. Bookkeeping memory running out throws with m
// unchanged; the copies' data blocks failing gives `failed`, m unchanged.
template <typename V, Form F>
SortOutcome sort_rows_of(CompressedMatrix& m, bool copy_views);

// sort_rows_of(m, copy_views = false).
template <typename V, Form F>
SortOutcome ensure_sorted(CompressedMatrix& m);

// Sorts rows [0, n) of freshly built span arrays (all MUTABLE), in parallel.
template <typename V>
void sort_rows(Span* values, Span* indices, uint64_t n);

}  // namespace korvex
