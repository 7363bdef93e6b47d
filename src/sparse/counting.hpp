// Regrouping entries by outer index with a parallel counting sort: the
// machinery behind coordinate import and CSR/CSC conversion.
//
// The entries arrive in B contiguous blocks (B at most the pool's thread
// count). Each block counts its entries per target in a private histogram;
// an exclusive scan over the blocks then gives every block its own write
// cursor per target, so the scatter needs no atomics and every target
// receives its entries in block order, each block's in visiting order. The
// result is deterministic: for a conversion it comes out sorted already.
#pragma once

#include <atomic>
#include <cstdint>

#include "span/parallel.hpp"
#include "sparse/matrix.hpp"
#include "sparse/validate.hpp"

namespace korvex {

// How many blocks to count in: enough to keep every thread busy, few enough
// that the B histograms of m counters stay small next to the entries.
inline uint64_t counting_blocks(uint64_t entries, uint64_t m) {
    uint64_t b = static_cast<uint64_t>(par::thread_count());
    if (entries < (uint64_t{1} << 15)) b = 1;
    while (b > 1 && mul_or_die(b, m) > 2 * entries + (uint64_t{1} << 20)) --b;
    return b == 0 ? 1 : b;
}

enum class BucketStatus { ok, bad_target, alloc_failed };

// Buckets the entries into m targets and builds their two span arrays
// (segments of one value and one index buffer; empty targets get empty
// spans), with every target's entries sorted by inner index.
//   targets(b, f): calls f(target) for every entry of block b, in order;
//                  returns false if the block holds a target >= m.
//   entries(b, f): calls f(target, inner, value) for the same entries.
// On success `total` is the number of entries.
template <typename V, typename Targets, typename Entries>
BucketStatus bucket_entries(uint64_t m, uint64_t nblocks, const Targets& targets,
                            const Entries& entries, SpanVec& values, SpanVec& indices,
                            uint64_t& total) {
    Temp<uint64_t> counts = temp_zeroed<uint64_t>(mul_or_die(nblocks, m));
    std::atomic<bool> bad{false};
    par::for_each(nblocks, [&](uint64_t b) {
        uint64_t* c = counts.get() + b * m;
        if (!targets(b, [c](uint64_t t) { ++c[t]; })) bad.store(true);
    });
    if (bad.load()) return BucketStatus::bad_target;

    // Exclusive scan across blocks: counts becomes each block's cursor.
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
        SpanVec v = spanvec_with_capacity(m), x = spanvec_with_capacity(m);
        for (uint64_t t = 0; t < m; ++t) v.ptr[t] = x.ptr[t] = empty_span();
        v.len = x.len = m;
        values = v;
        indices = x;
        return BucketStatus::ok;
    }
    SpanVec v, x;
    if (assemble_outer(lens.get(), m, sizeof(V), /*vacant_fill=*/false, v, x))
        return BucketStatus::alloc_failed;
    Span* vs = v.ptr;
    Span* xs = x.ptr;
    par::for_each(nblocks, [&](uint64_t b) {
        uint64_t* cur = counts.get() + b * m;
        entries(b, [cur, vs, xs](uint64_t t, int64_t inner, V value) {
            uint64_t p = cur[t]++;
            static_cast<V*>(vs[t].data)[p] = value;
            static_cast<int64_t*>(xs[t].data)[p] = inner;
        });
    });
    sort_rows<V>(vs, xs, m);
    values = v;
    indices = x;
    return BucketStatus::ok;
}

}  // namespace korvex
