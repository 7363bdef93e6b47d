#!/usr/bin/env bash
# Installs korvex into a fresh temporary prefix and uses it the way outside
# code would: the Python package from a clean environment outside the
# checkout, and the C library through pkg-config and through a CMake
# find_package(korvex) project. Builds ./build first when needed (make
# install does that); BUILD=dir picks another build directory.
#
# Then the pip route: `pip install --no-build-isolation` of the checkout into
# a fresh virtual environment (which builds the library with CMake and puts
# it inside the package), used from outside the checkout with neither
# KORVEX_LIBRARY nor PYTHONPATH set, and `python3 -m build --wheel
# --no-isolation`, whose wheel is installed into a second environment and
# used the same way.
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
# The .pc file's Libs carry the run path: the program finds the library with
# no LD_LIBRARY_PATH and no -rpath of its own.
cc -std=c99 -Wall -Werror -o "$work/app_pc" "$work/main.c" $(pkg-config --cflags --libs korvex) \
  || fail "compiling against pkg-config's flags"
out="$(env -u LD_LIBRARY_PATH "$work/app_pc")" || fail "pkg-config program exited with $? (run path $libdir)"
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

# 3. pip into a virtual environment, and a wheel. Both reuse one CMake build
# directory, so the library is compiled once; neither may leave files in the
# checkout that git would see.
check_installed() {  # $1: a venv; import its korvex from outside the checkout
  (cd "$work" && env -i PATH=/usr/bin:/bin HOME="$work" KX_VENV="$1" "$1/bin/python" - <<'EOF'
import os, tempfile
import numpy as np, scipy.sparse as sp
import korvex
venv = os.path.realpath(os.environ["KX_VENV"])
for what in (korvex.__file__, korvex.library_path):
    assert os.path.realpath(what).startswith(venv + os.sep), (what, venv)
A = sp.random(50, 30, density=0.1, format="csc", random_state=1)
M = korvex.from_scipy(A, copy=False)
assert np.array_equal(M[:, 3:20].T.toarray(), A[:, 3:20].T.toarray())
with tempfile.TemporaryDirectory() as d:
    korvex.save(os.path.join(d, "m.kvx"), M)
    for mmap in (True, False):
        L = korvex.load(os.path.join(d, "m.kvx"), mmap=mmap)
        assert L.is_view == mmap and np.array_equal(L.toarray(), A.toarray())
    korvex.save_npz(os.path.join(d, "m.npz"), M)
    assert (sp.load_npz(os.path.join(d, "m.npz")) != A).nnz == 0
print("test-install: installed copy ok,", korvex.library_path)
EOF
  )
}
pipenv=(env -u KORVEX_LIBRARY -u PYTHONPATH KORVEX_BUILD_DIR="$tmp/cmake"
        CMAKE_BUILD_PARALLEL_LEVEL="$(nproc)" PIP_NO_INDEX=1 PIP_NO_CACHE_DIR=1
        PIP_DISABLE_PIP_VERSION_CHECK=1)
git_state() { git -C "$repo" status --porcelain --untracked-files=all 2>/dev/null || true; }
before="$(git_state)"
pip_start=$SECONDS

"$PYTHON" -m venv --system-site-packages "$tmp/venv" || fail "python3 -m venv (python3-venv)"
"${pipenv[@]}" "$tmp/venv/bin/pip" install --no-build-isolation "$repo" >"$tmp/pip.log" 2>&1 \
  || { cat "$tmp/pip.log" >&2; fail "pip install --no-build-isolation"; }
ls "$tmp"/venv/lib/python3*/site-packages/korvex/libkorvex.so.1 >/dev/null 2>&1 \
  || fail "pip install put no libkorvex.so.1 inside the package"
check_installed "$tmp/venv" || fail "the pip-installed package"

(cd "$repo" && "${pipenv[@]}" "$PYTHON" -m build --wheel --no-isolation --outdir "$tmp/dist") \
  >"$tmp/wheel.log" 2>&1 || { cat "$tmp/wheel.log" >&2; fail "python3 -m build --wheel"; }
wheel="$(ls "$tmp"/dist/korvex-*.whl)" || fail "no wheel in $tmp/dist"
"$PYTHON" -m zipfile -l "$wheel" | grep "korvex/libkorvex.so.1" >/dev/null || fail "the wheel lacks the library"
"$PYTHON" -m venv --system-site-packages "$tmp/venv-wheel"
"${pipenv[@]}" "$tmp/venv-wheel/bin/pip" install "$wheel" >"$tmp/pip-wheel.log" 2>&1 \
  || { cat "$tmp/pip-wheel.log" >&2; fail "pip install of the wheel"; }
check_installed "$tmp/venv-wheel" || fail "the package installed from the wheel"
[ "$(git_state)" = "$before" ] || fail "pip or the wheel build left files in the checkout: $(git_state)"
echo "test-install: pip and wheel ok ($(basename "$wheel"), $((SECONDS - pip_start))s)"
echo "test-install: all passed ($((SECONDS - start))s after the build)"
