#!/usr/bin/env bash
# sandbox.sh [--private-tmp] [--protect-home] [--rw PATH]... -- COMMAND...
# Runs COMMAND as root in a mount namespace of its own (private propagation:
# nothing here reaches the machine's mounts) that approximates a unit's
# ProtectSystem=strict: every mount read-only except /proc, /sys, /dev and
# each --rw PATH (ReadWritePaths=, StateDirectory=, RuntimeDirectory=);
# --private-tmp puts empty file systems on /tmp and /var/tmp (PrivateTmp=),
# --protect-home empty read-only ones on /home, /root and /run/user.
set -euo pipefail
if [ "${1:-}" != --inside ]; then
    exec unshare -m --propagation private bash "$0" --inside "$@"
fi
shift
rw=() private_tmp='' protect_home=''
while [ $# -gt 0 ]; do
    case $1 in
    --rw) rw+=("$2") && shift 2 ;;
    --private-tmp) private_tmp=1 && shift ;;
    --protect-home) protect_home=1 && shift ;;
    --) shift && break ;;
    *) echo "sandbox.sh: unknown option $1" >&2 && exit 2 ;;
    esac
done
if [ -n "$private_tmp" ]; then
    mount -t tmpfs -o mode=1777 tmpfs /tmp
    mount -t tmpfs -o mode=1777 tmpfs /var/tmp
fi
if [ -n "$protect_home" ]; then
    for d in /home /root /run/user; do
        [ -d "$d" ] && mount -t tmpfs -o ro,mode=000 tmpfs "$d"
    done
fi
for p in $(printf '%s\n' "${rw[@]}" | sort -u); do
    mount --bind "$p" "$p"
done
findmnt -rno TARGET | while read -r target; do
    case $target in /proc | /proc/* | /sys | /sys/* | /dev | /dev/*) continue ;; esac
    for p in "${rw[@]}"; do
        [ "$target" = "$p" ] && continue 2
    done
    mount -o remount,bind,ro "$target" 2>/dev/null || true
done
exec "$@"
