#!/usr/bin/env bash
# Runs a throwaway MIT KDC (realm ACME.TEST) and two OpenLDAP servers inside a network namespace of
# its own, for the Kerberos tests that need a plain MIT realm rather than a domain controller.
#
#   fixture.sh start STATE_DIR         namespace with its own hosts, resolv.conf and dnsmasq (SRV and
#                                      TXT records), a fresh realm with seeded users, slapd A
#                                      (SASL/GSSAPI and TLS) and slapd B (no realm, no TLS)
#   fixture.sh stop STATE_DIR          stops what start left running, deletes the namespace
#   fixture.sh exec STATE_DIR CMD...   runs CMD inside the namespace with STATE_DIR/env exported,
#                                      KRB5_CONFIG set to the joined client's krb5.conf, KRB5CCNAME
#                                      to a ccache of the fixture's own and LDAPTLS_CACERT to its CA
#
# Nothing outside STATE_DIR is written but /etc/netns/NAME, which `ip netns exec` mounts over
# /etc/hosts and /etc/resolv.conf, and a directory /tmp/qvkd.XXXXXX for slapd's ldapi socket
# (STATE_DIR names it, stop deletes it). Needs root: without it (or without the KDC, slapd, the
# SASL GSSAPI module or dnsmasq) start leaves STATE_DIR/unavailable and exec exits 77, unless CI
# is set, where that is an error.
set -euo pipefail
# shellcheck source=SCRIPTDIR/../fixture-lib.sh
. "$(dirname "${BASH_SOURCE[0]}")/../fixture-lib.sh"

FIXTURE_LABEL=kdc-fixture FIXTURE_SERVES=KDC FIXTURE_TAG=kd
HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
readonly HERE
readonly MARKER=.quorvane-test-kdc
REALM=ACME.TEST
BASE_DN=dc=acme,dc=test
PEOPLE_DN=ou=People,dc=acme,dc=test
LONE_BASE_DN=dc=lone,dc=test
LDAP1_HOST=ldap1.acme.test LDAP1_IP=127.0.0.4
KDC_HOST=kdc1.acme.test KDC_IP=127.0.0.5
LDAP2_HOST=ldap2.lone.test LDAP2_IP=127.0.0.6
# slapd A again, under a name no realm is tied to.
DEMO_HOST=directory.example.com DEMO_IP=127.0.0.7
readonly START_TIMEOUT_TICKS=150 # 15 s in 0.1 s steps
# Servers forgotten by a crashed run end themselves after this long.
readonly MAX_RUNTIME=${QUORVANE_KDC_MAX_RUNTIME:-3600}

# Every server runs under `timeout`, which leads its own process group, passes SIGTERM on and
# exits only after its child has.
stop_all() {
    local name
    for name in slapd-a slapd-b krb5kdc dnsmasq; do
        stop_pidfile "$1/$name.pid" timeout group "$name"
    done
    remove_namespace "$1"
}

# Minimal configurations: MIT reads nothing else while KRB5_CONFIG names one of them.
write_krb5_confs() {
    local state=$1
    local realms="[realms]
	$REALM = {
		kdc = $KDC_HOST
	}"
    local no_dns="	dns_lookup_kdc = false
	dns_lookup_realm = false"
    # A machine joined to the realm: everything is written down.
    cat >"$state/krb5.conf" <<EOF
[libdefaults]
	default_realm = $REALM
$no_dns
$realms
[domain_realm]
	.acme.test = $REALM
	acme.test = $REALM
EOF
    # The realm of a host and its KDCs come from DNS (TXT _kerberos.acme.test, SRV).
    cat >"$state/krb5-txt.conf" <<EOF
[libdefaults]
	default_realm = $REALM
	dns_lookup_realm = true
	dns_lookup_kdc = true
EOF
    # The realm is named but no host is mapped to it: only the parent-domain rule finds it.
    cat >"$state/krb5-parent.conf" <<EOF
[libdefaults]
	default_realm = $REALM
$no_dns
$realms
EOF
    # A distribution's default: some other realm, nothing about this one.
    cat >"$state/krb5-unrelated.conf" <<EOF
[libdefaults]
	default_realm = UNRELATED.TEST
$no_dns
EOF
    # krb5kdc, kadmin.local and slapd A, joined like the client; the KDC reads kdc.conf
    # (KRB5_KDC_PROFILE) on top.
    cp "$state/krb5.conf" "$state/krb5-server.conf"
    # slapd B: no realm anywhere.
    echo "# no realm" >"$state/krb5-lone.conf"
    mkdir -p "$state/kdc"
    cat >"$state/kdc.conf" <<EOF
[kdcdefaults]
	kdc_listen = $KDC_IP:88
	kdc_tcp_listen = $KDC_IP:88
[realms]
	$REALM = {
		database_name = $state/kdc/principal
		key_stash_file = $state/kdc/stash
		acl_file = $state/kdc/kadm5.acl
		default_principal_flags = +preauth
	}
[logging]
	kdc = FILE:$state/kdc.log
	admin_server = FILE:$state/kadmin.log
	default = FILE:$state/krb5-other.log
EOF
    : >"$state/kdc/kadm5.acl"
}

make_realm() {
    local state=$1 user
    # The master password only guards the stash file; it is never needed again.
    local master
    master=$(openssl rand -hex 16)
    printf '%s\n%s\n' "$master" "$master" | setup_step kdb5_util create -s -r "$REALM"
    # kadmin.local reads requests from stdin, so the passwords stay off command lines. It echoes
    # each request on stdout, which therefore goes nowhere; its errors name principals only.
    {
        # kdb5_util made these two before default_principal_flags could apply.
        echo "modprinc +requires_preauth kadmin/admin"
        echo "modprinc +requires_preauth kadmin/changepw"
        # A failure is only counted under a policy with a threshold; 50 locks no run out.
        echo "addpol -maxfailure 50 -failurecountinterval 0 -lockoutduration 0 users"
        echo "addprinc +requires_preauth -randkey ldap/$LDAP1_HOST"
        echo "ktadd -k $state/ldap-a.keytab ldap/$LDAP1_HOST"
        for user in ana dis pwx acx; do
            echo "addprinc +requires_preauth -policy users -pw ${PASSWORDS[$user]} $user"
        done
        echo "modprinc -allow_tix dis"
        echo "modprinc -pwexpire 2020-01-01 pwx"
        echo "modprinc -expire 2020-01-01 acx"
    } | in_ns kadmin.local 2>"$state/kadmin-setup.log" >/dev/null || true
    # kadmin.local exits 0 whatever a request did: read back what must be there.
    local principals
    principals=$(in_ns kadmin.local -q getprincs 2>>"$state/setup.log") || die "kadmin.local failed"
    for user in "ldap/$LDAP1_HOST" ana dis pwx acx; do
        if ! grep -qx "$user@$REALM" <<<"$principals"; then
            cat "$state/kadmin-setup.log" >&2
            die "kadmin.local did not create $user@$REALM"
        fi
    done
    [[ -s $state/ldap-a.keytab ]] || die "no keytab for ldap/$LDAP1_HOST"
}

make_pki() {
    local state=$1 pki=$1/pki log=$1/pki/openssl.log
    mkdir -p "$pki"
    # EC keys: generating them costs next to nothing, unlike RSA.
    local ec=(-newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 30)
    if ! openssl req -x509 "${ec[@]}" -subj "/CN=Quorvane Test KDC CA" \
        -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign,cRLSign" \
        -keyout "$pki/ca.key" -out "$state/ca.pem" >>"$log" 2>&1 ||
        ! openssl req -x509 "${ec[@]}" -CA "$state/ca.pem" -CAkey "$pki/ca.key" -subj "/CN=$LDAP1_HOST" \
            -addext "basicConstraints=critical,CA:FALSE" -addext "extendedKeyUsage=serverAuth" \
            -addext "subjectAltName=DNS:$LDAP1_HOST,DNS:$DEMO_HOST,IP:$LDAP1_IP,IP:$DEMO_IP" \
            -keyout "$pki/server.key" -out "$pki/server.pem" >>"$log" 2>&1; then
        tail -n 20 "$log" >&2
        die "openssl failed"
    fi
}

# Escapes a value for the right-hand side of a sed s||| command.
sed_value() { printf '%s' "$1" | sed -e 's/[\\|&]/\\&/g'; }

# slapd.conf for server NAME from the template, its site file and its entries, loaded offline.
make_directory() {
    local state=$1 name=$2 suffix=$3 site=$4 ldif=$5
    printf '%s\n' "$site" >"$state/slapd-$name.site.conf"
    sed -e "s|@STATE_DIR@|$(sed_value "$state")|g" -e "s|@NAME@|$name|g" \
        -e "s|@SUFFIX@|$(sed_value "$suffix")|g" "$HERE/slapd.conf.in" >"$state/slapd-$name.conf"
    mkdir -p "$state/db-$name"
    printf '%s' "$ldif" | setup_step slapadd -q -f "$state/slapd-$name.conf" -l /dev/stdin
}

# One person entry; its userPassword is the Kerberos password, hashed (slappasswd reads stdin).
person_ldif() {
    local user=$1 base=$2 hash
    hash=$(printf '%s' "${PASSWORDS[$user]}" | slappasswd -h '{SSHA}' -T /dev/stdin) ||
        die "slappasswd failed"
    printf 'dn: uid=%s,ou=People,%s\nobjectClass: inetOrgPerson\nuid: %s\ncn: %s\nsn: %s\nuserPassword: %s\n\n' \
        "$user" "$base" "$user" "$user" "$user" "$hash"
}

tree_ldif() {
    local base=$1 dc=${1#dc=}
    dc=${dc%%,*}
    printf 'dn: %s\nobjectClass: dcObject\nobjectClass: organization\ndc: %s\no: %s\n\n' "$base" "$dc" "$dc"
    printf 'dn: ou=People,%s\nobjectClass: organizationalUnit\nou: People\n\n' "$base"
}

make_directories() {
    local state=$1 run=$2 ldif user
    ldif=$(tree_ldif "$BASE_DN")$'\n\n'
    for user in ana dis pwx acx; do
        ldif+=$(person_ldif "$user" "$BASE_DN")$'\n\n'
    done
    # ana@ACME.TEST arrives as uid=ana,cn=acme.test,cn=gssapi,cn=auth (the realm stays even though
    # it is sasl-realm); only this realm's users are mapped.
    make_directory "$state" a "$BASE_DN" "sasl-host       $LDAP1_HOST
sasl-realm      $REALM
authz-regexp    \"^uid=([^,@]+),cn=acme\\.test,cn=(gssapi|gss-spnego),cn=auth\$\" \"uid=\$1,$PEOPLE_DN\"
TLSCACertificateFile    \"$state/ca.pem\"
TLSCertificateFile      \"$state/pki/server.pem\"
TLSCertificateKeyFile   \"$state/pki/server.key\"
TLSVerifyClient         never" "$ldif"
    ldif=$(tree_ldif "$LONE_BASE_DN")$'\n\n'$(person_ldif ana "$LONE_BASE_DN")
    make_directory "$state" b "$LONE_BASE_DN" "sasl-host       $LDAP2_HOST" "$ldif"
    local socket=$run/slapd-a.sock
    echo "ldapi://${socket//\//%2F}" >"$state/ldapi-uri"
}

all_answer() {
    kdc_answers "$KDC_IP" && ldap_answers "$LDAP1_HOST" && ldap_answers "$DEMO_HOST" && ldap_answers "$LDAP2_HOST"
}

start() {
    local state=$1
    fresh_state_dir "$state"

    [[ $MAX_RUNTIME =~ ^[1-9][0-9]*$ ]] || die "QUORVANE_KDC_MAX_RUNTIME must be a number of seconds"
    [[ $(id -u) -eq 0 ]] || unavailable "$state" "network namespaces need root"
    PATH=$PATH:$SERVER_PATH
    local tool missing=()
    for tool in ip dnsmasq krb5kdc kdb5_util kadmin.local slapd slapadd slappasswd ldapsearch openssl; do
        command -v "$tool" >/dev/null || missing+=("$tool")
    done
    compgen -G "/usr/lib/*/sasl2/libgssapiv2.so*" >/dev/null || missing+=("the Cyrus SASL GSSAPI module")
    ((${#missing[@]} == 0)) || unavailable "$state" "missing ${missing[*]}"

    local t0 t1 t2
    t0=$(now_ms)
    # From here on, a failed start must not leave anything running.
    trap 'stop_all "$STATE"' EXIT
    local run
    run=$(make_socket_dir "$state")
    make_namespace "$state" "$LDAP1_IP" "$KDC_IP" "$LDAP2_IP" "$DEMO_IP"
    printf '%s %s\n%s %s\n%s %s\n%s %s\n' "$LDAP1_IP" "$LDAP1_HOST" "$KDC_IP" "$KDC_HOST" \
        "$LDAP2_IP" "$LDAP2_HOST" "$DEMO_IP" "$DEMO_HOST" >>"/etc/netns/$NS/hosts"

    # The three domains' names. MIT looks for a host's realm in TXT _kerberos.<host>, then each
    # parent domain in turn.
    local records=() name
    for name in "$LDAP1_HOST,$LDAP1_IP" "$KDC_HOST,$KDC_IP" "$LDAP2_HOST,$LDAP2_IP" "$DEMO_HOST,$DEMO_IP"; do
        records+=(--host-record="$name")
    done
    run_dnsmasq --local=/acme.test/ --local=/lone.test/ --local=/example.com/ "${records[@]}" \
        --srv-host="_kerberos._udp.$REALM,$KDC_HOST,88,0,100" \
        --srv-host="_kerberos._tcp.$REALM,$KDC_HOST,88,0,100" \
        --txt-record="_kerberos.acme.test,$REALM"

    declare -gA PASSWORDS=()
    local user
    for user in ana dis pwx acx; do
        PASSWORDS[$user]=Qv-$user-$(openssl rand -hex 12)
    done
    write_krb5_confs "$state"
    export KRB5_CONFIG=$state/krb5-server.conf KRB5_KDC_PROFILE=$state/kdc.conf
    make_realm "$state"
    make_pki "$state"
    make_directories "$state" "$run"
    t1=$(now_ms)

    run_server krb5kdc KRB5_CONFIG="$state/krb5-server.conf" KRB5_KDC_PROFILE="$state/kdc.conf" \
        krb5kdc -n
    # -d stats keeps slapd in the foreground and logs BIND lines (mech=GSSAPI) to its stderr.
    run_server slapd-a KRB5_CONFIG="$state/krb5-server.conf" KRB5_KTNAME="FILE:$state/ldap-a.keytab" \
        KRB5RCACHEDIR="$state" slapd -f "$state/slapd-a.conf" -d stats \
        -h "ldap://$LDAP1_IP/ ldap://$DEMO_IP/ $(cat "$state/ldapi-uri")"
    # No keytab and no realm: GSSAPI is offered all the same, and can never succeed.
    run_server slapd-b KRB5_CONFIG="$state/krb5-lone.conf" KRB5_KTNAME="FILE:$state/none.keytab" \
        KRB5RCACHEDIR="$state" slapd -f "$state/slapd-b.conf" -d stats -h "ldap://$LDAP2_IP/"

    local i pidfile
    for ((i = 0; ; i++)); do
        all_answer && break
        for name in krb5kdc slapd-a slapd-b dnsmasq; do
            pidfile=$state/$name.pid
            if ((i > 10)) && ! pid_is "$(cat "$pidfile")" timeout; then
                tail -n 30 "$state/$name.log" >&2
                die "$name is not running"
            fi
        done
        if ((i >= START_TIMEOUT_TICKS)); then
            die "the KDC on $KDC_IP:88 or a slapd did not answer"
        fi
        sleep 0.1
    done
    t2=$(now_ms)

    # Written last: tests take its presence to mean everything is up. No value needs quoting.
    cat >"$state/env.tmp" <<EOF
NETNS=$NS
REALM=$REALM
LDAP1_HOST=$LDAP1_HOST
LDAP1_IP=$LDAP1_IP
LDAP2_HOST=$LDAP2_HOST
LDAP2_IP=$LDAP2_IP
DEMO_HOST=$DEMO_HOST
DEMO_IP=$DEMO_IP
KDC_HOST=$KDC_HOST
KDC_IP=$KDC_IP
BASE_DN=$BASE_DN
PEOPLE_DN=$PEOPLE_DN
LONE_BASE_DN=$LONE_BASE_DN
CA_CERT=$state/ca.pem
LDAPI_URI=$(cat "$state/ldapi-uri")
KDC_LOG=$state/kdc.log
SLAPD_A_LOG=$state/slapd-a.log
SLAPD_B_LOG=$state/slapd-b.log
KRB5_CONF=$state/krb5.conf
KRB5_CONF_TXT=$state/krb5-txt.conf
KRB5_CONF_PARENT=$state/krb5-parent.conf
KRB5_CONF_UNRELATED=$state/krb5-unrelated.conf
KRB5_KDC_PROFILE=$state/kdc.conf
ANA_USER=ana
ANA_PASSWORD=${PASSWORDS[ana]}
DIS_USER=dis
DIS_PASSWORD=${PASSWORDS[dis]}
PWX_USER=pwx
PWX_PASSWORD=${PASSWORDS[pwx]}
ACX_USER=acx
ACX_PASSWORD=${PASSWORDS[acx]}
EOF
    mv "$state/env.tmp" "$state/env"
    trap - EXIT
    say "namespace $NS: krb5kdc $(cat "$state/krb5kdc.pid") on $KDC_HOST, slapd $(cat "$state/slapd-a.pid")" \
        "on $LDAP1_HOST and $DEMO_HOST, slapd $(cat "$state/slapd-b.pid") on $LDAP2_HOST, dnsmasq" \
        "$(cat "$state/dnsmasq.pid") (pids of their timeouts); set up in $((t1 - t0)) ms, answering" \
        "$((t2 - t1)) ms later"
}

# Runs the command in the namespace with the fixture's variables in its environment.
exec_in() {
    export_env "$1"
    export QUORVANE_TEST_KDC=$1 KRB5_CONFIG=$1/krb5.conf KRB5CCNAME=FILE:$1/ccache \
        LDAPTLS_CACERT=$CA_CERT
    exec ip netns exec "$NETNS" "${@:2}"
}

main "$@"
