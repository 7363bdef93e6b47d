#include "sparse/stats.hpp"

#include "span/parallel.hpp"

namespace korvex {

uint64_t count_entries(const CompressedMatrix& m) {
    const Span* v = m.values.ptr;
    return par::sum(m.values.len, [v](uint64_t i) { return v[i].len; });
}

uint64_t obtain_nnz(CompressedMatrix& m) {
    if (has_cached_nnz(m)) return m.nnz;
    uint64_t n = count_entries(m);
    cache_nnz(m, n);
    return n;
}

double sparsity(CompressedMatrix& m) {
    if (m.rows == 0 || m.cols == 0) return 1.0;
    double count = static_cast<double>(obtain_nnz(m));
    double cells = static_cast<double>(m.cols) * static_cast<double>(m.rows);
    return 1.0 - count / cells;
}

double density(CompressedMatrix& m) {
    if (m.rows == 0 || m.cols == 0) return 0.0;
    return 1.0 - sparsity(m);
}

}  // namespace korvex
