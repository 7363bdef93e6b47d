#include "sparse/rewrite.hpp"

#include <algorithm>
#include <unordered_map>

namespace korvex {

namespace {

struct PairHash {
    size_t operator()(const std::pair<void*, void*>& p) const noexcept {
        return std::hash<void*>()(p.first) * 31 + std::hash<void*>()(p.second);
    }
};

int64_t strong_count(void* owner) {
    return static_cast<SharedBuffer*>(owner)->strong.load(std::memory_order_acquire);
}

}  // namespace

std::vector<uint8_t> reorderable_in_place(const CompressedMatrix& m, uint64_t outer,
                                          const uint64_t* rows, uint64_t k) {
    const Span* v = m.values.ptr;
    const Span* x = m.indices.ptr;
    // Counts of m's own spans over each buffer of interest, and of m's rows
    // holding each (value buffer, index buffer) pair of interest.
    std::unordered_map<void*, int64_t> spans_over;
    std::unordered_map<std::pair<void*, void*>, int64_t, PairHash> rows_with;
    for (uint64_t t = 0; t < k; ++t) {
        uint64_t i = rows[t];
        spans_over.emplace(v[i].owner, 0);
        spans_over.emplace(x[i].owner, 0);
        rows_with.emplace(std::make_pair(v[i].owner, x[i].owner), 0);
    }
    // Runs of spans over one buffer (the common layout) cost one lookup.
    auto count_runs = [&](const Span* s) {
        void* run_owner = nullptr;
        int64_t* slot = nullptr;
        for (uint64_t i = 0; i < outer; ++i) {
            void* o = s[i].owner;
            if (o != run_owner || i == 0) {
                run_owner = o;
                auto it = spans_over.find(o);
                slot = it == spans_over.end() ? nullptr : &it->second;
            }
            if (slot) ++*slot;
        }
    };
    count_runs(v);
    count_runs(x);
    std::pair<void*, void*> run_pair{nullptr, nullptr};
    int64_t* slot = nullptr;
    for (uint64_t i = 0; i < outer; ++i) {
        std::pair<void*, void*> p{v[i].owner, x[i].owner};
        if (p != run_pair || i == 0) {
            run_pair = p;
            auto it = rows_with.find(p);
            slot = it == rows_with.end() ? nullptr : &it->second;
        }
        if (slot) ++*slot;
    }
    std::vector<uint8_t> ok(k, 0);
    for (uint64_t t = 0; t < k; ++t) {
        void* vo = v[rows[t]].owner;
        void* xo = x[rows[t]].owner;
        if (!vo || !xo || vo == xo) continue;
        int64_t pair_rows = rows_with[{vo, xo}];
        ok[t] = spans_over[vo] == pair_rows && spans_over[xo] == pair_rows &&
                strong_count(vo) == strong_count(xo);
    }
    return ok;
}

}  // namespace korvex
