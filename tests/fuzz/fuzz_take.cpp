// Chains of up to four takes by position lists along either axis (any
// order, repeats, positions just past the axis), each applied to the
// previous result, with compressed exports and shared transposes of every
// step, sometimes with a failing data block. Results must match the model;
// exports must write exactly the model's arrays and nothing outside them,
// or refuse without writing.
#include "fuzz_common.hpp"

namespace {

template <typename A>
fz::Ref take_model(const fz::Ref& r, bool rows, const std::vector<uint64_t>& pos) {
    fz::Ref t{rows ? pos.size() : r.rows, rows ? r.cols : pos.size(), {}};
    if (rows == A::csr) {
        for (uint64_t p : pos) t.outer.push_back(r.outer[p]);
        return t;
    }
    t.outer.resize(r.outer.size());
    for (size_t i = 0; i < r.outer.size(); ++i)
        for (auto& e : r.outer[i])
            for (size_t k = 0; k < pos.size(); ++k)
                if (uint64_t(e.first) == pos[k]) t.outer[i].emplace_back(int64_t(k), e.second);
    return t;
}

// Compressed export at width 4 or 8 (sometimes a bad width or a short
// capacity) into exact-size arrays.
template <typename A>
void check_export(fz::Bytes& in, CompressedMatrix* m, const fz::Ref& r) {
    using V = typename A::V;
    uint8_t pick = in.u8();
    uint8_t width = pick < 120 ? 4 : pick < 240 ? 8 : pick % 10;
    uint64_t nnz = r.nnz(), n = r.outer.size(), inner = fz::inner_of<A>(r.rows, r.cols);
    uint64_t cap = in.u8() < 224 ? nnz : in.below(nnz + 2);
    uint64_t w = width == 4 ? 4 : 8;
    // Blocks of exactly the arrays' sizes (one element when empty, passed
    // one past it), so that any write outside them is caught.
    std::unique_ptr<V[]> vblock(new V[cap ? cap : 1]);
    std::unique_ptr<unsigned char[]> iblock(new unsigned char[cap ? cap * w : 1]);
    std::unique_ptr<unsigned char[]> ptr(new unsigned char[(n + 1) * w]);
    V* vals = vblock.get() + (cap ? 0 : 1);
    unsigned char* idx = iblock.get() + (cap ? 0 : 1);
    for (uint64_t k = 0; k < cap; ++k) vals[k] = V(-99);
    ptr[0] = 0x5a;
    int want = 0;
    if ((width != 4 && width != 8) || cap < nnz) want = KORVEX_STATUS_CAPACITY;
    else if (!r.in_bounds(inner)) want = KORVEX_STATUS_INDEX;
    int st = A::to_compressed(m, vals, idx, ptr.get(), cap, width);
    FUZZ_CHECK(st == want);
    if (st == KORVEX_STATUS_CAPACITY) FUZZ_CHECK(ptr[0] == 0x5a && (cap == 0 || vals[0] == V(-99)));
    if (st != 0) return;
    auto at = [&](const unsigned char* base, uint64_t k) -> int64_t {
        if (w == 8) return reinterpret_cast<const int64_t*>(base)[k];
        return reinterpret_cast<const int32_t*>(base)[k];
    };
    uint64_t k = 0;
    for (uint64_t i = 0; i < n; ++i) {
        FUZZ_CHECK(at(ptr.get(), i) == int64_t(k));
        for (auto& e : r.outer[i]) {
            FUZZ_CHECK(at(idx, k) == e.first && double(vals[k]) == e.second);
            ++k;
        }
    }
    FUZZ_CHECK(at(ptr.get(), n) == int64_t(nnz));
}

struct Run {
    fz::Bytes& in;
    template <typename A>
    void operator()() {
        using B = fz::Fam<typename A::V, !A::csr>;
        fz::LeakGuard guard;
        auto a = fz::make_arrays<A>(in, in.u8() < 160);
        fz::Ref r = fz::model(a, fz::outer_of<A>(a.rows, a.cols));
        CompressedMatrix* m = fz::build<A>(a, in.u8() & 1);
        check_export<A>(in, m, r);
        for (int step = 0; step < 4 && in.n; ++step) {
            uint8_t op = in.u8();
            bool by_rows = op & 1, outer = by_rows == A::csr;
            uint64_t dim = by_rows ? r.rows : r.cols, inner = fz::inner_of<A>(r.rows, r.cols);
            std::vector<uint64_t> pos(in.below(12));
            bool bad = false;
            for (auto& p : pos) {
                uint8_t t = in.u8();
                p = t < 240 ? (dim ? t % dim : 0) : t < 252 ? dim + (t & 1) : in.u64();
                bad |= p >= dim;
            }
            pos.reserve(1);
            int want = bad ? KORVEX_STATUS_RANGE : 0;
            if (!bad && !outer && !pos.empty() && !r.outer.empty() && !r.in_bounds(inner))
                want = KORVEX_STATUS_INDEX;
            fz::maybe_fail_blocks(in, 24);
            CompressedMatrix* t = fz::untouched();
            int st = (by_rows ? A::take_rows : A::take_cols)(m, pos.data(), pos.size(), &t);
            if (fz::check_status(st, want, KORVEX_STATUS_ALLOC)) FUZZ_CHECK(!outer);  // only inner takes copy
            fz::expect_matrix<A>(m, r);
            if (st != 0) {
                FUZZ_CHECK(t == fz::untouched());
                continue;
            }
            fz::Ref next = take_model<A>(r, by_rows, pos);
            fz::expect_matrix<A>(t, next);
            FUZZ_CHECK(A::has_cache(t) == (!outer || pos.empty()));

            // The shared transpose holds the same outer lists, shape swapped.
            CompressedMatrix* tt = fz::untouched();
            FUZZ_CHECK(B::transpose_shared(t, &tt) == 0);
            fz::expect_matrix<B>(tt, fz::Ref{next.cols, next.rows, next.outer});
            A::release(m);
            m = t;
            r = next;
            if (in.u8() & 1) check_export<B>(in, tt, fz::Ref{next.cols, next.rows, next.outer});
            B::release(tt);
            check_export<A>(in, m, r);
        }
        A::release(m);
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    return fz::run_input<Run>(data, size);
}
