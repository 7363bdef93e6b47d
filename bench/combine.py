#!/usr/bin/python3
"""Two sparse operands, korvex against scipy on the same matrices, in one run:

  A @ A            uniform 1M x 1M, 8 entries per row
  X.T @ X          50k x 20k, 20 entries per row
  H.T @ X          a 50-group indicator H (50k x 50) against X
  G + G.T          1M nodes, 15 random neighbours each
  G.multiply(G.T)
  G > 0.5

Each case alternates korvex, scipy and SuiteSparse:GraphBLAS (Debian's
libgraphblas7, through bench/graphblas.py; --no-graphblas skips it), best of
--reps; the ratios are korvex / scipy and korvex / GraphBLAS. korvex and
GraphBLAS run on the CPUs of the process's affinity mask (taskset -c 0,1 for
2 threads), scipy on one. The peak memory of A @ A (the process's RSS
high-water mark in a fresh subprocess, past what the inputs already took) is
reported against the size of its result plus its inputs. --small divides
every size by 20 (a check that it runs, seconds).

    PYTHONPATH=python KORVEX_LIBRARY=build/libkorvex.so \\
        /usr/bin/python3 bench/combine.py [--small] [--reps 3] [--out bench/results/combine.md]
"""
import argparse
import json
import os
import subprocess
import sys
import time
import warnings

import numpy as np
import scipy.sparse as sp

import korvex

import graphblas


def uniform(n, m, per_row, seed):
    rng = np.random.default_rng(seed)
    nnz = n * per_row
    rows = np.repeat(np.arange(n), per_row)
    A = sp.csr_matrix((rng.random(nnz), (rows, rng.integers(0, m, nnz))), shape=(n, m))
    A.sum_duplicates()
    return A


def indicator(n, groups, seed):
    g = np.random.default_rng(seed).integers(0, groups, n)
    return sp.csr_matrix((np.ones(n), (np.arange(n), g)), shape=(n, groups))


def cases(scale, gb=None):
    """(name, korvex, scipy, GraphBLAS or None) for each case."""
    n = 1_000_000 // scale
    A = uniform(n, n, 8, 1)
    X = uniform(50_000 // scale, 20_000 // scale, 20, 2)
    H = indicator(X.shape[0], 50, 3)
    G = uniform(n, n, 15, 4)
    GT = G.T.tocsr()
    MA, MX, MH, MG = (korvex.from_scipy(S) for S in (A, X, H, G))
    g = {}
    if gb is not None:
        g = {k: gb.from_scipy(S) for k, S in (("A", A), ("X", X), ("H", H), ("G", G))}
    gcase = lambda fn: (lambda: fn(g)) if g else None
    return [
        ("A @ A", lambda: MA @ MA, lambda: A @ A, gcase(lambda g: gb.mxm(g["A"], g["A"], A.shape))),
        ("X.T @ X", lambda: MX.T @ MX, lambda: X.T @ X,
         gcase(lambda g: gb.mxm(g["X"], g["X"], (X.shape[1],) * 2, transpose_a=True))),
        ("H.T @ X", lambda: MH.T @ MX, lambda: H.T @ X,
         gcase(lambda g: gb.mxm(g["H"], g["X"], (H.shape[1], X.shape[1]), transpose_a=True))),
        ("G + G.T", lambda: MG + MG.T, lambda: G + G.T,
         gcase(lambda g: gb.with_transpose(g["G"], G.shape, multiply=False))),
        ("G.multiply(G.T)", lambda: MG.multiply(MG.T), lambda: G.multiply(GT),
         gcase(lambda g: gb.with_transpose(g["G"], G.shape, multiply=True))),
        ("G > 0.5", lambda: MG > 0.5, lambda: G > 0.5,
         gcase(lambda g: gb.select_gt(g["G"], G.shape, 0.5))),
    ]


def timed(fn):
    t0 = time.perf_counter()
    r = fn()
    dt = time.perf_counter() - t0
    nnz = r if isinstance(r, int) else r.nnz
    if hasattr(r, "free"):
        r.free()
    del r
    return dt, nnz


PEAK = """
import sys, numpy as np, korvex
sys.path.insert(0, {here!r})
from combine import uniform
def status(key):
    with open("/proc/self/status") as f:
        return next(int(l.split()[1]) * 1024 for l in f if l.startswith(key + ":"))
n = {n}
A = uniform(n, n, 8, 1)
M = korvex.from_scipy(A)
del A
(M[:2] @ M).free()
# Building the input set a high-water mark above what it keeps: start it again
# from the current size, so the product's own peak shows.
with open("/proc/self/clear_refs", "w") as f:
    f.write("5")
base = status("VmRSS")
C = M @ M
peak = status("VmHWM")
size = lambda X: X.nnz * (8 + X.dtype.itemsize) + 64 * X.shape[0]
print(peak - base, size(C), size(M))
"""


def peak_of_product(scale):
    here = os.path.dirname(os.path.abspath(__file__))
    out = subprocess.run([sys.executable, "-c", PEAK.format(here=here, n=1_000_000 // scale)],
                         check=True, capture_output=True, text=True).stdout.split()
    grown, result, inp = map(int, out)
    return grown, result, inp


def main():
    p = argparse.ArgumentParser(description=__doc__,
                                formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--small", action="store_true")
    p.add_argument("--reps", type=int, default=3)
    p.add_argument("--out", default=None)
    p.add_argument("--no-graphblas", action="store_true", help="skip the GraphBLAS column")
    a = p.parse_args()
    scale = 20 if a.small else 1
    warnings.simplefilter("ignore", sp.SparseEfficiencyWarning)
    threads = len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count()
    load = open("/proc/loadavg").read().split()[:3] if os.path.exists("/proc/loadavg") else "?"
    gb = None if a.no_graphblas else graphblas.load(threads)
    lines = [f"# Two sparse operands, korvex ({threads} threads) against scipy (1 thread)"
             + (f" and GraphBLAS ({threads} threads)" if gb else ""), "",
             f"Sizes 1/{scale}; best of {a.reps}, alternating; load at start {' '.join(load)}.",
             "", "| case | korvex | scipy | GraphBLAS | korvex / scipy | korvex / GraphBLAS "
             "| result entries |", "|---|---:|---:|---:|---:|---:|---:|"]
    rows = []
    for name, kfn, sfn, gfn in cases(scale, gb):
        kt, st, gt = [], [], []
        for _ in range(a.reps):
            t, knnz = timed(kfn)
            kt.append(t)
            t, snnz = timed(sfn)
            st.append(t)
            if gfn:
                gt.append(timed(gfn)[0])
        k, s = min(kt), min(st)
        g = min(gt) if gt else float("nan")
        rows.append({"case": name, "korvex_s": k, "scipy_s": s, "graphblas_s": g, "ratio": k / s,
                     "ratio_graphblas": k / g, "nnz": knnz, "scipy_nnz": snnz})
        lines.append(f"| `{name}` | {k * 1e3:.1f} ms | {s * 1e3:.1f} ms | {g * 1e3:.1f} ms | "
                     f"{k / s:.2f} | {k / g:.2f} | {knnz:,} |")
        print(lines[-1], flush=True)
    grown, result, inp = peak_of_product(scale)
    lines += ["", f"Peak memory of `A @ A` past its inputs: {grown / 2**20:.1f} MiB; its result "
              f"{result / 2**20:.1f} MiB, inputs {inp / 2**20:.1f} MiB: (peak growth + inputs) / "
              f"(result + inputs) = {(grown + inp) / (result + inp):.2f}."]
    print(lines[-1])
    if a.out:
        with open(a.out, "w") as f:
            f.write("\n".join(lines) + "\n")
        with open(os.path.splitext(a.out)[0] + ".json", "w") as f:
            for r in rows:
                f.write(json.dumps(r) + "\n")


if __name__ == "__main__":
    main()
