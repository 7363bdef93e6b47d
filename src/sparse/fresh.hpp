// Fresh values over shared indices: the assembly of a result that keeps a
// source's index spans (one more reference each, no index copied) and gets
// value spans of its own, cut from one new data block laid out like a span
// batch (so large results get the data-block allocator's huge pages). Value
// maps and scalings build their results with it; so can any operation that
// changes values but not positions.
#pragma once

#include <atomic>

#include "korvex.h"
#include "span/parallel.hpp"
#include "sparse/matrix.hpp"
#include "sparse/plan.hpp"

namespace korvex {

// A new matrix of family `fam` and m's shape over m's n = outer-dim index
// spans, with fresh value spans of V: fill(i, from, to, dst) writes values
// [from, to) of outer index i to dst[0, to - from), and returns false when
// they cannot be made. It runs in parallel over an entry-balanced plan (a
// long row in several parts). Outer indices without entries keep their
// span (vacant or empty). The result's nnz is cached. Statuses: 0;
// KORVEX_STATUS_INDEX when a span array's length is not n or fill fails;
// KORVEX_STATUS_ALLOC when the block cannot be had. On failure (returned or
// thrown) nothing stays allocated; m is never changed.
template <typename V, typename Fill>
int32_t fresh_values_over_shared_indices(const CompressedMatrix& m, uint64_t n, Family fam,
                                         const Fill& fill, CompressedMatrix** out) {
    if (m.values.len != n || m.indices.len != n) return KORVEX_STATUS_INDEX;
    const Span* vals = m.values.ptr;
    const Span* idxs = m.indices.ptr;
    Plan plan = make_plan(vals, n, sizeof(V));
    if (plan.overflow) return KORVEX_STATUS_ALLOC;
    // Declared before the span arrays: should anything below throw, the
    // arrays go first (releasing the spans placed once the block is theirs),
    // then the block if it is still this record's.
    BatchBuffer block;
    SpanVecGuard v(spanvec_with_capacity(n)), x(spanvec_with_capacity(n));  // length 0: no releases
    if (plan.segments && block.make(plan.bytes, plan.segments)) return KORVEX_STATUS_ALLOC;
    unsigned char* base = block.data();
    std::atomic<bool> bad{false};
    Span* dst = v.v.ptr;
    par::for_each(plan.count, [&](uint64_t p) {
        if (bad.load(std::memory_order_relaxed)) return;
        const Piece& pc = plan.pieces[p];
        if (pc.part) {
            const uint64_t len = vals[pc.begin].len;
            V* seg = reinterpret_cast<V*>(base + pc.offset);
            if (pc.from == 0) dst[pc.begin] = Span{seg, block.owner(), len, kFlagsOwned};
            if (!fill(pc.begin, pc.from, pc.to, seg + pc.from)) bad.store(true, std::memory_order_relaxed);
            return;
        }
        uint64_t off = pc.offset;
        for (uint64_t i = pc.begin; i < pc.end; ++i) {
            const Span s = vals[i];
            if (s.len == 0) {  // vacant and empty spans stay as they are
                dst[i] = s.owner ? empty_span() : s;
                continue;
            }
            V* seg = reinterpret_cast<V*>(base + off);
            dst[i] = Span{seg, block.owner(), s.len, kFlagsOwned};
            if (!fill(i, 0, s.len, seg)) {
                bad.store(true, std::memory_order_relaxed);
                return;
            }
            off += (s.len * sizeof(V) + 31) / 32 * 32;
        }
    });
    if (bad.load()) return KORVEX_STATUS_INDEX;
    v.v.len = n;
    block.placed();  // the block's references now live in v
    share_spans_parallel(idxs, x.v.ptr, n);
    x.v.len = n;
    SpanVec values = v.take(), indices = x.take();  // make_matrix owns them, even if it throws
    *out = make_matrix(fam, values, indices, m.rows, m.cols, true, plan.entries);
    return KORVEX_OK;
}

}  // namespace korvex
