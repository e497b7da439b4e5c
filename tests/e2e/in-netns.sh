#!/usr/bin/env bash
# Runs a command in a private network namespace with only a loopback
# interface, so a test may serve 127.0.0.1:80. Needs root.
set -euo pipefail
exec unshare -n -- sh -c 'ip link set lo up && exec "$@"' in-netns "$@"
