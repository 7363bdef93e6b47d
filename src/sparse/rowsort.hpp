// Sorting the entries of one row (or column) by index, values moving with
// their indices. Shared by in-place sorting, coordinate import, conversion
// and transposition.
#pragma once

#include <algorithm>
#include <cstdint>
#include <new>
#include <utility>
#include <vector>

namespace korvex {

// Strictly increasing (signed)? Rows of 0 or 1 entries are sorted; a repeated
// index is not.
inline bool is_sorted_run(const int64_t* idx, uint64_t n) {
    for (uint64_t k = 1; k < n; ++k)
        if (!(idx[k - 1] < idx[k])) return false;
    return true;
}

// Heapsort of a row in place, values moving with their indices: no memory
// needed.
template <typename V>
void heap_sort_row(V* val, int64_t* idx, uint64_t n) {
    auto swap_at = [&](uint64_t a, uint64_t b) {
        std::swap(idx[a], idx[b]);
        std::swap(val[a], val[b]);
    };
    auto sift_down = [&](uint64_t root, uint64_t end) {
        for (uint64_t child; (child = 2 * root + 1) < end; root = child) {
            if (child + 1 < end && idx[child] < idx[child + 1]) ++child;
            if (!(idx[root] < idx[child])) return;
            swap_at(root, child);
        }
    };
    for (uint64_t i = n / 2; i-- > 0;) sift_down(i, n);
    for (uint64_t e = n; e-- > 1;) {
        swap_at(0, e);
        sift_down(0, e);
    }
}

// Insertion sort of a row by key, values moving with their keys: linear in
// its length plus its inversions (short rows, and rows left nearly sorted).
template <typename K, typename V>
void insertion_sort_row(K* key, V* val, uint64_t n) {
    for (uint64_t i = 1; i < n; ++i) {
        const K k = key[i];
        if (key[i - 1] <= k) continue;
        const V v = val[i];
        uint64_t j = i;
        for (; j > 0 && key[j - 1] > k; --j) {
            key[j] = key[j - 1];
            val[j] = val[j - 1];
        }
        key[j] = k;
        val[j] = v;
    }
}

// Sorts one row ascending by signed index; the order among equal indices is
// unspecified. Rows of up to 20 entries use insertion sort; a strictly
// descending row is reversed in one pass; longer rows are sorted as (index,
// value) pairs in a per-thread scratch buffer with an introspective sort
// (quicksort with a heapsort fallback), so no row allocates once the
// scratch has grown; when it cannot grow, the row is heapsorted in place.
// Never fails. Returns false (touching nothing) when already sorted.
template <typename V>
bool sort_row(V* val, int64_t* idx, uint64_t n) {
    if (is_sorted_run(idx, n)) return false;
    if (n <= 20) {
        insertion_sort_row(idx, val, n);
        return true;
    }
    bool descending = true;
    for (uint64_t k = 1; k < n; ++k)
        if (!(idx[k - 1] > idx[k])) {
            descending = false;
            break;
        }
    if (descending) {
        std::reverse(idx, idx + n);
        std::reverse(val, val + n);
        return true;
    }
    struct Pair {
        int64_t key;
        V value;
    };
    thread_local std::vector<Pair> scratch;
    if (scratch.size() < n) {
        try {
            scratch.resize(n);
        } catch (const std::bad_alloc&) {
            heap_sort_row(val, idx, n);
            return true;
        }
    }
    Pair* p = scratch.data();
    for (uint64_t k = 0; k < n; ++k) p[k] = Pair{idx[k], val[k]};
    std::sort(p, p + n, [](const Pair& a, const Pair& b) { return a.key < b.key; });
    for (uint64_t k = 0; k < n; ++k) {
        idx[k] = p[k].key;
        val[k] = p[k].value;
    }
    if (n > (uint64_t{1} << 20)) std::vector<Pair>().swap(scratch);  // don't hoard
    return true;
}

// A row in canonical form: (tv, tx) get sorted copies of its len entries,
// then each index once, at the front, holding the sum of its copies (a zero
// sum is kept). Returns how many; tv and tx hold len elements.
template <typename V>
uint64_t summed_row(const V* v, const int64_t* x, uint64_t len, V* tv, int64_t* tx) {
    std::copy(v, v + len, tv);
    std::copy(x, x + len, tx);
    sort_row(tv, tx, len);
    uint64_t w = 0;
    for (uint64_t q = 0; q < len; ++q) {
        if (w > 0 && tx[q] == tx[w - 1]) {
            tv[w - 1] += tv[q];
        } else {
            tv[w] = tv[q];
            tx[w++] = tx[q];
        }
    }
    return w;
}

}  // namespace korvex
