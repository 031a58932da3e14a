#!/bin/sh
# Installs the Debian packages the server, its tests and its benchmarks need, when missing.
set -e
packages="cmake make g++ pkg-config qt6-base-dev qt6-l10n-tools libsqlite3-dev libgtest-dev
libbenchmark-dev python3 plocate fonts-dejavu-core e2fsprogs xvfb xauth x11-utils openbox xdotool sqlite3 clang libclang-rt-14-dev"
missing=""
for package in $packages; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "ok installed" || missing="$missing $package"
done
if [ -n "$missing" ]; then
    apt-get update
    DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends $missing
fi

# A comma-decimal locale, so that the number tests show that reading and writing numbers ignore it.
if ! locale -a 2>/dev/null | grep -qix 'de_DE\.utf-\?8'; then
    if ! dpkg-query -W -f='${Status}' locales 2>/dev/null | grep -q "ok installed"; then
        apt-get update
        DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends locales
    fi
    grep -qx 'de_DE.UTF-8 UTF-8' /etc/locale.gen 2>/dev/null || echo 'de_DE.UTF-8 UTF-8' >> /etc/locale.gen
    locale-gen
fi
