#!/usr/bin/env bash
# Installs the Debian 12 packages needed to build, run and test Quorvane.
set -euo pipefail

packages=(
    build-essential cmake pkg-config clang-format clang-14 libclang-rt-14-dev
    qt6-base-dev libldap-dev libgnutls28-dev
    slapd ldap-utils openssl python3 valgrind
    dnsmasq-base iproute2
    samba-ad-dc samba-ad-provision ldb-tools krb5-user libsasl2-modules-gssapi-mit gss-ntlmssp
    krb5-kdc krb5-admin-server
    libkrb5-dev libsasl2-dev faketime tcpdump
    qt6-qpa-plugins fonts-dejavu-core dpkg-dev desktop-file-utils appstream lintian
    xvfb xdotool imagemagick dbus-daemon at-spi2-core python3-xlib python3-pyatspi
)

missing=()
for package in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
        missing+=("$package")
    fi
done
if [ ${#missing[@]} -eq 0 ]; then
    exit 0
fi

sudo=()
if [ "$(id -u)" -ne 0 ]; then
    sudo=(sudo)
fi
echo "Installing: ${missing[*]}"
"${sudo[@]}" apt-get update -q
# slapd asks debconf questions; the tests bring their own configuration.
"${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${missing[@]}"
