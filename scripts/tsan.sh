#!/usr/bin/env bash
# The concurrency stress test under ThreadSanitizer.
#
# Builds build-tsan with clang and -fsanitize=thread. The distribution's
# oneTBB is not instrumented, so this build runs every library loop on the
# calling thread (KORVEX_SEQUENTIAL); the threads of the test itself still
# share and release buffers concurrently, which is what the run checks.
set -euo pipefail
cd "$(dirname "$0")/.."

BUILD=${TSAN_BUILD:-build-tsan}
CC=clang CXX=clang++ cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DKORVEX_SEQUENTIAL=ON -DKORVEX_SANITIZE=thread >/dev/null
cmake --build "$BUILD" -j "$(nproc)" --target korvex_tests
TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 ${TSAN_OPTIONS:-}" \
  "$BUILD/tests/cpp/korvex_tests" --gtest_filter='Stress.*'
