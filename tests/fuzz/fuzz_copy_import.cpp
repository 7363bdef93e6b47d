// Copy import from arbitrary index pointers, indices and lengths (64-bit, or
// 32-bit at odd addresses), sometimes with a failing data block: the status must be the documented one, a
// success must hold exactly the caller's rows, nothing may be read outside
// the arrays, and nothing may stay allocated.
#include <cstring>

#include "fuzz_common.hpp"

namespace {

// A copy of n elements at an odd address, ending where its block ends.
template <typename T>
struct Misplaced {
    std::unique_ptr<unsigned char[]> block;
    const T* at;
    Misplaced(const T* src, uint64_t n, size_t shift) : block(new unsigned char[n * sizeof(T) + shift]) {
        std::memcpy(block.get() + shift, src, n * sizeof(T));
        at = reinterpret_cast<const T*>(block.get() + shift);
    }
};

// The 32-bit import of the same arrays truncated to int32 (large offsets
// turn negative), placed at odd addresses.
template <typename A>
void from_int32(uint64_t rows, uint64_t cols, const typename A::V* data, uint64_t dlen,
                const int64_t* idx, uint64_t xlen, const uint64_t* ptr, uint64_t plen) {
    uint64_t n = fz::outer_of<A>(rows, cols);
    std::vector<int32_t> p32(plen + 1), x32(xlen + 1);
    for (uint64_t i = 0; i < plen; ++i) p32[i] = int32_t(uint32_t(ptr[i]));
    for (uint64_t k = 0; k < xlen; ++k) x32[k] = int32_t(uint32_t(uint64_t(idx[k])));
    int want = 0;
    if (plen != n + 1 || (n > 0 && p32[0] != 0) || p32[n] < 0)
        want = KORVEX_STATUS_INDPTR;
    else if (dlen != uint64_t(p32[n]) || xlen != uint64_t(p32[n]))
        want = KORVEX_STATUS_LENGTH;
    else
        for (uint64_t i = 0; i < n; ++i)
            if (p32[i] < 0 || p32[i] > p32[n]) want = KORVEX_STATUS_INDPTR;
    Misplaced<typename A::V> d(data, dlen, 1 + dlen % 7);
    Misplaced<int32_t> x(x32.data(), xlen, 1 + xlen % 3), p(p32.data(), plen, 2);
    CompressedMatrix* m = fz::untouched();
    int st = A::copy_i32(rows, cols, d.at, dlen, x.at, xlen, p.at, plen, &m);
    FUZZ_CHECK(st == want);
    if (st != 0) {
        FUZZ_CHECK(m == fz::untouched());
        return;
    }
    fz::Ref r{rows, cols, fz::Lists(n)};
    for (uint64_t i = 0; i < n; ++i)
        for (int64_t k = p32[i]; k < p32[i + 1]; ++k) r.outer[i].emplace_back(x32[k], double(data[k]));
    fz::expect_matrix<A>(m, r);
    FUZZ_CHECK(A::has_cache(m) && A::nnz(m) == r.nnz());
    A::release(m);
}

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

        if (in.u8() & 1) {
            from_int32<A>(rows, cols, data.get(), dlen, idx.get(), xlen, ptr.get(), plen);
            return;
        }
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
