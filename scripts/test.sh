#!/usr/bin/env bash
# Builds everything twice (warnings as errors; then with AddressSanitizer and UBSan) and runs every
# test. The test directory server is started and stopped by the test suite itself, on loopback.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh

jobs=$(nproc)
for preset in ci asan; do
    cmake --preset "$preset"
    cmake --build --preset "$preset" -j "$jobs"
    ctest --preset "$preset"
done
cmake --build --preset ci --target format-check

# A third build with clang-14 and libFuzzer, then each fuzz target for a bounded time.
cmake --preset fuzz
cmake --build --preset fuzz -j "$jobs"
bash tests/fuzz/run.sh 60
