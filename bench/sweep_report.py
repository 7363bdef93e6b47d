#!/usr/bin/python3
"""The crossover table: korvex against scipy over the mean row length.

    sweep_report.py --results bench/results --data build-bench/data [--elapsed S] [--load "a b c"]

Reads <results>/sweep.python.json (vs_scipy.py on the `sweep-<L>` workloads, L
entries per row, 2 CPUs) and the sweep matrices' indptr files, and writes
<results>/crossover.md and <results>/crossover.png.

Memory per entry is counted from the layout, not measured: korvex holds two
32-byte span descriptors per row and, per non-empty row, a value segment and
an index segment each rounded up to 32 bytes; scipy holds 8-byte values,
indices and indptr of 4 bytes (as its constructor narrows them when they fit),
or 8 with int64 arrays.
"""
import argparse
import datetime
import json
import math
import os

from report import OPS, git_rev, load, machine, rt

LENGTHS = [1, 2, 5, 10, 50, 500]


def ratios(recs):
    """{(op, L): korvex-py median / scipy median} of the same run."""
    t = {}
    for r in recs:
        w = r["workload"]
        if not w.startswith("sweep-"):
            continue
        t[(r["op"], int(w.split("-", 1)[1]), r["lib"])] = r["median"]
    out = {}
    for (op, n, lib), v in t.items():
        if lib == "korvex-py":
            s = t.get((op, n, "scipy"))
            if s:
                out[(op, n)] = v / s
    return out


def crossover(rs):
    """(the smallest swept length from which korvex wins at every longer one,
    the length where the ratio crosses 1, interpolated in log-log between the
    two sweep points around it). None when korvex never wins at the longest."""
    pts = [(n, rs[n]) for n in LENGTHS if n in rs]
    if not pts or pts[-1][1] >= 1:
        return None, None
    k = len(pts) - 1
    while k > 0 and pts[k - 1][1] < 1:
        k -= 1
    if k == 0:
        return pts[0][0], None  # wins from the shortest rows swept
    (n0, r0), (n1, r1) = pts[k - 1], pts[k]
    f = math.log(r0) / (math.log(r0) - math.log(r1))
    return n1, math.exp(math.log(n0) + f * (math.log(n1) - math.log(n0)))


def memory(data_dir):
    """{L: (rows, entries, korvex bytes/entry, scipy int32 bytes/entry, scipy int64 bytes/entry)}."""
    import numpy as np

    out = {}
    for n in LENGTHS:
        prefix = os.path.join(data_dir, f"sweep-l{n}-e10000000-seed7")
        if not os.path.exists(prefix + ".meta"):
            continue
        with open(prefix + ".meta") as f:
            rows, _, nnz = (int(x) for x in f.read().split()[:3])
        lens = np.diff(np.fromfile(prefix + ".indptr", dtype=np.int64))
        seg = (lens * 8 + 31) // 32 * 32  # one segment, rounded to 32 bytes
        korvex = 64 * rows + 2 * int(seg.sum())
        narrow = 4 if nnz < 2**31 else 8
        out[n] = (rows, nnz, korvex / nnz, (8 + narrow) * 1.0 + narrow * (rows + 1) / nnz,
                  16.0 + 8 * (rows + 1) / nnz)
    return out


def chart(rat, mem, path):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, (ax, bx) = plt.subplots(1, 2, figsize=(13, 5.5), gridspec_kw={"width_ratios": [2, 1]})
    for op, label in OPS:
        xs = [n for n in LENGTHS if (op, n) in rat]
        if xs:
            ax.plot(xs, [rat[(op, n)] for n in xs], marker="o", label=label)
    ax.axhline(1, color="black", lw=1)
    ax.set_xscale("log")
    ax.set_yscale("log")
    ax.set_xticks(LENGTHS)
    ax.set_xticklabels([str(n) for n in LENGTHS])
    ax.set_xlabel("mean entries per row (10M entries)")
    ax.set_ylabel("korvex time / scipy time, 2 CPUs (below 1: korvex faster)")
    ax.set_title("korvex against scipy over the row length")
    ax.legend(fontsize=7, ncol=2)
    ax.grid(True, which="both", alpha=0.3)
    xs = sorted(mem)
    bx.plot(xs, [mem[n][2] for n in xs], marker="o", label="korvex")
    bx.plot(xs, [mem[n][3] for n in xs], marker="s", label="scipy (int32 indices)")
    bx.plot(xs, [mem[n][4] for n in xs], marker="^", label="scipy (int64 indices)")
    bx.set_xscale("log")
    bx.set_yscale("log")
    bx.set_xticks(LENGTHS)
    bx.set_xticklabels([str(n) for n in LENGTHS])
    bx.set_xlabel("mean entries per row")
    bx.set_ylabel("bytes per stored entry")
    bx.set_title("memory per entry")
    bx.legend(fontsize=8)
    bx.grid(True, which="both", alpha=0.3)
    fig.tight_layout()
    fig.savefig(path, dpi=110)


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--results", required=True)
    p.add_argument("--data", required=True)
    p.add_argument("--elapsed", default="?")
    p.add_argument("--load", default="?")
    a = p.parse_args()
    recs = load(os.path.join(a.results, "sweep.python.json"))
    rat = ratios(recs)
    mem = memory(a.data)
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    L = ["# korvex against scipy over the row length", ""]
    L.append(f"Made by `bash scripts/bench.sh sweep` (also the last step of `full`) on "
             f"{datetime.date.today().isoformat()} (commit {git_rev(root)}), in {a.elapsed} s; {machine()}. "
             f"Load average at the start of the run: {a.load}.")
    L.append("")
    L.append("Each matrix holds 10M generated entries at uniform random positions of a square matrix of "
             "10M / L rows (L = 1, 2, 5, 10, 50, 500; fixed seed, repeated coordinates summed), CSR, f64 "
             "values, int64 indices. `bench/vs_scipy.py` times korvex (through ctypes) and scipy.sparse "
             "in one process pinned to 2 CPUs, alternating run by run (medians of 3 to 5 runs after a "
             "warm-up); the operations are those of `latest.md`. scipy runs on one thread whatever the "
             "CPUs; korvex's pool uses both.")
    L.append("")
    L.append("## korvex time / scipy time, 2 CPUs")
    L.append("")
    L.append("Below 1 korvex is faster. *Wins from*: the shortest swept row length from which korvex is "
             "faster at every longer one; *crossover*: where the ratio crosses 1, interpolated (log-log) "
             "between the two sweep points around it.")
    L.append("")
    L.append("| operation | " + " | ".join(f"L={n}" for n in LENGTHS) + " | wins from | crossover |")
    L.append("|---|" + "---:|" * len(LENGTHS) + "---:|---:|")
    for op, label in OPS:
        rs = {n: rat[(op, n)] for n in LENGTHS if (op, n) in rat}
        if not rs:
            continue
        win, cross = crossover(rs)
        wtxt = "never (≤ 500)" if win is None else (f"{win}" if win != LENGTHS[0] or cross else "always (≥ 1)")
        ctxt = "—" if cross is None else f"≈ {cross:.1f}"
        L.append(f"| {label} | " + " | ".join(rt(rs.get(n)) for n in LENGTHS) + f" | {wtxt} | {ctxt} |")
    L.append("")
    if mem:
        L.append("## Memory per stored entry")
        L.append("")
        L.append("From the layout of a copy import: korvex holds two 32-byte span descriptors per row and, "
                 "per non-empty row, a value and an index segment each rounded up to 32 bytes; scipy holds "
                 "the data, indices and indptr arrays (int32 indices and indptr when they fit, as its "
                 "constructor makes them; int64 as korvex keeps them).")
        L.append("")
        L.append("| L | rows | entries | korvex B/entry | scipy int32 B/entry | korvex / scipy int32 | "
                 "scipy int64 B/entry | korvex / scipy int64 |")
        L.append("|---:|---:|---:|---:|---:|---:|---:|---:|")
        for n in sorted(mem):
            rows, nnz, k, s32, s64 = mem[n]
            L.append(f"| {n} | {rows} | {nnz} | {k:.1f} | {s32:.1f} | {k / s32:.2f} | {s64:.1f} | "
                     f"{k / s64:.2f} |")
        L.append("")
    with open(os.path.join(a.results, "crossover.md"), "w") as f:
        f.write("\n".join(L))
    if rat:
        chart(rat, mem, os.path.join(a.results, "crossover.png"))


if __name__ == "__main__":
    main()
