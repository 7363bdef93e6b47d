#!/usr/bin/env bash
# Installs korvex into a fresh temporary prefix and uses it the way outside
# code would: the Python package from a clean environment outside the
# checkout, and the C library through pkg-config and through a CMake
# find_package(korvex) project. Builds ./build first when needed (make
# install does that); BUILD=dir picks another build directory.
set -euo pipefail

repo="$(cd "$(dirname "$0")/.." && pwd)"
PYTHON=/usr/bin/python3
tmp="$(mktemp -d)"
trap 'rm -rf "$tmp"' EXIT
prefix="$tmp/prefix"
work="$tmp/work"
mkdir -p "$prefix" "$work"

fail() { echo "test-install: FAILED: $*" >&2; exit 1; }

make -C "$repo" --no-print-directory install PREFIX="$prefix" ${BUILD:+BUILD="$BUILD"} >"$tmp/install.log" 2>&1 \
  || { cat "$tmp/install.log" >&2; fail "make install"; }
start=$SECONDS

lib="$(find "$prefix" -name libkorvex.so.1 | head -n1)"
pcfile="$(find "$prefix" -name korvex.pc | head -n1)"
site="$prefix/lib/python3/dist-packages"
[ -n "$lib" ] || fail "no libkorvex.so.1 under $prefix"
[ -f "$prefix/include/korvex.h" ] || fail "no header under $prefix/include"
[ -n "$pcfile" ] || fail "no korvex.pc under $prefix"
[ -f "$site/korvex/__init__.py" ] || fail "no Python package under $site"

# 1. Python: only the prefix's site directory, run from outside the checkout.
cd "$work"
env -i PATH=/usr/bin:/bin HOME="$work" PYTHONPATH="$site" KX_PREFIX="$prefix" \
  "$PYTHON" -s - <<'EOF' || fail "Python package"
import os
import numpy as np, scipy.sparse as sp
import korvex
prefix = os.environ["KX_PREFIX"]
assert korvex.__file__.startswith(prefix), korvex.__file__
assert korvex.library_path.startswith(prefix), korvex.library_path
A = sp.random(60, 40, density=0.1, format="csr", random_state=0)
M = korvex.from_scipy(A, copy=False)
assert np.array_equal(M[:, 5:30].toarray(), A[:, 5:30].toarray())
assert np.array_equal(korvex.vstack([M, M.T.T]).toarray(), sp.vstack([A, A]).toarray())
print("test-install: python ok,", korvex.library_path)
EOF

# 2. C through pkg-config and through CMake.
cat >"$work/main.c" <<'EOF'
#include <korvex.h>
#include <stdio.h>

int main(void) {
    int64_t r[] = {1, 0, 1}, c[] = {2, 2, 0};
    double v[] = {3.0, 1.5, 2.0}, d[6];
    CompressedMatrix *m = NULL, *t = NULL;
    if (csr_f64_from_coo(2, 3, r, c, v, 3, &m) != KORVEX_OK) return 1;
    if (csr_f64_to_dense(m, d, 6, 0) != KORVEX_OK) return 2;
    if (csc_f64_transpose_from_csr(m, &t) != KORVEX_OK) return 3;
    printf("abi %llu nnz %llu dense %g %g %g %g %g %g t %llux%llu\n",
           (unsigned long long)KORVEX_ABI_VERSION, (unsigned long long)csr_f64_nnz(m),
           d[0], d[1], d[2], d[3], d[4], d[5], (unsigned long long)csc_f64_rows(t),
           (unsigned long long)csc_f64_cols(t));
    csc_f64_free(t);
    csr_f64_free(m);
    return 0;
}
EOF
expected="abi 1 nnz 3 dense 0 0 1.5 2 0 3 t 3x2"

export PKG_CONFIG_PATH="$(dirname "$pcfile")"
incdir="$(pkg-config --variable=includedir korvex)"
libdir="$(pkg-config --variable=libdir korvex)"
case "$(realpath -m "$incdir")/" in
  "$(realpath "$prefix")"/*) ;;
  *) fail "korvex.pc points at $incdir, not into the install prefix $prefix" ;;
esac
cc -std=c99 -Wall -Werror -o "$work/app_pc" "$work/main.c" $(pkg-config --cflags --libs korvex) \
  -Wl,-rpath,"$libdir" || fail "compiling against pkg-config's flags"
out="$("$work/app_pc")" || fail "pkg-config program exited with $?"
[ "$out" = "$expected" ] || fail "pkg-config program printed '$out', expected '$expected'"
echo "test-install: pkg-config ok"

mkdir -p "$work/cmake"
cp "$work/main.c" "$work/cmake/main.c"
cat >"$work/cmake/CMakeLists.txt" <<'EOF'
cmake_minimum_required(VERSION 3.16)
project(korvex_consumer C)
find_package(korvex 1 REQUIRED)
add_executable(consumer main.c)
target_link_libraries(consumer PRIVATE korvex::korvex)
EOF
cmake -S "$work/cmake" -B "$work/cmake/build" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" \
  -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF >"$tmp/cmake.log" 2>&1 \
  || { cat "$tmp/cmake.log" >&2; fail "configuring a find_package(korvex) project"; }
grep -q "^korvex_DIR:PATH=$prefix/" "$work/cmake/build/CMakeCache.txt" \
  || fail "find_package(korvex) did not pick the installed package"
cmake --build "$work/cmake/build" >"$tmp/cmake-build.log" 2>&1 \
  || { cat "$tmp/cmake-build.log" >&2; fail "building the find_package(korvex) project"; }
out="$("$work/cmake/build/consumer")" || fail "CMake program exited with $?"
[ "$out" = "$expected" ] || fail "CMake program printed '$out', expected '$expected'"
echo "test-install: cmake ok"
echo "test-install: all passed ($((SECONDS - start))s after the build)"
