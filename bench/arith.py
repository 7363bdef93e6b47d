#!/usr/bin/python3
"""korvex arithmetic against scipy.sparse on the same matrix, in one process.

    PYTHONPATH=python KORVEX_LIBRARY=build-bench/libkorvex.so \\
        /usr/bin/python3 bench/arith.py --size full --threads 2 --out bench/results/arith.md

--size full: a 2M x 2M matrix with 20M uniformly placed f64 entries (products,
sums, log1p, multiply by a row vector; and its float32 copy's float64 results:
astype, / 2.0, multiply by a float64 row vector), the same 20M entries at 2 per row
(10M x 10M) for the per-row cost of M @ x, and a 500k x 20k matrix with 20M
entries for svds(M, k=10). quick divides every count by 4, small by 20 (to
check that the script runs). Each time is the best of --reps runs, korvex and
scipy alternating run by run; the ratio is korvex / scipy.

--threads T pins the process to its first T CPUs before the library starts
its pool (scipy runs on one thread whatever T is). --scaling 1,2,4,... runs
the korvex side once per thread count (a process each) and adds a table of
its times; scipy's column there is the single-threaded reference.

Traffic of M @ x: korvex reads 8 B of value, 8 B of index and 8 B of x per
entry plus 64 B of span descriptors per row; scipy reads 8 B of value, its
index width and 8 B of x per entry plus one indptr entry per row.
"""
import argparse
import json
import os
import subprocess
import sys
import time

SIZES = {"full": 1, "quick": 4, "small": 20}


def parse_args():
    p = argparse.ArgumentParser(description=__doc__,
                                formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--size", choices=SIZES, default="small")
    p.add_argument("--threads", type=int, default=2)
    p.add_argument("--reps", type=int, default=0, help="runs per operation (default by size)")
    p.add_argument("--scaling", default="", help="comma-separated thread counts")
    p.add_argument("--no-svds", action="store_true")
    p.add_argument("--json", action="store_true", help=argparse.SUPPRESS)
    p.add_argument("--out", default="")
    return p.parse_args()


args = parse_args()
if args.threads > 0:
    cpus = sorted(os.sched_getaffinity(0))[: args.threads]
    os.sched_setaffinity(0, cpus)

import numpy as np  # noqa: E402
import scipy.sparse as sp  # noqa: E402
import scipy.sparse.linalg as sla  # noqa: E402

import korvex  # noqa: E402

DIV = SIZES[args.size]
REPS = args.reps or {"full": 5, "quick": 3, "small": 2}[args.size]


def uniform(rows, cols, nnz, seed):
    rng = np.random.default_rng(seed)
    r = np.sort(rng.integers(0, rows, nnz))
    c = rng.integers(0, cols, nnz)
    indptr = np.zeros(rows + 1, np.int64)
    np.cumsum(np.bincount(r, minlength=rows), out=indptr[1:])
    A = sp.csr_matrix((rng.uniform(0.1, 1.0, nnz), c, indptr), shape=(rows, cols))
    A.sum_duplicates()  # canonical, as scipy's own constructors leave it
    return A


def best(fn, reps):
    ts = []
    for _ in range(reps):
        t0 = time.perf_counter()
        out = fn()
        ts.append(time.perf_counter() - t0)
        if hasattr(out, "free"):
            out.free()
        del out
    return min(ts)


def pair(kfn, sfn, reps=REPS):
    """Best korvex and scipy times, alternating after one warm-up each."""
    best(kfn, 1), best(sfn, 1)
    tk, ts = [], []
    for _ in range(reps):
        tk.append(best(kfn, 1))
        ts.append(best(sfn, 1))
    return min(tk), min(ts)


def traffic(A, korvex_side):
    nnz, rows = A.nnz, A.shape[0]
    if korvex_side:
        return nnz * 24 + rows * 64
    return nnz * (16 + A.indices.itemsize) + (rows + 1) * A.indptr.itemsize


def main():
    results = {"size": args.size, "threads": args.threads, "ops": [], "gbs": [], "svds": None}
    n, nnz = 2_000_000 // DIV, 20_000_000 // DIV
    A = uniform(n, n, nnz, 1)
    M = korvex.from_scipy(A)
    rng = np.random.default_rng(2)
    x, z = rng.standard_normal(n), rng.standard_normal(n)
    X = np.asfortranarray(rng.standard_normal((n, 4)))
    w = rng.standard_normal(n)
    # float64 results of a float32 matrix: fresh values over its index spans
    # (scipy copies the indices too).
    A32 = A.astype(np.float32)
    M32 = korvex.from_scipy(A32)
    ops = [
        ("M @ x", lambda: M @ x, lambda: A @ x, 0.6),
        ("x @ M", lambda: z @ M, lambda: z @ A, 0.75),
        ("M @ X (4 cols, column-major)", lambda: M @ X, lambda: A @ X, 0.6),
        ("sum(axis=1)", lambda: M.sum(axis=1), lambda: A.sum(axis=1), 0.5),
        ("sum(axis=0)", lambda: M.sum(axis=0), lambda: A.sum(axis=0), 0.75),
        ("log1p()", lambda: M.log1p(), lambda: A.log1p(), 0.6),
        ("multiply(row vector)", lambda: M.multiply(w), lambda: A.multiply(w), 0.6),
        ("f32 astype(float64)", lambda: M32.astype(np.float64),
         lambda: A32.astype(np.float64), 1.0),
        ("f32 M / 2.0 (float64)", lambda: M32 / 2.0, lambda: A32 / 2.0, 1.0),
        ("f32 multiply(f64 row vector)", lambda: M32.multiply(w), lambda: A32.multiply(w), 1.0),
    ]
    for name, kfn, sfn, target in ops:
        tk, ts = pair(kfn, sfn)
        results["ops"].append(dict(op=name, korvex=tk, scipy=ts, target=target))
        print(f"{name:32s} korvex {tk * 1e3:9.2f} ms  scipy {ts * 1e3:9.2f} ms  "
              f"ratio {tk / ts:5.2f} (target <= {target})", flush=True)
    results["gbs"].append(gbs_row("M @ x", A, M, x, "10 per row"))
    M.free()
    M32.free()
    del A, M, X, A32, M32

    A = uniform(nnz // 2, nnz // 2, nnz, 3)
    M = korvex.from_scipy(A)
    x = rng.standard_normal(A.shape[1])
    results["gbs"].append(gbs_row("M @ x", A, M, x, "2 per row"))
    M.free()
    del A, M, x

    if not args.no_svds:
        A = uniform(500_000 // DIV, 20_000 // DIV, nnz, 4)
        M = korvex.from_scipy(A)
        v0 = np.random.default_rng(5).standard_normal(min(A.shape))
        runs = 1 if args.size == "full" else 2
        tk, ts = pair(lambda: sla.svds(M, k=10, v0=v0), lambda: sla.svds(A, k=10, v0=v0), runs)
        sk = np.sort(sla.svds(M, k=10, v0=v0)[1])
        ss = np.sort(sla.svds(A, k=10, v0=v0)[1])
        agree = float(np.max(np.abs(sk - ss) / ss))
        results["svds"] = dict(shape=A.shape, nnz=A.nnz, korvex=tk, scipy=ts, target=0.75,
                               rel_diff=agree)
        print(f"svds(M, k=10) {A.shape}      korvex {tk:9.3f} s   scipy {ts:9.3f} s   "
              f"ratio {tk / ts:5.2f} (target <= 0.75); singular values agree to {agree:.1e}",
              flush=True)
    return results


def gbs_row(name, A, M, x, label):
    tk, ts = pair(lambda: M @ x, lambda: A @ x)
    bk, bs = traffic(A, True), traffic(A, False)
    row = dict(op=name, rows=A.shape[0], nnz=A.nnz, per_row=label, korvex=tk, scipy=ts,
               korvex_gbs=bk / tk / 1e9, scipy_gbs=bs / ts / 1e9)
    print(f"{name} at {label} ({A.shape[0]} rows): korvex {tk * 1e3:.2f} ms = "
          f"{row['korvex_gbs']:.2f} GB/s, scipy {ts * 1e3:.2f} ms = {row['scipy_gbs']:.2f} GB/s",
          flush=True)
    return row


def scaling(counts):
    rows = {}
    for t in counts:
        cmd = [sys.executable, os.path.abspath(__file__), "--size", args.size, "--threads", str(t),
               "--json", "--no-svds"] + (["--reps", str(args.reps)] if args.reps else [])
        out = subprocess.run(cmd, check=True, capture_output=True, text=True).stdout
        rows[t] = json.loads(out.strip().splitlines()[-1])
    return rows


def report(res, scale):
    lines = [f"# korvex arithmetic against scipy ({args.size} size, {res['threads']} threads)",
             "", f"CPUs: {os.cpu_count()}, load at end: {open('/proc/loadavg').read().split()[:3]}",
             "", "| operation | korvex ms | scipy ms | korvex / scipy | target |",
             "|---|---|---|---|---|"]
    for o in res["ops"]:
        lines.append(f"| `{o['op']}` | {o['korvex'] * 1e3:.2f} | {o['scipy'] * 1e3:.2f} | "
                     f"{o['korvex'] / o['scipy']:.2f} | <= {o['target']} |")
    lines += ["", "| `M @ x` | rows | entries | korvex ms | korvex GB/s | scipy ms | scipy GB/s |",
              "|---|---|---|---|---|---|---|"]
    for g in res["gbs"]:
        lines.append(f"| {g['per_row']} | {g['rows']} | {g['nnz']} | {g['korvex'] * 1e3:.2f} | "
                     f"{g['korvex_gbs']:.2f} | {g['scipy'] * 1e3:.2f} | {g['scipy_gbs']:.2f} |")
    s = res["svds"]
    if s:
        lines += ["", f"`svds(M, k=10)` on {s['shape'][0]} x {s['shape'][1]}, {s['nnz']} entries: "
                  f"korvex {s['korvex']:.2f} s, scipy {s['scipy']:.2f} s, ratio "
                  f"{s['korvex'] / s['scipy']:.2f} (target <= 0.75); singular values agree to "
                  f"{s['rel_diff']:.1e}"]
    if scale:
        ts = sorted(scale)
        lines += ["", "korvex ms by thread count (scipy: one thread)", "",
                  "| operation | " + " | ".join(str(t) for t in ts) + " | scipy |",
                  "|---|" + "---|" * (len(ts) + 1)]
        for i, o in enumerate(res["ops"]):
            lines.append(f"| `{o['op']}` | " + " | ".join(
                f"{scale[t]['ops'][i]['korvex'] * 1e3:.1f}" for t in ts)
                + f" | {o['scipy'] * 1e3:.1f} |")
    return "\n".join(lines) + "\n"


if __name__ == "__main__":
    res = main()
    if args.json:
        print(json.dumps(res))
        sys.exit(0)
    scale = scaling([int(t) for t in args.scaling.split(",")]) if args.scaling else None
    text = report(res, scale)
    print(text)
    if args.out:
        with open(args.out, "w") as f:
            f.write(text)
