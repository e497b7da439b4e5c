# shellcheck shell=bash
# Starting a service the way its systemd unit does, without systemd (sourced
# by run.sh, bash): the unit's User, EnvironmentFile, ExecStart (with $NAME
# replaced by the file's values and split into words), AmbientCapabilities,
# NoNewPrivileges, RuntimeDirectory, and / as the working directory, in a
# clean environment; ProtectSystem=strict with its writable paths,
# PrivateTmp= and ProtectHome= through sandbox.sh.

# unit_value FILE KEY: the last KEY= value of a unit file.
unit_value() {
    sed -n "s/^$2=//p" "$1" | tail -1
}

# unit_start FILE LOG: starts the service in the background; UNIT_PID is its
# process. Returns 1 when it is not running a moment later.
unit_start() {
    local unit=$1 log=$2
    local user envfile command runtime caps name value
    user=$(unit_value "$unit" User)
    envfile=$(unit_value "$unit" EnvironmentFile)
    command=$(unit_value "$unit" ExecStart)
    runtime=$(unit_value "$unit" RuntimeDirectory)
    caps=$(unit_value "$unit" AmbientCapabilities | tr 'A-Z' 'a-z' | sed 's/cap_/+/g; s/ /,/g')
    local env=(PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin)
    if [ -n "$envfile" ]; then
        while IFS='=' read -r name value; do
            case $name in '' | '#'*) continue ;; esac
            value=${value#\"}
            value=${value%\"}
            env+=("$name=$value")
            command=${command//\$$name/$value}
        done <"$envfile"
    fi
    if [ -n "$runtime" ]; then
        install -d -m 0755 -o "$user" -g "$user" "/run/$runtime"
    fi
    local argv
    read -ra argv <<<"$command"
    local priv=(--reuid="$user" --regid="$user" --init-groups)
    [ -n "$caps" ] && priv+=(--inh-caps="$caps" --ambient-caps="$caps" "--bounding-set=-all,$caps")
    [ "$(unit_value "$unit" NoNewPrivileges)" = yes ] && priv+=(--no-new-privs)
    local sandbox=()
    if [ "$(unit_value "$unit" ProtectSystem)" = strict ]; then
        sandbox=(bash "$(dirname "${BASH_SOURCE[0]}")/sandbox.sh")
        [ "$(unit_value "$unit" PrivateTmp)" = yes ] && sandbox+=(--private-tmp)
        [ "$(unit_value "$unit" ProtectHome)" = yes ] && sandbox+=(--protect-home)
        local path
        for path in $(unit_value "$unit" ReadWritePaths); do sandbox+=(--rw "$path"); done
        path=$(unit_value "$unit" StateDirectory)
        [ -n "$path" ] && sandbox+=(--rw "/var/lib/$path")
        [ -n "$runtime" ] && sandbox+=(--rw "/run/$runtime")
        sandbox+=(--)
    fi
    (cd / && exec "${sandbox[@]}" env -i "${env[@]}" setpriv "${priv[@]}" -- "${argv[@]}") \
        </dev/null >"$log" 2>&1 &
    UNIT_PID=$!
    sleep 0.2
    if ! kill -0 "$UNIT_PID" 2>/dev/null; then
        echo "FAIL  $(basename "$unit") did not stay up: $(cat "$log")"
        return 1
    fi
}
