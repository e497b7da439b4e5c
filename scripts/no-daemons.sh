# shellcheck shell=bash
# Sourced by scripts/install-deps.sh and tests/packages/run.sh (bash).
#
# without_daemon_starts COMMAND...: runs COMMAND (apt-get install, dpkg -i)
# with every service start refused by a temporary /usr/sbin/policy-rc.d that
# exits 101 (pdns-server, ddclient, inadyn and tovix-server ship services;
# the tests start what they need themselves and nothing may keep running),
# then restores whatever policy-rc.d was there before. Returns COMMAND's
# status.
without_daemon_starts() {
    local policy=/usr/sbin/policy-rc.d saved=
    if [ -e "$policy" ]; then
        saved=$(mktemp)
        cp -p "$policy" "$saved"
    fi
    printf '#!/bin/sh\nexit 101\n' >"$policy"
    chmod 755 "$policy"
    local status=0
    "$@" || status=$?
    if [ -n "$saved" ]; then
        mv "$saved" "$policy"
    else
        rm -f "$policy"
    fi
    return $status
}
