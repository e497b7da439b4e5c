#!/usr/bin/env bash
# The packages as a user meets them: builds them (cmake --workflow --preset
# package; --no-build uses what build/packages/ holds), opens the zip and runs
# its Tovix.exe under Wine, runs lintian, installs both Debian packages with
# dpkg -i, verifies the units, starts the services the way their units do
# (same user, options file, paths and capabilities, in a private network
# namespace), updates a name with the installed tovix and with curl and asks
# PowerDNS for it, then purges and looks for what is left.
#
# Root only: it installs packages on this machine. It refuses to start when
# anything of theirs is there already, and whatever happens it leaves nothing
# installed or running (the system user, which Debian keeps on purge, is
# removed at the end too). Exit status: 0 all passed, 1 a failure, 77 skipped.
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
. "$here/units.sh"

failures=0
fail() {
    echo "FAIL  $*"
    failures=$((failures + 1))
}
pass() { echo "ok    $*"; }
skip() { echo "SKIP  $*"; }
section() { printf '\n== %s\n' "$*"; }

user=tovix-server
state=/var/lib/tovix-server
unit_dir=/lib/systemd/system

# ---- inside the network namespace: the services as their units start them
if [ "${1:-}" = --serve ]; then
    work=$2
    . "$root/tests/support/pdns.sh"
    pids=()
    trap 'for p in "${pids[@]}"; do kill "$p" 2>/dev/null; wait "$p" 2>/dev/null; done' EXIT
    password='pack-Test-7'

    # Accounts are added as the manual page says, as the service's user.
    printf '%s\n' "$password" | runuser -u "$user" -- tovix-server account add me \
        home.tovix.example --db "$state/tovix-server.db" >/dev/null ||
        fail "runuser -u $user -- tovix-server account add"

    unit_start "$unit_dir/tovix-server.service" "$work/server.log" && pids+=("$UNIT_PID")
    for _ in $(seq 100); do
        curl -s -o /dev/null http://127.0.0.1/ && break
        sleep 0.05
    done
    unit_start "$unit_dir/tovix-server-dns.service" "$work/pdns.log" && pids+=("$UNIT_PID")
    for _ in $(seq 200); do
        dig +time=1 +tries=1 @127.0.0.1 . SOA >/dev/null 2>&1 && break
        sleep 0.05
    done
    # ProtectSystem=strict: / is read-only; the database directory is
    # writable for the update server, not for PowerDNS.
    for i in "${!pids[@]}"; do
        p=${pids[$i]}
        owner=$(ps -o user= -p "$p")
        [ "$owner" = "$user" ] && pass "$(ps -o comm= -p "$p") runs as $user" ||
            fail "process $p runs as '$owner'"
        want="/ ro $state rw"
        [ "$i" -eq 1 ] && want="/ ro"
        mounts=$(awk '$5 == "/" || $5 == "'"$state"'" { print $5, substr($6, 1, 2) }' \
            "/proc/$p/mountinfo" | paste -sd' ')
        [ "$mounts" = "$want" ] && pass "$(ps -o comm= -p "$p") sees the mounts as '$want'" ||
            fail "process $p sees the mounts as '$mounts'"
    done
    for name in version.bind id.server; do
        said=$(dig +short @127.0.0.1 "$name" CH TXT)
        [ -z "$said" ] && pass "$name says nothing" || fail "$name: $said"
    done
    [ ${#pids[@]} -eq 2 ] || { cat "$work"/*.log; exit 1; }

    # The packaged options publish public addresses only: the installed
    # client, calling from loopback, is answered dnserr and nothing changes.
    TOVIX_PHONEBOOK=/dev/null tovix -Slient home.tovix.example me "$password" >"$work/tovix.out" 2>&1 ||
        fail "tovix -Slient exit status $?: $(cat "$work/tovix.out")"
    for _ in $(seq 100); do # the log has a thread of its own
        grep -q $'\tme\t200\tdnserr$' "$work/server.log" && break
        sleep 0.05
    done
    grep -q $'\tme\t200\tdnserr$' "$work/server.log" &&
        pass "tovix -Slient from loopback: dnserr, loopback is not published" ||
        fail "tovix -Slient: the server logged $(tail -n 2 "$work/server.log")"
    dns home.tovix.example A >/dev/null # now in PowerDNS's cache: the update purges it
    answer=$(curl -s -u "me:$password" \
        'http://127.0.0.1/nic/update?hostname=home.tovix.example&myip=192.0.2.55')
    [ "$answer" = "good 192.0.2.55" ] && pass "curl update: $answer" ||
        fail "curl update answered '$answer'"
    got=$(dns_wait home.tovix.example A 192.0.2.55 5) &&
        pass "PowerDNS answers home.tovix.example A 192.0.2.55" ||
        fail "after the curl update DNS answers '$got'"
    [ "$(stat -c %U "$state/tovix-server.db")" = "$user" ] &&
        pass "the database belongs to $user" || fail "$(ls -l "$state")"
    # The default options' metrics listener, on loopback.
    health=$(curl -s http://127.0.0.1:9161/healthz)
    [ "$health" = ok ] && pass "/healthz on 127.0.0.1:9161: ok" || fail "/healthz: '$health'"
    # Read whole before grep: grep -q stops at the line, and curl, still
    # writing, would fail on the closed pipe (pipefail).
    metrics=$(curl -s http://127.0.0.1:9161/metrics)
    grep -q '^tovix_updates_total{result="good"} 1$' <<<"$metrics" &&
        pass "/metrics counts the good update" || fail "/metrics: no good update counted"
    runuser -u "$user" -- tovix-server check --db "$state/tovix-server.db" --zone tovix.example \
        >"$work/check.log" 2>&1 && pass "tovix-server check: all ok" ||
        fail "tovix-server check: $(grep FAIL "$work/check.log")"
    [ "$failures" -eq 0 ] || cat "$work"/*.log
    exit $((failures > 0))
fi

# ---- the whole run
if [ "$(id -u)" -ne 0 ]; then
    echo "SKIPPED: installing packages needs root"
    exit 77
fi
cd "$root" || exit 1
version=$(sed -n 's/^project(Tovix VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
packages=$root/build/packages
zip=$packages/Tovix-$version-win32.zip
client_deb=$packages/tovix_${version}_amd64.deb
server_deb=$packages/tovix-server_${version}_amd64.deb
work=$(mktemp -d)

section "building the packages"
if [ "${1:-}" != --no-build ]; then
    rm -rf "$packages"
    if ! cmake --workflow --preset package >"$work/build.log" 2>&1; then
        tail -30 "$work/build.log"
        echo "FAIL  cmake --workflow --preset package"
        exit 1
    fi
fi
for f in "$zip" "$client_deb" "$server_deb"; do
    [ -f "$f" ] && pass "built $(basename "$f")" || fail "missing $f"
done
[ "$failures" -eq 0 ] || exit 1

section "the Windows zip"
unzip -q "$zip" -d "$work/zip"
top=$work/zip/Tovix-$version-win32
[ "$(cd "$top" && ls | paste -sd' ')" = "README.txt Tovix.exe" ] &&
    pass "holds Tovix.exe and README.txt" || fail "holds: $(cd "$work/zip" && find . -type f)"
file "$top/Tovix.exe" | grep -q 'PE32 executable (GUI) Intel 80386' &&
    pass "Tovix.exe is a 32-bit Windows GUI program" || fail "$(file "$top/Tovix.exe")"
readme_check() { # what the read-me must hold, one grep pattern a line
    local pattern
    while read -r pattern; do
        grep -q -- "$pattern" "$top/README.txt" || fail "README.txt lacks '$pattern'"
    done
}
readme_check <<TEXT
Tovix $version
Tovix.exe \[-Slient\] \[HOST \[USER \[PASSWORD\]\]\]
Tovix.exe \[-Slient\] \[主机名 \[用户名 \[密码\]\]\]
TOVIX_UPDATE_SERVER
talks to 127.0.0.1, port 80
本程序连接 127.0.0.1
TEXT
[ "$(head -c3 "$top/README.txt" | od -An -tx1 | tr -d ' ')" = efbbbf ] &&
    [ "$(tr -cd '\n' <"$top/README.txt" | wc -c)" = "$(grep -c $'\r$' "$top/README.txt")" ] &&
    pass "README.txt: UTF-8 with a byte order mark, CRLF lines, both languages" ||
    fail "README.txt is not UTF-8 with BOM and CRLF"
# The zip's Tovix.exe is 32-bit: skipped only where no 32-bit code runs (the
# Wine rig's own test of that), failed where Wine is missing or broken.
status=0
bash "$root/tests/wine/rig.sh" runs-32bit >"$work/runs-32bit.log" 2>&1 || status=$?
if [ "$status" -eq 1 ]; then
    skip "Tovix.exe under Wine: $(sed 's/^rig: //' "$work/runs-32bit.log")"
elif [ "$status" -ne 0 ] || ! command -v wine >/dev/null; then
    fail "Tovix.exe under Wine: no 32-bit Wine: $(cat "$work/runs-32bit.log")"
else
    # Silent mode shows no window; in the namespace nothing answers on port 80,
    # so it ends with an error it does not show, and status 0.
    export WINEPREFIX=$work/wine WINEARCH=win32 WINEDEBUG=-all
    export WINEDLLOVERRIDES="mscoree,mshtml=;winedbg.exe=d"
    if timeout 120 sh "$root/tests/support/netns-run.sh" xvfb-run -a sh -c \
        'wine "$1" -Slient; s=$?; wineserver -k; exit $s' wine "$top/Tovix.exe" \
        >"$work/wine.log" 2>&1; then
        pass "Tovix.exe -Slient from the zip ran under Wine (status 0)"
    else
        fail "Tovix.exe under Wine: $(tail -5 "$work/wine.log")"
    fi
fi

section "lintian"
if command -v lintian >/dev/null; then
    if lintian --fail-on error "$client_deb" "$server_deb" >"$work/lintian.log" 2>&1; then
        pass "lintian: no error ($(grep -c '^W:' "$work/lintian.log") warnings)"
    else
        fail "lintian reports errors"
    fi
    cat "$work/lintian.log"
else
    skip "lintian is not installed (scripts/install-deps.sh installs it)"
fi

section "installing"
. "$root/scripts/no-daemons.sh"
for p in tovix tovix-server; do
    if dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q installed; then
        echo "FAIL  $p is installed on this machine already: not touching it"
        exit 1
    fi
done
for path in /etc/tovix-server "$state" /run/tovix-server-dns; do
    [ -e "$path" ] && {
        echo "FAIL  $path exists already: not touching it"
        exit 1
    }
done
had_user=$(getent passwd "$user")
# dpkg refuses at once while another dpkg holds its lock: wait for it.
dpkg_retry() {
    for _ in $(seq 60); do
        "$@" >"$work/dpkg.log" 2>&1 && return 0
        grep -q 'lock' "$work/dpkg.log" || break
        sleep 2
    done
    cat "$work/dpkg.log"
    return 1
}
cleanup() {
    dpkg --purge tovix-server tovix >/dev/null 2>&1
    rm -rf /run/tovix-server-dns
    if [ -z "$had_user" ] && getent passwd "$user" >/dev/null; then
        deluser --system --quiet "$user" >/dev/null 2>&1
        delgroup --system --quiet "$user" >/dev/null 2>&1
    fi
    rm -rf "$work"
}
trap cleanup EXIT
if dpkg_retry without_daemon_starts dpkg -i "$client_deb" "$server_deb"; then
    pass "dpkg -i tovix tovix-server"
else
    fail "dpkg -i"
    exit 1
fi
dpkg -L tovix tovix-server | sort -u >"$work/files"
for f in /usr/bin/tovix /usr/sbin/tovix-server /usr/share/man/man1/tovix.1.gz \
    /usr/share/man/man8/tovix-server.8.gz /etc/tovix-server/tovix-server.env \
    /etc/tovix-server/pdns/pdns.conf $unit_dir/tovix-server.service \
    $unit_dir/tovix-server-dns.service /usr/share/doc/tovix/examples/tovix-update.timer; do
    [ -f "$f" ] || fail "not installed: $f"
done
getent passwd "$user" | grep -q ":$state:/usr/sbin/nologin$" &&
    pass "system user $user ($state, no login)" || fail "user: $(getent passwd "$user")"
[ "$(stat -c '%U:%G %a' "$state")" = "$user:$user 750" ] &&
    pass "$state belongs to $user, mode 750" || fail "$(stat -c '%U:%G %a' "$state")"
ls /etc/systemd/system/multi-user.target.wants/tovix-server.service \
    /etc/systemd/system/multi-user.target.wants/tovix-server-dns.service >/dev/null 2>&1 &&
    pass "both services are enabled" || fail "the services are not enabled"
man -w tovix-server >/dev/null 2>&1 && man -w tovix >/dev/null 2>&1 &&
    pass "man tovix, man tovix-server" || fail "man does not find the pages"

section "monitoring examples"
examples=/usr/share/doc/tovix-server/examples
if command -v promtool >/dev/null; then
    promtool check rules "$examples/tovix-server.rules.yml" >"$work/promtool.log" 2>&1 &&
        pass "promtool check rules tovix-server.rules.yml" ||
        fail "promtool check rules: $(cat "$work/promtool.log")"
else
    fail "promtool is not installed (scripts/install-deps.sh installs prometheus)"
fi
python3 -c 'import json, sys; d = json.load(open(sys.argv[1])); assert d["panels"]' \
    "$examples/tovix-server-dashboard.json" 2>"$work/json.log" &&
    pass "tovix-server-dashboard.json is a dashboard (JSON)" ||
    fail "tovix-server-dashboard.json: $(cat "$work/json.log")"

section "systemd-analyze verify"
cp /usr/share/doc/tovix/examples/tovix-update.service \
    /usr/share/doc/tovix/examples/tovix-update.timer "$work/"
for u in $unit_dir/tovix-server.service $unit_dir/tovix-server-dns.service \
    "$work/tovix-update.service" "$work/tovix-update.timer"; do
    if out=$(systemd-analyze verify "$u" 2>&1) && [ -z "$out" ]; then
        pass "$(basename "$u")"
    else
        fail "$(basename "$u"): $out"
    fi
done
# How much of the system each service can reach, as systemd rates it (0 is
# nothing, 10 everything; a service without sandboxing rates 9.6;
# --threshold counts tenths).
for u in $unit_dir/tovix-server.service $unit_dir/tovix-server-dns.service; do
    rating=$(systemd-analyze security --offline=true "$u" 2>&1 |
        sed -n 's/.*Overall exposure level for .*: \([0-9.]*\).*/\1/p')
    if systemd-analyze security --offline=true --threshold=25 "$u" >/dev/null 2>&1; then
        pass "$(basename "$u"): exposure $rating (at most 2.5)"
    else
        fail "$(basename "$u"): exposure '$rating', above 2.5"
    fi
done

section "the services as their units start them"
mkdir -p "$work/serve"
sh "$root/tests/support/netns-run.sh" bash "$0" --serve "$work/serve" || fail "serving"

section "purging"
if dpkg_retry dpkg --purge tovix-server tovix; then
    pass "dpkg --purge tovix-server tovix"
else
    fail "dpkg --purge"
fi
left=$(while read -r f; do
    [ "$f" = /. ] || [ ! -e "$f" ] || [ -d "$f" ] || echo "$f"
done <"$work/files")
[ -z "$left" ] && pass "every packaged file is gone" || fail "left behind: $left"
left=$(ls -d /etc/tovix-server "$state" /etc/systemd/system/*/tovix-server* \
    /var/lib/systemd/deb-systemd-helper-enabled/*tovix-server* 2>/dev/null)
[ -z "$left" ] && pass "no configuration, database or unit links left" ||
    fail "left behind: $left"
getent passwd "$user" >/dev/null && pass "the system user stays, as Debian keeps it" ||
    fail "purge removed the system user"

echo
[ "$failures" -eq 0 ] && echo "packages: all passed" || echo "packages: $failures failed"
exit $((failures > 0))
