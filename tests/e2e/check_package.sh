#!/usr/bin/env bash
# Validates the desktop entry and metainfo, builds the Debian package with CPack, checks what it
# holds and runs lintian on it; as root, installs it, sees the installed program's window under
# Xvfb, and purges it.   check_package.sh BUILD_DIR APP_ID
set -euo pipefail

build=${1:?usage: check_package.sh BUILD_DIR APP_ID}
app_id=${2:?usage: check_package.sh BUILD_DIR APP_ID}
python=/usr/bin/python3
[[ -x $python ]] || python=python3

fail() {
    echo "package: $*" >&2
    exit 1
}

skip_or_fail() {
    [[ -z ${CI:-} ]] || fail "$*"
    echo "package: $*; install and start skipped"
    exit 77
}

desktop-file-validate "$build/src/app/$app_id.desktop"
appstreamcli validate --no-net "$build/src/app/$app_id.metainfo.xml"

out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
cpack --config "$build/CPackConfig.cmake" -B "$out" >"$out/cpack.log" 2>&1 || {
    cat "$out/cpack.log" >&2
    fail "cpack failed"
}
shopt -s nullglob
debs=("$out"/quorvane_1.00_*.deb)
((${#debs[@]} == 1)) || fail "expected one quorvane_1.00_*.deb, found: $(ls "$out")"
deb=${debs[0]}

[[ $(dpkg-deb -f "$deb" Version) == 1.00 ]] || fail "version is $(dpkg-deb -f "$deb" Version)"
depends=$(dpkg-deb -f "$deb" Depends)
for library in libqt6widgets6 libldap libgnutls30 libc6 qt6-qpa-plugins gss-ntlmssp \
    libgssapi-krb5-2 libkrb5-3; do
    [[ $depends == *"$library"* ]] || fail "Depends lacks $library: $depends"
done

contents=$(dpkg-deb -c "$deb" | awk '{print $6}')
for file in ./usr/bin/Quorvane "./usr/share/applications/$app_id.desktop" \
    "./usr/share/metainfo/$app_id.metainfo.xml" "./usr/share/icons/hicolor/16x16/apps/$app_id.png" \
    "./usr/share/icons/hicolor/32x32/apps/$app_id.png" ./usr/share/quorvane/Quorvane.ico \
    ./usr/share/man/man1/Quorvane.1.gz ./usr/share/doc/quorvane/copyright ./usr/share/doc/quorvane/changelog.gz \
    ./usr/bin/quorvane-check ./usr/share/man/man1/quorvane-check.1.gz \
    ./usr/share/bash-completion/completions/quorvane-check; do
    grep -qxF "$file" <<<"$contents" || fail "the package lacks $file"
done

# The icon group: 32x32 in 2 colours, 32x32 in 16 colours, 16x16 in 16 colours, in that order.
dpkg-deb -x "$deb" "$out/root"
"$python" - "$out/root/usr/share/quorvane/Quorvane.ico" <<'PY'
import struct, sys
data = open(sys.argv[1], "rb").read()
reserved, kind, count = struct.unpack_from("<HHH", data)
images = []
for i in range(count):
    width, height, colours, _, _, bits, size, offset = struct.unpack_from("<BBBBHHII", data, 6 + 16 * i)
    header_bits = struct.unpack_from("<H", data, offset + 14)[0]
    images.append((width, height, colours, bits, header_bits))
expected = [(32, 32, 2, 1, 1), (32, 32, 16, 4, 4), (16, 16, 16, 4, 4)]
if (reserved, kind) != (0, 1) or images != expected:
    sys.exit(f"package: icon group {images}, expected {expected}")
PY

# lintian reads the manual page (groff warnings, whatis entry), the copyright file and the changelog.
lint=$(lintian --fail-on error,warning "$deb" 2>&1) || fail "lintian: $lint"
changelog=$(zcat "$out/root/usr/share/doc/quorvane/changelog.gz" | dpkg-parsechangelog -l - -S Version)
[[ $changelog == 1.00 ]] || fail "the changelog's latest entry is $changelog"
echo "package: $(basename "$deb") checked; Depends: $depends"

((EUID == 0)) || skip_or_fail "installing needs root"
# Another checkout's run of this test would install and purge the same package.
exec {lock}>/run/lock/quorvane-package-test
flock -w 120 "$lock" || fail "another package test holds /run/lock/quorvane-package-test"
if dpkg-query -W -f='${Status}' quorvane 2>/dev/null | grep -q 'install ok installed'; then
    skip_or_fail "quorvane is installed on this machine already"
fi
apt=(apt-get -q -y -o DPkg::Lock::Timeout=60)
trap '"${apt[@]}" purge quorvane >/dev/null 2>&1 || true; rm -rf "$out"' EXIT
chmod 755 "$out" # apt reads the .deb as its unprivileged user
"${apt[@]}" install --no-install-recommends "$deb" >"$out/apt.log" 2>&1 || {
    cat "$out/apt.log" >&2
    fail "apt-get could not install $(basename "$deb")"
}
"$python" -B - "$(dirname "$0")" "$out" <<'PY'
import sys
sys.path.insert(0, sys.argv[1])
import desktop as d
with d.Desktop(sys.argv[2], accessibility=False) as screen:
    program = screen.start(["/usr/bin/Quorvane"])
    screen.close(screen.wait_window(program.pid, "Test LDAP Connection", 30)[0])
    if program.wait(10) != 0:
        sys.exit(f"package: the installed program exited with {program.returncode}")
PY
# The command runs from the package alone, and its completion loads.
[[ $(/usr/bin/quorvane-check --version) == "quorvane-check 1.00" ]] || fail "quorvane-check --version is wrong"
rc=0
/usr/bin/quorvane-check --monitoring >/dev/null || rc=$?
((rc == 3)) || fail "quorvane-check without a path exited with $rc, not 3"
bash -c '. /usr/share/bash-completion/completions/quorvane-check && complete -p quorvane-check' >/dev/null ||
    fail "the bash completion of quorvane-check does not load"
"${apt[@]}" purge quorvane >"$out/apt.log" 2>&1 || fail "apt-get could not purge quorvane: $(cat "$out/apt.log")"
[[ ! -e /usr/bin/Quorvane && ! -e /usr/bin/quorvane-check && ! -e /usr/share/doc/quorvane ]] ||
    fail "purging left files behind"
echo "package: installed, window shown by /usr/bin/Quorvane, quorvane-check run, purged"
