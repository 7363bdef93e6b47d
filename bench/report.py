#!/usr/bin/python3
"""Merges the benchmark results of scripts/bench.sh into bench/results/latest.md
(tables) and bench/results/latest.png (time ratios, log scale).

    report.py --mode quick|full --results bench/results [--elapsed S] [--load "a b c"]

Reads <results>/<mode>.harness.json, <mode>.python.json and <mode>.pages.json
(one JSON object per line). When the other mode's results are there too, adds
the comparison of the operations that should not grow with the entry count.
"""
import argparse
import datetime
import json
import os
import platform
import subprocess

OPS = [
    ("copy_import", "copy import"),
    ("view_import", "view import"),
    ("clone", "clone"),
    ("validate", "validate"),
    ("sort", "sort (every 7th row reversed)"),
    ("nnz", "nnz count"),
    ("csr_to_csc", "CSR -> CSC"),
    ("coo_import", "coordinate import"),
    ("coo_export", "coordinate export"),
    ("transpose", "transpose"),
    ("outer_slice", "outer range slice (half the rows)"),
    ("outer_mask", "outer mask (half the rows)"),
    ("inner_slice", "inner range slice (half the cols)"),
    ("inner_mask", "inner mask (half the cols)"),
    ("vstack", "vstack along (two row halves)"),
    ("hstack", "hstack across (two column halves)"),
]
# Operations whose output holds about half the entries: their floor copies half.
HALF = {"outer_slice", "outer_mask", "inner_slice", "inner_mask"}
# Whole-matrix outputs measured against the copy floor (the others share storage
# or write no matrix).
FLOORED = {"copy_import", "csr_to_csc", "coo_import", "transpose", "inner_slice", "inner_mask", "hstack"}

# (label, op, against, goal)
TARGETS = [
    ("copy import vs copy floor", "copy_import", "floor", 1.3),
    ("transpose vs copy floor", "transpose", "floor", 1.3),
    ("CSR->CSC vs scipy", "csr_to_csc", "scipy", 0.25),
    ("CSR->CSC vs GraphBLAS", "csr_to_csc", "graphblas", 0.7),
    ("coordinate import vs scipy", "coo_import", "scipy", 0.25),
    ("coordinate import vs GraphBLAS", "coo_import", "graphblas", 0.7),
    ("inner slice vs scipy", "inner_slice", "scipy", 0.25),
    ("inner mask vs scipy", "inner_mask", "scipy", 0.25),
    ("hstack vs scipy", "hstack", "scipy", 0.25),
    ("outer slice vs scipy", "outer_slice", "scipy", 0.01),
    ("outer mask vs scipy", "outer_mask", "scipy", 0.01),
    ("vstack vs scipy", "vstack", "scipy", 0.01),
    ("clone vs scipy", "clone", "scipy", 0.01),
    ("view import vs scipy", "view_import", "scipy", 0.01),
    ("validate vs scipy", "validate", "scipy", 0.5),
    ("sort vs scipy", "sort", "scipy", 0.33),
    ("coordinate export vs scipy", "coo_export", "scipy", 0.5),
]
# Reshaping operations against another korvex operation of the same run (C++
# times): (label, op, against, goal).
RESHAPE_TARGETS = [
    ("CSR->CSC vs copy import", "csr_to_csc", "copy_import", 3.0),
    ("coordinate import (shuffled) vs copy import", "coo_import", "copy_import", 5.0),
    ("inner mask vs inner range slice (half each)", "inner_mask", "inner_slice", 1.3),
    ("hstack across vs copy import", "hstack", "copy_import", 1.3),
]
# Workloads that only tell per-row from per-entry costs (korvex and the floor).
DIAG = ["uniform-long"]
DIAG_OPS = ["copy_import", "transpose", "csr_to_csc", "view_import", "clone", "outer_slice", "vstack"]
NNZ_FREE = ["outer_slice", "outer_mask", "vstack", "clone", "view_import"]


def load(path):
    if not os.path.exists(path):
        return []
    with open(path) as f:
        return [json.loads(line) for line in f if line.strip()]


class Results:
    def __init__(self, recs):
        self.t = {}
        self.notes = {}
        self.meta = {}
        for r in recs:
            self.t[(r["workload"], r["threads"], r["op"], r["lib"])] = r["median"]
            if r.get("note"):
                self.notes[(r["op"], r["lib"])] = r["note"]
            self.meta[r["workload"]] = (r["rows"], r["nnz"])

    def workloads(self):
        return [w for w in ("uniform", "rmat") if w in self.meta] + sorted(
            w for w in self.meta if w not in ("uniform", "rmat") and w not in DIAG)

    def diagnostics(self):
        return [w for w in DIAG if w in self.meta]

    def threads(self):
        return sorted({k[1] for k in self.t if k[3] == "korvex"})

    def get(self, w, t, op, lib):
        return self.t.get((w, t, op, lib))

    def any_threads(self, w, op, lib, prefer):
        """The time at `prefer` threads, else at any thread count (and which)."""
        v = self.get(w, prefer, op, lib)
        if v is not None:
            return v, prefer
        for (ww, tt, oo, ll), v in sorted(self.t.items()):
            if (ww, oo, ll) == (w, op, lib):
                return v, tt
        return None, None

    def floor(self, w, t, op, kind="floor_huge"):
        return self.get(w, t, "half" if op in HALF else "full", kind)

    def korvex_vs_scipy(self, w, t, op):
        """(korvex time, scipy time, how): the python-side pair of the same run
        when there is one at t threads, else the C++ time over the scipy time."""
        s, _ = self.any_threads(w, op, "scipy", t)
        kp = self.get(w, t, op, "korvex-py")
        if kp is not None:
            return kp, s, "py"
        return self.get(w, t, op, "korvex"), s, "cpp"

    def ratio(self, w, t, op, against):
        if against == "floor":
            k, b = self.get(w, t, op, "korvex"), self.floor(w, t, op)
        elif against == "scipy":
            k, b, _ = self.korvex_vs_scipy(w, t, op)
        elif against == "graphblas":
            k, b = self.get(w, t, op, "korvex"), self.get(w, t, op, "graphblas")
        else:  # Eigen: single-threaded, one time for every thread count
            k, (b, _) = self.get(w, t, op, "korvex"), self.any_threads(w, op, against, t)
        if k is None or not b:
            return None
        return k / b


def ms(v):
    if v is None:
        return "—"
    v *= 1e3
    if v < 0.01:
        return f"{v:.4f}"
    if v < 10:
        return f"{v:.2f}"
    return f"{v:.1f}"


def rt(v):
    if v is None:
        return "—"
    if v < 0.01:
        return f"{v:.4f}"
    if v < 10:
        return f"{v:.2f}"
    return f"{v:.0f}"


def machine():
    cpu = "unknown CPU"
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    cpu = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    thp = "?"
    try:
        with open("/sys/kernel/mm/transparent_hugepage/enabled") as f:
            thp = f.read().strip()
    except OSError:
        pass
    mem = "?"
    try:
        with open("/proc/meminfo") as f:
            mem = f"{int(f.readline().split()[1]) / 2**20:.0f} GiB"
    except (OSError, ValueError):
        pass
    return f"{cpu}, {os.cpu_count()} CPUs, {mem}, Linux {platform.release()}, THP `{thp}`"


def git_rev(root):
    try:
        return subprocess.run(["git", "-C", root, "rev-parse", "--short", "HEAD"], capture_output=True,
                              text=True, check=True).stdout.strip()
    except (OSError, subprocess.CalledProcessError):
        return "?"


def table(res, w, t, lines):
    lines.append(f"### {w}, {t} thread{'s' if t > 1 else ''}")
    lines.append("")
    lines.append("| operation | korvex | korvex (py) | scipy | Eigen | GraphBLAS | floor huge / fresh / warm |"
                 " k/scipy | k/Eigen | k/GraphBLAS | k/floor |")
    lines.append("|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|")
    flags = set()
    for op, label in OPS:
        k = res.get(w, t, op, "korvex")
        kp = res.get(w, t, op, "korvex-py")
        s, _ = res.any_threads(w, op, "scipy", t)
        e, et = res.any_threads(w, op, "eigen", t)
        g = res.get(w, t, op, "graphblas")
        fl = "—"
        if op in FLOORED:
            fl = " / ".join(ms(res.floor(w, t, op, kind)) for kind in ("floor_huge", "floor_fresh", "floor_warm"))
        kk, ss, how = res.korvex_vs_scipy(w, t, op)
        rs = rt(kk / ss) if kk is not None and ss else "—"
        if how == "cpp" and rs != "—":
            rs += "†"
            flags.add("†")
        es = ms(e)
        if e is not None and et != t:
            es += "‡"
            flags.add("‡")
        re_ = rt(k / e) if k is not None and e else "—"
        rg = rt(k / g) if k is not None and g else "—"
        rf = rt(res.ratio(w, t, op, "floor")) if op in FLOORED else "—"
        lines.append(f"| {label} | {ms(k)} | {ms(kp)} | {ms(s)} | {es} | {ms(g)} | {fl} | {rs} | {re_} | {rg} | {rf} |")
    lines.append("")
    if "†" in flags:
        lines.append("† korvex from the C++ harness at this thread count over scipy (no python-side run at it).")
    if "‡" in flags:
        lines.append("‡ Eigen's sparse kernels are single-threaded: its 1-thread time.")
    lines.append("")


def chart(res, path, mode):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    wls = res.workloads()
    t = max(res.threads()) if res.threads() else 1
    LO, HI = 1e-3, 1e3
    fig, axes = plt.subplots(len(wls), 1, figsize=(14, 4.8 * len(wls)), squeeze=False)
    series = [("scipy", "korvex / scipy", "#1f77b4"), ("graphblas", "korvex / GraphBLAS", "#ff7f0e"),
              ("eigen", "korvex / Eigen", "#2ca02c"), ("floor", "korvex / copy floor (huge pages)", "#7f7f7f")]
    for ax, w in zip(axes[:, 0], wls):
        x = range(len(OPS))
        width = 0.2
        for j, (against, label, color) in enumerate(series):
            vals = []
            for op, _ in OPS:
                v = res.ratio(w, t, op, against) if (against != "floor" or op in FLOORED) else None
                vals.append(v if v and v > 0 else float("nan"))
            xs = [i + (j - 1.5) * width for i in x]
            ax.bar(xs, [min(v, HI) for v in vals], width, label=label, color=color)
            for xi, v in zip(xs, vals):
                if v == v and v > HI:  # clipped (a zero-copy Map or pack against a real import)
                    ax.text(xi, HI, f"{v:.0e}", rotation=90, ha="center", va="top", fontsize=7, color="white")
        ax.axhline(1.0, color="black", linewidth=0.8)
        ax.set_yscale("log")
        ax.set_ylim(LO, HI)
        ax.set_xticks(list(x))
        ax.set_xticklabels([op for op, _ in OPS], rotation=30, ha="right")
        rows, nnz = res.meta[w]
        ax.set_title(f"{w}: {rows} x {rows}, {nnz} entries, {t} threads ({mode}); below 1 = korvex faster")
        ax.set_ylabel("time ratio (log)")
        ax.set_axisbelow(True)
        ax.grid(axis="y", which="both", alpha=0.3)
        ax.legend(fontsize=8, ncol=4)
    fig.tight_layout()
    fig.savefig(path, dpi=110)


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--mode", required=True)
    p.add_argument("--results", required=True)
    p.add_argument("--elapsed", default="?")
    p.add_argument("--load", default="?")
    a = p.parse_args()
    d = a.results
    recs = load(os.path.join(d, f"{a.mode}.harness.json")) + load(os.path.join(d, f"{a.mode}.python.json"))
    res = Results(recs)
    pages = load(os.path.join(d, f"{a.mode}.pages.json"))
    other_mode = "full" if a.mode == "quick" else "quick"
    other = Results(load(os.path.join(d, f"{other_mode}.harness.json")) +
                    load(os.path.join(d, f"{other_mode}.python.json")))
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

    L = []
    L.append(f"# korvex benchmarks ({a.mode})")
    L.append("")
    L.append(f"Made by `bash scripts/bench.sh {a.mode}` on {datetime.date.today().isoformat()} "
             f"(commit {git_rev(root)}), in {a.elapsed} s; {machine()}. Load average at the start: "
             f"{a.load}. The machine is shared, so single figures can be off by a factor of two; "
             "compare ratios within one run.")
    L.append("")
    L.append("Workloads (CSR, f64 values, int64 indices; generated by `korvex_bench gen` from fixed seeds): "
             "`uniform`, every generated entry at a uniform random (row, column); `rmat`, R-MAT with "
             "a=0.57, b=c=0.19, d=0.05 (Graph500 parameters, vertex labels randomly permuted, no noise). "
             "Repeated coordinates are summed, so the entry count is a little under the generated count. "
             "Rows of every matrix are sorted. Coordinate import reads the entries in a random order.")
    L.append("")
    L.append("Times are medians in milliseconds of repeated runs of the operation alone (inputs prepared "
             "and results released outside the timed region). `korvex` is the C ABI called from C++ at "
             "the table's thread count (oneTBB `global_control`); `korvex (py)` the same calls through "
             "ctypes from the python process that times scipy, pinned to that many CPUs. `k/scipy` "
             "divides those two figures of the same run. GraphBLAS runs with the same number of OpenMP "
             "threads; Eigen's sparse kernels are single-threaded. The copy floor copies the output's "
             "values and indices (the whole matrix, or half for the half slices) with the same thread "
             "count into a fresh 2 MiB-aligned huge-page mapping (`huge`, used for `k/floor`), into "
             "fresh malloc'ed 4 KiB pages (`fresh`) and into memory already touched (`warm`). "
             "The python side alternates korvex and scipy run by run, so that the machine's load hits "
             "both alike. Halves: rows or columns [n/4, 3n/4); masks select each row or column with "
             "probability 1/2; stacking joins [0, n/2) and [n/2, n).")
    L.append("")

    # Targets.
    wls = res.workloads()
    ths = res.threads()
    if wls and ths:
        L.append("## Targets")
        L.append("")
        head = " | ".join(f"{w} T={t}" for w in wls for t in ths)
        L.append(f"| ratio | goal | {head} | met |")
        L.append("|---|---:|" + "---:|" * (len(wls) * len(ths)) + "---|")
        for label, op, against, goal in TARGETS:
            vals = [res.ratio(w, t, op, against) for w in wls for t in ths]
            got = [v for v in vals if v is not None]
            met = "—" if not got else ("yes" if all(v <= goal for v in got) else
                                       ("no" if all(v > goal for v in got) else "partly"))
            L.append(f"| {label} | ≤ {goal} | " + " | ".join(rt(v) for v in vals) + f" | {met} |")
        L.append("")
        L.append("Ratios against scipy use the python-side pair of the same run where there is one at that "
                 "thread count (else the C++ korvex time, see the tables). Floor ratios use the huge-page "
                 "floor; the tables also give the 4 KiB-page and warm floors.")
        L.append("")
        L.append("Reshaping operations against a korvex operation of the same run that writes as many "
                 "entries (C++ times, medians):")
        L.append("")
        L.append(f"| ratio | goal | {head} | met |")
        L.append("|---|---:|" + "---:|" * (len(wls) * len(ths)) + "---|")
        for label, op, against, goal in RESHAPE_TARGETS:
            vals = []
            for w in wls:
                for t in ths:
                    k, b = res.get(w, t, op, "korvex"), res.get(w, t, against, "korvex")
                    vals.append(k / b if k and b else None)
            # The goal is set on the uniform matrix at 2 threads.
            key = [v for (w, t), v in zip([(w, t) for w in wls for t in ths], vals)
                   if w == "uniform" and t == 2 and v is not None]
            met = "—" if not key else ("yes" if key[0] <= goal else "no")
            L.append(f"| {label} | ≤ {goal} | " + " | ".join(rt(v) for v in vals) + f" | {met} (uniform, T=2) |")
        L.append("")

        # Growth with the entry count.
        if other.meta:
            small, big = (res, other) if a.mode == "quick" else (other, res)
            L.append("## Growth from the quick to the full size (korvex, C++)")
            L.append("")
            L.append("Rows double and entries quadruple from quick to full; an operation that only moves "
                     "span descriptors should grow with the rows (x2), not the entries (x4).")
            L.append("")
            L.append("| operation | workload | T | quick ms | full ms | full / quick |")
            L.append("|---|---|---:|---:|---:|---:|")
            for op in NNZ_FREE:
                for w in wls:
                    for t in ths:
                        q, f = small.get(w, t, op, "korvex"), big.get(w, t, op, "korvex")
                        if q and f:
                            L.append(f"| {op} | {w} | {t} | {ms(q)} | {ms(f)} | {f / q:.2f} |")
            L.append("")

    L.append("## Times")
    L.append("")
    for w in wls:
        rows, nnz = res.meta[w]
        L.append(f"`{w}`: {rows} x {rows}, {nnz} entries.")
        L.append("")
        for t in ths:
            table(res, w, t, L)

    for w in res.diagnostics():
        rows, nnz = res.meta[w]
        L.append("## Per-row against per-entry cost")
        L.append("")
        L.append(f"`{w}`: uniform, {rows} x {rows}, {nnz} entries ({nnz / rows:.0f} per row), next to `uniform` "
                 "with about as many entries in 64 times as many rows. Every row costs two 32-byte span "
                 "descriptors (and, where spans are shared, two reference-count updates) whatever its "
                 "length.")
        L.append("")
        L.append("| operation | T | korvex ms (long rows) | k/floor (long rows) | korvex ms (uniform) | "
                 "k/floor (uniform) |")
        L.append("|---|---:|---:|---:|---:|---:|")
        for op in DIAG_OPS:
            for t in ths:
                kl = res.get(w, t, op, "korvex")
                if kl is None:
                    continue
                ku = res.get("uniform", t, op, "korvex")
                fl = rt(res.ratio(w, t, op, "floor")) if op in FLOORED else "—"
                fu = rt(res.ratio("uniform", t, op, "floor")) if op in FLOORED else "—"
                L.append(f"| {op} | {t} | {ms(kl)} | {fl} | {ms(ku)} | {fu} |")
        L.append("")

    if pages:
        L.append("## Data-block allocation: huge pages against 4 KiB pages")
        L.append("")
        L.append("`korvex::alloc_data_block` (from 1 MiB: a 2 MiB-aligned mapping with MADV_HUGEPAGE) "
                 "against `aligned_alloc` + `memset` on plain pages, single thread. `alloc_zero`: the "
                 "block ready and every page touched; `alloc_fill`: then filled with data as a copy "
                 "import does.")
        L.append("")
        L.append("| block | step | huge pages ms | 4 KiB pages ms | 4 KiB / huge |")
        L.append("|---:|---|---:|---:|---:|")
        by = {(p["bytes"], p["op"], p["lib"]): p["median"] for p in pages}
        for b in sorted({p["bytes"] for p in pages}):
            for op in ("alloc_zero", "alloc_fill"):
                h, pl = by.get((b, op, "huge")), by.get((b, op, "plain4k"))
                r = f"{pl / h:.1f}" if h and pl else "—"
                L.append(f"| {b / 2**20:.0f} MiB | {op} | {ms(h)} | {ms(pl)} | {r} |")
        L.append("")

    notes = sorted(res.notes.items())
    if notes:
        L.append("## What the other libraries run")
        L.append("")
        for (op, lib), note in notes:
            L.append(f"- {lib}, {op}: {note}")
        L.append("")

    with open(os.path.join(d, "latest.md"), "w") as f:
        f.write("\n".join(L))
    if wls:
        chart(res, os.path.join(d, "latest.png"), a.mode)


if __name__ == "__main__":
    main()
