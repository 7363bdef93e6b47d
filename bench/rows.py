#!/usr/bin/python3
"""Rows in any order and the handoff to scipy: korvex against scipy side by
side in one run, each figure the best of --reps, each ratio within the run.

    PYTHONPATH=python KORVEX_LIBRARY=build/libkorvex.so \\
        /usr/bin/python3 bench/rows.py [--small] [--reps 5] [--dir /tmp] \\
        [--out bench/results/rows.md]

Figures (sizes shown for the full run; --small divides them by about 100):
  copy      from_scipy(A) and A-from-korvex to_scipy() (int64 and int32
            indices) against A.copy(), A a 2M x 2M scipy CSR matrix of 20M
            float64 entries with int32 indices;
  take      a mapped .kvx file (500k x 20k, 20M float32 entries): 256 and
            4096 rows at random positions (any order, repeats possible),
            F[idx].to_scipy(), against scipy's A[idx] on the same matrix held
            in memory; 200 / 20 position sets, the same for both;
  epoch     a shuffled pass of 1024-row (and 4096-row) batches of that file
            brought to scipy (korvex.batches(F, 1024, shuffle=True)), each
            batch written from the file's rows into scipy's arrays in one
            pass, against a loop of A[perm[a:a + 1024]] in memory;
  64 rows   M[idx] (korvex only) of 64 random rows from a 20k-row and from a
            4M-row matrix of 2 entries per row: the same cost expected.
The file is read once before timing (the page cache holds it). Moving Dask
blocks is measured by bench/dask_pipeline.py (make bench-dask).
"""
import argparse
import gc
import os
import platform
import sys
import tempfile
import time

import numpy as np
import scipy.sparse as sp

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "python"))

import korvex  # noqa: E402

FULL = dict(copy=(2_000_000, 2_000_000, 20_000_000), file=(500_000, 20_000, 20_000_000),
            few=20_000, many=4_000_000, per_row=2)
SMALL = dict(copy=(20_000, 20_000, 200_000), file=(5_000, 2_000, 200_000),
             few=2_000, many=40_000, per_row=2)
TARGETS = {  # figure: (bound on korvex / scipy, what it is measured against)
    "from_scipy": 1.15, "to_scipy": 1.15, "take 256": 1.5, "take 4096": 1.0, "epoch": 1.2,
    "epoch 4096": 1.0,
}


def random_csr(rows, cols, nnz, dtype, seed):
    """A CSR matrix with rows x cols and nnz uniformly placed entries (int32
    indices, each row sorted)."""
    rng = np.random.default_rng(seed)
    r = np.sort(rng.integers(0, rows, nnz))
    c = rng.integers(0, cols, nnz).astype(np.int32)
    indptr = np.zeros(rows + 1, np.int64)
    np.cumsum(np.bincount(r, minlength=rows), out=indptr[1:])
    order = np.lexsort((c, r))
    A = sp.csr_matrix((rng.random(nnz).astype(dtype), c[order], indptr.astype(np.int32)),
                      shape=(rows, cols))
    return A


def best(fn, reps, setup=None, teardown=None):
    """Best wall time of reps calls of fn (setup/teardown untimed)."""
    out = float("inf")
    for _ in range(reps):
        arg = setup() if setup else None
        gc.collect()
        t = time.perf_counter()
        res = fn(arg) if setup else fn()
        out = min(out, time.perf_counter() - t)
        if teardown:
            teardown(res)
        del res
    return out


def free(x):
    if isinstance(x, (korvex.CSRMatrix, korvex.CSCMatrix)):
        x.free()


def take(M, idx):
    return M[idx]


def each(fn, items):
    for x in items:
        fn(x)


def main():
    ap = argparse.ArgumentParser(description=__doc__,
                                 formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--small", action="store_true", help="about 1/100 of the sizes: a check "
                    "that the script runs, not a measurement")
    ap.add_argument("--reps", type=int, default=5)
    ap.add_argument("--dir", default=None, help="where the .kvx file goes (default: a "
                    "temporary directory)")
    ap.add_argument("--out", default=os.path.join(HERE, "results", "rows.md"))
    args = ap.parse_args()
    size = SMALL if args.small else FULL
    reps = args.reps
    start = time.perf_counter()
    rows = []  # (figure, korvex s, scipy s or None, detail)

    # -- from_scipy / to_scipy against A.copy() ----------------------------
    r, c, n = size["copy"]
    A = random_csr(r, c, n, np.float64, 1)
    t_copy = best(lambda: A.copy(), reps)
    t_from = best(lambda: korvex.from_scipy(A), reps, teardown=free)
    M = korvex.from_scipy(A)
    t_to = best(lambda: M.to_scipy(), reps)
    t_to32 = best(lambda: M.to_scipy(index_dtype=np.int32), reps)
    shape = f"{r:,} x {c:,}, {n:,} f64 entries, int32 indices"
    rows += [("from_scipy", t_from, t_copy, f"from_scipy(A) vs A.copy(); {shape}"),
             ("to_scipy", t_to, t_copy, "M.to_scipy() (int64 indices) vs A.copy()"),
             ("to_scipy int32", t_to32, t_copy, "M.to_scipy(index_dtype=np.int32) vs A.copy()")]
    M.free()
    del A, M
    gc.collect()

    # -- a mapped file: random takes and a shuffled epoch ------------------
    r, c, n = size["file"]
    B = random_csr(r, c, n, np.float32, 2)
    with tempfile.TemporaryDirectory(dir=args.dir) as d:
        path = os.path.join(d, "rows.kvx")
        korvex.save(path, korvex.from_scipy(B))
        F = korvex.load(path)
        F.to_scipy()  # read the whole file once: timings run from the page cache
        rng = np.random.default_rng(3)
        for k, sets in ((256, 200), (4096, 20)):
            idx = [rng.integers(0, r, k) for _ in range(sets)]
            # Each result is dropped at once, as a training loop drops its batch.
            t_k = best(lambda: each(lambda i: take(F, i).to_scipy(), idx), reps)
            t_k32 = best(lambda: each(lambda i: take(F, i).to_scipy(index_dtype=np.int32),
                                      idx), reps)
            t_s = best(lambda: each(lambda i: B[i], idx), reps)
            rows.append((f"take {k}", t_k / sets, t_s / sets,
                         f"mapped F[idx].to_scipy() vs in-memory A[idx], {k} random rows of "
                         f"{r:,} x {c:,} ({n:,} f32 entries)"))
            rows.append((f"take {k} int32", t_k32 / sets, t_s / sets,
                         "the same with to_scipy(index_dtype=np.int32), scipy's index type"))
        perm = np.random.default_rng(4).permutation(r)
        t_ek = best(lambda: sum(b.nnz for b in korvex.batches(F, 1024, shuffle=True,
                                                              seed=0)), reps)
        t_es = best(lambda: sum(B[perm[a:a + 1024]].nnz for a in range(0, r, 1024)), reps)
        rows.append(("epoch", t_ek, t_es, "korvex.batches(F, 1024, shuffle=True) to scipy vs "
                     "a loop of A[perm[a:a+1024]] in memory"))
        t_ek4 = best(lambda: sum(b.nnz for b in korvex.batches(F, 4096, shuffle=True,
                                                               seed=0)), reps)
        t_es4 = best(lambda: sum(B[perm[a:a + 4096]].nnz for a in range(0, r, 4096)), reps)
        rows.append(("epoch 4096", t_ek4, t_es4, "the same in 4096-row batches (one pass from "
                     "the file's rows into scipy's arrays)"))
        F.free()
    del B
    gc.collect()

    # -- 64 rows from few and from many -----------------------------------
    per = size["per_row"]
    times = {}
    for label, nrows in (("few", size["few"]), ("many", size["many"])):
        C = korvex.from_scipy(random_csr(nrows, 20_000, nrows * per, np.float64, 5))
        rng = np.random.default_rng(6)
        idx = [rng.integers(0, nrows, 64) for _ in range(2000)]
        times[label] = best(lambda: each(lambda i: take(C, i).free(), idx), reps) / len(idx)
        C.free()
        del C
        gc.collect()
    rows.append(("64 rows", times["many"], times["few"],
                 f"M[idx] of 64 random rows: {size['many']:,} rows vs {size['few']:,} rows "
                 f"({per} entries per row); same cost expected"))

    write(args, rows, time.perf_counter() - start)


def write(args, rows, elapsed):
    lines = ["# Rows in any order and the handoff to scipy", "",
             f"{'Small check run (sizes / 100): not a measurement. ' if args.small else ''}"
             f"Best of {args.reps} runs per figure; ratios within this run. "
             f"{platform.node()}, {os.cpu_count()} CPUs, Python {platform.python_version()}, "
             f"load average at the end {' '.join(map(str, os.getloadavg()))}; "
             f"{elapsed:.0f} s in all.", "",
             "| figure | korvex | against | ratio | target | what |",
             "|---|---:|---:|---:|---:|---|"]
    for name, k, s, what in rows:
        ratio = k / s
        bound = TARGETS.get(name)
        target = (f"≤ {bound} {'✓' if ratio <= bound else '✗'}" if bound
                  else ("≈ 1" if name == "64 rows" else ""))
        lines.append(f"| {name} | {k * 1e3:.3f} ms | {s * 1e3:.3f} ms | {ratio:.2f} | "
                     f"{target} | {what} |")
    text = "\n".join(lines) + "\n"
    os.makedirs(os.path.dirname(os.path.abspath(args.out)), exist_ok=True)
    with open(args.out, "w") as f:
        f.write(text)
    print(text)


if __name__ == "__main__":
    main()
