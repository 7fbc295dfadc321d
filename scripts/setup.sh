#!/usr/bin/env bash
# Installs everything vantrel needs on a fresh Debian machine and builds the Python module.
# Safe to run again: installed packages are skipped and the build is incremental.
set -euo pipefail
cd "$(dirname "$0")/.."

# clang and its runtime libraries (libFuzzer, sanitizers) serve scripts/sanitize.sh only; the
# normal build uses g++.
APT_PACKAGES="cmake ninja-build g++ pkg-config libeigen3-dev libtomlplusplus-dev libtbb-dev
  libgtest-dev libmumps-seq-dev libopenblas-dev libsuitesparse-dev libmetis-dev
  clang libclang-rt-14-dev"
missing=""
for p in $APT_PACKAGES; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
if [ -n "$missing" ]; then
  SUDO=""; [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  $SUDO apt-get update -q
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -q --no-install-recommends $missing
fi

PY=${PYTHON:-python3}
PIP_PACKAGES="numpy scipy pytest gmsh mkl nanobind scikit-build-core ninja"
if ! $PY -c "import numpy, scipy, pytest, gmsh, nanobind, scikit_build_core" 2>/dev/null \
   || ! $PY -m pip show mkl >/dev/null 2>&1; then
  $PY -m pip install -q $PIP_PACKAGES
fi

# Editable install: the extension is rebuilt incrementally in build/<wheel tag>.
$PY -m pip install -q --no-build-isolation -e . 
