#!/usr/bin/env bash
# Runs a throwaway OpenLDAP directory on loopback for the integration tests.
#
#   fixture.sh start STATE_DIR   fresh CA and certificates, seeded slapd, expired-cert TLS server
#   fixture.sh stop STATE_DIR    stops what start left running; leaves STATE_DIR and its logs in place
#
# Tests read STATE_DIR/env (KEY=VALUE lines). When slapd or openssl is not installed, start
# leaves STATE_DIR/unavailable so tests can skip, unless CI is set, where that is an error.
set -euo pipefail
# shellcheck source=SCRIPTDIR/../fixture-lib.sh
. "$(dirname "${BASH_SOURCE[0]}")/../fixture-lib.sh"

FIXTURE_LABEL=fixture
HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
readonly HERE
readonly SLAPD=${QUORVANE_SLAPD:-/usr/sbin/slapd} # overridable to exercise the skip path
readonly SLAPADD=/usr/sbin/slapadd
readonly SLAPPASSWD=/usr/sbin/slappasswd
readonly MARKER=.quorvane-test-directory
readonly BASE_DN=dc=example,dc=com
readonly ADMIN_DN=cn=admin,dc=example,dc=com
readonly START_TIMEOUT_TICKS=75 # 15 s in 0.2 s steps

stop_all() {
    local state=$1
    stop_pidfile "$state/slapd.pid" slapd
    stop_pidfile "$state/expired-server.pid" openssl
}

# Escapes a value for the right-hand side of a sed s||| command.
sed_value() { printf '%s' "$1" | sed -e 's/[\\|&]/\\&/g'; }

# Prints "LDAP_PORT LDAPS_PORT EXPIRED_PORT IPV6". LDAP and LDAPS also listen on ::1, and
# LDAPS on 127.0.0.2, so those ports must be free there too.
pick_ports() {
    python3 - <<'PY'
import socket

def bindable(family, host, port):
    s = socket.socket(family, socket.SOCK_STREAM)
    try:
        s.bind((host, port))
        return s
    except OSError:
        s.close()
        return None

probe = bindable(socket.AF_INET6, "::1", 0)
ipv6 = probe is not None
if probe:
    probe.close()

for _ in range(50):
    held = []
    try:
        for _ in range(3):
            s = bindable(socket.AF_INET, "127.0.0.1", 0)
            if s is None:
                raise SystemExit("cannot bind on 127.0.0.1")
            held.append(s)
        ldap, ldaps, expired = (s.getsockname()[1] for s in held)
        extra = [(socket.AF_INET, "127.0.0.2", ldaps)]
        if ipv6:
            extra += [(socket.AF_INET6, "::1", ldap), (socket.AF_INET6, "::1", ldaps)]
        ok = True
        for family, host, port in extra:
            s = bindable(family, host, port)
            if s is None:
                ok = False
                break
            held.append(s)
        if ok:
            print(ldap, ldaps, expired, 1 if ipv6 else 0)
            raise SystemExit(0)
    finally:
        for s in held:
            if s:
                s.close()
raise SystemExit("no free loopback ports found")
PY
}

# openssl, with its chatter kept in pki/openssl.log unless it fails.
ssl() {
    local log=$STATE/pki/openssl.log
    openssl "$@" 2>>"$log" >/dev/null || {
        tail -n 20 "$log" >&2
        die "openssl $1 failed"
    }
}

make_pki() {
    local state=$1 pki=$1/pki
    mkdir -p "$pki/issued"
    : >"$pki/index.txt"
    echo 1000 >"$pki/serial"
    # `openssl ca` because it is the only way in OpenSSL 3.0 to back-date a certificate.
    cat >"$pki/ca.cnf" <<EOF
[ca]
default_ca = test_ca

[test_ca]
database = $pki/index.txt
new_certs_dir = $pki/issued
serial = $pki/serial
certificate = $state/ca.pem
private_key = $pki/ca.key
default_md = sha256
policy = any_name
unique_subject = no
copy_extensions = none

[any_name]
commonName = supplied

[server_cert]
basicConstraints = critical, CA:FALSE
keyUsage = critical, digitalSignature, keyEncipherment
extendedKeyUsage = serverAuth
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
subjectAltName = IP:127.0.0.1, IP:::1, DNS:localhost
EOF
    # EC keys: generating them costs next to nothing, unlike RSA.
    local ec=(-newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes)
    local ca_ext=(-addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign,cRLSign")
    ssl req -x509 "${ec[@]}" -days 30 -subj "/CN=Quorvane Test CA" "${ca_ext[@]}" \
        -keyout "$pki/ca.key" -out "$state/ca.pem"
    ssl req -x509 "${ec[@]}" -days 30 -subj "/CN=Other Test CA" "${ca_ext[@]}" \
        -keyout "$pki/other-ca.key" -out "$state/other-ca.pem"

    local name
    for name in server expired; do
        ssl req -new "${ec[@]}" -subj "/CN=127.0.0.1" -keyout "$pki/$name.key" -out "$pki/$name.csr"
    done
    ssl ca -batch -notext -config "$pki/ca.cnf" -extensions server_cert -days 30 \
        -in "$pki/server.csr" -out "$pki/server.pem"
    ssl ca -batch -notext -config "$pki/ca.cnf" -extensions server_cert \
        -startdate 20200101000000Z -enddate 20210101000000Z \
        -in "$pki/expired.csr" -out "$pki/expired.pem"
}

slapd_answers() {
    LDAPNOINIT=1 ldapsearch -x -LLL -H "ldap://127.0.0.1:$1/" -b "" -s base \
        -o nettimeout=1 -l 1 1.1 >/dev/null 2>&1
}

port_answers() { timeout 1 bash -c "exec 3<>/dev/tcp/127.0.0.1/$1" 2>/dev/null; }

start() {
    local state=$1
    fresh_state_dir "$state"

    local tool missing=()
    for tool in "$SLAPD" "$SLAPADD" "$SLAPPASSWD"; do
        [[ -x $tool ]] || missing+=("$tool")
    done
    for tool in openssl ldapsearch python3; do
        command -v "$tool" >/dev/null || missing+=("$tool")
    done
    if ((${#missing[@]})); then
        if [[ -n ${CI:-} ]]; then
            die "missing ${missing[*]}; the test directory cannot run"
        fi
        echo "missing: ${missing[*]}" >"$state/unavailable"
        say "missing ${missing[*]}; directory tests will be skipped"
        exit 0
    fi

    local t0
    t0=$(now_ms)
    make_pki "$state"

    local ports ldap_port ldaps_port expired_port ipv6
    ports=$(pick_ports) || die "could not pick free ports"
    read -r ldap_port ldaps_port expired_port ipv6 <<<"$ports"

    # Only the hash goes into slapd.conf; the password itself stays in a 0600 file.
    local password_file=$state/admin-password
    printf '%s' "$(openssl rand -hex 16)" >"$password_file"
    chmod 600 "$password_file"
    local hash
    hash=$("$SLAPPASSWD" -h '{SSHA}' -T "$password_file") || die "slappasswd failed"

    local conf=$state/slapd.conf
    sed -e "s|@STATE_DIR@|$(sed_value "$state")|g" -e "s|@ROOT_PW_HASH@|$(sed_value "$hash")|g" \
        "$HERE/slapd.conf.in" >"$conf"
    mkdir -p "$state/db"
    if ! "$SLAPADD" -q -f "$conf" -l "$HERE/sample.ldif" >"$state/slapadd.log" 2>&1; then
        tail -n 20 "$state/slapadd.log" >&2
        die "slapadd failed"
    fi

    local urls="ldap://127.0.0.1:$ldap_port/ ldaps://127.0.0.1:$ldaps_port/ ldaps://127.0.0.2:$ldaps_port/"
    if ((ipv6)); then
        urls+=" ldap://[::1]:$ldap_port/ ldaps://[::1]:$ldaps_port/"
    fi
    # From here on, a failed start must not leave anything running.
    trap 'stop_all "$STATE"' EXIT

    # -d keeps slapd in the foreground, so $! is slapd itself; -d stats logs conn/op lines.
    "$SLAPD" -f "$conf" -h "$urls" -d stats </dev/null >"$state/slapd.log" 2>&1 &
    local slapd_pid=$!
    echo "$slapd_pid" >"$state/slapd.pid"

    # -www never reads stdin, so the server keeps running with stdin at EOF.
    openssl s_server -quiet -www -accept "127.0.0.1:$expired_port" \
        -cert "$state/pki/expired.pem" -key "$state/pki/expired.key" \
        </dev/null >"$state/expired-server.log" 2>&1 &
    local expired_pid=$!
    echo "$expired_pid" >"$state/expired-server.pid"

    local i
    for ((i = 0; ; i++)); do
        slapd_answers "$ldap_port" && break
        if ! pid_is "$slapd_pid" slapd || ((i >= START_TIMEOUT_TICKS)); then
            tail -n 30 "$state/slapd.log" >&2
            die "slapd did not answer on ldap://127.0.0.1:$ldap_port/"
        fi
        sleep 0.2
    done
    for ((i = 0; ; i++)); do
        port_answers "$expired_port" && break
        if ! pid_is "$expired_pid" openssl || ((i >= START_TIMEOUT_TICKS)); then
            tail -n 30 "$state/expired-server.log" >&2
            die "openssl s_server did not listen on 127.0.0.1:$expired_port"
        fi
        sleep 0.2
    done

    # Written last: tests take its presence to mean everything is up.
    cat >"$state/env.tmp" <<EOF
LDAP_PORT=$ldap_port
LDAPS_PORT=$ldaps_port
EXPIRED_PORT=$expired_port
LDAP_IPV6=$ipv6
CA_CERT=$state/ca.pem
OTHER_CA_CERT=$state/other-ca.pem
SLAPD_LOG=$state/slapd.log
SLAPD_PID=$slapd_pid
ADMIN_DN=$ADMIN_DN
ADMIN_PASSWORD_FILE=$password_file
BASE_DN=$BASE_DN
EOF
    mv "$state/env.tmp" "$state/env"
    trap - EXIT
    say "slapd $slapd_pid on ldap :$ldap_port, ldaps :$ldaps_port (ipv6=$ipv6);" \
        "expired-cert server $expired_pid on :$expired_port; up in $(($(now_ms) - t0)) ms"
}

main() {
    (($# == 2)) || die "usage: $0 start|stop STATE_DIR"
    [[ -n $2 ]] || die "STATE_DIR must not be empty"
    STATE=$(realpath -m -- "$2")
    [[ $STATE != / ]] || die "refusing to use / as STATE_DIR"
    case $1 in
    start) start "$STATE" ;;
    stop) stop "$STATE" ;;
    *) die "usage: $0 start|stop STATE_DIR" ;;
    esac
}

main "$@"
