#!/usr/bin/env bash
# One Kerberos check through our provider beside a minimal C client making the same calls
# (tests/tools/minimal_gss_check.c), and a simple bind over LDAPS, against the throwaway Samba
# domain controller; the same Kerberos pair against slapd with an MIT KDC (SASL GSSAPI, a root entry
# that names no realm). Needs root (each fixture runs in a network namespace of its own).
#   scripts/bench-negotiate.sh [BLOCKS] [ROUNDS PER BLOCK]
# QUORVANE_BENCH_BUILD names the build directory, configured with the ci preset (default build/ci).
# Exit status 1 when a check against slapd failed; the other figures are printed all the same.
set -euo pipefail
build=$(realpath -m -- "${QUORVANE_BENCH_BUILD:-$(dirname "$0")/../build/ci}")
cd "$(dirname "$0")/.."
blocks=${1:-5}
rounds=${2:-20}
cmake --preset ci -B "$build" >/dev/null
cmake --build "$build" -j "$(nproc)" --target bench_negotiate minimal_gss_check >/dev/null
ours=$build/bench/bench_negotiate
minimal=$build/tests/tools/minimal_gss_check
state=$(mktemp -d)
kdc_state=$(mktemp -d)
results=$(mktemp)
cleanup() {
    bash tests/integration/samba/fixture.sh stop "$state" >/dev/null && rm -rf "$state"
    bash tests/integration/kerberos/fixture.sh stop "$kdc_state" >/dev/null && rm -rf "$kdc_state"
    rm -f "$results"
}
trap cleanup EXIT
bash tests/integration/samba/fixture.sh start "$state" >/dev/null
bash tests/integration/kerberos/fixture.sh start "$kdc_state" >/dev/null
run_ours=1
for _ in $(seq "$blocks"); do
    # Once ours has failed against slapd it is not run again: the reason is kept, the rest goes on.
    # shellcheck disable=SC2016
    bash tests/integration/kerberos/fixture.sh exec "$kdc_state" bash -c '
        ours=$1 minimal=$2 rounds=$3 run_ours=$4
        if ((run_ours)); then
            if out=$(printf "%s\n" "$ANA_PASSWORD" \
                | "$ours" "LDAP://$LDAP1_HOST/$PEOPLE_DN" "$ANA_USER" 5 "$rounds" 2>&1); then
                sed -n "s/^median of .*: \(.*\) ms/slapd-ours \1/p" <<<"$out"
            else
                echo "slapd-ours-failed $(tail -n 1 <<<"$out")"
            fi
        fi
        MINIMAL_CHECK_PASSWORD=$ANA_PASSWORD "$minimal" -p -g -R "$REALM" -r "$rounds" "ldap://$LDAP1_HOST/" \
            "$ANA_USER@$REALM" "$PEOPLE_DN" | sed -n "s/^median of .*: \(.*\) ms/slapd-minimal \1/p"
    ' bash "$ours" "$minimal" "$rounds" "$run_ours" >>"$results"
    if grep -q "^slapd-ours-failed " "$results"; then
        run_ours=0
    fi
    # shellcheck disable=SC2016
    bash tests/integration/samba/fixture.sh exec "$state" bash -c '
        ours=$1 minimal=$2 rounds=$3
        path="LDAP://$DC_HOST/$BASE_DN" upn="$NORMAL_USER@$DNS_DOMAIN"
        printf "%s\n" "$NORMAL_PASSWORD" | "$ours" "$path" "$upn" 5 "$rounds" | sed -n "s/.*: \(.*\) ms/ours \1/p"
        MINIMAL_CHECK_PASSWORD=$NORMAL_PASSWORD "$minimal" -r "$rounds" "ldap://$DC_HOST/" "$upn" "$BASE_DN" \
            | sed -n "s/^median of .*: \(.*\) ms/minimal \1/p"
        printf "%s\n" "$NORMAL_PASSWORD" | LDAPTLS_CACERT=$CA_CERT "$ours" "LDAPS://$DC_HOST/$BASE_DN" \
            "CN=$NORMAL_USER,CN=Users,$BASE_DN" 0 "$rounds" | sed -n "s/.*: \(.*\) ms/ldaps \1/p"
    ' bash "$ours" "$minimal" "$rounds" >>"$results"
done
median() { sort -n | awk '{ v[NR] = $1 } END { if (NR) print v[int((NR + 1) / 2)] }'; }
figure() { awk -v key="$1" '$1 == key { print $2 }' "$results" | median; }
o=$(figure ours)
m=$(figure minimal)
l=$(figure ldaps)
so=$(figure slapd-ours)
sm=$(figure slapd-minimal)
echo "median of $blocks block medians, $rounds checks each:"
echo "  Kerberos, ours:            $o ms"
echo "  Kerberos, minimal client:  $m ms   ratio $(echo "scale=3; $o / $m" | bc)"
echo "  simple bind over LDAPS:    $l ms"
failure=$(sed -n "s/^slapd-ours-failed //p" "$results" | head -n 1)
shown() { if [[ -n $1 ]]; then echo "$1 ms"; else echo "no result"; fi; }
if [[ -z $failure && -n $so && -n $sm ]]; then
    echo "  Kerberos on slapd + MIT KDC, ours:            $so ms"
    echo "  Kerberos on slapd + MIT KDC, minimal client:  $sm ms   ratio $(echo "scale=3; $so / $sm" | bc)"
else
    if [[ -n $failure ]]; then
        echo "  Kerberos on slapd + MIT KDC, ours:            failed: $failure"
    else
        echo "  Kerberos on slapd + MIT KDC, ours:            $(shown "$so")"
    fi
    echo "  Kerberos on slapd + MIT KDC, minimal client:  $(shown "$sm")"
    exit 1
fi
