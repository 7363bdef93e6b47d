#!/usr/bin/python3
"""An .h5ad file to a training loop: korvex against AnnData, side by side in
one run, each ratio within the run.

    PYTHONPATH=python KORVEX_LIBRARY=build/libkorvex.so \\
        /usr/bin/python3 bench/cells.py [--small] [--reps 3] [--dir /tmp] \\
        [--out bench/results/cells.md]

The matrix (full: 500k x 20k, 20M float32 entries; --small: 50k x 20k, 200k
entries) is written once by anndata (AnnData(X).write_h5ad, no compression)
under --dir and reused by later runs. Figures:
  convert   korvex.load_h5ad(path, out="x.kvx") against anndata.read_h5ad(path)
            (in memory), each in a fresh process, best of --reps, the file in
            the page cache; korvex.load_h5ad(path) in memory beside them;
  memory    the conversion's peak resident memory beyond what the process held
            before it (VmHWM, reset at the start), while streaming and for the
            whole call, and what the returned mapped matrix holds after it
            (VmRSS), against the matrix's bytes (its three
            arrays as the .h5ad holds them), at the full size and at a tenth
            of it;
  epoch     a shuffled pass of 1024-row batches: korvex.batches(F, 1024,
            shuffle=True, to="torch") over the mapped .kvx against backed
            AnnData (anndata.read_h5ad(path, backed="r"), adata.X[sorted
            batch]), in rows per second (--small: the first 40 batches).
Targets: epoch >= 30x backed AnnData's rows/s; conversion <= 1.5x
anndata.read_h5ad's time.
"""
import argparse
import os
import platform
import subprocess
import sys
import tempfile
import time
import warnings

import numpy as np
import scipy.sparse as sp

HERE = os.path.dirname(os.path.abspath(__file__))
PYDIR = os.path.join(os.path.dirname(HERE), "python")
sys.path.insert(0, PYDIR)

import korvex  # noqa: E402

FULL = (500_000, 20_000, 20_000_000)
SMALL = (50_000, 20_000, 200_000)
BATCH = 1024
TARGET_EPOCH, TARGET_CONVERT = 30.0, 1.5

PROBE = r"""
import sys, time, warnings
warnings.simplefilter("ignore")

def status(field):  # kB of this process's memory (the mapping made at exec, not the parent's)
    with open("/proc/self/status") as f:
        return next(int(l.split()[1]) for l in f if l.startswith(field + ":")) * 1024

what, path, out = sys.argv[1:4]
if what == "anndata":
    import anndata
    t = time.perf_counter(); a = anndata.read_h5ad(path); t = time.perf_counter() - t
    stream = peak = held = 0
else:
    import h5py, korvex
    from korvex import storage
    opened, stream = storage.load, 0

    def load(*args):  # the streaming is over when load_h5ad opens its result
        global stream
        stream = status("VmHWM") - before
        return opened(*args)

    storage.load = load
    before = status("VmRSS")
    try:  # restart the high-water mark from here
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
    except OSError:
        pass
    t = time.perf_counter()
    M = korvex.load_h5ad(path, out=out if what == "convert" else None)
    t = time.perf_counter() - t
    peak, held = status("VmHWM") - before, status("VmRSS") - before
print(t, stream, peak, held)
"""


def probe(what, path, out=""):
    env = dict(os.environ, PYTHONPATH=PYDIR, KORVEX_LIBRARY=korvex.library_path)
    res = subprocess.run([sys.executable, "-c", PROBE, what, str(path), str(out)], env=env,
                         capture_output=True, text=True, check=True)
    t, *memory = res.stdout.split()
    return float(t), [int(m) for m in memory]


def random_csr(rows, cols, nnz, seed=1):
    """rows x cols with exactly nnz uniformly placed float32 entries, each row
    sorted without repeats (as single-cell matrices are)."""
    rng = np.random.default_rng(seed)
    key = np.unique(rng.integers(0, rows * cols, nnz + nnz // 100 + 16, dtype=np.int64))
    while len(key) < nnz:  # (not for these densities)
        key = np.union1d(key, rng.integers(0, rows * cols, nnz - len(key), dtype=np.int64))
    key = key[np.sort(rng.choice(len(key), nnz, replace=False))]
    indptr = np.zeros(rows + 1, np.int64)
    np.cumsum(np.bincount(key // cols, minlength=rows), out=indptr[1:])
    return sp.csr_matrix((rng.random(nnz, dtype=np.float32), (key % cols).astype(np.int32),
                          indptr.astype(np.int32)), shape=(rows, cols))


def h5ad_file(directory, size):
    import anndata
    rows, cols, nnz = size
    path = os.path.join(directory, f"korvex-cells-v2-{rows}x{cols}-{nnz}.h5ad")
    if not os.path.exists(path):
        print(f"== writing {path} with anndata", flush=True)
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            tmp = path + ".part"
            anndata.AnnData(X=random_csr(rows, cols, nnz), dtype=np.float32).write_h5ad(tmp)
            os.replace(tmp, path)
    with open(path, "rb") as f:  # into the page cache
        while f.read(1 << 24):
            pass
    return path


def matrix_bytes(path):
    import h5py
    with h5py.File(path, "r") as f:
        return sum(f["X"][k].dtype.itemsize * len(f["X"][k]) for k in ("data", "indices",
                                                                          "indptr"))


def convert(path, kvx, reps):
    best = {"convert": float("inf"), "anndata": float("inf"), "memory": float("inf")}
    memory = [0, 0, 0]  # streaming, whole call, held after it
    for _ in range(reps):
        for what in best:
            t, m = probe(what, path, kvx)
            best[what] = min(best[what], t)
            if what == "convert":
                memory = [max(a, b) for a, b in zip(memory, m)]
    return best, memory


def epoch_korvex(F, limit):
    F[:1].to_torch()  # torch imported and warmed up before the clock starts
    perm_rows = 0
    t = time.perf_counter()
    for i, batch in enumerate(korvex.batches(F, BATCH, shuffle=True, seed=0, to="torch")):
        perm_rows += batch.shape[0]
        if limit and i + 1 >= limit:
            break
    return perm_rows / (time.perf_counter() - t)


def epoch_anndata(path, limit):
    import anndata
    adata = anndata.read_h5ad(path, backed="r")
    perm = np.random.default_rng(0).permutation(adata.n_obs)
    starts = range(0, len(perm), BATCH)
    if limit:
        starts = starts[:limit]
    rows = 0
    t = time.perf_counter()
    for a in starts:
        rows += adata.X[np.sort(perm[a:a + BATCH])].shape[0]
    t = time.perf_counter() - t
    adata.file.close()
    return rows / t


def main():
    p = argparse.ArgumentParser(description=__doc__,
                                formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--small", action="store_true")
    p.add_argument("--reps", type=int, default=3)
    p.add_argument("--dir", default=tempfile.gettempdir())
    p.add_argument("--out")
    p.add_argument("--size", type=int, nargs=3, metavar=("ROWS", "COLS", "ENTRIES"),
                   help="another matrix size (and a full epoch)")
    args = p.parse_args()
    warnings.simplefilter("ignore")
    size = tuple(args.size) if args.size else SMALL if args.small else FULL
    tenth = (size[0] // 10, size[1], size[2] // 10)
    limit = 40 if args.small and not args.size else 0
    path = h5ad_file(args.dir, size)
    kvx = path[:-5] + ".kvx"

    print("== conversion: load_h5ad(out=) against anndata.read_h5ad", flush=True)
    best, peak = convert(path, kvx, args.reps)
    small_path = h5ad_file(args.dir, tenth)
    _, small_peak = convert(small_path, small_path[:-5] + ".kvx", 1)
    os.unlink(small_path[:-5] + ".kvx")
    mbytes, small_mbytes = matrix_bytes(path), matrix_bytes(small_path)

    print("== epoch: korvex.batches(to='torch') against backed AnnData", flush=True)
    F = korvex.load(kvx)
    with open(kvx, "rb") as f:
        while f.read(1 << 24):
            pass
    k_rate = epoch_korvex(F, limit)
    a_rate = epoch_anndata(path, limit)
    F.free()
    os.unlink(kvx)

    epoch_ratio = k_rate / a_rate
    convert_ratio = best["convert"] / best["anndata"]
    mib = 1 << 20
    lines = [
        f"# An .h5ad file to a training loop ({'small' if size == SMALL else 'full' if size == FULL else 'other'} run)",
        "",
        f"{size[0]:,} x {size[1]:,}, {size[2]:,} float32 entries written by anndata "
        f"{__import__('anndata').__version__} (no compression); torch "
        f"{__import__('torch').__version__}; {platform.processor() or platform.machine()}, "
        f"{os.cpu_count()} CPUs, load {os.getloadavg()[0]:.2f}. Conversion times are the best "
        f"of {args.reps} fresh processes, the file in the page cache.",
        "",
        "| figure | korvex | AnnData | ratio | target |",
        "|---|---:|---:|---:|---|",
        f"| shuffled epoch, {BATCH}-row batches as torch tensors (rows/s"
        f"{', first 40 batches' if limit else ''}) | {k_rate:,.0f} | {a_rate:,.0f} "
        f"| {epoch_ratio:.1f}x | >= {TARGET_EPOCH:.0f}x "
        f"{'met' if epoch_ratio >= TARGET_EPOCH else 'MISSED'} |",
        f"| load_h5ad(out=.kvx) vs read_h5ad in memory (s) | {best['convert']:.3f} | "
        f"{best['anndata']:.3f} | {convert_ratio:.2f}x | <= {TARGET_CONVERT}x "
        f"{'met' if convert_ratio <= TARGET_CONVERT else 'MISSED'} |",
        f"| load_h5ad in memory vs read_h5ad in memory (s) | {best['memory']:.3f} | "
        f"{best['anndata']:.3f} | {best['memory'] / best['anndata']:.2f}x | |",
        "",
        "Memory of load_h5ad(path, out=...) beyond what the process held before it: the "
        "peak while the matrix is streamed into the file, the peak of the whole call, and "
        "what the returned mapped matrix holds after it (its per-row descriptors and the "
        "pages of the row pointers: O(rows), as for korvex.load).",
        "",
        "| matrix | its bytes in the .h5ad | streaming peak | share | whole call | held by "
        "the result |",
        "|---|---:|---:|---:|---:|---:|",
    ] + [
        f"| {s[0]:,} x {s[1]:,}, {s[2]:,} entries | {b / mib:.1f} MiB | {st / mib:.1f} MiB | "
        f"{st / b:.1%} | {pk / mib:.1f} MiB | {h / mib:.1f} MiB |"
        for s, b, (st, pk, h) in ((size, mbytes, peak), (tenth, small_mbytes, small_peak))
    ] + [
        "",
    ]
    text = "\n".join(lines)
    print(text)
    if args.out:
        with open(args.out, "w") as f:
            f.write(text)


if __name__ == "__main__":
    main()
