#!/usr/bin/env bash
# Builds the program, starts a throwaway directory on loopback with the sample account (the one
# the tests use), prints the LDAP path to paste into the third field, and opens the window
# trusting that directory's CA. Closing the window stops the directory.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh
cmake --preset dev >/dev/null
cmake --build --preset dev -j "$(nproc)" --target Quorvane

fixture=tests/integration/directory/fixture.sh
state=$PWD/build/dev/demo-directory
bash "$fixture" start "$state"
trap 'bash "$fixture" stop "$state"' EXIT
if [[ ! -r $state/env ]]; then
    echo "demo: the directory could not start: $(cat "$state/unavailable" 2>/dev/null)" >&2
    exit 1
fi
port=$(sed -n 's/^LDAP_PORT=//p' "$state/env")

cat <<TEXT

Paste this into the third field (LDAP path), then press Test Logon:

    LDAP://127.0.0.1:$port/OU=Users,OU=HQ,DC=example,DC=com

The sample user name and password are already filled in; "User is valid" should appear.
Close the window to stop the directory.

TEXT
LDAPTLS_CACERT=$state/ca.pem build/dev/src/app/Quorvane
