#include "sparse/matrix.hpp"

#include "span/parallel.hpp"

namespace korvex {

CompressedMatrix* make_matrix(Family fam, SpanVec values, SpanVec indices, uint64_t rows,
                              uint64_t cols, bool cached, uint64_t nnz) {
    KORVEX_INVARIANT((fam.bits & ~Family::kMask) == 0 && (fam.bits & Family::kStamped),
                     "a record without a family");
    SpanVecGuard v(values), x(indices);
    auto* m = static_cast<CompressedMatrix*>(xmalloc(sizeof(CompressedMatrix)));
    *m = CompressedMatrix{v.take(), x.take(), rows, cols, fam.bits | (cached ? kNnzCached : 0), nnz};
    return m;
}

CompressedMatrix* make_blank(Family fam, uint64_t n, Span value_fill, Span index_fill,
                             uint64_t rows, uint64_t cols) {
    SpanVecGuard v(n), x(n);  // the fills hold no references
    par::for_range(n, [&](uint64_t b, uint64_t e) {
        for (uint64_t i = b; i < e; ++i) {
            v.v.ptr[i] = value_fill;
            x.v.ptr[i] = index_fill;
        }
    });
    v.v.len = x.v.len = n;
    return make_matrix(fam, v.take(), x.take(), rows, cols, true, 0);
}

void matrix_free(CompressedMatrix* m) noexcept {
    if (!m) return;
    spanvec_release(m->values);
    spanvec_release(m->indices);
    xfree(m, sizeof(CompressedMatrix));
}

void share_spans_parallel(const Span* src, Span* dst, uint64_t n) {
    constexpr uint64_t kSequentialSpans = 4095;
    if (n <= kSequentialSpans) {
        share_spans(src, dst, n);
        return;
    }
    // Pieces of at least a few thousand spans keep the reference runs long.
    uint64_t pieces = (n + kSequentialSpans) / (kSequentialSpans + 1);
    auto begin = [&](uint64_t p) { return n * p / pieces; };
    for_each_piece_undoable(
        pieces, [&](uint64_t p) { share_spans(src + begin(p), dst + begin(p), begin(p + 1) - begin(p)); },
        [&](uint64_t p) {
            for (uint64_t i = begin(p); i < begin(p + 1); ++i) span_release(dst[i]);
        });
}

SpanVec share_range(const SpanVec& v, uint64_t begin, uint64_t end) {
    SpanVecGuard r(end - begin);
    share_spans_parallel(v.ptr + begin, r.v.ptr, end - begin);
    r.v.len = end - begin;
    return r.take();
}

CompressedMatrix* matrix_clone(const CompressedMatrix& m) {
    SpanVecGuard v(share_range(m.values, 0, m.values.len));
    SpanVec x = share_range(m.indices, 0, m.indices.len);
    return make_matrix(Family::of(m), v.take(), x, m.rows, m.cols, has_cached_nnz(m), m.nnz);
}

}  // namespace korvex
