// Copy import from arbitrary index pointers, indices and lengths, sometimes
// with a failing data block: the status must be the documented one, a
// success must hold exactly the caller's rows, nothing may be read outside
// the arrays, and nothing may stay allocated.
#include "fuzz_common.hpp"

namespace {

struct Run {
    fz::Bytes& in;
    template <typename A>
    void operator()() {
        using V = typename A::V;
        fz::LeakGuard guard;
        uint64_t rows = in.below(9), cols = in.below(9);
        uint64_t n = fz::outer_of<A>(rows, cols), inner = fz::inner_of<A>(rows, cols);
        uint64_t plen = in.u8() < 224 ? n + 1 : in.below(n + 3);
        std::unique_ptr<uint64_t[]> ptr(new uint64_t[plen]);
        for (uint64_t i = 0, run = 0; i < plen; ++i) {
            uint8_t t = in.u8();
            run = t < 208 ? (i ? run + t % 4 : 0) : t < 248 ? t % 24 : in.u64();
            ptr[i] = run;
        }
        uint64_t last = plen ? ptr[plen - 1] : 0;
        auto length = [&] { return in.u8() < 224 && last <= 64 ? last : in.below(65); };
        uint64_t dlen = length(), xlen = length();
        std::unique_ptr<V[]> data(new V[dlen]);
        std::unique_ptr<int64_t[]> idx(new int64_t[xlen]);
        for (uint64_t k = 0; k < dlen; ++k) data[k] = V(in.value());
        for (uint64_t k = 0; k < xlen; ++k) idx[k] = in.index(inner);

        int want = 0;
        if (plen != n + 1 || (n > 0 && ptr[0] != 0))
            want = KORVEX_STATUS_INDPTR;
        else if (dlen != ptr[n] || xlen != ptr[n])
            want = KORVEX_STATUS_LENGTH;
        else
            for (uint64_t i = 0; i < n; ++i)
                if (ptr[i] > ptr[n]) want = KORVEX_STATUS_INDPTR;

        fz::maybe_fail_blocks(in, 32);
        CompressedMatrix* m = fz::untouched();
        int st = A::copy(rows, cols, data.get(), dlen, idx.get(), xlen, ptr.get(), plen, &m);
        fz::check_status(st, want, KORVEX_STATUS_ALLOC);
        if (st != 0) {
            FUZZ_CHECK(m == fz::untouched());
            return;
        }

        // A pair that goes down (all entries at most the last) is an empty row.
        fz::Ref r{rows, cols, fz::Lists(n)};
        for (uint64_t i = 0; i < n; ++i)
            for (uint64_t k = ptr[i]; k < ptr[i + 1]; ++k) r.outer[i].emplace_back(idx[k], double(data[k]));
        fz::expect_matrix<A>(m, r);
        FUZZ_CHECK(A::has_cache(m) && A::nnz(m) == r.nnz());

        // A copy owns its elements, so in-place sorting may reorder them:
        // it reports work exactly when a row was not strictly increasing,
        // and every row keeps its entries.
        FUZZ_CHECK(A::sort_checked(m) == !r.sorted());
        fz::Ref s = fz::read<A>(m);
        for (auto& l : s.outer)
            for (size_t k = 1; k < l.size(); ++k) FUZZ_CHECK(l[k - 1].first <= l[k].first);
        FUZZ_CHECK(fz::canonical(s.outer) == fz::canonical(r.outer));
        A::release(m);
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    return fz::run_input<Run>(data, size);
}
