#!/usr/bin/env bash
# quorvane-check as a script sees it: exit status, the window's verdict to the byte, JSON that parses,
# no password in any output, and the lockout rule of --all-servers.
#   check_command.sh direct CHECK COUNT_CHECK   against the directory of QUORVANE_TEST_DIRECTORY
#   check_command.sh servers CHECK              inside dns/netns-srv.sh (example.com: dc1 dead, dc2
#                                               live; twolive.example: two names of one slapd)
#   check_command.sh dc CHECK                   inside the Samba domain controller's namespace
set -euo pipefail

mode=${1:?usage: check_command.sh direct|servers CHECK [COUNT_CHECK]}
check=${2:?usage: check_command.sh direct|servers CHECK [COUNT_CHECK]}
window=${3:-}
if [[ $mode != dc ]]; then
    state=${QUORVANE_TEST_DIRECTORY:?QUORVANE_TEST_DIRECTORY is not set}
    if [[ -e $state/unavailable || ! -r $state/env ]]; then
        [[ -z ${CI:-} ]] || {
            echo "check_command: no test directory in $state" >&2
            exit 1
        }
        echo "check_command: no test directory; skipped"
        exit 77
    fi
    # shellcheck disable=SC1091
    . "$state/env"
fi
export LDAPTLS_CACERT=$CA_CERT

tmp=$(mktemp -d /tmp/qvck.XXXXXX)
trap 'rm -rf "$tmp"' EXIT
users="OU=Users,OU=HQ,DC=example,DC=com"
dn="uid=sampleusr,ou=Users,ou=HQ,dc=example,dc=com"
failures=0

fail() {
    echo "FAIL $row: $*"
    # Whatever was printed, but a line holding the row's password.
    cat "$tmp/out" "$tmp/err" | grep -vF -e "${password:-marigold}" | head -n 30
    failures=$((failures + 1))
}

# run NAME STATUS PASSWORD ARGS...: one run, its password on standard input.
run() {
    row=$1 want=$2 password=$3
    shift 3
    local status=0
    printf '%s\n' "$password" | timeout 60 "$check" "$@" >"$tmp/out" 2>"$tmp/err" || status=$?
    ((status == want)) || fail "exit status $status, expected $want"
    if [[ -n $password ]] && grep -qF -e "$password" "$tmp/out" "$tmp/err"; then
        fail "a password appears in the output"
    fi
}

expect() { grep -qE -- "$1" "$tmp/out" || fail "no line matching $1"; }
json() { python3 -c "import json,sys; d=json.load(open(sys.argv[1])); sys.exit(0 if ($1) else 1)" "$tmp/out" ||
    fail "JSON is not: $1"; }

# The verdict is the window's own: count_check runs Command1_Click with the same four fields.
same_as_window() {
    local path=$1 user=$2 flags=$3 password=$4 shown
    shown=$(printf '%s\n' "$password" | timeout 60 "$window" "$path" "$user" "$flags" | sed -n 's/^  shown: //p')
    [[ $(head -n 1 "$tmp/out") == "$shown" ]] || fail "verdict differs from the window's: $shown"
}

# One line per bind request; an accepted one logs a second line with its mechanism.
slapd_binds() { grep -c "BIND dn=\"$dn\" method=" "$SLAPD_LOG" || true; }

direct() {
    local ldap="LDAP://127.0.0.1:$LDAP_PORT/$users" ldaps="LDAPS://127.0.0.1:$LDAPS_PORT/$users"
    local expired="LDAPS://127.0.0.1:$EXPIRED_PORT/$users" closed="LDAP://127.0.0.1:1/$users"
    local -a verdicts=(
        # name|status|path|flags|password|user
        "valid over LDAPS|0|$ldaps|0|marigold|$dn"
        "wrong password|2|$ldap|0|wrongpass|$dn"
        "unreachable|2|$closed|0|marigold|$dn"
        "expired certificate|2|$expired|0|marigold|$dn"
        "flags not a number|3|$ldap|0x5g|marigold|$dn"
        "path not a path|3|LDAP:/x|0|marigold|$dn"
        "name, empty password|3|$ldap|0||sampleusr"
    )
    local line name status path flags password user
    for line in "${verdicts[@]}"; do
        IFS='|' read -r name status path flags password user <<<"$line"
        run "$name" "$status" "$password" --password-stdin --user "$user" --flags "$flags" "$path"
        same_as_window "$path" "$user" "$flags" "$password"
    done
    run "the facts of a TLS check" 0 marigold --password-stdin --user "$dn" --flags 0 "$ldaps"
    expect "^TLS: +TLS1\.[23]$" && expect "^certificate subject: +CN=127\.0\.0\.1$" && expect "^bind: +[0-9.]+ ms$"

    run "JSON, valid" 0 marigold --json --password-stdin --user "$dn" --flags 0 "$ldaps"
    json "d['result'] == 'valid' and d['tlsVersion'].startswith('TLS') and d['failure'] is None \
        and d['seconds']['bind'] > 0 and d['server'] == '127.0.0.1:$LDAPS_PORT'"
    run "JSON, wrong password" 2 wrongpass --json --password-stdin --user "$dn" --flags 0 "$ldap"
    json "d['result'] == 'failed' and d['failure']['step'] == 'bind' and d['failure']['resultCode'] == 49 \
        and d['failure']['password'] == 'sent' and d['tlsVersion'] is None"
    run "JSON, certificate refused before the password" 2 marigold --json --password-stdin --user "$dn" "$expired"
    json "d['failure']['step'] == 'tls' and d['failure']['password'] == 'not sent'"

    # The test CA's certificates live 30 days: within 60 days is a warning, within 14 not.
    run "monitoring, OK" 0 marigold --monitoring --password-stdin --user "$dn" --flags 0 "$ldaps"
    expect "^LOGON OK - User is valid \| lookup=[0-9.]+s connect=[0-9.]+s tls=[0-9.]+s bind=[0-9.]+s"
    run "monitoring, certificate expires soon" 1 marigold --monitoring --warn-days 60 --password-stdin \
        --user "$dn" "$ldaps"
    expect "^LOGON WARNING - User is valid; the server's certificate expires"
    run "monitoring, grace logon" 1 gracepass --monitoring --password-stdin --user graceuser --flags 0 "$ldap"
    expect "^LOGON WARNING - User is valid; the password has expired"
    run "monitoring, wrong password" 2 wrongpass --monitoring --password-stdin --user "$dn" "$ldap"
    expect "^LOGON CRITICAL - The directory server"
    run "monitoring, bad usage" 3 marigold --monitoring --warn-days -1 --password-stdin --user "$dn" "$ldap"
    expect "^LOGON UNKNOWN - "

    # Usage: the password never on the command line, and a stray argument never repeated.
    run "-w refused" 3 '' -w marigold --user "$dn" "$ldap"
    grep -q "process list" "$tmp/err" || fail "no reason given"
    run "--password= refused" 3 '' --password=marigold --user "$dn" "$ldap"
    run "unknown option" 3 '' --pasword marigold "$ldap"
    run "a password typed as the path is not shown" 3 '' --user "$dn" Stray-S3cret
    ! grep -qF Stray-S3cret "$tmp/out" "$tmp/err" || fail "the stray argument was shown"
    run "no path" 3 '' --password-stdin --user "$dn"
    run "no password source without a terminal" 3 '' --user "$dn" "$ldap"
    printf 'marigold\n' >"$tmp/password"
    chmod 644 "$tmp/password"
    run "password file readable by others" 3 '' --password-file "$tmp/password" --user "$dn" "$ldap"
    grep -q "chmod 600" "$tmp/err" || fail "no reason given"
    chmod 600 "$tmp/password"
    run "private password file" 0 '' --password-file "$tmp/password" --user "$dn" --flags 0 "$ldap"

    # At a terminal: asked for, not echoed, accepted.
    row="prompt at a terminal"
    python3 - "$check" "$dn" "$ldap" >"$tmp/out" 2>"$tmp/err" <<'PY' || fail "$(cat "$tmp/err")"
import os, pty, select, sys, time
check, dn, path = sys.argv[1:]
pid, fd = pty.fork()
if pid == 0:
    os.execv(check, [check, "--user", dn, "--flags", "0", path])
seen = b""
def wait_for(token):
    global seen
    end = time.monotonic() + 30
    while token not in seen and time.monotonic() < end:
        if select.select([fd], [], [], 0.2)[0]:
            try:
                seen += os.read(fd, 4096)
            except OSError:
                break
    return token in seen
if not wait_for(b"Password for "):
    sys.exit("no prompt")
os.write(fd, b"marigold\n")
wait_for(b"total:")
status = os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1])
if b"marigold" in seen or status != 0 or b"User is valid" not in seen:
    sys.exit(f"exit status {status}, password echoed: {b'marigold' in seen}")
PY
}

servers() {
    local example="LDAP://$users" twolive="LDAP://DC=twolive,DC=example" before path first second
    run "all servers: one dead, one live" 2 marigold --all-servers --password-stdin --user "$dn" --flags 0 "$example"
    expect "^User is valid on 1 of 2 servers$" && expect "^dc1\.example\.com:$LDAP_PORT +no " &&
        expect "^dc2\.example\.com:$LDAP_PORT +yes .*User is valid$"
    run "all servers, monitoring: a dead one is a warning" 1 marigold --all-servers --monitoring --password-stdin \
        --user "$dn" --flags 0 "$example"
    run "all servers, JSON" 2 marigold --all-servers --json --password-stdin --user "$dn" --flags 0 "$example"
    json "[s['result'] for s in d['servers']] == ['failed', 'valid'] and d['servers'][0]['failure']['step'] == 'connect'"

    # Fast bind: the domain's DN is not in this directory, the bind alone is the verdict.
    before=$(slapd_binds)
    run "all servers: right password to both" 0 marigold --all-servers --password-stdin --user "$dn" --flags 0x20 \
        "$twolive"
    sleep 0.3
    (($(slapd_binds) - before == 2)) || fail "$(($(slapd_binds) - before)) binds, expected 2"
    local target
    for target in "$twolive|^dc-a\..*refused the bind|^dc-b\..* +not tried .*the password went to dc-a" \
        "$example|^dc1\..* +no .*connection refused|^dc2\..* +yes .*refused the bind"; do
        IFS='|' read -r path first second <<<"$target"
        before=$(slapd_binds)
        run "all servers: a wrong password reaches one server ($path)" 2 wrongpass --all-servers --password-stdin \
            --user "$dn" --flags 0x20 "$path"
        expect "$first" && expect "$second"
        sleep 0.3
        (($(slapd_binds) - before == 1)) || fail "$(($(slapd_binds) - before)) binds, expected 1"
    done
}

# Kerberos against Active Directory (Samba): the mechanism, the layer, the computed expiry.
dc() {
    local dc="LDAP://$DC_HOST/$BASE_DN"
    run "Kerberos, JSON" 0 "$NORMAL_PASSWORD" --json --password-stdin --user "$NORMAL_USER" --flags 1 "$dc"
    json "d['mechanism'] == 'Kerberos' and d['securityStrength'] >= 56 and d['saslMechanism'] \
        and (d['passwordExpires'] is not None or d['passwordNeverExpires'])"
    run "Kerberos, wrong password" 2 "$NORMAL_PASSWORD-not" --json --password-stdin --user "$NORMAL_USER" --flags 1 \
        "$dc"
    json "d['mechanism'] == 'Kerberos' and d['failure']['step'] == 'bind' and d['failure']['password'] == 'sent'"
    run "all servers of the domain" 0 "$NORMAL_PASSWORD" --all-servers --password-stdin --user "$NORMAL_USER" \
        --flags 1 "LDAP://$BASE_DN"
    expect "^User is valid on 1 of 1 server$" && expect "^$DC_HOST:389 +yes .* Kerberos +User is valid$"
}

case $mode in
direct)
    [[ -x $window ]] || {
        echo "usage: check_command.sh direct CHECK COUNT_CHECK" >&2
        exit 2
    }
    direct
    ;;
servers) servers ;;
dc) dc ;;
*)
    echo "usage: check_command.sh direct|servers CHECK [COUNT_CHECK]" >&2
    exit 2
    ;;
esac
((failures == 0)) || {
    echo "check_command: $failures failed"
    exit 1
}
echo "check_command: $mode: all passed"
