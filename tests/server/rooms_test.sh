#!/usr/bin/env bash
# The server's rooms keep their arrows: each room (a folder of server/ with
# a tovix_room() in its CMakeLists.txt) includes only its own headers and
# those of the rooms its USES names, and uses only rooms added before it
# (below it). The composition root (server.h, config.h) counts as the room
# "server", which only the commands may use.
# Usage: rooms_test.sh SERVER_DIR
set -uo pipefail
server=${1:-server}
failures=0
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

# The rooms in the order server/CMakeLists.txt adds them, the root
# ("server", the library tovix_server) where it is added.
order=$(sed -n 's/^add_subdirectory(\([a-z]*\))$/\1/p; s/^add_library(tovix_\(server\) .*/\1/p' \
    "$server/CMakeLists.txt")
[ -n "$order" ] || fail "no rooms in $server/CMakeLists.txt"
below=""
for room in $order; do
    if [ "$room" = server ]; then
        below="$below server"
        continue
    fi
    cmake="$server/$room/CMakeLists.txt"
    [ -f "$server/$room/README.md" ] || fail "$room has no README.md"
    # USES a b c, up to the next keyword or the closing parenthesis.
    uses=$(tr '\n' ' ' <"$cmake" | sed -n 's/.*tovix_room(\([^)]*\)).*/\1/p' |
        sed -n 's/.* USES \(.*\)/\1/p' | sed 's/ \(LIBS\|SOURCES\) .*//')
    for used in $uses; do
        case " $below " in
        *" $used "*) ;;
        *) fail "$room uses $used, which is not below it" ;;
        esac
    done
    while IFS=: read -r file line; do
        target=$(sed -n 's/^#include "\([^"]*\)".*/\1/p' <<<"$line")
        case "$target" in
        */*) used=${target%%/*} ;;
        config.h | server.h) used=server ;;
        *) used="?" ;;
        esac
        [ "$used" = "$room" ] && continue
        case " $uses " in
        *" $used "*) ;;
        *) fail "$file includes $target: $room does not use ${used}" ;;
        esac
    done < <(grep -H '^#include "' "$server/$room"/*.cpp "$server/$room"/*.h 2>/dev/null)
    below="$below $room"
done
echo "rooms, bottom up:$below"
[ "$failures" -eq 0 ] && echo "ok: every room includes only itself and the rooms below it it uses"
exit $((failures > 0))
