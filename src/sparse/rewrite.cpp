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
    std::pair<void*, void*> last{nullptr, nullptr};
    for (uint64_t t = 0; t < k; ++t) {
        const std::pair<void*, void*> p{v[rows[t]].owner, x[rows[t]].owner};
        if (t > 0 && p == last) continue;  // runs of rows over one pair: one lookup
        last = p;
        spans_over.emplace(p.first, 0);
        spans_over.emplace(p.second, 0);
        rows_with.emplace(p, 0);
    }
    // One pass over m's spans counts, for each buffer of interest, the spans
    // over it, and for each pair of interest the rows holding it; runs of
    // spans over one buffer (the common layout) cost one lookup each.
    void *run_v = nullptr, *run_x = nullptr;
    int64_t *slot_v = nullptr, *slot_x = nullptr, *slot_p = nullptr;
    for (uint64_t i = 0; i < outer; ++i) {
        void* vo = v[i].owner;
        void* xo = x[i].owner;
        const bool new_v = vo != run_v || i == 0, new_x = xo != run_x || i == 0;
        if (new_v) {
            run_v = vo;
            auto it = spans_over.find(vo);
            slot_v = it == spans_over.end() ? nullptr : &it->second;
        }
        if (new_x) {
            run_x = xo;
            auto it = spans_over.find(xo);
            slot_x = it == spans_over.end() ? nullptr : &it->second;
        }
        if (new_v || new_x) {
            auto it = rows_with.find({vo, xo});
            slot_p = it == rows_with.end() ? nullptr : &it->second;
        }
        if (slot_v) ++*slot_v;
        if (slot_x) ++*slot_x;
        if (slot_p) ++*slot_p;
    }
    std::vector<uint8_t> ok(k, 0);
    uint8_t last_ok = 0;
    for (uint64_t t = 0; t < k; ++t) {
        const std::pair<void*, void*> p{v[rows[t]].owner, x[rows[t]].owner};
        if (t == 0 || p != last) {
            last = p;
            const int64_t pair_rows = rows_with[p];
            last_ok = p.first && p.second && p.first != p.second &&
                      spans_over[p.first] == pair_rows && spans_over[p.second] == pair_rows &&
                      strong_count(p.first) == strong_count(p.second);
        }
        ok[t] = last_ok;
    }
    return ok;
}

}  // namespace korvex
