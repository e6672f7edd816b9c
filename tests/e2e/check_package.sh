#!/usr/bin/env bash
# Validates the desktop entry and metainfo, builds the Debian package with CPack and checks what
# it holds.   check_package.sh BUILD_DIR APP_ID
set -euo pipefail

build=${1:?usage: check_package.sh BUILD_DIR APP_ID}
app_id=${2:?usage: check_package.sh BUILD_DIR APP_ID}
python=/usr/bin/python3
[[ -x $python ]] || python=python3

fail() {
    echo "package: $*" >&2
    exit 1
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
for library in libqt6widgets6 libldap libgnutls30 libc6; do
    [[ $depends == *"$library"* ]] || fail "Depends lacks $library: $depends"
done

contents=$(dpkg-deb -c "$deb" | awk '{print $6}')
for file in ./usr/bin/Quorvane "./usr/share/applications/$app_id.desktop" \
    "./usr/share/metainfo/$app_id.metainfo.xml" "./usr/share/icons/hicolor/16x16/apps/$app_id.png" \
    "./usr/share/icons/hicolor/32x32/apps/$app_id.png" ./usr/share/quorvane/Quorvane.ico; do
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
echo "package: $(basename "$deb") checked; Depends: $depends"
