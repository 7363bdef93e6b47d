// The matrix record, its lifecycle, and the outer/inner view of its shape.
#pragma once

#include <cstdint>
#include <cstring>
#include <optional>

#include "korvex.h"
#include "span/span.hpp"

// The 80-byte record behind every handle. One value span and one index span
// per outer index (rows for CSR, columns for CSC); the record owns both
// arrays and one reference per span.
struct CompressedMatrix {
    korvex::SpanVec values;   // element type V
    korvex::SpanVec indices;  // element type int64_t
    uint64_t rows;
    uint64_t cols;
    uint64_t nnz_tag;  // bit 0: `nnz` holds the count; bits 8-15: the family (korvex::Family)
    uint64_t nnz;
};
static_assert(sizeof(CompressedMatrix) == 80);

namespace korvex {

enum class Form { csr, csc };

// The family a record was built for: its value type and form. make_matrix
// writes it into bits 8-15 of the nnz tag and nothing changes it after that
// (the count bit 0 is set and cleared beside it), so every export can refuse
// a handle of another family before touching it. A record never stamped
// (all bits 0) belongs to no family.
struct Family {
    uint64_t bits;

    static constexpr uint64_t kStamped = 1u << 8, kCsc = 1u << 9, kF64 = 1u << 10,
                              kMask = 0xFFu << 8;
    template <typename V, Form F>
    static constexpr Family of() {
        static_assert(sizeof(V) == 4 || sizeof(V) == 8);
        return Family{kStamped | (F == Form::csc ? kCsc : 0) | (sizeof(V) == 8 ? kF64 : 0)};
    }
    static Family of(const CompressedMatrix& m) { return Family{m.nnz_tag & kMask}; }
    // The same value type in the other form (a transpose over shared spans).
    constexpr Family other_form() const { return Family{bits ^ kCsc}; }
    constexpr bool operator==(const Family&) const = default;
};

// m belongs to the family of <V, F>: one compare.
template <typename V, Form F>
inline bool is_family(const CompressedMatrix& m) {
    return (m.nnz_tag & Family::kMask) == Family::of<V, F>().bits;
}
// m has form F, whatever its value type (for the operations that never
// touch values and serve both value types).
template <Form F>
inline bool is_form(const CompressedMatrix& m) {
    constexpr uint64_t want = Family::kStamped | (F == Form::csc ? Family::kCsc : 0);
    return (m.nnz_tag & (Family::kStamped | Family::kCsc)) == want;
}

// The nnz cache, beside the family bits.
inline constexpr uint64_t kNnzCached = 1;
inline bool has_cached_nnz(const CompressedMatrix& m) { return (m.nnz_tag & kNnzCached) != 0; }
// Tag first, then the count.
inline void cache_nnz(CompressedMatrix& m, uint64_t nnz) {
    m.nnz_tag |= kNnzCached;
    m.nnz = nnz;
}
inline void forget_nnz(CompressedMatrix& m) { m.nnz_tag &= ~kNnzCached; }

template <Form F>
inline uint64_t outer_dim(const CompressedMatrix& m) { return F == Form::csr ? m.rows : m.cols; }
template <Form F>
inline uint64_t inner_dim(const CompressedMatrix& m) { return F == Form::csr ? m.cols : m.rows; }
// rows and cols of a matrix of form F with the given outer and inner dims.
template <Form F>
inline uint64_t rows_of(uint64_t outer, uint64_t inner) { return F == Form::csr ? outer : inner; }
template <Form F>
inline uint64_t cols_of(uint64_t outer, uint64_t inner) { return F == Form::csr ? inner : outer; }

inline constexpr Form other(Form f) { return f == Form::csr ? Form::csc : Form::csr; }

// The one constructor of every record: a matrix of family `fam`. Takes
// ownership of both arrays, also when it throws (they are released then).
// `cached` false means no cached count.
CompressedMatrix* make_matrix(Family fam, SpanVec values, SpanVec indices, uint64_t rows,
                              uint64_t cols, bool cached, uint64_t nnz);
// A matrix whose n outer indices all hold the given spans (no owners), with
// nnz cached as 0. Used for results without entries.
CompressedMatrix* make_blank(Family fam, uint64_t n, Span value_fill, Span index_fill,
                             uint64_t rows, uint64_t cols);
// A matrix of family <V, F> without entries whose n outer indices all hold
// vacant spans (what copying operations give their empty rows).
template <typename V, Form F>
CompressedMatrix* make_vacant(uint64_t n, uint64_t rows, uint64_t cols) {
    return make_blank(Family::of<V, F>(), n, vacant_span(sizeof(V)), vacant_span(8), rows, cols);
}
void matrix_free(CompressedMatrix* m) noexcept;
// New record sharing every span of m (one more reference each), family,
// shape and cache copied.
CompressedMatrix* matrix_clone(const CompressedMatrix& m);
// Copies of spans [begin, end) of v, each with its own reference.
SpanVec share_range(const SpanVec& v, uint64_t begin, uint64_t end);
// share_spans over n spans, split across the pool from 4096 spans on. All or
// nothing: if it throws, no reference was added.
void share_spans_parallel(const Span* src, Span* dst, uint64_t n);

// Outer assembly: two arrays of n spans each. Outer index i with lens[i] > 0
// gets a segment of one new value buffer (elements of vwidth bytes) and one
// of a new index buffer, and fill(i, values, indices, len) writes its
// elements; every other index gets vacant spans (vacant_fill) or empty
// spans. On failure (returned or thrown) nothing stays allocated and
// `values`/`indices` are untouched.
template <typename Fill>
std::optional<SpanBatchError> assemble_outer(const uint64_t* lens, uint64_t n, uint64_t vwidth,
                                             bool vacant_fill, SpanVec& values, SpanVec& indices,
                                             const Fill& fill) {
    SpanVecGuard v(n), x(n);  // length 0 until placed: freed without releases
    auto err = place_span_pair(lens, n, vwidth, vacant_fill ? vacant_span(vwidth) : empty_span(),
                               vacant_fill ? vacant_span(8) : empty_span(), v.v.ptr, x.v.ptr, fill);
    if (err) return err;
    v.v.len = x.v.len = n;
    values = v.take();
    indices = x.take();
    return std::nullopt;
}

// The same, leaving the segments' elements zero for the caller to write.
inline std::optional<SpanBatchError> assemble_outer(const uint64_t* lens, uint64_t n,
                                                    uint64_t vwidth, bool vacant_fill,
                                                    SpanVec& values, SpanVec& indices) {
    return assemble_outer(lens, n, vwidth, vacant_fill, values, indices,
                          [](uint64_t, void*, int64_t*, uint64_t) {});
}

// Copies n elements; short rows (the common case) without a call.
template <typename T>
inline void copy_elements(T* dst, const T* src, uint64_t n) {
    if (n <= 8) {
        for (uint64_t k = 0; k < n; ++k) dst[k] = src[k];
    } else {
        std::memcpy(dst, src, n * sizeof(T));
    }
}

}  // namespace korvex

// Expands X(V, F) once for each of the four families, for explicit
// instantiation of the operation templates.
#define KORVEX_FOR_EACH_FAMILY(X)                                                         \
    X(float, ::korvex::Form::csr) X(float, ::korvex::Form::csc) X(double, ::korvex::Form::csr) \
        X(double, ::korvex::Form::csc)
