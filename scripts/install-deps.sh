#!/usr/bin/env bash
# Installs the Debian packages that building and testing Tovix need, when
# they are missing. Run as root on Debian 12.
set -euo pipefail

packages=(
    build-essential cmake pkg-config git file curl python3 iproute2 util-linux tmux
    googletest libgtest-dev libcurl4-openssl-dev libcpp-httplib-dev libsqlite3-dev sqlite3
    libmicrohttpd-dev libsodium-dev libpq-dev libgnutls28-dev nlohmann-json3-dev openssl prometheus
    g++-mingw-w64-i686-posix binutils-mingw-w64-i686
    g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
    clang libclang-rt-14-dev
    wine wine32:i386 wine64 xvfb fonts-wqy-zenhei fonts-wine imagemagick x11-utils
    pdns-server pdns-backend-sqlite3 pdns-backend-pgsql postgresql dnsutils bind9-dnsutils dnsperf
    ddclient inadyn pebble lego
    lintian systemd man-db groff-base unzip adduser
    libmstch-dev chromium chromium-driver python3-selenium
)

if ! dpkg --print-foreign-architectures | grep -qx i386; then
    dpkg --add-architecture i386
    need_update=1
fi

. "$(dirname "$0")/no-daemons.sh"

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
        missing+=("$p")
    fi
done

if [ ${#missing[@]} -gt 0 ] || [ -n "${need_update:-}" ]; then
    echo "Installing: ${missing[*]}"
    apt-get update -q
    if [ ${#missing[@]} -gt 0 ]; then
        DEBIAN_FRONTEND=noninteractive without_daemon_starts \
            apt-get install -y -q --no-install-recommends "${missing[@]}"
    fi
fi
