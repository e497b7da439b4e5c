#!/bin/sh
# Stands in for pppd in tests: appends its arguments to $FAKE_PPPD_LOG, one
# call per line, and exits with the status $FAKE_PPPD_EXIT_<entry> names
# (entry with non-alphanumerics as _), or 0.
printf '%s\n' "$*" >> "${FAKE_PPPD_LOG:?}"
entry=$(printf '%s' "$2" | tr -c 'A-Za-z0-9' '_')
eval "status=\${FAKE_PPPD_EXIT_${entry}:-0}"
exit "$status"
