// Selection by lists of positions, in any order and with repeats. Along the
// outer dimension the result shares the source's span descriptors (one more
// reference per taken span); along the inner one the selected entries are
// copied into two new buffers.
#include <algorithm>
#include <atomic>
#include <cstring>

#include "slice/slice.hpp"
#include "span/parallel.hpp"

namespace korvex {

namespace {

// Position counts at or below this run on the calling thread.
constexpr uint64_t kSequentialPositions = 2047;
// Outer counts at or below this run on the calling thread.
constexpr uint64_t kSequentialOuter = 255;
constexpr uint64_t kNone = UINT64_MAX;

template <typename Pred>
bool any_position(uint64_t n, const Pred& pred) {
    if (n > kSequentialPositions) return par::any(n, pred);
    for (uint64_t i = 0; i < n; ++i)
        if (pred(i)) return true;
    return false;
}

template <typename F>
void for_each_outer(uint64_t n, const F& f) {
    if (n <= kSequentialOuter) {
        for (uint64_t i = 0; i < n; ++i) f(i);
    } else {
        par::for_each(n, f);
    }
}

// For every inner index j, the result positions k with pos[k] == j in
// increasing order. Two layouts: a chain table over the whole inner
// dimension (head per inner index, next per position), and, when the inner
// dimension is much larger than the list, the (index, position) pairs
// sorted, searched per entry.
class PositionTable {
public:
    PositionTable(const uint64_t* pos, uint64_t k, uint64_t inner)
        : chained_(inner <= 64 * k + (uint64_t{1} << 16)),
          k_(k),
          head_(temp_array<uint64_t>(chained_ ? inner : 0)),
          next_(temp_array<uint64_t>(chained_ ? k : 0)),
          keys_(temp_array<uint64_t>(chained_ ? 0 : k)),
          order_(temp_array<uint64_t>(chained_ ? 0 : k)) {
        if (chained_) {
            uint64_t* h = head_.get();
            par::for_range(inner, [&](uint64_t b, uint64_t e) { std::fill(h + b, h + e, kNone); });
            for (uint64_t t = k; t-- > 0;) {
                next_[t] = head_[pos[t]];
                head_[pos[t]] = t;
            }
        } else {
            for (uint64_t t = 0; t < k; ++t) order_[t] = t;
            std::sort(order_.get(), order_.get() + k, [&](uint64_t a, uint64_t b) {
                return pos[a] != pos[b] ? pos[a] < pos[b] : a < b;
            });
            for (uint64_t t = 0; t < k; ++t) keys_[t] = pos[order_[t]];
        }
    }
    // f(position) for each position naming inner index j (j < inner).
    template <typename Visit>
    [[gnu::always_inline]] void visit(uint64_t j, const Visit& f) const {
        if (chained_) {
            for (uint64_t t = head_[j]; t != kNone; t = next_[t]) f(t);
        } else {
            const uint64_t* keys = keys_.get();
            for (uint64_t t = std::lower_bound(keys, keys + k_, j) - keys; t < k_ && keys[t] == j; ++t)
                f(order_[t]);
        }
    }

private:
    bool chained_;
    uint64_t k_;
    Temp<uint64_t> head_, next_, keys_, order_;
};

}  // namespace

template <Form F>
int32_t take_outer(const CompressedMatrix& m, const uint64_t* pos, uint64_t n, CompressedMatrix** out) {
    uint64_t dim = outer_dim<F>(m), inner = inner_dim<F>(m);
    if (any_position(n, [&](uint64_t i) { return pos[i] >= dim; })) return KORVEX_STATUS_RANGE;
    if (n == 0) {
        *out = make_matrix(Family::of(m), SpanVec{}, SpanVec{}, rows_of<F>(0, inner), cols_of<F>(0, inner), true,
                           0);
        return KORVEX_OK;
    }
    KORVEX_INVARIANT(m.values.len >= dim && m.indices.len >= dim, "span arrays shorter than the shape");
    SpanVecGuard v(n), x(n);
    // Each piece copies its descriptors, then adds their references in runs
    // over the same buffer. Only the pool itself can fail; then the pieces
    // that finished give their references back.
    auto gather = [&](uint64_t b, uint64_t e) {
        for (uint64_t i = b; i < e; ++i) {
            v.v.ptr[i] = m.values.ptr[pos[i]];
            x.v.ptr[i] = m.indices.ptr[pos[i]];
        }
        share_spans(v.v.ptr + b, v.v.ptr + b, e - b);
        share_spans(x.v.ptr + b, x.v.ptr + b, e - b);
    };
    if (n <= kSequentialPositions) {
        gather(0, n);
    } else {
        const par::Pieces cut = par::pieces_of(n, 4);
        for_each_piece_undoable(
            cut.count, [&](uint64_t p) { gather(cut.begin(p), cut.end(p)); },
            [&](uint64_t p) {
                for (uint64_t i = cut.begin(p); i < cut.end(p); ++i) {
                    span_release(v.v.ptr[i]);
                    span_release(x.v.ptr[i]);
                }
            });
    }
    v.v.len = x.v.len = n;
    *out = make_matrix(Family::of(m), v.take(), x.take(), rows_of<F>(n, inner), cols_of<F>(n, inner),
                       false, 0);
    return KORVEX_OK;
}

template <typename V, Form F>
int32_t take_inner(const CompressedMatrix& m, const uint64_t* pos, uint64_t k, CompressedMatrix** out) {
    uint64_t n = outer_dim<F>(m), inner = inner_dim<F>(m);
    if (any_position(k, [&](uint64_t t) { return pos[t] >= inner; })) return KORVEX_STATUS_RANGE;
    const uint64_t rows = rows_of<F>(n, k), cols = cols_of<F>(n, k);
    if (k == 0 || n == 0) {
        *out = make_vacant<V, F>(n, rows, cols);
        return KORVEX_OK;
    }
    KORVEX_INVARIANT(m.values.len >= n && m.indices.len >= n, "span arrays shorter than the shape");
    const Span* vs = m.values.ptr;
    const Span* xs = m.indices.ptr;
    const PositionTable table(pos, k, inner);

    // Entries per result row, checking every index and every row's pair of
    // spans on the way. A count that does not fit 64 bits saturates (its
    // buffers then cannot be made).
    Temp<uint64_t> counts = temp_array<uint64_t>(n);
    std::atomic<bool> bad{false};
    for_each_outer(n, [&](uint64_t i) {
        uint64_t len = xs[i].len, c = 0;
        if (vs[i].len != len) {
            bad.store(true, std::memory_order_relaxed);
            len = 0;
        }
        const int64_t* idx = static_cast<const int64_t*>(xs[i].data);
        for (uint64_t q = 0; q < len; ++q) {
            auto j = static_cast<uint64_t>(idx[q]);
            if (j >= inner) {
                bad.store(true, std::memory_order_relaxed);
                break;
            }
            table.visit(j, [&](uint64_t) { c += c != UINT64_MAX; });
        }
        counts[i] = c;
    });
    if (bad.load()) return KORVEX_STATUS_INDEX;
    uint64_t total = 0;
    bool overflow = false;
    for (uint64_t i = 0; i < n; ++i) overflow |= __builtin_add_overflow(total, counts[i], &total);
    if (overflow) return KORVEX_STATUS_ALLOC;
    if (total == 0) {
        *out = make_vacant<V, F>(n, rows, cols);
        return KORVEX_OK;
    }

    // Each entry once per position naming its index, positions in
    // increasing order; never more than the counted places.
    auto fill = [&](uint64_t i, void* vals, int64_t* dx, uint64_t c) {
        V* dv = static_cast<V*>(vals);
        const int64_t* idx = static_cast<const int64_t*>(xs[i].data);
        const V* val = static_cast<const V*>(vs[i].data);
        uint64_t p = 0;
        for (uint64_t q = 0, len = xs[i].len; q < len && p < c; ++q) {
            auto j = static_cast<uint64_t>(idx[q]);
            if (j >= inner) break;
            table.visit(j, [&](uint64_t t) {
                if (p < c) {
                    dv[p] = val[q];
                    dx[p] = static_cast<int64_t>(t);
                    ++p;
                }
            });
        }
    };
    SpanVec v, x;
    if (assemble_outer(counts.get(), n, sizeof(V), /*vacant_fill=*/true, v, x, fill))
        return KORVEX_STATUS_ALLOC;
    *out = make_matrix(Family::of<V, F>(), v, x, rows, cols, true, total);
    return KORVEX_OK;
}

namespace {

// Entries at or below this are copied on the calling thread.
constexpr uint64_t kSequentialEntries = uint64_t{1} << 16;

// Rows pos[b..e) from place indptr[b] on; false when a row's spans differ
// or an index lies outside [0, hi] (the sign-bit test of export_compressed).
template <typename V, typename I>
bool copy_taken(const Span* vs, const Span* xs, const uint64_t* pos, uint64_t b, uint64_t e,
                const I* indptr, int64_t hi, V* values_out, I* indices_out) {
    const auto h = static_cast<uint64_t>(hi);
    uint64_t acc = 0;
    bool mismatch = false;
    // Rows at random positions are a chain of cache misses (position, span
    // descriptors, then the row's values and indices): the descriptors are
    // fetched kSpansAhead rows early and the rows' lines kRowsAhead
    // rows early (up to kLinesAhead cache lines of each), so that the
    // misses overlap the copies in between.
    constexpr uint64_t kSpansAhead = 16, kRowsAhead = 8, kLinesAhead = 2;
    auto fetch_spans = [&](uint64_t t) {
        __builtin_prefetch(vs + pos[t]);
        __builtin_prefetch(xs + pos[t]);
    };
    auto fetch_row = [&](uint64_t t) {
        const Span& v = vs[pos[t]];
        const Span& x = xs[pos[t]];
        const auto* pv = static_cast<const char*>(v.data);
        const auto* px = static_cast<const char*>(x.data);
        const uint64_t nv = std::min<uint64_t>(v.len * sizeof(V), kLinesAhead * 64);
        const uint64_t nx = std::min<uint64_t>(x.len * 8, kLinesAhead * 64);
        for (uint64_t o = 0; o < nv; o += 64) __builtin_prefetch(pv + o);
        for (uint64_t o = 0; o < nx; o += 64) __builtin_prefetch(px + o);
    };
    for (uint64_t t = b; t < e && t < b + kSpansAhead; ++t) fetch_spans(t);
    for (uint64_t t = b; t < e && t < b + kRowsAhead; ++t) fetch_row(t);
    for (uint64_t t = b; t < e; ++t) {
        if (t + kSpansAhead < e) fetch_spans(t + kSpansAhead);
        if (t + kRowsAhead < e) fetch_row(t + kRowsAhead);
        const Span& v = vs[pos[t]];
        const Span& x = xs[pos[t]];
        const uint64_t len = v.len;
        if (len == 0) continue;
        if (x.len != len) {
            mismatch = true;
            continue;
        }
        const auto at = static_cast<uint64_t>(indptr[t]);
        std::memcpy(values_out + at, v.data, len * sizeof(V));
        const int64_t* src = static_cast<const int64_t*>(x.data);
        I* dst = indices_out + at;
        for (uint64_t q = 0; q < len; ++q) {
            auto j = static_cast<uint64_t>(src[q]);
            acc |= j | (h - j);
            dst[q] = static_cast<I>(src[q]);
        }
    }
    return !mismatch && (acc >> 63) == 0;
}

template <typename V, typename I>
int32_t take_write(const CompressedMatrix& m, const uint64_t* pos, uint64_t k, uint64_t total,
                   uint64_t inner, I* indptr, V* values_out, I* indices_out, uint64_t capacity) {
    const Span* vs = m.values.ptr;
    uint64_t run = 0;
    for (uint64_t t = 0; t < k; ++t) {
        indptr[t] = static_cast<I>(run);
        run += vs[pos[t]].len;
    }
    indptr[k] = static_cast<I>(run);
    if (!values_out && !indices_out) return KORVEX_OK;
    if (!values_out || !indices_out) return KORVEX_STATUS_NULL;
    if (total > capacity) return KORVEX_STATUS_CAPACITY;
    const int64_t hi = inner == 0 ? -1 : inner - 1 > uint64_t(INT64_MAX) ? INT64_MAX : int64_t(inner - 1);
    if (total <= kSequentialEntries) {
        return copy_taken(vs, m.indices.ptr, pos, 0, k, indptr, hi, values_out, indices_out)
                   ? KORVEX_OK
                   : KORVEX_STATUS_INDEX;
    }
    const par::Pieces cut = par::pieces_of(k, 8);
    std::atomic<bool> bad{false};
    par::for_each(cut.count, [&](uint64_t p) {
        if (!copy_taken(vs, m.indices.ptr, pos, cut.begin(p), cut.end(p), indptr, hi, values_out,
                        indices_out))
            bad.store(true, std::memory_order_relaxed);
    });
    return bad.load() ? KORVEX_STATUS_INDEX : KORVEX_OK;
}

}  // namespace

template <typename V, Form F>
int32_t take_outer_compressed(const CompressedMatrix& m, const uint64_t* pos, uint64_t k,
                              void* indptr_out, V* values_out, void* indices_out,
                              uint64_t capacity, uint8_t width) {
    if (width != 4 && width != 8) return KORVEX_STATUS_CAPACITY;
    const uint64_t dim = outer_dim<F>(m), inner = inner_dim<F>(m);
    if (any_position(k, [&](uint64_t i) { return pos[i] >= dim; })) return KORVEX_STATUS_RANGE;
    KORVEX_INVARIANT(m.values.len >= dim && m.indices.len >= dim, "span arrays shorter than the shape");
    uint64_t total = 0;
    bool overflow = false;
    for (uint64_t t = 0; t < k; ++t) overflow |= __builtin_add_overflow(total, m.values.ptr[pos[t]].len, &total);
    if (overflow) return KORVEX_STATUS_CAPACITY;
    if (width == 4) {
        if (total > uint64_t(INT32_MAX) || inner > uint64_t(INT32_MAX) + 1) return KORVEX_STATUS_CAPACITY;
        return take_write(m, pos, k, total, inner, static_cast<int32_t*>(indptr_out), values_out,
                          static_cast<int32_t*>(indices_out), capacity);
    }
    return take_write(m, pos, k, total, inner, static_cast<int64_t*>(indptr_out), values_out,
                      static_cast<int64_t*>(indices_out), capacity);
}

template int32_t take_outer<Form::csr>(const CompressedMatrix&, const uint64_t*, uint64_t, CompressedMatrix**);
template int32_t take_outer<Form::csc>(const CompressedMatrix&, const uint64_t*, uint64_t, CompressedMatrix**);
#define KORVEX_INSTANTIATE(V, F)                                                                 \
    template int32_t take_inner<V, F>(const CompressedMatrix&, const uint64_t*, uint64_t,         \
                                      CompressedMatrix**);                                       \
    template int32_t take_outer_compressed<V, F>(const CompressedMatrix&, const uint64_t*, uint64_t, \
                                                 void*, V*, void*, uint64_t, uint8_t);
KORVEX_FOR_EACH_FAMILY(KORVEX_INSTANTIATE)
#undef KORVEX_INSTANTIATE

}  // namespace korvex
