#!/usr/bin/env bash
# Private print server for the tests: a cupsd of its own whose queues print
# through the package's escpos backend to test receipt printers
# (kv_escposprinter, one per queue on a port of 127.0.0.1), which keep what
# connection N printed in $KV_TESTPRINTER_DIR/QUEUE/job-N.bin (six digits,
# renamed into place) and take orders on $KV_TESTPRINTER_DIR/QUEUE/control.
#   cupsctl.sh setup       ENVDIR BUILDDIR   start everything, write ENVDIR/cups.env
#   cupsctl.sh teardown    ENVDIR   stop and remove everything setup made
#   cupsctl.sh start-cupsd ENVDIR   bring cupsd back after a test stopped or killed it
# As root, cupsd runs as user lp, and so do the backends it runs, while the
# tests' jobs are root's: job names are hidden from the backend as on a till
# (Debian's JobPrivateValues default). Every directory it writes is lp's. Nothing
# here touches the system's own CUPS (/etc/cups, /run/cups, /var/spool/cups).
set -eEuo pipefail
. "$(dirname "$0")/fixture.sh"

builddir=${3:-}
# Written before anything starts, so a setup that died half-way is cleaned up
# by the next teardown even though cups.env never appeared.
statefile="$envdir/cups.state"

# The first queue is the default printer; names in mixed case, as tests compare
# them exactly. FILTERED has a driver that upper-cases a job not sent raw.
QUEUES=(KV_Receipt KV_Kitchen KV_Office)
FILTERED=KV_Filtered

log() { echo "cupsctl: $*" >&2; }
trap 'log "failed (exit status $?): $BASH_COMMAND"' ERR
for tool in cupsd lpadmin lpstat; do
  command -v "$tool" >/dev/null || { log "$tool not found (Debian packages cups, cups-client)"; exit 1; }
done

# The state directory a setup recorded; anything else is never touched.
state_dir() {
  local state
  state=$(cat "$statefile") || return 1
  case "$state" in /tmp/kv-cups.*) echo "$state" ;; *) log "unexpected state directory '$state'"; return 1 ;; esac
}

teardown() {
  [ -f "$statefile" ] || { rm -f "$envfile"; return 0; }
  local state f
  if state=$(state_dir); then
    stop_owned "$state/cupsd.pid" "$state"
    for f in "$state"/printer-*.pid; do stop_owned "$f" "$state"; done
    rm -rf "$state"
  fi
  rm -f "$statefile" "$envfile"
}

# Starts the scheduler of state directory $1 and waits until it answers.
start_cupsd() {
  local state=$1 run_as=()
  [ "$(id -u)" -eq 0 ] && run_as=(setpriv --reuid=lp --regid=lp --clear-groups --)
  setsid "${run_as[@]}" "$(command -v cupsd)" -f -c "$state/etc/cupsd.conf" -s "$state/etc/cups-files.conf" \
    </dev/null >>"$state/log/cupsd.out" 2>&1 &
  echo $! > "$state/cupsd.pid"
  export CUPS_SERVER="$state/run/cups.sock"
  wait_for 100 eval '[ -S "$CUPS_SERVER" ] && LC_ALL=C lpstat -r 2>/dev/null | grep -q "scheduler is running"' &&
    return 0
  log "timed out waiting for cupsd"
  cat "$state/log/cupsd.out" "$state/log/error_log" >&2 2>/dev/null
  exit 1
}

# For tests that stop or kill the scheduler in mid-job: a stopped one goes on,
# a dead one is replaced by a new one on the same state.
restart_cupsd() {
  local state
  state=$(state_dir) || exit 1
  if owned "$(cat "$state/cupsd.pid" 2>/dev/null)" "$state"; then
    kill -CONT "$(cat "$state/cupsd.pid")" 2>/dev/null || true
  else
    start_cupsd "$state"
  fi
}

setup() {
  mkdir -p "$envdir"
  teardown

  local state
  state=$(mktemp -d /tmp/kv-cups.XXXXXX)
  printf '%s\n' "$state" > "$statefile"
  # A setup that fails leaves nothing running behind it.
  trap 'log "setup failed, cleaning up"; teardown' EXIT
  chmod 755 "$state"
  mkdir -p "$state"/{etc/ppd,spool/tmp,run/certs,cache,log,received}

  # cupsd wants a ServerBin of its own: the system's filters and backends,
  # plus the test driver's filter and the test printer.
  cp -rs /usr/lib/cups/. "$state/bin/"
  local backend="$builddir/backend/escpos" printer="$builddir/demo/kv_escposprinter"
  for f in "$backend" "$printer"; do
    [ -x "$f" ] || { log "$f is missing: build the backend and the test printer first"; exit 1; }
  done
  # Mode 0755: CUPS runs it as lp, as it does the installed one.
  install -m 0755 "$backend" "$state/bin/backend/escpos"
  cat > "$state/bin/filter/kv-uppercase" <<'FILTER'
#!/bin/sh
if [ -n "${6:-}" ]; then exec tr a-z A-Z < "$6"; else exec tr a-z A-Z; fi
FILTER
  chmod 755 "$state/bin/filter/kv-uppercase"
  cat > "$state/etc/kv-filtered.ppd" <<'PPD'
*PPD-Adobe: "4.3"
*ModelName: "Korvantis filtered test printer"
*NickName: "Korvantis filtered test printer"
*cupsFilter: "text/plain 0 kv-uppercase"
PPD
  cp /etc/cups/raw.types /etc/cups/raw.convs "$state/etc/"

  cat > "$state/etc/cups-files.conf" <<CONF
ServerRoot $state/etc
RequestRoot $state/spool
TempDir $state/spool/tmp
StateDir $state/run
CacheDir $state/cache
ServerBin $state/bin
AccessLog $state/log/access_log
ErrorLog $state/log/error_log
PageLog $state/log/page_log
Printcap $state/run/printcap
FileDevice No
CreateSelfSignedCerts no
${KV_ESCPOS_TIMING:+SetEnv KV_ESCPOS_TIMING $KV_ESCPOS_TIMING}
CONF

  # No authentication: lpadmin must work without a password.
  cat > "$state/etc/cupsd.conf" <<CONF
Listen $state/run/cups.sock
Browsing No
DefaultAuthType None
DefaultEncryption Never
WebInterface No
LogLevel warn
MaxLogSize 0
ErrorPolicy abort-job
PreserveJobFiles No
<Location />
  Order allow,deny
  Allow all
</Location>
<Policy default>
  JobPrivateAccess default
  JobPrivateValues default
  <Limit All>
    Order allow,deny
    Allow all
  </Limit>
</Policy>
CONF

  local q
  for q in "${QUEUES[@]}" "$FILTERED"; do mkdir "$state/received/$q"; done
  [ "$(id -u)" -ne 0 ] || chown -R lp:lp "$state"/{etc,spool,run,cache,log,received}

  start_cupsd "$state"

  local model port
  for q in "${QUEUES[@]}" "$FILTERED"; do
    setsid "$printer" "$state/received/$q" </dev/null >>"$state/log/printer-$q.log" 2>&1 &
    echo $! > "$state/printer-$q.pid"
    wait_for 100 test -s "$state/received/$q/port" || true
    port=$(cat "$state/received/$q/port" 2>/dev/null) || { log "the test printer of $q did not start"; exit 1; }
    model=(-m raw)
    [ "$q" = "$FILTERED" ] && model=(-P "$state/etc/kv-filtered.ppd")
    lpadmin -p "$q" -E -v "escpos://127.0.0.1:$port" "${model[@]}" -D "Korvantis test printer $q" \
      >>"$state/log/lpadmin.log" 2>&1 || { cat "$state/log/lpadmin.log" >&2; log "failed: lpadmin -p $q"; exit 1; }
  done
  lpadmin -d "${QUEUES[0]}" >>"$state/log/lpadmin.log" 2>&1 \
    || { cat "$state/log/lpadmin.log" >&2; log "failed: lpadmin -d ${QUEUES[0]}"; exit 1; }
  # CUPS's default DirtyCleanInterval, as on a till: the scheduler writes
  # queues and jobs to disk only every 30 s, so one killed before then comes
  # back without them. A till's queues were set up long before its power
  # cut: stopping the scheduler once writes them, as a till's first
  # shutdown does.
  stop_owned "$state/cupsd.pid" "$state"
  start_cupsd "$state"

  write_env <<ENV
CUPS_SERVER=$CUPS_SERVER
KV_CUPS_FILTERED_QUEUE=$FILTERED
KV_CUPS_DEFAULT_QUEUE=${QUEUES[0]}
KV_CUPS_OTHER_QUEUE=${QUEUES[1]}
KV_CUPS_STATEDIR=$state
KV_TESTPRINTER_DIR=$state/received
KV_CUPSCTL=$(cd "$(dirname "$0")" && pwd)/cupsctl.sh
KV_CUPS_ENVDIR=$envdir
ENV
  trap - EXIT
  log "cupsd on $CUPS_SERVER, queues ${QUEUES[*]} $FILTERED (default ${QUEUES[0]})"
}

case "$cmd" in
  setup) setup ;;
  teardown) teardown ;;
  start-cupsd) restart_cupsd ;;
  *) log "unknown command $cmd"; exit 2 ;;
esac
