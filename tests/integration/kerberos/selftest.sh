#!/usr/bin/env bash
# Checks that the realm and directories started by fixture.sh answer the way the Kerberos tests
# rely on, with the system's own clients only, so a broken fixture shows up here rather than as
# puzzling failures elsewhere. Runs inside the namespace:
#   fixture.sh exec STATE_DIR selftest.sh
set -euo pipefail

# shellcheck source=SCRIPTDIR/../selftest-lib.sh
. "$(dirname "${BASH_SOURCE[0]}")/../selftest-lib.sh"

# kinit with the password on stdin, never on a command line.
kinit_as() {
    local user=$1 password=$2
    printf '%s\n' "$password" | timeout 30 kinit "$user"
}

# slapd logs DNs normalized (ou=people), so matches ignore case.
count() { grep -ciF -- "$2" "$1" || true; }

gssapi_bind_maps() {
    local before out
    before=$(count "$SLAPD_A_LOG" "dn=\"uid=ana,$PEOPLE_DN\" mech=GSSAPI")
    kinit_as "$ANA_USER" "$ANA_PASSWORD" || return 1
    out=$(timeout 30 ldapwhoami -Y GSSAPI -H "ldap://$LDAP1_HOST/" 2>&1) || {
        echo "$out"
        return 1
    }
    echo "$out"
    [[ ${out,,} == *"dn:uid=ana,${PEOPLE_DN,,}"* ]] || return 1
    # slapd logs the BIND result after answering; give it a moment.
    local i
    for ((i = 0; i < 20; i++)); do
        (($(count "$SLAPD_A_LOG" "dn=\"uid=ana,$PEOPLE_DN\" mech=GSSAPI") > before)) && return 0
        sleep 0.1
    done
    echo "no mech=GSSAPI line for uid=ana in $SLAPD_A_LOG"
    return 1
}

failures() {
    kadmin.local -q "getprinc $1" 2>/dev/null | sed -n 's/^Failed password attempts: //p'
}

one_failed_attempt() {
    local before after
    before=$(failures "$ANA_USER")
    kinit_as "$ANA_USER" "not-$ANA_PASSWORD" && return 1
    after=$(failures "$ANA_USER")
    echo "Failed password attempts $before -> $after"
    [[ -n $before ]] && ((after == before + 1))
}

# kinit refuses USER with TEXT, and the KDC logged WHY for that principal.
refused() {
    local user=$1 password=$2 text=$3 why=$4 out
    out=$(kinit_as "$user" "$password" 2>&1) && return 1
    echo "$out"
    [[ $out == *"$text"* ]] && grep -qF -- "$why: $user@$REALM " "$KDC_LOG"
}

starttls_simple_bind() {
    local out
    out=$(printf '%s' "$ANA_PASSWORD" | timeout 30 ldapwhoami -ZZ -x -H "ldap://$DEMO_HOST/" \
        -D "uid=ana,$PEOPLE_DN" -y /dev/stdin 2>&1) || {
        echo "$out"
        return 1
    }
    echo "$out"
    [[ $out == "dn:uid=ana,$PEOPLE_DN" ]]
}

lone_offers_gssapi() {
    timeout 30 ldapsearch -LLL -x -H "ldap://$LDAP2_HOST/" -b "" -s base supportedSASLMechanisms |
        grep -qx 'supportedSASLMechanisms: GSSAPI'
}

lone_refuses_starttls() {
    local out
    out=$(timeout 30 ldapwhoami -ZZ -x -H "ldap://$LDAP2_HOST/" 2>&1) && return 1
    echo "$out"
    [[ $out == *"unsupported extended operation"* ]]
}

# TXT answers from the namespace's resolver, by a bare query: no DNS client is guaranteed here.
txt_record() {
    python3 - "$1" <<'PY'
import socket, struct, sys
query = struct.pack(">6H", 0x5156, 0x0100, 1, 0, 0, 0)
query += b"".join(bytes([len(label)]) + label.encode() for label in sys.argv[1].split("."))
query += b"\0" + struct.pack(">HH", 16, 1)
with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
    s.settimeout(2)
    s.sendto(query, ("127.0.0.1", 53))
    reply = s.recv(4096)
i = len(query)
for _ in range(struct.unpack(">H", reply[6:8])[0]):
    while reply[i] and reply[i] < 0xC0:
        i += reply[i] + 1
    i += 2 if reply[i] else 1
    rtype, _, _, length = struct.unpack(">HHIH", reply[i:i + 10])
    i += 10
    if rtype == 16:
        print(reply[i + 1:i + 1 + reply[i]].decode())
    i += length
PY
}

txt_names_realm() {
    local out
    out=$(txt_record "_kerberos.acme.test") || return 1
    echo "TXT _kerberos.acme.test: $out"
    [[ $out == "$REALM" ]]
}

kdc_from_srv() {
    kdestroy 2>/dev/null || true
    KRB5_CONFIG=$KRB5_CONF_TXT kinit_as "$ANA_USER" "$ANA_PASSWORD"
}

no_route_out() {
    ! ip route get 192.0.2.1 2>&1
}

check "kinit $ANA_USER, GSSAPI bind to $LDAP1_HOST maps to uid=ana,$PEOPLE_DN" gssapi_bind_maps
check "a wrong password is one failed attempt" one_failed_attempt
check "$DIS_USER is disabled" refused "$DIS_USER" "$DIS_PASSWORD" \
    "Client's credentials have been revoked" "CLIENT LOCKED OUT"
check "$PWX_USER's password has expired" refused "$PWX_USER" "$PWX_PASSWORD" \
    "Password expired.  You must change it now." "CLIENT KEY EXPIRED"
check "$ACX_USER's account has expired" refused "$ACX_USER" "$ACX_PASSWORD" \
    "Client's entry in database has expired" "CLIENT EXPIRED"
check "StartTLS simple bind as uid=ana to $DEMO_HOST" starttls_simple_bind
check "$LDAP2_HOST offers GSSAPI" lone_offers_gssapi
check "$LDAP2_HOST refuses StartTLS" lone_refuses_starttls
check "TXT _kerberos.acme.test names $REALM" txt_names_realm
check "krb5-txt.conf: the KDC is found by SRV" kdc_from_srv
check "the namespace has no route out" no_route_out

report
