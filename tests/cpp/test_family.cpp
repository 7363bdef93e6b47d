// Handles know their family: every export whose work depends on it refuses a
// handle of another family (status -9, the null-handle result, or nothing)
// without reading or writing through it, and still serves its own. Run over
// every family-dependent export and every pair of families.
#include <algorithm>
#include <cstring>
#include <functional>
#include <set>
#include <string>
#include <type_traits>

#include "test_support.hpp"

namespace {

// One family's exports under their form-neutral names, straight from the
// export list.
template <typename V, bool Csr>
struct Ex;
#define KX_MEMBER(P, R, NAME, OP, PARAMS, ARGS) static constexpr auto OP = NAME;
#define KX_FAMILY(E, P, VT, X, Y, CSR, EXTRA)                     \
    template <>                                                  \
    struct Ex<VT, CSR> {                                         \
        using V = VT;                                            \
        static constexpr bool csr = CSR;                         \
        static constexpr const char* prefix = #P;                \
        static constexpr auto copy = P##_from_scipy_copy;        \
        KORVEX_LIST_FAMILY(E, P, VT, X, Y) EXTRA(E, P, VT, X, Y) \
    };
#define KX_NONE(E, P, V, X, Y)
KX_FAMILY(KX_MEMBER, csr_f32, float, row, csc, true, KORVEX_LIST_F32_FAMILY)
KX_FAMILY(KX_MEMBER, csr_f64, double, row, csc, true, KX_NONE)
KX_FAMILY(KX_MEMBER, csc_f32, float, col, csr, false, KORVEX_LIST_F32_FAMILY)
KX_FAMILY(KX_MEMBER, csc_f64, double, col, csr, false, KX_NONE)

// Who an export accepts, relative to its own family P.
enum class Takes { own, other_form, own_form };

template <typename H, typename P>
bool accepted(Takes t) {
    switch (t) {
        case Takes::own: return std::is_same_v<H, P>;
        case Takes::other_form: return std::is_same_v<typename H::V, typename P::V> && H::csr != P::csr;
        case Takes::own_form: return H::csr == P::csr;
    }
    return false;
}

// A call's outcome: a status, or a query's result reduced to a number.
struct Check {
    const char* name;
    Takes takes;
    int64_t refused;  // what a refused call gives
    int64_t served;   // what a served call gives
    std::function<int64_t(CompressedMatrix*)> call;
};

// Every caller array points into scratch: operands (zeros) below kOut,
// outputs (a pattern a refused call must leave alone) from kOut on.
constexpr size_t kOut = 256;
alignas(64) unsigned char scratch[kOut + 1024];
void fill_scratch() {
    std::memset(scratch, 0, kOut);
    std::memset(scratch + kOut, 0x5a, sizeof scratch - kOut);
}
bool outputs_untouched() {
    return std::all_of(scratch + kOut, scratch + sizeof scratch, [](unsigned char c) { return c == 0x5a; });
}
template <typename T>
T* in(size_t byte) { return reinterpret_cast<T*>(scratch + byte); }
template <typename T>
T* out(size_t byte) { return reinterpret_cast<T*>(scratch + kOut + byte); }

// Status of a constructor-like export through a fresh slot; frees what it made
// and reports a slot written despite a failure as 99.
int64_t made(const std::function<int32_t(CompressedMatrix**)>& f) {
    CompressedMatrix* out = kUntouched;
    int32_t st = f(&out);
    if (st == 0) csr_f64_free(out);  // any family's free frees any handle
    else if (out != kUntouched) return 99;
    return st;
}

// The 3 x 3 test matrix, outer index 0 unsorted: (2, 1), (0, 2); 1 empty;
// 2 holds (1, 3).
const Outer kUnsorted{{{2, 1.0}, {0, 2.0}}, {}, {{1, 3.0}}};
const Outer kSorted{{{0, 2.0}, {2, 1.0}}, {}, {{1, 3.0}}};

template <typename P>
std::vector<Check> checked_rows() {
    using V = typename P::V;
    constexpr int64_t kFam = KORVEX_STATUS_FAMILY;
    std::vector<Check> r = {
        {"clone", Takes::own, 0, 1, [](auto m) { return made([&](auto o) { return (*o = P::clone(m)) ? 0 : 1; }) == 0; }},
        {"outer_values", Takes::own, 0, 1, [](auto m) { return P::outer_values(m, 0) != nullptr; }},
        {"outer_indices", Takes::own, 0, 1, [](auto m) { return P::outer_indices(m, 0) != nullptr; }},
        {"outer_values_ptr", Takes::own, 0, 1, [](auto m) { return P::outer_values_ptr(m, 0) != nullptr; }},
        {"outer_indices_ptr", Takes::own, 0, 1, [](auto m) { return P::outer_indices_ptr(m, 0) != nullptr; }},
        {"outer_len", Takes::own, 0, 2, [](auto m) { return int64_t(P::outer_len(m, 0)); }},
        {"outer_values_ptr_unchecked", Takes::own, 0, 1, [](auto m) { return P::outer_values_ptr_unchecked(m, 0) != nullptr; }},
        {"outer_indices_ptr_unchecked", Takes::own, 0, 1, [](auto m) { return P::outer_indices_ptr_unchecked(m, 0) != nullptr; }},
        {"outer_len_unchecked", Takes::own, 0, 2, [](auto m) { return int64_t(P::outer_len_unchecked(m, 0)); }},
        {"get_outer_info", Takes::own, 0, 2, [](auto m) { return int64_t(P::get_outer_info(m, 0).len); }},
        {"get_outer_info_unchecked", Takes::own, 0, 2, [](auto m) { return int64_t(P::get_outer_info_unchecked(m, 0).len); }},
        {"get_outer_pointers", Takes::own, kFam, 0, [](auto m) { return P::get_outer_pointers(m, out<const V*>(0), out<const int64_t*>(64), out<uint64_t>(128)); }},
        {"values_vec_ptr", Takes::own, 0, 1, [](auto m) { return P::values_vec_ptr(m) != nullptr; }},
        {"indices_vec_ptr", Takes::own, 0, 1, [](auto m) { return P::indices_vec_ptr(m) != nullptr; }},
        {"values_vec_len", Takes::own, 0, 3, [](auto m) { return int64_t(P::values_vec_len(m)); }},
        {"is_valid", Takes::own, 0, 1, [](auto m) { return P::is_valid(m); }},
        {"indices_in_bounds", Takes::own, 0, 1, [](auto m) { return P::indices_in_bounds(m); }},
        {"to_coo", Takes::own, kFam, 0, [](auto m) { return P::to_coo(m, out<int64_t>(0), out<int64_t>(64), out<V>(128), 3); }},
        {"to_dense", Takes::own, kFam, 0, [](auto m) { return P::to_dense(m, out<V>(0), 9, 0); }},
        {"to_compressed", Takes::own, kFam, 0, [](auto m) { return P::to_compressed(m, out<V>(0), out<void>(64), out<void>(128), 3, 8); }},
        {"from_other", Takes::other_form, kFam, 0, [](auto m) { return made([&](auto o) { return P::from_other(m, o); }); }},
        {"transpose_from_other", Takes::other_form, kFam, 0, [](auto m) { return made([&](auto o) { return P::transpose_from_other(m, o); }); }},
        {"transpose_shared_from_other", Takes::other_form, kFam, 0, [](auto m) { return made([&](auto o) { return P::transpose_shared_from_other(m, o); }); }},
        {"slice_rows", P::csr ? Takes::own_form : Takes::own, kFam, 0, [](auto m) { return made([&](auto o) { return P::slice_rows(m, 0, 2, o); }); }},
        {"slice_cols", P::csr ? Takes::own : Takes::own_form, kFam, 0, [](auto m) { return made([&](auto o) { return P::slice_cols(m, 0, 2, o); }); }},
        {"slice_rows_mask", P::csr ? Takes::own_form : Takes::own, kFam, 0, [](auto m) { return made([&](auto o) { return P::slice_rows_mask(m, in<uint8_t>(0), 3, o); }); }},
        {"slice_cols_mask", P::csr ? Takes::own : Takes::own_form, kFam, 0, [](auto m) { return made([&](auto o) { return P::slice_cols_mask(m, in<uint8_t>(0), 3, o); }); }},
        {"take_rows", Takes::own, kFam, 0, [](auto m) { return made([&](auto o) { return P::take_rows(m, in<uint64_t>(0), 0, o); }); }},
        {"take_outer_to_compressed", Takes::own, kFam, 0, [](auto m) { return P::take_outer_to_compressed(m, in<uint64_t>(0), 0, out<void>(0), out<V>(64), out<void>(128), 3, 8); }},
        {"take_cols", Takes::own, kFam, 0, [](auto m) { return made([&](auto o) { return P::take_cols(m, in<uint64_t>(0), 0, o); }); }},
        {"hstack", Takes::own, kFam, 0, [](auto m) { CompressedMatrix* in[] = {m, m}; return made([&](auto o) { return P::hstack(in, 2, o); }); }},
        {"vstack", Takes::own, kFam, 0, [](auto m) { CompressedMatrix* in[] = {m, m}; return made([&](auto o) { return P::vstack(in, 2, o); }); }},
        {"matvec", Takes::own, kFam, 0, [](auto m) { return P::matvec(m, in<V>(0), 3, out<V>(64), 3); }},
        {"rmatvec", Takes::own, kFam, 0, [](auto m) { return P::rmatvec(m, in<V>(0), 3, out<V>(64), 3); }},
        {"matmat", Takes::own, kFam, 0, [](auto m) { return P::matmat(m, in<V>(0), 2, 0, out<V>(128)); }},
        {"rmatmat", Takes::own, kFam, 0, [](auto m) { return P::rmatmat(m, in<V>(0), 2, 1, out<V>(128)); }},
        {"sum_rows", Takes::own, kFam, 0, [](auto m) { return P::sum_rows(m, out<double>(0), 3); }},
        {"sum_cols", Takes::own, kFam, 0, [](auto m) { return P::sum_cols(m, out<double>(0), 3); }},
        {"map_values", Takes::own, kFam, 0, [](auto m) { return made([&](auto o) { return P::map_values(m, KORVEX_MAP_NEGATE, 0, o); }); }},
        {"map_summed", Takes::own, kFam, 0, [](auto m) { return made([&](auto o) { return P::map_summed(m, KORVEX_MAP_NEGATE, 0, o); }); }},
        {"scale_rows", Takes::own, kFam, 0, [](auto m) { return made([&](auto o) { return P::scale_rows(m, in<V>(0), 3, o); }); }},
        {"matmul", Takes::own, kFam, 0, [](auto m) { return made([&](auto o) { return P::matmul(m, m, o); }); }},
        {"combine", Takes::own, kFam, 0, [](auto m) { return made([&](auto o) { return P::combine(m, m, KORVEX_COMBINE_ADD, o); }); }},
        {"compare", Takes::own, kFam, 0, [](auto m) { return made([&](auto o) { return P::compare(m, m, KORVEX_CMP_LT, o); }); }},
        {"compare_scalar", Takes::own, kFam, 0, [](auto m) { return made([&](auto o) { return P::compare_scalar(m, 0.5, KORVEX_CMP_GT, o); }); }},
        {"combine_other", Takes::own, kFam, 0, [](auto m) { return made([&](auto o) {
             using O = fz::Fam<V, !P::csr>;  // m's transpose in the other form, when m is P's
             CompressedMatrix* t = nullptr;
             O::transpose_shared(m, &t);
             int32_t st = P::combine_other(m, t ? t : m, KORVEX_COMBINE_ADD, o);
             if (t) O::release(t);
             return st; }); }},
        {"compare_scalar_to_compressed", Takes::own, kFam, 0, [](auto m) { return P::compare_scalar_to_compressed(m, 0.5, KORVEX_CMP_GT, out<void>(0), nullptr, nullptr, 0, 8); }},
        {"scale_cols", Takes::own, kFam, 0, [](auto m) { return made([&](auto o) { return P::scale_cols(m, in<V>(0), 3, o); }); }},
    };
    if constexpr (std::is_same_v<V, float>) {
        r.push_back({"matvec_f64", Takes::own, kFam, 0, [](auto m) { return P::matvec_f64(m, in<double>(0), 3, out<double>(64), 3); }});
        r.push_back({"rmatvec_f64", Takes::own, kFam, 0, [](auto m) { return P::rmatvec_f64(m, in<double>(0), 3, out<double>(64), 3); }});
        r.push_back({"matmat_f64", Takes::own, kFam, 0, [](auto m) { return P::matmat_f64(m, in<double>(0), 2, 0, out<double>(128)); }});
        r.push_back({"rmatmat_f64", Takes::own, kFam, 0, [](auto m) { return P::rmatmat_f64(m, in<double>(0), 2, 0, out<double>(128)); }});
        r.push_back({"map_values_f64", Takes::own, kFam, 0, [](auto m) { return made([&](auto o) { return P::map_values_f64(m, KORVEX_MAP_SCALE, 0.5, o); }); }});
    }
    return r;
}

// Exports that need a sorted matrix to answer anything but their default,
// and those that change the matrix: run on their own handles.
template <typename P>
std::vector<Check> sorted_rows() {
    using V = typename P::V;
    constexpr int64_t kFam = KORVEX_STATUS_FAMILY;
    return {
        {"validate", Takes::own, 0, 1, [](auto m) { return P::validate(m); }},
        {"is_sorted", Takes::own, 0, 1, [](auto m) { return P::is_sorted(m); }},
        {"set_entries", Takes::own, kFam, 0, [](auto m) { return P::set_entries(m, in<int64_t>(0), in<int64_t>(0), in<V>(0), 1); }},
        {"eliminate_zeros", Takes::own, kFam, 0, [](auto m) { return P::eliminate_zeros(m); }},
        {"sum_duplicates", Takes::own, kFam, 0, [](auto m) { return P::sum_duplicates(m); }},
        {"sort_indices", Takes::own, kFam, 0, [](auto m) { return P::sort_indices(m); }},
    };
}

// Exports that serve every family alike, and constructors (no handle).
const std::set<std::string> kExempt = {
    "free", "size", "rows", "cols", "shape", "is_empty", "nnz", "has_nnz_cache", "set_nnz",
    "invalidate_nnz", "is_zero", "density", "sparsity", "get_metadata", "from_scipy_view",
    "from_scipy_copy", "from_scipy_copy_i32", "from_coo",
    // in-place sorting: checked below
    "ensure_sorted", "ensure_sorted_checked"};

template <typename H, typename P>
void check_pair() {
    SCOPED_TRACE(std::string("handle ") + H::prefix + " through " + P::prefix + "_");
    const int64_t base = korvex::live_allocations();
    CompressedMatrix* m = copy_of<H>(3, 3, kUnsorted);
    CompressedMatrix* s = copy_of<H>(3, 3, kSorted);
    for (auto [rows, h] : {std::pair{checked_rows<P>(), m}, std::pair{sorted_rows<P>(), s}}) {
        for (const Check& row : rows) {
            fill_scratch();
            const bool ok = accepted<H, P>(row.takes);
            const int64_t got = row.call(h);
            EXPECT_EQ(got, ok ? row.served : row.refused) << row.name;
            if (!ok) EXPECT_TRUE(outputs_untouched()) << row.name << " wrote a caller array";
        }
    }
    // In-place sorting: refused handles stay unsorted, served ones get sorted.
    const bool own = std::is_same_v<H, P>;
    CompressedMatrix* u = copy_of<H>(3, 3, kUnsorted);
    EXPECT_EQ(P::ensure_sorted_checked(m), own ? 1 : 0);
    P::ensure_sorted(u);
    EXPECT_EQ(H::is_sorted(m), own);
    EXPECT_EQ(H::is_sorted(u), own);
    // The shared exports serve every handle.
    EXPECT_TRUE(P::nnz(m) == 3 && P::rows(m) == 3 && P::density(m) == 1.0 - (1.0 - 3.0 / 9.0));
    P::free(u);
    P::free(s);
    P::free(m);
    EXPECT_EQ(korvex::live_allocations(), base);
}

template <typename H>
void check_handle() {
    check_pair<H, Ex<float, true>>();
    check_pair<H, Ex<double, true>>();
    check_pair<H, Ex<float, false>>();
    check_pair<H, Ex<double, false>>();
}

}  // namespace

TEST(Family, EveryFamilyDependentExportRefusesOtherFamilies) {
    check_handle<Ex<float, true>>();
    check_handle<Ex<double, true>>();
    check_handle<Ex<float, false>>();
    check_handle<Ex<double, false>>();
}

// A new export of the list must be classified here: checked (a row above)
// or serving every family (kExempt).
TEST(Family, EveryExportOfTheListIsCovered) {
    std::set<std::string> covered = kExempt;
    for (const Check& r : checked_rows<Ex<float, true>>()) covered.insert(r.name);
    for (const Check& r : sorted_rows<Ex<float, true>>()) covered.insert(r.name);
#define KX_NAME(P, R, NAME, OP, PARAMS, ARGS) EXPECT_TRUE(covered.count(#OP)) << #NAME " has no row";
    KORVEX_LIST_FAMILY(KX_NAME, csr_f32, float, row, csc)
    KORVEX_LIST_F32_FAMILY(KX_NAME, csr_f32, float, row, csc)
#undef KX_NAME
}

// The family bits live beside the count bit: the cache reads 0 or 1, and
// setting, clearing, cloning and transposing keep the family.
TEST(Family, TheNnzCacheKeepsTheFamily) {
    CompressedMatrix* m = copy_of<CsrF32>(3, 3, kSorted);
    EXPECT_EQ(csr_f32_has_nnz_cache(m), 1);
    csr_f32_invalidate_nnz(m);
    EXPECT_EQ(csr_f32_has_nnz_cache(m), 0);
    EXPECT_EQ(csr_f32_row_len(m, 0), 2u);
    csr_f32_set_nnz(m, 7);
    EXPECT_TRUE(csr_f32_has_nnz_cache(m) == 1 && csr_f32_nnz(m) == 7 && csr_f32_is_valid(m));
    CompressedMatrix* c = csr_f32_clone(m);
    CompressedMatrix *t = nullptr, *back = nullptr;
    ASSERT_EQ(csc_f32_transpose_shared_from_csr(c, &t), 0);
    EXPECT_TRUE(csc_f32_is_valid(t) && !csr_f32_is_valid(t) && csc_f32_nnz(t) == 7);
    ASSERT_EQ(csr_f32_transpose_shared_from_csc(t, &back), 0);
    EXPECT_TRUE(csr_f32_is_valid(back) && csr_f32_has_nnz_cache(back) == 1);
    EXPECT_EQ(sizeof(CompressedMatrix), 80u);
    for (CompressedMatrix* x : {m, c, t, back}) csr_f32_free(x);
}
