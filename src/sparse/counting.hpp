// Regrouping entries by outer index with a parallel counting sort: the
// machinery behind coordinate import and CSR/CSC conversion.
//
// The entries arrive in B contiguous blocks (B at most the pool's thread
// count). Every target receives its entries in block order, each block's in
// visiting order, without atomics: the result is deterministic, and for a
// conversion it comes out sorted already.
//
// Two ways of getting there:
//  - direct: each block counts its entries per target in a private
//    histogram; an exclusive scan over the blocks gives every block its own
//    cursor per target, and each block scatters its entries straight to
//    their targets. Used when there are few targets.
//  - by range: with many targets a direct scatter costs two cache misses per
//    entry. Instead each block counts per range of 2^bits targets, the
//    entries are partitioned by range into a temporary (a few hundred
//    sequential write streams), each range then counts its targets and, once
//    the buffers are made, scatters its entries into its own segments, which
//    are small enough to stay in cache. Ranges are sized to about 2^17
//    entries, so that a range's segments and its part of the temporary fit
//    a core's cache together, and the partition's fan-out stays small.
//
// A conversion's targets come out sorted by construction. Coordinate import
// sorts each range's rows right after scattering them, while they are still
// in cache, instead of in a separate pass over the whole result.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstdint>

#include "span/parallel.hpp"
#include "sparse/matrix.hpp"
#include "sparse/rowsort.hpp"
#include "sparse/validate.hpp"

namespace korvex {

// Targets up to this many are counted directly.
inline constexpr uint64_t kDirectTargets = uint64_t{1} << 16;

// How the entries are counted: `blocks` contiguous blocks of entries, and
// (with more than kDirectTargets targets) ranges of 2^bits targets.
struct CountingPlan {
    uint64_t blocks = 1;
    unsigned bits = 0;  // 0: direct
    uint64_t bins(uint64_t m) const { return bits == 0 ? m : ((m - 1) >> bits) + 1; }
};

// Range width for `entries` entries over m > kDirectTargets targets: about
// 2^17 entries per range, between 2^8 and 2^16 targets (a target's place
// within its range is kept in 16 bits), and enough ranges to keep every
// thread busy.
inline unsigned range_bits(uint64_t entries, uint64_t m) {
    unsigned bits = 16;
    while (bits > 8 && (static_cast<unsigned __int128>(entries) << bits) >
                           (static_cast<unsigned __int128>(m) << 17))
        --bits;
    auto enough = static_cast<uint64_t>(8 * par::thread_count());
    while (bits > 8 && ((m - 1) >> bits) + 1 < enough) --bits;
    return bits;
}

// How to count `entries` entries for m targets: enough blocks to keep every
// thread busy, few enough that the blocks' private histograms stay small next
// to the entries.
inline CountingPlan plan_counting(uint64_t entries, uint64_t m) {
    CountingPlan plan;
    plan.bits = m <= kDirectTargets ? 0 : range_bits(entries, m);
    uint64_t bins = plan.bins(m);
    uint64_t b = static_cast<uint64_t>(par::thread_count());
    if (entries < (uint64_t{1} << 15)) b = 1;
    while (b > 1 && mul_or_throw(b, bins) > 2 * entries + (uint64_t{1} << 20)) --b;
    plan.blocks = b == 0 ? 1 : b;
    return plan;
}

// Whether bucketing must sort each target's entries by inner index, or they
// arrive in that order already (conversion visits sources in order).
enum class RowOrder { sort, presorted };

enum class BucketStatus { ok, bad_target, alloc_failed };

namespace detail {

// Exclusive scan of a (blocks x bins) table of counts, in place, bins in
// order and blocks in order within a bin. Returns the total.
inline uint64_t scan_bins(uint64_t* table, uint64_t blocks, uint64_t bins) {
    uint64_t run = 0;
    for (uint64_t k = 0; k < bins; ++k)
        for (uint64_t b = 0; b < blocks; ++b) {
            uint64_t& c = table[b * bins + k];
            uint64_t n = c;
            c = run;
            run += n;
        }
    return run;
}

inline void fill_empty(uint64_t m, SpanVec& values, SpanVec& indices) {
    SpanVecGuard v(m), x(m);
    for (uint64_t t = 0; t < m; ++t) v.v.ptr[t] = x.v.ptr[t] = empty_span();
    v.v.len = x.v.len = m;
    values = v.take();
    indices = x.take();
}

template <typename V, typename Targets, typename Entries>
BucketStatus bucket_direct(uint64_t m, uint64_t nblocks, const Targets& targets,
                           const Entries& entries, RowOrder order, SpanVec& values,
                           SpanVec& indices, uint64_t& total) {
    Temp<uint64_t> counts = temp_zeroed<uint64_t>(mul_or_throw(nblocks, m));
    std::atomic<bool> bad{false};
    par::for_each(nblocks, [&](uint64_t b) {
        uint64_t* c = counts.get() + b * m;
        if (!targets(b, [c](uint64_t t) { ++c[t]; })) bad.store(true);
    });
    if (bad.load()) return BucketStatus::bad_target;
    // Per target, blocks in order: counts becomes each block's cursor.
    Temp<uint64_t> lens = temp_array<uint64_t>(m);
    par::for_range(m, [&](uint64_t lo, uint64_t hi) {
        for (uint64_t t = lo; t < hi; ++t) {
            uint64_t run = 0;
            for (uint64_t b = 0; b < nblocks; ++b) {
                uint64_t& c = counts[b * m + t];
                uint64_t k = c;
                c = run;
                run += k;
            }
            lens[t] = run;
        }
    });
    total = par::sum(m, [&](uint64_t t) { return lens[t]; });
    if (total == 0) {
        fill_empty(m, values, indices);
        return BucketStatus::ok;
    }
    SpanVec av, ax;
    if (assemble_outer(lens.get(), m, sizeof(V), /*vacant_fill=*/false, av, ax))
        return BucketStatus::alloc_failed;
    SpanVecGuard v(av), x(ax);
    Span* vs = av.ptr;
    Span* xs = ax.ptr;
    par::for_each(nblocks, [&](uint64_t b) {
        uint64_t* cur = counts.get() + b * m;
        entries(b, [cur, vs, xs](uint64_t t, int64_t inner, V value) {
            uint64_t p = cur[t]++;
            static_cast<V*>(vs[t].data)[p] = value;
            static_cast<int64_t*>(xs[t].data)[p] = inner;
        });
    });
    if (order == RowOrder::sort) sort_rows<V>(vs, xs, m);
    values = v.take();
    indices = x.take();
    return BucketStatus::ok;
}

template <typename V, typename Targets, typename Entries>
BucketStatus bucket_by_range(uint64_t m, const CountingPlan& plan, const Targets& targets,
                             const Entries& entries, RowOrder order, SpanVec& values,
                             SpanVec& indices, uint64_t& total) {
    const unsigned bits = plan.bits;
    const uint64_t nblocks = plan.blocks, ranges = plan.bins(m);
    const uint64_t local_mask = (uint64_t{1} << bits) - 1;
    Temp<uint64_t> start = temp_zeroed<uint64_t>(mul_or_throw(nblocks, ranges));
    std::atomic<bool> bad{false};
    par::for_each(nblocks, [&](uint64_t b) {
        uint64_t* c = start.get() + b * ranges;
        if (!targets(b, [c, bits](uint64_t t) { ++c[t >> bits]; })) bad.store(true);
    });
    if (bad.load()) return BucketStatus::bad_target;
    total = scan_bins(start.get(), nblocks, ranges);
    if (total == 0) {
        fill_empty(m, values, indices);
        return BucketStatus::ok;
    }
    Temp<uint64_t> bounds = temp_array<uint64_t>(ranges + 1);
    for (uint64_t r = 0; r < ranges; ++r) bounds[r] = start[r];  // block 0 starts each range
    bounds[ranges] = total;

    Temp<uint16_t> tmp_target = temp_array<uint16_t>(total);  // target within its range
    Temp<int64_t> tmp_inner = temp_array<int64_t>(total);
    Temp<V> tmp_value = temp_array<V>(total);
    par::for_each(nblocks, [&](uint64_t b) {
        uint64_t* cur = start.get() + b * ranges;
        uint16_t* tt = tmp_target.get();
        int64_t* ti = tmp_inner.get();
        V* tv = tmp_value.get();
        entries(b, [=](uint64_t t, int64_t inner, V value) {
            uint64_t p = cur[t >> bits]++;
            tt[p] = static_cast<uint16_t>(t & local_mask);
            ti[p] = inner;
            tv[p] = value;
        });
    });
    Temp<uint64_t> lens = temp_array<uint64_t>(m);
    par::for_each(ranges, [&](uint64_t r) {
        uint64_t lo = r << bits, hi = std::min(m, lo + local_mask + 1);
        uint64_t* l = lens.get() + lo;
        std::fill(l, l + (hi - lo), uint64_t{0});
        for (uint64_t p = bounds[r]; p < bounds[r + 1]; ++p) ++l[tmp_target[p]];
    });
    SpanVec av, ax;
    if (assemble_outer(lens.get(), m, sizeof(V), /*vacant_fill=*/false, av, ax))
        return BucketStatus::alloc_failed;
    SpanVecGuard v(av), x(ax);
    Span* vs = av.ptr;
    Span* xs = ax.ptr;
    par::for_each(ranges, [&](uint64_t r) {
        uint64_t lo = r << bits, hi = std::min(m, lo + local_mask + 1);
        // The range's lengths now live in its spans: their slots become
        // cursors. With 8-byte values both buffers have the same layout, so
        // one cursor per target, counted in elements from the range's first
        // segment, places the value and the index of an entry; the spans are
        // then read once per target rather than once per entry.
        uint64_t* cur = lens.get() + lo;
        if constexpr (sizeof(V) == sizeof(int64_t)) {
            uint64_t first = lo;
            while (first < hi && vs[first].len == 0) ++first;
            if (first == hi) return;  // no entries in this range
            V* vbase = static_cast<V*>(vs[first].data);
            int64_t* ibase = static_cast<int64_t*>(xs[first].data);
            for (uint64_t t = lo; t < hi; ++t)
                cur[t - lo] = vs[t].len ? static_cast<uint64_t>(static_cast<V*>(vs[t].data) - vbase) : 0;
            for (uint64_t p = bounds[r]; p < bounds[r + 1]; ++p) {
                uint64_t q = cur[tmp_target[p]]++;
                vbase[q] = tmp_value[p];
                ibase[q] = tmp_inner[p];
            }
        } else {
            std::fill(cur, cur + (hi - lo), uint64_t{0});
            for (uint64_t p = bounds[r]; p < bounds[r + 1]; ++p) {
                uint64_t local = tmp_target[p], t = lo + local;
                uint64_t q = cur[local]++;
                static_cast<V*>(vs[t].data)[q] = tmp_value[p];
                static_cast<int64_t*>(xs[t].data)[q] = tmp_inner[p];
            }
        }
        if (order == RowOrder::sort)
            for (uint64_t t = lo; t < hi; ++t)
                if (xs[t].len > 1)
                    sort_row(static_cast<V*>(vs[t].data), static_cast<int64_t*>(xs[t].data), xs[t].len);
    });
    values = v.take();
    indices = x.take();
    return BucketStatus::ok;
}

}  // namespace detail

// Buckets the entries into m targets and builds their two span arrays
// (segments of one value and one index buffer; empty targets get empty
// spans), with every target's entries sorted by inner index (`order` says
// whether they must be sorted or arrive sorted).
//   targets(b, f): calls f(target) for every entry of block b, in order;
//                  returns false if the block holds a target >= m.
//   entries(b, f): calls f(target, inner, value) for the same entries.
// On success `total` is the number of entries. plan comes from
// plan_counting(entries, m); its blocks are the b above.
template <typename V, typename Targets, typename Entries>
BucketStatus bucket_entries(uint64_t m, const CountingPlan& plan, const Targets& targets,
                            const Entries& entries, RowOrder order, SpanVec& values,
                            SpanVec& indices, uint64_t& total) {
    return plan.bits == 0 ? detail::bucket_direct<V>(m, plan.blocks, targets, entries, order,
                                                      values, indices, total)
                          : detail::bucket_by_range<V>(m, plan, targets, entries, order, values,
                                                        indices, total);
}

// bucket_entries into a new matrix of family `fam` and the given shape, with
// its count cached: 0, or -8 for a target outside [0, m), or -7 when the
// buffers fail.
template <typename V, typename Targets, typename Entries>
int32_t build_bucketed(Family fam, uint64_t m, const CountingPlan& plan, const Targets& targets,
                       const Entries& entries, RowOrder order, uint64_t rows, uint64_t cols,
                       CompressedMatrix** out) {
    SpanVec v, x;
    uint64_t total = 0;
    switch (bucket_entries<V>(m, plan, targets, entries, order, v, x, total)) {
        case BucketStatus::bad_target: return KORVEX_STATUS_INDEX;
        case BucketStatus::alloc_failed: return KORVEX_STATUS_ALLOC;
        case BucketStatus::ok: break;
    }
    *out = make_matrix(fam, v, x, rows, cols, true, total);
    return KORVEX_OK;
}

}  // namespace korvex
