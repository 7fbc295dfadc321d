#!/usr/bin/env bash
# Developer build without pip: configures build/dev, builds the module and the C++ tests, and
# links the module into vantrel/ so that `PYTHONPATH=$PWD python3 -m pytest tests` uses it.
set -euo pipefail
cd "$(dirname "$0")/.."
PY=${PYTHON:-python3}
if [ ! -f build/dev/build.ninja ]; then
  cmake -S . -B build/dev -G Ninja -DVANTREL_PYTHON=ON -DCMAKE_BUILD_TYPE=Release \
    -DPython_EXECUTABLE="$(command -v "$PY")" > /dev/null
fi
cmake --build build/dev "$@"
for so in build/dev/_native*.so build/dev/_testing*.so; do ln -sf "../$so" vantrel/; done
