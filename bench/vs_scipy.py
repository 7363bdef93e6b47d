#!/usr/bin/python3
"""korvex (through ctypes) and scipy.sparse side by side, on the same arrays, in
the same process.

    vs_scipy.py --lib build-bench/libkorvex.so --data PREFIX --workload NAME
                --out FILE [--threads T] [--libs korvex,scipy] [--reps 7]
                [--min-reps 3] [--budget 2] [--warmup 1] [--ops op1,op2]

PREFIX names the files `korvex_bench gen` writes. --threads T pins the process
to its first T CPUs before the library starts its thread pool (which sizes
itself from the CPUs the process may use); scipy runs on one thread anyway.
Appends one JSON object per (operation, library) to FILE, as the C++ harness
does; the library names are "korvex-py" and "scipy".

The library is called directly through ctypes (no wrapper overhead beyond the
call itself), with the pointers of the numpy arrays prepared beforehand.
Each time is the median of repeated runs after --warmup untimed ones, korvex
and scipy alternating run by run so that a change in the machine's load hits
both alike; inputs are prepared and results dropped outside the timed region.
"""
import argparse
import ctypes
import json
import os
import sys
import time


def parse_args():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--lib", required=True)
    p.add_argument("--data", required=True)
    p.add_argument("--workload", required=True)
    p.add_argument("--out", required=True)
    p.add_argument("--threads", type=int, default=0)
    p.add_argument("--libs", default="korvex,scipy")
    p.add_argument("--reps", type=int, default=7)
    p.add_argument("--min-reps", type=int, default=3)
    p.add_argument("--budget", type=float, default=2.0)
    p.add_argument("--warmup", type=int, default=1)
    p.add_argument("--ops", default="", help="comma-separated operations to run (default: all)")
    return p.parse_args()


args = parse_args()
if args.threads > 0:
    cpus = sorted(os.sched_getaffinity(0))[: args.threads]
    os.sched_setaffinity(0, cpus)

import numpy as np  # noqa: E402
import scipy.sparse as sp  # noqa: E402

u8, u64, i32, vp = ctypes.c_uint8, ctypes.c_uint64, ctypes.c_int32, ctypes.c_void_p


def load_library(path):
    lib = ctypes.CDLL(path)
    sig = {
        "csr_f64_from_scipy_copy": (i32, [u64, u64, vp, u64, vp, u64, vp, u64, vp]),
        "csr_f64_from_scipy_view": (vp, [u64, u64, vp, vp, vp]),
        "csr_f64_clone": (vp, [vp]),
        "csr_f64_free": (None, [vp]),
        "csc_f64_free": (None, [vp]),
        "csr_f64_validate": (u8, [vp]),
        "csr_f64_ensure_sorted_checked": (u8, [vp]),
        "csr_f64_invalidate_nnz": (None, [vp]),
        "csr_f64_nnz": (u64, [vp]),
        "csc_f64_nnz": (u64, [vp]),
        "csc_f64_from_csr": (i32, [vp, vp]),
        "csr_f64_from_coo": (i32, [u64, u64, vp, vp, vp, u64, vp]),
        "csr_f64_to_coo": (i32, [vp, vp, vp, vp, u64]),
        "csc_f64_transpose_from_csr": (i32, [vp, vp]),
        "csr_f64_slice_rows": (i32, [vp, u64, u64, vp]),
        "csr_f64_slice_cols": (i32, [vp, u64, u64, vp]),
        "csr_f64_slice_rows_mask": (i32, [vp, vp, u64, vp]),
        "csr_f64_slice_cols_mask": (i32, [vp, vp, u64, vp]),
        "csr_f64_vstack": (i32, [vp, u64, vp]),
        "csr_f64_hstack": (i32, [vp, u64, vp]),
    }
    for name, (res, argt) in sig.items():
        f = getattr(lib, name)
        f.restype, f.argtypes = res, argt
    return lib


def load_workload(prefix):
    with open(prefix + ".meta") as f:
        rows, cols, nnz = (int(x) for x in f.read().split()[:3])

    def arr(ext, dtype, n):
        a = np.fromfile(prefix + "." + ext, dtype=dtype)
        assert a.size == n, (ext, a.size, n)
        return a

    w = dict(rows=rows, cols=cols, nnz=nnz)
    w["indptr"] = arr("indptr", np.int64, rows + 1)
    w["indices"] = arr("indices", np.int64, nnz)
    w["data"] = arr("data", np.float64, nnz)
    w["coo_row"] = arr("coo_row", np.int64, nnz)
    w["coo_col"] = arr("coo_col", np.int64, nnz)
    w["coo_val"] = arr("coo_val", np.float64, nnz)
    w["row_mask"] = arr("row_mask", np.uint8, rows)
    w["col_mask"] = arr("col_mask", np.uint8, cols)
    # Every 7th row (0, 7, 14, ...) reversed, as the C++ harness makes it.
    indptr = w["indptr"]
    row_of = np.repeat(np.arange(rows, dtype=np.int64), np.diff(indptr))
    src = np.arange(nnz, dtype=np.int64)
    sel = row_of % 7 == 0
    rs = row_of[sel]
    src[sel] = indptr[rs] + indptr[rs + 1] - 1 - src[sel]
    w["rev_indices"] = w["indices"][src]
    w["rev_data"] = w["data"][src]
    return w


def measure(cases):
    """Times several implementations of one operation, interleaved round by
    round so that a change in the machine's load hits them alike. cases maps
    a library name to (setup, op, teardown). After the untimed warm-up rounds,
    rounds go on until every library has min_reps samples and the budget is
    spent, or reps samples are in. Returns {lib: (median, min, runs)}."""
    times = {lib: [] for lib in cases}
    start = time.perf_counter()
    rnd = 0
    while rnd < args.warmup + args.reps:
        for lib, (setup, op, teardown) in cases.items():
            setup()
            t0 = time.perf_counter()
            op()
            t = time.perf_counter() - t0
            teardown()
            if rnd >= args.warmup:
                times[lib].append(t)
        rnd += 1
        if rnd - args.warmup >= args.min_reps and time.perf_counter() - start > args.budget * len(cases):
            break
    out = {}
    for lib, ts in times.items():
        ts.sort()
        n = len(ts)
        out[lib] = (ts[n // 2] if n % 2 else 0.5 * (ts[n // 2 - 1] + ts[n // 2]), ts[0], n)
    return out


def nothing():
    pass


# Entry count of the last result each library built: the two must agree.
last_nnz = {}


def csr64(data, indices, indptr, shape):
    """A csr_matrix over these exact int64 arrays (the constructor would
    narrow the indices to int32 whenever they fit)."""
    m = sp.csr_matrix(shape, dtype=np.float64)
    m.data, m.indices, m.indptr = data, indices, indptr
    return m


class Emitter:
    def __init__(self, w):
        self.w = w
        self.out = open(args.out, "a")
        self.threads = args.threads if args.threads > 0 else len(os.sched_getaffinity(0))

    def emit(self, op, lib, stat, note=""):
        med, mn, runs = stat
        rec = dict(workload=args.workload, threads=self.threads, op=op, lib=lib, median=med, min=mn,
                   runs=runs, rows=self.w["rows"], nnz=self.w["nnz"], note=note)
        self.out.write(json.dumps(rec) + "\n")
        self.out.flush()
        print(f"  {op:<12} {lib:<10} T={self.threads} {med * 1e3:10.3f} ms ({runs} runs)", file=sys.stderr)


def ptr(a):
    return a.ctypes.data


def korvex_cases(w, cases, cleanup):
    """Adds korvex's (setup, op, teardown) per operation to cases[op]["korvex-py"]."""
    lib = load_library(args.lib)
    r, c, z = w["rows"], w["cols"], w["nnz"]
    r0, r1, c0, c1 = r // 4, r // 4 + r // 2, c // 4, c // 4 + c // 2
    data, indices, indptr = ptr(w["data"]), ptr(w["indices"]), ptr(w["indptr"])
    out = ctypes.c_void_p()
    slot = ctypes.byref(out)

    def check(st, what):
        if st != 0:
            raise RuntimeError(f"{what} -> {st}")

    def make(call, what):
        tmp = ctypes.c_void_p()
        check(call(ctypes.byref(tmp)), what)
        cleanup.append(lambda: lib.csr_f64_free(tmp))
        return tmp.value

    base = make(lambda s: lib.csr_f64_from_scipy_copy(r, c, data, z, indices, z, indptr, r + 1, s), "base")

    def release():
        if out.value:
            last_nnz["korvex-py"] = lib.csr_f64_nnz(out)
        lib.csr_f64_free(out)
        out.value = None

    def release_csc():
        if out.value:
            last_nnz["korvex-py"] = lib.csc_f64_nnz(out)
        lib.csc_f64_free(out)
        out.value = None

    def add(op, setup, fn, teardown):
        cases.setdefault(op, {})["korvex-py"] = (setup, fn, teardown)

    add("copy_import", nothing,
        lambda: check(lib.csr_f64_from_scipy_copy(r, c, data, z, indices, z, indptr, r + 1, slot), "copy"),
        release)

    def view():
        out.value = lib.csr_f64_from_scipy_view(r, c, data, indices, indptr)

    add("view_import", nothing, view, release)

    def clone():
        out.value = lib.csr_f64_clone(base)

    add("clone", nothing, clone, release)

    def validate():
        if not lib.csr_f64_validate(base):
            raise RuntimeError("validate said no")

    add("validate", nothing, validate, nothing)
    rdata, rindices = ptr(w["rev_data"]), ptr(w["rev_indices"])

    def sort_setup():
        check(lib.csr_f64_from_scipy_copy(r, c, rdata, z, rindices, z, indptr, r + 1, slot), "copy")

    def sort():
        if not lib.csr_f64_ensure_sorted_checked(out):
            raise RuntimeError("nothing sorted")

    add("sort", sort_setup, sort, release)
    add("nnz", lambda: lib.csr_f64_invalidate_nnz(base), lambda: lib.csr_f64_nnz(base), nothing)
    add("csr_to_csc", nothing, lambda: check(lib.csc_f64_from_csr(base, slot), "csc"), release_csc)
    cr, cc, cv = ptr(w["coo_row"]), ptr(w["coo_col"]), ptr(w["coo_val"])
    add("coo_import", nothing, lambda: check(lib.csr_f64_from_coo(r, c, cr, cc, cv, z, slot), "coo"), release)
    ro, co, vo = np.ones(z, np.int64), np.ones(z, np.int64), np.ones(z)
    add("coo_export", nothing, lambda: check(lib.csr_f64_to_coo(base, ptr(ro), ptr(co), ptr(vo), z), "to_coo"),
        nothing)
    add("transpose", nothing, lambda: check(lib.csc_f64_transpose_from_csr(base, slot), "t"), release_csc)
    add("outer_slice", nothing, lambda: check(lib.csr_f64_slice_rows(base, r0, r1, slot), "rows"), release)
    rm, cm = ptr(w["row_mask"]), ptr(w["col_mask"])
    add("outer_mask", nothing, lambda: check(lib.csr_f64_slice_rows_mask(base, rm, r, slot), "rmask"), release)
    add("inner_slice", nothing, lambda: check(lib.csr_f64_slice_cols(base, c0, c1, slot), "cols"), release)
    add("inner_mask", nothing, lambda: check(lib.csr_f64_slice_cols_mask(base, cm, c, slot), "cmask"), release)
    rows_parts = (ctypes.c_void_p * 2)(
        make(lambda s: lib.csr_f64_slice_rows(base, 0, r // 2, s), "top"),
        make(lambda s: lib.csr_f64_slice_rows(base, r // 2, r, s), "bottom"))
    add("vstack", nothing, lambda: check(lib.csr_f64_vstack(rows_parts, 2, slot), "vstack"), release)
    col_parts = (ctypes.c_void_p * 2)(
        make(lambda s: lib.csr_f64_slice_cols(base, 0, c // 2, s), "left"),
        make(lambda s: lib.csr_f64_slice_cols(base, c // 2, c, s), "right"))
    add("hstack", nothing, lambda: check(lib.csr_f64_hstack(col_parts, 2, slot), "hstack"), release)
    cleanup.append(lambda: (ro, co, vo))  # keeps the export arrays alive until the end


def scipy_cases(w, cases, notes):
    """Adds scipy's (setup, op, teardown) per operation to cases[op]["scipy"]."""
    r, c = w["rows"], w["cols"]
    shape = (r, c)
    r0, r1, c0, c1 = r // 4, r // 4 + r // 2, c // 4, c // 4 + c // 2
    data, indices, indptr = w["data"], w["indices"], w["indptr"]
    A = csr64(data, indices, indptr, shape)
    holder = []

    def drop():
        if holder and hasattr(holder[-1], "nnz"):
            last_nnz["scipy"] = holder[-1].nnz
        holder.clear()

    def add(op, setup, fn, note=""):
        cases.setdefault(op, {})["scipy"] = (setup, lambda: holder.append(fn()), drop)
        if note:
            notes[op] = note

    narrow = "constructor narrows the int64 indices to int32 (they fit)"
    add("copy_import", nothing, lambda: sp.csr_matrix((data, indices, indptr), shape=shape, copy=True), narrow)
    add("view_import", nothing, lambda: sp.csr_matrix((data, indices, indptr), shape=shape), narrow)
    add("clone", nothing, lambda: A.copy())

    def validate():
        if hasattr(A, "_has_sorted_indices"):
            del A._has_sorted_indices  # cached on first use
        A.check_format(full_check=True)
        if not A.has_sorted_indices:
            raise RuntimeError("unsorted")

    add("validate", nothing, validate, "check_format(full_check=True) + has_sorted_indices")
    pending = []

    def sort_setup():
        pending.append(csr64(w["rev_data"].copy(), w["rev_indices"].copy(), indptr, shape))

    def sort():
        m = pending.pop()
        m.sort_indices()
        return m

    add("sort", sort_setup, sort, "sort_indices (checks first)")
    add("nnz", nothing, lambda: A.getnnz(), "indptr[-1]")
    add("csr_to_csc", nothing, lambda: A.tocsc())
    cr, cc, cv = w["coo_row"], w["coo_col"], w["coo_val"]
    add("coo_import", nothing, lambda: sp.coo_matrix((cv, (cr, cc)), shape=shape).tocsr(),
        "coo_matrix(...).tocsr(), indices narrowed to int32")
    add("coo_export", nothing, lambda: A.tocoo(), "tocoo (allocates)")
    add("transpose", nothing, lambda: A.transpose(copy=True), "transpose(copy=True): CSC of A.T")
    add("outer_slice", nothing, lambda: A[r0:r1])
    rmask = w["row_mask"].astype(bool)
    cmask = w["col_mask"].astype(bool)
    add("outer_mask", nothing, lambda: A[rmask])
    add("inner_slice", nothing, lambda: A[:, c0:c1])
    add("inner_mask", nothing, lambda: A[:, cmask])
    top, bottom = A[: r // 2], A[r // 2:]
    add("vstack", nothing, lambda: sp.vstack([top, bottom], format="csr"))
    left, right = A[:, : c // 2], A[:, c // 2:]
    add("hstack", nothing, lambda: sp.hstack([left, right], format="csr"))


def main():
    w = load_workload(args.data)
    em = Emitter(w)
    print(f"{args.workload}: {w['rows']} x {w['cols']}, {w['nnz']} entries, python side, "
          f"{em.threads} CPU(s)", file=sys.stderr)
    libs = args.libs.split(",")
    cases, notes, cleanup = {}, {}, []
    if "korvex" in libs:
        korvex_cases(w, cases, cleanup)
    if "scipy" in libs:
        scipy_cases(w, cases, notes)
    only = [o for o in args.ops.split(",") if o]
    for op, impl in cases.items():
        if only and op not in only:
            continue
        last_nnz.clear()
        for lib, stat in measure(impl).items():
            em.emit(op, lib, stat, notes.get(op, "") if lib == "scipy" else "")
        if len(last_nnz) == 2 and len(set(last_nnz.values())) != 1:
            raise SystemExit(f"{op}: the results disagree in their entry counts: {last_nnz}")
    for f in reversed(cleanup):
        f()


if __name__ == "__main__":
    main()
