#include "slice/slice.hpp"

#include <algorithm>
#include <cstring>

#include "span/parallel.hpp"

namespace korvex {

namespace {

// Outer counts at or below this run on the calling thread.
constexpr uint64_t kSequentialOuter = 255;

template <typename F>
void for_each_maybe_parallel(uint64_t n, const F& f) {
    if (n <= kSequentialOuter) {
        for (uint64_t i = 0; i < n; ++i) f(i);
    } else {
        par::for_each(n, f);
    }
}

uint64_t sum_counts(const uint64_t* counts, uint64_t n) {
    if (n > kSequentialOuter) return par::sum(n, [&](uint64_t i) { return counts[i]; });
    uint64_t s = 0;
    for (uint64_t i = 0; i < n; ++i) s += counts[i];
    return s;
}

// Number of indices below key, for ascending indices (n >= 1). On an
// unsorted row it still returns a position in [0, n].
inline uint64_t lower_bound(const int64_t* idx, uint64_t n, int64_t key) {
    uint64_t base = 0, size = n;
    while (size > 1) {
        uint64_t half = size / 2, mid = base + half;
        if (idx[mid] < key) base = mid;
        size -= half;
    }
    return base + (idx[base] < key ? 1 : 0);
}

// No outer index at all, in m's family; the count is cached as 0.
template <Form F>
CompressedMatrix* make_empty_outer(const CompressedMatrix& m, uint64_t inner) {
    return make_matrix(Family::of(m), SpanVec{}, SpanVec{}, rows_of<F>(0, inner), cols_of<F>(0, inner),
                       true, 0);
}

// The selected inner indices of an inner mask as a bit set, with the number
// of selected indices below each 64-index word: the new index of a selected
// old index is its rank among the selected ones.
struct MaskRank {
    const uint64_t* bits;
    const uint64_t* rank;
    uint64_t len;  // the mask's length

    bool selected(int64_t j) const {
        auto u = static_cast<uint64_t>(j);
        return u < len && ((bits[u >> 6] >> (u & 63)) & 1);
    }
    // Reads in bounds for any j; the result means something for selected j.
    int64_t new_index(int64_t j) const {
        auto u = static_cast<uint64_t>(j);
        uint64_t w = u < len ? u >> 6 : 0;
        uint64_t below = bits[w] & ((uint64_t{1} << (u & 63)) - 1);
        return static_cast<int64_t>(rank[w] + static_cast<uint64_t>(__builtin_popcountll(below)));
    }
};

// Writes the c selected entries of one row (indices idx, values val) to
// dv/dx with their new indices. Without branches on the mask: every entry is
// written at the next free place, which only advances past a selected one,
// so an unselected entry is overwritten by the next selected one; the loop
// ends at the row's last selected entry and never writes past the c places.
template <typename V>
[[gnu::always_inline]] inline void filter_row_body(const MaskRank& m, const int64_t* idx,
                                                   const V* val, V* dv, int64_t* dx, uint64_t c) {
    for (uint64_t q = 0, p = 0; p < c; ++q) {
        int64_t j = idx[q];
        dv[p] = val[q];
        dx[p] = m.new_index(j);
        p += m.selected(j);
    }
}

template <typename V>
using FilterRow = void (*)(const MaskRank&, const int64_t*, const V*, V*, int64_t*, uint64_t);

template <typename V>
void filter_row_plain(const MaskRank& m, const int64_t* idx, const V* val, V* dv, int64_t* dx,
                      uint64_t c) {
    filter_row_body(m, idx, val, dv, dx, c);
}

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
// The same with the POPCNT instruction (the baseline x86-64 target counts
// bits with a library call), taken when the CPU has it.
template <typename V>
[[gnu::target("popcnt")]] void filter_row_popcnt(const MaskRank& m, const int64_t* idx,
                                                 const V* val, V* dv, int64_t* dx, uint64_t c) {
    filter_row_body(m, idx, val, dv, dx, c);
}
#endif

template <typename V>
FilterRow<V> pick_filter_row() {
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
    if (__builtin_cpu_supports("popcnt")) return &filter_row_popcnt<V>;
#endif
    return &filter_row_plain<V>;
}

}  // namespace

uint64_t count_selected(const uint8_t* mask, uint64_t len) {
    // Sixteen bytes at a time (the compiler turns this into vector byte
    // compares and sums); short masks and the tail byte by byte.
    uint64_t total = 0, i = 0;
    if (len >= 64) {
        for (; i + 16 <= len; i += 16) {
            unsigned lane = 0;
            for (int k = 0; k < 16; ++k) lane += mask[i + k] != 0;
            total += lane;
        }
    }
    for (; i < len; ++i) total += mask[i] != 0;
    return total;
}

template <Form F>
int32_t slice_outer_range(const CompressedMatrix& m, uint64_t start, uint64_t end,
                          CompressedMatrix** out) {
    if (start > end || end > outer_dim<F>(m)) return KORVEX_STATUS_RANGE;
    uint64_t inner = inner_dim<F>(m), k = end - start;
    if (k == 0) {
        *out = make_empty_outer<F>(m, inner);
        return KORVEX_OK;
    }
    KORVEX_INVARIANT(m.values.len >= end && m.indices.len >= end, "span arrays shorter than the shape");
    SpanVecGuard v(share_range(m.values, start, end));
    SpanVec x = share_range(m.indices, start, end);
    *out = make_matrix(Family::of(m), v.take(), x, rows_of<F>(k, inner), cols_of<F>(k, inner), false, 0);
    return KORVEX_OK;
}

template <typename V, Form F>
int32_t slice_inner_range(const CompressedMatrix& m, uint64_t start, uint64_t end,
                          CompressedMatrix** out) {
    uint64_t n = outer_dim<F>(m), inner = inner_dim<F>(m);
    if (start > end || end > inner) return KORVEX_STATUS_RANGE;
    uint64_t width = end - start;
    if (width == 0 || n == 0) {
        *out = make_vacant<V, F>(n, rows_of<F>(n, width), cols_of<F>(n, width));
        return KORVEX_OK;
    }
    KORVEX_INVARIANT(m.values.len >= n && m.indices.len >= n, "span arrays shorter than the shape");
    const Span* vs = m.values.ptr;
    const Span* xs = m.indices.ptr;
    auto lo = static_cast<int64_t>(start);
    // A bound of 2^63 or more lies above every stored (signed) index.
    auto bound = [](const int64_t* idx, uint64_t len, uint64_t key) {
        return key > uint64_t(INT64_MAX) ? len : lower_bound(idx, len, static_cast<int64_t>(key));
    };
    auto kept = [&](uint64_t i, uint64_t& first) -> uint64_t {
        uint64_t len = xs[i].len;
        if (len == 0) return 0;
        const int64_t* idx = static_cast<const int64_t*>(xs[i].data);
        uint64_t a = bound(idx, len, start), b = bound(idx, len, end);
        first = a;
        uint64_t c = b >= a ? b - a : 0;
        return std::min(c, vs[i].len - std::min(a, vs[i].len));  // never past the values
    };
    Temp<uint64_t> counts = temp_array<uint64_t>(n);
    for_each_maybe_parallel(n, [&](uint64_t i) {
        uint64_t first = 0;
        counts[i] = kept(i, first);
    });
    uint64_t total = sum_counts(counts.get(), n);
    if (total == 0) {
        *out = make_vacant<V, F>(n, rows_of<F>(n, width), cols_of<F>(n, width));
        return KORVEX_OK;
    }
    SpanVec v, x;
    auto fill = [&](uint64_t i, void* vals, int64_t* dst, uint64_t c) {
        uint64_t first = 0;
        kept(i, first);
        copy_elements(static_cast<V*>(vals), static_cast<const V*>(vs[i].data) + first, c);
        const int64_t* src = static_cast<const int64_t*>(xs[i].data) + first;
        for (uint64_t k = 0; k < c; ++k) dst[k] = src[k] - lo;
    };
    if (assemble_outer(counts.get(), n, sizeof(V), /*vacant_fill=*/true, v, x, fill))
        return KORVEX_STATUS_ALLOC;
    *out = make_matrix(Family::of<V, F>(), v, x, rows_of<F>(n, width), cols_of<F>(n, width), true, total);
    return KORVEX_OK;
}

template <Form F>
int32_t slice_outer_mask(const CompressedMatrix& m, const uint8_t* mask, uint64_t mask_len,
                         CompressedMatrix** out) {
    uint64_t n = outer_dim<F>(m), inner = inner_dim<F>(m);
    if (mask_len != n) return KORVEX_STATUS_LENGTH;
    uint64_t k = count_selected(mask, mask_len);
    if (k == 0) {
        *out = make_empty_outer<F>(m, inner);
        return KORVEX_OK;
    }
    KORVEX_INVARIANT(m.values.len >= n && m.indices.len >= n, "span arrays shorter than the shape");
    SpanVecGuard v(k), x(k);
    // Pieces of the mask copy their selected descriptors, in order, from
    // their own start (the kept count before them), adding references in
    // runs.
    const par::Pieces rows = par::pieces_of(n, 8);
    const uint64_t pieces = rows.count;
    Temp<uint64_t> start = temp_array<uint64_t>(pieces);
    par::collect(pieces, start.get(), [&](uint64_t p) {
        return count_selected(mask + rows.begin(p), rows.end(p) - rows.begin(p));
    });
    for (uint64_t p = 0, run = 0; p < pieces; ++p) {
        uint64_t c = start[p];
        start[p] = run;
        run += c;
    }
    Span* vs = v.v.ptr;
    Span* xs = x.v.ptr;
    auto end = [&](uint64_t p) { return p + 1 < pieces ? start[p + 1] : k; };
    for_each_piece_undoable(
        pieces,
        [&](uint64_t p) {
            uint64_t first = start[p], at = first;
            for (uint64_t i = rows.begin(p), e = rows.end(p); i < e; ++i) {
                if (!mask[i]) continue;
                vs[at] = m.values.ptr[i];
                xs[at] = m.indices.ptr[i];
                ++at;
            }
            share_spans(vs + first, vs + first, at - first);
            share_spans(xs + first, xs + first, at - first);
        },
        [&](uint64_t p) {
            for (uint64_t i = start[p]; i < end(p); ++i) {
                span_release(vs[i]);
                span_release(xs[i]);
            }
        });
    v.v.len = x.v.len = k;
    *out = make_matrix(Family::of(m), v.take(), x.take(), rows_of<F>(k, inner), cols_of<F>(k, inner), false,
                       0);
    return KORVEX_OK;
}

template <typename V, Form F>
int32_t slice_inner_mask(const CompressedMatrix& m, const uint8_t* mask, uint64_t mask_len,
                         CompressedMatrix** out) {
    uint64_t n = outer_dim<F>(m), inner = inner_dim<F>(m);
    if (mask_len != inner) return KORVEX_STATUS_LENGTH;
    uint64_t k = count_selected(mask, mask_len);
    if (k == 0 || n == 0) {
        *out = make_vacant<V, F>(n, rows_of<F>(n, k), cols_of<F>(n, k));
        return KORVEX_OK;
    }
    KORVEX_INVARIANT(m.values.len >= n && m.indices.len >= n, "span arrays shorter than the shape");
    // The new index of a selected old index j is its rank among the selected
    // ones. Kept as a bit set plus one running count per 64 indices, which
    // stays in cache where a table of one new index per old index would not.
    uint64_t words = (mask_len + 63) / 64;
    Temp<uint64_t> bits = temp_zeroed<uint64_t>(words);
    Temp<uint64_t> rank = temp_array<uint64_t>(words);
    for (uint64_t j = 0; j < mask_len; ++j) bits[j >> 6] |= uint64_t{mask[j] != 0} << (j & 63);
    for (uint64_t w = 0, run = 0; w < words; ++w) {
        rank[w] = run;
        run += static_cast<uint64_t>(__builtin_popcountll(bits[w]));
    }
    const Span* vs = m.values.ptr;
    const Span* xs = m.indices.ptr;
    const MaskRank sel{bits.get(), rank.get(), mask_len};
    // Entries are only ever read up to the shorter of the two spans, and an
    // index outside the mask (negative ones included) is never kept.
    auto row_len = [&](uint64_t i) { return std::min(vs[i].len, xs[i].len); };
    Temp<uint64_t> counts = temp_array<uint64_t>(n);
    for_each_maybe_parallel(n, [&](uint64_t i) {
        const int64_t* idx = static_cast<const int64_t*>(xs[i].data);
        uint64_t c = 0;
        for (uint64_t q = 0, len = row_len(i); q < len; ++q) c += sel.selected(idx[q]);
        counts[i] = c;
    });
    uint64_t total = sum_counts(counts.get(), n);
    if (total == 0) {
        *out = make_vacant<V, F>(n, rows_of<F>(n, k), cols_of<F>(n, k));
        return KORVEX_OK;
    }
    SpanVec v, x;
    const FilterRow<V> filter_row = pick_filter_row<V>();
    auto fill = [&](uint64_t i, void* vals, int64_t* dx, uint64_t c) {
        filter_row(sel, static_cast<const int64_t*>(xs[i].data), static_cast<const V*>(vs[i].data),
                   static_cast<V*>(vals), dx, c);
    };
    if (assemble_outer(counts.get(), n, sizeof(V), /*vacant_fill=*/true, v, x, fill))
        return KORVEX_STATUS_ALLOC;
    *out = make_matrix(Family::of<V, F>(), v, x, rows_of<F>(n, k), cols_of<F>(n, k), true, total);
    return KORVEX_OK;
}

template int32_t slice_outer_range<Form::csr>(const CompressedMatrix&, uint64_t, uint64_t, CompressedMatrix**);
template int32_t slice_outer_range<Form::csc>(const CompressedMatrix&, uint64_t, uint64_t, CompressedMatrix**);
template int32_t slice_outer_mask<Form::csr>(const CompressedMatrix&, const uint8_t*, uint64_t, CompressedMatrix**);
template int32_t slice_outer_mask<Form::csc>(const CompressedMatrix&, const uint8_t*, uint64_t, CompressedMatrix**);
#define KORVEX_INSTANTIATE(V, F)                                                                      \
    template int32_t slice_inner_range<V, F>(const CompressedMatrix&, uint64_t, uint64_t,             \
                                             CompressedMatrix**);                                     \
    template int32_t slice_inner_mask<V, F>(const CompressedMatrix&, const uint8_t*, uint64_t,        \
                                            CompressedMatrix**);
KORVEX_FOR_EACH_FAMILY(KORVEX_INSTANTIATE)
#undef KORVEX_INSTANTIATE

}  // namespace korvex
