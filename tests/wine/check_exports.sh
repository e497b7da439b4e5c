#!/bin/bash
# The test doubles must export the plain names Tovix.exe imports (RasDialW,
# not RasDialW@24 or _RasDialW@24), exactly those and nothing else.
#   check_exports.sh OBJDUMP DLL NAME...
set -uo pipefail
objdump=$1 dll=$2
shift 2
expected=$(printf '%s\n' "$@" | sort)
# The export name table of "objdump -p": lines "[   0] Name".
exports=$("$objdump" -p "$dll" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' |
    sed -n 's/^[[:space:]]*\[[[:space:]]*[0-9]*\] \(.*\)$/\1/p' | sort)
printf '%s exports: %s\n' "$(basename "$dll")" "$(tr '\n' ' ' <<<"$exports")"
if [ "$exports" = "$expected" ]; then
    echo "ok    exactly: $(tr '\n' ' ' <<<"$expected")"
else
    echo "FAIL  expected exactly: $(tr '\n' ' ' <<<"$expected")"
    exit 1
fi
