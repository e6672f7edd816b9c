#!/usr/bin/env bash
# Checks that the directory started by fixture.sh behaves the way the integration tests
# rely on, so a broken fixture shows up here rather than as puzzling failures elsewhere.
# Usage: selftest.sh STATE_DIR   (exit 77 = skipped)
set -euo pipefail

state=${1:?usage: selftest.sh STATE_DIR}
if [[ -e $state/unavailable || ! -r $state/env ]]; then
    if [[ -n ${CI:-} ]]; then
        echo "selftest: no test directory in $state" >&2
        exit 1
    fi
    echo "selftest: no test directory in $state; skipping"
    exit 77
fi

declare -A env
while IFS='=' read -r key value; do
    [[ -n $key ]] && env[$key]=$value
done <"$state/env"
for key in LDAP_PORT LDAPS_PORT EXPIRED_PORT LDAP_IPV6 CA_CERT OTHER_CA_CERT SLAPD_LOG SLAPD_PID \
    ADMIN_DN ADMIN_PASSWORD_FILE BASE_DN; do
    [[ -n ${env[$key]:-} ]] || {
        echo "selftest: $key missing from $state/env" >&2
        exit 1
    }
done

ldap=ldap://127.0.0.1:${env[LDAP_PORT]}/
ldaps=ldaps://127.0.0.1:${env[LDAPS_PORT]}/
users=ou=Users,ou=HQ,${env[BASE_DN]}
sample=uid=sampleusr,$users

umask 077
# shellcheck source=SCRIPTDIR/../selftest-lib.sh
. "$(dirname "${BASH_SOURCE[0]}")/../selftest-lib.sh"
# Passwords go to the tools through files, so they never show in output or process lists.
secret() { printf '%s' "$2" >"$tmp/$1" && echo "$tmp/$1"; }
good=$(secret good marigold)
bad=$(secret bad not-marigold)
lab=$(secret lab labpass)

# Only our own settings: no ~/.ldaprc, and TLS trust comes from the variables below.
export LDAPRC=/dev/null LDAPTLS_REQCERT=demand LDAPTLS_CACERT=${env[CA_CERT]}
ldap_tool() {
    local tool=$1
    shift
    timeout 10 "$tool" -x -o nettimeout=5 "$@"
}

# Exit status of the command must be exactly WANT.
status_is() {
    local want=$1 got=0
    shift
    "$@" || got=$?
    echo "exit status $got"
    ((got == want))
}

whoami_is() {
    local want=$1 got
    shift
    got=$(ldap_tool ldapwhoami "$@")
    echo "$got"
    [[ ${got,,} == "dn:${want,,}" ]]
}

# OpenSSL's own verdict on the server certificate: 0 = OK, 10 = expired, 19 = self-signed
# certificate in the chain (slapd sends the test CA along), 64 = IP address mismatch.
tls_verify_code() {
    local want=$1 code
    shift
    code=$(timeout 10 openssl s_client "$@" </dev/null 2>&1 \
        | sed -n 's/^ *Verify return code: \([0-9]*\).*/\1/p' | tail -n 1)
    echo "verify return code ${code:-none}, expected $want"
    [[ $code == "$want" ]]
}

# ldapwhoami trusting only CA; libldap reports TLS failures as -1, which the tool exits 255 with.
whoami_status_with_ca() {
    local ca=$1 want=$2
    shift 2
    status_is "$want" env LDAPTLS_CACERT="$ca" timeout 10 ldapwhoami -x -o nettimeout=5 "$@"
}

count_entries() {
    local want=$1 n
    shift
    n=$(ldap_tool ldapsearch -LLL "$@" | grep -c '^dn:' || true)
    echo "$n entries"
    ((n == want))
}

admin_sees_own_connection() {
    ldap_tool ldapsearch -LLL -H "$ldap" -D "${env[ADMIN_DN]}" -y "${env[ADMIN_PASSWORD_FILE]}" \
        -b cn=Connections,cn=Monitor -s one monitorConnectionAuthzDN >"$tmp/monitor"
    cat "$tmp/monitor"
    grep -qi "^monitorConnectionAuthzDN: ${env[ADMIN_DN]}\$" "$tmp/monitor"
}

anonymous_cannot_read_passwords() {
    ldap_tool ldapsearch -LLL -H "$ldap" -b "$sample" -s base '*' >"$tmp/entry"
    grep -q '^mail: sampleusr@example.com$' "$tmp/entry" && ! grep -qi '^userPassword' "$tmp/entry"
}

log_shows_bind() {
    grep -Eq "conn=[0-9]+ op=[0-9]+ BIND dn=\"$sample\" method=128" "${env[SLAPD_LOG]}" \
        && grep -Eq 'conn=[0-9]+ op=[0-9]+ SRCH base=' "${env[SLAPD_LOG]}"
}

check "slapd is running" test "$(cat "/proc/${env[SLAPD_PID]}/comm" 2>/dev/null)" = slapd
check "simple bind over ldap://" whoami_is "$sample" -H "$ldap" -D "$sample" -y "$good"
check "simple bind over ldaps:// with the test CA" whoami_is "$sample" -H "$ldaps" -D "$sample" -y "$good"
check "StartTLS on the plain port" whoami_is "$sample" -H "$ldap" -ZZ -D "$sample" -y "$good"
check "wrong password is invalidCredentials (49)" status_is 49 ldap_tool ldapwhoami -H "$ldap" -D "$sample" -y "$bad"
check "bind through the escaped OU" whoami_is "uid=labuser,ou=R\\2CD \\2B Ops/Lab,$users" \
    -H "$ldap" -D "uid=labuser,ou=R\\,D \\+ Ops/Lab,$users" -y "$lab"
check "escaped OU has the literal value" count_entries 1 -H "$ldap" -b "$users" '(ou=R,D + Ops/Lab)'
check "anonymous finds a user by uid" count_entries 1 -H "$ldap" -b "${env[BASE_DN]}" '(uid=sampleusr)'
check "shared mail matches two entries" count_entries 2 -H "$ldap" -b "${env[BASE_DN]}" '(mail=dup@example.com)'
check "printer1 has nothing beneath it" count_entries 0 -H "$ldap" -b "cn=printer1,$users" -s one
check "anonymous cannot read userPassword" anonymous_cannot_read_passwords
check "admin sees its connection in cn=Monitor" admin_sees_own_connection
check "anonymous cannot read cn=Monitor" status_is 32 ldap_tool ldapsearch -LLL -H "$ldap" \
    -b cn=Connections,cn=Monitor -s one 1.1
check "certificate names 127.0.0.1" tls_verify_code 0 -connect "127.0.0.1:${env[LDAPS_PORT]}" \
    -CAfile "${env[CA_CERT]}" -verify_ip 127.0.0.1
check "certificate does not name 127.0.0.2" tls_verify_code 64 -connect "127.0.0.2:${env[LDAPS_PORT]}" \
    -CAfile "${env[CA_CERT]}" -verify_ip 127.0.0.2
check "ldaps://127.0.0.2 is refused by the client" whoami_status_with_ca "${env[CA_CERT]}" 255 \
    -H "ldaps://127.0.0.2:${env[LDAPS_PORT]}/" -D "$sample" -y "$good"
check "other CA does not trust the server" tls_verify_code 19 -connect "127.0.0.1:${env[LDAPS_PORT]}" \
    -CAfile "${env[OTHER_CA_CERT]}"
check "ldaps:// trusting only the other CA is refused" whoami_status_with_ca "${env[OTHER_CA_CERT]}" 255 \
    -H "$ldaps" -D "$sample" -y "$good"
check "expired certificate is reported as expired" tls_verify_code 10 \
    -connect "127.0.0.1:${env[EXPIRED_PORT]}" -CAfile "${env[CA_CERT]}"
if [[ ${env[LDAP_IPV6]} == 1 ]]; then
    check "simple bind over ldap://[::1]" whoami_is "$sample" -H "ldap://[::1]:${env[LDAP_PORT]}/" \
        -D "$sample" -y "$good"
    check "certificate names ::1" tls_verify_code 0 -connect "[::1]:${env[LDAPS_PORT]}" \
        -CAfile "${env[CA_CERT]}" -verify_ip ::1
fi
check "stats log records binds and searches" log_shows_bind

report
