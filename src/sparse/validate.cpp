#include "sparse/validate.hpp"

#include <algorithm>
#include <atomic>
#include <functional>
#include <vector>

#include "span/parallel.hpp"
#include "sparse/rewrite.hpp"
#include "sparse/rowsort.hpp"

namespace korvex {

namespace {

inline const int64_t* idx_of(const Span& s) { return static_cast<const int64_t*>(s.data); }

inline bool row_in_bounds(const Span& s, uint64_t inner) {
    const int64_t* x = idx_of(s);
    for (uint64_t k = 0; k < s.len; ++k)
        if (static_cast<uint64_t>(x[k]) >= inner) return false;  // negatives wrap high
    return true;
}

inline bool needs_write_access(const Span& v, const Span& x) {
    return x.len > 1 && !((x.flags & kFlagMutable) && (v.flags & kFlagMutable));
}

// A matrix may list the same storage at several outer indices (a stack of a
// matrix with itself, a clone stacked under its source). Two threads sorting
// one row at once would lose entries, so each row's storage is sorted once.
// The lists hold the unsorted outer indices piece by piece, in order; rows
// of one buffer lie at increasing addresses, so the common case (addresses
// strictly increasing along the lists) proves there is no repeat in one
// scan. Otherwise the lists are rebuilt in address order without repeats.
void drop_repeated_storage(std::vector<std::vector<uint64_t>>& unsorted, const Span* x) {
    const int64_t* last = nullptr;
    bool increasing = true;
    uint64_t total = 0;
    for (const auto& rows : unsorted) {
        for (uint64_t i : rows) {
            const int64_t* at = idx_of(x[i]);
            increasing = increasing && (last == nullptr || at > last);
            last = at;
        }
        total += rows.size();
    }
    if (increasing) return;
    std::vector<uint64_t> all;
    all.reserve(total);
    for (auto& rows : unsorted) {
        all.insert(all.end(), rows.begin(), rows.end());
        rows.clear();
    }
    std::sort(all.begin(), all.end(), [&](uint64_t a, uint64_t b) {
        return std::less<const int64_t*>()(idx_of(x[a]), idx_of(x[b]));
    });
    all.erase(std::unique(all.begin(), all.end(),
                          [&](uint64_t a, uint64_t b) { return idx_of(x[a]) == idx_of(x[b]); }),
              all.end());
    // Deal the distinct rows back out, in runs, over the same pieces.
    const uint64_t pieces = unsorted.size(), per = (all.size() + pieces - 1) / pieces;
    for (uint64_t k = 0; k < all.size(); ++k) unsorted[k / per].push_back(all[k]);
}

}  // namespace

template <Form F>
bool is_valid(const CompressedMatrix& m) {
    uint64_t n = outer_dim<F>(m);
    if (m.values.len != n || m.indices.len != n) return false;
    const Span* v = m.values.ptr;
    const Span* x = m.indices.ptr;
    return !par::any(n, [&](uint64_t i) { return v[i].len != x[i].len; });
}

template <Form F>
bool validate(const CompressedMatrix& m) {
    uint64_t n = outer_dim<F>(m), inner = inner_dim<F>(m);
    if (m.values.len != n || m.indices.len != n) return false;
    const Span* v = m.values.ptr;
    const Span* x = m.indices.ptr;
    return !par::any(n, [&](uint64_t i) {
        uint64_t len = x[i].len;
        if (v[i].len != len) return true;
        if (len == 0) return false;
        // A strictly increasing row is in bounds when its ends are.
        const int64_t* idx = idx_of(x[i]);
        return !is_sorted_run(idx, len) || idx[0] < 0 || static_cast<uint64_t>(idx[len - 1]) >= inner;
    });
}

template <Form F>
bool indices_in_bounds(const CompressedMatrix& m) {
    uint64_t inner = inner_dim<F>(m);
    const Span* x = m.indices.ptr;
    return !par::any(m.indices.len, [&](uint64_t i) { return !row_in_bounds(x[i], inner); });
}

bool is_sorted(const CompressedMatrix& m) {
    const Span* x = m.indices.ptr;
    return !par::any(m.indices.len,
                     [&](uint64_t i) { return !is_sorted_run(idx_of(x[i]), x[i].len); });
}

template <typename V>
void sort_rows(Span* values, Span* indices, uint64_t n) {
    par::for_each(n, [&](uint64_t i) {
        if (indices[i].len > 1)
            sort_row(mutable_data<V>(values[i]), mutable_data<int64_t>(indices[i]), indices[i].len);
    });
}

template <typename V, Form F>
SortOutcome sort_rows_of(CompressedMatrix& m, bool copy_views) {
    uint64_t n = outer_dim<F>(m);
    KORVEX_INVARIANT(m.values.len >= n && m.indices.len >= n, "span arrays shorter than the shape");
    Span* v = m.values.ptr;
    Span* x = m.indices.ptr;
    // One scan finds the unsorted rows, piece by piece: those that may be
    // reordered where they lie, and those that must be copied first (views
    // of caller memory). A sorted matrix costs the scan and no allocation.
    // Up to 64 pieces per thread, so that a few long rows still spread.
    const par::Pieces cut = par::pieces_of(n, 64);
    const uint64_t pieces = cut.count;
    std::vector<std::vector<uint64_t>> unsorted(pieces), views(pieces);
    std::atomic<bool> refused{false};
    par::for_each(pieces, [&](uint64_t p) {
        for (uint64_t i = cut.begin(p), e = cut.end(p); i < e; ++i) {
            if (x[i].len <= 1 || is_sorted_run(idx_of(x[i]), x[i].len)) continue;
            KORVEX_INVARIANT(x[i].len == v[i].len, "value and index spans differ in length");
            if (needs_write_access(v[i], x[i]) || !v[i].owner || !x[i].owner) {
                if (!copy_views) {
                    refused.store(true, std::memory_order_relaxed);
                    return;
                }
                views[p].push_back(i);
            } else {
                unsorted[p].push_back(i);
            }
        }
    });
    if (refused.load()) return SortOutcome::refused;
    std::vector<uint64_t> copied, candidates;
    for (uint64_t p = 0; p < pieces; ++p) {
        copied.insert(copied.end(), views[p].begin(), views[p].end());
        candidates.insert(candidates.end(), unsorted[p].begin(), unsorted[p].end());
    }
    if (copied.empty() && candidates.empty()) return SortOutcome::unchanged;
    // Rows whose indices another matrix reads with other values (a map's
    // result and its source) are copied too: reordering them in place
    // would move indices without the values read with them.
    if (!candidates.empty()) {
        std::vector<uint8_t> ok = reorderable_in_place(m, n, candidates.data(), candidates.size());
        bool all = std::all_of(ok.begin(), ok.end(), [](uint8_t b) { return b != 0; });
        if (!all) {
            for (auto& rows : unsorted) rows.clear();
            for (uint64_t t = 0; t < candidates.size(); ++t) {
                if (ok[t]) unsorted[t * pieces / candidates.size()].push_back(candidates[t]);
                else copied.push_back(candidates[t]);
            }
        }
    }
    drop_repeated_storage(unsorted, x);
    if (!copied.empty()) {
        std::sort(copied.begin(), copied.end());
        Temp<uint64_t> lens = temp_array<uint64_t>(copied.size());
        for (uint64_t t = 0; t < copied.size(); ++t) lens[t] = x[copied[t]].len;
        bool placed = replace_rows<V>(m, copied.data(), lens.get(), copied.size(),
                                      [&](uint64_t t, V* vals, int64_t* idx, uint64_t len) {
                                          uint64_t i = copied[t];
                                          copy_elements(vals, static_cast<const V*>(v[i].data), len);
                                          copy_elements(idx, idx_of(x[i]), len);
                                          sort_row(vals, idx, len);
                                      });
        if (!placed) return SortOutcome::failed;
    }
    par::for_each(pieces, [&](uint64_t p) {
        for (uint64_t i : unsorted[p])
            sort_row(mutable_data<V>(v[i]), mutable_data<int64_t>(x[i]), x[i].len);
    });
    return SortOutcome::sorted;
}

template <typename V, Form F>
SortOutcome ensure_sorted(CompressedMatrix& m) {
    return sort_rows_of<V, F>(m, false);
}

template bool is_valid<Form::csr>(const CompressedMatrix&);
template bool is_valid<Form::csc>(const CompressedMatrix&);
template bool validate<Form::csr>(const CompressedMatrix&);
template bool validate<Form::csc>(const CompressedMatrix&);
template bool indices_in_bounds<Form::csr>(const CompressedMatrix&);
template bool indices_in_bounds<Form::csc>(const CompressedMatrix&);
template void sort_rows<float>(Span*, Span*, uint64_t);
template void sort_rows<double>(Span*, Span*, uint64_t);
template SortOutcome sort_rows_of<float, Form::csr>(CompressedMatrix&, bool);
template SortOutcome sort_rows_of<float, Form::csc>(CompressedMatrix&, bool);
template SortOutcome sort_rows_of<double, Form::csr>(CompressedMatrix&, bool);
template SortOutcome sort_rows_of<double, Form::csc>(CompressedMatrix&, bool);
template SortOutcome ensure_sorted<float, Form::csr>(CompressedMatrix&);
template SortOutcome ensure_sorted<float, Form::csc>(CompressedMatrix&);
template SortOutcome ensure_sorted<double, Form::csr>(CompressedMatrix&);
template SortOutcome ensure_sorted<double, Form::csc>(CompressedMatrix&);

}  // namespace korvex
