#!/usr/bin/env bash
# Runs a throwaway Samba AD domain controller (realm ACME.TEST, domain ACME) with its KDC inside a
# network namespace of its own, for the negotiated-authentication tests.
#
#   fixture.sh start STATE_DIR         namespace with its own hosts, resolv.conf and dnsmasq (SRV
#                                      records), a freshly provisioned DC with seeded users
#   fixture.sh stop STATE_DIR          stops what start left running, deletes the namespace
#   fixture.sh exec STATE_DIR CMD...   runs CMD inside the namespace with STATE_DIR/env exported,
#                                      KRB5_CONFIG set to the client krb5.conf and KRB5CCNAME to a
#                                      ccache of the fixture's own, empty until a test runs kinit
#
# Nothing outside STATE_DIR is written but /etc/netns/NAME, which `ip netns exec` mounts over
# /etc/hosts and /etc/resolv.conf, and a directory /tmp/qvdc.XXXXXX for Samba's sockets (STATE_DIR
# names it, stop deletes it). Needs root: without it (or without samba or dnsmasq) start
# leaves STATE_DIR/unavailable and exec exits 77, unless CI is set, where that is an error.
set -euo pipefail
# shellcheck source=SCRIPTDIR/../fixture-lib.sh
. "$(dirname "${BASH_SOURCE[0]}")/../fixture-lib.sh"

FIXTURE_LABEL=samba-fixture FIXTURE_SERVES="domain controller" FIXTURE_TAG=dc
readonly MARKER=.quorvane-test-dc
REALM=ACME.TEST
DOMAIN=ACME
DNS_DOMAIN=acme.test
BASE_DN=DC=acme,DC=test
DC_SHORT=dc1
DC_HOST=dc1.acme.test
DC_IP=127.0.0.2 # 127.0.0.1 stays this machine's own name, so the two never mix
# The DC answers here too, under no name at all: MIT turns a named address back into dc1.acme.test
# by itself, so only this one shows whether a client asks for ldap/<dnsHostName>.
DC_IP_UNNAMED=127.0.0.3
readonly DEAD_KDC_PORT=1088
readonly START_TIMEOUT_TICKS=300 # 30 s in 0.1 s steps
# A DC and dnsmasq forgotten by a crashed run end themselves after this long.
readonly MAX_RUNTIME=${QUORVANE_DC_MAX_RUNTIME:-3600}

stop_all() {
    stop_pidfile "$1/samba.pid" samba group
    stop_pidfile "$1/dnsmasq.pid" timeout
    remove_namespace "$1"
}

# Minimal client configurations: MIT reads nothing else while KRB5_CONFIG names one of them.
write_krb5_confs() {
    local state=$1
    # The KDC comes from DNS SRV (_kerberos._udp/_tcp.ACME.TEST), as on a host that was never joined.
    cat >"$state/krb5.conf" <<EOF
[libdefaults]
	dns_lookup_kdc = true
	dns_lookup_realm = false
EOF
    # Nothing names a KDC for the realm: the client has to use the LDAP server it reached.
    cat >"$state/krb5-no-kdc.conf" <<EOF
[libdefaults]
	dns_lookup_kdc = false
	dns_lookup_realm = false
EOF
    # A KDC port where nothing listens: Kerberos cannot be tried, NTLM can.
    cat >"$state/krb5-dead-kdc.conf" <<EOF
[libdefaults]
	dns_lookup_kdc = false
	dns_lookup_realm = false
[realms]
	$REALM = {
		kdc = $DC_HOST:$DEAD_KDC_PORT
	}
EOF
}

provision() {
    local state=$1 samba=$1/samba run=$2
    mkdir -p "$samba/etc"
    # An empty smb.conf: provisioning would otherwise start from /etc/samba/smb.conf.
    : >"$samba/etc/smb.conf"
    openssl rand -hex 12 | sed 's/^/Qv-/' | tr -d '\n' >"$state/admin-password"
    # Only the services the tests talk to. Whatever holds a socket goes under $run: the lock
    # directory (msg.sock/PID), and the private directory, where the LDAP server puts ldapi and
    # ldap_priv/ldapi with no setting of their own. The rest stays in STATE_DIR.
    setup_step samba-tool domain provision -s "$samba/etc/smb.conf" \
        --realm="$REALM" --domain="$DOMAIN" --server-role=dc --dns-backend=NONE \
        --host-name="$DC_SHORT" --host-ip="$DC_IP" --adminpass="$(cat "$state/admin-password")" \
        --option="interfaces = $DC_IP $DC_IP_UNNAMED" --option="bind interfaces only = yes" \
        --option="server services = ldap kdc" --option="prefork children = 2" \
        --option="private dir = $run/private" --option="lock directory = $run/lock" \
        --option="pid directory = $run/pid" --option="ncalrpc dir = $run/ncalrpc" \
        --option="winbindd socket directory = $run/winbindd" \
        --option="ntp signd socket directory = $run/ntp_signd" \
        --option="state directory = $samba/state" --option="cache directory = $samba/cache" \
        --option="binddns dir = $samba/bind-dns" --option="log file = $samba/log.%m"
    # Without a DNS backend the DC has no ldap/ service principals until this runs.
    setup_step samba_spnupdate -s "$samba/etc/smb.conf"

    local conf=(-s "$samba/etc/smb.conf")
    setup_step samba-tool user create carla "$NORMAL_PASSWORD" "${conf[@]}"
    setup_step samba-tool user create dora "$DISABLED_PASSWORD" "${conf[@]}"
    setup_step samba-tool user disable dora "${conf[@]}"
    setup_step samba-tool user create mona "$MUST_CHANGE_PASSWORD" --must-change-at-next-login "${conf[@]}"
    setup_step samba-tool user create exie "$EXPIRED_PASSWORD" "${conf[@]}"
    # Expired on 2020-01-01 (FILETIME): samba-tool can only set an expiry in the future.
    printf 'dn: CN=exie,CN=Users,%s\nchangetype: modify\nreplace: accountExpires\naccountExpires: %s\n' \
        "$BASE_DN" 132223104000000000 >"$state/expire.ldif"
    setup_step ldbmodify -H "$run/private/sam.ldb" "$state/expire.ldif"
    # badPwdCount only moves while a lockout threshold is set; high enough that no run locks anyone.
    setup_step samba-tool domain passwordsettings set --account-lockout-threshold=50 "${conf[@]}"
}

start() {
    local state=$1
    fresh_state_dir "$state"

    [[ $MAX_RUNTIME =~ ^[1-9][0-9]*$ ]] || die "QUORVANE_DC_MAX_RUNTIME must be a number of seconds"
    [[ $(id -u) -eq 0 ]] || unavailable "$state" "network namespaces need root"
    local tool missing=()
    for tool in ip dnsmasq samba samba-tool samba_spnupdate ldbmodify ldapsearch openssl; do
        command -v "$tool" >/dev/null || missing+=("$tool")
    done
    ((${#missing[@]} == 0)) || unavailable "$state" "missing ${missing[*]}"

    local t0 t1 t2
    t0=$(now_ms)
    # From here on, a failed start must not leave anything running.
    trap 'stop_all "$STATE"' EXIT
    local run
    run=$(make_socket_dir "$state")
    make_namespace "$state" "$DC_IP" "$DC_IP_UNNAMED"
    echo "$DC_IP $DC_HOST $DC_SHORT" >>"/etc/netns/$NS/hosts"

    run_dnsmasq --local="/$DNS_DOMAIN/" \
        --srv-host="_kerberos._tcp.$REALM,$DC_HOST,88,0,100" \
        --srv-host="_kerberos._udp.$REALM,$DC_HOST,88,0,100" \
        --srv-host="_ldap._tcp.dc._msdcs.$DNS_DOMAIN,$DC_HOST,389,0,100" \
        --srv-host="_ldap._tcp.$DNS_DOMAIN,$DC_HOST,389,0,100" \
        --host-record="$DC_HOST,$DC_IP"

    NORMAL_PASSWORD=Carla-Secret-1
    DISABLED_PASSWORD=Dora-Secret-2
    MUST_CHANGE_PASSWORD=Mona-Secret-3
    EXPIRED_PASSWORD=Exie-Secret-4
    provision "$state" "$run"
    write_krb5_confs "$state"
    t1=$(now_ms)

    # $! is samba itself once ip, env and setsid have exec'd; setsid makes it lead its own process
    # group, so SIGTERM to it reaches every worker. No test's environment leaks into the DC.
    ip netns exec "$NS" env -i PATH="$SERVER_PATH" LANG=C.UTF-8 setsid samba --foreground \
        -s "$state/samba/etc/smb.conf" --debug-stdout -d "1 auth_audit:3" --maximum-runtime="$MAX_RUNTIME" \
        </dev/null >"$state/samba.log" 2>&1 &
    local samba_pid=$!
    echo "$samba_pid" >"$state/samba.pid"

    local i
    for ((i = 0; ; i++)); do
        ldap_answers "$DC_HOST" && kdc_answers "$DC_IP" && break
        if { ((i > 10)) && ! pid_is "$samba_pid" samba; } || ((i >= START_TIMEOUT_TICKS)); then
            tail -n 30 "$state/samba.log" >&2
            die "samba did not answer on ldap://$DC_HOST/ and $DC_IP:88"
        fi
        sleep 0.1
    done
    pid_is "$(cat "$state/dnsmasq.pid")" timeout || {
        cat "$state/dnsmasq.log" >&2
        die "dnsmasq is not running"
    }
    t2=$(now_ms)

    # Written last: tests take its presence to mean everything is up. No value needs quoting.
    cat >"$state/env.tmp" <<EOF
NETNS=$NS
DC_HOST=$DC_HOST
DC_SHORT=$DC_SHORT
DC_IP=$DC_IP
DC_IP_UNNAMED=$DC_IP_UNNAMED
REALM=$REALM
DOMAIN=$DOMAIN
DNS_DOMAIN=$DNS_DOMAIN
BASE_DN=$BASE_DN
KRB5_CONF=$state/krb5.conf
KRB5_CONF_NO_KDC=$state/krb5-no-kdc.conf
KRB5_CONF_DEAD_KDC=$state/krb5-dead-kdc.conf
CA_CERT=$run/private/tls/ca.pem
SAM_LDB=$run/private/sam.ldb
SMB_CONF=$state/samba/etc/smb.conf
SAMBA_LOG=$state/samba.log
SAMBA_PID=$samba_pid
ADMIN_USER=Administrator
ADMIN_PASSWORD_FILE=$state/admin-password
NORMAL_USER=carla
NORMAL_PASSWORD=$NORMAL_PASSWORD
DISABLED_USER=dora
DISABLED_PASSWORD=$DISABLED_PASSWORD
MUST_CHANGE_USER=mona
MUST_CHANGE_PASSWORD=$MUST_CHANGE_PASSWORD
EXPIRED_USER=exie
EXPIRED_PASSWORD=$EXPIRED_PASSWORD
EOF
    mv "$state/env.tmp" "$state/env"
    trap - EXIT
    say "namespace $NS: samba $samba_pid on $DC_HOST ($DC_IP), dnsmasq $(cat "$state/dnsmasq.pid");" \
        "provisioned in $((t1 - t0)) ms, answering $((t2 - t1)) ms later"
}

# Runs the command in the namespace with the fixture's variables in its environment.
exec_in() {
    export_env "$1"
    export QUORVANE_TEST_DC=$1 KRB5_CONFIG=$1/krb5.conf KRB5CCNAME=FILE:$1/ccache
    exec ip netns exec "$NETNS" "${@:2}"
}

main "$@"
