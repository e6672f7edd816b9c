#!/usr/bin/env bash
# Builds the fuzz targets when needed, replays every saved regression input, then fuzzes each target
# for a bounded time. Usage: tests/fuzz/run.sh [seconds per target, default 60]
# Exits non-zero when any target finds a crash, a broken invariant, a leak or a timeout.
set -euo pipefail
cd "$(dirname "$0")/../.."

seconds=${1:-60}
if ! [[ $seconds =~ ^[1-9][0-9]*$ ]]; then
    echo "usage: $0 [seconds per target]" >&2
    exit 2
fi

targets=(fuzz_ldappath fuzz_flags fuzz_descriptions)
build=build/fuzz
if [ ! -f "$build/CMakeCache.txt" ]; then
    cmake --preset fuzz
fi
cmake --build --preset fuzz -j "$(nproc)" --target "${targets[@]}"

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export LSAN_OPTIONS=suppressions=$PWD/tests/lsan.supp:print_suppressions=0

logs=$build/fuzz-logs
rm -rf "$logs"
mkdir -p "$logs"
# Inputs the fuzzer generates stay out of the checked-in corpus.
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

failed=()
for target in "${targets[@]}"; do
    binary=$build/tests/fuzz/$target
    findings=$logs/$target-findings
    mkdir -p "$findings" "$work/$target"

    # One run per saved input: libFuzzer would stop at the first failing file.
    for input in tests/fuzz/regressions/"$target"/*; do
        [ -f "$input" ] || continue
        log=$logs/$target-regression-$(basename "$input").log
        if ! timeout 60 "$binary" -timeout=10 "$input" >"$log" 2>&1; then
            echo "== $target: saved input $input fails"
            grep -E '^==fuzz==|ERROR: (AddressSanitizer|LeakSanitizer|libFuzzer)|runtime error:' "$log" \
                | head -n 5 || true
            failed+=("$target ($(basename "$input"))")
        fi
    done

    # libFuzzer stops itself; the outer timeout only guards against a hang outside any input.
    status=0
    timeout --signal=INT --kill-after=30 $((seconds + 120)) \
        "$binary" -max_total_time="$seconds" -timeout=10 -max_len=8192 -print_final_stats=1 \
        -artifact_prefix="$findings/" "$work/$target" "tests/fuzz/corpus/$target" \
        >"$logs/$target.log" 2>&1 || status=$?

    # The last status line is DONE after a full run, or the last progress line before a finding.
    status_line=$(grep -E '^#[0-9]+.* cov: [0-9]+ ft: [0-9]+' "$logs/$target.log" | tail -n 1 || true)
    executions=$(sed -n 's/^stat::number_of_executed_units: *//p' "$logs/$target.log" | tail -n 1)
    rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$logs/$target.log" | tail -n 1)
    coverage=$(sed -n 's/.* cov: \([0-9]*\) ft: \([0-9]*\).*/cov \1 ft \2/p' <<<"$status_line")
    echo "== $target: ${executions:-?} executions, ${rate:-?} exec/s, ${coverage:-coverage unknown}" \
        "(limit ${seconds} s, libFuzzer exit $status)"
    grep '^stat::' "$logs/$target.log" || true
    if [ "$status" -ne 0 ]; then
        echo "== $target FAILED; the input is kept in $findings"
        grep -E '^==fuzz==|ERROR: (AddressSanitizer|LeakSanitizer|libFuzzer)|runtime error:' \
            "$logs/$target.log" | head -n 20 || true
        grep -v '^stat::' "$logs/$target.log" | tail -n 30
        failed+=("$target")
    fi
done

if [ ${#failed[@]} -ne 0 ]; then
    echo "Fuzzing found problems in: ${failed[*]} (logs in $logs)" >&2
    exit 1
fi
echo "Fuzzing found nothing (logs in $logs)"
