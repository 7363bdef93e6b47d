// Entry-balanced work plans: the outer indices of a matrix cut into pieces
// of near-equal work (stored entries plus a small cost per outer index), so
// that a few long rows do not leave one thread with most of the entries.
// Used by every loop over entries (arithmetic, value maps, two-operand
// operations).
#pragma once

#include <cstdint>

#include "span/base.hpp"
#include "span/span.hpp"

namespace korvex {

// Outer indices [begin, end), or, when `part` is set, entries [from, to) of
// the one outer index `begin` (a row longer than a piece, split across
// several consecutive pieces). `offset` is the byte offset of the first
// outer index's segment in a value buffer laid out like a span batch over
// the non-empty outer indices (plans made with a width only).
struct Piece {
    uint64_t begin, end;
    uint64_t from, to;
    uint64_t offset;
    bool part;
};

struct Plan {
    Temp<Piece> pieces;
    uint64_t count = 0;     // pieces in use
    uint64_t entries = 0;   // stored entries (value span lengths)
    uint64_t bytes = 0;     // value buffer size (plans made with a width)
    uint64_t segments = 0;  // non-empty outer indices
    bool overflow = false;  // the value buffer size does not fit 64 bits
};

// A plan over the n value spans `values`. With width > 0 it also lays out a
// value buffer of elements of `width` bytes (32-byte segments, empty outer
// indices taking none). Reads each span's length once, in parallel.
Plan make_plan(const Span* values, uint64_t n, uint64_t width);

}  // namespace korvex
