#!/usr/bin/env bash
# Sets up (if needed), builds, then runs every test: C++ through CTest (also with the sanitizers,
# plus short fuzz runs), Python through pytest.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
PY=${PYTHON:-python3}
build_dir=$(ls -d build/*/ | grep -v -e '^build/bench' -e '^build/sanitize' | head -n 1)
cmake --build "$build_dir" --target vantrel_cpp_tests
ctest --test-dir "$build_dir" --no-tests=error --output-on-failure -j "$(nproc)"
# The C++ suite again under AddressSanitizer and UndefinedBehaviorSanitizer, and a short run of
# the MSH and TOML fuzz harnesses.
bash scripts/sanitize.sh
$PY -m pytest -q tests "$@"
