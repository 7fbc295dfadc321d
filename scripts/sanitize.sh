#!/usr/bin/env bash
# Builds the GoogleTest suite and the two fuzz harnesses with clang, AddressSanitizer and
# UndefinedBehaviorSanitizer in build/sanitize, runs the suite, then gives each harness a short
# run over its seed corpus (Gmsh meshes made by tests/fuzz/make_seeds.py and the TOML texts of
# the configuration tests) and the inputs in tests/fuzz/regressions.
#   FUZZ_SECONDS   length of each harness's fuzzing run (default 45; 0 only replays the inputs)
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD=build/sanitize
FUZZ_SECONDS=${FUZZ_SECONDS:-45}
JOBS=${JOBS:-$(nproc)}
PY=${PYTHON:-python3}

FLAGS="-O1 -g -fno-omit-frame-pointer -fsanitize=address,undefined -fno-sanitize-recover=all"
FLAGS="$FLAGS -fsanitize-ignorelist=$PWD/tests/fuzz/ubsan.ignore"
# Coverage for libFuzzer everywhere; only the harnesses link libFuzzer's main.
FLAGS="$FLAGS -fsanitize=fuzzer-no-link"
# Configured every time (cheap when nothing changed), so a changed flag reaches an old tree.
cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Sanitize \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DCMAKE_C_FLAGS_SANITIZE="$FLAGS" -DCMAKE_CXX_FLAGS_SANITIZE="$FLAGS" \
  -DCMAKE_EXE_LINKER_FLAGS_SANITIZE="-fsanitize=address,undefined" \
  -DVANTREL_FUZZERS=ON -DVANTREL_TOML_HEADER_ONLY=ON > /dev/null
cmake --build "$BUILD" -j "$JOBS" --target vantrel_cpp_tests fuzz_msh fuzz_config

# LeakSanitizer stays on: the suite and the readers leak nothing (MUMPS, OpenBLAS and oneTBB
# included), so no suppressions are needed.
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:strict_string_checks=1:detect_stack_use_after_return=1:check_initialization_order=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
echo "== GoogleTest suite under ASan+UBSan"
ctest --test-dir "$BUILD" --no-tests=error --output-on-failure -j "$JOBS"

echo "== fuzz harnesses: every seed and regression input, then ${FUZZ_SECONDS}s of fuzzing each"
SEEDS="$BUILD/fuzz_seeds"
[ -d "$SEEDS/msh" ] || $PY tests/fuzz/make_seeds.py "$SEEDS"
READERS=(msh config)
pids=()
for reader in "${READERS[@]}"; do
  corpus="$BUILD/fuzz_corpus/$reader"  # new inputs land here (the first directory)
  mkdir -p "$corpus"
  ( "$BUILD/fuzz_$reader" -runs=0 "$SEEDS/$reader" "tests/fuzz/regressions/$reader" &&
    if [ "$FUZZ_SECONDS" -gt 0 ]; then
      "$BUILD/fuzz_$reader" -max_total_time="$FUZZ_SECONDS" -rss_limit_mb=2048 -timeout=10 \
        -dict="tests/fuzz/$reader.dict" -close_fd_mask=2 \
        -artifact_prefix="$BUILD/fuzz_$reader-" -print_final_stats=1 \
        "$corpus" "$SEEDS/$reader" "tests/fuzz/regressions/$reader"
    fi ) > "$BUILD/fuzz_$reader.log" 2>&1 &
  pids+=($!)
done
status=0
for i in 0 1; do
  reader=${READERS[$i]}
  if wait "${pids[$i]}"; then
    echo "fuzz_$reader: $(grep -E '^#[0-9]+[[:space:]]+DONE|^Done ' "$BUILD/fuzz_$reader.log" | tail -n 2 | tr '\n' ' ')"
  else
    echo "fuzz_$reader FAILED: its log follows"; tail -n 60 "$BUILD/fuzz_$reader.log"; status=1
  fi
done
exit $status
