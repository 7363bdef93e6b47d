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
#include <cstring>
#include <limits>
#include <optional>

#include "combine/combine.hpp"
#include "combine/work.hpp"
#include "sparse/rowsort.hpp"

namespace korvex::combine {

namespace {

template <typename V, typename X = int64_t>
struct RowRef {
    const X* x = nullptr;
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
    Buffer<uint64_t> bits;  // zero between rows
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
// exactly zero are dropped. Emit: the first `cap` results go to ox/ov. The
// main loop has no branch on the data: each step takes the smaller index
// (both when equal) and writes at the next place, which only a result other
// than zero keeps (past `cap` it writes to a spare slot).
template <typename V, bool Emit, typename XA, typename XB, typename Op>
inline uint64_t merge(const RowRef<V, XA>& a, const RowRef<V, XB>& b, const Op& op, int64_t* ox,
                      V* ov, uint64_t cap) {
    uint64_t i = 0, j = 0, c = 0;
    int64_t spare_x;
    V spare_v;
    auto put = [&](int64_t key, V r) {
        if constexpr (Emit) {
            const bool room = c < cap;
            *(room ? ox + c : &spare_x) = key;
            *(room ? ov + c : &spare_v) = r;
        }
        c += r != V(0) ? 1 : 0;
    };
    // v where t holds, else +0, through its bits (no branch, NaN kept)
    auto pick = [](V v, bool t) {
        using U = std::conditional_t<sizeof(V) == 8, uint64_t, uint32_t>;
        U u;
        std::memcpy(&u, &v, sizeof u);
        u &= U(0) - U(t);
        std::memcpy(&v, &u, sizeof u);
        return v;
    };
    while (i < a.n && j < b.n) {
        const int64_t ka = a.x[i], kb = static_cast<int64_t>(b.x[j]);
        const bool ta = ka <= kb, tb = kb <= ka;
        const V va = pick(a.v[i], ta), vb = pick(b.v[j], tb);
        put(ta ? ka : kb, op(va, vb));
        i += ta;
        j += tb;
    }
    for (; i < a.n; ++i) put(a.x[i], op(a.v[i], V(0)));
    for (; j < b.n; ++j) put(static_cast<int64_t>(b.x[j]), op(V(0), b.v[j]));
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

// The pattern of `value op s` over a's stored positions, as scipy's arrays
// (see combine.hpp): counting writes ip, filling reads it back.
template <typename V, Form F, typename I, typename Cmp>
int32_t scalar_pattern(const CompressedMatrix& a, const Cmp& holds, I* ip, I* idx, uint8_t* flag,
                       uint64_t capacity) {
    const uint64_t n = outer_dim<F>(a), inner = inner_dim<F>(a);
    KORVEX_INVARIANT(a.values.len >= n, "span arrays shorter than the shape");
    const Span *av = a.values.ptr, *ax = a.indices.ptr;
    const bool fill = idx != nullptr;
    if (n == 0) {
        if (!fill) ip[0] = 0;
        return KORVEX_OK;
    }
    Temp<uint64_t> work = temp_array<uint64_t>(n);
    par::for_range(n, [&](uint64_t lo, uint64_t hi) {
        for (uint64_t i = lo; i < hi; ++i) work[i] = av[i].len + 1;
    });
    Cut cut = cut_by_work(work.get(), n, 16, 8192);
    PerThread<Scratch<V>> scratch;
    Failure fail;
    // counting: work[i] becomes row i's count; filling: each row's place
    // [ip[i], ip[i + 1]) is checked against capacity and its count.
    par::for_each(cut.count, [&](uint64_t p) {
        if (fail.any()) return;
        Scratch<V>& s = scratch.mine();
        for (uint64_t i = cut.begin(p), e = cut.end(p); i < e; ++i) {
            uint64_t at = 0, want = 0;
            if (fill) {
                const int64_t lo = static_cast<int64_t>(ip[i]), hi = static_cast<int64_t>(ip[i + 1]);
                if (lo < 0 || hi < lo || static_cast<uint64_t>(hi) > capacity) {
                    fail.set(KORVEX_STATUS_CAPACITY);
                    return;
                }
                if (hi == lo) continue;
                at = static_cast<uint64_t>(lo);
                want = static_cast<uint64_t>(hi - lo);
            }
            RowRef<V> r;
            if (!canonical(av[i], ax[i], inner, s, 0, r)) {
                fail.set(KORVEX_STATUS_INDEX);
                return;
            }
            // Without branches on the comparison: every index is written at
            // the next place, which only a true comparison keeps (the place
            // past the row's last goes to a spare slot).
            uint64_t c = 0;
            if (!fill) {
                for (uint64_t q = 0; q < r.n; ++q) c += holds(r.v[q]) ? 1 : 0;
                work[i] = c;
                continue;
            }
            I spare;
            I* dst = idx + at;
            for (uint64_t q = 0; q < r.n; ++q) {
                I* to = c < want ? dst + c : &spare;
                *to = static_cast<I>(r.x[q]);
                c += holds(r.v[q]) ? 1 : 0;
            }
            if (c != want) {  // (only if the operand changed since counting)
                fail.set(KORVEX_STATUS_INDEX);
                return;
            }
            std::memset(flag + at, 1, want);
        }
    });
    if (fail.any()) return fail.status.load();
    if (fill) return KORVEX_OK;
    const uint64_t most = std::is_same_v<I, int32_t> ? uint64_t(INT32_MAX) : uint64_t(INT64_MAX);
    uint64_t total = 0;
    for (uint64_t i = 0; i < n; ++i) {
        total += work[i];  // cannot wrap: at most the stored entries
        if (total > most) return KORVEX_STATUS_CAPACITY;
        work[i] = total;
    }
    ip[0] = 0;
    par::for_range(n, [&](uint64_t lo, uint64_t hi) {
        for (uint64_t i = lo; i < hi; ++i) ip[i + 1] = static_cast<I>(work[i]);
    });
    return KORVEX_OK;
}

// f(op) with op(x, y) -> V for an elementwise code (checked by the caller).
template <typename V, typename Body>
int32_t with_op(uint32_t op, const Body& f) {
    switch (op) {
        case kAdd: return f([](V x, V y) { return x + y; });
        case kSub: return f([](V x, V y) { return x - y; });
        case kMax: return f([](V x, V y) { return x < y ? y : x; });
        case kMin: return f([](V x, V y) { return y < x ? y : x; });
        default: return f([](V x, V y) { return x * y; });
    }
}

// ---- an operand of the other form ------------------------------------------
//
// b (form G, the other one) seen through a's outer axis: b's inner index is
// a's outer index. b's entries are regrouped by that index into flat
// bookkeeping arrays in two cache-friendly steps: a scatter into buckets of
// consecutive groups (few write streams), then a counting sort of each
// bucket in per-thread scratch. Each row of a is then merged with its group.

// b's entries grouped by inner index i: group i is x[ptr[i] .. ptr[i + 1]),
// b's outer indices in increasing order (repeated ones adjacent, in stored
// order), with their values in v where asked for. X holds an outer index
// of b.
template <typename V, typename X>
struct Groups {
    Temp<uint64_t> ptr;
    Temp<X> x;
    Temp<V> v;  // null unless values were asked for
};

template <typename X, typename V>
struct SortScratch {
    Buffer<uint64_t> count;
    Buffer<X> x;
    Buffer<V> v;
};

constexpr int32_t kNotFinite = 1;  // b holds a value that is not finite

// Every index of b is checked on the way (-8). With `finite_only`,
// kNotFinite (and no groups) when b holds an infinity or a NaN.
template <typename V, Form G, typename X>
int32_t regroup(const CompressedMatrix& b, bool values, bool finite_only,
                std::optional<Groups<V, X>>& g) {
    const uint64_t m = outer_dim<G>(b), n = inner_dim<G>(b);
    const Span *bv = b.values.ptr, *bx = b.indices.ptr;
    Temp<uint64_t> work = temp_array<uint64_t>(m == 0 ? 1 : m);
    par::for_range(m, [&](uint64_t lo, uint64_t hi) {
        for (uint64_t j = lo; j < hi; ++j) work[j] = bv[j].len + 1;
    });
    const uint64_t total = par::sum(m, [&](uint64_t j) { return bv[j].len; });
    // Buckets of 2^shift groups, about 16k entries each.
    unsigned shift = 0;
    while (shift < 16 && (uint64_t(1) << shift) * std::max<uint64_t>(total, 1) < uint64_t(16384) * n)
        ++shift;
    const uint64_t nb = (n >> shift) + 1;
    Cut cut = cut_by_work(work.get(), m, 4, 1 << 16);
    const uint64_t P = cut.count;
    Temp<uint64_t> at = temp_array<uint64_t>(mul_or_throw(P, nb));
    Failure fail;
    std::atomic<bool> odd{false};
    par::for_each(P, [&](uint64_t p) {
        uint64_t* cnt = at.get() + p * nb;
        std::fill(cnt, cnt + nb, uint64_t(0));
        bool fin = true;
        for (uint64_t j = cut.begin(p), e = cut.end(p); j < e; ++j) {
            if (fail.any()) return;
            const uint64_t len = bv[j].len;
            if (bx[j].len != len) return fail.set(KORVEX_STATUS_INDEX);
            const int64_t* x = static_cast<const int64_t*>(bx[j].data);
            for (uint64_t q = 0; q < len; ++q) {
                if (static_cast<uint64_t>(x[q]) >= n) return fail.set(KORVEX_STATUS_INDEX);
                ++cnt[static_cast<uint64_t>(x[q]) >> shift];
            }
            if (finite_only) {
                const V* v = static_cast<const V*>(bv[j].data);
                for (uint64_t q = 0; q < len; ++q) fin &= std::isfinite(v[q]);
            }
        }
        if (!fin) odd.store(true, std::memory_order_relaxed);
    });
    if (fail.any()) return fail.status.load();
    if (odd.load()) return kNotFinite;
    // Bucket-major places: bucket r holds its pieces' entries in piece order.
    Temp<uint64_t> start = temp_array<uint64_t>(nb + 1);
    uint64_t base = 0;
    for (uint64_t r = 0; r < nb; ++r) {
        start[r] = base;
        for (uint64_t p = 0; p < P; ++p) {
            const uint64_t c = at[p * nb + r];
            at[p * nb + r] = base;
            base += c;
        }
    }
    start[nb] = base;
    KORVEX_INVARIANT(base == total, "bucket counts disagree with the entries");
    // Without values, an entry's group within its bucket and its outer index
    // share one 32-bit word where they fit (one write stream per bucket).
    const bool packed = !values && std::is_same_v<X, int32_t> && (m << shift) <= (uint64_t(1) << 32);
    Temp<uint16_t> low = packed ? Temp<uint16_t>() : temp_array<uint16_t>(total == 0 ? 1 : total);
    Groups<V, X> made{temp_array<uint64_t>(n + 1), temp_array<X>(total == 0 ? 1 : total),
                      values ? temp_array<V>(total == 0 ? 1 : total) : Temp<V>()};
    X* gx = made.x.get();
    V* gv = made.v.get();
    const uint64_t mask = (uint64_t(1) << shift) - 1;
    uint32_t* word = reinterpret_cast<uint32_t*>(gx);  // (packed: X is int32_t)
    par::for_each(P, [&](uint64_t p) {
        uint64_t* pos = at.get() + p * nb;
        for (uint64_t j = cut.begin(p), e = cut.end(p); j < e; ++j) {
            const uint64_t len = bv[j].len;
            const int64_t* x = static_cast<const int64_t*>(bx[j].data);
            const V* v = static_cast<const V*>(bv[j].data);
            if (packed) {
                for (uint64_t q = 0; q < len; ++q) {
                    const uint64_t i = static_cast<uint64_t>(x[q]);
                    word[pos[i >> shift]++] = static_cast<uint32_t>((j << shift) | (i & mask));
                }
                continue;
            }
            for (uint64_t q = 0; q < len; ++q) {
                const uint64_t i = static_cast<uint64_t>(x[q]);
                const uint64_t k = pos[i >> shift]++;
                low[k] = static_cast<uint16_t>(i & mask);
                gx[k] = static_cast<X>(j);
                if (values) gv[k] = v[q];
            }
        }
    });
    // Each bucket sorted by group, stably, through scratch.
    uint64_t* ptr = made.ptr.get();
    PerThread<SortScratch<X, V>> scratch;
    par::for_each(nb, [&](uint64_t r) {
        const uint64_t lo = start[r], hi = start[r + 1];
        const uint64_t g0 = r << shift, groups = std::min<uint64_t>(n - std::min(n, g0), mask + 1);
        if (groups == 0) return;
        SortScratch<X, V>& s = scratch.mine();
        uint64_t* cnt = s.count.grow(groups + 1);
        std::fill(cnt, cnt + groups + 1, uint64_t(0));
        if (packed)
            for (uint64_t k = lo; k < hi; ++k) ++cnt[(word[k] & mask) + 1];
        else
            for (uint64_t k = lo; k < hi; ++k) ++cnt[low[k] + 1];
        for (uint64_t t = 0; t < groups; ++t) {
            ptr[g0 + t] = lo + cnt[t];
            cnt[t + 1] += cnt[t];
        }
        const uint64_t len = hi - lo;
        X* sx = s.x.grow(len);
        V* sv = values ? s.v.grow(len) : nullptr;
        if (packed)
            for (uint64_t k = lo; k < hi; ++k) sx[cnt[word[k] & mask]++] = static_cast<X>(word[k] >> shift);
        for (uint64_t k = lo; k < hi && !packed; ++k) {
            const uint64_t d = cnt[low[k]]++;
            sx[d] = gx[k];
            if (values) sv[d] = gv[k];
        }
        std::copy(sx, sx + len, gx + lo);
        if (values) std::copy(sv, sv + len, gv + lo);
    });
    ptr[n] = total;
    g.emplace(std::move(made));
    return KORVEX_OK;
}

// Group i as a row of strictly increasing indices: repeated indices (they
// are adjacent) summed in stored order into scratch side 1 when present.
template <typename V, typename X, typename Body>
bool with_group(const X* x, const V* v, uint64_t n, Scratch<V>& s, const Body& f) {
    uint64_t k = 1;
    while (k < n && x[k - 1] < x[k]) ++k;
    if (k >= n) return f(RowRef<V, X>{x, v, n});
    int64_t* ox = s.x[1].grow(n);
    V* ov = s.v[1].grow(n);
    uint64_t m = 0;
    for (uint64_t q = 0; q < n; ++q) {
        if (m && ox[m - 1] == static_cast<int64_t>(x[q])) {
            ov[m - 1] += v[q];
        } else {
            ox[m] = static_cast<int64_t>(x[q]);
            ov[m] = v[q];
            ++m;
        }
    }
    return f(RowRef<V>{ox, ov, m});
}

template <typename V, Form F, typename X>
int32_t union_other(const CompressedMatrix& a, const CompressedMatrix& b, uint32_t op,
                    CompressedMatrix** out) {
    const uint64_t n = outer_dim<F>(a), inner = inner_dim<F>(a);
    KORVEX_INVARIANT(a.values.len >= n, "span arrays shorter than the shape");
    std::optional<Groups<V, X>> g;
    if (int32_t st = regroup<V, other(F), X>(b, true, false, g)) return st;
    const Span *av = a.values.ptr, *ax = a.indices.ptr;
    const uint64_t* gp = g->ptr.get();
    const X* gx = g->x.get();
    const V* gv = g->v.get();
    Temp<uint64_t> work = temp_array<uint64_t>(n == 0 ? 1 : n);
    par::for_range(n, [&](uint64_t lo, uint64_t hi) {
        for (uint64_t i = lo; i < hi; ++i) work[i] = av[i].len + (gp[i + 1] - gp[i]) + 1;
    });
    return with_op<V>(op, [&](auto fn) {
        auto rowfn = [&](uint64_t i, Scratch<V>& s, auto emit, int64_t* ox, V* ov, uint64_t cap,
                         uint64_t& count) {
            RowRef<V> ra;
            if (!canonical(av[i], ax[i], inner, s, 0, ra)) return false;
            return with_group(gx + gp[i], gv + gp[i], gp[i + 1] - gp[i], s, [&](const auto& rb) {
                count = merge<V, decltype(emit)::value>(ra, rb, fn, ox, ov, cap);
                return true;
            });
        };
        return build<V, F>(n, work, a.rows, a.cols, rowfn, out);
    });
}

// a * b elementwise for b of the other form whose values are all finite:
// b's positions regrouped without values, each common position's value of b
// read from b's outer index j (its entries at i summed in stored order).
// kNotFinite leaves the work to the union.
template <typename V, Form F, typename X>
int32_t multiply_other(const CompressedMatrix& a, const CompressedMatrix& b, CompressedMatrix** out) {
    const uint64_t n = outer_dim<F>(a), inner = inner_dim<F>(a);
    KORVEX_INVARIANT(a.values.len >= n, "span arrays shorter than the shape");
    std::optional<Groups<V, X>> g;
    if (int32_t st = regroup<V, other(F), X>(b, false, true, g)) return st;
    const Span *av = a.values.ptr, *ax = a.indices.ptr, *bv = b.values.ptr, *bx = b.indices.ptr;
    const uint64_t* gp = g->ptr.get();
    const X* gx = g->x.get();
    Temp<uint64_t> work = temp_array<uint64_t>(n == 0 ? 1 : n);
    par::for_range(n, [&](uint64_t lo, uint64_t hi) {
        for (uint64_t i = lo; i < hi; ++i) work[i] = av[i].len + (gp[i + 1] - gp[i]) + 1;
    });
    auto rowfn = [&](uint64_t i, Scratch<V>& s, auto emit, int64_t* ox, V* ov, uint64_t cap,
                     uint64_t& count) {
        RowRef<V> ra;
        if (!canonical(av[i], ax[i], inner, s, 0, ra)) return false;
        // The group's positions as bits of a per-thread map of the inner
        // dimension (cleared again below): one test per entry of a.
        const X* y = gx + gp[i];
        const uint64_t ny = gp[i + 1] - gp[i];
        uint64_t* bits = s.bits.grow((inner >> 6) + 1, 0);
        for (uint64_t k = 0; k < ny; ++k) bits[uint64_t(y[k]) >> 6] |= uint64_t(1) << (uint64_t(y[k]) & 63);
        uint64_t c = 0;
        for (uint64_t q = 0; q < ra.n; ++q) {
            const int64_t j = ra.x[q];
            V r = ra.v[q] * V(0);
            if ((bits[uint64_t(j) >> 6] >> (uint64_t(j) & 63)) & 1) {
                const uint64_t len = bv[j].len;
                const int64_t* x = static_cast<const int64_t*>(bx[j].data);
                const V* v = static_cast<const V*>(bv[j].data);
                bool found = false;
                V sum = V(0);
                for (uint64_t t = 0; t < len; ++t)
                    if (static_cast<uint64_t>(x[t]) == i) {
                        sum = found ? sum + v[t] : v[t];
                        found = true;
                    }
                if (found) r = ra.v[q] * sum;
            }
            if (r != V(0)) {
                if constexpr (decltype(emit)::value) {
                    if (c < cap) {
                        ox[c] = j;
                        ov[c] = r;
                    }
                }
                ++c;
            }
        }
        for (uint64_t k = 0; k < ny; ++k) bits[uint64_t(y[k]) >> 6] = 0;
        count = c;
        return true;
    };
    return build<V, F>(n, work, a.rows, a.cols, rowfn, out);
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

template <typename V, Form F>
int32_t compare_scalar_to_compressed(const CompressedMatrix& a, double s, uint32_t op, void* indptr,
                                     void* indices, uint8_t* flags, uint64_t capacity,
                                     uint8_t width) {
    if (op > kEq) return KORVEX_STATUS_LENGTH;
    if (width != 4 && width != 8) return KORVEX_STATUS_CAPACITY;
    if (width == 4 && inner_dim<F>(a) > uint64_t(INT32_MAX) + 1) return KORVEX_STATUS_CAPACITY;
    const bool narrow = std::is_same_v<V, float> && !(std::fabs(s) > std::numeric_limits<float>::max() &&
                                                      std::isfinite(s));
    return with_comparison(op, [&](auto cmp) {
        auto go = [&](const auto& holds) {
            if (width == 4)
                return scalar_pattern<V, F, int32_t>(a, holds, static_cast<int32_t*>(indptr),
                                                     static_cast<int32_t*>(indices), flags, capacity);
            return scalar_pattern<V, F, int64_t>(a, holds, static_cast<int64_t*>(indptr),
                                                 static_cast<int64_t*>(indices), flags, capacity);
        };
        if (narrow) {
            const V t = static_cast<V>(s);
            return go([cmp, t](V x) { return cmp(x, t); });
        }
        return go([cmp, s](V x) { return cmp(static_cast<double>(x), s); });
    });
}

template <typename V, Form F>
int32_t combine_other(const CompressedMatrix& a, const CompressedMatrix& b, uint32_t op,
                      CompressedMatrix** out) {
    if (op > kMul) return KORVEX_STATUS_LENGTH;
    if (!same_shape(a, b)) return KORVEX_STATUS_SHAPE_MISMATCH;
    constexpr Form G = other(F);
    const uint64_t m = outer_dim<G>(b);
    KORVEX_INVARIANT(b.values.len >= m && b.indices.len >= m, "span arrays shorter than the shape");
    auto go = [&](auto narrow) {
        using X = std::conditional_t<decltype(narrow)::value, int32_t, int64_t>;
        if (op == kMul) {
            const int32_t st = multiply_other<V, F, X>(a, b, out);
            if (st != kNotFinite) return st;
        }
        return union_other<V, F, X>(a, b, op, out);
    };
    if (m <= uint64_t(INT32_MAX)) return go(std::true_type{});
    return go(std::false_type{});
}

#define KORVEX_INSTANTIATE(V, F)                                                                  \
    template int32_t combine<V, F>(const CompressedMatrix&, const CompressedMatrix&, uint32_t,   \
                                   CompressedMatrix**);                                          \
    template int32_t compare<V, F>(const CompressedMatrix&, const CompressedMatrix&, uint32_t,   \
                                   CompressedMatrix**);                                          \
    template int32_t compare_scalar<V, F>(const CompressedMatrix&, double, uint32_t,             \
                                          CompressedMatrix**);                                   \
    template int32_t compare_scalar_to_compressed<V, F>(const CompressedMatrix&, double, uint32_t, \
                                                        void*, void*, uint8_t*, uint64_t, uint8_t); \
    template int32_t combine_other<V, F>(const CompressedMatrix&, const CompressedMatrix&,       \
                                         uint32_t, CompressedMatrix**);
KORVEX_FOR_EACH_FAMILY(KORVEX_INSTANTIATE)
#undef KORVEX_INSTANTIATE

}  // namespace korvex::combine
