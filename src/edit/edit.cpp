#include "edit/edit.hpp"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <vector>

#include "span/parallel.hpp"
#include "sparse/rewrite.hpp"
#include "sparse/rowsort.hpp"

namespace korvex {

namespace {

inline const int64_t* idx_of(const Span& s) { return static_cast<const int64_t*>(s.data); }
template <typename V>
inline const V* val_of(const Span& s) { return static_cast<const V*>(s.data); }

// One position to set: its outer and inner index and which value it takes.
struct Target {
    uint64_t outer, inner, t;
};

inline bool before(const Target& a, const Target& b) {
    return a.outer != b.outer ? a.outer < b.outer : a.inner != b.inner ? a.inner < b.inner : a.t < b.t;
}

// Where inner index j lies among a row's targets [b, e) (sorted by inner),
// or e.
inline uint64_t find_target(const Target* g, uint64_t b, uint64_t e, uint64_t j) {
    const Target* at = std::lower_bound(g + b, g + e, j,
                                        [](const Target& a, uint64_t key) { return a.inner < key; });
    return at != g + e && at->inner == j ? static_cast<uint64_t>(at - g) : e;
}

// The new entries of one row that takes targets [b, e): writes them when
// out is non-null, returns their count. seen[b, e) is scratch of the row's
// own (cleared here).
template <typename V>
uint64_t merge_row(const Span& vs, const Span& xs, const Target* g, uint64_t b, uint64_t e,
                   const V* vals, uint8_t* seen, V* out_v, int64_t* out_x) {
    const uint64_t len = xs.len;
    const int64_t* x = idx_of(xs);
    const V* v = val_of<V>(vs);
    uint64_t w = 0;
    auto put = [&](int64_t j, V value) {
        if (out_v) {
            out_v[w] = value;
            out_x[w] = j;
        }
        ++w;
    };
    if (is_sorted_run(x, len)) {  // merge, keeping the row sorted
        uint64_t k = 0, a = b;
        while (k < len || a < e) {
            // Signed: a stored index outside the shape keeps its place.
            const int64_t j = a < e ? static_cast<int64_t>(g[a].inner) : 0;
            if (a == e || (k < len && x[k] < j)) {
                put(x[k], v[k]);
                ++k;
            } else if (k < len && x[k] == j) {
                put(x[k], vals[g[a].t]);
                ++k, ++a;
            } else {
                put(static_cast<int64_t>(g[a].inner), vals[g[a].t]);
                ++a;
            }
        }
        return w;
    }
    std::memset(seen + b, 0, e - b);
    for (uint64_t k = 0; k < len; ++k) {
        uint64_t a = x[k] < 0 ? e : find_target(g, b, e, static_cast<uint64_t>(x[k]));
        if (a == e) {
            put(x[k], v[k]);
        } else if (!seen[a]) {
            seen[a] = 1;
            put(x[k], vals[g[a].t]);
        }
    }
    for (uint64_t a = b; a < e; ++a)
        if (!seen[a]) put(static_cast<int64_t>(g[a].inner), vals[g[a].t]);
    return w;
}

// Replaces every row holding a value that keep(v) refuses by the entries
// it admits, in stored order. One parallel scan of the values finds those
// rows, counts what each keeps and notes where its entries lie; only they
// are read again, fetched ahead of the copy (they lie far apart).
template <typename V, typename Keep>
int32_t filter_rows(CompressedMatrix& m, uint64_t outer, const Keep& keep) {
    const Span* vs = m.values.ptr;
    const Span* xs = m.indices.ptr;
    struct Hit {
        uint64_t row, len, kept;
        const V* v;
    };
    const par::Pieces cut = par::pieces_of(outer, 64);
    std::vector<std::vector<Hit>> found(cut.count);
    par::for_each(cut.count, [&](uint64_t p) {
        for (uint64_t i = cut.begin(p), e = cut.end(p); i < e; ++i) {
            const V* v = val_of<V>(vs[i]);
            const uint64_t len = vs[i].len;
            unsigned refused = 0;  // no early exit: rows are short, branches cost more
            for (uint64_t q = 0; q < len; ++q) refused |= !keep(v[q]);
            if (!refused) continue;
            uint64_t kept = 0;
            for (uint64_t q = 0; q < len; ++q) kept += keep(v[q]);
            found[p].push_back(Hit{i, len, kept, v});
        }
    });
    uint64_t k = 0;
    for (const auto& f : found) k += f.size();
    if (k == 0) return KORVEX_OK;
    Temp<Hit> hit = temp_array<Hit>(k);
    Temp<uint64_t> rows = temp_array<uint64_t>(k), lens = temp_array<uint64_t>(k);
    for (uint64_t p = 0, t = 0; p < cut.count; ++p)
        for (const Hit& h : found[p]) {
            rows[t] = h.row;
            lens[t] = h.kept;
            hit[t++] = h;
        }
    constexpr uint64_t ahead = 8;  // rows; index spans twice as far
    bool ok = replace_rows<V>(m, rows.get(), lens.get(), k,
                              [&](uint64_t t, V* ov, int64_t* ox, uint64_t) {
                                  if (t + 2 * ahead < k) __builtin_prefetch(&xs[hit[t + 2 * ahead].row]);
                                  if (t + ahead < k) {
                                      const Hit& n = hit[t + ahead];
                                      const int64_t* nx = idx_of(xs[n.row]);
                                      __builtin_prefetch(n.v);
                                      __builtin_prefetch(n.v + n.len - 1);
                                      __builtin_prefetch(nx);
                                      __builtin_prefetch(nx + n.len - 1);
                                  }
                                  const Hit& h = hit[t];
                                  const int64_t* x = idx_of(xs[h.row]);
                                  uint64_t w = 0;
                                  for (uint64_t q = 0; q < h.len; ++q) {
                                      V val = h.v[q];
                                      if (!keep(val)) continue;
                                      ov[w] = val;
                                      ox[w++] = x[q];
                                  }
                              });
    return ok ? KORVEX_OK : KORVEX_STATUS_ALLOC;
}

}  // namespace

template <typename V, Form F>
int32_t set_entries(CompressedMatrix& m, const int64_t* rows, const int64_t* cols, const V* vals,
                    uint64_t n) {
    const uint64_t outer = outer_dim<F>(m);
    KORVEX_INVARIANT(m.values.len >= outer && m.indices.len >= outer,
                     "span arrays shorter than the shape");
    if (n == 0) return KORVEX_OK;
    if (par::any(n, [&](uint64_t t) {
            return rows[t] < 0 || cols[t] < 0 || static_cast<uint64_t>(rows[t]) >= m.rows ||
                   static_cast<uint64_t>(cols[t]) >= m.cols;
        }))
        return KORVEX_STATUS_INDEX;
    const int64_t* os = F == Form::csr ? rows : cols;
    const int64_t* is = F == Form::csr ? cols : rows;
    Temp<Target> g = temp_array<Target>(n);
    par::for_range(n, [&](uint64_t b, uint64_t e) {
        for (uint64_t t = b; t < e; ++t)
            g[t] = Target{static_cast<uint64_t>(os[t]), static_cast<uint64_t>(is[t]), t};
    });
    bool in_order = true;
    for (uint64_t t = 1; t < n && in_order; ++t) in_order = before(g[t - 1], g[t]);
    if (!in_order) std::sort(g.get(), g.get() + n, before);
    // The last value named for a position wins; rows become runs of g.
    uint64_t u = 0;
    for (uint64_t t = 0; t < n; ++t) {
        if (t + 1 < n && g[t + 1].outer == g[t].outer && g[t + 1].inner == g[t].inner) continue;
        g[u++] = g[t];
    }
    uint64_t groups = 0;
    for (uint64_t t = 0; t < u; ++t) groups += t == 0 || g[t].outer != g[t - 1].outer;
    Temp<uint64_t> row = temp_array<uint64_t>(groups), first = temp_array<uint64_t>(groups + 1);
    for (uint64_t t = 0, q = 0; t < u; ++t)
        if (t == 0 || g[t].outer != g[t - 1].outer) {
            row[q] = g[t].outer;
            first[q++] = t;
        }
    first[groups] = u;
    Temp<uint8_t> seen = temp_array<uint8_t>(u);
    Temp<uint64_t> lens = temp_array<uint64_t>(groups);
    const Span* vs = m.values.ptr;
    const Span* xs = m.indices.ptr;
    par::for_each(groups, [&](uint64_t q) {
        lens[q] = merge_row<V>(vs[row[q]], xs[row[q]], g.get(), first[q], first[q + 1], vals,
                               seen.get(), nullptr, nullptr);
    });
    bool ok = replace_rows<V>(m, row.get(), lens.get(), groups,
                              [&](uint64_t q, V* ov, int64_t* ox, uint64_t) {
                                  merge_row<V>(vs[row[q]], xs[row[q]], g.get(), first[q],
                                               first[q + 1], vals, seen.get(), ov, ox);
                              });
    return ok ? KORVEX_OK : KORVEX_STATUS_ALLOC;
}

template <typename V, Form F>
int32_t eliminate_zeros(CompressedMatrix& m) {
    return drop_small<V, F>(m, 0.0);
}

template <typename V, Form F>
int32_t drop_small(CompressedMatrix& m, double tol) {
    const uint64_t outer = outer_dim<F>(m);
    KORVEX_INVARIANT(m.values.len >= outer && m.indices.len >= outer,
                     "span arrays shorter than the shape");
    if (tol == 0.0)  // a plain comparison (-0.0 == 0.0; NaN kept)
        return filter_rows<V>(m, outer, [](V v) { return v != V(0); });
    return filter_rows<V>(m, outer,
                          [tol](V v) { return !(std::fabs(static_cast<double>(v)) <= tol); });
}

template <typename V, Form F>
int32_t sum_duplicates(CompressedMatrix& m) {
    const uint64_t outer = outer_dim<F>(m);
    KORVEX_INVARIANT(m.values.len >= outer && m.indices.len >= outer,
                     "span arrays shorter than the shape");
    const Span* vs = m.values.ptr;
    const Span* xs = m.indices.ptr;
    std::vector<uint64_t> rows =
        rows_where(outer, [&](uint64_t i) { return !is_sorted_run(idx_of(xs[i]), xs[i].len); });
    const uint64_t k = rows.size();
    if (k == 0) return KORVEX_OK;
    // Each row is summed once to size it and again to fill it.
    auto with_summed = [&](uint64_t t, const auto& use) {
        const Span &v = vs[rows[t]], &x = xs[rows[t]];
        Temp<V> tv = temp_array<V>(x.len);
        Temp<int64_t> tx = temp_array<int64_t>(x.len);
        use(tv.get(), tx.get(), summed_row(val_of<V>(v), idx_of(x), x.len, tv.get(), tx.get()));
    };
    Temp<uint64_t> lens = temp_array<uint64_t>(k);
    par::for_each(k, [&](uint64_t t) {
        with_summed(t, [&](const V*, const int64_t*, uint64_t c) { lens[t] = c; });
    });
    bool ok = replace_rows<V>(m, rows.data(), lens.get(), k, [&](uint64_t t, V* ov, int64_t* ox, uint64_t) {
        with_summed(t, [&](const V* tv, const int64_t* tx, uint64_t c) {
            copy_elements(ov, tv, c);
            copy_elements(ox, tx, c);
        });
    });
    return ok ? KORVEX_OK : KORVEX_STATUS_ALLOC;
}

#define KORVEX_EDIT_INSTANTIATE(V, F)                                                         \
    template int32_t set_entries<V, F>(CompressedMatrix&, const int64_t*, const int64_t*,     \
                                       const V*, uint64_t);                                   \
    template int32_t eliminate_zeros<V, F>(CompressedMatrix&);                                \
    template int32_t drop_small<V, F>(CompressedMatrix&, double);                             \
    template int32_t sum_duplicates<V, F>(CompressedMatrix&);
KORVEX_FOR_EACH_FAMILY(KORVEX_EDIT_INSTANTIATE)
#undef KORVEX_EDIT_INSTANTIATE

}  // namespace korvex
