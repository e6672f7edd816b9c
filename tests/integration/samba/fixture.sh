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
readonly STOP_TIMEOUT_TICKS=100  # 10 s in 0.1 s steps
# A DC and dnsmasq forgotten by a crashed run end themselves after this long.
readonly MAX_RUNTIME=${QUORVANE_DC_MAX_RUNTIME:-3600}

say() { echo "samba-fixture: $*"; }
die() {
    echo "samba-fixture: $*" >&2
    exit 1
}

now_ms() { echo $((${EPOCHREALTIME//[.,]/} / 1000)); }

# True while PID runs the program COMM. A zombie no longer counts, and neither does a PID
# that was reused by something else.
pid_is() {
    local pid=$1 comm=$2 stat state
    [[ $pid =~ ^[0-9]+$ ]] || return 1
    [[ $(cat "/proc/$pid/comm" 2>/dev/null) == "$comm" ]] || return 1
    stat=$(cat "/proc/$pid/stat" 2>/dev/null) || return 1
    state=${stat##*) }
    [[ ${state%% *} != Z ]]
}

# PIDs still in process group PGID (samba's workers share the group of the master we started).
group_members() {
    local pgid=$1 stat fields
    for stat in /proc/[0-9]*/stat; do
        stat=$(cat "$stat" 2>/dev/null) || continue
        read -ra fields <<<"${stat##*) }"
        [[ ${fields[2]} == "$pgid" && ${fields[0]} != Z ]] && echo "${stat%% *}"
    done
    return 0
}

# Stops the process named in PIDFILE if it is still COMM: TERM, then KILL after 10 s. With
# GROUP set, whatever is left of its process group gets the same.
stop_pidfile() {
    local pidfile=$1 comm=$2 group=${3:-} pid i
    [[ -r $pidfile ]] || return 0
    pid=$(head -n 1 "$pidfile" 2>/dev/null || true)
    if ! pid_is "$pid" "$comm"; then
        # A group outlives its leader only while a member is left, so these are still ours.
        if [[ -n $group && -n $(group_members "$pid") ]]; then
            kill -TERM -- "-$pid" 2>/dev/null || true
        fi
        return 0
    fi
    kill -TERM "$pid" 2>/dev/null || return 0
    for ((i = 0; i < STOP_TIMEOUT_TICKS; i++)); do
        if ! pid_is "$pid" "$comm" && { [[ -z $group ]] || [[ -z $(group_members "$pid") ]]; }; then
            return 0
        fi
        sleep 0.1
    done
    say "$comm ($pid) ignored SIGTERM for 10 s, sending SIGKILL"
    kill -KILL "$pid" 2>/dev/null || true
    if [[ -n $group ]]; then
        kill -KILL -- "-$pid" 2>/dev/null || true
    fi
}

namespace_of() { cat "$1/netns" 2>/dev/null || true; }

# A Unix socket's path holds at most 107 bytes, and STATE_DIR sits as deep as the checkout does: the
# messaging, pid, lock and private (ldapi) directories live in a short one of their own.
make_socket_dir() {
    local state=$1 dir
    dir=$(mktemp -d /tmp/qvdc.XXXXXX)
    echo "$dir" >"$state/socket-dir"
    echo "$dir"
}

remove_socket_dir() {
    local dir
    dir=$(cat "$1/socket-dir" 2>/dev/null || true)
    [[ $dir =~ ^/tmp/qvdc\.[A-Za-z0-9]{6}$ ]] && rm -rf "$dir"
    return 0
}

stop_all() {
    local state=$1 ns
    stop_pidfile "$state/samba.pid" samba group
    stop_pidfile "$state/dnsmasq.pid" timeout
    remove_socket_dir "$state"
    ns=$(namespace_of "$state")
    [[ $ns =~ ^qv-dc-[0-9]+$ ]] || return 0
    if ip netns pids "$ns" 2>/dev/null | grep -q .; then
        say "processes still in $ns (not ours to end): $(ip netns pids "$ns" | tr '\n' ' ')"
    fi
    ip netns del "$ns" 2>/dev/null || true
    rm -rf "/etc/netns/$ns"
}

unavailable() {
    local state=$1 why=$2
    if [[ -n ${CI:-} ]]; then
        die "$why; the test domain controller cannot run"
    fi
    echo "$why" >"$state/unavailable"
    say "$why; domain controller tests will be skipped"
    exit 0
}

in_ns() { ip netns exec "$NS" "$@"; }

# samba-tool and friends with their chatter in STATE/setup.log, shown only when one fails.
setup_step() {
    if ! in_ns "$@" >>"$STATE/setup.log" 2>&1; then
        tail -n 20 "$STATE/setup.log" >&2
        die "$1 failed"
    fi
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

ldap_answers() {
    in_ns env LDAPNOINIT=1 ldapsearch -x -LLL -H "ldap://$DC_HOST/" -b "" -s base \
        -o nettimeout=1 -l 1 1.1 >/dev/null 2>&1
}

kdc_answers() { in_ns timeout 1 bash -c "exec 3<>/dev/tcp/$DC_IP/88" 2>/dev/null; }

start() {
    local state=$1
    if [[ -d $state && -n $(ls -A "$state") && ! -e $state/$MARKER ]]; then
        die "$state is not empty and was not made by this fixture; refusing to wipe it"
    fi
    if [[ -d $state ]]; then
        stop_all "$state"
        rm -rf "$state"
    fi
    umask 077
    mkdir -p "$state"
    touch "$state/$MARKER"

    [[ $MAX_RUNTIME =~ ^[1-9][0-9]*$ ]] || die "QUORVANE_DC_MAX_RUNTIME must be a number of seconds"
    [[ $(id -u) -eq 0 ]] || unavailable "$state" "network namespaces need root"
    local tool missing=()
    for tool in ip dnsmasq samba samba-tool samba_spnupdate ldbmodify ldapsearch openssl; do
        command -v "$tool" >/dev/null || missing+=("$tool")
    done
    ((${#missing[@]} == 0)) || unavailable "$state" "missing ${missing[*]}"

    local t0 t1 t2
    t0=$(now_ms)
    NS=qv-dc-$$
    echo "$NS" >"$state/netns"
    # From here on, a failed start must not leave anything running.
    trap 'stop_all "$STATE"' EXIT
    local run
    run=$(make_socket_dir "$state")
    ip netns add "$NS" || unavailable "$state" "cannot create a network namespace"
    in_ns ip link set lo up
    in_ns ip addr add "$DC_IP/8" dev lo
    in_ns ip addr add "$DC_IP_UNNAMED/8" dev lo
    mkdir -p "/etc/netns/$NS"
    printf '127.0.0.1 localhost\n::1 localhost\n127.0.0.1 %s\n%s %s %s\n' \
        "$(hostname)" "$DC_IP" "$DC_HOST" "$DC_SHORT" >"/etc/netns/$NS/hosts"
    echo "nameserver 127.0.0.1" >"/etc/netns/$NS/resolv.conf"

    # Authoritative for the domain and forwarding nothing: no lookup leaves the namespace.
    # Background jobs call `ip netns exec` directly (it execs): $! is `timeout`, which bounds
    # dnsmasq's life and passes SIGTERM on.
    ip netns exec "$NS" timeout "$MAX_RUNTIME" dnsmasq --keep-in-foreground --conf-file=/dev/null \
        --no-resolv --no-hosts --listen-address=127.0.0.1 --bind-interfaces --port=53 --user=root \
        --local="/$DNS_DOMAIN/" \
        --srv-host="_kerberos._tcp.$REALM,$DC_HOST,88,0,100" \
        --srv-host="_kerberos._udp.$REALM,$DC_HOST,88,0,100" \
        --srv-host="_ldap._tcp.dc._msdcs.$DNS_DOMAIN,$DC_HOST,389,0,100" \
        --srv-host="_ldap._tcp.$DNS_DOMAIN,$DC_HOST,389,0,100" \
        --host-record="$DC_HOST,$DC_IP" \
        </dev/null >"$state/dnsmasq.log" 2>&1 &
    echo $! >"$state/dnsmasq.pid"

    NORMAL_PASSWORD=Carla-Secret-1
    DISABLED_PASSWORD=Dora-Secret-2
    MUST_CHANGE_PASSWORD=Mona-Secret-3
    EXPIRED_PASSWORD=Exie-Secret-4
    provision "$state" "$run"
    write_krb5_confs "$state"
    t1=$(now_ms)

    # $! is samba itself once ip, env and setsid have exec'd; setsid makes it lead its own process
    # group, so SIGTERM to it reaches every worker. No test's environment leaks into the DC.
    ip netns exec "$NS" env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin LANG=C.UTF-8 setsid samba --foreground \
        -s "$state/samba/etc/smb.conf" --debug-stdout -d "1 auth_audit:3" --maximum-runtime="$MAX_RUNTIME" \
        </dev/null >"$state/samba.log" 2>&1 &
    local samba_pid=$!
    echo "$samba_pid" >"$state/samba.pid"

    local i
    for ((i = 0; ; i++)); do
        ldap_answers && kdc_answers && break
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

stop() {
    local state=$1
    [[ -d $state ]] || return 0
    stop_all "$state"
}

# Runs the command in the namespace with the fixture's variables in its environment (not on a
# command line, where the passwords would show in process lists).
exec_in() {
    local state=$1 key value
    shift
    if [[ -e $state/unavailable || ! -r $state/env ]]; then
        [[ -z ${CI:-} ]] || die "no domain controller in $state"
        say "skipped: no domain controller in $state"
        exit 77
    fi
    while IFS='=' read -r key value; do
        [[ $key =~ ^[A-Z0-9_]+$ ]] && export "$key=$value"
    done <"$state/env"
    export QUORVANE_TEST_DC=$state KRB5_CONFIG=$state/krb5.conf KRB5CCNAME=FILE:$state/ccache
    exec ip netns exec "$NETNS" "$@"
}

usage() { die "usage: $0 start|stop STATE_DIR | exec STATE_DIR CMD..."; }

main() {
    (($# >= 2)) || usage
    [[ -n $2 ]] || die "STATE_DIR must not be empty"
    STATE=$(realpath -m -- "$2")
    [[ $STATE != / ]] || die "refusing to use / as STATE_DIR"
    case $1 in
    start | stop) (($# == 2)) || usage ;;
    exec) (($# > 2)) || usage ;;
    *) usage ;;
    esac
    case $1 in
    start) start "$STATE" ;;
    stop) stop "$STATE" ;;
    exec) exec_in "$STATE" "${@:3}" ;;
    esac
}

main "$@"
