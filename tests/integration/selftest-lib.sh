# shellcheck shell=bash
# What the fixtures' selftests share: a scratch directory $tmp, `check NAME CMD...`, which shows
# CMD's output only when it fails, and `report`, which counts them and fails when one did.

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

passed=0 failed=0
check() {
    local name=$1
    shift
    if "$@" >"$tmp/out" 2>&1; then
        passed=$((passed + 1))
        echo "ok   $name"
    else
        failed=$((failed + 1))
        echo "FAIL $name"
        sed 's/^/     /' "$tmp/out"
    fi
}

report() {
    echo "$passed passed, $failed failed"
    ((failed == 0))
}
