# shellcheck shell=bash
# Throw-away PostgreSQL clusters for tests and benchmarks (sourced by bash).
# Defines functions and the variables PG_URI, PG_DIR, PG_PORT, PG_PID.
#
#   pg_begin DIR [PORT]   a new cluster in DIR (made if missing; removed by
#                         pg_end), listening on 127.0.0.1:PORT (default 5432)
#                         with its unix socket inside DIR; sets PG_URI to
#                         postgresql://tovix@127.0.0.1:PORT/tovix, a database
#                         owned by the role tovix. Returns 77 when PostgreSQL's
#                         programs are not installed, 1 on any other failure
#                         (with the server's log on stderr).
#   pg_end                stops the cluster (fast shutdown, then immediate,
#                         then SIGKILL, each bounded) and removes DIR.
#   pg_psql [ARG...]      psql as the tovix role on PG_URI, unaligned, tuples
#                         only, stopping at the first error.
#   pg_new_database NAME  a further database NAME owned by tovix; prints its
#                         URI (a fresh database without a fresh cluster).
#
# The cluster runs with fsync on (tests check what survives a crash of the
# servers using it) and trusts connections from 127.0.0.1 only. As root the
# cluster runs as `nobody` (initdb refuses root), so DIR's parents must be
# searchable by that user: use a fresh `mktemp -d`, not a folder inside
# another private one. pg_begin adds pg_end to the shell's EXIT trap; a
# script that sets its own EXIT trap after pg_begin must call pg_end in it.
# PG_BINDIR overrides where initdb, postgres and pg_isready are looked up
# (default: the newest /usr/lib/postgresql/*/bin).

PG_URI=
PG_DIR=
PG_PORT=
PG_PID=

# Where the server's programs are, or nothing.
pg_bindir() {
    local dir
    if [ -n "${PG_BINDIR:-}" ]; then
        echo "$PG_BINDIR"
        return
    fi
    dir=$(find /usr/lib/postgresql -mindepth 2 -maxdepth 2 -name bin -type d 2>/dev/null |
        sort -V | tail -1)
    echo "$dir"
}

pg_fail() {
    echo "postgres.sh: $*" >&2
    if [ -n "$PG_DIR" ] && [ -f "$PG_DIR/postgres.log" ]; then
        echo "--- last lines of $PG_DIR/postgres.log:" >&2
        tail -20 "$PG_DIR/postgres.log" >&2
    fi
}

# What runs a command as the cluster's owner: as root, nobody; otherwise
# the caller. (An array, not a function, so that a background start makes
# $! the server itself.)
PG_AS_OWNER=()
[ "$(id -u)" != 0 ] || PG_AS_OWNER=(setpriv --reuid=nobody --regid=nogroup --clear-groups --reset-env --)

# Appends pg_end to the EXIT trap (keeping what is there) and turns INT and
# TERM into an exit, so that the trap runs.
pg_add_exit_trap() {
    local current
    current=$(trap -p EXIT)
    if [ -n "$current" ]; then
        eval "set -- $current" # trap -- 'COMMAND' EXIT
        case $3 in *pg_end*) return ;; esac
        # shellcheck disable=SC2064
        trap "$3; pg_end" EXIT
    else
        trap pg_end EXIT
    fi
    [ -n "$(trap -p INT)" ] || trap 'exit 130' INT
    [ -n "$(trap -p TERM)" ] || trap 'exit 143' TERM
}

pg_begin() {
    local bin p
    bin=$(pg_bindir)
    for p in initdb postgres pg_isready; do
        if [ -z "$bin" ] || [ ! -x "$bin/$p" ]; then
            echo "postgres.sh: PostgreSQL's $p is not installed (looked in ${bin:-/usr/lib/postgresql/*/bin})" >&2
            return 77
        fi
    done
    command -v psql >/dev/null || {
        echo "postgres.sh: psql is not installed" >&2
        return 77
    }
    if [ -n "$PG_PID" ]; then
        echo "postgres.sh: a cluster is running already (in $PG_DIR)" >&2
        return 1
    fi
    pg_add_exit_trap
    pg_make "$bin" "$@" || {
        pg_end
        return 1
    }
}

# pg_make BINDIR DIR [PORT]: the work of pg_begin; pg_begin cleans up after
# a failure.
pg_make() {
    local bin=$1 dir=$2 port=${3:-5432}
    mkdir -p "$dir" || return 1
    PG_DIR=$(cd "$dir" && pwd)
    PG_PORT=$port
    if [ "$(id -u)" = 0 ]; then
        chown nobody:nogroup "$PG_DIR" || return 1
        chmod 0700 "$PG_DIR"
        "${PG_AS_OWNER[@]}" test -w "$PG_DIR" || {
            pg_fail "nobody cannot write $PG_DIR (a parent folder is private?)"
            return 1
        }
    fi

    # --no-sync: initdb itself skips syncing the files it writes (seconds on
    # a slow disk, and the cluster is thrown away); the running server below
    # keeps fsync on.
    "${PG_AS_OWNER[@]}" "$bin/initdb" --pgdata="$PG_DIR/data" --username=postgres --auth=trust \
        --encoding=UTF8 --locale=C --no-sync >"$PG_DIR/initdb.log" 2>&1 || {
        pg_fail "initdb failed: $(tail -5 "$PG_DIR/initdb.log")"
        return 1
    }
    # Trust on the socket and on 127.0.0.1; nothing else is accepted.
    printf '%s\n' 'local all all trust' 'host all all 127.0.0.1/32 trust' \
        >"$PG_DIR/data/pg_hba.conf"

    "${PG_AS_OWNER[@]}" "$bin/postgres" -D "$PG_DIR/data" -c listen_addresses=127.0.0.1 \
        -c port="$port" -c unix_socket_directories="$PG_DIR" -c fsync=on \
        -c synchronous_commit=on -c max_connections=200 </dev/null \
        >"$PG_DIR/postgres.log" 2>&1 &
    PG_PID=$!

    # Asked on the socket inside DIR: only this cluster can answer there
    # (another one on the same port would answer on 127.0.0.1).
    local tries=0
    until "$bin/pg_isready" -q -h "$PG_DIR" -p "$port" -t 1; do
        if pg_gone; then
            wait "$PG_PID" 2>/dev/null || true
            PG_PID=
            pg_fail "postgres exited while starting"
            return 1
        fi
        tries=$((tries + 1))
        if [ $tries -ge 300 ]; then
            pg_fail "postgres did not accept connections within 30 s"
            return 1
        fi
        sleep 0.1
    done

    pg_admin -c 'CREATE ROLE tovix LOGIN' >"$PG_DIR/create.log" 2>&1 || {
        pg_fail "cannot create the role tovix: $(cat "$PG_DIR/create.log")"
        return 1
    }
    PG_URI=$(pg_new_database tovix) || return 1
}

# pg_admin ARG...: psql as the cluster's superuser, on its socket.
pg_admin() {
    psql -X -q -v ON_ERROR_STOP=1 -h "$PG_DIR" -p "$PG_PORT" -U postgres -d postgres "$@"
}

# pg_new_database NAME: a further empty database NAME owned by tovix in the
# running cluster; prints its URI.
pg_new_database() {
    pg_admin -c "CREATE DATABASE $1 OWNER tovix" >>"$PG_DIR/create.log" 2>&1 || {
        pg_fail "cannot create the database $1: $(tail -3 "$PG_DIR/create.log")"
        return 1
    }
    echo "postgresql://tovix@127.0.0.1:$PG_PORT/$1"
}

pg_psql() {
    psql -X -q -A -t -v ON_ERROR_STOP=1 "$PG_URI" "$@"
}

# pg_gone: whether the server has exited (an exited child stays a zombie
# until waited for, which kill -0 does not tell apart).
pg_gone() {
    local stat
    stat=$(cat "/proc/$PG_PID/stat" 2>/dev/null) || return 0
    stat=${stat##*) }
    [ "${stat%% *}" = Z ]
}

# pg_wait_exit SECONDS: whether the server is gone within SECONDS.
pg_wait_exit() {
    local tenths=$(($1 * 10))
    while [ $tenths -gt 0 ]; do
        pg_gone && return 0
        sleep 0.1
        tenths=$((tenths - 1))
    done
    pg_gone
}

pg_end() {
    if [ -n "$PG_PID" ]; then
        # SIGINT: fast shutdown; SIGQUIT: immediate; then no more asking.
        # (Every step may fail harmlessly: this also runs from traps under
        # set -e, and must get to the removal.)
        kill -INT "$PG_PID" 2>/dev/null || true
        if ! pg_wait_exit 10; then
            kill -QUIT "$PG_PID" 2>/dev/null || true
            pg_wait_exit 5 || kill -KILL "$PG_PID" 2>/dev/null || true
        fi
        wait "$PG_PID" 2>/dev/null || true
        PG_PID=
    fi
    if [ -n "$PG_DIR" ]; then
        rm -rf "$PG_DIR" || true
        PG_DIR=
    fi
    PG_URI=
    return 0
}
