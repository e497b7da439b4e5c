#!/bin/bash
# The rig for running the real Tovix.exe under Wine, headless.
#
#   rig.sh install [ARCH]        install Wine, Xvfb and fonts when missing
#   rig.sh setup STATE PREFIX [ARCH]
#                                fresh prefix at PREFIX for ARCH (win32, the
#                                default, or win64); a private network
#                                namespace (kept by a holder process) with its
#                                loopback up; Xvfb on a free display, a
#                                persistent wineserver and wineboot, all inside
#                                it; writes STATE/rig.env for the cases
#   rig.sh teardown STATE        wineserver -k, stop Xvfb and the namespace
#   rig.sh run STATE CMD...      run CMD inside the rig (namespace and Wine env)
#   rig.sh runs-32bit            status 0 where this machine executes 32-bit
#                                code, 1 (with the reason) where it cannot
#
# ARCH win32 runs the 32-bit Tovix.exe with Wine's 32-bit loader; win64 runs a
# 64-bit build with wine64 alone, so it works where no 32-bit code can. Only
# there, and only for win32, is the rig skipped; any other failure to start
# Wine fails the setup with Wine's own words.
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

# The loader of each width and the wineserver (which serves both), as
# Debian installs them.
wine_loader() {
    case $1 in
    win32) echo /usr/lib/wine/wine ;;
    win64) echo /usr/lib/wine/wine64 ;;
    esac
}
WINE_SERVER=/usr/lib/wine/wineserver

installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'ok installed'; }

# packages_missing ARCH...: the packages the rig needs for those widths.
packages_missing() {
    local missing=() arch
    command -v wine >/dev/null || missing+=(wine)
    for arch in "$@"; do
        case $arch in
        win32) installed wine32:i386 || missing+=(wine32:i386) ;;
        win64) installed wine64 || missing+=(wine64) ;;
        esac
    done
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

# cmd_install ARCH...: what the rig needs for those widths (both by default).
cmd_install() {
    [ $# -gt 0 ] || set -- win32 win64
    local missing
    missing=$(packages_missing "$@")
    if [ -z "$missing" ]; then
        say "Wine ($*), Xvfb and fonts are installed"
        return 0
    fi
    say "installing: $(tr '\n' ' ' <<<"$missing")"
    if grep -q ':i386' <<<"$missing" && ! dpkg --print-foreign-architectures | grep -qx i386; then
        dpkg --add-architecture i386
    fi
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -q
    # shellcheck disable=SC2086
    apt-get install -y -q --no-install-recommends $missing
    missing=$(packages_missing "$@")
    [ -z "$missing" ] || die "still missing after apt-get: $missing"
}

# STATE/bin: "wine" and "wineserver" of the rig's width first on the PATH,
# so that everything run in the rig (cases, helpers, by hand) gets the loader
# of its width. Debian's /usr/bin/wine takes the 32-bit loader whenever it is
# installed, which a 64-bit rig must not depend on. "wine" is a script that
# runs the loader by its own path, as Debian's does: the loader re-executes
# itself under the name it was started by, and a link named "wine" would
# make a 64-bit rig start the 32-bit loader first.
write_bin() {
    local state=$1 arch=$2 loader
    loader=$(wine_loader "$arch")
    [ -x "$loader" ] || die "no Wine loader for $arch at $loader (rig.sh install $arch)"
    rm -rf "${state:?}/bin"
    mkdir -p "$state/bin"
    printf '#!/bin/sh\nexec %s "$@"\n' "$loader" >"$state/bin/wine"
    chmod +x "$state/bin/wine"
    ln -s "$WINE_SERVER" "$state/bin/wineserver"
}

# Wine's settings for every process of the rig.
write_env() {
    local state=$1 prefix=$2 display=$3 holder=$4 xvfb=$5 arch=$6
    cat >"$state/rig.env" <<EOF
export PATH='$state/bin':"\$PATH"
export WINELOADER='$(wine_loader "$arch")'
export WINEPREFIX='$prefix'
export WINEARCH=$arch
export WINEDEBUG=-all
export WINEDLLOVERRIDES='mscoree,mshtml=;winedbg.exe=d;rasapi32,rasdlg=n'
export DISPLAY=':$display'
export LANG=C.UTF-8
export LC_ALL=C.UTF-8
unset http_proxy https_proxy HTTP_PROXY HTTPS_PROXY ftp_proxy all_proxy ALL_PROXY no_proxy NO_PROXY
TOVIX_RIG_HOLDER=$holder
TOVIX_RIG_XVFB=$xvfb
TOVIX_RIG_ARCH=$arch
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
# virtual machines execute no 32-bit code at all: exec fails with "Exec format
# error" (ENOEXEC, status 126). The 32-bit dynamic loader itself is the
# smallest 32-bit program there is, and wine32 brings it.
#   runs_32bit_code: 0 it runs; 1 this machine cannot (the reason in
#   $NO_32BIT_REASON); 2 the loader is missing or broken (an install fault).
NO_32BIT_REASON=
LD_32BIT=${TOVIX_RIG_LD_32BIT:-/lib/ld-linux.so.2}
runs_32bit_code() {
    local status=0 err
    err=$("$LD_32BIT" --version 2>&1 >/dev/null) || status=$?
    [ "$status" -eq 0 ] && return 0
    if [ "$status" -eq 126 ] && grep -q 'Exec format error' <<<"$err"; then
        NO_32BIT_REASON="this machine cannot execute 32-bit code ($LD_32BIT: Exec format error)"
        return 1
    fi
    NO_32BIT_REASON="$LD_32BIT --version failed with status $status: ${err:-no message}"
    return 2
}

# Exit status as runs_32bit_code's.
cmd_runs_32bit() {
    local status=0
    runs_32bit_code || status=$?
    case $status in
    0) say "this machine executes 32-bit code ($LD_32BIT runs)" ;;
    1) say "$NO_32BIT_REASON" ;;
    *) printf 'rig: %s (install wine32:i386, which brings libc6:i386)\n' "$NO_32BIT_REASON" >&2 ;;
    esac
    exit "$status"
}

# start_wine STATE: the persistent wineserver and a booted prefix; dies with
# Wine's own output when Wine cannot start at all.
start_wine() {
    local state=$1 status=0
    in_ns wineserver -p </dev/null >"$state/wineserver.log" 2>&1 || status=$?
    [ "$status" -eq 0 ] ||
        die "wineserver did not start (status $status): $(tail -n 20 "$state/wineserver.log")"
    in_ns wine wineboot </dev/null >"$state/wineboot.log" 2>&1 || status=$?
    [ "$status" -eq 0 ] || die "Wine did not start: wine wineboot ($WINEARCH, $WINELOADER)" \
        "exited with status $status: $(tail -n 20 "$state/wineboot.log")"
    # A program of the prefix's own width (cmd.exe from its system32) runs.
    local said
    said=$(in_ns wine cmd /c echo wine-runs </dev/null 2>>"$state/wineboot.log" | tr -d '\r')
    [ "$said" = wine-runs ] || die "Wine did not start: wine cmd /c echo said '$said':" \
        "$(tail -n 20 "$state/wineboot.log")"
}

cmd_setup() {
    local state=$1 prefix=$2 arch=$3
    local started=$SECONDS
    cmd_install "$arch"
    mkdir -p "$state"
    if [ -f "$state/rig.env" ]; then
        say "tearing down the rig of an earlier run"
        cmd_teardown "$state" || true
    fi
    rm -f "$state/skip"
    if [ "$arch" = win32 ]; then
        local status=0
        runs_32bit_code || status=$?
        if [ "$status" -eq 1 ]; then
            echo "$NO_32BIT_REASON: no 32-bit Wine here (the win64 preset runs these cases)" \
                >"$state/skip"
            say "SKIPPED: $(cat "$state/skip")"
            exit "$SKIP_STATUS"
        fi
        [ "$status" -eq 0 ] || die "$NO_32BIT_REASON"
    fi
    write_bin "$state" "$arch"
    rm -rf "$prefix"
    mkdir -p "$prefix"

    # The namespace lives as long as this holder process.
    unshare -n sleep infinity </dev/null >/dev/null 2>&1 &
    local holder=$!
    SETUP_PIDS=("$holder:sleep")
    trap 'setup_failed "$state"' EXIT
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
    SETUP_PIDS+=("$xvfb:Xvfb")
    for _ in $(seq 200); do
        [ -s "$state/display" ] && break
        kill -0 "$xvfb" 2>/dev/null || die "Xvfb did not start: $(cat "$state/xvfb.log")"
        sleep 0.05
    done
    local display
    display=$(tr -dc 0-9 <"$state/display")
    [ -n "$display" ] || die "Xvfb gave no display number"
    write_env "$state" "$prefix" "$display" "$holder" "$xvfb" "$arch"
    # shellcheck source=/dev/null
    . "$state/rig.env"
    # Xvfb writes the number once it listens: one look each, no wait. The
    # socket must be there, or X11 would fall back to a /tmp/.X11-unix file.
    in_ns grep -qE " @/tmp/\.X11-unix/X$display\$" /proc/net/unix ||
        die "Xvfb has no abstract socket for :$display in the namespace"
    in_ns xwininfo -root >/dev/null 2>"$state/xwininfo.err" ||
        die "no X client reaches :$display in the namespace: $(cat "$state/xwininfo.err")"
    say "namespace holder $holder, Xvfb $xvfb on :$display (namespace only), prefix $prefix"

    start_wine "$state"
    write_registry "$state/rig.reg"
    in_ns wine regedit /S "Z:${state//\//\\}\\rig.reg" </dev/null >/dev/null 2>&1
    local fonts="$prefix/drive_c/windows/Fonts" font
    mkdir -p "$fonts"
    for font in /usr/share/wine/fonts/*.ttf; do
        [ -e "$fonts/$(basename "$font")" ] || cp "$font" "$fonts/"
    done
    in_ns wine reg query 'HKCU\Software\Wine\Fonts\Replacements' </dev/null 2>/dev/null |
        grep -q 'WenQuanYi' || die "font replacements did not reach the registry"
    say "$(wine --version) ($arch, $WINELOADER) ready in $((SECONDS - started)) s"
    trap - EXIT
}

# A setup that failed half-way stops what it started (the namespace holder,
# Xvfb, Wine), so that nothing outlives the failed test; its logs stay.
SETUP_PIDS=()
setup_failed() {
    local status=$? state=$1
    [ "$status" -ne 0 ] || return 0
    if [ -f "$state/rig.env" ]; then
        cmd_teardown "$state" >/dev/null 2>&1 || true
    fi
    stop_processes "${SETUP_PIDS[@]}"
    exit "$status"
}

# stop_processes PID:NAME...: ends each process that still has that name (an
# id may have been reused by now) and waits for it to go.
stop_processes() {
    local pid name entry
    for entry in "$@"; do
        name=${entry#*:}
        pid=${entry%%:*}
        if [ "$(cat "/proc/$pid/comm" 2>/dev/null)" = "$name" ]; then
            kill "$pid" 2>/dev/null || true
            for _ in $(seq 100); do
                kill -0 "$pid" 2>/dev/null || break
                sleep 0.05
            done
        fi
    done
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
    stop_processes "$TOVIX_RIG_XVFB:Xvfb" "$TOVIX_RIG_HOLDER:sleep"
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

# check_arch ARCH: one of the widths the rig knows.
check_arch() {
    case $1 in
    win32 | win64) ;;
    *) die "unknown ARCH '$1' (win32 or win64)" ;;
    esac
}

case "${1:-}" in
install)
    [ $# -le 2 ] || die "usage: rig.sh install [ARCH]"
    [ $# -eq 1 ] || check_arch "$2"
    cmd_install "${@:2}"
    ;;
setup)
    [ $# -eq 3 ] || [ $# -eq 4 ] || die "usage: rig.sh setup STATE_DIR PREFIX_DIR [ARCH]"
    check_arch "${4:-win32}"
    cmd_setup "$(realpath -m "$2")" "$(realpath -m "$3")" "${4:-win32}"
    ;;
runs-32bit) cmd_runs_32bit ;;
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
*) die "usage: rig.sh install [ARCH] | setup STATE PREFIX [ARCH] | teardown STATE | run STATE CMD... | runs-32bit" ;;
esac
