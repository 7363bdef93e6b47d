// Many threads clone, slice, mask, stack and free matrices that share the
// buffers of one source, and hand matrices and span records to each other to
// be checked and released on another thread. Every result must hold the right
// entries, and every buffer must be freed exactly once: after the run the
// library holds no more blocks than before. Bounded to about two seconds.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

#include "korvex.h"
#include "span/base.hpp"

namespace {

// The source: entry (i, j) exists when (i + j) % 5 == 0 and holds i * 1000 + j.
constexpr uint64_t kRows = 300, kCols = 200;
double value_at(uint64_t i, uint64_t j) { return double(i * 1000 + j); }
bool stored(uint64_t i, uint64_t j) { return (i + j) % 5 == 0; }

using Map = std::function<uint64_t(uint64_t)>;  // result index -> source index

// m (CSR) holds exactly the source entries at (row_of(i), col_of(j)).
bool holds(CompressedMatrix* m, const Map& row_of, const Map& col_of) {
    for (uint64_t i = 0, rows = csr_f64_rows(m), cols = csr_f64_cols(m); i < rows; ++i) {
        RowInfo r = csr_f64_get_row_info(m, i);
        auto vals = static_cast<const double*>(r.values);
        uint64_t k = 0, si = row_of(i);
        for (uint64_t j = 0; j < cols; ++j) {
            if (!stored(si, col_of(j))) continue;
            if (k >= r.len || r.indices[k] != int64_t(j) || vals[k] != value_at(si, col_of(j))) return false;
            ++k;
        }
        if (k != r.len) return false;
    }
    return true;
}

// Work handed from one thread to another: a matrix to check and free, or a
// span record pair (values and indices of source row `row`) to check and free.
struct Handoff {
    int from;
    CompressedMatrix* m = nullptr;
    Map row_of, col_of;
    Span *vals = nullptr, *idx = nullptr;
    uint64_t row = 0;
};

struct Exchange {
    std::mutex mu;
    std::vector<Handoff> items;
    void put(Handoff h) {
        std::lock_guard<std::mutex> g(mu);
        items.push_back(std::move(h));
    }
    // Something another thread made, if there is any.
    bool take(int self, Handoff& out) {
        std::lock_guard<std::mutex> g(mu);
        for (size_t k = 0; k < items.size(); ++k)
            if (items[k].from != self) {
                out = std::move(items[k]);
                items.erase(items.begin() + long(k));
                return true;
            }
        return false;
    }
};

bool consume(const Handoff& h) {
    bool ok = true;
    if (h.m) {
        ok = holds(h.m, h.row_of, h.col_of);
        csr_f64_free(h.m);
    } else {
        const double* v = span_f64_data(h.vals);
        const int64_t* x = span_i64_data(h.idx);
        ok = span_f64_len(h.vals) == span_i64_len(h.idx);
        for (uint64_t k = 0; ok && k < span_f64_len(h.vals); ++k)
            ok = stored(h.row, uint64_t(x[k])) && v[k] == value_at(h.row, uint64_t(x[k]));
        span_f64_free(h.vals);
        span_i64_free(h.idx);
    }
    return ok;
}

TEST(Stress, ThreadsShareAndReleaseBuffers) {
    const int64_t base = korvex::live_allocations();
    std::vector<double> data;
    std::vector<int64_t> idx;
    std::vector<uint64_t> ptr{0};
    for (uint64_t i = 0; i < kRows; ++i) {
        for (uint64_t j = 0; j < kCols; ++j)
            if (stored(i, j)) {
                data.push_back(value_at(i, j));
                idx.push_back(int64_t(j));
            }
        ptr.push_back(idx.size());
    }
    CompressedMatrix *copy = nullptr, *view = nullptr;
    ASSERT_EQ(csr_f64_from_scipy_copy(kRows, kCols, data.data(), data.size(), idx.data(), idx.size(),
                                      ptr.data(), ptr.size(), &copy), 0);
    view = csr_f64_from_scipy_view(kRows, kCols, data.data(), idx.data(), ptr.data());
    csr_f64_nnz(view);  // the shared sources are only read from now on (cache filled)
    const Map same = [](uint64_t i) { return i; };

    Exchange ex;
    std::atomic<int> failures{0};
    std::atomic<uint64_t> rounds{0};
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(1500);
    auto worker = [&](int self) {
        std::mt19937_64 rng(uint64_t(self) * 7919 + 1);
        auto pick = [&](uint64_t n) { return rng() % n; };
        auto check = [&](bool ok) { failures += !ok; };
        do {
            CompressedMatrix* src = pick(2) ? copy : view;
            // Outer slice (shares spans) of a clone, the clone freed first.
            CompressedMatrix *c = csr_f64_clone(src), *s = nullptr, *t = nullptr, *u = nullptr;
            uint64_t a = pick(kRows), b = a + pick(kRows - a + 1);
            check(csr_f64_slice_rows(c, a, b, &s) == 0);
            csr_f64_free(c);
            check(holds(s, [a](uint64_t i) { return a + i; }, same));
            // Inner slice (copies) of the outer slice.
            uint64_t lo = pick(kCols), hi = lo + pick(kCols - lo + 1);
            check(csr_f64_slice_cols(s, lo, hi, &t) == 0);
            check(holds(t, [a](uint64_t i) { return a + i; }, [lo](uint64_t j) { return lo + j; }));
            csr_f64_free(t);
            // Masks: every third row (shares), every other column (copies).
            std::vector<uint8_t> rmask(kRows), cmask(kCols);
            for (uint64_t i = 0; i < kRows; ++i) rmask[i] = i % 3 == 0;
            for (uint64_t j = 0; j < kCols; ++j) cmask[j] = j % 2 == 0;
            check(csr_f64_slice_rows_mask(src, rmask.data(), kRows, &t) == 0);
            check(csr_f64_slice_cols_mask(t, cmask.data(), kCols, &u) == 0);
            check(holds(u, [](uint64_t i) { return 3 * i; }, [](uint64_t j) { return 2 * j; }));
            csr_f64_free(u);
            // Stacking: the slice below the row mask (shares), then the
            // source beside itself (copies, indices shifted).
            CompressedMatrix* two[] = {s, t};
            check(csr_f64_vstack(two, 2, &u) == 0);
            uint64_t k = b - a;
            const Map stacked = [a, k](uint64_t i) { return i < k ? a + i : 3 * (i - k); };
            check(holds(u, stacked, same));
            csr_f64_free(t);
            CompressedMatrix* side[] = {src, src};
            check(csr_f64_hstack(side, 2, &t) == 0);
            check(holds(t, same, [](uint64_t j) { return j % kCols; }));
            // The stack of slices is checked and freed by another thread.
            ex.put({self, u, stacked, same});
            csr_f64_free(t);
            // Span records of one row of the slice, released elsewhere.
            if (k > 0) {
                uint64_t i = pick(k);
                Handoff h{self};
                h.vals = span_f64_clone(csr_f64_row_values(s, i));
                h.idx = span_i64_clone(csr_f64_row_indices(s, i));
                h.row = a + i;
                ex.put(std::move(h));
            }
            csr_f64_free(s);
            Handoff h;
            while (ex.take(self, h)) check(consume(h));
            ++rounds;
        } while (std::chrono::steady_clock::now() < deadline);
    };
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) threads.emplace_back(worker, t);
    for (auto& t : threads) t.join();
    for (auto& h : ex.items) EXPECT_TRUE(consume(h));
    EXPECT_EQ(failures.load(), 0) << "over " << rounds.load() << " rounds";
    std::printf("%llu rounds on 8 threads\n", static_cast<unsigned long long>(rounds.load()));

    EXPECT_TRUE(holds(copy, same, same));
    csr_f64_free(copy);
    csr_f64_free(view);
    EXPECT_EQ(korvex::live_allocations(), base);
}

}  // namespace
