#!/usr/bin/env bash
# tovix-server against hostile clients (tests/stress/hostile_clients.py), in
# a private network namespace: slow and idle connections held while a good
# client updates, a header flood, password guessing from one source and
# against one account from many, pipelining and a POST without a length.
#
#   tests/stress/hostile.sh SERVER [short]
#
# Prints the table of measures and targets; exits 1 when one is missed.
# "short" is the quick run ctest does (fewer connections, shorter phases);
# measure with a build without sanitizers (host-release), which the README's
# figures come from.
set -euo pipefail
if [ "${TOVIX_IN_NETNS:-}" != 1 ]; then
    exec env TOVIX_IN_NETNS=1 unshare -n bash -c 'ip link set lo up && exec bash "$0" "$@"' \
        "$0" "$@"
fi
server=$(realpath "$1")
mode=${2:-long}
here=$(cd "$(dirname "$0")" && pwd)
tmp=$(mktemp -d "${TMPDIR:-/tmp}/tovix-hostile.XXXXXX")
pid=
cleanup() {
    [ -n "$pid" ] && kill "$pid" 2>/dev/null && wait "$pid" 2>/dev/null
    rm -rf "$tmp"
}
trap cleanup EXIT

# More descriptors than connections, for both sides.
ulimit -n "$(ulimit -Hn)"
"$server" --listen 127.0.0.1:80 --db "$tmp/hostile.db" 2>"$tmp/server.err" &
pid=$!
for _ in $(seq 200); do
    grep -q listening "$tmp/server.err" && break
    sleep 0.05
done
grep -q listening "$tmp/server.err" || { cat "$tmp/server.err"; exit 1; }

if [ "$mode" = short ]; then
    set -- --slow 200 --idle 200 --good 40 --settle 2 --headers 100000 --guess-seconds 2 \
        --rss-growth-only --flood-seconds 3
else
    set --
fi
python3 "$here/hostile_clients.py" --pid "$pid" --log "$tmp/server.err" "$@"
