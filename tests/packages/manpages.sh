#!/usr/bin/env bash
# The manual pages against the programs: every option and command that
# `tovix-server --help` names is in tovix-server(8), the synopsis lines of
# the help are in the page's synopsis, and groff formats both pages without
# a warning.
# Usage: manpages.sh TOVIX_SERVER MAN_DIR
set -uo pipefail
server=$1
man_dir=$2
failures=0
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

# A page as plain text: roff's "\-" is a hyphen, fonts and escapes go.
plain() {
    sed -e 's/\\-/-/g' -e 's/\\f[BIPR]//g' -e 's/\\&//g' -e 's/\\e/\\/g' "$1"
}

help=$("$server" --help) || fail "tovix-server --help exit status $?"
page=$(plain "$man_dir/tovix-server.8")
options=$(grep -o -- '--[a-z0-9][a-z0-9-]*' <<<"$help" | sort -u)
[ -n "$options" ] || fail "no options found in --help"
for option in $options; do
    grep -q -- "^\.[A-Z]* *$option\b\|[ \"]$option\b" <<<"$page" ||
        fail "tovix-server(8) does not describe $option"
done
# Each command of the usage lines ("tovix-server account add USER ...").
while read -r command; do
    words=$(sed 's/^ *\(Usage: \)\?tovix-server //; s/ [A-Z[].*//' <<<"$command")
    grep -q "^\.B tovix-server $words\$\|^\.B tovix-server $words " <<<"$page" ||
        fail "the synopsis lacks 'tovix-server $words'"
done < <(grep -E '^(Usage: | +)tovix-server [a-z]' <<<"$help")
echo "$(wc -w <<<"$options") options checked against tovix-server(8)"

for p in tovix.1 tovix-server.8; do
    out=$(sed 's/@[A-Z_]*@/X/g' "$man_dir/$p" | groff -man -ww -z -Tutf8 2>&1)
    [ -z "$out" ] || fail "groff warns about $p: $out"
done
[ "$failures" -eq 0 ] && echo "ok: the manual pages agree with the programs"
exit $((failures > 0))
