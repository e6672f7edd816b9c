# shellcheck shell=bash
# What the integration fixtures share. A fixture.sh sources this, sets
#   FIXTURE_LABEL   the prefix of its messages
#   FIXTURE_SERVES  what it runs, as in "no KDC in STATE_DIR" and "KDC tests will be skipped"
#   FIXTURE_TAG     (namespace fixtures) names the netns qv-TAG-PID and the socket dir /tmp/qvTAG.*
#   MARKER          the file that marks a STATE_DIR as the fixture's own
# and defines start and stop_all STATE (exec_in STATE CMD... too when it uses main below).

readonly STOP_TIMEOUT_TICKS=100 # 10 s in 0.1 s steps
readonly SERVER_PATH=/usr/sbin:/usr/bin:/sbin:/bin

say() { echo "$FIXTURE_LABEL: $*"; }
die() {
    echo "$FIXTURE_LABEL: $*" >&2
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

# PIDs still in process group PGID.
group_members() {
    local pgid=$1 stat fields
    for stat in /proc/[0-9]*/stat; do
        stat=$(cat "$stat" 2>/dev/null) || continue
        read -ra fields <<<"${stat##*) }"
        [[ ${fields[2]} == "$pgid" && ${fields[0]} != Z ]] && echo "${stat%% *}"
    done
    return 0
}

# Stops the process named in PIDFILE if it is still COMM: TERM, then KILL after 10 s. With GROUP
# set, whatever is left of the process group it leads gets the same (samba's workers share their
# master's group, `timeout` leads one of its own). Warnings call it NAME, by default COMM.
stop_pidfile() {
    local pidfile=$1 comm=$2 group=${3:-} name=${4:-$2} pid i
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
    say "$name ($pid) ignored SIGTERM for 10 s, sending SIGKILL"
    kill -KILL "$pid" 2>/dev/null || true
    if [[ -n $group ]]; then
        kill -KILL -- "-$pid" 2>/dev/null || true
    fi
    for ((i = 0; i < 20; i++)); do
        pid_is "$pid" "$comm" || return 0
        sleep 0.1
    done
    say "$name ($pid) is still there after SIGKILL"
}

# An empty STATE for start, after stopping what an earlier start left there. Only a directory
# this fixture made (or an empty one) is wiped.
fresh_state_dir() {
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
}

stop() {
    local state=$1
    [[ -d $state ]] || return 0
    stop_all "$state"
}

# The rest serves the fixtures that run in a network namespace of their own.

unavailable() {
    local state=$1 why=$2
    if [[ -n ${CI:-} ]]; then
        die "$why; the test $FIXTURE_SERVES cannot run"
    fi
    echo "$why" >"$state/unavailable"
    say "$why; $FIXTURE_SERVES tests will be skipped"
    exit 0
}

in_ns() { ip netns exec "$NS" "$@"; }

# Setup tools with their chatter in STATE/setup.log, shown only when one fails.
setup_step() {
    if ! in_ns "$@" >>"$STATE/setup.log" 2>&1; then
        tail -n 20 "$STATE/setup.log" >&2
        die "$1 failed"
    fi
}

# A Unix socket's path holds at most 107 bytes, and STATE_DIR sits as deep as the checkout does:
# the servers' sockets live in a short directory of their own.
make_socket_dir() {
    local state=$1 dir
    dir=$(mktemp -d "/tmp/qv$FIXTURE_TAG.XXXXXX")
    echo "$dir" >"$state/socket-dir"
    echo "$dir"
}

# Creates the namespace NS with loopback up and holding ADDRESS..., and the hosts (this machine's
# own name; the fixture adds its servers) and resolv.conf that `ip netns exec` mounts over /etc.
make_namespace() {
    local state=$1 address
    shift
    NS=qv-$FIXTURE_TAG-$$
    echo "$NS" >"$state/netns"
    ip netns add "$NS" || unavailable "$state" "cannot create a network namespace"
    in_ns ip link set lo up
    for address; do
        in_ns ip addr add "$address/8" dev lo
    done
    mkdir -p "/etc/netns/$NS"
    printf '127.0.0.1 localhost\n::1 localhost\n127.0.0.1 %s\n' "$(hostname)" >"/etc/netns/$NS/hosts"
    echo "nameserver 127.0.0.1" >"/etc/netns/$NS/resolv.conf"
}

# Removes the socket directory and the namespace that STATE names, once stop_all has stopped
# the servers. Only names this fixture gives are touched.
remove_namespace() {
    local state=$1 dir ns
    dir=$(cat "$state/socket-dir" 2>/dev/null || true)
    [[ $dir =~ ^/tmp/qv$FIXTURE_TAG\.[A-Za-z0-9]{6}$ ]] && rm -rf "$dir"
    ns=$(cat "$state/netns" 2>/dev/null || true)
    [[ $ns =~ ^qv-$FIXTURE_TAG-[0-9]+$ ]] || return 0
    if ip netns pids "$ns" 2>/dev/null | grep -q .; then
        say "processes still in $ns (not ours to end): $(ip netns pids "$ns" | tr '\n' ' ')"
    fi
    ip netns del "$ns" 2>/dev/null || true
    rm -rf "/etc/netns/$ns"
}

# Starts a server in the namespace with nothing of our environment but the assignments among ARGS,
# its output in STATE/NAME.log. $! is `timeout` once ip has exec'd: it bounds the server's life and
# passes SIGTERM on; env then execs the server itself.
run_server() {
    local name=$1
    shift
    ip netns exec "$NS" timeout "$MAX_RUNTIME" env -i PATH="$SERVER_PATH" LANG=C.UTF-8 "$@" \
        </dev/null >"$STATE/$name.log" 2>&1 &
    echo $! >"$STATE/$name.pid"
}

# Authoritative for what ARGS name and forwarding nothing: no lookup leaves the namespace.
run_dnsmasq() {
    run_server dnsmasq dnsmasq --keep-in-foreground --conf-file=/dev/null --no-resolv --no-hosts \
        --listen-address=127.0.0.1 --bind-interfaces --port=53 --user=root "$@"
}

ldap_answers() {
    in_ns env LDAPNOINIT=1 ldapsearch -x -LLL -H "ldap://$1/" -b "" -s base \
        -o nettimeout=1 -l 1 1.1 >/dev/null 2>&1
}

kdc_answers() { in_ns timeout 1 bash -c "exec 3<>/dev/tcp/$1/88" 2>/dev/null; }

# Exits 77 (an error under CI) when start left nothing running in STATE, else exports the variables
# of STATE/env: tests get them through their environment, not a command line, where the passwords
# would show in process lists.
export_env() {
    local state=$1 key value
    if [[ -e $state/unavailable || ! -r $state/env ]]; then
        [[ -z ${CI:-} ]] || die "no $FIXTURE_SERVES in $state"
        say "skipped: no $FIXTURE_SERVES in $state"
        exit 77
    fi
    while IFS='=' read -r key value; do
        [[ $key =~ ^[A-Z0-9_]+$ ]] && export "$key=$value"
    done <"$state/env"
    return 0
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
