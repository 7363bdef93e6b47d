// korvex benchmark harness: the library through its C ABI, next to Eigen,
// SuiteSparse:GraphBLAS and the memory-bandwidth floor (a plain copy of the
// same bytes), on matrices generated deterministically from a seed.
//
//   korvex_bench gen --kind uniform|rmat --scale S --edges K --seed N --out PREFIX
//       [--rows R]  (uniform only: R x R instead of 2^S x 2^S)
//       writes PREFIX.{meta,indptr,indices,data,coo_row,coo_col,coo_val,row_mask,col_mask}
//   korvex_bench run --data PREFIX --workload NAME [--threads 1,2] [--reps 7]
//       [--min-reps 3] [--budget 2.0] [--warmup 1] [--libs korvex,eigen,graphblas,floor]
//       [--ops op1,op2,...] --out FILE
//       appends one JSON object per (operation, library, thread count) to FILE
//
// Every time is the median of repeated runs of the operation alone: inputs are
// prepared and results released outside the timed region. By default one
// untimed run precedes each series.
#include <korvex.h>

#include <Eigen/SparseCore>
#include <oneapi/tbb/blocked_range.h>
#include <oneapi/tbb/global_control.h>
#include <oneapi/tbb/parallel_for.h>

#ifdef KORVEX_BENCH_GRAPHBLAS
extern "C" {
#include <GraphBLAS.h>
}
#endif

#include <sys/mman.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <numeric>
#include <string>
#include <vector>

namespace {

[[noreturn]] void die(const std::string& msg) {
    std::fprintf(stderr, "korvex_bench: %s\n", msg.c_str());
    std::exit(1);
}

#define KX(call)                                                                   \
    do {                                                                           \
        int32_t st_ = (call);                                                      \
        if (st_ != KORVEX_OK) die(std::string(#call) + " -> " + std::to_string(st_)); \
    } while (0)

// ---------------------------------------------------------------- random

uint64_t splitmix64(uint64_t& s) {
    uint64_t z = (s += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

// xoshiro256**
struct Rng {
    uint64_t s[4];
    explicit Rng(uint64_t seed) {
        for (auto& w : s) w = splitmix64(seed);
    }
    static uint64_t rotl(uint64_t x, int k) { return (x << k) | (x >> (64 - k)); }
    uint64_t next() {
        uint64_t r = rotl(s[1] * 5, 7) * 9, t = s[1] << 17;
        s[2] ^= s[0];
        s[3] ^= s[1];
        s[1] ^= s[2];
        s[0] ^= s[3];
        s[2] ^= t;
        s[3] = rotl(s[3], 45);
        return r;
    }
    double uniform() { return double(next() >> 11) * 0x1.0p-53; }
    uint64_t below(uint64_t n) { return uint64_t((unsigned __int128)next() * n >> 64); }
};

// ---------------------------------------------------------------- files

template <typename T>
void write_vec(const std::string& path, const std::vector<T>& v) {
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f || std::fwrite(v.data(), sizeof(T), v.size(), f) != v.size()) die("cannot write " + path);
    std::fclose(f);
}

template <typename T>
std::vector<T> read_vec(const std::string& path, uint64_t n) {
    std::vector<T> v(n);
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f || std::fread(v.data(), sizeof(T), n, f) != n) die("cannot read " + path);
    std::fclose(f);
    return v;
}

// ---------------------------------------------------------------- workloads

struct Workload {
    uint64_t rows = 0, cols = 0, nnz = 0;
    std::vector<uint64_t> indptr;
    std::vector<int64_t> indices;
    std::vector<double> data;
    std::vector<int64_t> coo_row, coo_col;  // the entries in shuffled order
    std::vector<double> coo_val;
    std::vector<uint8_t> row_mask, col_mask;  // about half set
};

// Canonical CSR (rows sorted, duplicates summed) from generated edges, then the
// shuffled coordinate copy and the masks.
Workload build_workload(uint64_t n, std::vector<uint64_t>& er, std::vector<uint64_t>& ec,
                        std::vector<double>& ev, Rng& rng) {
    Workload w;
    w.rows = w.cols = n;
    uint64_t k = er.size();
    std::vector<uint64_t> start(n + 1, 0);
    for (uint64_t e = 0; e < k; ++e) ++start[er[e] + 1];
    for (uint64_t i = 0; i < n; ++i) start[i + 1] += start[i];
    std::vector<std::pair<int64_t, double>> ent(k);
    {
        std::vector<uint64_t> pos(start.begin(), start.end() - 1);
        for (uint64_t e = 0; e < k; ++e) ent[pos[er[e]]++] = {int64_t(ec[e]), ev[e]};
    }
    w.indptr.assign(n + 1, 0);
    w.indices.reserve(k);
    w.data.reserve(k);
    for (uint64_t i = 0; i < n; ++i) {
        auto b = ent.begin() + start[i], e = ent.begin() + start[i + 1];
        std::sort(b, e, [](auto& x, auto& y) { return x.first < y.first; });
        for (auto it = b; it != e; ++it) {
            if (w.indices.size() > w.indptr[i] && w.indices.back() == it->first)
                w.data.back() += it->second;
            else {
                w.indices.push_back(it->first);
                w.data.push_back(it->second);
            }
        }
        w.indptr[i + 1] = w.indices.size();
    }
    w.nnz = w.indices.size();

    std::vector<uint64_t> perm(w.nnz);
    std::iota(perm.begin(), perm.end(), 0);
    for (uint64_t i = w.nnz; i > 1; --i) std::swap(perm[i - 1], perm[rng.below(i)]);
    std::vector<int64_t> row_of(w.nnz);
    for (uint64_t i = 0; i < n; ++i)
        for (uint64_t p = w.indptr[i]; p < w.indptr[i + 1]; ++p) row_of[p] = int64_t(i);
    w.coo_row.resize(w.nnz);
    w.coo_col.resize(w.nnz);
    w.coo_val.resize(w.nnz);
    for (uint64_t q = 0; q < w.nnz; ++q) {
        w.coo_row[q] = row_of[perm[q]];
        w.coo_col[q] = w.indices[perm[q]];
        w.coo_val[q] = w.data[perm[q]];
    }
    w.row_mask.resize(n);
    w.col_mask.resize(n);
    for (auto& b : w.row_mask) b = uint8_t(rng.next() >> 63);
    for (auto& b : w.col_mask) b = uint8_t(rng.next() >> 63);
    return w;
}

int cmd_gen(const std::string& kind, int scale, uint64_t rows, uint64_t edges, uint64_t seed,
            const std::string& out) {
    uint64_t n = rows ? rows : uint64_t{1} << scale;
    Rng rng(seed);
    std::vector<uint64_t> er(edges), ec(edges);
    std::vector<double> ev(edges);
    if (kind == "uniform") {
        for (uint64_t e = 0; e < edges; ++e) {
            er[e] = rng.below(n);
            ec[e] = rng.below(n);
        }
    } else if (kind == "rmat") {
        if (rows) die("rmat takes --scale, not --rows");
        // Graph500 parameters; vertex labels permuted at random so that the
        // heavy rows and columns are scattered over the matrix.
        const double a = 0.57, b = 0.19, c = 0.19;
        std::vector<uint64_t> label(n);
        std::iota(label.begin(), label.end(), 0);
        for (uint64_t i = n; i > 1; --i) std::swap(label[i - 1], label[rng.below(i)]);
        for (uint64_t e = 0; e < edges; ++e) {
            uint64_t r = 0, col = 0;
            for (int l = scale - 1; l >= 0; --l) {
                double u = rng.uniform();
                if (u < a) {
                } else if (u < a + b) {
                    col |= uint64_t{1} << l;
                } else if (u < a + b + c) {
                    r |= uint64_t{1} << l;
                } else {
                    r |= uint64_t{1} << l;
                    col |= uint64_t{1} << l;
                }
            }
            er[e] = label[r];
            ec[e] = label[col];
        }
    } else {
        die("unknown kind " + kind);
    }
    for (auto& v : ev) v = 1.0 - rng.uniform();  // (0, 1]
    Workload w = build_workload(n, er, ec, ev, rng);

    FILE* f = std::fopen((out + ".meta").c_str(), "w");
    if (!f) die("cannot write " + out + ".meta");
    std::fprintf(f, "%llu %llu %llu %llu %s %llu\n", (unsigned long long)w.rows,
                 (unsigned long long)w.cols, (unsigned long long)w.nnz,
                 (unsigned long long)edges, kind.c_str(), (unsigned long long)seed);
    std::fclose(f);
    write_vec(out + ".indptr", w.indptr);
    write_vec(out + ".indices", w.indices);
    write_vec(out + ".data", w.data);
    write_vec(out + ".coo_row", w.coo_row);
    write_vec(out + ".coo_col", w.coo_col);
    write_vec(out + ".coo_val", w.coo_val);
    write_vec(out + ".row_mask", w.row_mask);
    write_vec(out + ".col_mask", w.col_mask);
    uint64_t maxrow = 0;
    for (uint64_t i = 0; i < n; ++i) maxrow = std::max(maxrow, w.indptr[i + 1] - w.indptr[i]);
    std::printf("%s: %llu x %llu, %llu edges -> %llu entries (duplicates summed), longest row %llu\n",
                kind.c_str(), (unsigned long long)w.rows, (unsigned long long)w.cols,
                (unsigned long long)edges, (unsigned long long)w.nnz,
                (unsigned long long)maxrow);
    return 0;
}

Workload load_workload(const std::string& prefix) {
    Workload w;
    FILE* f = std::fopen((prefix + ".meta").c_str(), "r");
    unsigned long long r, c, z;
    if (!f || std::fscanf(f, "%llu %llu %llu", &r, &c, &z) != 3) die("cannot read " + prefix + ".meta");
    std::fclose(f);
    w.rows = r, w.cols = c, w.nnz = z;
    w.indptr = read_vec<uint64_t>(prefix + ".indptr", r + 1);
    w.indices = read_vec<int64_t>(prefix + ".indices", z);
    w.data = read_vec<double>(prefix + ".data", z);
    w.coo_row = read_vec<int64_t>(prefix + ".coo_row", z);
    w.coo_col = read_vec<int64_t>(prefix + ".coo_col", z);
    w.coo_val = read_vec<double>(prefix + ".coo_val", z);
    w.row_mask = read_vec<uint8_t>(prefix + ".row_mask", r);
    w.col_mask = read_vec<uint8_t>(prefix + ".col_mask", c);
    return w;
}

// ---------------------------------------------------------------- timing

using Clock = std::chrono::steady_clock;
double seconds_since(Clock::time_point t0) {
    return std::chrono::duration<double>(Clock::now() - t0).count();
}

struct Options {
    int reps = 7, min_reps = 3;
    int warmup = 1;       // untimed rounds before the timed ones
    double budget = 2.0;  // seconds per series, after min_reps
};

struct Stat {
    double median = 0, min = 0;
    int runs = 0;
};

// setup() prepares, op() is timed, teardown() releases. The first `warmup`
// rounds are dropped (first calls can pay for huge-page compaction, pool start
// and the like); then rounds go on until min_reps samples are in and the budget
// is spent, or reps samples are in.
Stat measure(const Options& o, const std::function<void()>& setup, const std::function<void()>& op,
             const std::function<void()>& teardown) {
    std::vector<double> t;
    auto start = Clock::now();
    for (int round = 0; int(t.size()) < o.reps; ++round) {
        setup();
        auto t0 = Clock::now();
        op();
        double s = seconds_since(t0);
        teardown();
        if (round >= o.warmup) t.push_back(s);
        if (int(t.size()) >= o.min_reps && seconds_since(start) > o.budget) break;
    }
    std::sort(t.begin(), t.end());
    Stat s;
    s.runs = int(t.size());
    s.min = t.front();
    s.median = t.size() % 2 ? t[t.size() / 2] : 0.5 * (t[t.size() / 2 - 1] + t[t.size() / 2]);
    return s;
}

struct Reporter {
    FILE* out;
    std::string workload;
    const Workload* w;
    int threads;
    std::vector<std::string> only;  // operations to run; empty: all
    bool want(const char* op) const {
        return only.empty() || std::find(only.begin(), only.end(), op) != only.end();
    }
    void emit(const char* op, const char* lib, const Stat& s, const char* note = "") {
        std::fprintf(out,
                     "{\"workload\":\"%s\",\"threads\":%d,\"op\":\"%s\",\"lib\":\"%s\","
                     "\"median\":%.9g,\"min\":%.9g,\"runs\":%d,\"rows\":%llu,\"nnz\":%llu,"
                     "\"note\":\"%s\"}\n",
                     workload.c_str(), threads, op, lib, s.median, s.min, s.runs,
                     (unsigned long long)w->rows, (unsigned long long)w->nnz, note);
        std::fflush(out);
        std::fprintf(stderr, "  %-12s %-10s T=%d %10.3f ms (%d runs)\n", op, lib, threads,
                     s.median * 1e3, s.runs);
    }
};

// The halves every slicing and stacking operation uses.
struct Halves {
    uint64_t r0, r1, c0, c1;  // rows [r0, r1), columns [c0, c1)
    explicit Halves(const Workload& w)
        : r0(w.rows / 4), r1(w.rows / 4 + w.rows / 2), c0(w.cols / 4), c1(w.cols / 4 + w.cols / 2) {}
};

// The same matrix with every 7th row (0, 7, 14, ...) in reversed order.
void reversed_rows(const Workload& w, std::vector<int64_t>& idx, std::vector<double>& val) {
    idx = w.indices;
    val = w.data;
    for (uint64_t i = 0; i < w.rows; i += 7) {
        std::reverse(idx.begin() + w.indptr[i], idx.begin() + w.indptr[i + 1]);
        std::reverse(val.begin() + w.indptr[i], val.begin() + w.indptr[i + 1]);
    }
}

// ---------------------------------------------------------------- floor

// 2 MiB-aligned anonymous mapping with transparent huge pages advised: the
// best a fresh destination can do.
void* map_huge(size_t bytes) {
    const size_t huge = size_t{2} << 20;
    size_t len = (bytes + huge - 1) / huge * huge;
    void* raw = ::mmap(nullptr, len + huge, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (raw == MAP_FAILED) die("mmap failed");
    auto base = reinterpret_cast<uintptr_t>(raw);
    uintptr_t aligned = (base + huge - 1) / huge * huge;
    if (aligned > base) ::munmap(raw, aligned - base);
    if (base + len + huge > aligned + len)
        ::munmap(reinterpret_cast<void*>(aligned + len), base + len + huge - (aligned + len));
    ::madvise(reinterpret_cast<void*>(aligned), len, MADV_HUGEPAGE);
    return reinterpret_cast<void*>(aligned);
}
void unmap_huge(void* p, size_t bytes) {
    const size_t huge = size_t{2} << 20;
    ::munmap(p, (bytes + huge - 1) / huge * huge);
}

// The bandwidth floor: copy the values and the indices of `entries` entries
// (the whole matrix, or half of it for the half slices) with the current
// thread count, into fresh malloc'ed memory (4 KiB pages, first touch in the
// copy), into a fresh huge-page mapping, and into already touched memory.
void bench_floor(const Workload& w, const Options& o, Reporter& rep) {
    auto pcopy = [](void* dst, const void* src, size_t bytes) {
        const size_t chunk = size_t{1} << 20;
        oneapi::tbb::parallel_for(oneapi::tbb::blocked_range<size_t>(0, (bytes + chunk - 1) / chunk),
                                  [&](const oneapi::tbb::blocked_range<size_t>& r) {
                                      size_t b = r.begin() * chunk;
                                      size_t e = std::min(bytes, r.end() * chunk);
                                      std::memcpy(static_cast<char*>(dst) + b,
                                                  static_cast<const char*>(src) + b, e - b);
                                  });
    };
    for (int half = 0; half < 2; ++half) {
        uint64_t n = half ? w.nnz / 2 : w.nnz;
        size_t bytes = n * 8;
        const char* what = half ? "half" : "full";
        void *d1 = nullptr, *d2 = nullptr;
        Options few = o;  // 4 KiB first touches are slow: no more runs than needed
        few.reps = std::min(o.reps, o.min_reps);
        rep.emit(what, "floor_fresh", measure(few, [] {}, [&] {
                     d1 = std::malloc(bytes);
                     d2 = std::malloc(bytes);
                     if (!d1 || !d2) die("out of memory");
                     pcopy(d1, w.data.data(), bytes);
                     pcopy(d2, w.indices.data(), bytes);
                 }, [&] {
                     std::free(d1);
                     std::free(d2);
                 }));
        rep.emit(what, "floor_huge", measure(o, [] {}, [&] {
                     d1 = map_huge(bytes);
                     d2 = map_huge(bytes);
                     pcopy(d1, w.data.data(), bytes);
                     pcopy(d2, w.indices.data(), bytes);
                 }, [&] {
                     unmap_huge(d1, bytes);
                     unmap_huge(d2, bytes);
                 }));
        std::vector<char> b1(bytes, 1), b2(bytes, 1);
        rep.emit(what, "floor_warm", measure(o, [] {}, [&] {
                     pcopy(b1.data(), w.data.data(), bytes);
                     pcopy(b2.data(), w.indices.data(), bytes);
                 }, [] {}));
    }
}

// ---------------------------------------------------------------- korvex

void bench_korvex(const Workload& w, const Options& o, Reporter& rep) {
    const uint64_t r = w.rows, c = w.cols, z = w.nnz;
    const Halves h(w);
    CompressedMatrix* base = nullptr;
    KX(csr_f64_from_scipy_copy(r, c, w.data.data(), z, w.indices.data(), z, w.indptr.data(), r + 1,
                               &base));
    CompressedMatrix* out = nullptr;
    auto release = [&] {
        csr_f64_free(out);
        out = nullptr;
    };
    auto nothing = [] {};

    if (rep.want("copy_import")) rep.emit("copy_import", "korvex", measure(o, nothing, [&] {
                 KX(csr_f64_from_scipy_copy(r, c, w.data.data(), z, w.indices.data(), z,
                                            w.indptr.data(), r + 1, &out));
             }, release));
    if (rep.want("view_import")) rep.emit("view_import", "korvex", measure(o, nothing, [&] {
                 out = csr_f64_from_scipy_view(r, c, w.data.data(), w.indices.data(), w.indptr.data());
             }, release));
    if (rep.want("clone")) rep.emit("clone", "korvex", measure(o, nothing, [&] { out = csr_f64_clone(base); }, release));
    if (rep.want("validate")) rep.emit("validate", "korvex", measure(o, nothing, [&] {
                 if (!csr_f64_validate(base)) die("validate said no");
             }, nothing));
    {
        std::vector<int64_t> ridx;
        std::vector<double> rval;
        reversed_rows(w, ridx, rval);
        if (rep.want("sort")) rep.emit("sort", "korvex", measure(o, [&] {
                     KX(csr_f64_from_scipy_copy(r, c, rval.data(), z, ridx.data(), z, w.indptr.data(),
                                                r + 1, &out));
                 }, [&] {
                     if (!csr_f64_ensure_sorted_checked(out)) die("nothing sorted");
                 }, release));
    }
    if (rep.want("nnz")) rep.emit("nnz", "korvex", measure(o, [&] { csr_f64_invalidate_nnz(base); }, [&] {
                 if (csr_f64_nnz(base) != z) die("nnz mismatch");
             }, nothing));
    if (rep.want("csr_to_csc")) rep.emit("csr_to_csc", "korvex", measure(o, nothing, [&] { KX(csc_f64_from_csr(base, &out)); },
                                             [&] {
                                                 csc_f64_free(out);
                                                 out = nullptr;
                                             }));
    if (rep.want("coo_import")) rep.emit("coo_import", "korvex", measure(o, nothing, [&] {
                 KX(csr_f64_from_coo(r, c, w.coo_row.data(), w.coo_col.data(), w.coo_val.data(), z, &out));
             }, release));
    {
        std::vector<int64_t> ro(z, 1), co(z, 1);
        std::vector<double> vo(z, 1);
        if (rep.want("coo_export")) rep.emit("coo_export", "korvex", measure(o, nothing, [&] {
                     KX(csr_f64_to_coo(base, ro.data(), co.data(), vo.data(), z));
                 }, nothing));
    }
    if (rep.want("transpose")) rep.emit("transpose", "korvex",
             measure(o, nothing, [&] { KX(csc_f64_transpose_from_csr(base, &out)); }, [&] {
                 csc_f64_free(out);
                 out = nullptr;
             }));
    if (rep.want("outer_slice")) rep.emit("outer_slice", "korvex", measure(o, nothing, [&] {
                 KX(csr_f64_slice_rows(base, h.r0, h.r1, &out));
             }, release));
    if (rep.want("outer_mask")) rep.emit("outer_mask", "korvex", measure(o, nothing, [&] {
                 KX(csr_f64_slice_rows_mask(base, w.row_mask.data(), r, &out));
             }, release));
    if (rep.want("inner_slice")) rep.emit("inner_slice", "korvex", measure(o, nothing, [&] {
                 KX(csr_f64_slice_cols(base, h.c0, h.c1, &out));
             }, release));
    if (rep.want("inner_mask")) rep.emit("inner_mask", "korvex", measure(o, nothing, [&] {
                 KX(csr_f64_slice_cols_mask(base, w.col_mask.data(), c, &out));
             }, release));
    {
        CompressedMatrix* parts[2] = {nullptr, nullptr};
        KX(csr_f64_slice_rows(base, 0, r / 2, &parts[0]));
        KX(csr_f64_slice_rows(base, r / 2, r, &parts[1]));
        if (rep.want("vstack")) rep.emit("vstack", "korvex", measure(o, nothing, [&] { KX(csr_f64_vstack(parts, 2, &out)); },
                                             release));
        csr_f64_free(parts[0]);
        csr_f64_free(parts[1]);
        KX(csr_f64_slice_cols(base, 0, c / 2, &parts[0]));
        KX(csr_f64_slice_cols(base, c / 2, c, &parts[1]));
        if (rep.want("hstack")) rep.emit("hstack", "korvex", measure(o, nothing, [&] { KX(csr_f64_hstack(parts, 2, &out)); },
                                             release));
        csr_f64_free(parts[0]);
        csr_f64_free(parts[1]);
    }
    csr_f64_free(base);
}

// ---------------------------------------------------------------- Eigen

using EigenCsr = Eigen::SparseMatrix<double, Eigen::RowMajor, int64_t>;
using EigenCsc = Eigen::SparseMatrix<double, Eigen::ColMajor, int64_t>;

// Eigen's sparse kernels run on the calling thread whatever the thread count.
// Every result is a new object, so that no run reuses the storage of the last.
void bench_eigen(const Workload& w, const Options& o, Reporter& rep) {
    const int64_t r = int64_t(w.rows), c = int64_t(w.cols), z = int64_t(w.nnz);
    const Halves h(w);
    auto* outer = reinterpret_cast<const int64_t*>(w.indptr.data());
    Eigen::Map<const EigenCsr> view(r, c, z, outer, w.indices.data(), w.data.data());
    const EigenCsr base = view;
    auto nothing = [] {};
    std::unique_ptr<EigenCsr> m;
    std::unique_ptr<EigenCsc> t;
    auto clear = [&] {
        m.reset();
        t.reset();
    };
    if (rep.want("copy_import")) rep.emit("copy_import", "eigen", measure(o, nothing, [&] { m = std::make_unique<EigenCsr>(view); }, clear),
             "SparseMatrix from a Map");
    {
        // The closest thing to a view: a Map over the caller's arrays.
        volatile int64_t sink = 0;
        if (rep.want("view_import")) rep.emit("view_import", "eigen", measure(o, nothing, [&] {
                     Eigen::Map<const EigenCsr> v(r, c, z, outer, w.indices.data(), w.data.data());
                     sink = sink + v.nonZeros();
                 }, nothing), "Map");
    }
    if (rep.want("clone")) rep.emit("clone", "eigen", measure(o, nothing, [&] { m = std::make_unique<EigenCsr>(base); }, clear),
             "copy constructor (deep)");
    if (rep.want("csr_to_csc")) rep.emit("csr_to_csc", "eigen", measure(o, nothing, [&] { t = std::make_unique<EigenCsc>(base); }, clear),
             "storage-order conversion");
    if (rep.want("transpose")) rep.emit("transpose", "eigen",
             measure(o, nothing, [&] { t = std::make_unique<EigenCsc>(base.transpose()); }, clear),
             "column-major result of transpose()");
    {
        std::vector<Eigen::Triplet<double, int64_t>> trip;
        trip.reserve(w.nnz);
        for (uint64_t q = 0; q < w.nnz; ++q) trip.emplace_back(w.coo_row[q], w.coo_col[q], w.coo_val[q]);
        if (rep.want("coo_import")) rep.emit("coo_import", "eigen", measure(o, nothing, [&] {
                     m = std::make_unique<EigenCsr>(r, c);
                     m->setFromTriplets(trip.begin(), trip.end());
                 }, clear), "setFromTriplets (array of triplets)");
    }
    if (rep.want("outer_slice")) rep.emit("outer_slice", "eigen", measure(o, nothing, [&] {
                 m = std::make_unique<EigenCsr>(base.middleRows(int64_t(h.r0), int64_t(h.r1 - h.r0)));
             }, clear), "middleRows");
    if (rep.want("inner_slice")) rep.emit("inner_slice", "eigen", measure(o, nothing, [&] {
                 m = std::make_unique<EigenCsr>(base.middleCols(int64_t(h.c0), int64_t(h.c1 - h.c0)));
             }, clear), "middleCols");
}

// ---------------------------------------------------------------- GraphBLAS

#ifdef KORVEX_BENCH_GRAPHBLAS

#define GRB_CHECK(call)                                                                    \
    do {                                                                            \
        GrB_Info i_ = (call);                                                       \
        if (i_ != GrB_SUCCESS) die(std::string(#call) + " -> " + std::to_string(int(i_))); \
    } while (0)

template <typename T>
T* malloc_copy(const T* src, uint64_t n) {
    T* p = static_cast<T*>(std::malloc(std::max<uint64_t>(n, 1) * sizeof(T)));
    if (!p) die("out of memory");
    std::memcpy(p, src, n * sizeof(T));
    return p;
}

void bench_graphblas(const Workload& w, const Options& o, Reporter& rep) {
    const GrB_Index r = w.rows, c = w.cols, z = w.nnz;
    const Halves h(w);
    auto* ip = reinterpret_cast<const GrB_Index*>(w.indptr.data());
    auto* ix = reinterpret_cast<const GrB_Index*>(w.indices.data());
    GrB_Matrix base = nullptr, out = nullptr;
    GRB_CHECK(GrB_Matrix_import_FP64(&base, GrB_FP64, r, c, ip, ix, w.data.data(), r + 1, z, z,
                              GrB_CSR_FORMAT));
    GRB_CHECK(GrB_Matrix_wait(base, GrB_MATERIALIZE));
    auto release = [&] {
        if (out) GrB_Matrix_free(&out);
        out = nullptr;
    };
    auto nothing = [] {};
    auto make = [&](GrB_Index nr, GrB_Index nc) { GRB_CHECK(GrB_Matrix_new(&out, GrB_FP64, nr, nc)); };

    if (rep.want("copy_import")) rep.emit("copy_import", "graphblas", measure(o, nothing, [&] {
                 GRB_CHECK(GrB_Matrix_import_FP64(&out, GrB_FP64, r, c, ip, ix, w.data.data(), r + 1, z, z,
                                           GrB_CSR_FORMAT));
                 GRB_CHECK(GrB_Matrix_wait(out, GrB_MATERIALIZE));
             }, release), "GrB_Matrix_import (copies)");
    {
        // Zero-copy: pack malloc'ed arrays into a matrix, unpack them afterwards.
        GrB_Index* p = malloc_copy(ip, r + 1);
        GrB_Index* j = malloc_copy(ix, z);
        double* x = malloc_copy(w.data.data(), z);
        GrB_Index ps = (r + 1) * 8, js = z * 8, xs = z * 8;
        if (rep.want("view_import")) rep.emit("view_import", "graphblas", measure(o, [&] { make(r, c); }, [&] {
                     GRB_CHECK(GxB_Matrix_pack_CSR(out, &p, &j, reinterpret_cast<void**>(&x), ps, js, xs,
                                            false, false, nullptr));
                 }, [&] {
                     bool iso, jumbled;
                     GRB_CHECK(GxB_Matrix_unpack_CSR(out, &p, &j, reinterpret_cast<void**>(&x), &ps, &js, &xs,
                                              &iso, &jumbled, nullptr));
                     release();
                 }), "GxB_Matrix_pack_CSR (moves)");
        std::free(p);
        std::free(j);
        std::free(x);
    }
    if (rep.want("clone")) rep.emit("clone", "graphblas", measure(o, nothing, [&] { GRB_CHECK(GrB_Matrix_dup(&out, base)); }, release),
             "GrB_Matrix_dup (deep)");
    if (rep.want("validate")) rep.emit("validate", "graphblas", measure(o, nothing, [&] {
                 GRB_CHECK(GxB_Matrix_fprint(base, "A", GxB_SILENT, nullptr));
             }, nothing), "GxB_Matrix_fprint (silent check)");
    {
        std::vector<int64_t> ridx;
        std::vector<double> rval;
        reversed_rows(w, ridx, rval);
        if (rep.want("sort")) rep.emit("sort", "graphblas", measure(o, [&] {
                     make(r, c);
                     GrB_Index* p = malloc_copy(ip, r + 1);
                     GrB_Index* j = malloc_copy(reinterpret_cast<const GrB_Index*>(ridx.data()), z);
                     double* x = malloc_copy(rval.data(), z);
                     GRB_CHECK(GxB_Matrix_pack_CSR(out, &p, &j, reinterpret_cast<void**>(&x), (r + 1) * 8, z * 8,
                                            z * 8, false, true, nullptr));
                 }, [&] { GRB_CHECK(GrB_Matrix_wait(out, GrB_MATERIALIZE)); }, release),
                 "wait on a jumbled matrix");
    }
    if (rep.want("csr_to_csc")) rep.emit("csr_to_csc", "graphblas", measure(o, [&] { GRB_CHECK(GrB_Matrix_dup(&out, base)); }, [&] {
                 GRB_CHECK(GxB_Matrix_Option_set(out, GxB_FORMAT, GxB_BY_COL));
                 GRB_CHECK(GrB_Matrix_wait(out, GrB_MATERIALIZE));
             }, release), "format set to by-column");
    {
        std::vector<GrB_Index> ri(z), ci(z);
        for (uint64_t q = 0; q < z; ++q) {
            ri[q] = GrB_Index(w.coo_row[q]);
            ci[q] = GrB_Index(w.coo_col[q]);
        }
        if (rep.want("coo_import")) rep.emit("coo_import", "graphblas", measure(o, [&] { make(r, c); }, [&] {
                     GRB_CHECK(GrB_Matrix_build_FP64(out, ri.data(), ci.data(), w.coo_val.data(), z, GrB_PLUS_FP64));
                     GRB_CHECK(GrB_Matrix_wait(out, GrB_MATERIALIZE));
                 }, release), "GrB_Matrix_build");
        std::vector<double> vo(z, 1);
        if (rep.want("coo_export")) rep.emit("coo_export", "graphblas", measure(o, nothing, [&] {
                     GrB_Index n = z;
                     GRB_CHECK(GrB_Matrix_extractTuples_FP64(ri.data(), ci.data(), vo.data(), &n, base));
                 }, nothing), "GrB_Matrix_extractTuples");
    }
    if (rep.want("transpose")) rep.emit("transpose", "graphblas", measure(o, [&] {
                 make(c, r);
                 GRB_CHECK(GxB_Matrix_Option_set(out, GxB_FORMAT, GxB_BY_COL));
             }, [&] {
                 GRB_CHECK(GrB_transpose(out, nullptr, nullptr, base, nullptr));
                 GRB_CHECK(GrB_Matrix_wait(out, GrB_MATERIALIZE));
             }, release), "GrB_transpose into a by-column matrix");
    {
        GrB_Index rr[2] = {h.r0, h.r1 - 1}, cr[2] = {h.c0, h.c1 - 1};
        std::vector<GrB_Index> rl, cl;
        for (uint64_t i = 0; i < r; ++i)
            if (w.row_mask[i]) rl.push_back(i);
        for (uint64_t i = 0; i < c; ++i)
            if (w.col_mask[i]) cl.push_back(i);
        auto extract = [&](const char* op, GrB_Index nr, GrB_Index nc, const GrB_Index* I, GrB_Index ni,
                           const GrB_Index* J, GrB_Index nj) {
            if (!rep.want(op)) return;
            rep.emit(op, "graphblas", measure(o, [&] { make(nr, nc); }, [&] {
                         GRB_CHECK(GrB_Matrix_extract(out, nullptr, nullptr, base, I, ni, J, nj, nullptr));
                         GRB_CHECK(GrB_Matrix_wait(out, GrB_MATERIALIZE));
                     }, release), "GrB_Matrix_extract");
        };
        extract("outer_slice", h.r1 - h.r0, c, rr, GxB_RANGE, GrB_ALL, c);
        extract("outer_mask", rl.size(), c, rl.data(), rl.size(), GrB_ALL, c);
        extract("inner_slice", r, h.c1 - h.c0, GrB_ALL, r, cr, GxB_RANGE);
        extract("inner_mask", r, cl.size(), GrB_ALL, r, cl.data(), cl.size());
    }
    {
        GrB_Index top[2] = {0, r / 2 - 1}, bottom[2] = {r / 2, r - 1};
        GrB_Index left[2] = {0, c / 2 - 1}, right[2] = {c / 2, c - 1};
        GrB_Matrix tiles[2];
        auto part = [&](GrB_Matrix* m, GrB_Index nr, GrB_Index nc, const GrB_Index* I, GrB_Index ni,
                        const GrB_Index* J, GrB_Index nj) {
            GRB_CHECK(GrB_Matrix_new(m, GrB_FP64, nr, nc));
            GRB_CHECK(GrB_Matrix_extract(*m, nullptr, nullptr, base, I, ni, J, nj, nullptr));
            GRB_CHECK(GrB_Matrix_wait(*m, GrB_MATERIALIZE));
        };
        part(&tiles[0], r / 2, c, top, GxB_RANGE, GrB_ALL, c);
        part(&tiles[1], r - r / 2, c, bottom, GxB_RANGE, GrB_ALL, c);
        if (rep.want("vstack")) rep.emit("vstack", "graphblas", measure(o, [&] { make(r, c); }, [&] {
                     GRB_CHECK(GxB_Matrix_concat(out, tiles, 2, 1, nullptr));
                     GRB_CHECK(GrB_Matrix_wait(out, GrB_MATERIALIZE));
                 }, release), "GxB_Matrix_concat");
        GrB_Matrix_free(&tiles[0]);
        GrB_Matrix_free(&tiles[1]);
        part(&tiles[0], r, c / 2, GrB_ALL, r, left, GxB_RANGE);
        part(&tiles[1], r, c - c / 2, GrB_ALL, r, right, GxB_RANGE);
        if (rep.want("hstack")) rep.emit("hstack", "graphblas", measure(o, [&] { make(r, c); }, [&] {
                     GRB_CHECK(GxB_Matrix_concat(out, tiles, 1, 2, nullptr));
                     GRB_CHECK(GrB_Matrix_wait(out, GrB_MATERIALIZE));
                 }, release), "GxB_Matrix_concat");
        GrB_Matrix_free(&tiles[0]);
        GrB_Matrix_free(&tiles[1]);
    }
    GrB_Matrix_free(&base);
}
#endif

// ---------------------------------------------------------------- main

std::vector<std::string> split(const std::string& s, char sep) {
    std::vector<std::string> out;
    size_t b = 0;
    while (b <= s.size()) {
        size_t e = s.find(sep, b);
        if (e == std::string::npos) e = s.size();
        if (e > b) out.push_back(s.substr(b, e - b));
        b = e + 1;
    }
    return out;
}

int usage() {
    std::fprintf(stderr,
                 "usage: korvex_bench gen --kind uniform|rmat --scale S --edges K --seed N --out PREFIX [--rows R]\n"
                 "       korvex_bench run --data PREFIX --workload NAME --out FILE [--threads 1,2]\n"
                 "                        [--reps 7] [--min-reps 3] [--budget 2] [--warmup 1]\n"
                 "                        [--libs korvex,eigen,graphblas,floor] [--ops op,...]\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return usage();
    std::string cmd = argv[1];
    std::string kind = "uniform", out, data, workload = "workload", threads = "1,2",
                libs = "korvex,eigen,graphblas,floor", ops;
    int scale = 20;
    uint64_t edges = 5000000, seed = 1, rows = 0;
    Options o;
    for (int i = 2; i + 1 < argc; i += 2) {
        std::string k = argv[i], v = argv[i + 1];
        if (k == "--kind") kind = v;
        else if (k == "--scale") scale = std::stoi(v);
        else if (k == "--edges") edges = std::stoull(v);
        else if (k == "--rows") rows = std::stoull(v);
        else if (k == "--seed") seed = std::stoull(v);
        else if (k == "--out") out = v;
        else if (k == "--data") data = v;
        else if (k == "--workload") workload = v;
        else if (k == "--threads") threads = v;
        else if (k == "--libs") libs = v;
        else if (k == "--ops") ops = v;
        else if (k == "--reps") o.reps = std::stoi(v);
        else if (k == "--min-reps") o.min_reps = std::stoi(v);
        else if (k == "--budget") o.budget = std::stod(v);
        else if (k == "--warmup") o.warmup = std::stoi(v);
        else return usage();
    }
    if (out.empty()) return usage();
    if (cmd == "gen") {
        if (scale < 1 || scale > 40) die("scale out of range");
        return cmd_gen(kind, scale, rows, edges, seed, out);
    }
    if (cmd != "run" || data.empty()) return usage();

    Workload w = load_workload(data);
    FILE* f = std::fopen(out.c_str(), "a");
    if (!f) die("cannot open " + out);
    auto want = split(libs, ',');
    auto has = [&](const char* l) { return std::find(want.begin(), want.end(), l) != want.end(); };
#ifdef KORVEX_BENCH_GRAPHBLAS
    if (has("graphblas")) GRB_CHECK(GrB_init(GrB_NONBLOCKING));
#endif
    for (const auto& t : split(threads, ',')) {
        int nt = std::stoi(t);
        oneapi::tbb::global_control gc(oneapi::tbb::global_control::max_allowed_parallelism, size_t(nt));
        Reporter rep{f, workload, &w, nt, split(ops, ',')};
        std::fprintf(stderr, "%s: %llu x %llu, %llu entries, %d thread(s)\n", workload.c_str(),
                     (unsigned long long)w.rows, (unsigned long long)w.cols,
                     (unsigned long long)w.nnz, nt);
        if (has("floor")) bench_floor(w, o, rep);
        if (has("korvex")) bench_korvex(w, o, rep);
        if (has("eigen")) bench_eigen(w, o, rep);
#ifdef KORVEX_BENCH_GRAPHBLAS
        if (has("graphblas")) {
            GRB_CHECK(GxB_Global_Option_set(GxB_GLOBAL_NTHREADS, nt));
            bench_graphblas(w, o, rep);
        }
#endif
    }
#ifdef KORVEX_BENCH_GRAPHBLAS
    if (has("graphblas")) GrB_finalize();
#endif
    std::fclose(f);
    return 0;
}
