#!/usr/bin/env bash
# Installs the Debian packages that building and testing Tovix need, when
# they are missing. Run as root on Debian 12.
set -euo pipefail

packages=(
    build-essential cmake pkg-config git file curl python3 iproute2 util-linux tmux
    googletest libgtest-dev libcurl4-openssl-dev libcpp-httplib-dev libsqlite3-dev sqlite3
    libmicrohttpd-dev libsodium-dev libjemalloc-dev libpq-dev libgnutls28-dev nlohmann-json3-dev openssl prometheus
    g++-mingw-w64-i686-posix binutils-mingw-w64-i686
    g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
    clang libclang-rt-14-dev
    wine wine32:i386 wine64 xvfb fonts-wqy-zenhei fonts-wine imagemagick x11-utils
    pdns-server pdns-backend-sqlite3 pdns-backend-pgsql postgresql dnsutils bind9-dnsutils dnsperf
    ddclient inadyn pebble lego
    lintian systemd man-db groff-base unzip adduser
    libmstch-dev chromium chromium-driver python3-selenium
)
# npm (for the browser test's axe-core), unless a Node.js with its own npm
# is there already.
command -v npm >/dev/null || packages+=(nodejs npm)

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
    # A mirror in the middle of a sync serves index files of the wrong size
    # for a minute or so; try again before giving up on fresh lists. Lists
    # that still fail are reported, and apt-get install says what it cannot
    # find.
    install_opts=()
    for try in 1 2 3 4 5; do
        apt-get update -q && break
        echo "apt-get update failed (try $try of 5)" >&2
        if [ "$try" = 5 ]; then
            # One architecture's security list is missing, so its
            # libraries stop at the release's versions while the other's
            # move on, and Multi-Arch: same wants them equal (wine32 needs
            # both). Prefer the release's own versions for what is
            # installed now.
            echo "installing the release's versions where they differ" >&2
            install_opts=(-o APT::Default-Release=bookworm)
        else
            sleep $((try * 15))
        fi
    done
    if [ ${#missing[@]} -gt 0 ]; then
        DEBIAN_FRONTEND=noninteractive without_daemon_starts \
            apt-get install -y -q --no-install-recommends "${install_opts[@]}" "${missing[@]}"
    fi
fi

# axe-core, which the browser test loads into Chromium: the version pinned
# in tests/server/axe/package-lock.json, from npm's registry.
axe=tests/server/axe
cd "$(dirname "$0")/.."
want=$(node -p "require('./$axe/package-lock.json').packages['node_modules/axe-core'].version")
have=$(node -p "require('./$axe/node_modules/axe-core/package.json').version" 2>/dev/null || true)
if [ "$want" != "$have" ]; then
    echo "Installing axe-core $want from npm"
    npm ci --prefix "$axe" --no-audit --no-fund --loglevel=error
fi
