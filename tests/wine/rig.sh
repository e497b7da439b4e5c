#!/bin/bash
# The rig for running the real Tovix.exe under Wine, headless.
#
#   rig.sh install               install Wine, Xvfb and fonts when missing
#   rig.sh setup STATE PREFIX    fresh 32-bit prefix at PREFIX; a private network
#                                namespace (kept by a holder process) with its
#                                loopback up; Xvfb on a free display, a
#                                persistent wineserver and wineboot, all inside
#                                it; writes STATE/rig.env for the cases
#   rig.sh teardown STATE        wineserver -k, stop Xvfb and the namespace
#   rig.sh run STATE CMD...      run CMD inside the rig (namespace and Wine env)
#
# Why one namespace for everything: Wine's sockets are made by wineserver, so
# wineserver, the update server and Tovix.exe must share the namespace that has
# 127.0.0.1:80 free. Everything started here has its standard streams
# redirected, or ctest would wait for Wine's background processes.
set -euo pipefail

# The status ctest counts as a skipped test (SKIP_RETURN_CODE).
SKIP_STATUS=77

say() { printf 'rig: %s\n' "$*"; }
die() {
    printf 'rig: %s\n' "$*" >&2
    exit 1
}

packages_missing() {
    local missing=()
    command -v wine >/dev/null || missing+=(wine)
    dpkg-query -W -f='${Status}' wine32:i386 2>/dev/null | grep -q 'ok installed' ||
        missing+=(wine32:i386)
    command -v Xvfb >/dev/null || missing+=(xvfb)
    [ -d /usr/share/fonts/truetype/wqy ] || missing+=(fonts-wqy-zenhei)
    ls /usr/share/wine/fonts/*.ttf >/dev/null 2>&1 || missing+=(fonts-wine)
    command -v import >/dev/null || missing+=(imagemagick)
    command -v xwininfo >/dev/null || missing+=(x11-utils)
    command -v ip >/dev/null || missing+=(iproute2)
    command -v nsenter >/dev/null || missing+=(util-linux)
    command -v iconv >/dev/null || missing+=(libc-bin)
    printf '%s\n' "${missing[@]}"
}

cmd_install() {
    local missing
    missing=$(packages_missing)
    if [ -z "$missing" ]; then
        say "Wine, Xvfb and fonts are installed"
        return 0
    fi
    say "installing: $(tr '\n' ' ' <<<"$missing")"
    if ! dpkg --print-foreign-architectures | grep -qx i386; then
        dpkg --add-architecture i386
    fi
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -q
    # shellcheck disable=SC2086
    apt-get install -y -q --no-install-recommends $missing
    missing=$(packages_missing)
    [ -z "$missing" ] || die "still missing after apt-get: $missing"
}

# Wine's settings for every process of the rig.
write_env() {
    local state=$1 prefix=$2 display=$3 holder=$4 xvfb=$5
    cat >"$state/rig.env" <<EOF
export WINEPREFIX='$prefix'
export WINEARCH=win32
export WINEDEBUG=-all
export WINEDLLOVERRIDES='mscoree,mshtml=;winedbg.exe=d;rasapi32,rasdlg=n'
export DISPLAY=':$display'
export LANG=C.UTF-8
export LC_ALL=C.UTF-8
unset http_proxy https_proxy HTTP_PROXY HTTPS_PROXY ftp_proxy all_proxy ALL_PROXY no_proxy NO_PROXY
TOVIX_RIG_HOLDER=$holder
TOVIX_RIG_XVFB=$xvfb
EOF
}

in_ns() {
    nsenter --net="/proc/$TOVIX_RIG_HOLDER/ns/net" -- "$@"
}

# The faces the dialog asks for, drawn with a font that has the glyphs; and
# no window manager decorations (each hide would wait for one otherwise).
write_registry() {
    local file=$1
    {
        printf 'Windows Registry Editor Version 5.00\r\n\r\n'
        printf '[HKEY_CURRENT_USER\\Software\\Wine\\Fonts\\Replacements]\r\n'
        local face
        for face in SimSun 宋体 NSimSun 新宋体 "MS Shell Dlg" "MS Shell Dlg 2"; do
            printf '"%s"="WenQuanYi Zen Hei"\r\n' "$face"
        done
        printf '\r\n[HKEY_CURRENT_USER\\Software\\Wine\\X11 Driver]\r\n'
        printf '"Managed"="N"\r\n\r\n'
    } | iconv -f UTF-8 -t UTF-16LE | {
        printf '\xff\xfe'
        cat
    } >"$file"
}

# Wine runs a 32-bit program as a 32-bit Linux process. Some kernels and
# virtual machines execute no 32-bit code at all (exec fails with "Exec format
# error", status 126); there the Wine tests cannot run and are skipped.
runs_32bit_code() {
    local status=0
    /usr/lib/wine/wineserver32 --version >/dev/null 2>&1 || status=$?
    [ "$status" -ne 126 ]
}

cmd_setup() {
    local state=$1 prefix=$2
    local started=$SECONDS
    cmd_install
    mkdir -p "$state"
    if [ -f "$state/rig.env" ]; then
        say "tearing down the rig of an earlier run"
        cmd_teardown "$state" || true
    fi
    rm -f "$state/skip"
    if ! runs_32bit_code; then
        echo "this machine cannot execute 32-bit code (Exec format error): no Wine here" \
            >"$state/skip"
        say "SKIPPED: $(cat "$state/skip")"
        exit "$SKIP_STATUS"
    fi
    rm -rf "$prefix"
    mkdir -p "$prefix"

    # The namespace lives as long as this holder process.
    unshare -n sleep infinity </dev/null >/dev/null 2>&1 &
    local holder=$!
    for _ in $(seq 100); do
        [ "$(readlink "/proc/$holder/ns/net" 2>/dev/null)" != "$(readlink /proc/self/ns/net)" ] &&
            break
        sleep 0.05
    done
    TOVIX_RIG_HOLDER=$holder
    in_ns ip link set lo up

    rm -f "$state/display"
    # Xvfb listens only on the abstract socket @/tmp/.X11-unix/XN, which
    # belongs to the namespace: no /tmp/.X11-unix file shared with other rigs
    # or X servers (each rig gets display :0 of its own), no TCP port.
    # Clients inside the namespace reach it with DISPLAY=:N (X11 tries the
    # abstract socket first). exec twice over (subshell, nsenter), so that $!
    # is Xvfb itself.
    (exec nsenter --net="/proc/$holder/ns/net" -- Xvfb -displayfd 3 -screen 0 1024x768x24 \
        -nolisten tcp -nolisten unix 3>"$state/display" </dev/null >"$state/xvfb.log" 2>&1) &
    local xvfb=$!
    for _ in $(seq 200); do
        [ -s "$state/display" ] && break
        kill -0 "$xvfb" 2>/dev/null || die "Xvfb did not start: $(cat "$state/xvfb.log")"
        sleep 0.05
    done
    local display
    display=$(tr -dc 0-9 <"$state/display")
    [ -n "$display" ] || die "Xvfb gave no display number"
    write_env "$state" "$prefix" "$display" "$holder" "$xvfb"
    # shellcheck source=/dev/null
    . "$state/rig.env"
    # Xvfb writes the number once it listens: one look each, no wait. The
    # socket must be there, or X11 would fall back to a /tmp/.X11-unix file.
    in_ns grep -qE " @/tmp/\.X11-unix/X$display\$" /proc/net/unix ||
        die "Xvfb has no abstract socket for :$display in the namespace"
    in_ns xwininfo -root >/dev/null 2>"$state/xwininfo.err" ||
        die "no X client reaches :$display in the namespace: $(cat "$state/xwininfo.err")"
    say "namespace holder $holder, Xvfb $xvfb on :$display (namespace only), prefix $prefix"

    in_ns wineserver -p </dev/null >/dev/null 2>&1
    in_ns wine wineboot </dev/null >/dev/null 2>&1
    write_registry "$state/rig.reg"
    in_ns wine regedit /S "Z:${state//\//\\}\\rig.reg" </dev/null >/dev/null 2>&1
    local fonts="$prefix/drive_c/windows/Fonts" font
    mkdir -p "$fonts"
    for font in /usr/share/wine/fonts/*.ttf; do
        [ -e "$fonts/$(basename "$font")" ] || cp "$font" "$fonts/"
    done
    in_ns wine reg query 'HKCU\Software\Wine\Fonts\Replacements' </dev/null 2>/dev/null |
        grep -q 'WenQuanYi' || die "font replacements did not reach the registry"
    say "$(wine --version) ready in $((SECONDS - started)) s"
}

cmd_teardown() {
    local state=$1
    [ -f "$state/rig.env" ] || {
        say "no rig to tear down"
        return 0
    }
    # shellcheck source=/dev/null
    . "$state/rig.env"
    if [ "$(cat "/proc/$TOVIX_RIG_HOLDER/comm" 2>/dev/null)" = sleep ]; then
        in_ns wineserver -k </dev/null >/dev/null 2>&1 || true
    else
        wineserver -k </dev/null >/dev/null 2>&1 || true
    fi
    # Only the processes this rig started: an id from an old state file may
    # have been reused by now.
    local pid name
    for pid in "$TOVIX_RIG_XVFB:Xvfb" "$TOVIX_RIG_HOLDER:sleep"; do
        name=${pid#*:}
        pid=${pid%%:*}
        if [ "$(cat "/proc/$pid/comm" 2>/dev/null)" = "$name" ]; then
            kill "$pid" 2>/dev/null || true
            for _ in $(seq 100); do
                kill -0 "$pid" 2>/dev/null || break
                sleep 0.05
            done
        fi
    done
    rm -f "$state/rig.env"
    if [ "${TOVIX_WINE_KEEP_PREFIX:-0}" != 1 ] && [ -n "$WINEPREFIX" ]; then
        rm -rf "$WINEPREFIX"
    fi
    say "torn down"
}

cmd_run() {
    local state=$1
    shift
    [ -f "$state/rig.env" ] || die "no rig at $state: run 'rig.sh setup' first"
    # shellcheck source=/dev/null
    . "$state/rig.env"
    kill -0 "$TOVIX_RIG_HOLDER" 2>/dev/null || die "the rig's namespace is gone"
    if [ "$(readlink /proc/self/ns/net)" = "$(readlink "/proc/$TOVIX_RIG_HOLDER/ns/net")" ]; then
        exec "$@"
    fi
    exec nsenter --net="/proc/$TOVIX_RIG_HOLDER/ns/net" -- "$@"
}

case "${1:-}" in
install) cmd_install ;;
setup)
    [ $# -eq 3 ] || die "usage: rig.sh setup STATE_DIR PREFIX_DIR"
    cmd_setup "$(realpath -m "$2")" "$(realpath -m "$3")"
    ;;
teardown)
    [ $# -eq 2 ] || die "usage: rig.sh teardown STATE_DIR"
    cmd_teardown "$(realpath -m "$2")"
    ;;
run)
    [ $# -ge 3 ] || die "usage: rig.sh run STATE_DIR COMMAND..."
    state=$(realpath -m "$2")
    shift 2
    cmd_run "$state" "$@"
    ;;
*) die "usage: rig.sh install | setup STATE PREFIX | teardown STATE | run STATE CMD..." ;;
esac
