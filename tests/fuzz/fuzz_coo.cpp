// Coordinate import from arbitrary triples (outer indices anywhere, inner
// indices stored unchecked, duplicates), sometimes with a failing data
// block; a success is converted to the other form and back, and both must
// hold the same entries as the triples.
#include "fuzz_common.hpp"

namespace {

#ifdef FUZZ_WIDE
// The coo_wide target: dimensions around the number of targets that are
// still counted directly (65536), so that conversion and import also bucket
// by ranges of targets. Each run costs milliseconds, hence a target of its own.
constexpr uint64_t kBase = 65528;
#else
constexpr uint64_t kBase = 0;
#endif

struct Run {
    fz::Bytes& in;
    template <typename A>
    void operator()() {
        using V = typename A::V;
        using B = fz::Fam<V, !A::csr>;
        fz::LeakGuard guard;
        uint64_t n = kBase + in.below(17);
        uint64_t inner = in.u8() < 248 ? kBase * (in.u8() & 1) + in.below(17) : in.u64();  // stored unchecked
        uint64_t rows = A::csr ? n : inner, cols = A::csr ? inner : n;
        uint64_t nnz = in.below(41);
        std::unique_ptr<int64_t[]> ri(new int64_t[nnz]), ci(new int64_t[nnz]);
        std::unique_ptr<V[]> val(new V[nnz]);
        bool outer_ok = true;
        for (uint64_t k = 0; k < nnz; ++k) {
            int64_t o = in.index(n), i = in.index(inner);
            if (n > 256 && in.u8() < 128) o = int64_t(in.u64() % n);
            outer_ok &= uint64_t(o) < n;
            (A::csr ? ri : ci)[k] = o;
            (A::csr ? ci : ri)[k] = i;
            val[k] = V(in.value());
        }
        int want = outer_ok ? 0 : KORVEX_STATUS_INDEX;  // no entries at all is an empty matrix
        fz::maybe_fail_blocks(in, 32);
        CompressedMatrix* m = fz::untouched();
        int st = A::coo(rows, cols, ri.get(), ci.get(), val.get(), nnz, &m);
        fz::check_status(st, want, KORVEX_STATUS_ALLOC);
        if (st != 0) {
            FUZZ_CHECK(m == fz::untouched());
            return;
        }

        // Duplicates are kept; within an outer index the entries come sorted
        // by index, their order among equal indices unspecified.
        fz::Ref r{rows, cols, fz::Lists(n)};
        for (uint64_t k = 0; k < nnz; ++k) {
            int64_t o = (A::csr ? ri : ci)[k], i = (A::csr ? ci : ri)[k];
            r.outer[uint64_t(o)].emplace_back(i, double(val[k]));
        }
        fz::expect_matrix<A>(m, r, true);
        fz::Ref got = fz::read<A>(m);
        for (auto& l : got.outer)
            for (size_t k = 1; k < l.size(); ++k) FUZZ_CHECK(l[k - 1].first <= l[k].first);
        FUZZ_CHECK(A::has_cache(m) && A::nnz(m) == nnz);

        // Round trip through the other form when the indices fit it (a
        // huge inner dimension would ask for a counter per target).
        if (inner > kBase + 16) return A::release(m);
        CompressedMatrix* t = fz::untouched();
        st = B::from_other(m, &t);
        bool bounds = r.in_bounds(inner);
        FUZZ_CHECK(st == (bounds ? 0 : KORVEX_STATUS_INDEX));
        if (st == 0) {
            fz::expect_matrix<B>(t, fz::flip(r, inner), true);
            CompressedMatrix* back = fz::untouched();
            FUZZ_CHECK(A::from_other(t, &back) == 0);
            fz::expect_matrix<A>(back, r, true);
            A::release(back);
            B::release(t);
        } else {
            FUZZ_CHECK(t == fz::untouched());
        }
        A::release(m);
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    return fz::run_input<Run>(data, size);
}
