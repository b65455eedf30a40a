#!/bin/sh
# The demo's stand-in for the POS front-end (installed as dralfrontend.exe).
# Like the real one it queues receipts for its station in the database and
# tells the launcher with NOTIFY poscommands; here it does so every
# KV_DEMO_RECEIPT_EVERY seconds (0: never). It reaches the database through
# the PG* variables the demo exported. Ends on SIGTERM, like a till closed.
station=
while [ $# -gt 0 ]; do
  case "$1" in
    -v) shift; case "${1:-}" in stationid=*) station=${1#stationid=} ;; esac ;;
  esac
  shift
done
echo "demo front-end: station ${station:-?}, pid $$"
every=${KV_DEMO_RECEIPT_EVERY:-20}
n=0
while :; do
  if [ "$every" -le 0 ]; then sleep 3600; continue; fi
  sleep "$every"
  n=$((n + 1))
  psql -X -q -v ON_ERROR_STOP=1 \
    -v station="$station" -v text="Demo sale $n
1 x Coffee        2.50
1 x Croissant     1.80
Total             4.30
" <<'SQL' && echo "demo front-end: receipt $n queued"
INSERT INTO poscommands (stationid, device, command) VALUES (:station, 1, :'text');
NOTIFY poscommands;
SQL
done
