"""What the package guard costs a small call: the same tiny calls timed with
the guard (the public methods) and without it (their unguarded bodies,
reached through __wrapped__ with the guard's per-thread state set as if
held), alternating in one run, best of several rounds.

    PYTHONPATH=python KORVEX_LIBRARY=build/libkorvex.so /usr/bin/python3 bench/guard_cost.py
"""
import argparse
import time

import numpy as np
import scipy.sparse as sp

import korvex
from korvex._guard import GUARD
from korvex._matrix import _Compressed


def per_call(fn, calls):
    t = time.perf_counter()
    for _ in range(calls):
        fn()
    return (time.perf_counter() - t) / calls


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--calls", type=int, default=20000)
    ap.add_argument("--rounds", type=int, default=7)
    args = ap.parse_args()

    A = sp.random(1000, 1000, density=0.01, format="csr", random_state=1)
    M = korvex.from_scipy(A)
    nnz, shape = _Compressed.nnz.fget, _Compressed.shape.fget
    getitem = _Compressed.__getitem__
    row = slice(5, 6)
    cases = [
        ("nnz", lambda: nnz(M), lambda: nnz.__wrapped__(M)),
        ("shape", lambda: shape(M), lambda: shape.__wrapped__(M)),
        ("one-row slice M[5:6]", lambda: getitem(M, row), lambda: getitem.__wrapped__(M, row)),
    ]
    # The unguarded bodies still read the handle through _handle, which
    # checks that the guard is held: mark it held for this thread without
    # taking the lock, so "without" times exactly the body.
    # For scale: the bare ctypes call under nnz.
    fam, h = M._fam, M._h
    bare = min(per_call(lambda: fam.nnz(h), args.calls) for _ in range(args.rounds))
    print(f"bare ctypes call csr_f64_nnz: {bare * 1e6:.2f}us")
    print(f"{'call':24} {'with guard':>12} {'without':>12} {'guard cost':>12}")
    for name, with_guard, without in cases:
        best_w = best_o = float("inf")
        for _ in range(args.rounds):
            best_w = min(best_w, per_call(with_guard, args.calls))
            GUARD._tls.depth = 1
            try:
                best_o = min(best_o, per_call(without, args.calls))
            finally:
                GUARD._tls.depth = 0
        print(f"{name:24} {best_w * 1e6:10.2f}us {best_o * 1e6:10.2f}us "
              f"{(best_w - best_o) * 1e6:10.2f}us")


if __name__ == "__main__":
    main()
