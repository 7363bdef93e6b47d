// Rows that change get fresh segments; rows that may be reordered where
// they lie. Used by the in-place sort and by every edit of a matrix.
//
// Storage is shared between matrices: clones, outer slices, takes, stacks
// and shared transposes hold a row's value span together with its index
// span; value maps hold the index span only, beside values of their own.
// Nothing in the library shares a value span without the index span it was
// made with. A change of one matrix must never change the entries (position
// and value) that another matrix reads, so storage that another reader may
// see is replaced, never written.
#pragma once

#include <cstdint>
#include <vector>

#include "span/parallel.hpp"
#include "sparse/matrix.hpp"

namespace korvex {

// The outer indices in [0, n) for which pred(i) holds, increasing, found in
// one parallel scan.
template <typename Pred>
std::vector<uint64_t> rows_where(uint64_t n, const Pred& pred) {
    const par::Pieces cut = par::pieces_of(n, 64);
    std::vector<std::vector<uint64_t>> found(cut.count);
    par::for_each(cut.count, [&](uint64_t p) {
        for (uint64_t i = cut.begin(p), e = cut.end(p); i < e; ++i)
            if (pred(i)) found[p].push_back(i);
    });
    std::vector<uint64_t> all;
    for (const auto& f : found) all.insert(all.end(), f.begin(), f.end());
    return all;
}

// For each outer index rows[0..k) of m (each row MUTABLE in both spans, with
// owners): 1 when its values and indices may be reordered together where
// they lie, 0 when the row must be copied first. A row may stay in place
// when its value buffer and index buffer have equal reference counts and,
// within m, every span over either buffer sits in a row holding both: then
// every reader of those indices reads them with the same values (a clone,
// a take, a stack, or m alone), none with values of its own (a map's
// result). Sequential pass over m's outer indices with one lookup per run
// of spans over the same buffer.
std::vector<uint8_t> reorderable_in_place(const CompressedMatrix& m, uint64_t outer,
                                          const uint64_t* rows, uint64_t k);

// Gives outer indices rows[0..k) of m (distinct, any order) new storage cut
// from one value buffer and one index buffer: row rows[t] gets lens[t]
// entries, written by fill(t, V* values, int64_t* indices, len) (which may
// read the row's old spans); a row of length 0 gets vacant spans. Then the
// old spans are released and the new ones placed, and a cached nnz moves by
// the change in length. Returns false when the data blocks cannot be had;
// that, or an exception (bookkeeping memory, or thrown by fill), leaves m
// exactly as it was.
template <typename V, typename Fill>
bool replace_rows(CompressedMatrix& m, const uint64_t* rows, const uint64_t* lens, uint64_t k,
                  const Fill& fill) {
    if (k == 0) return true;
    Temp<Span> nv = temp_array<Span>(k), nx = temp_array<Span>(k);
    auto err = place_span_pair(lens, k, sizeof(V), vacant_span(sizeof(V)), vacant_span(8), nv.get(),
                               nx.get(), [&](uint64_t t, void* vals, int64_t* idx, uint64_t len) {
                                   fill(t, static_cast<V*>(vals), idx, len);
                               });
    if (err && *err != SpanBatchError::NoSegments) return false;
    if (err) {  // every new length is 0
        for (uint64_t t = 0; t < k; ++t) {
            nv[t] = vacant_span(sizeof(V));
            nx[t] = vacant_span(8);
        }
    }
    // Old references are dropped once per run of rows over the same buffer
    // (the common layout), not with an atomic operation per span.
    struct Run {
        void* owner = nullptr;
        int64_t refs = 0;
        void drop(void* o) {
            if (o != owner) {
                drop_refs(owner, refs);
                owner = o;
                refs = 0;
            }
            ++refs;
        }
    } vrun, xrun;
    uint64_t old_total = 0, new_total = 0;
    for (uint64_t t = 0; t < k; ++t) {
        if (t + 16 < k) {  // rows far apart: fetch their spans ahead
            __builtin_prefetch(&m.values.ptr[rows[t + 16]]);
            __builtin_prefetch(&m.indices.ptr[rows[t + 16]]);
        }
        uint64_t i = rows[t];
        old_total += m.indices.ptr[i].len;
        new_total += lens[t];
        vrun.drop(m.values.ptr[i].owner);
        xrun.drop(m.indices.ptr[i].owner);
        m.values.ptr[i] = nv[t];
        m.indices.ptr[i] = nx[t];
    }
    drop_refs(vrun.owner, vrun.refs);
    drop_refs(xrun.owner, xrun.refs);
    if (has_cached_nnz(m)) m.nnz = m.nnz - old_total + new_total;
    return true;
}

}  // namespace korvex
