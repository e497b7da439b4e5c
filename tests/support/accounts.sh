# Accounts for test servers (sourced). tovix-server takes no password on its
# command line; tests write accounts into the database first.

# account_add SERVER DB USER:PASSWORD:HOST[,HOST...]: the password may hold
# colons (the user ends at the first one, the hosts start after the last).
account_add() {
    local server=$1 db=$2 spec=$3
    local user=${spec%%:*} rest=${spec#*:}
    local hosts=${rest##*:} password=${rest%:*}
    printf '%s\n' "$password" | "$server" account add "$user" "$hosts" --db "$db" >/dev/null
}
