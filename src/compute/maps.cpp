// Value maps: fresh values over the source's shared index spans
// (sparse/fresh.hpp). Empty outer indices keep their (vacant or empty) span.
#include <cmath>
#include <type_traits>

#include "compute/compute.hpp"
#include "compute/vecmath.hpp"
#include "sparse/fresh.hpp"
#include "sparse/rewrite.hpp"
#include "sparse/rowsort.hpp"

namespace korvex::compute {

namespace {

// Maps every value with fn(values, indices, from, to, outer, dst): writes
// dst[q - from] for entries [from, to) of the outer index, false when the
// entries cannot be mapped (an index outside). The source holds S values
// (V, or float under a float64 result: a widening keeps the index spans).
template <typename V, Form F, bool UsesIndex, typename S = V, typename Fn>
int32_t remap(const CompressedMatrix& m, const Fn& fn, CompressedMatrix** out) {
    const Span* vals = m.values.ptr;
    const Span* idxs = m.indices.ptr;
    auto map_entries = [&](uint64_t i, uint64_t from, uint64_t to, V* dst) {
        const S* src = static_cast<const S*>(vals[i].data);
        const int64_t* x = nullptr;
        if constexpr (UsesIndex) {
            if (idxs[i].len != vals[i].len) return false;
            x = static_cast<const int64_t*>(idxs[i].data);
        }
        return fn(src, x, from, to, i, dst);
    };
    return fresh_values_over_shared_indices<V>(m, outer_dim<F>(m), Family::of<V, F>(), map_entries, out);
}

// fn(v) for every value (an S value taken to V first).
template <typename V, Form F, typename S, typename Fn>
int32_t map_each(const CompressedMatrix& m, const Fn& fn, CompressedMatrix** out) {
    return remap<V, F, false, S>(
        m,
        [&](const S* src, const int64_t*, uint64_t from, uint64_t to, uint64_t, V* dst) {
            for (uint64_t q = from; q < to; ++q) dst[q - from] = fn(static_cast<V>(src[q]));
            return true;
        },
        out);
}

// fn(src, dst, count) over each run of values (whole arrays at once); S
// values are first taken to V in dst, then mapped there.
template <typename V, Form F, typename S, typename Fn>
int32_t map_runs(const CompressedMatrix& m, const Fn& fn, CompressedMatrix** out) {
    return remap<V, F, false, S>(
        m,
        [&](const S* src, const int64_t*, uint64_t from, uint64_t to, uint64_t, V* dst) {
            if constexpr (std::is_same_v<S, V>) {
                fn(src + from, dst, to - from);
            } else {
                for (uint64_t q = from; q < to; ++q) dst[q - from] = static_cast<V>(src[q]);
                fn(dst, dst, to - from);
            }
            return true;
        },
        out);
}

// numpy's round: scale by 10^|d| (built by repeated products, in double,
// then taken to the value type), round half to even, scale back.
template <typename V>
struct Round {
    V f;
    bool up;
    explicit Round(double arg) {
        double d = std::isfinite(arg) ? std::fmax(-1000.0, std::fmin(1000.0, std::trunc(arg))) : 0;
        int n = static_cast<int>(d);
        up = n >= 0;
        int e = up ? n : -n;
        static const double small[] = {1e0, 1e1, 1e2, 1e3, 1e4, 1e5, 1e6, 1e7, 1e8};
        double p;
        if (e < 9) {
            p = small[e];
        } else {
            p = 1e9;
            while (e-- > 9) p *= 10.;
        }
        f = static_cast<V>(p);
    }
    V operator()(V v) const { return up ? V(std::rint(V(v * f)) / f) : V(std::rint(V(v / f)) * f); }
};

template <typename V>
constexpr V kPi = V(3.141592653589793238462643383279502884);

template <typename V>
V sign_of(V v) {
    return v > 0 ? V(1) : v < 0 ? V(-1) : v == 0 ? V(0) : v;
}

template <uint32_t>
constexpr bool kNoKernel = false;

// The kernel of map operation Op (a KORVEX_MAP_* code) over m, whose values
// are S; the result holds V.
template <uint32_t Op, typename V, Form F, typename S>
int32_t apply_map(const CompressedMatrix& m, double arg, CompressedMatrix** out) {
    const V a = static_cast<V>(arg);
    if constexpr (Op == KORVEX_MAP_SCALE) return map_each<V, F, S>(m, [a](V v) { return v * a; }, out);
    else if constexpr (Op == KORVEX_MAP_NEGATE) return map_each<V, F, S>(m, [](V v) { return -v; }, out);
    else if constexpr (Op == KORVEX_MAP_ABS) return map_each<V, F, S>(m, [](V v) { return std::fabs(v); }, out);
    else if constexpr (Op == KORVEX_MAP_POWER)
        return map_each<V, F, S>(m, [a](V v) { return V(std::pow(v, a)); }, out);
    else if constexpr (Op == KORVEX_MAP_SQRT) return map_each<V, F, S>(m, [](V v) { return std::sqrt(v); }, out);
    else if constexpr (Op == KORVEX_MAP_LOG1P)
        return map_runs<V, F, S>(m, [](const V* s, V* d, uint64_t n) { log1p_array(s, d, n); }, out);
    else if constexpr (Op == KORVEX_MAP_EXPM1)
        return map_runs<V, F, S>(m, [](const V* s, V* d, uint64_t n) { expm1_array(s, d, n); }, out);
    else if constexpr (Op == KORVEX_MAP_SIN) return map_each<V, F, S>(m, [](V v) { return std::sin(v); }, out);
    else if constexpr (Op == KORVEX_MAP_TAN) return map_each<V, F, S>(m, [](V v) { return std::tan(v); }, out);
    else if constexpr (Op == KORVEX_MAP_ARCSIN) return map_each<V, F, S>(m, [](V v) { return std::asin(v); }, out);
    else if constexpr (Op == KORVEX_MAP_ARCTAN) return map_each<V, F, S>(m, [](V v) { return std::atan(v); }, out);
    else if constexpr (Op == KORVEX_MAP_SINH) return map_each<V, F, S>(m, [](V v) { return std::sinh(v); }, out);
    else if constexpr (Op == KORVEX_MAP_TANH) return map_each<V, F, S>(m, [](V v) { return std::tanh(v); }, out);
    else if constexpr (Op == KORVEX_MAP_ARCSINH) return map_each<V, F, S>(m, [](V v) { return std::asinh(v); }, out);
    else if constexpr (Op == KORVEX_MAP_FLOOR) return map_each<V, F, S>(m, [](V v) { return std::floor(v); }, out);
    else if constexpr (Op == KORVEX_MAP_CEIL) return map_each<V, F, S>(m, [](V v) { return std::ceil(v); }, out);
    else if constexpr (Op == KORVEX_MAP_RINT) return map_each<V, F, S>(m, [](V v) { return std::rint(v); }, out);
    else if constexpr (Op == KORVEX_MAP_TRUNC) return map_each<V, F, S>(m, [](V v) { return std::trunc(v); }, out);
    else if constexpr (Op == KORVEX_MAP_SIGN) return map_each<V, F, S>(m, [](V v) { return sign_of(v); }, out);
    else if constexpr (Op == KORVEX_MAP_DEG2RAD)
        return map_each<V, F, S>(m, [](V v) { return v * (kPi<V> / V(180)); }, out);
    else if constexpr (Op == KORVEX_MAP_RAD2DEG)
        return map_each<V, F, S>(m, [](V v) { return v * (V(180) / kPi<V>); }, out);
    else if constexpr (Op == KORVEX_MAP_ROUND) return map_each<V, F, S>(m, Round<V>(arg), out);
    else static_assert(kNoKernel<Op>, "a map operation of the list has no kernel");
}

// One case per line of the operation list (korvex_exports.h).
template <typename V, Form F, typename S>
int32_t map_any(const CompressedMatrix& m, uint32_t op, double arg, CompressedMatrix** out) {
#define KORVEX_MAP_CASE(NAME, name, code) \
    case KORVEX_MAP_##NAME: return apply_map<KORVEX_MAP_##NAME, V, F, S>(m, arg, out);
    switch (op) {
        KORVEX_LIST_MAP_OPS(KORVEX_MAP_CASE)
        default: return KORVEX_STATUS_LENGTH;
    }
#undef KORVEX_MAP_CASE
}

}  // namespace

template <typename V, Form F>
int32_t map_values(const CompressedMatrix& m, uint32_t op, double arg, CompressedMatrix** out) {
    return map_any<V, F, V>(m, op, arg, out);
}

template <Form F>
int32_t map_values_widened(const CompressedMatrix& m, uint32_t op, double arg,
                           CompressedMatrix** out) {
    return map_any<double, F, float>(m, op, arg, out);
}

template <typename V, Form F>
int32_t map_summed(const CompressedMatrix& m, uint32_t op, double arg, CompressedMatrix** out) {
    const uint64_t n = outer_dim<F>(m);
    if (m.values.len != n || m.indices.len != n) return KORVEX_STATUS_INDEX;
    const Span* vs = m.values.ptr;
    const Span* xs = m.indices.ptr;
    const std::vector<uint64_t> rows = rows_where(
        n, [&](uint64_t i) { return !is_sorted_run(static_cast<const int64_t*>(xs[i].data), xs[i].len); });
    if (rows.empty()) return map_values<V, F>(m, op, arg, out);
    const uint64_t k = rows.size();
    for (uint64_t t = 0; t < k; ++t)
        if (xs[rows[t]].len != vs[rows[t]].len) return KORVEX_STATUS_INDEX;
    struct Owned {  // an intermediate matrix, freed on every way out
        CompressedMatrix* p = nullptr;
        ~Owned() {
            if (p) matrix_free(p);
        }
    };
    // The summed rows as a matrix of k outer indices of their own, mapped
    // by map_values itself; then the map of m with those rows replaced.
    auto with_summed = [&](uint64_t t, const auto& use) {
        const Span &v = vs[rows[t]], &x = xs[rows[t]];
        Temp<V> tv = temp_array<V>(x.len);
        Temp<int64_t> tx = temp_array<int64_t>(x.len);
        use(tv.get(), tx.get(),
            summed_row(static_cast<const V*>(v.data), static_cast<const int64_t*>(x.data), x.len,
                       tv.get(), tx.get()));
    };
    Temp<uint64_t> lens = temp_array<uint64_t>(k);
    par::for_each(k, [&](uint64_t t) {
        with_summed(t, [&](const V*, const int64_t*, uint64_t c) { lens[t] = c; });
    });
    uint64_t entries = 0;
    for (uint64_t t = 0; t < k; ++t) entries += lens[t];
    SpanVec sv, sx;
    if (assemble_outer(lens.get(), k, sizeof(V), false, sv, sx,
                       [&](uint64_t t, void* ov, int64_t* ox, uint64_t) {
                           with_summed(t, [&](const V* tv, const int64_t* tx, uint64_t c) {
                               copy_elements(static_cast<V*>(ov), tv, c);
                               copy_elements(ox, tx, c);
                           });
                       }))
        return KORVEX_STATUS_ALLOC;
    const uint64_t inner = inner_dim<F>(m);
    Owned sums{make_matrix(Family::of<V, F>(), sv, sx, rows_of<F>(k, inner), cols_of<F>(k, inner),
                           true, entries)};
    Owned mapped, result;
    if (int32_t st = map_values<V, F>(*sums.p, op, arg, &mapped.p)) return st;
    if (int32_t st = map_values<V, F>(m, op, arg, &result.p)) return st;
    const Span* mv = mapped.p->values.ptr;
    const Span* mx = mapped.p->indices.ptr;
    if (!replace_rows<V>(*result.p, rows.data(), lens.get(), k,
                         [&](uint64_t t, V* ov, int64_t* ox, uint64_t c) {
                             copy_elements(ov, static_cast<const V*>(mv[t].data), c);
                             copy_elements(ox, static_cast<const int64_t*>(mx[t].data), c);
                         }))
        return KORVEX_STATUS_ALLOC;
    *out = result.p;
    result.p = nullptr;
    return KORVEX_OK;
}

template <typename V, Form F>
int32_t scale_axis(const CompressedMatrix& m, const V* w, bool rows, CompressedMatrix** out) {
    if (rows == (F == Form::csr)) {  // one factor per outer index
        return remap<V, F, false>(
            m,
            [w](const V* src, const int64_t*, uint64_t from, uint64_t to, uint64_t i, V* dst) {
                const V f = w[i];
                for (uint64_t q = from; q < to; ++q) dst[q - from] = src[q] * f;
                return true;
            },
            out);
    }
    const uint64_t inner = inner_dim<F>(m);
    return remap<V, F, true>(
        m,
        [w, inner](const V* src, const int64_t* x, uint64_t from, uint64_t to, uint64_t, V* dst) {
            for (uint64_t q = from; q < to; ++q) {
                const uint64_t j = static_cast<uint64_t>(x[q]);
                if (__builtin_expect(j >= inner, 0)) return false;
                dst[q - from] = src[q] * w[j];
            }
            return true;
        },
        out);
}

#define KORVEX_MAPS(V, F)                                                                  \
    template int32_t map_values<V, F>(const CompressedMatrix&, uint32_t, double,           \
                                      CompressedMatrix**);                                 \
    template int32_t map_summed<V, F>(const CompressedMatrix&, uint32_t, double,           \
                                      CompressedMatrix**);                                 \
    template int32_t scale_axis<V, F>(const CompressedMatrix&, const V*, bool, CompressedMatrix**);
KORVEX_FOR_EACH_FAMILY(KORVEX_MAPS)
#undef KORVEX_MAPS
template int32_t map_values_widened<Form::csr>(const CompressedMatrix&, uint32_t, double,
                                               CompressedMatrix**);
template int32_t map_values_widened<Form::csc>(const CompressedMatrix&, uint32_t, double,
                                               CompressedMatrix**);

}  // namespace korvex::compute
