#!/usr/bin/python3
"""Opening matrix files: korvex.load (mapped and copied) against
scipy.sparse.load_npz (uncompressed), side by side in one run.

    storage.py [--lib build/libkorvex.so] [--dir /tmp] [--out bench/results/storage.md]
               [--reps 7] [--keep]

For each workload (20M entries in 200k rows, 20M entries in 2M rows, and 5M
entries in 200k rows to tell rows from entries) the script writes the matrix
once with korvex.save and with scipy.sparse.save_npz(compressed=False) under
--dir, then times, alternating run by run:
  - korvex.load(mmap=True), korvex.load(mmap=False), scipy.sparse.load_npz;
  - after each, 1,000 consecutive rows made into a scipy CSR matrix
    (M[a:a+1000].to_scipy() for korvex, A[a:a+1000] for scipy).
Each figure is the best of --reps runs. The files are read from the page
cache (each is read once before timing): the times are what opening costs
beyond the disk. The resident memory after a mapped open is measured in a
fresh process (growth of /proc/self/statm's resident pages around the load)
and given as a share of the file's size. The files are deleted at the end
unless --keep.
"""
import argparse
import os
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(HERE)

WORKLOADS = [  # name, rows, entries
    ("200k rows, 20M entries", 200_000, 20_000_000),
    ("2M rows, 20M entries", 2_000_000, 20_000_000),
    ("200k rows, 5M entries", 200_000, 5_000_000),
]
COLS = 1 << 21
SLICE = 1000

RSS_PROBE = r"""
import os, sys
import numpy as np, scipy.sparse as sp, korvex
page = os.sysconf("SC_PAGE_SIZE")
def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * page
path, size = sys.argv[1], os.path.getsize(sys.argv[1])
before = rss()
M = korvex.load(path)
opened = rss()
S = M[M.shape[0] // 2:M.shape[0] // 2 + %d].to_scipy()
sliced = rss()
print((opened - before) / size, (sliced - before) / size)
""" % SLICE


def parse_args():
    p = argparse.ArgumentParser(description=__doc__,
                                formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--lib", default=os.environ.get("KORVEX_LIBRARY",
                                                   os.path.join(REPO, "build", "libkorvex.so")))
    p.add_argument("--dir", default=tempfile.gettempdir())
    p.add_argument("--out", default=os.path.join(HERE, "results", "storage.md"))
    p.add_argument("--reps", type=int, default=7)
    p.add_argument("--keep", action="store_true")
    return p.parse_args()


args = parse_args()
os.environ["KORVEX_LIBRARY"] = os.path.abspath(args.lib)
sys.path.insert(0, os.path.join(REPO, "python"))

import numpy as np  # noqa: E402
import scipy.sparse as sp  # noqa: E402

import korvex  # noqa: E402


def generate(rows, nnz, seed):
    """Random row lengths summing to nnz, random (unsorted) columns."""
    rng = np.random.default_rng(seed)
    indptr = np.empty(rows + 1, np.int64)
    indptr[0], indptr[-1] = 0, nnz
    indptr[1:-1] = np.sort(rng.integers(0, nnz + 1, rows - 1))
    indices = rng.integers(0, COLS, nnz, dtype=np.int64)
    data = rng.random(nnz)
    A = sp.csr_matrix((rows, COLS))
    A.data, A.indices, A.indptr = data, indices, indptr
    return A


def best(fn, reps):
    out = []
    for _ in range(reps):
        out.append(fn())
    return min(out)


def timed(fn):
    t = time.perf_counter()
    r = fn()
    return time.perf_counter() - t, r


def run(name, rows, nnz, seed):
    A = generate(rows, nnz, seed)
    kvx = os.path.join(args.dir, f"korvex-bench-{rows}-{nnz}.kvx")
    npz = os.path.join(args.dir, f"korvex-bench-{rows}-{nnz}.npz")
    files = [kvx, npz]
    try:
        korvex.save(kvx, korvex.from_scipy(A, copy=False))
        sp.save_npz(npz, A, compressed=False)
        del A
        for f in files:  # into the page cache
            with open(f, "rb") as fh:
                while fh.read(1 << 24):
                    pass
        a = rows // 2
        times = {k: [] for k in ("map", "map_slice", "copy", "copy_slice", "npz", "npz_slice")}
        for _ in range(args.reps):  # alternating, run by run
            t, M = timed(lambda: korvex.load(kvx))
            times["map"].append(t)
            times["map_slice"].append(timed(lambda: M[a:a + SLICE].to_scipy())[0])
            M.free()
            del M
            t, M = timed(lambda: korvex.load(kvx, mmap=False))
            times["copy"].append(t)
            times["copy_slice"].append(timed(lambda: M[a:a + SLICE].to_scipy())[0])
            M.free()
            del M
            t, B = timed(lambda: sp.load_npz(npz))
            times["npz"].append(t)
            times["npz_slice"].append(timed(lambda: B[a:a + SLICE])[0])
            del B
        rss = subprocess.run([sys.executable, "-c", RSS_PROBE, kvx], check=True,
                             capture_output=True, text=True,
                             env=dict(os.environ, PYTHONPATH=os.path.join(REPO, "python"))
                             ).stdout.split()
        res = {k: min(v) for k, v in times.items()}
        res.update(size=os.path.getsize(kvx), npz_size=os.path.getsize(npz),
                   rss_open=float(rss[0]), rss_slice=float(rss[1]))
        return res
    finally:
        if not args.keep:
            for f in files:
                if os.path.exists(f):
                    os.unlink(f)


def ms(s):
    return f"{s * 1e3:.3g}"


def main():
    started = time.time()
    load = " ".join(open("/proc/loadavg").read().split()[:3])
    results = []
    for seed, (name, rows, nnz) in enumerate(WORKLOADS, 1):
        print(f"== {name}", flush=True)
        r = run(name, rows, nnz, seed)
        print("   " + ", ".join(f"{k} {ms(v)} ms" for k, v in r.items()
                                 if k not in ("size", "npz_size", "rss_open", "rss_slice")),
              f"rss {r['rss_open']:.3f} / {r['rss_slice']:.3f} of the file", flush=True)
        results.append((name, rows, nnz, r))

    lines = [
        "# Opening matrix files",
        "",
        f"`bench/storage.py`, {time.strftime('%Y-%m-%d %H:%M UTC', time.gmtime(started))}, "
        f"{os.cpu_count()} CPUs, load average at start {load}; best of {args.reps} runs, "
        "the three loads alternating run by run. CSR, float64 values, "
        f"{COLS} columns, random row lengths and columns. Files read from the page cache.",
        "",
        "| workload | file (MB) | load mmap=True (ms) | load mmap=False (ms) | "
        "scipy load_npz (ms) | mapped / load_npz | copy / load_npz |",
        "|---|---:|---:|---:|---:|---:|---:|",
    ]
    for name, rows, nnz, r in results:
        lines.append(f"| {name} | {r['size'] / 1e6:.0f} | {ms(r['map'])} | {ms(r['copy'])} | "
                     f"{ms(r['npz'])} | {r['map'] / r['npz']:.4f} | {r['copy'] / r['npz']:.2f} |")
    lines += [
        "",
        f"{SLICE} consecutive rows (from the middle) made into a scipy CSR matrix, after "
        "each load:",
        "",
        "| workload | after mmap=True (ms) | after mmap=False (ms) | after load_npz (ms) |",
        "|---|---:|---:|---:|",
    ]
    for name, rows, nnz, r in results:
        lines.append(f"| {name} | {ms(r['map_slice'])} | {ms(r['copy_slice'])} | "
                     f"{ms(r['npz_slice'])} |")
    lines += [
        "",
        "Resident memory of a fresh process after a mapped open (growth around "
        "`korvex.load`), and after the slice too, as a share of the file's size:",
        "",
        "| workload | after the open | after the slice |",
        "|---|---:|---:|",
    ]
    for name, rows, nnz, r in results:
        lines.append(f"| {name} | {r['rss_open']:.3f} | {r['rss_slice']:.3f} |")
    (m200, m2m, m5) = (r for _, _, _, r in results)
    lines += [
        "",
        f"Mapped open, 2M rows over 200k rows (same entries): "
        f"{m2m['map'] / m200['map']:.1f}x; 20M entries over 5M entries (same rows): "
        f"{m200['map'] / m5['map']:.2f}x.",
        "",
    ]
    os.makedirs(os.path.dirname(os.path.abspath(args.out)), exist_ok=True)
    with open(args.out, "w") as f:
        f.write("\n".join(lines))
    print("\n".join(lines))


main()
