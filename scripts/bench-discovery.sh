#!/usr/bin/env bash
# For a serverless path whose domain has one dead and one live domain controller: the time to the
# verdict, and the TCP connections one check attempts (counted with strace). Needs root.
set -euo pipefail
cd "$(dirname "$0")/.."
rounds=${1:-50}
cmake --preset ci >/dev/null
cmake --build --preset ci -j "$(nproc)" --target count_check >/dev/null
command -v strace >/dev/null || apt-get install -y -q strace >/dev/null
check=$PWD/build/ci/tests/tools/count_check
state=$(mktemp -d)
connects=$(mktemp)
trap 'rm -f "$connects"' EXIT
path="LDAP://OU=Users,OU=HQ,DC=example,DC=com"
user="uid=sampleusr,ou=Users,ou=HQ,dc=example,dc=com"
# shellcheck disable=SC2016
bash tests/integration/dns/netns-srv.sh /bin/bash tests/integration/directory/fixture.sh "$state" -c '
    check=$1 path=$2 user=$3 rounds=$4 connects=$5
    echo marigold | strace -f -e trace=connect -o "$connects" "$check" "$path" "$user" 0
    echo "connections attempted: $(grep -c "sin_port=htons($LDAP_PORT)" "$connects")"
    grep "sin_port=htons($LDAP_PORT)" "$connects" | sed "s/^[0-9]* *//"
    start=$(date +%s%N)
    for _ in $(seq "$rounds"); do echo marigold | "$check" "$path" "$user" 0 >/dev/null; done
    end=$(date +%s%N)
    echo "mean time to the verdict over $rounds checks (process start included): $(( (end - start) / rounds / 1000 )) us"
    direct="LDAP://dc2.example.com:$LDAP_PORT/OU=Users,OU=HQ,DC=example,DC=com"
    start=$(date +%s%N)
    for _ in $(seq "$rounds"); do echo marigold | "$check" "$direct" "$user" 0 >/dev/null; done
    end=$(date +%s%N)
    echo "the same, straight to the live server by name: $(( (end - start) / rounds / 1000 )) us"
' bash "$check" "$path" "$user" "$rounds" "$connects"
