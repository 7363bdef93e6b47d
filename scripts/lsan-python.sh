#!/usr/bin/env bash
# The Python suite against the AddressSanitizer build of the library, with
# leak detection. CPython and numpy keep some memory until exit that
# LeakSanitizer reports as leaked; those reports are not ours. The run fails
# on any sanitizer error, on a failing test, or on a leak report whose
# allocation stack passes through libkorvex. (The two tests that time child
# processes are left out: under the sanitizer every child pays its start-up
# and its own leak report. The thread stress test runs scaled down. The Dask
# tests run on the threaded scheduler only: worker processes would each run
# under the sanitizer, and the client's communication threads may still hold
# blocks of the last graph when the interpreter exits, which LeakSanitizer
# would count as lost.)
set -euo pipefail
cd "$(dirname "$0")/.."

BUILD=${ASAN_BUILD:-build-asan}
PYTHON=${PYTHON:-/usr/bin/python3}
runtime=$(clang -print-file-name=libclang_rt.asan-x86_64.so)
log=$(mktemp)
trap 'rm -f "$log"' EXIT

set +e
LD_PRELOAD="$runtime" \
ASAN_OPTIONS="detect_leaks=1:verify_asan_link_order=0:halt_on_error=1:symbolize=0" \
LSAN_OPTIONS="exitcode=0" \
KORVEX_STRESS_SCALE="${KORVEX_STRESS_SCALE:-0.25}" \
KORVEX_SKIP_CLUSTER_TESTS=1 \
KORVEX_LIBRARY="$PWD/$BUILD/libkorvex.so" PYTHONPATH="$PWD/python" \
  "$PYTHON" -m pytest -q -p no:cacheprovider tests/python \
    -k "not forked_child and not one_cpu_affinity" >"$log" 2>&1
rc=$?
set -e
grep -E "[0-9]+ (passed|failed)" "$log" | tail -n 1 || true
if [ $rc -ne 0 ]; then
  cat "$log"
  echo "lsan-python: the suite failed under AddressSanitizer (exit $rc)" >&2
  exit 1
fi
# One report per paragraph: keep those whose stack mentions the library.
ours=$(awk 'BEGIN{RS=""} /(Direct|Indirect) leak/ && /libkorvex/' "$log")
if [ -n "$ours" ]; then
  printf '%s\n' "$ours"
  echo "lsan-python: leaks through libkorvex" >&2
  exit 1
fi
total=$(grep -cE "^(Direct|Indirect) leak" "$log" || true)
echo "lsan-python: no leak through libkorvex ($total reports from the interpreter itself)"
