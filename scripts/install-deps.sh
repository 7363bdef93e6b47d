#!/usr/bin/env bash
# Installs, with apt, whatever korvex needs to build, test and benchmark that
# is not already on the machine. Safe to run any number of times.
set -euo pipefail

pkgs=(
  cmake ninja-build g++ make pkg-config
  clang libclang-rt-14-dev
  libtbb-dev libgtest-dev libgmock-dev libbenchmark-dev
  python3-numpy python3-scipy python3-pytest python3-hypothesis python3-matplotlib
  python3-venv python3-pip python3-setuptools python3-wheel python3-build
  python3-dask python3-distributed python3-pandas
  python3-h5py python3-anndata python3-torch python3-sklearn
  libeigen3-dev libgraphblas-dev
  valgrind
)

missing=()
for p in "${pkgs[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

echo "install-deps: installing ${missing[*]}"
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
