// Elementwise operations and comparisons, one pass over each pair of rows.
//
// A row is read in place when its indices strictly increase inside the
// inner dimension (checked on the way, in one read of the row); any other
// row (unsorted, or with repeated indices) is first brought into that form
// in per-thread scratch: its entries sorted by index and position, repeated
// indices summed in stored order. The two rows are then merged. A first pass
// counts each result row's entries, a second fills one span batch of those
// sizes; both use the same pieces, cut by the rows' entries.
#include <algorithm>
#include <cmath>
#include <limits>

#include "combine/combine.hpp"
#include "combine/work.hpp"
#include "sparse/rowsort.hpp"

namespace korvex::combine {

namespace {

template <typename V>
struct RowRef {
    const int64_t* x = nullptr;
    const V* v = nullptr;
    uint64_t n = 0;
};

struct Key {
    int64_t index;
    uint64_t pos;
};

template <typename V>
struct Scratch {
    Buffer<Key> keys;
    Buffer<int64_t> x[2];
    Buffer<V> v[2];
};

// Outer index i of one operand as a row of strictly increasing indices
// (scratch side `side` holds it when the stored row is not one). False for
// an index outside [0, inner) or spans that differ in length.
template <typename V>
bool canonical(const Span& vs, const Span& xs, uint64_t inner, Scratch<V>& s, int side,
               RowRef<V>& r) {
    const uint64_t n = vs.len;
    if (xs.len != n) return false;
    if (n == 0) {
        r = RowRef<V>{};
        return true;
    }
    const int64_t* x = static_cast<const int64_t*>(xs.data);
    const V* v = static_cast<const V*>(vs.data);
    if (x[0] >= 0 && static_cast<uint64_t>(x[n - 1]) < inner && is_sorted_run(x, n)) {
        r = RowRef<V>{x, v, n};
        return true;
    }
    Key* k = s.keys.grow(n);
    for (uint64_t q = 0; q < n; ++q) {
        if (static_cast<uint64_t>(x[q]) >= inner) return false;
        k[q] = Key{x[q], q};
    }
    std::sort(k, k + n, [](const Key& a, const Key& b) {
        return a.index < b.index || (a.index == b.index && a.pos < b.pos);
    });
    int64_t* ox = s.x[side].grow(n);
    V* ov = s.v[side].grow(n);
    uint64_t m = 0;
    for (uint64_t q = 0; q < n; ++q) {
        if (m && ox[m - 1] == k[q].index) {
            ov[m - 1] += v[k[q].pos];
        } else {
            ox[m] = k[q].index;
            ov[m] = v[k[q].pos];
            ++m;
        }
    }
    r = RowRef<V>{ox, ov, m};
    return true;
}

// The union of two rows through op (a missing side is 0); results that are
// exactly zero are dropped. Emit: the first `cap` results go to ox/ov.
template <typename V, bool Emit, typename Op>
inline uint64_t merge(const RowRef<V>& a, const RowRef<V>& b, const Op& op, int64_t* ox, V* ov,
                      uint64_t cap) {
    uint64_t i = 0, j = 0, c = 0;
    auto put = [&](int64_t key, V r) {
        if (r != V(0)) {
            if constexpr (Emit) {
                if (c < cap) {
                    ox[c] = key;
                    ov[c] = r;
                }
            }
            ++c;
        }
    };
    while (i < a.n && j < b.n) {
        const int64_t ka = a.x[i], kb = b.x[j];
        if (ka == kb) {
            put(ka, op(a.v[i++], b.v[j++]));
        } else if (ka < kb) {
            put(ka, op(a.v[i++], V(0)));
        } else {
            put(kb, op(V(0), b.v[j++]));
        }
    }
    for (; i < a.n; ++i) put(a.x[i], op(a.v[i], V(0)));
    for (; j < b.n; ++j) put(b.x[j], op(V(0), b.v[j]));
    return c;
}

// A result of n outer indices from rows(i, scratch, emit, ox, ov, cap, count)
// -> bool (false: an index error), each outer index weighted by work[i].
template <typename V, Form F, typename Rows>
int32_t build(uint64_t n, Temp<uint64_t>& work, uint64_t rows, uint64_t cols, const Rows& rowfn,
              CompressedMatrix** out) {
    if (n == 0) {
        *out = make_vacant<V, F>(0, rows, cols);
        return KORVEX_OK;
    }
    Cut cut = cut_by_work(work.get(), n, 16, 8192);
    Temp<uint64_t> lens = temp_array<uint64_t>(n);
    PerThread<Scratch<V>> scratch;
    Failure fail;
    par::for_each(cut.count, [&](uint64_t p) {
        if (fail.any()) return;
        Scratch<V>& s = scratch.mine();
        for (uint64_t i = cut.begin(p), e = cut.end(p); i < e; ++i)
            if (!rowfn(i, s, std::false_type{}, nullptr, nullptr, 0, lens[i])) {
                fail.set(KORVEX_STATUS_INDEX);
                return;
            }
    });
    if (fail.any()) return fail.status.load();
    uint64_t total = 0;
    for (uint64_t i = 0; i < n; ++i) total = add_or_throw(total, lens[i]);
    if (total == 0) {
        *out = make_vacant<V, F>(n, rows, cols);
        return KORVEX_OK;
    }
    SpanVec av, ax;
    if (assemble_outer(lens.get(), n, sizeof(V), /*vacant_fill=*/true, av, ax))
        return KORVEX_STATUS_ALLOC;
    SpanVecGuard gv(av), gx(ax);
    const Span* vs = av.ptr;
    const Span* xs = ax.ptr;
    par::for_each(cut.count, [&](uint64_t p) {
        if (fail.any()) return;
        Scratch<V>& s = scratch.mine();
        for (uint64_t i = cut.begin(p), e = cut.end(p); i < e; ++i) {
            const uint64_t want = lens[i];
            if (want == 0) continue;
            uint64_t c = 0;
            if (!rowfn(i, s, std::true_type{}, mutable_data<int64_t>(xs[i]), mutable_data<V>(vs[i]),
                       want, c) ||
                c != want) {  // (only if the operands change underneath)
                fail.set(KORVEX_STATUS_INDEX);
                return;
            }
        }
    });
    if (fail.any()) return fail.status.load();
    *out = make_matrix(Family::of<V, F>(), gv.take(), gx.take(), rows, cols, 1, total);
    return KORVEX_OK;
}

template <typename V, Form F, typename Op>
int32_t binary(const CompressedMatrix& a, const CompressedMatrix& b, const Op& op,
               CompressedMatrix** out) {
    const uint64_t n = outer_dim<F>(a), inner = inner_dim<F>(a);
    KORVEX_INVARIANT(a.values.len >= n && b.values.len >= n, "span arrays shorter than the shape");
    const Span *av = a.values.ptr, *ax = a.indices.ptr, *bv = b.values.ptr, *bx = b.indices.ptr;
    Temp<uint64_t> work = temp_array<uint64_t>(n == 0 ? 1 : n);
    par::for_range(n, [&](uint64_t lo, uint64_t hi) {
        for (uint64_t i = lo; i < hi; ++i) work[i] = av[i].len + bv[i].len + 1;
    });
    auto rowfn = [&](uint64_t i, Scratch<V>& s, auto emit, int64_t* ox, V* ov, uint64_t cap,
                     uint64_t& count) {
        RowRef<V> ra, rb;
        if (!canonical(av[i], ax[i], inner, s, 0, ra) || !canonical(bv[i], bx[i], inner, s, 1, rb))
            return false;
        count = merge<V, decltype(emit)::value>(ra, rb, op, ox, ov, cap);
        return true;
    };
    return build<V, F>(n, work, a.rows, a.cols, rowfn, out);
}

template <typename V, Form F, typename Cmp>
int32_t versus_scalar(const CompressedMatrix& a, const Cmp& holds, CompressedMatrix** out) {
    const uint64_t n = outer_dim<F>(a), inner = inner_dim<F>(a);
    KORVEX_INVARIANT(a.values.len >= n, "span arrays shorter than the shape");
    const Span *av = a.values.ptr, *ax = a.indices.ptr;
    Temp<uint64_t> work = temp_array<uint64_t>(n == 0 ? 1 : n);
    par::for_range(n, [&](uint64_t lo, uint64_t hi) {
        for (uint64_t i = lo; i < hi; ++i) work[i] = av[i].len + 1;
    });
    auto rowfn = [&](uint64_t i, Scratch<V>& s, auto emit, int64_t* ox, V* ov, uint64_t cap,
                     uint64_t& count) {
        RowRef<V> r;
        if (!canonical(av[i], ax[i], inner, s, 0, r)) return false;
        uint64_t c = 0;
        for (uint64_t q = 0; q < r.n; ++q) {
            if (!holds(r.v[q])) continue;
            if constexpr (decltype(emit)::value) {
                if (c < cap) {
                    ox[c] = r.x[q];
                    ov[c] = V(1);
                }
            }
            ++c;
        }
        count = c;
        return true;
    };
    return build<V, F>(n, work, a.rows, a.cols, rowfn, out);
}

// f(cmp) with cmp(x, y) -> bool for a comparison code; -3 for another code.
template <typename Body>
int32_t with_comparison(uint32_t op, const Body& f) {
    switch (op) {
        case kNe: return f([](auto x, auto y) { return x != y; });
        case kLt: return f([](auto x, auto y) { return x < y; });
        case kGt: return f([](auto x, auto y) { return x > y; });
        case kLe: return f([](auto x, auto y) { return x <= y; });
        case kGe: return f([](auto x, auto y) { return x >= y; });
        case kEq: return f([](auto x, auto y) { return x == y; });
        default: return KORVEX_STATUS_LENGTH;
    }
}

bool same_shape(const CompressedMatrix& a, const CompressedMatrix& b) {
    return a.rows == b.rows && a.cols == b.cols;
}

}  // namespace

template <typename V, Form F>
int32_t combine(const CompressedMatrix& a, const CompressedMatrix& b, uint32_t op,
                CompressedMatrix** out) {
    if (op > kMul) return KORVEX_STATUS_LENGTH;
    if (!same_shape(a, b)) return KORVEX_STATUS_SHAPE_MISMATCH;
    switch (op) {
        case kAdd: return binary<V, F>(a, b, [](V x, V y) { return x + y; }, out);
        case kSub: return binary<V, F>(a, b, [](V x, V y) { return x - y; }, out);
        case kMax: return binary<V, F>(a, b, [](V x, V y) { return x < y ? y : x; }, out);
        case kMin: return binary<V, F>(a, b, [](V x, V y) { return y < x ? y : x; }, out);
        default: return binary<V, F>(a, b, [](V x, V y) { return x * y; }, out);
    }
}

template <typename V, Form F>
int32_t compare(const CompressedMatrix& a, const CompressedMatrix& b, uint32_t op,
                CompressedMatrix** out) {
    if (op > kEq) return KORVEX_STATUS_LENGTH;
    if (!same_shape(a, b)) return KORVEX_STATUS_SHAPE_MISMATCH;
    return with_comparison(op, [&](auto cmp) {
        return binary<V, F>(a, b, [cmp](V x, V y) { return cmp(x, y) ? V(1) : V(0); }, out);
    });
}

template <typename V, Form F>
int32_t compare_scalar(const CompressedMatrix& a, double s, uint32_t op, CompressedMatrix** out) {
    if (op > kEq) return KORVEX_STATUS_LENGTH;
    const bool narrow = std::is_same_v<V, float> && !(std::fabs(s) > std::numeric_limits<float>::max() &&
                                                      std::isfinite(s));
    return with_comparison(op, [&](auto cmp) {
        if (narrow) {
            const V t = static_cast<V>(s);
            return versus_scalar<V, F>(a, [cmp, t](V x) { return cmp(x, t); }, out);
        }
        return versus_scalar<V, F>(a, [cmp, s](V x) { return cmp(static_cast<double>(x), s); }, out);
    });
}

#define KORVEX_INSTANTIATE(V, F)                                                                  \
    template int32_t combine<V, F>(const CompressedMatrix&, const CompressedMatrix&, uint32_t,   \
                                   CompressedMatrix**);                                          \
    template int32_t compare<V, F>(const CompressedMatrix&, const CompressedMatrix&, uint32_t,   \
                                   CompressedMatrix**);                                          \
    template int32_t compare_scalar<V, F>(const CompressedMatrix&, double, uint32_t,             \
                                          CompressedMatrix**);
KORVEX_FOR_EACH_FAMILY(KORVEX_INSTANTIATE)
#undef KORVEX_INSTANTIATE

}  // namespace korvex::combine
