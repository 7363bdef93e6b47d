#!/usr/bin/python3
"""M.T against scipy's A.T: korvex's transpose shares the rows as the columns
of a CSC matrix (descriptors only), scipy's reinterprets its three arrays.
Best of --reps, side by side in one run, at 2 and 10 entries per row.

    PYTHONPATH=python KORVEX_LIBRARY=build/libkorvex.so \\
        /usr/bin/python3 bench/transpose.py [--rows 2000000] [--reps 7]
"""
import argparse
import time

import numpy as np
import scipy.sparse as sp

import korvex


def best(fn, reps):
    t = []
    for _ in range(reps):
        t0 = time.perf_counter()
        r = fn()
        t.append(time.perf_counter() - t0)
        del r
    return min(t)


def main():
    p = argparse.ArgumentParser(description=__doc__,
                                formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--rows", type=int, default=2_000_000)
    p.add_argument("--reps", type=int, default=7)
    a = p.parse_args()
    print("| entries per row | korvex M.T | scipy A.T | korvex M.T then tocsr() | scipy A.T.tocsr() |")
    print("|---:|---:|---:|---:|---:|")
    rng = np.random.default_rng(0)
    for per_row in (2, 10):
        n, nnz = a.rows, a.rows * per_row
        A = sp.csr_matrix((rng.random(nnz), (np.repeat(np.arange(n), per_row),
                                              rng.integers(0, n, nnz))), shape=(n, n))
        M = korvex.from_scipy(A)
        kt = best(lambda: M.T, a.reps)
        st = best(lambda: A.T, a.reps)
        kc = best(lambda: M.T.tocsr(), 3)
        sc = best(lambda: A.T.tocsr(), 3)
        print(f"| {per_row} | {kt * 1e3:.3f} ms | {st * 1e3:.3f} ms | {kc * 1e3:.0f} ms "
              f"| {sc * 1e3:.0f} ms |")
        M.free()


if __name__ == "__main__":
    main()
