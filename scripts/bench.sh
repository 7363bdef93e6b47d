#!/usr/bin/env bash
# Benchmark suite: korvex against scipy.sparse, Eigen, SuiteSparse:GraphBLAS
# and the copy floor, on uniform and R-MAT matrices made from fixed seeds.
#
#   bash scripts/bench.sh quick   2^20 x 2^20, 5M generated entries  (< 2 min on 2 cores)
#   bash scripts/bench.sh full    2^21 x 2^21, 20M generated entries, then the sweep
#                                 (< 15 min on 2 cores)
#   bash scripts/bench.sh rows    rows in any order and the handoff to scipy alone
#                                 (bench/rows.py, full sizes, a few minutes), then the
#                                 Dask block moves (bench/dask_pipeline.py); full runs it
#                                 too, quick runs bench/rows.py --small
#   bash scripts/bench.sh rows-small  the same at about 1/100 of the sizes (a check
#                                 that it runs, seconds)
#   bash scripts/bench.sh cells   an .h5ad file (500k x 20k, 20M entries, written by
#                                 anndata) to torch batches, korvex against AnnData
#                                 (bench/cells.py, a few minutes); full runs it too,
#                                 quick runs its small mode
#   bash scripts/bench.sh cells-small  the same at 1/100 of the entries (seconds)
#   bash scripts/bench.sh combine two sparse operands (A @ A, X.T @ X, H.T @ X, G + G.T,
#                                 G.multiply(G.T), G > 0.5) against scipy, and the peak
#                                 memory of A @ A (bench/combine.py, a few minutes) into
#                                 bench/results/combine.md; full runs it too
#   bash scripts/bench.sh combine-small  the same at 1/20 of the sizes (seconds)
#   bash scripts/bench.sh edit    edits in place (inserts, M[r, c] = v, setdiag, eliminate_zeros,
#                                 sum_duplicates, log1p over repeats) against scipy or a korvex
#                                 floor, 2M x 2M with 20M entries (bench/edit.py) into
#                                 bench/results/edit.md
#   bash scripts/bench.sh edit-small  the same at 1/100 of the sizes (seconds)
#   bash scripts/bench.sh sweep   the sweep alone (about 4 min; full runs it last): korvex against scipy at
#                                 2 threads on uniform matrices of 10M generated entries
#                                 with 1, 2, 5, 10, 50 and 500 entries per row
#
# Builds in build-bench (Release, KORVEX_BENCH=ON), generates the matrices
# under build-bench/data, runs bench/harness.cpp (korvex_bench) and
# bench/vs_scipy.py, the huge-page allocation benchmark (korvex_bench_pages),
# and writes bench/results/latest.md and latest.png (full mode also times
# opening files, bench/storage.py, into bench/results/storage.md), and the
# arithmetic against scipy (bench/arith.py) into bench/results/arith.md. The sweep
# writes bench/results/crossover.md and crossover.png. Raw results stay in
# bench/results/<mode>.*.json (one JSON object per line).
#
# Environment: PYTHON (default /usr/bin/python3), BENCH_BUILD (build-bench).
set -euo pipefail

mode="${1:-quick}"
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${BENCH_BUILD:-$root/build-bench}"
python="${PYTHON:-/usr/bin/python3}"
results="$root/bench/results"

case "$mode" in
  quick)
    scale=20; edges=5000000
    fast=(--reps 3 --min-reps 2 --budget 0.3)          # korvex, copy floor, python side
    slow=(--reps 1 --min-reps 1 --warmup 0)            # Eigen, GraphBLAS
    grb_threads=2; py_threads=(2); pages="41943040"
    ;;
  full)
    scale=21; edges=20000000
    fast=(--reps 5 --min-reps 3 --budget 1)
    slow=(--reps 3 --min-reps 1 --budget 1 --warmup 0)
    grb_threads=1,2; py_threads=(2 1); pages="41943040,167772160"
    ;;
  sweep|rows|rows-small|cells|cells-small|combine|combine-small|edit|edit-small)
    ;;
  *)
    echo "usage: bash scripts/bench.sh quick|full|sweep|rows|rows-small|cells|cells-small|combine|combine-small|edit|edit-small" >&2
    exit 2
    ;;
esac

SECONDS=0
load_at_start=$(cut -d' ' -f1-3 /proc/loadavg)
# GraphBLAS runs on OpenMP: let its idle threads sleep rather than spin on the
# cores the next korvex measurement needs.
export OMP_WAIT_POLICY=PASSIVE

echo "== build ($build)"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKORVEX_BENCH=ON \
  -DKORVEX_TESTS=OFF >/dev/null
targets=(korvex korvex_bench korvex_bench_pages)
case "$mode" in rows|rows-small|combine|combine-small|edit|edit-small) targets=(korvex) ;; esac  # the Python side only
cmake --build "$build" -j "$(nproc)" --target "${targets[@]}"

mkdir -p "$build/data" "$results"
bin="$build/bench/korvex_bench"

# The sweep over the mean row length: the same 10M generated entries (uniform,
# fixed seed) in 10M / L square rows for each L, korvex (through ctypes) and
# scipy side by side at 2 CPUs, few repetitions; then the crossover table.
run_sweep() {
  local out_s="$results/sweep.python.json" sweep_start=$SECONDS edges=10000000 len rows prefix
  rm -f "$out_s"
  for len in 1 2 5 10 50 500; do
    rows=$((edges / len))
    prefix="$build/data/sweep-l$len-e$edges-seed7"
    if [ ! -f "$prefix.meta" ]; then
      echo "== generate sweep, $len per row"
      "$bin" gen --kind uniform --rows "$rows" --edges "$edges" --seed 7 --out "$prefix"
    fi
    echo "== sweep: $len per row, korvex and scipy, 2 CPUs [$((SECONDS))s]"
    "$python" "$root/bench/vs_scipy.py" --lib "$build/libkorvex.so" --data "$prefix" \
      --workload "sweep-$len" --threads 2 --libs korvex,scipy --reps 5 --min-reps 3 --budget 0.3 \
      --warmup 1 --ops "$sweep_ops" --out "$out_s"
  done
  "$python" "$root/bench/sweep_report.py" --results "$results" --data "$build/data" \
    --elapsed $((SECONDS - sweep_start)) --load "$load_at_start"
}
sweep_ops=copy_import,view_import,clone,validate,sort,csr_to_csc,coo_import,coo_export,transpose
sweep_ops=$sweep_ops,outer_slice,outer_mask,inner_slice,inner_mask,vstack,hstack

# Rows in any order, the handoff to scipy and the Dask block moves:
# bench/results/rows.md and dask.md (small: rows-small.md, dask-small.md).
run_rows() {
  local small="${1:-}" suffix=""
  [ -n "$small" ] && suffix="-small"
  echo "== rows in any order and the handoff to scipy${small:+ (small)} [$((SECONDS))s]"
  KORVEX_LIBRARY="$build/libkorvex.so" PYTHONPATH="$root/python" "$python" "$root/bench/rows.py" \
    ${small:+--small --reps 2} --dir "$build/data" --out "$results/rows$suffix.md"
  echo "== Dask: build, gather and move blocks${small:+ (small)} [$((SECONDS))s]"
  if [ -n "$small" ]; then
    KORVEX_LIBRARY="$build/libkorvex.so" PYTHONPATH="$root/python" "$python" \
      "$root/bench/dask_pipeline.py" --runs 1 --entries 400000 --rows 40000 --cols 20000 \
      --out "$results/dask$suffix.md"
  else
    KORVEX_LIBRARY="$build/libkorvex.so" PYTHONPATH="$root/python" "$python" \
      "$root/bench/dask_pipeline.py" --out "$results/dask.md"
  fi
}

if [ "$mode" = rows ] || [ "$mode" = rows-small ]; then
  run_rows "$([ "$mode" = rows-small ] && echo small)"
  echo "== done in ${SECONDS}s"
  exit 0
fi

# An .h5ad file to torch batches, korvex against AnnData: bench/results/cells.md
# (small: cells-small.md). The .h5ad files stay in the data folder for later runs.
run_cells() {
  local small="${1:-}" suffix=""
  [ -n "$small" ] && suffix="-small"
  echo "== .h5ad to torch batches, korvex against AnnData${small:+ (small)} [$((SECONDS))s]"
  KORVEX_LIBRARY="$build/libkorvex.so" PYTHONPATH="$root/python" "$python" "$root/bench/cells.py" \
    ${small:+--small --reps 2} --dir "$build/data" --out "$results/cells$suffix.md"
}

if [ "$mode" = cells ] || [ "$mode" = cells-small ]; then
  run_cells "$([ "$mode" = cells-small ] && echo small)"
  echo "== done in ${SECONDS}s"
  exit 0
fi

# Two sparse operands against scipy: bench/results/combine.md (small:
# combine-small.md), korvex on 2 CPUs.
run_combine() {
  local small="${1:-}" suffix=""
  [ -n "$small" ] && suffix="-small"
  echo "== two sparse operands${small:+ (small)} [$((SECONDS))s]"
  KORVEX_LIBRARY="$build/libkorvex.so" PYTHONPATH="$root/python" taskset -c 0,1 "$python" \
    "$root/bench/combine.py" ${small:+--small --reps 2} --out "$results/combine$suffix.md"
}

# Edits in place: bench/results/edit.md (small: edit-small.md), korvex on 2 CPUs.
if [ "$mode" = edit ] || [ "$mode" = edit-small ]; then
  small=""; [ "$mode" = edit-small ] && small=1
  echo "== edits in place${small:+ (small)} [$((SECONDS))s]"
  KORVEX_LIBRARY="$build/libkorvex.so" PYTHONPATH="$root/python" taskset -c 0,1 "$python" \
    "$root/bench/edit.py" ${small:+--small --reps 2} --out "$results/edit${small:+-small}.md"
  echo "== done in ${SECONDS}s"
  exit 0
fi

if [ "$mode" = combine ] || [ "$mode" = combine-small ]; then
  run_combine "$([ "$mode" = combine-small ] && echo small)"
  echo "== done in ${SECONDS}s"
  exit 0
fi

if [ "$mode" = sweep ]; then
  run_sweep
  echo "== done in ${SECONDS}s: $results/crossover.md, $results/crossover.png"
  exit 0
fi

out_h="$results/$mode.harness.json"
out_p="$results/$mode.python.json"
out_pages="$results/$mode.pages.json"
rm -f "$out_h" "$out_p" "$out_pages"

seed=1
for kind in uniform rmat; do
  prefix="$build/data/$kind-s$scale-e$edges-seed$seed"
  if [ ! -f "$prefix.meta" ]; then
    echo "== generate $kind"
    "$bin" gen --kind "$kind" --scale "$scale" --edges "$edges" --seed "$seed" --out "$prefix"
  fi
  echo "== $kind: korvex and the copy floor, 1 and 2 threads [$((SECONDS))s]"
  "$bin" run --data "$prefix" --workload "$kind" --threads 1,2 --libs floor,korvex "${fast[@]}" --out "$out_h"
  echo "== $kind: Eigen (single-threaded) [$((SECONDS))s]"
  "$bin" run --data "$prefix" --workload "$kind" --threads 1 --libs eigen "${slow[@]}" --out "$out_h"
  echo "== $kind: GraphBLAS [$((SECONDS))s]"
  "$bin" run --data "$prefix" --workload "$kind" --threads "$grb_threads" --libs graphblas "${slow[@]}" --out "$out_h"
  for t in "${py_threads[@]}"; do
    libs=korvex,scipy
    # scipy is single-threaded: once is enough.
    [ "$t" != "${py_threads[0]}" ] && libs=korvex
    echo "== $kind: python side ($libs, $t CPU(s)) [$((SECONDS))s]"
    "$python" "$root/bench/vs_scipy.py" --lib "$build/libkorvex.so" --data "$prefix" --workload "$kind" \
      --threads "$t" --libs "$libs" "${fast[@]}" --out "$out_p"
  done
  seed=$((seed + 1))
done

if [ "$mode" = full ]; then
  # Diagnostic: the same entry count in 64 times fewer, longer rows, to tell
  # the per-row cost of the span layout from the per-entry cost.
  prefix="$build/data/long-s$((scale - 6))-e$edges-seed9"
  if [ ! -f "$prefix.meta" ]; then
    echo "== generate long rows"
    "$bin" gen --kind uniform --scale $((scale - 6)) --edges "$edges" --seed 9 --out "$prefix"
  fi
  echo "== long rows: korvex and the copy floor [$((SECONDS))s]"
  "$bin" run --data "$prefix" --workload uniform-long --threads 1,2 --libs floor,korvex "${fast[@]}" \
    --ops copy_import,view_import,clone,transpose,csr_to_csc,outer_slice,vstack --out "$out_h"
fi

if [ "$mode" = full ]; then
  # Opening files: korvex.load (mapped, copied) against scipy's load_npz.
  echo "== files: korvex.load against scipy.sparse.load_npz [$((SECONDS))s]"
  "$python" "$root/bench/storage.py" --lib "$build/libkorvex.so" --dir "$build/data" \
    --out "$results/storage.md"
fi

if [ "$mode" = full ]; then
  run_rows
  run_cells
  run_combine
else
  echo "== rows in any order and the handoff to scipy (small) [$((SECONDS))s]"
  KORVEX_LIBRARY="$build/libkorvex.so" PYTHONPATH="$root/python" "$python" "$root/bench/rows.py" \
    --small --reps 2 --dir "$build/data" --out "$results/rows-small.md"
  run_cells small
  run_combine small
fi

echo "== guard cost per Python call [$((SECONDS))s]"
KORVEX_LIBRARY="$build/libkorvex.so" PYTHONPATH="$root/python" "$python" "$root/bench/guard_cost.py" \
  | tee "$results/guard.txt"

# Products, sums and value maps against scipy on the same matrix (2M x 2M,
# 20M entries in full mode; a quarter of that in quick). ARITH_SCALING=1,2,4,...
# adds korvex's times per thread count.
echo "== arithmetic: korvex against scipy, 2 threads [$((SECONDS))s]"
KORVEX_LIBRARY="$build/libkorvex.so" PYTHONPATH="$root/python" "$python" "$root/bench/arith.py" \
  --size "$mode" --threads 2 ${ARITH_SCALING:+--scaling "$ARITH_SCALING"} --out "$results/arith.md"

echo "== data-block allocation: huge pages against 4 KiB pages [$((SECONDS))s]"
"$build/bench/korvex_bench_pages" --bytes "$pages" --reps 5 --out "$out_pages"

elapsed=$SECONDS
"$python" "$root/bench/report.py" --mode "$mode" --results "$results" --elapsed "$elapsed" \
  --load "$load_at_start"
echo "== main suite done in ${elapsed}s: $results/latest.md, $results/latest.png"
if [ "$mode" = full ]; then
  run_sweep
  echo "== done in ${SECONDS}s, sweep included: $results/crossover.md, $results/crossover.png"
fi
