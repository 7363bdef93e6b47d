// Edits in place of a view or copy of arbitrary arrays (indices unsorted,
// repeated, sometimes outside), sometimes stacked with itself so that two of
// its rows share storage: a run of set_entries, eliminate_zeros,
// sum_duplicates, sort_indices and the map of sums, sometimes with a data
// block failing. After each call the matrix must hold exactly what a plain
// model of the call gives (or, on failure, what it held), its cached nnz
// must stay right, and no other reader may see a different entry: a clone
// and a value map made before the edits, every earlier map of sums, and a
// view's host arrays byte for byte.
#include <cstring>

#include "fuzz_common.hpp"

namespace {

using fz::Lists;

bool increasing(const std::vector<fz::Entry>& l) {
    for (size_t k = 1; k < l.size(); ++k)
        if (!(l[k - 1].first < l[k].first)) return false;
    return true;
}

// A row sorted by index, each index once with the sum of its copies.
std::vector<fz::Entry> summed(std::vector<fz::Entry> l) {
    std::stable_sort(l.begin(), l.end(), [](auto& a, auto& b) { return a.first < b.first; });
    std::vector<fz::Entry> out;
    for (auto& e : l) {
        if (!out.empty() && out.back().first == e.first) out.back().second += e.second;
        else out.push_back(e);
    }
    return out;
}

// set_entries on one row: targets (inner -> value, increasing inner).
std::vector<fz::Entry> set_row(const std::vector<fz::Entry>& l, const std::vector<fz::Entry>& g) {
    std::vector<fz::Entry> out;
    if (increasing(l)) {  // a merge that keeps the row sorted
        size_t k = 0, a = 0;
        while (k < l.size() || a < g.size()) {
            if (a == g.size() || (k < l.size() && l[k].first < g[a].first)) out.push_back(l[k++]);
            else if (k < l.size() && l[k].first == g[a].first) out.push_back(g[a++]), ++k;
            else out.push_back(g[a++]);
        }
        return out;
    }
    std::vector<bool> seen(g.size());
    for (auto& e : l) {
        size_t a = 0;
        while (a < g.size() && g[a].first != e.first) ++a;
        if (a == g.size()) out.push_back(e);
        else if (!seen[a]) seen[a] = true, out.push_back(g[a]);
    }
    for (size_t a = 0; a < g.size(); ++a)
        if (!seen[a]) out.push_back(g[a]);
    return out;
}

struct Run {
    fz::Bytes& in;

    template <typename A>
    void operator()() {
        using V = typename A::V;
        fz::LeakGuard guard;
        auto a = fz::make_arrays<A>(in, in.u8() < 64);
        const uint64_t n0 = fz::outer_of<A>(a.rows, a.cols);
        fz::Ref r = fz::model(a, n0);
        const bool view = in.u8() & 1;
        CompressedMatrix* m = fz::build<A>(a, !view);
        // The host arrays as they were, to check that nothing writes them.
        const std::vector<V> data0(a.data.get(), a.data.get() + a.len);
        const std::vector<int64_t> idx0(a.idx.get(), a.idx.get() + a.len);
        if (in.u8() & 1) {  // stacked with itself: each row stored twice
            CompressedMatrix *pair[] = {m, m}, *s = nullptr;
            FUZZ_CHECK((A::csr ? A::vstack : A::hstack)(pair, 2, &s) == 0);
            A::release(m);
            m = s;
            Lists once = r.outer;
            r.outer.insert(r.outer.end(), once.begin(), once.end());
            (A::csr ? r.rows : r.cols) *= 2;
        }
        const uint64_t R = r.rows, C = r.cols, n = r.outer.size();
        if (in.u8() & 1) FUZZ_CHECK(A::nnz(m) == r.nnz());  // sometimes with a cached count
        // Readers that share m's storage, with what each must keep reading.
        std::vector<std::pair<CompressedMatrix*, fz::Ref>> others;
        others.emplace_back(A::clone(m), r);
        FUZZ_CHECK(others.back().first);
        CompressedMatrix* neg = nullptr;
        FUZZ_CHECK(A::map(m, KORVEX_MAP_NEGATE, 0, &neg) == 0);
        fz::Ref nr = r;
        for (auto& l : nr.outer)
            for (auto& e : l) e.second = -e.second;
        others.emplace_back(neg, nr);

        for (int step = 0, steps = 1 + int(in.below(4)); step < steps; ++step) {
            const uint8_t op = in.below(5);
            Lists want = r.outer;
            bool any_order = false;
            int expect = 0;
            fz::maybe_fail_blocks(in, 48);
            int st = 0;
            CompressedMatrix* made = fz::untouched();
            if (op == 0) {  // set entries, sometimes one outside the shape
                const uint64_t k = in.below(7);
                std::vector<int64_t> rs(k), cs(k);
                std::vector<V> vs(k);
                for (uint64_t t = 0; t < k; ++t) {
                    rs[t] = in.index(R);
                    cs[t] = in.index(C);
                    vs[t] = V(in.value());
                    if (rs[t] < 0 || cs[t] < 0 || uint64_t(rs[t]) >= R || uint64_t(cs[t]) >= C)
                        expect = KORVEX_STATUS_INDEX;
                }
                st = A::set_entries(m, rs.data(), cs.data(), vs.data(), k);
                if (expect == 0) {
                    Lists g(n);  // per outer index, (inner, value), last one named wins
                    for (uint64_t t = 0; t < k; ++t) {
                        const uint64_t o = A::csr ? rs[t] : cs[t];
                        const int64_t j = A::csr ? cs[t] : rs[t];
                        auto at = std::find_if(g[o].begin(), g[o].end(), [&](auto& e) { return e.first == j; });
                        if (at != g[o].end()) at->second = double(vs[t]);
                        else g[o].emplace_back(j, double(vs[t]));
                    }
                    for (uint64_t o = 0; o < n; ++o) {
                        if (g[o].empty()) continue;
                        std::sort(g[o].begin(), g[o].end());
                        want[o] = set_row(want[o], g[o]);
                    }
                }
            } else if (op == 1) {
                st = A::eliminate_zeros(m);
                for (auto& l : want) l.erase(std::remove_if(l.begin(), l.end(), [](auto& e) { return e.second == 0; }), l.end());
            } else if (op == 2) {
                st = A::sum_duplicates(m);
                for (auto& l : want)
                    if (!increasing(l)) l = summed(l);
            } else if (op == 3) {
                st = A::sort_indices(m);
                for (auto& l : want)
                    std::stable_sort(l.begin(), l.end(), [](auto& x, auto& y) { return x.first < y.first; });
                any_order = true;  // equal indices in any order
            } else {  // a map of sums: m stays, the result joins the readers
                st = A::map_summed(m, KORVEX_MAP_ABS, 0, &made);
            }
            if (fz::check_status(st, expect, KORVEX_STATUS_ALLOC) || st != 0) {
                FUZZ_CHECK(made == fz::untouched());
                fz::expect_matrix<A>(m, r);  // exactly as it was
            } else if (op == 4) {
                fz::Ref t = r;
                for (auto& l : t.outer) {
                    if (!increasing(l)) l = summed(l);
                    for (auto& e : l) e.second = e.second < 0 ? -e.second : e.second;
                }
                fz::expect_matrix<A>(made, t);
                others.emplace_back(made, t);
            } else {
                fz::Ref got = fz::read<A>(m);
                FUZZ_CHECK(got.rows == R && got.cols == C);
                if (any_order) {
                    FUZZ_CHECK(fz::canonical(got.outer) == fz::canonical(want));
                    for (auto& l : got.outer)
                        for (size_t k = 1; k < l.size(); ++k) FUZZ_CHECK(l[k - 1].first <= l[k].first);
                } else {
                    FUZZ_CHECK(got.outer == want);
                }
                r.outer = got.outer;
            }
            FUZZ_CHECK(A::nnz(m) == r.nnz());
            // Nobody else reads a different entry (a row shared whole may
            // have been reordered where it lies).
            for (auto& [o, want_o] : others) fz::expect_matrix<A>(o, want_o, true);
            if (view && a.len) {
                FUZZ_CHECK(std::memcmp(a.data.get(), data0.data(), a.len * sizeof(V)) == 0);
                FUZZ_CHECK(std::memcmp(a.idx.get(), idx0.data(), a.len * sizeof(int64_t)) == 0);
            }
        }
        for (auto& o : others) A::release(o.first);
        A::release(m);
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    return fz::run_input<Run>(data, size);
}
