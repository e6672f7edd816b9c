#!/usr/bin/env bash
# Runs whole checks under valgrind memcheck: any definite or indirect leak, or any invalid access,
# fails.
#   memcheck.sh directory CHECK STATE_DIR   successes and failures against the test directory
#   memcheck.sh negotiate CHECK             a Kerberos and an NTLM logon against the test domain
#                                           controller, inside its namespace (samba/fixture.sh exec)
set -euo pipefail
mode=$1
check=$2

run() {
    local password=$1
    shift
    # The password goes through standard input only, never onto a command line or into the log.
    # Deep stacks: the suppressions name frames below a dozen of OpenSSL's own.
    printf '%s\n' "$password" | valgrind --quiet --suppressions="$(dirname "$0")/valgrind.supp" \
        --num-callers=40 --leak-check=full --show-leak-kinds=definite,indirect \
        --errors-for-leak-kinds=definite,indirect --error-exitcode=99 \
        "$check" "$@"
}

# A logon that must succeed, through the mechanism the controller's audit log names (AUTH).
run_valid() {
    local auth=$1 shown last rc=0
    shift
    shown=$(run "$@") || rc=$?
    printf '%s\n' "$shown"
    ((rc == 0)) || exit "$rc"
    [[ $shown == *"shown: User is valid"* ]] || { echo "memcheck: the logon did not succeed" >&2; exit 1; }
    last=$(grep -a '^Auth: \[' "$SAMBA_LOG" | tail -n 1)
    [[ $last == "Auth: [$auth"* ]] || { echo "memcheck: not $auth; last seen: ${last:0:60}" >&2; exit 1; }
}

case $mode in
directory)
    state=$3
    if [ ! -f "$state/env" ]; then
        [ -n "${CI:-}" ] && { echo "the test directory is not running" >&2; exit 1; }
        exit 77
    fi
    # shellcheck disable=SC1091
    . "$state/env"
    export LDAPTLS_CACERT=$CA_CERT
    ou="OU=Users,OU=HQ,DC=example,DC=com"
    dn="uid=sampleusr,ou=Users,ou=HQ,dc=example,dc=com"
    run marigold "LDAPS://127.0.0.1:$LDAPS_PORT/$ou" "$dn" 0
    run marigold "LDAP://127.0.0.1:$LDAP_PORT/$ou" sampleusr 1
    run not-it "LDAP://127.0.0.1:$LDAP_PORT/$ou" "$dn" 0
    run marigold "LDAPS://127.0.0.2:$LDAPS_PORT/$ou" "$dn" 0
    run marigold "LDAP://127.0.0.1:$LDAP_PORT/cn=printer1,$ou" "$dn" 0
    echo "memcheck: 5 checks, no leaks or invalid accesses"
    ;;
negotiate)
    [[ -n ${DC_HOST:-} ]] || { echo "run this through samba/fixture.sh exec" >&2; exit 1; }
    path="LDAP://$DC_HOST/$BASE_DN"
    run_valid "Kerberos KDC" "$NORMAL_PASSWORD" "$path" "$NORMAL_USER@$DNS_DOMAIN" 5
    # No KDC answers: NTLM.
    (
        export KRB5_CONFIG=$KRB5_CONF_DEAD_KDC
        run_valid "LDAP,NTLMSSP" "$NORMAL_PASSWORD" "$path" "$DOMAIN\\$NORMAL_USER" 5
    )
    echo "memcheck: Kerberos and NTLM logons, no leaks or invalid accesses"
    ;;
*)
    echo "usage: $0 directory CHECK STATE_DIR | negotiate CHECK" >&2
    exit 2
    ;;
esac
