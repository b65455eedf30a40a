#!/usr/bin/env bash
# A private PgBouncer in transaction pooling in front of the cluster of
# pgctl.sh (ENVDIR/pg.env).
#   bouncerctl.sh setup|teardown ENVDIR   setup writes ENVDIR/bouncer.env
# It listens on 127.0.0.2 at the cluster's own port: the launcher's connection
# text names no port, and the client library takes the same one from PGPORT,
# so only the address tells the two ways apart. As root it runs as user
# postgres (PgBouncer refuses root).
set -euo pipefail
. "$(dirname "$0")/fixture.sh"

address=127.0.0.2

case "$cmd" in
setup)
  command -v pgbouncer >/dev/null || { echo "bouncerctl: pgbouncer is not installed (scripts/setup installs it)" >&2; exit 1; }
  # A run that died leaves one behind: end it first.
  if [ -f "$envfile" ]; then "$0" teardown "$envdir" || true; fi
  load "$envdir/pg.env"
  if listening "$address" "$PGPORT"; then
    echo "bouncerctl: something already listens on $address:$PGPORT" >&2; exit 1
  fi
  state=$(mktemp -d /tmp/kv-bouncer.XXXXXX)
  chmod 755 "$state"
  # The role's SCRAM secret, as a shop copies it: PgBouncer checks the
  # launcher's password against it and logs in to the server with the proof.
  psql -X -q -A -t -v ON_ERROR_STOP=1 -h "$KV_PG_SOCKDIR" -p "$PGPORT" -U postgres -d postgres \
    -c "SELECT format('\"%s\" \"%s\"', rolname, rolpassword) FROM pg_authid WHERE rolname = '$KV_DB_USER'" \
    > "$state/userlist.txt"
  # Every transaction finds its server connection reset as a different one
  # would be: whatever the launcher leaves in a session (a prepared
  # statement, a SET) fails here at once rather than now and then in a shop.
  cat > "$state/pgbouncer.ini" <<INI
[databases]
$KV_DB_NAME = host=127.0.0.1 port=$PGPORT dbname=$KV_DB_NAME

[pgbouncer]
listen_addr = $address
listen_port = $PGPORT
unix_socket_dir =
auth_type = scram-sha-256
auth_file = $state/userlist.txt
admin_users = $KV_DB_USER
pool_mode = transaction
default_pool_size = 2
server_reset_query = DISCARD ALL
server_reset_query_always = 1
logfile = $state/pgbouncer.log
pidfile = $state/pgbouncer.pid
INI
  if [ "$(id -u)" -eq 0 ]; then chown -R postgres: "$state"; fi
  as_pg pgbouncer -d "$state/pgbouncer.ini" 2>>"$state/start.log" || true
  if ! wait_for 100 listening "$address" "$PGPORT"; then
    echo "bouncerctl: pgbouncer did not start" >&2
    cat "$state/start.log" "$state/pgbouncer.log" >&2 2>/dev/null || true
    stop_owned "$state/pgbouncer.pid" "$state"
    rm -rf "$state"
    exit 1
  fi
  write_env <<ENV
KV_BOUNCER_HOST=$address
KV_BOUNCER_STATEDIR=$state
ENV
  echo "bouncerctl: pgbouncer on $address:$PGPORT in $state"
  ;;
teardown)
  if [ -f "$envfile" ]; then
    load "$envfile"
    stop_owned "$KV_BOUNCER_STATEDIR/pgbouncer.pid" "$KV_BOUNCER_STATEDIR"
    case "$KV_BOUNCER_STATEDIR" in /tmp/kv-bouncer.*) rm -rf "$KV_BOUNCER_STATEDIR" ;; esac
    rm -f "$envfile"
  fi
  ;;
*) echo "bouncerctl: unknown command $cmd" >&2; exit 2 ;;
esac
