#!/usr/bin/env bash
# Runs every libFuzzer target for SECONDS each (default 60), one after the
# other, and prints the executions and findings of each.
#
#   bash scripts/fuzz.sh [SECONDS]
#
# Builds build-fuzz (clang, ASan + UBSan, coverage on the library too). Each
# target starts from its committed seeds (tests/fuzz/corpus/<target>) and
# grows a working corpus in build-fuzz/corpus/<target>, kept between runs.
# Crashes, leaks and timeouts land in build-fuzz/findings/<target>/; copy a
# reproducer into the committed corpus once its bug is fixed so that
# `make test` replays it. Exits non-zero if any target found something.
set -euo pipefail
cd "$(dirname "$0")/.."

SECS=${1:-60}
BUILD=${FUZZ_BUILD:-build-fuzz}
TARGETS=(copy_import view_ops coo coo_wide slice stack take compute combine edit)

CC=clang CXX=clang++ cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DKORVEX_FUZZ=ON -DKORVEX_SANITIZE=address,undefined >/dev/null
cmake --build "$BUILD" -j "$(nproc)" --target "${TARGETS[@]/#/fuzz_}"

summary=()
found_any=0
for t in "${TARGETS[@]}"; do
  work="$BUILD/corpus/$t"
  findings="$BUILD/findings/$t"
  log="$BUILD/findings/$t.log"
  mkdir -p "$work" "$findings"
  before=$(find "$findings" -type f | wc -l)
  echo "== fuzz_$t for ${SECS}s"
  # The entropic schedule of this libFuzzer spends most of its time in its
  # own bookkeeping on targets with wide coverage; plain scheduling runs
  # several times more inputs here.
  set +e
  "$BUILD/tests/fuzz/fuzz_$t" -max_total_time="$SECS" -max_len=512 -timeout=10 -rss_limit_mb=2048 \
    -entropic=0 -print_final_stats=1 -artifact_prefix="$findings/" \
    "$work" "tests/fuzz/corpus/$t" >"$log" 2>&1
  rc=$?
  set -e
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  after=$(find "$findings" -type f | wc -l)
  new=$((after - before))
  if [ "$rc" -ne 0 ] && [ "$new" -eq 0 ]; then new=1; fi  # died without an artifact
  if [ "$new" -ne 0 ]; then
    found_any=1
    grep -m 5 -E "ERROR|fuzz check failed|runtime error|SUMMARY" "$log" || true
    echo "   see $log and $findings/"
  fi
  summary+=("$(printf '%-12s %12s %9d  corpus %d' "$t" "${execs:-?}" "$new" \
    "$(find "$work" -type f | wc -l)")")
done

echo
echo "target         executions  findings"
printf '%s\n' "${summary[@]}"
exit "$found_any"
