#include <atomic>

#include "convert/convert.hpp"
#include "sparse/counting.hpp"
#include "sparse/stats.hpp"

namespace korvex {

template <typename V, Form F>
int32_t convert_form(const CompressedMatrix& src, CompressedMatrix** out) {
    uint64_t n = outer_dim<F>(src), m = inner_dim<F>(src);
    const Span* vs = src.values.ptr;
    const Span* xs = src.indices.ptr;
    if (src.values.len < n || src.indices.len < n) return KORVEX_STATUS_INDEX;

    // One pass over the descriptors, in pieces: each piece's entry count,
    // and whether some row's value and index spans disagree.
    const par::Pieces cut = par::pieces_of(n, 16);
    Temp<uint64_t> piece_sum = temp_array<uint64_t>(cut.count);
    std::atomic<bool> mismatch{false};
    par::for_each(cut.count, [&](uint64_t p) {
        uint64_t sum = 0;
        bool bad = false;
        for (uint64_t s = cut.begin(p), e = cut.end(p); s < e; ++s) {
            bad |= vs[s].len != xs[s].len;
            sum += xs[s].len;
        }
        if (bad) mismatch.store(true, std::memory_order_relaxed);
        piece_sum[p] = sum;
    });
    if (mismatch.load()) return KORVEX_STATUS_INDEX;
    uint64_t entries_total = 0;
    for (uint64_t p = 0; p < cut.count; ++p) entries_total += piece_sum[p];

    // Blocks of source outer indices holding about equal numbers of entries:
    // block b starts after the row where the running count first reaches
    // its share, found by skipping whole pieces and scanning one.
    const CountingPlan plan = plan_counting(entries_total, m);
    const uint64_t nblocks = plan.blocks;
    Temp<uint64_t> bounds = temp_array<uint64_t>(nblocks + 1);
    {
        const par::Pieces share{entries_total, nblocks};
        uint64_t b = 1, run = 0, p = 0;
        bounds[0] = 0;
        while (b < nblocks && p < cut.count) {
            if (run + piece_sum[p] < share.begin(b)) {
                run += piece_sum[p++];
                continue;
            }
            for (uint64_t s = cut.begin(p), e = cut.end(p); s < e && b < nblocks; ++s) {
                run += xs[s].len;
                while (b < nblocks && run >= share.begin(b)) bounds[b++] = s + 1;
            }
            ++p;
        }
        while (b < nblocks) bounds[b++] = n;
        bounds[nblocks] = n;
    }
    auto targets = [&](uint64_t b, auto&& f) {
        for (uint64_t s = bounds[b]; s < bounds[b + 1]; ++s) {
            const int64_t* idx = static_cast<const int64_t*>(xs[s].data);
            for (uint64_t j = 0, len = xs[s].len; j < len; ++j) {
                auto t = static_cast<uint64_t>(idx[j]);
                if (t >= m) return false;
                f(t);
            }
        }
        return true;
    };
    auto entries = [&](uint64_t b, auto&& f) {
        for (uint64_t s = bounds[b]; s < bounds[b + 1]; ++s) {
            const int64_t* idx = static_cast<const int64_t*>(xs[s].data);
            const V* val = static_cast<const V*>(vs[s].data);
            for (uint64_t j = 0, len = xs[s].len; j < len; ++j)
                f(static_cast<uint64_t>(idx[j]), static_cast<int64_t>(s), val[j]);
        }
    };
    // Sources are visited in order, so every target's entries arrive sorted.
    return build_bucketed<V>(Family::of<V, other(F)>(), m, plan, targets, entries, RowOrder::presorted, src.rows, src.cols,
                             out);
}

#define KORVEX_INSTANTIATE(V, F) \
    template int32_t convert_form<V, F>(const CompressedMatrix&, CompressedMatrix**);
KORVEX_FOR_EACH_FAMILY(KORVEX_INSTANTIATE)
#undef KORVEX_INSTANTIATE

}  // namespace korvex
