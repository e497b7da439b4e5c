# Reads the end-to-end scenario tables in this folder (sourced by the host
# and the Wine runners, not run).
#
# each_scenario FILE FUNCTION: calls FUNCTION WHY ARGUMENTS HOSTNAME USER
# ANSWER for each row of FILE, in order; blank lines and lines starting
# with '#' are skipped.
each_scenario() {
    local file=$1 fn=$2 why args host user answer
    while IFS='|' read -r why args host user answer; do
        case "$why" in '' | '#'*) continue ;; esac
        "$fn" "$why" "$args" "$host" "$user" "$answer"
    done <"$file"
}

SCENARIOS_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
