#!/usr/bin/env bash
# Throwaway PostgreSQL 15 cluster for the tests.
#   pgctl.sh setup|teardown|stop|start|restart|postmaster-pid ENVDIR
# setup makes the cluster, role, database and tables and writes ENVDIR/pg.env;
# teardown removes all of it. As root the cluster runs as user postgres (initdb
# refuses root). KV_PG_MAX_CONNECTIONS=N at setup raises PostgreSQL's limit
# of 100 connections, for benchmarks that simulate many tills.
# KV_PG_TLS=1 at setup makes the server take TLS connections only, as a
# careful shop sets it up: a throwaway CA signs the server's certificate (for
# 127.0.0.1 and localhost) and a client certificate for the role kvcert, which
# logs in with it instead of a password. A second CA stands for an impostor's:
# a till that trusts it meets a server whose certificate it cannot verify,
# as it would meet an impostor's server. pg.env then also names the files
# (KV_TLS_*).
set -euo pipefail
. "$(dirname "$0")/fixture.sh"

PGBIN=${PGBIN:-/usr/lib/postgresql/15/bin}

pgctl() { as_pg "$PGBIN/pg_ctl" -D "$KV_PG_DATADIR" "$@"; }

start_server() {
  pgctl -w -t 30 -l "$KV_PG_STATEDIR/server.log" \
    -o "-p $PGPORT -k $KV_PG_SOCKDIR -c listen_addresses=127.0.0.1" start >/dev/null
}

# A CA, a certificate it signs: cert DIR NAME CA SUBJECT [EXTENSIONS]
cert() {
  openssl req -new -nodes -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -subj "/CN=$4" \
    -keyout "$1/$2.key" -out "$1/$2.csr"
  openssl x509 -req -in "$1/$2.csr" -CA "$1/$3.crt" -CAkey "$1/$3.key" -CAcreateserial -days 3 \
    ${5:+-extfile "$1/$5"} -out "$1/$2.crt"
  chmod 600 "$1/$2.key"
}

make_tls() { # DIR
  for ca in ca impostor-ca; do
    openssl req -x509 -new -nodes -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -days 3 \
      -subj "/CN=Korvantis test $ca" -keyout "$1/$ca.key" -out "$1/$ca.crt"
  done
  echo "subjectAltName = IP:127.0.0.1, DNS:localhost" > "$1/server.ext"
  cert "$1" server ca 127.0.0.1 server.ext
  cert "$1" client ca kvcert
}

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
  if [ -n "${KV_PG_TLS:-}" ]; then
    tls="$state/tls"
    mkdir -p "$tls"
    make_tls "$tls" >"$state/tls.log" 2>&1 || { cat "$state/tls.log" >&2; exit 1; }
    if [ "$(id -u)" -eq 0 ]; then chown postgres: "$tls/server.key" "$tls/server.crt" "$tls/ca.crt"; fi
    cat <<CONF | as_pg tee -a "$state/data/postgresql.conf" >/dev/null
ssl = on
ssl_cert_file = '$tls/server.crt'
ssl_key_file = '$tls/server.key'
ssl_ca_file = '$tls/ca.crt'
CONF
    # Over TCP only TLS: the superuser keeps the cluster's own socket.
    cat <<HBA | as_pg tee "$state/data/pg_hba.conf" >/dev/null
local     all     all      trust
hostssl   kvtest  kvcert   127.0.0.1/32  cert
hostssl   all     all      127.0.0.1/32  scram-sha-256
hostnossl all     all      0.0.0.0/0     reject
HBA
  fi
  started=0
  for _ in $(seq 1 30); do
    PGPORT=$(( 20000 + RANDOM % 30000 ))
    listening 127.0.0.1 "$PGPORT" && continue
    if start_server 2>/dev/null; then started=1; break; fi
  done
  [ "$started" -eq 1 ] || { echo "pgctl: could not start the cluster" >&2; cat "$state/server.log" >&2; exit 1; }
  psql_su() { psql -X -q -v ON_ERROR_STOP=1 -h "$KV_PG_SOCKDIR" -p "$PGPORT" -U postgres "$@"; }
  psql_su -d postgres -c "CREATE ROLE kvtest LOGIN PASSWORD '$password'" \
          -c "CREATE DATABASE kvtest OWNER kvtest ENCODING 'UTF8'"
  psql_su -d kvtest -c "SET ROLE kvtest" -f "$(dirname "$0")/schema.sql"
  if [ -n "${KV_PG_TLS:-}" ]; then
    psql_su -d postgres -c "CREATE ROLE kvcert LOGIN IN ROLE kvtest"
  fi
  odbc="$envdir/odbc"
  mkdir -p "$odbc"
  printf '[PostgreSQL Unicode]\nDriver=psqlodbcw.so\n' > "$odbc/odbcinst.ini"
  : > "$odbc/odbc.ini"
  { cat <<ENV
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
    [ -z "${KV_PG_TLS:-}" ] || cat <<ENV
KV_TLS_ROOT_CERT=$tls/ca.crt
KV_TLS_IMPOSTOR_ROOT_CERT=$tls/impostor-ca.crt
KV_TLS_CERT_USER=kvcert
KV_TLS_CLIENT_CERT=$tls/client.crt
KV_TLS_CLIENT_KEY=$tls/client.key
ENV
  } | write_env
  echo "pgctl: cluster on 127.0.0.1:$PGPORT in $state"
  ;;
teardown)
  if [ -f "$envfile" ]; then
    load "$envfile"
    # A test may have left the postmaster stopped with SIGSTOP.
    kill -CONT "$(head -1 "$KV_PG_DATADIR/postmaster.pid" 2>/dev/null)" 2>/dev/null || true
    pgctl -m immediate -w -t 30 stop >/dev/null 2>&1 || true
    case "$KV_PG_STATEDIR" in /tmp/kv-pg.*) rm -rf "$KV_PG_STATEDIR" ;; esac
    rm -f "$envfile"
    rm -rf "$envdir/odbc"
  fi
  ;;
stop)    load "$envfile"; pgctl -m fast -w -t 30 stop >/dev/null ;;
start)   load "$envfile"; start_server ;;
restart) load "$envfile"; pgctl -m fast -w -t 30 stop >/dev/null; start_server ;;
postmaster-pid) load "$envfile"; head -1 "$KV_PG_DATADIR/postmaster.pid" ;;
*) echo "pgctl: unknown command $cmd" >&2; exit 2 ;;
esac
