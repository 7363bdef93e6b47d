// The sparse product in two passes over the outer indices of the result.
//
// Both passes accumulate each result row the same way, so they see the same
// sums: the first counts the entries that are not exactly zero (and the
// row's multiply-adds), the second, once one span batch of exactly those
// sizes exists, writes them in index order. The accumulator is chosen per
// row by its work: with few multiply-adds against the inner dimension, an
// open-addressing hash table of about twice as many slots as multiply-adds,
// kept per thread and reused (small rows stay in L1), whose entries are
// sorted on the way out; otherwise a dense array of the inner dimension with
// a bitmap of the touched indices, read out in order. The first pass is cut
// by the left rows' entries, the second by the multiply-adds each row
// counted, so that rows reaching into long rows do not pile onto one thread.
//
// Terms are added in the order scipy adds them (left entries in stored
// order, each over its right row in stored order), so sums, and which of
// them cancel to zero, come out the same.
#include <algorithm>

#include "combine/combine.hpp"
#include "combine/work.hpp"
#include "sparse/rowsort.hpp"

namespace korvex::combine {

namespace {

// Dense accumulation when multiply-adds x kDenseRatio reach the inner
// dimension: the bitmap read-out then costs at most a word per kDenseRatio/64
// multiply-adds.
constexpr uint64_t kDenseRatio = 32;
constexpr unsigned kMinHashBits = 4;
constexpr uint64_t kFree = ~uint64_t{0};  // an empty hash slot

// The product's operands in outer/inner terms: the left operand's outer
// indices are the result's; each left entry (k, v) adds v times right outer
// index k. CSR: left a, right b; CSC: left b, right a.
template <typename V>
struct Operands {
    const Span *lv, *lx, *rv, *rx;
    uint64_t n;      // result outer dim (left outer)
    uint64_t mid;    // left inner dim == right outer dim
    uint64_t inner;  // result inner dim (right inner)
};

template <typename V>
struct Accumulator {
    Buffer<uint64_t> keys;  // hash slots: an inner index, or kFree
    Buffer<V> hvals;
    Buffer<V> dense;        // inner elements
    Buffer<uint64_t> bits;  // one bit per inner index; zero between rows
};

inline unsigned hash_bits(uint64_t flops) {
    unsigned b = kMinHashBits;
    while (b < 63 && (uint64_t{1} << b) < 2 * flops) ++b;
    return b;
}

inline uint64_t slot_of(uint64_t j, unsigned bits) {
    return (j * 0x9E3779B97F4A7C15ull) >> (64 - bits);
}

// Multiply-adds of left row i; false for a left index outside [0, mid) or a
// right row whose spans differ in length.
template <typename V>
inline bool row_flops(const Operands<V>& o, uint64_t i, uint64_t& flops) {
    const uint64_t len = o.lv[i].len;
    if (o.lx[i].len != len) return false;
    const int64_t* lk = static_cast<const int64_t*>(o.lx[i].data);
    uint64_t f = 0;
    for (uint64_t q = 0; q < len; ++q) {
        const uint64_t k = static_cast<uint64_t>(lk[q]);
        if (__builtin_expect(k >= o.mid, 0)) return false;
        const uint64_t rl = o.rx[k].len;
        if (__builtin_expect(o.rv[k].len != rl, 0)) return false;
        f = __builtin_add_overflow(f, rl, &f) ? UINT64_MAX : f;
    }
    flops = f;
    return true;
}

// Prefetches, for the left entries of row i, the right rows' span
// descriptors (`data` false) or their first elements (`data` true: the
// descriptors should be in cache by then). Nothing is checked here: an
// index outside [0, mid) is skipped and reported by the loop that uses it.
template <typename V>
inline void prefetch_right(const Operands<V>& o, uint64_t i, bool data) {
    const uint64_t len = o.lx[i].len;
    if (o.lv[i].len != len) return;
    const int64_t* lk = static_cast<const int64_t*>(o.lx[i].data);
    for (uint64_t q = 0; q < len; ++q) {
        const uint64_t k = static_cast<uint64_t>(lk[q]);
        if (k >= o.mid) continue;
        if (data) {
            __builtin_prefetch(o.rx[k].data);
            __builtin_prefetch(o.rv[k].data);
        } else {
            __builtin_prefetch(o.rx + k);
            __builtin_prefetch(o.rv + k);
        }
    }
}

// Runs row(i) over [b, e), prefetching what the rows two and one ahead
// read, so that the misses on the right operand's rows overlap.
template <typename V, typename Row>
inline void rows_prefetched(const Operands<V>& o, uint64_t b, uint64_t e, const Row& row) {
    constexpr uint64_t kAhead = 2;  // rows between the two prefetches and their use
    for (uint64_t i = b; i < e && i < b + 2 * kAhead; ++i) prefetch_right(o, i, false);
    for (uint64_t i = b; i < e && i < b + kAhead; ++i) prefetch_right(o, i, true);
    for (uint64_t i = b; i < e; ++i) {
        if (i + 2 * kAhead < e) prefetch_right(o, i + 2 * kAhead, false);
        if (i + kAhead < e) prefetch_right(o, i + kAhead, true);
        if (!row(i)) return;
    }
}

// Accumulates row i into acc. Emit false: sets count to the number of
// non-zero sums. Emit true: writes them (at most cap) to ox/ov in index
// order and sets count. Either way the accumulator is left clean. False for
// an index outside its dimension (or a right row whose spans differ).
template <typename V, bool Emit>
bool row_product(const Operands<V>& o, uint64_t i, uint64_t flops, Accumulator<V>& acc,
                 int64_t* ox, V* ov, uint64_t cap, uint64_t& count) {
    const uint64_t len = o.lv[i].len;
    if (o.lx[i].len != len) return false;
    const int64_t* lk = static_cast<const int64_t*>(o.lx[i].data);
    const V* la = static_cast<const V*>(o.lv[i].data);
    const uint64_t inner = o.inner;
    uint64_t c = 0;
    if (flops * kDenseRatio >= inner) {
        V* dv = acc.dense.grow(inner);
        uint64_t* bm = acc.bits.grow(inner / 64 + 1, 0);
        uint64_t lo = UINT64_MAX, hi = 0;  // touched words
        bool ok = true;
        for (uint64_t q = 0; q < len && ok; ++q) {
            const uint64_t k = static_cast<uint64_t>(lk[q]);
            if (k >= o.mid || o.rx[k].len != o.rv[k].len) {
                ok = false;
                break;
            }
            const V a = la[q];
            const uint64_t rl = o.rx[k].len;
            const int64_t* rj = static_cast<const int64_t*>(o.rx[k].data);
            const V* rb = static_cast<const V*>(o.rv[k].data);
            for (uint64_t t = 0; t < rl; ++t) {
                const uint64_t j = static_cast<uint64_t>(rj[t]);
                if (__builtin_expect(j >= inner, 0)) {
                    ok = false;
                    break;
                }
                const uint64_t w = j >> 6, bit = uint64_t{1} << (j & 63);
                const V p = a * rb[t];
                if (bm[w] & bit) {
                    dv[j] += p;
                } else {
                    bm[w] |= bit;
                    dv[j] = p;
                    lo = std::min(lo, w);
                    hi = std::max(hi, w);
                }
            }
        }
        for (uint64_t w = lo; w <= hi && lo != UINT64_MAX; ++w) {
            uint64_t word = bm[w];
            bm[w] = 0;
            while (word) {
                const uint64_t j = (w << 6) | static_cast<uint64_t>(__builtin_ctzll(word));
                word &= word - 1;
                if (dv[j] != V(0)) {
                    if constexpr (Emit) {
                        if (c < cap) {
                            ox[c] = static_cast<int64_t>(j);
                            ov[c] = dv[j];
                        }
                    }
                    ++c;
                }
            }
        }
        count = c;
        return ok;
    }
    const unsigned bits = hash_bits(flops);
    const uint64_t size = uint64_t{1} << bits, mask = size - 1;
    uint64_t* keys = acc.keys.grow(size, kFree);
    V* hv = acc.hvals.grow(size);
    bool ok = true;
    for (uint64_t q = 0; q < len && ok; ++q) {
        const uint64_t k = static_cast<uint64_t>(lk[q]);
        if (k >= o.mid || o.rx[k].len != o.rv[k].len) {
            ok = false;
            break;
        }
        const V a = la[q];
        const uint64_t rl = o.rx[k].len;
        const int64_t* rj = static_cast<const int64_t*>(o.rx[k].data);
        const V* rb = static_cast<const V*>(o.rv[k].data);
        for (uint64_t t = 0; t < rl; ++t) {
            const uint64_t j = static_cast<uint64_t>(rj[t]);
            if (__builtin_expect(j >= inner, 0)) {
                ok = false;
                break;
            }
            const V p = a * rb[t];
            uint64_t h = slot_of(j, bits);
            for (;;) {
                const uint64_t key = keys[h];
                if (key == j) {
                    hv[h] += p;
                    break;
                }
                if (key == kFree) {
                    keys[h] = j;
                    hv[h] = p;
                    break;
                }
                h = (h + 1) & mask;
            }
        }
    }
    for (uint64_t h = 0; h < size; ++h) {
        const uint64_t key = keys[h];
        if (key == kFree) continue;
        keys[h] = kFree;
        if (hv[h] != V(0)) {
            if constexpr (Emit) {
                if (c < cap) {
                    ox[c] = static_cast<int64_t>(key);
                    ov[c] = hv[h];
                }
            }
            ++c;
        }
    }
    if constexpr (Emit)
        if (ok && c == cap) sort_row(ov, ox, c);
    count = c;
    return ok;
}

template <typename V, Form F>
int32_t product(const Operands<V>& o, uint64_t rows, uint64_t cols, CompressedMatrix** out) {
    const uint64_t n = o.n;
    if (n == 0) {
        *out = make_vacant<V, F>(0, rows, cols);
        return KORVEX_OK;
    }
    Temp<uint64_t> work = temp_array<uint64_t>(n);
    Temp<uint64_t> flops = temp_array<uint64_t>(n);
    Temp<uint64_t> lens = temp_array<uint64_t>(n);
    par::for_range(n, [&](uint64_t b, uint64_t e) {
        for (uint64_t i = b; i < e; ++i) work[i] = o.lv[i].len + 1;
    });
    PerThread<Accumulator<V>> accs;
    Failure fail;
    {
        Cut cut = cut_by_work(work.get(), n, 16, 1024);
        par::for_each(cut.count, [&](uint64_t p) {
            if (fail.any()) return;
            Accumulator<V>& acc = accs.mine();
            rows_prefetched(o, cut.begin(p), cut.end(p), [&](uint64_t i) {
                uint64_t f = 0, c = 0;
                if (!row_flops(o, i, f) ||
                    (f != 0 && !row_product<V, false>(o, i, f, acc, nullptr, nullptr, 0, c))) {
                    fail.set(KORVEX_STATUS_INDEX);
                    return false;
                }
                flops[i] = f;
                lens[i] = c;
                return true;
            });
        });
    }
    if (fail.any()) return fail.status.load();
    uint64_t total = 0;
    for (uint64_t i = 0; i < n; ++i) {
        total = add_or_throw(total, lens[i]);
        work[i] = (lens[i] ? flops[i] + lens[i] : 0) + 1;
    }
    if (total == 0) {
        *out = make_vacant<V, F>(n, rows, cols);
        return KORVEX_OK;
    }
    SpanVec av, ax;
    if (assemble_outer(lens.get(), n, sizeof(V), /*vacant_fill=*/true, av, ax))
        return KORVEX_STATUS_ALLOC;
    SpanVecGuard gv(av), gx(ax);
    {
        Cut cut = cut_by_work(work.get(), n, 16, 4096);
        const Span* vs = av.ptr;
        const Span* xs = ax.ptr;
        par::for_each(cut.count, [&](uint64_t p) {
            if (fail.any()) return;
            Accumulator<V>& acc = accs.mine();
            rows_prefetched(o, cut.begin(p), cut.end(p), [&](uint64_t i) {
                const uint64_t want = lens[i];
                if (want == 0) return true;
                uint64_t c = 0;
                if (!row_product<V, true>(o, i, flops[i], acc, mutable_data<int64_t>(xs[i]),
                                          mutable_data<V>(vs[i]), want, c) ||
                    c != want) {  // (only if the operands change underneath)
                    fail.set(KORVEX_STATUS_INDEX);
                    return false;
                }
                return true;
            });
        });
    }
    if (fail.any()) return fail.status.load();
    *out = make_matrix(Family::of<V, F>(), gv.take(), gx.take(), rows, cols, 1, total);
    return KORVEX_OK;
}

}  // namespace

template <typename V, Form F>
int32_t matmul(const CompressedMatrix& a, const CompressedMatrix& b, CompressedMatrix** out) {
    if (a.cols != b.rows) return KORVEX_STATUS_SHAPE_MISMATCH;
    const CompressedMatrix& l = F == Form::csr ? a : b;
    const CompressedMatrix& r = F == Form::csr ? b : a;
    KORVEX_INVARIANT(l.values.len >= outer_dim<F>(l) && r.values.len >= outer_dim<F>(r),
                     "span arrays shorter than the shape");
    Operands<V> o{l.values.ptr, l.indices.ptr, r.values.ptr, r.indices.ptr,
                  outer_dim<F>(l), inner_dim<F>(l), inner_dim<F>(r)};
    return product<V, F>(o, a.rows, b.cols, out);
}

#define KORVEX_INSTANTIATE(V, F) \
    template int32_t matmul<V, F>(const CompressedMatrix&, const CompressedMatrix&, CompressedMatrix**);
KORVEX_FOR_EACH_FAMILY(KORVEX_INSTANTIATE)
#undef KORVEX_INSTANTIATE

}  // namespace korvex::combine
