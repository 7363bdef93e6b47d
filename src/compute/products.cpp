// Products and sums. Two loop shapes cover them all: a gather, which gives
// each outer index its own result (CSR M x, CSC M^T z, sums along the outer
// axis), and a scatter, which adds each entry into the result at its inner
// index (CSC M x, CSR M^T z, sums along the inner axis). Scatters add into
// one scratch array per pool thread, summed into the result afterwards.
#include <algorithm>
#include <atomic>
#include <type_traits>

#include "compute/compute.hpp"
#include "sparse/plan.hpp"
#include "span/parallel.hpp"

namespace korvex::compute {

namespace {

constexpr uint64_t kColumnBlock = 8;  // result columns accumulated at once

// A dense operand: element (j, c) at p[j * rs + c * cs].
template <typename T>
struct Dense {
    const T* p;
    uint64_t rs, cs;
    double at(uint64_t j, uint64_t c) const { return static_cast<double>(p[j * rs + c * cs]); }
};
// The all-ones operand of a sum: entries are read without their indices.
struct Ones {};

template <typename O>
struct Out {
    O* p;
    uint64_t rs, cs;
    O& at(uint64_t i, uint64_t c) const { return p[i * rs + c * cs]; }
};

struct Failure {
    std::atomic<int32_t> status{0};
    void set(int32_t s) { status.store(s, std::memory_order_relaxed); }
    bool any() const { return status.load(std::memory_order_relaxed) != 0; }
};

// body.template operator()<KC>() with KC == kc in [1, kColumnBlock], so
// that a block's accumulators stay in registers.
template <typename Body>
inline bool with_width(uint64_t kc, const Body& body) {
    switch (kc) {
        case 1: return body.template operator()<1>();
        case 2: return body.template operator()<2>();
        case 3: return body.template operator()<3>();
        case 4: return body.template operator()<4>();
        case 5: return body.template operator()<5>();
        case 6: return body.template operator()<6>();
        case 7: return body.template operator()<7>();
        default: return body.template operator()<kColumnBlock>();
    }
}

// acc[c] += sum over entries [f, t) of v * in(index, c0 + c), c < kc.
// False when an index lies outside [0, inner).
template <typename V, typename In>
__attribute__((always_inline)) inline bool dot(const V* v, const int64_t* x, uint64_t f, uint64_t t, uint64_t inner,
                const In& in, uint64_t c0, uint64_t kc, double* acc) {
    if constexpr (std::is_same_v<In, Ones>) {
        double a = 0;
        for (uint64_t q = f; q < t; ++q) a += static_cast<double>(v[q]);
        acc[0] += a;
        return true;
    } else {
        if (f == t) return true;  // (the operand may be empty: no pointer arithmetic on it)
        if (kc == 1) {
            const auto* xin = in.p + c0 * in.cs;  // one column: consecutive elements
            double a = 0;
            for (uint64_t q = f; q < t; ++q) {
                const uint64_t j = static_cast<uint64_t>(x[q]);
                if (__builtin_expect(j >= inner, 0)) return false;
                a += static_cast<double>(v[q]) * static_cast<double>(xin[j * in.rs]);
            }
            acc[0] += a;
            return true;
        }
        const auto* base = in.p + c0 * in.cs;
        const uint64_t rs = in.rs, cs = in.cs;
        return with_width(kc, [=]<uint64_t KC>() {
            double a[KC] = {};
            for (uint64_t q = f; q < t; ++q) {
                const uint64_t j = static_cast<uint64_t>(x[q]);
                if (__builtin_expect(j >= inner, 0)) return false;
                const double vq = static_cast<double>(v[q]);
                const auto* row = base + j * rs;
                for (uint64_t c = 0; c < KC; ++c) a[c] += vq * static_cast<double>(row[c * cs]);
            }
            for (uint64_t c = 0; c < KC; ++c) acc[c] += a[c];
            return true;
        });
    }
}

// Entries [f, t) of outer index i into acc[0, k), column block by column
// block. False: an index outside, or value and index spans that differ.
template <typename V, typename In>
inline bool row_dot(const Span* vals, const Span* idxs, uint64_t i, uint64_t f, uint64_t t,
                    uint64_t inner, const In& in, uint64_t k, double* acc) {
    const V* v = static_cast<const V*>(vals[i].data);
    const int64_t* x = nullptr;
    if constexpr (!std::is_same_v<In, Ones>) {
        if (idxs[i].len != vals[i].len) return false;
        x = static_cast<const int64_t*>(idxs[i].data);
    }
    for (uint64_t c0 = 0; c0 < k; c0 += kColumnBlock)
        if (!dot(v, x, f, t, inner, in, c0, std::min(kColumnBlock, k - c0), acc + c0)) return false;
    return true;
}

// out(i, c) for every outer index i in [0, n) and c in [0, k).
template <typename V, typename In, typename O>
int32_t gather(const CompressedMatrix& m, uint64_t n, uint64_t inner, const In& in, Out<O> out,
               uint64_t k) {
    const Span* vals = m.values.ptr;
    const Span* idxs = m.indices.ptr;
    Plan plan = make_plan(vals, n, 0);
    Temp<double> partial = temp_zeroed<double>(mul_or_throw(plan.count, k));
    Failure fail;
    par::for_each(plan.count, [&](uint64_t p) {
        if (fail.any()) return;
        const Piece& pc = plan.pieces[p];
        if (pc.part) {
            if (!row_dot<V>(vals, idxs, pc.begin, pc.from, pc.to, inner, in, k, &partial[p * k]))
                fail.set(KORVEX_STATUS_INDEX);
            return;
        }
        if (k == 1) {  // vectors and sums: one accumulator per row, nothing else
            for (uint64_t i = pc.begin; i < pc.end; ++i) {
                const uint64_t len = vals[i].len;
                const V* v = static_cast<const V*>(vals[i].data);
                const int64_t* x = nullptr;
                if constexpr (!std::is_same_v<In, Ones>) {
                    if (__builtin_expect(idxs[i].len != len, 0)) {
                        fail.set(KORVEX_STATUS_INDEX);
                        return;
                    }
                    x = static_cast<const int64_t*>(idxs[i].data);
                }
                double acc = 0;
                if constexpr (std::is_same_v<In, Ones>) {
                    for (uint64_t q = 0; q < len; ++q) acc += static_cast<double>(v[q]);
                } else {
                    const auto* xin = in.p;  // k == 1: rs is 1 in either order
                    for (uint64_t q = 0; q < len; ++q) {
                        const uint64_t j = static_cast<uint64_t>(x[q]);
                        if (__builtin_expect(j >= inner, 0)) {
                            fail.set(KORVEX_STATUS_INDEX);
                            return;
                        }
                        acc += static_cast<double>(v[q]) * static_cast<double>(xin[j]);
                    }
                }
                out.p[i] = static_cast<O>(acc);
            }
            return;
        }
        double acc[kColumnBlock];
        for (uint64_t i = pc.begin; i < pc.end; ++i) {
            const uint64_t len = vals[i].len;
            const V* v = static_cast<const V*>(vals[i].data);
            const int64_t* x = nullptr;
            if constexpr (!std::is_same_v<In, Ones>) {
                if (idxs[i].len != len) {
                    fail.set(KORVEX_STATUS_INDEX);
                    return;
                }
                x = static_cast<const int64_t*>(idxs[i].data);
            }
            for (uint64_t c0 = 0; c0 < k; c0 += kColumnBlock) {
                const uint64_t kc = std::min(kColumnBlock, k - c0);
                std::fill(acc, acc + kc, 0.0);
                if (!dot(v, x, 0, len, inner, in, c0, kc, acc)) {
                    fail.set(KORVEX_STATUS_INDEX);
                    return;
                }
                for (uint64_t c = 0; c < kc; ++c) out.at(i, c0 + c) = static_cast<O>(acc[c]);
            }
        }
    });
    if (fail.any()) return fail.status.load();
    // Long rows: each part's sum added to the previous parts', in order.
    for (uint64_t p = 0; p < plan.count; ++p) {
        const Piece& pc = plan.pieces[p];
        if (!pc.part) continue;
        if (pc.from != 0)
            for (uint64_t c = 0; c < k; ++c) partial[p * k + c] += partial[(p - 1) * k + c];
        const bool last = p + 1 == plan.count || !plan.pieces[p + 1].part || plan.pieces[p + 1].from == 0;
        if (last)
            for (uint64_t c = 0; c < k; ++c) out.at(pc.begin, c) = static_cast<O>(partial[p * k + c]);
    }
    return KORVEX_OK;
}

// Per-thread arrays of `elems` elements, made on first use by the thread
// that owns the slot: the first thread takes the caller's result array
// (zeroing it), the others zero-filled data blocks, freed on unwind.
template <typename O>
struct Scratch {
    Temp<O*> slot;
    uint64_t count, elems;
    O* result;
    std::atomic<bool> result_taken{false};
    Scratch(uint64_t c, uint64_t e, O* r) : slot(temp_zeroed<O*>(c)), count(c), elems(e), result(r) {}
    Scratch(const Scratch&) = delete;
    Scratch& operator=(const Scratch&) = delete;
    ~Scratch() {
        for (uint64_t s = 0; s < count; ++s)
            if (slot[s] && slot[s] != result) free_data_block(slot[s], elems * sizeof(O));
    }
    O* mine() {
        const uint64_t s = par::slot();
        KORVEX_INVARIANT(s < count, "pool thread outside its slots");
        if (!slot[s]) {
            if (result && !result_taken.exchange(true)) {
                std::fill(result, result + elems, O(0));
                slot[s] = result;
            } else {
                slot[s] = static_cast<O*>(alloc_data_block(elems * sizeof(O)));
            }
        }
        return slot[s];
    }
};

// Adds entries [f, t) of outer index i into acc(index, c) += v * in(i, c).
template <typename V, typename In, typename O>
__attribute__((always_inline)) inline bool scatter_row(const Span* vals, const Span* idxs, uint64_t i, uint64_t f, uint64_t t,
                        uint64_t inner, const In& in, uint64_t k, Out<O> acc) {
    const uint64_t len = vals[i].len;
    if (idxs[i].len != len) return false;
    const V* v = static_cast<const V*>(vals[i].data);
    const int64_t* x = static_cast<const int64_t*>(idxs[i].data);
    if constexpr (std::is_same_v<In, Ones>) {
        for (uint64_t q = f; q < t; ++q) {
            const uint64_t j = static_cast<uint64_t>(x[q]);
            if (__builtin_expect(j >= inner, 0)) return false;
            acc.p[j] += static_cast<O>(v[q]);
        }
    } else if (k == 1) {  // rs is 1 in either order
        const O w = static_cast<O>(in.p[i]);
        O* y = acc.p;
        for (uint64_t q = f; q < t; ++q) {
            const uint64_t j = static_cast<uint64_t>(x[q]);
            if (__builtin_expect(j >= inner, 0)) return false;
            y[j] += static_cast<O>(v[q]) * w;
        }
    } else {
        for (uint64_t c0 = 0; c0 < k; c0 += kColumnBlock) {
            const uint64_t kc = std::min(kColumnBlock, k - c0);
            const bool ok = with_width(kc, [&]<uint64_t KC>() {
                O w[KC];
                for (uint64_t c = 0; c < KC; ++c) w[c] = static_cast<O>(in.at(i, c0 + c));
                for (uint64_t q = f; q < t; ++q) {
                    const uint64_t j = static_cast<uint64_t>(x[q]);
                    if (__builtin_expect(j >= inner, 0)) return false;
                    const O vq = static_cast<O>(v[q]);
                    for (uint64_t c = 0; c < KC; ++c) acc.at(j, c0 + c) += vq * w[c];
                }
                return true;
            });
            if (!ok) return false;
        }
    }
    return true;
}

// out(j, c) = sum over entries at inner index j of v * in(outer, c); out is
// inner x k with strides (rs, cs) and dense (inner * k elements). With
// `interleave` (a column-major block) the per-thread arrays are row-major,
// so that an entry's k sums share a cache line, and the final sum writes
// them to out's layout.
template <typename V, typename In, typename O>
int32_t scatter(const CompressedMatrix& m, uint64_t n, uint64_t inner, const In& in, Out<O> out,
                uint64_t k, bool interleave = false) {
    const Span* vals = m.values.ptr;
    const Span* idxs = m.indices.ptr;
    const uint64_t elems = mul_or_throw(inner, k);
    Plan plan = make_plan(vals, n, 0);
    Failure fail;
    auto run = [&](const Piece& pc, Out<O> acc) {
        if (pc.part) {
            if (!scatter_row<V>(vals, idxs, pc.begin, pc.from, pc.to, inner, in, k, acc))
                fail.set(KORVEX_STATUS_INDEX);
            return;
        }
        for (uint64_t i = pc.begin; i < pc.end; ++i)
            if (!scatter_row<V>(vals, idxs, i, 0, vals[i].len, inner, in, k, acc)) {
                fail.set(KORVEX_STATUS_INDEX);
                return;
            }
    };
    if (plan.count <= 1 || elems == 0) {  // one piece, or nothing to add into: in place
        std::fill(out.p, out.p + elems, O(0));
        for (uint64_t p = 0; p < plan.count && !fail.any(); ++p) run(plan.pieces[p], out);
        return fail.status.load();
    }
    Scratch<O> scratch(par::slot_count(), elems, interleave ? nullptr : out.p);
    const Out<O> layout = interleave ? Out<O>{nullptr, k, 1} : out;
    par::for_each(plan.count, [&](uint64_t p) {
        if (fail.any()) return;
        O* mine = scratch.mine();
        if (!mine) {
            fail.set(KORVEX_STATUS_ALLOC);
            return;
        }
        run(plan.pieces[p], Out<O>{mine, layout.rs, layout.cs});
    });
    if (fail.any()) return fail.status.load();
    uint64_t used = 0;
    Temp<const O*> parts = temp_array<const O*>(scratch.count);
    for (uint64_t s = 0; s < scratch.count; ++s)
        if (scratch.slot[s] && scratch.slot[s] != out.p) parts[used++] = scratch.slot[s];
    if (interleave) {  // every array is scratch; sums go out column by column
        par::for_range((inner + 4095) / 4096, [&](uint64_t b, uint64_t e) {
            for (uint64_t j = b * 4096, je = std::min(inner, e * 4096); j < je; ++j)
                for (uint64_t c = 0; c < k; ++c) {
                    O s = O(0);
                    for (uint64_t u = 0; u < used; ++u) s += parts[u][j * k + c];
                    out.at(j, c) = s;
                }
        });
        return KORVEX_OK;
    }
    if (used == 0) return KORVEX_OK;
    par::for_range((elems + 4095) / 4096, [&](uint64_t b, uint64_t e) {
        for (uint64_t q = b * 4096, qe = std::min(elems, e * 4096); q < qe; ++q) {
            O s = out.p[q];
            for (uint64_t u = 0; u < used; ++u) s += parts[u][q];
            out.p[q] = s;
        }
    });
    return KORVEX_OK;
}

}  // namespace

template <typename V, Form F, typename T>
int32_t product(const CompressedMatrix& m, const T* x, T* y, uint64_t k, bool col_major,
                bool transposed) {
    const uint64_t n = outer_dim<F>(m), inner = inner_dim<F>(m);
    if (m.values.len != n || m.indices.len != n) return KORVEX_STATUS_INDEX;
    if (k == 0) return KORVEX_OK;
    // CSR M x and CSC M^T z read the operand along the inner axis.
    if ((F == Form::csr) != transposed) {
        Out<T> out{y, col_major ? 1 : k, col_major ? n : 1};
        if (col_major && k > 1) {
            // A row-major copy of the operand: an entry's k reads then share
            // a cache line instead of touching k columns far apart.
            Temp<T> rows = temp_array<T>(mul_or_throw(inner, k));
            T* r = rows.get();
            par::for_range((inner + 4095) / 4096, [&](uint64_t b, uint64_t e) {
                for (uint64_t j = b * 4096, je = std::min(inner, e * 4096); j < je; ++j)
                    for (uint64_t c = 0; c < k; ++c) r[j * k + c] = x[c * inner + j];
            });
            return gather<V>(m, n, inner, Dense<T>{r, k, 1}, out, k);
        }
        return gather<V>(m, n, inner, Dense<T>{x, col_major ? 1 : k, col_major ? inner : 1}, out, k);
    }
    Dense<T> in{x, col_major ? 1 : k, col_major ? n : 1};
    Out<T> out{y, col_major ? 1 : k, col_major ? inner : 1};
    return scatter<V>(m, n, inner, in, out, k, col_major && k > 1);
}

template <typename V, Form F>
int32_t sum_axis(const CompressedMatrix& m, double* out, bool rows) {
    const uint64_t n = outer_dim<F>(m), inner = inner_dim<F>(m);
    if (m.values.len != n || m.indices.len != n) return KORVEX_STATUS_INDEX;
    if (rows == (F == Form::csr)) return gather<V>(m, n, inner, Ones{}, Out<double>{out, 1, 1}, 1);
    return scatter<V>(m, n, inner, Ones{}, Out<double>{out, 1, 1}, 1);
}

#define KORVEX_PRODUCTS(V, F)                                                                      \
    template int32_t product<V, F, V>(const CompressedMatrix&, const V*, V*, uint64_t, bool, bool); \
    template int32_t sum_axis<V, F>(const CompressedMatrix&, double*, bool);
KORVEX_FOR_EACH_FAMILY(KORVEX_PRODUCTS)
#undef KORVEX_PRODUCTS
template int32_t product<float, Form::csr, double>(const CompressedMatrix&, const double*, double*,
                                                   uint64_t, bool, bool);
template int32_t product<float, Form::csc, double>(const CompressedMatrix&, const double*, double*,
                                                   uint64_t, bool, bool);

}  // namespace korvex::compute
