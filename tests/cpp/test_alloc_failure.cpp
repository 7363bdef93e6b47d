// Running out of memory: every export that allocates must give its failure
// result (-7, or NULL for a handle), leave the out slot alone and free
// whatever it had made, whichever of its data blocks or bookkeeping blocks
// fails, and the pool must bring failures in its tasks back to the caller.
// Then the conditions that end the process.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "../fuzz/families.hpp"
#include "korvex.h"
#include "span/base.hpp"
#include "span/span.hpp"
#include "sparse/rowsort.hpp"
#include "edit/edit.hpp"
#include "exports/guard.hpp"
#include "sparse/validate.hpp"

namespace {

CompressedMatrix* const kUntouched = reinterpret_cast<CompressedMatrix*>(uintptr_t{0x5a5a5a50});

using Op = std::function<int32_t(CompressedMatrix**)>;

// Runs op with its n-th data block failing, for n = 1, 2, ... until a run
// allocates fewer blocks than n. Returns how many blocks the op makes.
int64_t fail_each_block(int32_t status, const Op& op) {
    const int64_t base = korvex::live_allocations();
    for (int64_t n = 1;; ++n) {
        korvex::inject_data_block_failure(n);
        CompressedMatrix* out = kUntouched;
        int32_t st = op(&out);
        bool fired = korvex::injected_failures_fired() != 0;
        korvex::inject_data_block_failure(0);
        if (!fired) {
            EXPECT_EQ(st, 0);
            EXPECT_NE(out, kUntouched);
            csr_f64_free(out);  // the four _free functions are one
            EXPECT_EQ(korvex::live_allocations(), base);
            return n - 1;
        }
        EXPECT_EQ(st, status) << "data block " << n;
        EXPECT_EQ(out, kUntouched) << "data block " << n;
        EXPECT_EQ(korvex::live_allocations(), base) << "data block " << n;
    }
}

// The same for bookkeeping blocks: every failure must give -7.
int64_t fail_each_bookkeeping(const Op& op) {
    const int64_t base = korvex::live_allocations();
    for (int64_t n = 1;; ++n) {
        korvex::inject_bookkeeping_failure(n);
        CompressedMatrix* out = kUntouched;
        int32_t st = op(&out);
        bool fired = korvex::injected_bookkeeping_failures_fired() != 0;
        korvex::inject_bookkeeping_failure(0);
        if (!fired) {
            EXPECT_EQ(st, 0);
            if (out != kUntouched) csr_f64_free(out);
            EXPECT_EQ(korvex::live_allocations(), base);
            return n - 1;
        }
        EXPECT_EQ(st, KORVEX_STATUS_ALLOC) << "bookkeeping block " << n;
        EXPECT_EQ(out, kUntouched) << "bookkeeping block " << n;
        EXPECT_EQ(korvex::live_allocations(), base) << "bookkeeping block " << n;
    }
}

// A handle-returning export as an Op: NULL is its -7.
template <typename Make>
Op handle_op(Make make) {
    return [make](CompressedMatrix** out) {
        CompressedMatrix* r = make();
        if (!r) return int32_t{KORVEX_STATUS_ALLOC};
        *out = r;
        return int32_t{0};
    };
}

template <typename A>
class AllocFailure : public ::testing::Test {};
using Families = ::testing::Types<fz::Fam<float, true>, fz::Fam<double, true>,
                                  fz::Fam<float, false>, fz::Fam<double, false>>;
TYPED_TEST_SUITE(AllocFailure, Families);

TYPED_TEST(AllocFailure, EveryExportThatMakesBuffersReportsAndFreesAll) {
    using A = TypeParam;
    using V = typename A::V;
    using B = fz::Fam<V, !A::csr>;
    // 4 x 4 in either form: an empty outer index, an unsorted one, a
    // trailing empty one.
    const V data[] = {1, 2, 3, 4, 5};
    const int64_t idx[] = {3, 0, 2, 1, 3};
    const uint64_t ptr[] = {0, 2, 2, 5, 5};
    const int64_t ri[] = {0, 2, 2, 3, 0}, ci[] = {1, 3, 0, 0, 1};
    const uint8_t mask[] = {1, 0, 1, 1};
    const int64_t base = korvex::live_allocations();
    CompressedMatrix *m = nullptr, *o = nullptr;
    ASSERT_EQ(A::copy(4, 4, data, 5, idx, 5, ptr, 5, &m), 0);
    ASSERT_EQ(B::copy(4, 4, data, 5, idx, 5, ptr, 5, &o), 0);
    CompressedMatrix* pair[] = {m, m};
    auto inner_range = A::csr ? A::slice_cols : A::slice_rows;
    auto inner_mask = A::csr ? A::mask_cols : A::mask_rows;
    auto across = A::csr ? A::hstack : A::vstack;
    auto inner_take = A::csr ? A::take_cols : A::take_rows;
    const uint64_t pos[] = {3, 0, 3};
    const int32_t idx32[] = {3, 0, 2, 1, 3}, ptr32[] = {0, 2, 2, 5, 5};
    struct Case {
        const char* name;
        int32_t status;
        Op op;
    } cases[] = {
        {"copy import", KORVEX_STATUS_ALLOC, [&](auto out) { return A::copy(4, 4, data, 5, idx, 5, ptr, 5, out); }},
        {"coordinate import", KORVEX_STATUS_ALLOC, [&](auto out) { return A::coo(4, 4, ri, ci, data, 5, out); }},
        {"conversion to this form", KORVEX_STATUS_ALLOC, [&](auto out) { return A::from_other(o, out); }},
        {"conversion from this form", KORVEX_STATUS_ALLOC, [&](auto out) { return B::from_other(m, out); }},
        {"transpose to this form", KORVEX_STATUS_ALLOC, [&](auto out) { return A::transpose_from(o, out); }},
        {"transpose from this form", KORVEX_STATUS_ALLOC, [&](auto out) { return B::transpose_from(m, out); }},
        {"inner range slice", KORVEX_STATUS_ALLOC, [&](auto out) { return inner_range(m, 1, 4, out); }},
        {"inner mask", KORVEX_STATUS_ALLOC, [&](auto out) { return inner_mask(m, mask, 4, out); }},
        {"stack across", KORVEX_STATUS_ALLOC, [&](auto out) { return across(pair, 2, out); }},
        {"inner take", KORVEX_STATUS_ALLOC, [&](auto out) { return inner_take(m, pos, 3, out); }},
        {"copy import from int32", KORVEX_STATUS_ALLOC,
         [&](auto out) { return A::copy_i32(4, 4, data, 5, idx32, 5, ptr32, 5, out); }},
        {"product", KORVEX_STATUS_ALLOC, [&](auto out) { return A::matmul(m, m, out); }},
        {"elementwise", KORVEX_STATUS_ALLOC, [&](auto out) { return A::combine(m, m, KORVEX_COMBINE_ADD, out); }},
        {"comparison", KORVEX_STATUS_ALLOC, [&](auto out) { return A::compare(m, m, KORVEX_CMP_LE, out); }},
        {"scalar comparison", KORVEX_STATUS_ALLOC,
         [&](auto out) { return A::compare_scalar(m, 2.5, KORVEX_CMP_GT, out); }},
        {"sum with the other form", KORVEX_STATUS_ALLOC,
         [&](auto out) { return A::combine_other(m, o, KORVEX_COMBINE_ADD, out); }},
        {"product with the other form", KORVEX_STATUS_ALLOC,
         [&](auto out) { return A::combine_other(m, o, KORVEX_COMBINE_MUL, out); }},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(fail_each_block(c.status, c.op), 2);  // one for values, one for indices
    }
    // Value maps make one block: the values (the index spans are shared).
    const V w[] = {1, 2, 3, 4};
    struct Case maps[] = {
        {"map", KORVEX_STATUS_ALLOC, [&](auto out) { return A::map(m, KORVEX_MAP_LOG1P, 0, out); }},
        {"row scale", KORVEX_STATUS_ALLOC, [&](auto out) { return A::scale_rows(m, w, 4, out); }},
        {"column scale", KORVEX_STATUS_ALLOC, [&](auto out) { return A::scale_cols(m, w, 4, out); }},
    };
    for (auto& c : maps) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(fail_each_block(c.status, c.op), 1);
    }
    // A map of sums (m's third row is unsorted) makes the summed rows' pair,
    // their map, the map of m and the pair that replaces the row in it.
    const Op summed_map = [&](auto out) { return A::map_summed(m, KORVEX_MAP_LOG1P, 0, out); };
    EXPECT_EQ(fail_each_block(KORVEX_STATUS_ALLOC, summed_map), 6);
    // Bookkeeping failures, at every block each export makes, over these
    // cases and those that make no data block.
    auto outer_range = A::csr ? A::slice_rows : A::slice_cols;
    auto outer_mask = A::csr ? A::mask_rows : A::mask_cols;
    auto along = A::csr ? A::vstack : A::hstack;
    int64_t co[5], ro[5];  // ro also holds an indptr of 5
    V vo[5];
    const Op more[] = {
        handle_op([&] { return A::view(4, 4, data, idx, ptr); }),
        handle_op([&] { return A::clone(m); }),
        [&](auto out) { return outer_range(m, 1, 3, out); },
        [&](auto out) { return outer_mask(m, mask, 4, out); },
        [&](auto out) { return along(pair, 2, out); },
        [&](auto out) { return (A::csr ? A::take_rows : A::take_cols)(m, pos, 3, out); },
        [&](auto out) { return B::transpose_shared(m, out); },
        [&](auto) { return A::to_coo(m, ro, co, vo, 5); },
        [&](auto) { return A::to_compressed(m, vo, co, ro, 5, 8); },
        [&](auto) {
            uint8_t fl[5];
            int32_t st = A::compare_scalar_to_compressed(m, 2.5, KORVEX_CMP_GT, ro, nullptr, nullptr, 0, 8);
            return st ? st : A::compare_scalar_to_compressed(m, 2.5, KORVEX_CMP_GT, ro, co, fl, 5, 8);
        },
        [&](auto) {
            Span* r = span_f64_clone(A::values_vec(m));
            span_f64_free(r);
            return int32_t{r ? 0 : KORVEX_STATUS_ALLOC};
        },
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_GE(fail_each_bookkeeping(c.op), 1);
    }
    for (auto& op : more) fail_each_bookkeeping(op);
    EXPECT_GE(fail_each_bookkeeping(summed_map), 1);
    for (auto& c : maps) {
        SCOPED_TRACE(c.name);
        EXPECT_GE(fail_each_bookkeeping(c.op), 1);
    }
    // Products and sums write caller arrays only.
    V x[16] = {}, y[16];
    double s[4];
    const Op products[] = {
        [&](auto) { return A::matvec(m, x, 4, y, 4); },
        [&](auto) { return A::rmatvec(m, x, 4, y, 4); },
        [&](auto) { return A::matmat(m, x, 3, 0, y); },
        [&](auto) { return A::rmatmat(m, x, 3, 1, y); },
        [&](auto) { return A::sum_rows(m, s, 4); },
        [&](auto) { return A::sum_cols(m, s, 4); },
    };
    for (auto& op : products) EXPECT_GE(fail_each_bookkeeping(op), 1);
    // The sources came through untouched.
    EXPECT_EQ(A::nnz(m), 5u);
    EXPECT_EQ(A::info(m, 2).len, 3u);
    EXPECT_EQ(A::info(m, 2).indices[0], 2);  // still in stored order
    A::release(m);
    B::release(o);
    EXPECT_EQ(korvex::live_allocations(), base);
}

// Products along the inner axis add into per-thread scratch blocks (a
// matrix long enough for several pieces of work): a block that cannot be
// made gives -7 and leaves nothing behind.
TEST(AllocFailure, ProductScratchBlocks) {
    std::vector<double> data(100000, 1.0), x(100000, 1.0), y(100000);
    std::vector<int64_t> idx(100000);
    std::vector<uint64_t> ptr(1001);
    for (uint64_t q = 0; q < idx.size(); ++q) idx[q] = int64_t(q % 1000);
    for (uint64_t i = 0; i <= 1000; ++i) ptr[i] = i * 100;
    CompressedMatrix* m = csr_f64_from_scipy_view(1000, 1000, data.data(), idx.data(), ptr.data());
    const int64_t base = korvex::live_allocations();
    for (int64_t n = 1;; ++n) {
        korvex::inject_data_block_failure(n);
        int32_t st = csr_f64_rmatvec(m, x.data(), 1000, y.data(), 1000);
        bool fired = korvex::injected_failures_fired() != 0;
        korvex::inject_data_block_failure(0);
        EXPECT_EQ(korvex::live_allocations(), base);
        if (!fired) {
            ASSERT_EQ(st, 0);
            EXPECT_EQ(y[7], 100.0);
            break;
        }
        EXPECT_EQ(st, KORVEX_STATUS_ALLOC) << "data block " << n;
    }
    // Bookkeeping of the same products, sums and maps over several pieces.
    std::vector<double> s(1000);
    const Op ops[] = {
        [&](auto) { return csr_f64_matvec(m, x.data(), 1000, y.data(), 1000); },
        [&](auto) { return csr_f64_rmatvec(m, x.data(), 1000, y.data(), 1000); },
        [&](auto) { return csr_f64_rmatmat(m, x.data(), 2, 1, y.data()); },
        [&](auto) { return csr_f64_sum_cols(m, s.data(), 1000); },
        [&](auto out) { return csr_f64_map_values(m, KORVEX_MAP_SQRT, 0, out); },
        [&](auto out) { return csr_f64_scale_cols(m, x.data(), 1000, out); },
    };
    for (auto& op : ops) EXPECT_GE(fail_each_bookkeeping(op), 1);
    csr_f64_free(m);
}

// Operations that make no data block are not affected by a pending failure.
TEST(AllocFailure, SharingOperationsMakeNoDataBlock) {
    const double data[] = {1, 2, 3};
    const int64_t idx[] = {0, 1, 2};
    const uint64_t ptr[] = {0, 1, 3};
    const uint8_t mask[] = {0, 1};
    const uint64_t pos[] = {1, 0, 1};
    double vals[3];
    int64_t idx_out[3], ptr_out[3];
    CompressedMatrix *m = nullptr, *r = nullptr;
    ASSERT_EQ(csr_f64_from_scipy_copy(2, 3, data, 3, idx, 3, ptr, 3, &m), 0);
    korvex::inject_data_block_failure(1);
    CompressedMatrix* pair[] = {m, m};
    for (const Op& op : std::initializer_list<Op>{
             [&](auto out) { return csr_f64_slice_rows(m, 1, 2, out); },
             [&](auto out) { return csr_f64_slice_rows_mask(m, mask, 2, out); },
             [&](auto out) { return csr_f64_vstack(pair, 2, out); },
             [&](auto out) { return csr_f64_take_rows(m, pos, 3, out); },
             [&](auto out) { return csc_f64_transpose_shared_from_csr(m, out); },
             [&](auto out) { return (*out = csr_f64_clone(m)) ? 0 : -1; }}) {
        ASSERT_EQ(op(&r), 0);
        csr_f64_free(r);
    }
    EXPECT_EQ(csr_f64_to_compressed(m, vals, idx_out, ptr_out, 3, 8), 0);
    EXPECT_EQ(korvex::injected_failures_fired(), 0);
    korvex::inject_data_block_failure(0);
    csr_f64_free(m);
}

// Conditions that end the process with a short message. Each statement runs
// in a fresh child process.
class FatalDeathTest : public ::testing::Test {
protected:
    void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

TEST_F(FatalDeathTest, ReferenceCountPastItsLimit) {
    auto share_saturated = [](bool by_slice) {
        const double data[] = {1};
        const int64_t idx[] = {0};
        const uint64_t ptr[] = {0, 1};
        CompressedMatrix *m = nullptr, *s = nullptr;
        csr_f64_from_scipy_copy(1, 1, data, 1, idx, 1, ptr, 2, &m);
        const Span* span = csr_f64_row_values(m, 0);
        static_cast<korvex::SharedBuffer*>(span->owner)->strong.store(INT64_MAX);
        if (by_slice)
            csr_f64_slice_rows(m, 0, 1, &s);
        else
            span_f64_clone(span);
    };
    EXPECT_DEATH(share_saturated(false), "reference count overflow");
    EXPECT_DEATH(share_saturated(true), "reference count overflow");
}

TEST_F(FatalDeathTest, WritingThroughASpanThatIsNotMutable) {
    double x = 1;
    Span view{&x, nullptr, 1, KORVEX_SPAN_FLAG_VIEW};
    EXPECT_DEATH(korvex::mutable_data<double>(view), "Span is not mutable");
}

// Sizes that overflow are allocation failures like any other.
TEST(AllocFailure, SizesThatOverflow) {
    EXPECT_THROW(korvex::mul_or_throw(uint64_t{1} << 40, uint64_t{1} << 40), std::bad_alloc);
    EXPECT_THROW(korvex::add_or_throw(UINT64_MAX, 1), std::bad_alloc);
    const int64_t base = korvex::live_allocations();
    // An outer count whose span arrays (n x 32 bytes) cannot exist: the view
    // import sizes them before it reads indptr, so the tiny arrays are fine.
    const double data[] = {1};
    const int64_t idx[] = {0};
    const uint64_t ptr[] = {0, 1};
    EXPECT_EQ(csr_f64_from_scipy_view(uint64_t{1} << 60, 1, data, idx, ptr), nullptr);
    // Stacked widths whose sum does not fit 64 bits.
    CompressedMatrix* w = csr_f64_from_scipy_view(1, uint64_t{1} << 63, data, idx, ptr);
    CompressedMatrix *three[] = {w, w, w}, *out = kUntouched;
    EXPECT_EQ(csr_f64_hstack(three, 3, &out), KORVEX_STATUS_ALLOC);
    EXPECT_EQ(out, kUntouched);
    csr_f64_free(w);
    EXPECT_EQ(korvex::live_allocations(), base);
}

// Every bookkeeping block of the operations whose loops run on the pool
// (thousands of outer indices, tens of thousands of coordinate targets).
TEST(AllocFailure, BookkeepingOfLargeOperations) {
    constexpr uint64_t n = 9000, wide = 70000;
    std::vector<double> data(n);
    std::vector<int64_t> idx(n), rows(n);
    std::vector<uint64_t> ptr(n + 1);
    std::vector<uint8_t> mask(n);
    for (uint64_t i = 0; i < n; ++i) {
        data[i] = double(i);
        idx[i] = int64_t((i * 7919) % wide);
        rows[i] = int64_t((i * 104729) % wide);
        ptr[i + 1] = i + 1;
        mask[i] = i % 3 != 0;
    }
    CompressedMatrix* m = nullptr;
    ASSERT_EQ(csr_f64_from_scipy_copy(n, wide, data.data(), n, idx.data(), n, ptr.data(), n + 1, &m), 0);
    CompressedMatrix* pair[] = {m, m};
    const Op ops[] = {
        [&](auto out) { return csr_f64_from_scipy_copy(n, wide, data.data(), n, idx.data(), n, ptr.data(), n + 1, out); },
        [&](auto out) { return csr_f64_from_coo(wide, wide, rows.data(), idx.data(), data.data(), n, out); },
        [&](auto out) { return csc_f64_from_csr(m, out); },
        [&](auto out) { return csc_f64_transpose_from_csr(m, out); },
        handle_op([&] { return csr_f64_clone(m); }),
        handle_op([&] { return csr_f64_from_scipy_view(n, wide, data.data(), idx.data(), ptr.data()); }),
        [&](auto out) { return csr_f64_slice_rows(m, 1, n - 1, out); },
        [&](auto out) { return csr_f64_slice_rows_mask(m, mask.data(), n, out); },
        [&](auto out) { return csr_f64_vstack(pair, 2, out); },
        [&](auto out) { return csr_f64_hstack(pair, 2, out); },
    };
    for (auto& op : ops) EXPECT_GE(fail_each_bookkeeping(op), 1);
    csr_f64_free(m);
}

// A failure in a pool task comes back to the caller, after the pieces that
// had finished were undone; sum and any run again on the calling thread.
TEST(AllocFailure, PoolTasksBringFailuresBack) {
    EXPECT_THROW(korvex::par::for_each(1000, [](uint64_t i) {
                     if (i == 700) throw std::bad_alloc();
                 }),
                 std::bad_alloc);
    std::vector<int> held(64, 0);
    EXPECT_THROW(korvex::for_each_piece_undoable(
                     64,
                     [&](uint64_t p) {
                         if (p == 40) throw std::bad_alloc();
                         held[p] = 1;
                     },
                     [&](uint64_t p) { --held[p]; }),
                 std::bad_alloc);
    EXPECT_EQ(std::count(held.begin(), held.end(), 0), 64);
    std::atomic<bool> failed_once{false};
    auto flaky = [&](uint64_t i) {
        if (!failed_once.exchange(true)) throw std::bad_alloc();
        return i;
    };
    EXPECT_EQ(korvex::par::sum(100, flaky), 4950u);
    failed_once = false;
    EXPECT_TRUE(korvex::par::any(100, [&](uint64_t i) { return flaky(i) == 99; }));
}

// The in-place sort that long rows fall back to when the scratch buffer
// cannot grow.
TEST(AllocFailure, HeapSortOfARow) {
    std::mt19937_64 rng(7);
    for (uint64_t n : {0, 1, 2, 3, 50, 1001}) {
        std::vector<int64_t> idx(n);
        for (auto& x : idx) x = int64_t(rng() % 40) - 20;  // repeats and negatives
        std::vector<double> val(idx.begin(), idx.end());
        korvex::heap_sort_row(val.data(), idx.data(), n);
        EXPECT_TRUE(std::is_sorted(idx.begin(), idx.end()));
        EXPECT_TRUE(std::equal(idx.begin(), idx.end(), val.begin()));  // values moved along
    }
}

}  // namespace

// Edits in place: whichever data block or bookkeeping block fails, the call
// gives -7 and the matrix keeps every entry and every storage block it had.
TEST(AllocFailure, EditsLeaveTheMatrixAsItWas) {
    using Edit = std::function<int32_t(CompressedMatrix&)>;
    const int64_t r[] = {0, 2, 1, 0}, c[] = {3, 0, 1, 0};
    const double v[] = {1.0, 2.0, 0.0, 4.0};
    // The sort copies a view's rows (caller memory is never written).
    const std::vector<std::pair<const char*, Edit>> edits{
        {"set_entries",
         [&](CompressedMatrix& m) { return korvex::set_entries<double, korvex::Form::csr>(m, r, c, v, 4); }},
        {"eliminate_zeros", [](CompressedMatrix& m) { return korvex::eliminate_zeros<double, korvex::Form::csr>(m); }},
        {"sum_duplicates", [](CompressedMatrix& m) { return korvex::sum_duplicates<double, korvex::Form::csr>(m); }},
        {"sort with copies",
         [](CompressedMatrix& m) {
             return korvex::sort_rows_of<double, korvex::Form::csr>(m, true) == korvex::SortOutcome::failed
                        ? int32_t{KORVEX_STATUS_ALLOC}
                        : int32_t{0};
         }},
    };
    const double data[] = {1.0, 0.0, 2.0, 3.0, 3.0, 5.0};
    const int64_t idx[] = {2, 0, 1, 3, 3, 0};
    const uint64_t ptr[] = {0, 2, 5, 6};
    for (bool data_blocks : {true, false}) {
        for (const auto& entry : edits) {
            const char* name = entry.first;
            const Edit& edit = entry.second;
            for (int64_t n = 1;; ++n) {
                CompressedMatrix* m = nullptr;
                if (std::string(name) == "sort with copies") m = csr_f64_from_scipy_view(3, 4, data, idx, ptr);
                else ASSERT_EQ(csr_f64_from_scipy_copy(3, 4, data, 6, idx, 6, ptr, 4, &m), 0);
                csr_f64_nnz(m);
                const int64_t base = korvex::live_allocations();
                std::vector<Span> before(m->indices.ptr, m->indices.ptr + 3);
                std::vector<Span> vbefore(m->values.ptr, m->values.ptr + 3);
                if (data_blocks) korvex::inject_data_block_failure(n);
                else korvex::inject_bookkeeping_failure(n);
                int32_t st = korvex::guard([&] { return edit(*m); });
                bool fired = data_blocks ? korvex::injected_failures_fired() != 0
                                         : korvex::injected_bookkeeping_failures_fired() != 0;
                korvex::inject_data_block_failure(0);
                korvex::inject_bookkeeping_failure(0);
                if (!fired) {
                    EXPECT_EQ(st, 0) << name;
                    EXPECT_TRUE(csr_f64_is_valid(m)) << name;
                    csr_f64_free(m);
                    EXPECT_GE(n, 2) << name << ": the edit allocates";
                    break;
                }
                EXPECT_EQ(st, KORVEX_STATUS_ALLOC) << name << " block " << n;
                EXPECT_EQ(korvex::live_allocations(), base) << name << " block " << n;
                EXPECT_EQ(csr_f64_nnz(m), 6u) << name;
                for (uint64_t i = 0; i < 3; ++i)
                    EXPECT_TRUE(m->indices.ptr[i].data == before[i].data &&
                                m->values.ptr[i].data == vbefore[i].data)
                        << name << " block " << n << " row " << i;
                csr_f64_free(m);
            }
        }
    }
}
