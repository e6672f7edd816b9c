#!/usr/bin/env bash
# Runs a test binary inside a network namespace of its own, with a dnsmasq that serves SRV records
# for the domains the test uses and a throwaway slapd as the one live directory server.
#   netns-srv.sh TEST_BINARY FIXTURE_SCRIPT STATE_DIR [test arguments...]
set -euo pipefail
binary=$1
fixture=$2
state=$3
shift 3

unavailable() {
    if [ -n "${CI:-}" ]; then
        echo "netns-srv: $1" >&2
        exit 1
    fi
    echo "netns-srv: skipped: $1"
    exit 77
}
[ "$(id -u)" -eq 0 ] || unavailable "network namespaces need root"
command -v dnsmasq >/dev/null || unavailable "dnsmasq is not installed"
command -v ip >/dev/null || unavailable "iproute2 is not installed"

name=qv-srv-$$
dnsmasq_pid=
cleanup() {
    [ -n "$dnsmasq_pid" ] && kill "$dnsmasq_pid" 2>/dev/null && wait "$dnsmasq_pid" 2>/dev/null
    ip netns exec "$name" bash "$fixture" stop "$state" >/dev/null 2>&1 || true
    ip netns del "$name" 2>/dev/null || true
    rm -rf "/etc/netns/$name"
}
trap cleanup EXIT
ip netns add "$name" || unavailable "cannot create a network namespace"
ip netns exec "$name" ip link set lo up
# `ip netns exec` mounts these over /etc/resolv.conf and /etc/hosts inside the namespace.
mkdir -p "/etc/netns/$name"
echo "nameserver 127.0.0.1" >"/etc/netns/$name/resolv.conf"
printf '127.0.0.1 localhost\n::1 localhost\n' >"/etc/netns/$name/hosts"

ip netns exec "$name" bash "$fixture" start "$state" >/dev/null
# shellcheck disable=SC1091
. "$state/env"

# example.com: dc1 is down (nothing listens on 127.0.0.3), dc2 is the live slapd. example.com
# itself points nowhere, so a check that skips SRV cannot reach a server by accident.
# nosrv.example has only an address; dead.example only a dead server; gone.example nothing;
# twolive.example two live names for the one slapd; outside.example a record naming another domain.
# silent.example goes to a name server that never answers (the test holds its UDP port open);
# dual.example has an IPv6 and an IPv4 address.
ip netns exec "$name" dnsmasq --keep-in-foreground --conf-file=/dev/null --no-resolv --no-hosts \
    --listen-address=127.0.0.1 --bind-interfaces --port=53 --user=root --pid-file="$state/dnsmasq.pid" \
    --local=/example.com/ --local=/example/ --server=/silent.example/127.0.0.9 \
    --srv-host=_ldap._tcp.dc._msdcs.example.com,dc1.example.com,"$LDAP_PORT",0,100 \
    --srv-host=_ldap._tcp.dc._msdcs.example.com,dc2.example.com,"$LDAP_PORT",10,100 \
    --srv-host=_ldap._tcp.dead.example,dc1.dead.example,"$LDAP_PORT",0,0 \
    --srv-host=_ldap._tcp.dc._msdcs.twolive.example,dc-a.twolive.example,"$LDAP_PORT",0,0 \
    --srv-host=_ldap._tcp.dc._msdcs.twolive.example,dc-b.twolive.example,"$LDAP_PORT",10,0 \
    --srv-host=_ldap._tcp.dc._msdcs.outside.example,dc2.example.com,"$LDAP_PORT",0,0 \
    --host-record=dc1.example.com,127.0.0.3 \
    --host-record=dc1.dead.example,127.0.0.3 \
    --host-record=dc-a.twolive.example,127.0.0.1 \
    --host-record=dc-b.twolive.example,127.0.0.1 \
    --host-record=dc2.example.com,127.0.0.1 \
    --host-record=example.com,127.0.0.4 \
    --host-record=nosrv.example,127.0.0.1 \
    --host-record=dual.example,127.0.0.1,::1 \
    2>"$state/dnsmasq.log" &
dnsmasq_pid=$!
for _ in $(seq 50); do
    ip netns exec "$name" getent hosts dc2.example.com >/dev/null 2>&1 && break
    sleep 0.1
done
ip netns exec "$name" getent hosts dc2.example.com >/dev/null || { cat "$state/dnsmasq.log" >&2; exit 1; }

ip netns exec "$name" env QUORVANE_TEST_DIRECTORY="$state" LDAPTLS_CACERT="$CA_CERT" LDAP_PORT="$LDAP_PORT" \
    "$binary" "$@"
