#!/usr/bin/env bash
# Times one check against a throwaway local directory, beside a minimal libldap client, and counts
# what a single check costs the server according to its stats log.
set -euo pipefail
cd "$(dirname "$0")/.."
rounds=${1:-200}
build=build/ci
cmake --preset ci >/dev/null
cmake --build --preset ci -j "$(nproc)" --target bench_check count_check >/dev/null

state=$(mktemp -d)
trap 'bash tests/integration/directory/fixture.sh stop "$state" >/dev/null' EXIT
bash tests/integration/directory/fixture.sh start "$state" >/dev/null
# shellcheck disable=SC1091
. "$state/env"

echo "== median time of one check, $rounds rounds each =="
echo marigold | LDAPTLS_CACERT=$CA_CERT "$build/bench/bench_check" "$LDAP_PORT" "$LDAPS_PORT" "$CA_CERT" "$rounds"

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
dn="uid=sampleusr,ou=Users,ou=HQ,dc=example,dc=com"
ou="OU=Users,OU=HQ,DC=example,DC=com"
echo "LDAPS, DN, flags 0:";        count "LDAPS://127.0.0.1:$LDAPS_PORT/$ou" "$dn" 0
echo "LDAP, DN, flags 0:";         count "LDAP://127.0.0.1:$LDAP_PORT/$ou" "$dn" 0
echo "LDAP + StartTLS, flags 1:";  count "LDAP://127.0.0.1:$LDAP_PORT/$ou" "$dn" 1
echo "LDAP, plain name sampleusr:"; count "LDAP://127.0.0.1:$LDAP_PORT/$ou" sampleusr 0
