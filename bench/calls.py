#!/usr/bin/python3
"""What the package costs a small call, this tree against an earlier revision
of python/korvex (same library), in alternating processes, best of several.

    PYTHONPATH=python KORVEX_LIBRARY=build/libkorvex.so \\
        /usr/bin/python3 bench/calls.py --base 40501ec --rounds 5

Each case is a call on a 1000 x 1000 CSR matrix with 10k entries whose time is
mostly the package's own (guard, handle record, wrapping the result); the
ratio is this tree / base. The base tree is taken with `git archive`.
"""
import argparse
import os
import subprocess
import sys
import tempfile

CASES = {
    "nnz": "M.nnz",
    "shape": "M.shape",
    "M[5:6]": "M[5:6]",
    "M[rows]": "M[pos]",
    "M[:, 3:9]": "M[:, 3:9]",
    "M.T": "M.T",
    "M @ x": "M @ x",
    "abs(M)": "abs(M)",
    "M.sum(0)": "M.sum(0)",
    "M[5:9].to_scipy()": "M[5:9].to_scipy()",
    "clone": "M.clone()",
    "batch of 64 rows": "next(korvex.batches(M, 64, to='korvex'))",
}

CHILD = """
import sys, time, numpy as np, scipy.sparse as sp, korvex
A = sp.random(1000, 1000, density=0.01, format="csr", random_state=1)
M = korvex.from_scipy(A); x = np.ones(1000); pos = np.array([1, 5, 9, 400], np.int64)
calls = int(sys.argv[1])
for name, expr in CASES.items():
    fn = eval("lambda: " + expr)
    fn()
    t = time.perf_counter()
    for _ in range(calls):
        fn()
    print(name, (time.perf_counter() - t) / calls)
"""


def run(tree, calls):
    env = dict(os.environ, PYTHONPATH=tree)
    code = f"CASES = {CASES!r}\n" + CHILD
    out = subprocess.run([sys.executable, "-c", code, str(calls)], env=env, check=True,
                         capture_output=True, text=True).stdout
    return {line.rsplit(" ", 1)[0]: float(line.rsplit(" ", 1)[1]) for line in out.splitlines()}


def main():
    ap = argparse.ArgumentParser(description=__doc__,
                                 formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--base", default="40501ec", help="git revision to compare against")
    ap.add_argument("--rounds", type=int, default=5)
    ap.add_argument("--calls", type=int, default=2000)
    args = ap.parse_args()
    here = os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir)
    with tempfile.TemporaryDirectory() as tmp:
        archive = subprocess.run(["git", "-C", here, "archive", args.base, "python/korvex"],
                                 check=True, capture_output=True).stdout
        subprocess.run(["tar", "-x", "-C", tmp], input=archive, check=True)
        trees = {"base": os.path.join(tmp, "python"),
                 "this": os.path.join(here, "python")}
        best = {k: {} for k in trees}
        for _ in range(args.rounds):
            for k, tree in trees.items():
                for name, t in run(tree, args.calls).items():
                    best[k][name] = min(best[k].get(name, t), t)
    print(f"| call | base ({args.base}) | this tree | ratio |")
    print("|---|---:|---:|---:|")
    for name in CASES:
        b, t = best["base"][name], best["this"][name]
        print(f"| {name} | {b * 1e6:.2f} us | {t * 1e6:.2f} us | {t / b:.2f} |")


if __name__ == "__main__":
    main()
