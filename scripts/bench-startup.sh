#!/usr/bin/env bash
# Start-up time and peak memory of Quorvane against an empty Qt Widgets window, under Xvfb.
#   scripts/bench-startup.sh [RUNS]     builds the ci preset (optimised) first
set -euo pipefail
cd "$(dirname "$0")/.."

cmake --preset ci >/dev/null
cmake --build --preset ci -j "$(nproc)" --target Quorvane bench_empty_window >/dev/null
state=$(mktemp -d)
fixture=tests/integration/directory/fixture.sh
trap 'bash "$fixture" stop "$state/directory"; rm -rf "$state"' EXIT
bash "$fixture" start "$state/directory" >/dev/null
python=/usr/bin/python3
[[ -x $python ]] || python=python3
PYTHONDONTWRITEBYTECODE=1 "$python" tests/e2e/bench_startup.py build/ci/src/app/Quorvane build/ci/tests/e2e/bench_empty_window \
    "$state/directory" "${1:-15}"
