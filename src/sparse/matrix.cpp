#include "sparse/matrix.hpp"

#include "span/parallel.hpp"

namespace korvex {

CompressedMatrix* make_matrix(SpanVec values, SpanVec indices, uint64_t rows, uint64_t cols,
                              uint64_t nnz_tag, uint64_t nnz) {
    auto* m = static_cast<CompressedMatrix*>(xmalloc(sizeof(CompressedMatrix)));
    *m = CompressedMatrix{values, indices, rows, cols, nnz_tag, nnz};
    return m;
}

CompressedMatrix* make_blank(uint64_t n, Span value_fill, Span index_fill, uint64_t rows,
                             uint64_t cols) {
    SpanVec v = spanvec_with_capacity(n), x = spanvec_with_capacity(n);
    par::for_range(n, [&](uint64_t b, uint64_t e) {
        for (uint64_t i = b; i < e; ++i) {
            v.ptr[i] = value_fill;
            x.ptr[i] = index_fill;
        }
    });
    v.len = x.len = n;
    return make_matrix(v, x, rows, cols, 1, 0);
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
    par::for_each(pieces, [&](uint64_t p) {
        uint64_t b = n * p / pieces, e = n * (p + 1) / pieces;
        share_spans(src + b, dst + b, e - b);
    });
}

SpanVec share_range(const SpanVec& v, uint64_t begin, uint64_t end) {
    SpanVec r = spanvec_with_capacity(end - begin);
    share_spans_parallel(v.ptr + begin, r.ptr, end - begin);
    r.len = end - begin;
    return r;
}

CompressedMatrix* matrix_clone(const CompressedMatrix& m) {
    SpanVec v = share_range(m.values, 0, m.values.len);
    SpanVec x = share_range(m.indices, 0, m.indices.len);
    return make_matrix(v, x, m.rows, m.cols, m.nnz_tag, m.nnz);
}

}  // namespace korvex
