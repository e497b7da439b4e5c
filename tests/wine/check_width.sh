#!/bin/bash
# Every file the Wine cases run is of the build's width: PE32 for i386 in the
# win32 build, PE32+ for x86-64 in the win64 one.
#   check_width.sh OBJDUMP ARCH FILE...
set -uo pipefail
objdump=$1 arch=$2
shift 2
case $arch in
win32) want=pei-i386 ;;
win64) want=pei-x86-64 ;;
*)
    echo "FAIL  unknown ARCH '$arch'"
    exit 2
    ;;
esac
failures=0
for file in "$@"; do
    format=$("$objdump" -f "$file" 2>&1 | sed -n 's/.*file format \([^ ]*\).*/\1/p')
    if [ "$format" = "$want" ]; then
        echo "ok    $(basename "$file"): $format"
    else
        echo "FAIL  $(basename "$file"): ${format:-not a PE file}, expected $want"
        failures=$((failures + 1))
    fi
done
printf '\ncheck_width.sh: %d failure(s)\n' "$failures"
[ "$failures" -eq 0 ]
