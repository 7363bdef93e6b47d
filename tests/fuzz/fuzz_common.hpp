// Pieces shared by the fuzz targets: a byte reader and a plain model of a
// matrix (per outer index, its (index, value) entries in stored order) that
// results are compared with.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <utility>
#include <vector>

#include "families.hpp"
#include "span/base.hpp"

#define FUZZ_CHECK(c)                                                                    \
    do {                                                                                 \
        if (!(c)) {                                                                      \
            std::fprintf(stderr, "fuzz check failed: %s (%s:%d)\n", #c, __FILE__, __LINE__); \
            std::abort();                                                                \
        }                                                                                \
    } while (0)

namespace fz {

// Reads the input front to back; past the end every read gives 0.
struct Bytes {
    const uint8_t* p;
    size_t n;
    uint8_t u8() { return n ? (--n, *p++) : 0; }
    uint64_t below(uint64_t k) { return k ? u8() % k : 0; }
    uint64_t u64() {
        uint64_t v = 0;
        for (int i = 0; i < 8; ++i) v = v << 8 | u8();
        return v;
    }
    // Usually in [0, dim), sometimes just outside it, rarely anything.
    int64_t index(uint64_t dim) {
        uint8_t t = u8();
        if (t < 224) return dim ? int64_t(t % dim) : 0;
        if (t < 240) return int64_t(dim) + (t & 3) - 2;  // dim-2 .. dim+1
        return int64_t(u64());
    }
    double value() { return double(int(u8() % 17) - 8); }  // exact in f32, zeros included
};

using Entry = std::pair<int64_t, double>;
using Lists = std::vector<std::vector<Entry>>;  // per outer index, stored order

// A matrix as the model sees it; outer is rows for CSR, columns for CSC.
struct Ref {
    uint64_t rows = 0, cols = 0;
    Lists outer;
    uint64_t nnz() const {
        uint64_t s = 0;
        for (auto& l : outer) s += l.size();
        return s;
    }
    bool in_bounds(uint64_t inner) const {
        for (auto& l : outer)
            for (auto& e : l)
                if (uint64_t(e.first) >= inner) return false;
        return true;
    }
    bool sorted() const {
        for (auto& l : outer)
            for (size_t k = 1; k < l.size(); ++k)
                if (!(l[k - 1].first < l[k].first)) return false;
        return true;
    }
};

template <typename A>
uint64_t outer_of(uint64_t rows, uint64_t cols) { return A::csr ? rows : cols; }
template <typename A>
uint64_t inner_of(uint64_t rows, uint64_t cols) { return A::csr ? cols : rows; }

// Reads m back through the accessors, checking the record's own invariants.
template <typename A>
Ref read(CompressedMatrix* m) {
    Ref r{A::rows(m), A::cols(m), {}};
    uint64_t n = outer_of<A>(r.rows, r.cols);
    FUZZ_CHECK(A::values_vec_len(m) == n);
    const Span* vs = A::values_vec(m);
    const Span* xs = A::indices_vec(m);
    r.outer.resize(n);
    for (uint64_t i = 0; i < n; ++i) {
        RowInfo ri = A::info(m, i);
        FUZZ_CHECK(vs[i].len == xs[i].len && ri.len == vs[i].len);
        FUZZ_CHECK(vs[i].data && xs[i].data);
        for (uint64_t k = 0; k < ri.len; ++k)
            r.outer[i].emplace_back(ri.indices[k], double(static_cast<const typename A::V*>(ri.values)[k]));
    }
    return r;
}

// Entries of each outer index ordered by (index, value): for comparing
// results whose order among equal indices is unspecified.
inline Lists canonical(Lists l) {
    for (auto& v : l) std::sort(v.begin(), v.end());
    return l;
}

// The same entries grouped by inner index (all indices must be in range).
inline Ref flip(const Ref& r, uint64_t inner) {
    Ref t{r.rows, r.cols, Lists(inner)};
    for (size_t i = 0; i < r.outer.size(); ++i)
        for (auto& e : r.outer[i]) t.outer[uint64_t(e.first)].emplace_back(int64_t(i), e.second);
    return t;
}

// Row-major dense array; the last stored duplicate wins.
template <typename A>
std::vector<double> dense(const Ref& r) {
    std::vector<double> d(r.rows * r.cols, 0.0);
    for (size_t i = 0; i < r.outer.size(); ++i)
        for (auto& e : r.outer[i]) {
            uint64_t row = A::csr ? i : uint64_t(e.first), col = A::csr ? uint64_t(e.first) : i;
            d[row * r.cols + col] = e.second;
        }
    return d;
}

// Compressed arrays as a host would pass them, kept in exact-size heap
// blocks so that any read past them is caught.
template <typename V>
struct Arrays {
    uint64_t rows = 0, cols = 0, len = 0;
    std::unique_ptr<V[]> data;
    std::unique_ptr<int64_t[]> idx;
    std::unique_ptr<uint64_t[]> ptr;
};

// Up to 8 x 8 (a dimension given as `rows` or `cols` is kept); valid ones
// have sorted in-range indices, the others any indices; indptr pairs may go
// down.
template <typename A>
Arrays<typename A::V> make_arrays(Bytes& in, bool valid, uint64_t rows = 9, uint64_t cols = 9) {
    Arrays<typename A::V> a;
    a.rows = rows < 9 ? rows : in.below(9);
    a.cols = cols < 9 ? cols : in.below(9);
    uint64_t n = outer_of<A>(a.rows, a.cols), inner = inner_of<A>(a.rows, a.cols);
    std::vector<int64_t> idx;
    std::vector<uint64_t> ptr{0};
    for (uint64_t i = 0; i < n; ++i) {
        if (valid) {
            uint8_t bits = in.u8();
            for (uint64_t j = 0; j < inner; ++j)
                if (bits >> j & 1) idx.push_back(int64_t(j));
        } else {
            for (uint64_t k = 0, c = in.below(6); k < c; ++k) idx.push_back(in.index(inner));
        }
        ptr.push_back(idx.size());
    }
    a.len = idx.size();
    a.data.reset(new typename A::V[a.len]);
    a.idx.reset(new int64_t[a.len]);
    a.ptr.reset(new uint64_t[n + 1]);
    for (uint64_t k = 0; k < a.len; ++k) {
        a.data[k] = typename A::V(in.value());
        a.idx[k] = idx[k];
    }
    for (uint64_t i = 0; i <= n; ++i) a.ptr[i] = ptr[i];
    // An interior entry moved anywhere up to the last one makes a pair go down.
    if (n > 1 && in.u8() < 64) a.ptr[1 + in.below(n - 1)] = in.below(a.len + 1);
    return a;
}

// The model of a view over the arrays: decreasing pairs give empty spans.
template <typename V>
Ref model(const Arrays<V>& a, uint64_t n) {
    Ref r{a.rows, a.cols, Lists(n)};
    for (uint64_t i = 0; i < n; ++i)
        for (uint64_t k = a.ptr[i]; k < a.ptr[i + 1]; ++k) r.outer[i].emplace_back(a.idx[k], double(a.data[k]));
    return r;
}

// Builds a matrix over the arrays: a view or a copy.
template <typename A>
CompressedMatrix* build(const Arrays<typename A::V>& a, bool copy) {
    if (!copy) return A::view(a.rows, a.cols, a.data.get(), a.idx.get(), a.ptr.get());
    CompressedMatrix* m = nullptr;
    uint64_t n = outer_of<A>(a.rows, a.cols);
    FUZZ_CHECK(A::copy(a.rows, a.cols, a.data.get(), a.len, a.idx.get(), a.len, a.ptr.get(), n + 1, &m) == 0);
    return m;
}

// Models of the slicing and stacking results. `rows` picks the axis.
template <typename A>
Ref slice_model(const Ref& r, bool rows, uint64_t a, uint64_t b) {
    Ref t{rows ? b - a : r.rows, rows ? r.cols : b - a, {}};
    if (rows == A::csr) {
        t.outer.assign(r.outer.begin() + a, r.outer.begin() + b);
    } else {
        t.outer.resize(r.outer.size());
        for (size_t i = 0; i < r.outer.size(); ++i)
            for (auto& e : r.outer[i])
                if (e.first >= int64_t(a) && e.first < int64_t(b)) t.outer[i].emplace_back(e.first - int64_t(a), e.second);
    }
    return t;
}

template <typename A>
Ref mask_model(const Ref& r, bool rows, const uint8_t* mask, uint64_t len) {
    std::vector<int64_t> rank(len, -1);
    int64_t k = 0;
    for (uint64_t j = 0; j < len; ++j)
        if (mask[j]) rank[j] = k++;
    Ref t{rows ? uint64_t(k) : r.rows, rows ? r.cols : uint64_t(k), {}};
    if (rows == A::csr) {
        for (uint64_t i = 0; i < len; ++i)
            if (mask[i]) t.outer.push_back(r.outer[i]);
    } else {
        t.outer.resize(r.outer.size());
        for (size_t i = 0; i < r.outer.size(); ++i)
            for (auto& e : r.outer[i])
                if (uint64_t(e.first) < len && mask[e.first]) t.outer[i].emplace_back(rank[e.first], e.second);
    }
    return t;
}

// Along the compressed axis the outer lists follow each other; across it
// every outer index collects the inputs' entries, indices shifted.
template <typename A>
Ref stack_model(const std::vector<Ref>& in, bool along) {
    Ref t = in[0];
    for (size_t j = 1; j < in.size(); ++j) {
        const Ref& r = in[j];
        uint64_t shift = inner_of<A>(t.rows, t.cols);
        if (A::csr == along) t.rows += r.rows; else t.cols += r.cols;
        if (along) {
            t.outer.insert(t.outer.end(), r.outer.begin(), r.outer.end());
        } else {
            for (size_t i = 0; i < t.outer.size(); ++i)
                for (auto& e : r.outer[i]) t.outer[i].emplace_back(int64_t(uint64_t(e.first) + shift), e.second);
        }
    }
    return t;
}

// m holds exactly the model's shape and entries (in any order within an
// outer index when `any_order`).
template <typename A>
void expect_matrix(CompressedMatrix* m, const Ref& want, bool any_order = false) {
    Ref got = read<A>(m);
    FUZZ_CHECK(got.rows == want.rows && got.cols == want.cols);
    FUZZ_CHECK(any_order ? canonical(got.outer) == canonical(want.outer) : got.outer == want.outer);
}

// A handle value no call may store: slots start with it and must keep it
// on failure.
inline CompressedMatrix* untouched() { return reinterpret_cast<CompressedMatrix*>(uintptr_t(0x5a5a5a50)); }

// With a fuzzer byte below `odds`, the next one or two data blocks fail.
inline void maybe_fail_blocks(Bytes& in, uint8_t odds) {
    uint8_t f = in.u8();
    if (f < odds) korvex::inject_data_block_failure(1 + f % 2);
}

// A call's status must be `want`, or `failed` when an injected failure
// fired (which only a call that would succeed can meet). Turns injection
// off; returns whether it fired.
inline bool check_status(int st, int want, int failed) {
    bool fired = korvex::injected_failures_fired() != 0;
    if (fired)
        FUZZ_CHECK(want == 0 && st == failed);
    else
        FUZZ_CHECK(st == want);
    korvex::inject_data_block_failure(0);
    return fired;
}

// The body of every target: the first byte picks the family, Run reads the
// rest.
template <typename Run>
int run_input(const uint8_t* data, size_t size) {
    Bytes in{data, size};
    dispatch(in.u8(), Run{in});
    return 0;
}

// Holds live_allocations() at entry and checks it again at exit.
struct LeakGuard {
    int64_t base = korvex::live_allocations();
    ~LeakGuard() {
        korvex::inject_data_block_failure(0);
        FUZZ_CHECK(korvex::live_allocations() == base);
    }
};

}  // namespace fz
