#!/bin/sh
# Runs a command in a private network namespace whose only interface is an
# up loopback: a test server may take 127.0.0.1:80, and nothing the command
# does reaches any other network. Needs root (or CAP_SYS_ADMIN). Exits 77,
# which ctest counts as a skip, when no namespace can be made.
set -eu
if [ "$#" -eq 0 ]; then
    echo "usage: $0 command [argument...]" >&2
    exit 2
fi
if ! unshare -n true 2>/dev/null; then
    echo "netns-run: cannot create a network namespace here (not root?); skipping" >&2
    exit 77
fi
exec unshare -n sh -c 'ip link set lo up && exec "$@"' netns-run "$@"
