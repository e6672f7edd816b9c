#!/usr/bin/env bash
# Runs whole checks (success and failures) under valgrind memcheck against the test directory:
# any definite or indirect leak, or any invalid access, fails.
set -euo pipefail
check=$1
state=$2
if [ ! -f "$state/env" ]; then
    [ -n "${CI:-}" ] && { echo "the test directory is not running" >&2; exit 1; }
    exit 77
fi
# shellcheck disable=SC1091
. "$state/env"
export LDAPTLS_CACERT=$CA_CERT
ou="OU=Users,OU=HQ,DC=example,DC=com"
dn="uid=sampleusr,ou=Users,ou=HQ,dc=example,dc=com"

run() {
    local password=$1
    shift
    # The password goes through standard input only, never onto a command line or into the log.
    printf '%s\n' "$password" | valgrind --quiet --suppressions="$(dirname "$0")/valgrind.supp" \
        --leak-check=full --show-leak-kinds=definite,indirect \
        --errors-for-leak-kinds=definite,indirect --error-exitcode=99 \
        "$check" "$@"
}

run marigold "LDAPS://127.0.0.1:$LDAPS_PORT/$ou" "$dn" 0
run marigold "LDAP://127.0.0.1:$LDAP_PORT/$ou" sampleusr 1
run not-it "LDAP://127.0.0.1:$LDAP_PORT/$ou" "$dn" 0
run marigold "LDAPS://127.0.0.2:$LDAPS_PORT/$ou" "$dn" 0
run marigold "LDAP://127.0.0.1:$LDAP_PORT/cn=printer1,$ou" "$dn" 0
echo "memcheck: 5 checks, no leaks or invalid accesses"
