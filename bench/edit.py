#!/usr/bin/python3
"""Edits in place, korvex against scipy (or a korvex floor) in one run, on a
uniform 2M x 2M f64 matrix with 20M entries:

  1000 single-entry inserts     against one korvex M.copy()
  M[r, c] = 2.0 at 100k places  against scipy's
  setdiag(0.5)                  against scipy's
  eliminate_zeros()             1% stored zeros, against scipy's
  sum_duplicates()              a few rows repeat an index, against scipy's
  log1p() with those repeats    against log1p() of the canonical copy

Every edit runs on a fresh clone (korvex; it shares every row, so making it
is not timed) or copy (scipy, not timed). Each case alternates the two sides,
best of --reps; the ratio is korvex / other. korvex runs on the CPUs of the
process's affinity mask (taskset -c 0,1 for 2 threads). --small divides the
sizes by 100 (a check that it runs, seconds).

    PYTHONPATH=python KORVEX_LIBRARY=build/libkorvex.so taskset -c 0,1 \\
        /usr/bin/python3 bench/edit.py [--small] [--reps 3] [--out bench/results/edit.md]
"""
import argparse
import json
import os
import time
import warnings

import numpy as np
import scipy.sparse as sp

import korvex


def uniform(n, nnz, seed):
    rng = np.random.default_rng(seed)
    per = nnz // n
    A = sp.csr_matrix((rng.random(n * per) + 0.5,
                       (np.repeat(np.arange(n), per), rng.integers(0, n, n * per))), shape=(n, n))
    A.sum_duplicates()
    return A


def cases(scale):
    n, nnz = 2_000_000 // scale, 20_000_000 // scale
    A = uniform(n, nnz, 1)
    rng = np.random.default_rng(2)
    M = korvex.from_scipy(A)
    one = [(int(r), int(c)) for r, c in rng.integers(0, n, (1000, 2))]
    rc = rng.integers(0, n, (2, 100_000 // scale))

    Z = A.copy()  # 1% stored zeros
    Z.data[rng.random(Z.nnz) < 0.01] = 0.0
    MZ = korvex.from_scipy(Z)

    D = A.copy()  # a few rows repeat an index (rows unsorted as well)
    rows = rng.choice(n, 10, replace=False)
    data, idx, ptr = [], [], np.zeros(n + 1, np.int64)
    lens = np.diff(A.indptr).astype(np.int64)
    lens[rows] += 1
    ptr[1:] = np.cumsum(lens)
    idx = np.empty(ptr[-1], np.int64)
    data = np.empty(ptr[-1])
    keep = np.ones(ptr[-1], bool)
    keep[ptr[rows + 1] - 1] = False
    idx[keep], data[keep] = A.indices, A.data
    idx[~keep] = A.indices[A.indptr[rows]]
    data[~keep] = 1.0
    D = sp.csr_matrix((data, idx, ptr), shape=A.shape)
    MD = korvex.from_scipy(D)
    MDc = MD.copy()
    MDc.sum_duplicates()

    def inserts(X):
        for r, c in one:
            X[r, c] = 3.0
    return [
        ("1000 single-entry inserts vs one M.copy()", M.clone, inserts, M.clone, lambda X: X.copy(),
         "korvex copy"),
        ("M[r, c] = 2.0, 100k places", M.clone, lambda X: X.__setitem__((rc[0], rc[1]), 2.0),
         A.copy, lambda X: X.__setitem__((rc[0], rc[1]), 2.0), "scipy"),
        ("setdiag(0.5)", M.clone, lambda X: X.setdiag(0.5), A.copy, lambda X: X.setdiag(0.5),
         "scipy"),
        ("eliminate_zeros(), 1% zeros", MZ.clone, lambda X: X.eliminate_zeros(), Z.copy,
         lambda X: X.eliminate_zeros(), "scipy"),
        ("sum_duplicates(), 10 rows repeat", MD.clone, lambda X: X.sum_duplicates(), D.copy,
         lambda X: X.sum_duplicates(), "scipy"),
        ("log1p() with repeats vs canonical", lambda: MD, lambda X: X.log1p(), lambda: MDc,
         lambda X: X.log1p(), "korvex canonical"),
    ]


def timed(make, fn):
    X = make()
    t0 = time.perf_counter()
    fn(X)
    return time.perf_counter() - t0


def main():
    p = argparse.ArgumentParser(description=__doc__,
                                formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--small", action="store_true")
    p.add_argument("--reps", type=int, default=3)
    p.add_argument("--out", default=None)
    a = p.parse_args()
    scale = 100 if a.small else 1
    warnings.simplefilter("ignore", sp.SparseEfficiencyWarning)
    threads = len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count()
    load = open("/proc/loadavg").read().split()[:3] if os.path.exists("/proc/loadavg") else "?"
    lines = [f"# Edits in place, korvex ({threads} threads) against scipy or a korvex floor", "",
             f"Sizes 1/{scale}; best of {a.reps}, alternating; load at start {' '.join(load)}.",
             "", "| case | korvex | other | korvex / other | other is |", "|---|---:|---:|---:|---|"]
    rows = []
    for name, kmake, kfn, omake, ofn, other in cases(scale):
        kt, ot = [], []
        for _ in range(a.reps):
            kt.append(timed(kmake, kfn))
            ot.append(timed(omake, ofn))
        k, o = min(kt), min(ot)
        rows.append({"case": name, "korvex_s": k, "other_s": o, "ratio": k / o, "other": other})
        lines.append(f"| `{name}` | {k * 1e3:.2f} ms | {o * 1e3:.2f} ms | {k / o:.3f} | {other} |")
        print(lines[-1], flush=True)
    if a.out:
        with open(a.out, "w") as f:
            f.write("\n".join(lines) + "\n")
        with open(os.path.splitext(a.out)[0] + ".json", "w") as f:
            for r in rows:
                f.write(json.dumps(r) + "\n")


if __name__ == "__main__":
    main()
