#!/usr/bin/env python3
"""A blocked matrix built, moved and gathered on a two-worker Dask cluster,
with korvex blocks and with scipy blocks, alternating run by run.

The matrix: 2M x 1M with 20M uniformly drawn coordinates in 8 partitions
persisted on the workers first (the data already sits there), turned into 8
row blocks. Both pipelines run the same routing graph (korvex.dask.from_coo's);
the korvex pipeline builds each block with korvex.from_coo, the scipy one with
coo_matrix(...).tocsr(). Measured per run:

  build      persist the blocks from the persisted coordinates
  to client  compute(): every block to the client and assembled there into one
             matrix (korvex: vstack, sharing the received blocks; scipy: vstack)
  move       one 10M-entry block from one worker to the other (korvex: the
             block's rows are the library's own, each starting 32-byte aligned, so
             they are gathered by the compressed export, int32 indices when they
             fit; on arrival the values are read in place in the message buffer,
             the indices widened)
  move on    that block as received (korvex: a view of its frames, rows back to
             back) moved back to the first worker: sent as frames over its own
             storage, int64 indices, nothing gathered
  memory     peak resident memory of each worker across build and gather, and
             of the client across the gather (VmHWM, reset before each phase)

Writes bench/results/dask.md. Usage:
    KORVEX_LIBRARY=build/libkorvex.so PYTHONPATH=python \\
        /usr/bin/python3 bench/dask_pipeline.py [--runs 3] [--entries 20000000]
"""
from __future__ import annotations

import argparse
import gc
import os
import platform
import statistics
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(ROOT, "python"))
os.environ["PYTHONPATH"] = os.pathsep.join(
    [os.path.join(ROOT, "python")] + [p for p in os.environ.get("PYTHONPATH", "").split(
        os.pathsep) if p])

import numpy as np  # noqa: E402
import scipy.sparse as sp  # noqa: E402


def coordinates(seed, n, shape):
    rng = np.random.default_rng(seed)
    return (rng.integers(0, shape[0], n), rng.integers(0, shape[1], n), rng.random(n))


def part(seed, n, shape, which):
    return coordinates(seed, n, shape)[which]


def scipy_assemble(pieces, length, inner_dim, format, dtype):
    o = np.concatenate([p[0] for p in pieces])
    n = np.concatenate([p[1] for p in pieces])
    v = np.concatenate([p[2] for p in pieces])
    return sp.coo_matrix((v, (o, n)), shape=(length, inner_dim), dtype=dtype).tocsr()


def one_block(seed, n, shape, kind):
    import korvex
    r, c, v = coordinates(seed, n, shape)
    if kind == "korvex":
        return korvex.from_coo(r, c, v, shape)
    return sp.coo_matrix((v, (r, c)), shape=shape).tocsr()


def warm_up():
    """Imports, the oneTBB pool and the serializers, once per process, so that
    no pipeline's first run pays for them."""
    import korvex
    import korvex.dask as kd
    r, c, v = coordinates(0, 200_000, (20_000, 10_000))
    M = korvex.from_coo(r, c, v, (20_000, 10_000))
    kd._deserialize(*kd._serialize(M))
    sp.coo_matrix((v, (r, c)), shape=(20_000, 10_000)).tocsr()
    return True


def entries(block):
    return block.nnz


def keep(block):
    return block


def _status_kb(pid, field):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith(field):
                return int(line.split()[1])
    return 0


def reset_peak(pids):
    for pid in pids:
        try:
            with open(f"/proc/{pid}/clear_refs", "w") as f:
                f.write("5")
        except OSError:
            pass


def peak_mib(pid):
    return _status_kb(pid, "VmHWM") / 1024


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--runs", type=int, default=3)
    ap.add_argument("--entries", type=int, default=20_000_000)
    ap.add_argument("--rows", type=int, default=2_000_000)
    ap.add_argument("--cols", type=int, default=1_000_000)
    ap.add_argument("--parts", type=int, default=8)
    ap.add_argument("--pin", action="store_true",
                    help="give each worker one CPU of its own (os.sched_setaffinity before "
                         "its first korvex call, so its oneTBB pool has one thread)")
    ap.add_argument("--out", default=os.path.join(HERE, "results", "dask.md"))
    args = ap.parse_args()

    import dask
    import dask.array as da
    from distributed import Client, LocalCluster, wait

    import korvex.dask as kd

    shape = (args.rows, args.cols)
    per = args.entries // args.parts
    cluster = LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                           dashboard_address=None, silence_logs=40)
    client = Client(cluster)
    try:
        workers = list(client.scheduler_info()["workers"])
        pids = client.run(os.getpid)
        wpids = [pids[w] for w in workers]
        if args.pin:
            cpus = sorted(os.sched_getaffinity(0))
            for i, w in enumerate(workers):
                client.run(os.sched_setaffinity, 0, {cpus[i % len(cpus)]}, workers=[w])
        me = os.getpid()

        def vector(which, dtype):
            return da.concatenate([
                da.from_delayed(dask.delayed(part, pure=True)(p, per, shape, which), (per,),
                                dtype=dtype) for p in range(args.parts)])

        client.run(warm_up)
        warm_up()
        row, col, val = vector(0, np.int64), vector(1, np.int64), vector(2, np.float64)
        row, col, val = client.persist([row, col, val])
        wait([row, col, val])

        X = kd.from_coo(row, col, val, shape, chunks=args.rows // args.parts)
        graph = dict(X.__dask_graph__())
        sdsk = {k: ((scipy_assemble,) + t[1:] if isinstance(t, tuple) and t
                    and t[0] is kd._assemble else t) for k, t in graph.items()}
        name = "scipy-" + X.name
        sdsk = {((name,) + k[1:] if isinstance(k, tuple) and k[0] == X.name else k): t
                for k, t in sdsk.items()}
        Xs = da.Array(sdsk, name, X.chunks, meta=sp.csr_matrix((0, 0)))
        pipelines = {"korvex": X, "scipy": Xs}

        results = {k: {"build": [], "client": [], "move": [], "move on": [], "wpeak": [],
                       "cpeak": [],
                       "wbase": []} for k in pipelines}
        check = {}
        for run in range(args.runs):
            for kind in (("korvex", "scipy") if run % 2 == 0 else ("scipy", "korvex")):
                gc.collect()
                client.run(gc.collect)
                R = results[kind]
                R["wbase"].append(max(_status_kb(p, "VmRSS") for p in wpids) / 1024)
                reset_peak(wpids)
                t = time.perf_counter()
                P = client.persist(pipelines[kind])
                wait(P)
                R["build"].append(time.perf_counter() - t)

                gc.collect()
                reset_peak([me])
                t = time.perf_counter()
                M = P.compute()
                R["client"].append(time.perf_counter() - t)
                R["cpeak"].append(peak_mib(me))
                R["wpeak"].append(max(peak_mib(p) for p in wpids))
                check[kind] = (M.shape, M.nnz)
                del M, P
                gc.collect()

                # One 10M-entry block, built on one worker and moved to the other.
                src, dst = workers[run % 2], workers[1 - run % 2]
                b = client.submit(one_block, 1000, args.entries // 2, (args.rows // 2,
                                  args.cols), kind, workers=[src], pure=False)
                wait(b)
                t = time.perf_counter()
                n = client.submit(entries, b, workers=[dst], allow_other_workers=False,
                                  pure=False).result()
                R["move"].append(time.perf_counter() - t)
                assert n > 0
                # The block as received (korvex: a view of its frames, rows back to
                # back) moved on to the first worker: sent without a gather.
                got = client.submit(keep, b, workers=[dst], allow_other_workers=False,
                                    pure=False)
                wait(got)
                t = time.perf_counter()
                n = client.submit(entries, got, workers=[src], allow_other_workers=False,
                                  pure=False).result()
                R["move on"].append(time.perf_counter() - t)
                del b, got
                print(f"run {run} {kind}: build {R['build'][-1]:.2f} s, to client "
                      f"{R['client'][-1]:.2f} s, move {R['move'][-1]:.3f} s, move on "
                      f"{R['move on'][-1]:.3f} s, worker peak "
                      f"{R['wpeak'][-1]:.0f} MiB, client peak {R['cpeak'][-1]:.0f} MiB",
                      flush=True)
        assert check["korvex"][0] == check["scipy"][0]
    finally:
        client.close()
        cluster.close()

    write_report(args, results, check)


def write_report(args, results, check):
    K, S = results["korvex"], results["scipy"]
    lines = [
        "# korvex blocks in Dask: build, gather, move",
        "",
        f"{args.rows:,} x {args.cols:,}, {args.entries:,} uniform coordinates in "
        f"{args.parts} partitions persisted on the workers, {args.parts} row blocks; "
        f"2-worker `LocalCluster` (processes, 1 thread each) on {os.cpu_count()} CPUs"
        f"{', each worker pinned to one CPU' if args.pin else ''}, "
        f"{platform.python_implementation()} {platform.python_version()}. "
        f"{args.runs} runs per pipeline, alternating korvex / scipy. "
        f"Entries: korvex {check['korvex'][1]:,} (duplicates kept), scipy "
        f"{check['scipy'][1]:,} (tocsr sums duplicates).",
        "",
        "| figure | korvex best | korvex range | scipy best | scipy range | ratio of bests |",
        "|---|---:|---:|---:|---:|---:|",
    ]

    def row(label, key, unit, fmt, best=min):
        k, s = K[key], S[key]
        lines.append(f"| {label} | {fmt.format(best(k))} {unit} | {fmt.format(min(k))}–"
                     f"{fmt.format(max(k))} | {fmt.format(best(s))} {unit} | "
                     f"{fmt.format(min(s))}–{fmt.format(max(s))} | {best(k) / best(s):.2f} |")

    row("build (route + assemble 8 blocks)", "build", "s", "{:.2f}")
    row("to client (gather 8 blocks + assemble)", "client", "s", "{:.2f}")
    row(f"move one {args.entries // 2:,}-entry block between workers", "move", "s", "{:.3f}")
    row("move that block on, as received", "move on", "s", "{:.3f}")
    row("peak worker memory (larger worker)", "wpeak", "MiB", "{:.0f}")
    row("peak client memory during gather", "cpeak", "MiB", "{:.0f}")
    row("worker memory before build (coordinates held)", "wbase", "MiB", "{:.0f}")
    targets = [("move one block", "move", 1.0), ("move it on", "move on", 1.0),
               ("to client", "client", 0.6)]
    lines += ["", "Targets (korvex / scipy, ratio of bests): " + "; ".join(
        f"{label} ≤ {bound}: {min(K[key]) / min(S[key]):.2f} "
        f"{'met' if min(K[key]) / min(S[key]) <= bound else 'missed'}"
        for label, key, bound in targets) + "."]
    med = lambda k, key: statistics.median(results[k][key])  # noqa: E731
    lines += ["", "Medians: " + ", ".join(
        f"{key} {med('korvex', key):.3f} / {med('scipy', key):.3f}"
        for key in ("build", "client", "move", "move on")) + " (korvex / scipy)."]
    os.makedirs(os.path.dirname(args.out), exist_ok=True)
    with open(args.out, "w") as f:
        f.write("\n".join(lines) + "\n")
    print("\n".join(lines))


if __name__ == "__main__":
    main()
