# Accounts for test servers (sourced by bash). tovix-server takes no password on its
# command line; tests write accounts into the database first.

# account_add SERVER DB USER:PASSWORD:HOST[,HOST...]: the password may hold
# colons (the user ends at the first one, the hosts start after the last).
account_add() {
    local server=$1 db=$2 entry=$3
    local user=${entry%%:*} rest=${entry#*:}
    local hosts=${rest##*:} password=${rest%:*}
    printf '%s\n' "$password" | "$server" account add "$user" "$hosts" --db "$db" >/dev/null
}

# split_accounts SERVER DB ARG...: writes each "--account USER:PASSWORD:HOSTS"
# among the ARGs to DB and leaves the other arguments in SERVER_OPTIONS.
split_accounts() {
    local server=$1 db=$2
    shift 2
    SERVER_OPTIONS=()
    while [ $# -gt 0 ]; do
        if [ "$1" = --account ]; then
            account_add "$server" "$db" "$2" || return 1
            shift 2
        else
            SERVER_OPTIONS+=("$1")
            shift
        fi
    done
}
