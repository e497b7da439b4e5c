#!/bin/bash
# Tovix.exe as built: a 32-bit (PE32, i386) Windows GUI program that imports
# only system DLLs and carries its dialog and icons in Simplified Chinese
# (LANGUAGE 4, 2) and its version block with translation 0x400. The resources
# are checked in detail by tests/res; this is the short look at the shipped file.
#   check_binary.sh TOVIX_EXE OBJDUMP WINDRES
set -uo pipefail
exe=$1 objdump=$2 windres=$3
failures=0
pass() { printf 'ok    %s\n' "$*"; }
fail() {
    printf 'FAIL  %s\n' "$*"
    failures=$((failures + 1))
}
check() {
    local what=$1
    shift
    if "$@"; then pass "$what"; else fail "$what"; fi
}

[ -x "$objdump" ] || fail "no objdump for PE files ($objdump): install binutils-mingw-w64-i686"
[ -x "$windres" ] || fail "no windres ($windres): install binutils-mingw-w64-i686"
[ "$failures" -eq 0 ] || exit 1

headers=$("$objdump" -p "$exe")
check "PE32 for i386" grep -q 'file format pei-i386' <<<"$headers"
check "optional header magic 010b (PE32)" grep -qE '^Magic[[:space:]]+010b' <<<"$headers"
check "Windows GUI subsystem" grep -qE '^Subsystem[[:space:]]+00000002' <<<"$headers"

imports=$(sed -n 's/^[[:space:]]*DLL Name: //p' <<<"$headers" | tr '[:upper:]' '[:lower:]' | sort)
printf '  imports: %s\n' "$(tr '\n' ' ' <<<"$imports")"
system="advapi32.dll comctl32.dll gdi32.dll kernel32.dll msvcrt.dll ole32.dll rasapi32.dll
rasdlg.dll shell32.dll shlwapi.dll user32.dll wininet.dll"
for dll in $imports; do
    check "$dll is a system DLL" grep -qw "$dll" <<<"$system"
done
for dll in kernel32.dll user32.dll wininet.dll rasapi32.dll rasdlg.dll shlwapi.dll; do
    check "imports $dll" grep -qx "$dll" <<<"$imports"
done

# windres prints a LANGUAGE line only where the language changes: carry it
# over to each resource definition, printed as "type: language".
dump=$("$windres" -i "$exe" -O rc 2>/dev/null)
languages=$(awk '
    /^LANGUAGE / { language = $2 " " $3 }
    /\/\* Type: / { type = $0; sub(/.*Type: /, "", type); sub(/[[:space:]]*$/, "", type) }
    /^[0-9A-Za-z_]+ ([0-9]+ \/\* RT_|DIALOGEX |DIALOG |VERSIONINFO)/ { print type ": " language }
' <<<"$dump")
printf '  resources: %s\n' "$(sort <<<"$languages" | uniq -c | tr -s ' ' | tr '\n' ';')"
for type in icon dialog "group icon"; do
    check "$type resources present, all LANGUAGE 4, 2" \
        [ "$(grep "^$type: " <<<"$languages" | sort -u)" = "$type: 4, 2" ]
done
check "the version block's translation is 0x400" \
    grep -qE 'VALUE "Translation", 0x400, ' <<<"$dump"

printf '\ncheck_binary.sh: %d failure(s)\n' "$failures"
[ "$failures" -eq 0 ]
