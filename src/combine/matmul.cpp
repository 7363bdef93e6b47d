// The sparse product in two passes over the outer indices of the result.
//
// The first pass counts each result row's distinct indices (and its
// multiply-adds, and the least and greatest index it reaches) from the
// operands' indices alone; one span batch of exactly those sizes is then
// made, and the second pass accumulates the values and writes each row in
// index order. A sum that cancels to exactly zero is not stored: its row's
// spans are shortened (a row left empty gets vacant spans), so the batch
// holds no more than the structural result. The accumulators (per thread,
// reused, so small rows stay in L1) are chosen per row by its work: the
// count uses a bitmap of the inner dimension when the row's multiply-adds
// reach a 32nd of it and a hashed set otherwise; the fill uses a dense
// array over the row's own index range when that range is narrow, and
// otherwise a table ordered like the indices (read out nearly sorted), or
// a hashed table sorted on the way out for rows whose indices bunch up.
// The first pass is cut by the left rows' entries, the second by the
// multiply-adds each row counted, so that rows reaching into long rows do
// not pile onto one thread.
//
// When the left operand has entries enough to pay for it, the right
// operand's rows are first flattened into one 32-byte record each (index
// and value addresses, length), so that reaching a right row costs one
// cache line rather than two span descriptors; right rows of fewer than 4
// entries on average are copied end to end instead.
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
constexpr uint64_t kFree = ~uint64_t{0};     // an empty hash slot
constexpr uint64_t kBadRow = ~uint64_t{0};   // a right row whose spans differ in length
constexpr uint64_t kOrderedTail = 32;        // ordered-table slots past the last home slot

// One right row: where its indices and values are, and how many.
template <typename V>
struct RightRow {
    const int64_t* idx;
    const V* val;
    uint64_t len;  // kBadRow for spans of different lengths
};
// Flattened rows are 32 bytes apart, from a 32-byte boundary: two a line.
template <typename V>
struct FlatRow {
    RightRow<V> r;
    uint64_t pad;
};
static_assert(sizeof(FlatRow<double>) == 32);

// The right operand read through its span descriptors.
template <typename V>
struct SpanRows {
    const Span *rv, *rx;
    RightRow<V> row(uint64_t k) const {
        const uint64_t len = rx[k].len;
        return {static_cast<const int64_t*>(rx[k].data), static_cast<const V*>(rv[k].data),
                rv[k].len == len ? len : kBadRow};
    }
    [[gnu::always_inline]] void prefetch(uint64_t k) const {
        __builtin_prefetch(rx + k);
        __builtin_prefetch(rv + k);
    }
};

// The right operand read through flattened rows.
template <typename V>
struct FlatRows {
    const FlatRow<V>* r;
    RightRow<V> row(uint64_t k) const { return r[k].r; }
    [[gnu::always_inline]] void prefetch(uint64_t k) const { __builtin_prefetch(r + k); }
};

// The right operand's rows copied end to end: for short rows, whose
// 32-byte segments are mostly padding, this keeps what the product reaches
// into in a fraction of the cache lines.
struct PackedRow {
    uint64_t start, len;  // len kBadRow: spans of different lengths
};
template <typename V>
struct PackedRows {
    const PackedRow* r;
    const int64_t* idx;
    const V* val;
    RightRow<V> row(uint64_t k) const { return {idx + r[k].start, val + r[k].start, r[k].len}; }
    [[gnu::always_inline]] void prefetch(uint64_t k) const { __builtin_prefetch(r + k); }
};

// The product's operands in outer/inner terms: the left operand's outer
// indices are the result's; each left entry (k, v) adds v times right outer
// index k. CSR: left a, right b; CSC: left b, right a.
template <typename V, typename Right>
struct Operands {
    const Span *lv, *lx;
    Right right;
    uint64_t n;      // result outer dim (left outer)
    uint64_t mid;    // left inner dim == right outer dim
    uint64_t inner;  // result inner dim (right inner)
};

template <typename V>
struct Accumulator {
    Buffer<uint64_t> keys;  // hash slots: an inner index, or kFree
    Buffer<V> hvals;
    Buffer<uint64_t> order;  // a row's keys (or (index, slot) keys), sorted on the way out
    Buffer<V> svals;         // their values
    Buffer<V> dense;         // inner elements
    Buffer<uint64_t> bits;   // one bit per inner index; zero between rows
};

inline unsigned hash_bits(uint64_t flops) {
    unsigned b = kMinHashBits;
    while (b < 63 && (uint64_t{1} << b) < 2 * flops) ++b;
    return b;
}

inline uint64_t slot_of(uint64_t j, unsigned bits) {
    return (j * 0x9E3779B97F4A7C15ull) >> (64 - bits);
}

// Sorts n keys ascending: insertion sort for short runs.
inline void sort_keys(uint64_t* k, uint64_t n) {
    if (n > 24) {
        std::sort(k, k + n);
        return;
    }
    for (uint64_t i = 1; i < n; ++i) {
        const uint64_t x = k[i];
        uint64_t j = i;
        for (; j > 0 && k[j - 1] > x; --j) k[j] = k[j - 1];
        k[j] = x;
    }
}

// Left row i: its indices and values; false for spans of different lengths.
template <typename V, typename R>
inline bool left_row(const Operands<V, R>& o, uint64_t i, const int64_t*& lk, const V*& la,
                     uint64_t& len) {
    len = o.lv[i].len;
    lk = static_cast<const int64_t*>(o.lx[i].data);
    la = static_cast<const V*>(o.lv[i].data);
    return o.lx[i].len == len;
}

// Multiply-adds of left row i; false for a left index outside [0, mid) or a
// right row whose spans differ in length.
template <typename V, typename R>
inline bool row_flops(const Operands<V, R>& o, uint64_t i, uint64_t& flops) {
    const int64_t* lk;
    const V* la;
    uint64_t len;
    if (!left_row(o, i, lk, la, len)) return false;
    uint64_t f = 0;
    for (uint64_t q = 0; q < len; ++q) {
        const uint64_t k = static_cast<uint64_t>(lk[q]);
        if (__builtin_expect(k >= o.mid, 0)) return false;
        const uint64_t rl = o.right.row(k).len;
        if (__builtin_expect(rl == kBadRow, 0)) return false;
        f = __builtin_add_overflow(f, rl, &f) ? UINT64_MAX : f;
    }
    flops = f;
    return true;
}

// How far prefetches run ahead: a row's first kLead left entries are
// prefetched a row or two before it starts; within a row, the descriptor of
// the right row kLead entries on and the data of the one kLead / 2 on.
constexpr uint64_t kLead = 16;

// Prefetches the first lines (up to four) of a right row's indices, and of
// its values when `values`. Always inlined, like every prefetching helper
// here: GCC takes a function that only prefetches for one without effects
// and drops its calls.
template <typename V>
[[gnu::always_inline]] inline void prefetch_data(const RightRow<V>& r, bool values) {
    const uint64_t lines = r.len >= 32 ? 4 : (r.len + 7) / 8;
    for (uint64_t l = 0; l < lines; ++l) {
        __builtin_prefetch(r.idx + 8 * l);
        if (values) __builtin_prefetch(reinterpret_cast<const char*>(r.val) + 64 * l);
    }
}

// Prefetches, for the first kLead left entries of row i, the right rows'
// descriptors (`data` false) or their data (`data` true: the descriptors
// should be in cache by then). Nothing is checked here: an index outside
// [0, mid) is skipped and reported by the loop that uses it.
template <typename V, typename R>
[[gnu::always_inline]] inline void prefetch_right(const Operands<V, R>& o, uint64_t i, bool data,
                                                  bool values) {
    const uint64_t len = o.lx[i].len;
    if (o.lv[i].len != len) return;
    const int64_t* lk = static_cast<const int64_t*>(o.lx[i].data);
    for (uint64_t q = 0; q < len && q < kLead; ++q) {
        const uint64_t k = static_cast<uint64_t>(lk[q]);
        if (k >= o.mid) continue;
        if (data) {
            prefetch_data(o.right.row(k), values);
        } else {
            o.right.prefetch(k);
        }
    }
}

// Runs row(i) over [b, e), prefetching what the rows two and one ahead
// read first, so that the misses on the right operand's rows overlap.
template <bool Values, typename V, typename R, typename Row>
inline void rows_prefetched(const Operands<V, R>& o, uint64_t b, uint64_t e, const Row& row) {
    constexpr uint64_t kAhead = 2;  // rows between the two prefetches and their use
    for (uint64_t i = b; i < e && i < b + 2 * kAhead; ++i) prefetch_right(o, i, false, Values);
    for (uint64_t i = b; i < e && i < b + kAhead; ++i) prefetch_right(o, i, true, Values);
    for (uint64_t i = b; i < e; ++i) {
        if (i + 2 * kAhead < e) prefetch_right(o, i + 2 * kAhead, false, Values);
        if (i + kAhead < e) prefetch_right(o, i + kAhead, true, Values);
        if (!row(i)) return;
    }
}

// Calls term(j, p) for each multiply-add of row i (inner index j, product
// p; p is 0 unless Values), left entries in stored order, each over its
// right row in stored order. False as soon as term does, or at a left index
// outside [0, mid), a right row whose spans differ in length or an inner
// index outside [base, base + range).
template <bool Values, typename V, typename R, typename Term>
[[gnu::always_inline]] inline bool each_term(const Operands<V, R>& o, const int64_t* lk,
                                             const V* la, uint64_t len, uint64_t base,
                                             uint64_t range, const Term& term) {
    for (uint64_t q = 0; q < len; ++q) {
        if (q + kLead < len) {  // long rows: prefetch within the row
            const uint64_t d = static_cast<uint64_t>(lk[q + kLead]);
            if (d < o.mid) o.right.prefetch(d);
        }
        if (q >= kLead / 2 && q + kLead / 2 < len) {
            const uint64_t d = static_cast<uint64_t>(lk[q + kLead / 2]);
            if (d < o.mid) prefetch_data(o.right.row(d), Values);
        }
        const uint64_t k = static_cast<uint64_t>(lk[q]);
        if (__builtin_expect(k >= o.mid, 0)) return false;
        const RightRow<V> r = o.right.row(k);
        if (__builtin_expect(r.len == kBadRow, 0)) return false;
        const V a = Values ? la[q] : V(0);
        for (uint64_t t = 0; t < r.len; ++t) {
            const uint64_t j = static_cast<uint64_t>(r.idx[t]);
            if (__builtin_expect(j - base >= range, 0)) return false;
            if (!term(j, Values ? a * r.val[t] : V(0))) return false;
        }
    }
    return true;
}

// The distinct inner indices that row i reaches (flops multiply-adds, at
// least one), and the least and greatest of them, from indices alone. The
// accumulator is left clean. False for an index outside its dimension (or
// a right row whose spans differ).
template <typename V, typename R>
bool row_count(const Operands<V, R>& o, uint64_t i, uint64_t flops, Accumulator<V>& acc,
               uint64_t& count, uint64_t& lo, uint64_t& hi) {
    const int64_t* lk;
    const V* la;
    uint64_t len;
    if (!left_row(o, i, lk, la, len)) return false;
    const uint64_t inner = o.inner;
    uint64_t c = 0, least = UINT64_MAX, most = 0;
    bool ok;
    if (flops >= (inner + kDenseRatio - 1) / kDenseRatio) {  // flops * 32 >= inner, unwrapped
        uint64_t* bm = acc.bits.grow(inner / 64 + 1, 0);
        ok = each_term<false>(o, lk, la, len, 0, inner, [&](uint64_t j, V) {
            const uint64_t w = bm[j >> 6], bit = uint64_t{1} << (j & 63);
            c += (w & bit) == 0;  // counted as set: no popcount instruction needed
            bm[j >> 6] = w | bit;
            least = std::min(least, j);
            most = std::max(most, j);
            return true;
        });
        if (least != UINT64_MAX) std::fill(bm + (least >> 6), bm + (most >> 6) + 1, uint64_t{0});
    } else {
        const unsigned bits = hash_bits(flops);
        const uint64_t size = uint64_t{1} << bits, mask = size - 1;
        uint64_t* keys = acc.keys.grow(size, kFree);
        ok = each_term<false>(o, lk, la, len, 0, inner, [&](uint64_t j, V) {
            for (uint64_t h = slot_of(j, bits);; h = (h + 1) & mask) {
                const uint64_t key = keys[h];
                if (key == j) return true;
                if (key == kFree) {
                    keys[h] = j;
                    ++c;
                    least = std::min(least, j);
                    most = std::max(most, j);
                    return true;
                }
            }
        });
        std::fill(keys, keys + size, kFree);
    }
    count = c;
    lo = least;
    hi = most;
    return ok;
}

// Adds p to the slot holding key j, or to the first free slot met, probing
// from slot h on through next(h); false when next gives up (kFree).
template <typename V, typename Next>
[[gnu::always_inline]] inline bool accumulate(uint64_t* keys, V* hv, uint64_t j, V p, uint64_t h,
                                              const Next& next) {
    for (;;) {
        const uint64_t key = keys[h];
        if (key == j) {
            hv[h] += p;
            return true;
        }
        if (key == kFree) {
            keys[h] = j;
            hv[h] = p;
            return true;
        }
        h = next(h);
        if (h == kFree) return false;
    }
}

// Accumulates row i (flops multiply-adds reaching indices lo..hi) and writes
// its entries that are not exactly zero, in index order, to ox/ov (room for
// cap), setting count. The accumulator is left clean. False for an index
// outside lo..hi or a bad right row (the operands changed underneath), or
// more entries than cap.
//
// Three accumulators, by the row's spread: a dense array over lo..hi when
// that range is within kDenseRatio slots per multiply-add; otherwise a table
// whose slots follow the indices' order (index lo + s * range / size lands
// at slot s or just after), read out nearly sorted; and, for a row whose
// indices bunch up so that the ordered table's probes run long, a hashed
// table sorted on the way out.
template <typename V, typename R>
bool row_fill(const Operands<V, R>& o, uint64_t i, uint64_t flops, uint64_t lo, uint64_t hi,
              Accumulator<V>& acc, int64_t* ox, V* ov, uint64_t cap, uint64_t& count) {
    const int64_t* lk;
    const V* la;
    uint64_t len;
    if (!left_row(o, i, lk, la, len) || lo > hi) return false;
    const uint64_t range = hi - lo + 1;
    uint64_t c = 0;
    auto emit = [&](uint64_t j, V v) {
        if (v == V(0)) return;
        if (c < cap) {
            ox[c] = static_cast<int64_t>(j);
            ov[c] = v;
        }
        ++c;
    };
    if (range / kDenseRatio <= flops) {
        V* dv = acc.dense.grow(range);
        uint64_t* bm = acc.bits.grow(range / 64 + 1, 0);
        const bool ok = each_term<true>(o, lk, la, len, lo, range, [&](uint64_t j, V p) {
            const uint64_t d = j - lo, w = d >> 6, bit = uint64_t{1} << (d & 63);
            if (bm[w] & bit) {
                dv[d] += p;
            } else {
                bm[w] |= bit;
                dv[d] = p;
            }
            return true;
        });
        for (uint64_t w = 0; w <= (range - 1) >> 6; ++w) {
            uint64_t word = bm[w];
            bm[w] = 0;
            while (word) {
                const uint64_t d = (w << 6) | static_cast<uint64_t>(__builtin_ctzll(word));
                word &= word - 1;
                emit(lo + d, dv[d]);
            }
        }
        count = c;
        return ok && c <= cap;
    }
    const unsigned bits = hash_bits(flops);
    const uint64_t size = uint64_t{1} << bits, mask = size - 1;
    // range > kDenseRatio * flops >= size here, so the scale is below 2^64.
    const uint64_t scale =
        static_cast<uint64_t>((static_cast<unsigned __int128>(size) << 64) / range);
    const uint64_t slots = size + kOrderedTail;
    uint64_t* keys = acc.keys.grow(slots, kFree);
    V* hv = acc.hvals.grow(slots);
    uint64_t budget = 4 * flops + kOrderedTail;  // probes past the home slots
    bool spilled = false;
    bool ok = each_term<true>(o, lk, la, len, lo, range, [&](uint64_t j, V p) {
        const uint64_t home =
            static_cast<uint64_t>((static_cast<unsigned __int128>(j - lo) * scale) >> 64);
        spilled = !accumulate(keys, hv, j, p, home, [&](uint64_t h) {
            return h + 1 == slots || budget-- == 0 ? kFree : h + 1;
        });
        return !spilled;
    });
    if (!spilled) {
        // Read out without a branch per slot (a free slot is as likely as
        // not): every slot is copied, the count moves on for a taken one.
        uint64_t* sk = acc.order.grow(slots);
        V* sv = acc.svals.grow(slots);
        uint64_t m = 0;
        for (uint64_t h = 0; h < slots; ++h) {
            const uint64_t key = keys[h];
            sk[m] = key;
            sv[m] = hv[h];
            m += key != kFree;
            keys[h] = kFree;
        }
        if (!ok) return false;
        insertion_sort_row(sk, sv, m);  // few inversions left
        for (uint64_t t = 0; t < m; ++t) emit(sk[t], sv[t]);
        count = c;
        return c <= cap;
    }
    std::fill(keys, keys + slots, kFree);
    ok = each_term<true>(o, lk, la, len, lo, range, [&](uint64_t j, V p) {
        return accumulate(keys, hv, j, p, slot_of(j, bits),
                          [mask](uint64_t h) { return (h + 1) & mask; });
    });
    // Out in index order: (index, slot) packed into one key where the inner
    // dimension leaves room, sorted, then read back.
    const bool packed = bits < 64 && ((o.inner - 1) >> (64 - bits)) == 0;
    uint64_t* ord = acc.order.grow(std::min(size, flops));
    for (uint64_t h = 0; h < size; ++h) {
        const uint64_t key = keys[h];
        if (key == kFree) continue;
        keys[h] = kFree;
        if (!packed) {
            emit(key, hv[h]);
            continue;
        }
        if (hv[h] == V(0)) continue;
        if (c < cap) ord[c] = (key << bits) | h;
        ++c;
    }
    count = c;
    if (!ok || c > cap) return false;
    if (packed) {
        sort_keys(ord, c);
        for (uint64_t t = 0; t < c; ++t) {
            ox[t] = static_cast<int64_t>(ord[t] >> bits);
            ov[t] = hv[ord[t] & mask];
        }
    } else {
        sort_row(ov, ox, c);
    }
    return true;
}

template <typename V, Form F, typename R>
int32_t product(const Operands<V, R>& o, uint64_t rows, uint64_t cols, uint64_t* work,
                CompressedMatrix** out) {
    const uint64_t n = o.n;
    Temp<uint64_t> flops = temp_array<uint64_t>(n);
    Temp<uint64_t> lens = temp_array<uint64_t>(n);
    Temp<uint64_t> lows = temp_array<uint64_t>(n), highs = temp_array<uint64_t>(n);
    PerThread<Accumulator<V>> accs;
    Failure fail;
    {
        Cut cut = cut_by_work(work, n, 16, 1024);
        par::for_each(cut.count, [&](uint64_t p) {
            if (fail.any()) return;
            Accumulator<V>& acc = accs.mine();
            rows_prefetched<false>(o, cut.begin(p), cut.end(p), [&](uint64_t i) {
                uint64_t f = 0, c = 0, lo = 0, hi = 0;
                if (!row_flops(o, i, f) || (f != 0 && !row_count(o, i, f, acc, c, lo, hi))) {
                    fail.set(KORVEX_STATUS_INDEX);
                    return false;
                }
                flops[i] = f;
                lens[i] = c;
                lows[i] = lo;
                highs[i] = hi;
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
        Cut cut = cut_by_work(work, n, 16, 4096);
        Span* vs = av.ptr;
        Span* xs = ax.ptr;
        par::for_each(cut.count, [&](uint64_t p) {
            if (fail.any()) return;
            Accumulator<V>& acc = accs.mine();
            rows_prefetched<true>(o, cut.begin(p), cut.end(p), [&](uint64_t i) {
                const uint64_t want = lens[i];
                if (want == 0) return true;
                uint64_t c = 0;
                if (!row_fill(o, i, flops[i], lows[i], highs[i], acc, mutable_data<int64_t>(xs[i]),
                              mutable_data<V>(vs[i]), want, c)) {
                    fail.set(KORVEX_STATUS_INDEX);
                    return false;
                }
                if (c != want) {  // sums that cancelled to zero
                    lens[i] = c;
                    if (c == 0) {
                        span_release(vs[i]);
                        span_release(xs[i]);
                        vs[i] = vacant_span(sizeof(V));
                        xs[i] = vacant_span(8);
                    } else {
                        vs[i].len = xs[i].len = c;
                    }
                }
                return true;
            });
        });
    }
    if (fail.any()) return fail.status.load();
    total = 0;
    for (uint64_t i = 0; i < n; ++i) total += lens[i];
    *out = make_matrix(Family::of<V, F>(), gv.take(), gx.take(), rows, cols, 1, total);
    return KORVEX_OK;
}

// Flattens the right operand's m rows into r.
template <typename V>
void flatten_right(const Span* rv, const Span* rx, uint64_t m, FlatRow<V>* r) {
    const SpanRows<V> s{rv, rx};
    par::for_range(m, [&](uint64_t b, uint64_t e) {
        for (uint64_t k = b; k < e; ++k) r[k] = FlatRow<V>{s.row(k), 0};
    });
}

}  // namespace

template <typename V, Form F>
int32_t matmul(const CompressedMatrix& a, const CompressedMatrix& b, CompressedMatrix** out) {
    if (a.cols != b.rows) return KORVEX_STATUS_SHAPE_MISMATCH;
    const CompressedMatrix& l = F == Form::csr ? a : b;
    const CompressedMatrix& r = F == Form::csr ? b : a;
    KORVEX_INVARIANT(l.values.len >= outer_dim<F>(l) && r.values.len >= outer_dim<F>(r),
                     "span arrays shorter than the shape");
    const uint64_t n = outer_dim<F>(l), mid = inner_dim<F>(l), inner = inner_dim<F>(r);
    if (n == 0) {
        *out = make_vacant<V, F>(0, a.rows, b.cols);
        return KORVEX_OK;
    }
    Temp<uint64_t> work = temp_array<uint64_t>(n);
    const Span *lv = l.values.ptr, *lx = l.indices.ptr;
    par::for_range(n, [&](uint64_t b0, uint64_t e0) {
        for (uint64_t i = b0; i < e0; ++i) work[i] = lv[i].len + 1;
    });
    uint64_t entries = 0;  // left entries: right rows are reached this often
    for (uint64_t i = 0; i < n; ++i) entries += work[i] - 1;
    if (entries >= mid / 4) {
        const Span *rv = r.values.ptr, *rx = r.indices.ptr;
        const uint64_t stored = par::sum(mid, [&](uint64_t k) { return rx[k].len; });
        if (stored < 4 * mid) {  // short rows: copy them end to end
            Temp<PackedRow> rows = temp_array<PackedRow>(mid);
            uint64_t total = 0;
            for (uint64_t k = 0; k < mid; ++k) {
                const uint64_t len = rx[k].len;
                const bool good = rv[k].len == len;
                rows[k] = PackedRow{good ? total : 0, good ? len : kBadRow};
                if (good) total += len;
            }
            Temp<int64_t> idx = temp_array<int64_t>(total);
            Temp<V> val = temp_array<V>(total);
            par::for_range(mid, [&](uint64_t b0, uint64_t e0) {
                for (uint64_t k = b0; k < e0; ++k) {
                    if (rows[k].len == kBadRow) continue;
                    copy_elements(idx.get() + rows[k].start, static_cast<const int64_t*>(rx[k].data),
                                  rows[k].len);
                    copy_elements(val.get() + rows[k].start, static_cast<const V*>(rv[k].data),
                                  rows[k].len);
                }
            });
            Operands<V, PackedRows<V>> o{lv, lx, {rows.get(), idx.get(), val.get()}, n, mid, inner};
            return product<V, F>(o, a.rows, b.cols, work.get(), out);
        }
        Temp<FlatRow<V>> raw = temp_array<FlatRow<V>>(add_or_throw(mid, 1));
        const uintptr_t at = (reinterpret_cast<uintptr_t>(raw.get()) + 31) & ~uintptr_t{31};
        FlatRow<V>* flat = reinterpret_cast<FlatRow<V>*>(at);
        flatten_right<V>(r.values.ptr, r.indices.ptr, mid, flat);
        Operands<V, FlatRows<V>> o{lv, lx, {flat}, n, mid, inner};
        return product<V, F>(o, a.rows, b.cols, work.get(), out);
    }
    Operands<V, SpanRows<V>> o{lv, lx, {r.values.ptr, r.indices.ptr}, n, mid, inner};
    return product<V, F>(o, a.rows, b.cols, work.get(), out);
}

#define KORVEX_INSTANTIATE(V, F) \
    template int32_t matmul<V, F>(const CompressedMatrix&, const CompressedMatrix&, CompressedMatrix**);
KORVEX_FOR_EACH_FAMILY(KORVEX_INSTANTIATE)
#undef KORVEX_INSTANTIATE

}  // namespace korvex::combine
