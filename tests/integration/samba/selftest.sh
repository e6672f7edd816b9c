#!/usr/bin/env bash
# Checks that the domain controller started by fixture.sh answers the way the negotiated-
# authentication tests rely on, so a broken fixture shows up here rather than as puzzling
# failures elsewhere. Runs inside the namespace:
#   fixture.sh exec STATE_DIR selftest.sh MINIMAL_GSS_CHECK
set -euo pipefail

client=${1:?usage: selftest.sh MINIMAL_GSS_CHECK}
uri=ldap://$DC_HOST/
# shellcheck source=SCRIPTDIR/../selftest-lib.sh
. "$(dirname "${BASH_SOURCE[0]}")/../selftest-lib.sh"

# One check by the minimal client; the password travels in its environment only.
client_as() {
    local password=$1
    shift
    MINIMAL_CHECK_PASSWORD=$password timeout 30 "$client" -t "$@"
}

# Binds, the server saw MECHANISM, and the security layer is at least sealing (SSF 56).
binds_sealed() {
    local mechanism=$1 out ssf
    shift
    out=$(client_as "$@") || return 1
    echo "$out"
    [[ $out =~ ^bound,\ SSF\ ([0-9]+),\ server\ saw\ $mechanism, ]] && ssf=${BASH_REMATCH[1]} && ((ssf >= 56))
}

refused_with() {
    local text=$1 out
    shift
    out=$(client_as "$@" 2>&1) && return 1
    echo "$out"
    [[ $out == *"$text"* ]]
}

bad_pwd_count() {
    ldbsearch -H "$SAM_LDB" -b "CN=Users,$BASE_DN" "(sAMAccountName=$1)" badPwdCount 2>/dev/null \
        | sed -n 's/^badPwdCount: //p'
}

one_bad_attempt() {
    local before after
    before=$(bad_pwd_count "$NORMAL_USER")
    client_as "not-$NORMAL_PASSWORD" "$uri" "$NORMAL_USER@$DNS_DOMAIN" "$BASE_DN" || true
    after=$(bad_pwd_count "$NORMAL_USER")
    echo "badPwdCount $before -> $after"
    [[ -n $before ]] && ((after == before + 1))
}

with_krb5_conf() {
    local conf=$1
    shift
    KRB5_CONFIG=$conf "$@"
}

no_route_out() {
    ! ip route get 192.0.2.1 2>&1
}

check "Kerberos bind as $NORMAL_USER@$DNS_DOMAIN, sealed" binds_sealed kerberos "$NORMAL_PASSWORD" \
    "$uri" "$NORMAL_USER@$DNS_DOMAIN" "$BASE_DN"
check "NTLM bind as $DOMAIN\\$NORMAL_USER, sealed" binds_sealed ntlm "$NORMAL_PASSWORD" \
    -n "$uri" "$DOMAIN\\$NORMAL_USER" "$BASE_DN"
check "krb5-dead-kdc.conf: Kerberos cannot be tried" with_krb5_conf "$KRB5_CONF_DEAD_KDC" refused_with \
    "Cannot contact any KDC" "$NORMAL_PASSWORD" "$uri" "$NORMAL_USER@$DNS_DOMAIN" "$BASE_DN"
check "krb5-no-kdc.conf: no KDC named for the realm" with_krb5_conf "$KRB5_CONF_NO_KDC" refused_with \
    "Cannot find KDC for realm" "$NORMAL_PASSWORD" "$uri" "$NORMAL_USER@$DNS_DOMAIN" "$BASE_DN"
# NTLM's sub-codes tell disabled (533) from expired (701), where the KDC says "revoked" for both.
check "$DISABLED_USER is disabled" refused_with "data 533," \
    "$DISABLED_PASSWORD" -n "$uri" "$DOMAIN\\$DISABLED_USER" "$BASE_DN"
check "$EXPIRED_USER has expired" refused_with "data 701," \
    "$EXPIRED_PASSWORD" -n "$uri" "$DOMAIN\\$EXPIRED_USER" "$BASE_DN"
check "$MUST_CHANGE_USER must change the password" refused_with "Password has expired" \
    "$MUST_CHANGE_PASSWORD" "$uri" "$MUST_CHANGE_USER@$DNS_DOMAIN" "$BASE_DN"
check "a wrong password is one bad attempt" one_bad_attempt
check "the namespace has no route out" no_route_out

report
