#!/usr/bin/env bash
# Starts a throw-away PostgreSQL cluster on a free loopback port for the tests and prints
# its connection URI. Usage: scripts/pg-cluster.sh start DIR | stop DIR
# As root the cluster runs as the "postgres" user. Nothing listens off loopback.
set -euo pipefail
action=$1
dir=$2
bin=$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -1)
[ -n "$bin" ] || { echo "PostgreSQL is not installed" >&2; exit 1; }
as_owner() {
    if [ "$(id -u)" -eq 0 ]; then runuser -u postgres -- "$@"; else "$@"; fi
}
case $action in
start)
    mkdir -p "$dir"
    [ "$(id -u)" -eq 0 ] && chown postgres "$dir"
    port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
    as_owner "$bin/initdb" -D "$dir/data" -U postgres --auth=trust -E UTF8 --locale=C.UTF-8 >"$dir/initdb.log" 2>&1
    printf "listen_addresses = '127.0.0.1'\nport = %s\nunix_socket_directories = '%s'\nfsync = off\n" \
        "$port" "$dir" >>"$dir/data/postgresql.conf"
    as_owner "$bin/pg_ctl" -D "$dir/data" -l "$dir/server.log" -w start >/dev/null
    as_owner "$bin/createdb" -h 127.0.0.1 -p "$port" -U postgres catalogue_test
    echo "postgresql://postgres@127.0.0.1:$port/catalogue_test"
    ;;
stop)
    as_owner "$bin/pg_ctl" -D "$dir/data" -m immediate stop >/dev/null 2>&1 || true
    ;;
restart)
    as_owner "$bin/pg_ctl" -D "$dir/data" -l "$dir/server.log" -w start >/dev/null
    ;;
esac
