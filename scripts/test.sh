#!/usr/bin/env bash
# Sets up (if needed), builds, then runs every test: C++ through CTest, Python through pytest.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
PY=${PYTHON:-python3}
build_dir=$(ls -d build/*/ | grep -v '^build/bench' | head -n 1)
cmake --build "$build_dir" --target vantrel_cpp_tests
ctest --test-dir "$build_dir" --no-tests=error --output-on-failure -j "$(nproc)"
$PY -m pytest -q tests "$@"
