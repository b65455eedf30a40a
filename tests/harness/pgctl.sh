#!/usr/bin/env bash
# Throwaway PostgreSQL 15 cluster for the tests.
#   pgctl.sh setup|teardown|stop|start|restart|postmaster-pid ENVDIR
# setup makes the cluster, role, database and tables and writes ENVDIR/pg.env;
# teardown removes all of it. As root the cluster runs as user postgres (initdb
# refuses root). KV_PG_MAX_CONNECTIONS=N at setup raises PostgreSQL's limit
# of 100 connections, for benchmarks that simulate many tills.
set -euo pipefail

cmd=${1:?command}
envdir=${2:?env directory}
envfile="$envdir/pg.env"
PGBIN=${PGBIN:-/usr/lib/postgresql/15/bin}

as_pg() {
  if [ "$(id -u)" -eq 0 ]; then runuser -u postgres -- "$@"; else "$@"; fi
}

load_env() {
  [ -f "$envfile" ] || { echo "pgctl: no $envfile (cluster not set up)" >&2; exit 1; }
  # shellcheck disable=SC1090
  set -a; . "$envfile"; set +a
}

pgctl() { as_pg "$PGBIN/pg_ctl" -D "$KV_PG_DATADIR" "$@"; }

start_server() {
  pgctl -w -t 30 -l "$KV_PG_STATEDIR/server.log" \
    -o "-p $PGPORT -k $KV_PG_SOCKDIR -c listen_addresses=127.0.0.1 -c fsync=off" start >/dev/null
}

port_free() { ! (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }

case "$cmd" in
setup)
  mkdir -p "$envdir"
  # A run that died leaves a cluster behind: end it before making a new one.
  if [ -f "$envfile" ]; then "$0" teardown "$envdir" || true; fi
  state=$(mktemp -d /tmp/kv-pg.XXXXXX)
  chmod 755 "$state"
  mkdir -p "$state/data" "$state/sock"
  if [ "$(id -u)" -eq 0 ]; then chown -R postgres: "$state"; fi
  password="kv-$(od -An -N6 -tx1 /dev/urandom | tr -d ' \n')"
  as_pg "$PGBIN/initdb" -D "$state/data" -U postgres -E UTF8 --locale=C.UTF-8 \
    --auth-host=scram-sha-256 --auth-local=trust >"$state/initdb.log" 2>&1 \
    || { cat "$state/initdb.log" >&2; exit 1; }
  export KV_PG_DATADIR="$state/data" KV_PG_STATEDIR="$state" KV_PG_SOCKDIR="$state/sock"
  # In the cluster's own file, so that a restart keeps it.
  if [ -n "${KV_PG_MAX_CONNECTIONS:-}" ]; then
    echo "max_connections = $((KV_PG_MAX_CONNECTIONS))" | as_pg tee -a "$state/data/postgresql.conf" >/dev/null
  fi
  started=0
  for _ in $(seq 1 30); do
    PGPORT=$(( 20000 + RANDOM % 30000 ))
    port_free "$PGPORT" || continue
    if start_server 2>/dev/null; then started=1; break; fi
  done
  [ "$started" -eq 1 ] || { echo "pgctl: could not start the cluster" >&2; cat "$state/server.log" >&2; exit 1; }
  psql_su() { psql -X -q -v ON_ERROR_STOP=1 -h "$KV_PG_SOCKDIR" -p "$PGPORT" -U postgres "$@"; }
  psql_su -d postgres -c "CREATE ROLE kvtest LOGIN PASSWORD '$password'" \
          -c "CREATE DATABASE kvtest OWNER kvtest ENCODING 'UTF8'"
  psql_su -d kvtest -c "SET ROLE kvtest" -f "$(dirname "$0")/schema.sql"
  odbc="$envdir/odbc"
  mkdir -p "$odbc"
  printf '[PostgreSQL Unicode]\nDriver=psqlodbcw.so\n' > "$odbc/odbcinst.ini"
  : > "$odbc/odbc.ini"
  cat > "$envfile.tmp" <<ENV
PGPORT=$PGPORT
KV_DB_HOST=127.0.0.1
KV_DB_NAME=kvtest
KV_DB_USER=kvtest
KV_DB_PASSWORD=$password
KV_PG_DATADIR=$KV_PG_DATADIR
KV_PG_STATEDIR=$KV_PG_STATEDIR
KV_PG_SOCKDIR=$KV_PG_SOCKDIR
KV_PGCTL=$(cd "$(dirname "$0")" && pwd)/pgctl.sh
KV_ENV_DIR=$envdir
ODBCSYSINI=$odbc
ODBCINI=$odbc/odbc.ini
ENV
  mv "$envfile.tmp" "$envfile"
  echo "pgctl: cluster on 127.0.0.1:$PGPORT in $state"
  ;;
teardown)
  if [ -f "$envfile" ]; then
    load_env
    # A test may have left the postmaster stopped with SIGSTOP.
    kill -CONT "$(head -1 "$KV_PG_DATADIR/postmaster.pid" 2>/dev/null)" 2>/dev/null || true
    pgctl -m immediate -w -t 30 stop >/dev/null 2>&1 || true
    case "$KV_PG_STATEDIR" in /tmp/kv-pg.*) rm -rf "$KV_PG_STATEDIR" ;; esac
    rm -f "$envfile"
    rm -rf "$envdir/odbc"
  fi
  ;;
stop)    load_env; pgctl -m fast -w -t 30 stop >/dev/null ;;
start)   load_env; start_server ;;
restart) load_env; pgctl -m fast -w -t 30 stop >/dev/null; start_server ;;
postmaster-pid) load_env; head -1 "$KV_PG_DATADIR/postmaster.pid" ;;
*) echo "pgctl: unknown command $cmd" >&2; exit 2 ;;
esac
