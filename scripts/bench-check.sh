#!/usr/bin/env bash
# Times one check against a throwaway local directory, beside a minimal libldap client; times the
# whole quorvane-check process beside ldapwhoami making the same bind; and counts what a single check
# costs the server according to its stats log.
# QUORVANE_BENCH_BUILD names the build directory, configured with the ci preset (default build/ci).
set -euo pipefail
build=$(realpath -m -- "${QUORVANE_BENCH_BUILD:-$(dirname "$0")/../build/ci}")
cd "$(dirname "$0")/.."
rounds=${1:-200}
cmake --preset ci -B "$build" >/dev/null
cmake --build "$build" -j "$(nproc)" --target bench_check count_check quorvane-check >/dev/null

state=$(mktemp -d)
trap 'bash tests/integration/directory/fixture.sh stop "$state" >/dev/null' EXIT
bash tests/integration/directory/fixture.sh start "$state" >/dev/null
# shellcheck disable=SC1091
. "$state/env"

echo "== median time of one check, $rounds rounds each =="
echo marigold | LDAPTLS_CACERT=$CA_CERT "$build/bench/bench_check" "$LDAP_PORT" "$LDAPS_PORT" "$CA_CERT" "$rounds"

echo "== one whole process: quorvane-check beside ldapwhoami, same bind, $rounds rounds each, interleaved =="
# No line end: ldapwhoami -y takes the whole file as the password.
password_file=$state/bench-password
(umask 077 && printf '%s' marigold >"$password_file")
dn="uid=sampleusr,ou=Users,ou=HQ,dc=example,dc=com"
ou="OU=Users,OU=HQ,DC=example,DC=com"
# Microseconds one command takes, process start included; a failed check ends the benchmark.
elapsed() {
    local start=$EPOCHREALTIME end
    "$@" >/dev/null 2>&1 || {
        echo "bench-check: $1 failed" >&2
        exit 1
    }
    end=$EPOCHREALTIME
    echo $((10#${end/[.,]/} - 10#${start/[.,]/}))
}
median() { printf '%s\n' "$@" | sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
export LDAPTLS_CACERT=$CA_CERT
for scheme in ldap ldaps; do
    port=$LDAP_PORT
    [[ $scheme == ldaps ]] && port=$LDAPS_PORT
    ours=() theirs=()
    for ((round = 0; round < rounds; round++)); do
        # Alternate who goes first, so neither always finds the server's caches warm.
        for turn in $((round % 2)) $(((round + 1) % 2)); do
            if ((turn == 0)); then
                ours+=("$(elapsed "$build/src/check/quorvane-check" --flags 0 \
                    --user "$dn" --password-file "$password_file" "${scheme^^}://127.0.0.1:$port/$ou")")
            else
                theirs+=("$(elapsed ldapwhoami -x -H "$scheme://127.0.0.1:$port" \
                    -D "$dn" -y "$password_file")")
            fi
        done
    done
    awk -v scheme="${scheme^^}" -v ours="$(median "${ours[@]}")" -v theirs="$(median "${theirs[@]}")" \
        'BEGIN { printf "  %-5s quorvane-check median %.2f ms, ldapwhoami %.2f ms, ratio %.2f\n", scheme, ours / 1000, theirs / 1000, ours / theirs }'
done

echo "== what one check costs the server (slapd stats log) =="
count() {
    local path=$1 user=$2 flags=$3
    local before after
    before=$(wc -l <"$SLAPD_LOG")
    echo marigold | LDAPTLS_CACERT=$CA_CERT "$build/tests/tools/count_check" "$path" "$user" "$flags"
    sleep 0.3
    after=$(tail -n +"$((before + 1))" "$SLAPD_LOG")
    printf '  connections %s, binds %s, searches %s, StartTLS %s, unbinds %s\n' \
        "$(grep -c ' ACCEPT ' <<<"$after" || true)" "$(grep -c 'RESULT tag=97 ' <<<"$after" || true)" \
        "$(grep -c ' SRCH base=' <<<"$after" || true)" "$(grep -c 'EXT oid=1.3.6.1.4.1.1466.20037' <<<"$after" || true)" \
        "$(grep -c ' UNBIND' <<<"$after" || true)"
}
echo "LDAPS, DN, flags 0:";        count "LDAPS://127.0.0.1:$LDAPS_PORT/$ou" "$dn" 0
echo "LDAP, DN, flags 0:";         count "LDAP://127.0.0.1:$LDAP_PORT/$ou" "$dn" 0
echo "LDAP + StartTLS, flags 1:";  count "LDAP://127.0.0.1:$LDAP_PORT/$ou" "$dn" 1
echo "LDAP, plain name sampleusr:"; count "LDAP://127.0.0.1:$LDAP_PORT/$ou" sampleusr 0
