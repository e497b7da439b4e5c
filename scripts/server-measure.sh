#!/usr/bin/env bash
# The server's sizes against its limits: the longest files (450 lines),
# the longest functions (60 lines, as universal-ctags finds them: from the
# signature's first line to the closing brace) and the headers that
# include the most of the project's own headers (6).
# Usage: scripts/server-measure.sh [N]   (N rows each, default 8; needs
# universal-ctags, Debian's package of that name)
set -euo pipefail
cd "$(dirname "$0")/../server"
n=${1:-8}
files=$(find . -name '*.cpp' -o -name '*.h' | sed 's|^\./||' | sort)
echo "== longest files (limit 450)"
wc -l $files | grep -v ' total$' | sort -rn | head -n "$n"
echo "== longest functions (limit 60)"
ctags --fields=+ne --kinds-c++=f --language-force=c++ -o - $files |
    awk -F'\t' '{ s = e = 0; for (i = 4; i <= NF; i++) { if ($i ~ /^line:/) s = substr($i, 6); if ($i ~ /^end:/) e = substr($i, 5) } if (e) print e - s + 1, $2 ":" s, $1 }' |
    sort -rn | head -n "$n"
echo "== most project headers included by a header (limit 6)"
for h in $(grep '\.h$' <<<"$files"); do
    echo "$(grep -c '^#include "' "$h") $h"
done | sort -rn | head -n "$n"
