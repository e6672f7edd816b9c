#!/usr/bin/env bash
# One Kerberos check through our provider beside a minimal C client making the same calls
# (tests/tools/minimal_gss_check.c), and a simple bind over LDAPS, against the throwaway Samba
# domain controller. Needs root (the controller runs in a network namespace of its own).
#   scripts/bench-negotiate.sh [BLOCKS] [ROUNDS PER BLOCK]
set -euo pipefail
cd "$(dirname "$0")/.."
blocks=${1:-5}
rounds=${2:-20}
cmake --preset ci >/dev/null
cmake --build --preset ci -j "$(nproc)" --target bench_negotiate minimal_gss_check >/dev/null
state=$(mktemp -d)
trap 'bash tests/integration/samba/fixture.sh stop "$state" >/dev/null' EXIT
bash tests/integration/samba/fixture.sh start "$state" >/dev/null
# shellcheck disable=SC2016
bash tests/integration/samba/fixture.sh exec "$state" bash -c '
    ours=$1 minimal=$2 blocks=$3 rounds=$4
    path="LDAP://$DC_HOST/$BASE_DN" upn="$NORMAL_USER@$DNS_DOMAIN"
    results=$(mktemp)
    median() { sort -n | awk "{ v[NR] = \$1 } END { print v[int((NR + 1) / 2)] }"; }
    for _ in $(seq "$blocks"); do
        printf "%s\n" "$NORMAL_PASSWORD" | "$ours" "$path" "$upn" 5 "$rounds" | sed -n "s/.*: \(.*\) ms/ours \1/p"
        MINIMAL_CHECK_PASSWORD=$NORMAL_PASSWORD "$minimal" -r "$rounds" "ldap://$DC_HOST/" "$upn" "$BASE_DN" \
            | sed -n "s/^median of .*: \(.*\) ms/minimal \1/p"
        printf "%s\n" "$NORMAL_PASSWORD" | LDAPTLS_CACERT=$CA_CERT "$ours" "LDAPS://$DC_HOST/$BASE_DN" \
            "CN=$NORMAL_USER,CN=Users,$BASE_DN" 0 "$rounds" | sed -n "s/.*: \(.*\) ms/ldaps \1/p"
    done >"$results"
    o=$(grep "^ours " "$results" | cut -d" " -f2 | median)
    m=$(grep "^minimal " "$results" | cut -d" " -f2 | median)
    l=$(grep "^ldaps " "$results" | cut -d" " -f2 | median)
    echo "median of $blocks block medians, $rounds checks each:"
    echo "  Kerberos, ours:            $o ms"
    echo "  Kerberos, minimal client:  $m ms   ratio $(echo "scale=3; $o / $m" | bc)"
    echo "  simple bind over LDAPS:    $l ms"
    rm -f "$results"
' bash "$PWD/build/ci/bench/bench_negotiate" "$PWD/build/ci/tests/tools/minimal_gss_check" "$blocks" "$rounds"
