#!/usr/bin/env bash
# Photographs the outage notice under Xvfb, with twm drawing the title bar
# that carries the notice's caption.
#
#   scripts/screenshots/notice.sh [BUILD_DIR] [OUT.png]
#
# Needs: Xvfb, twm, imagemagick (import); the build tree's
# kv_show_outage_notice. Everything it starts is ended on the way out.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
build=${1:-$root/build}
out=${2:-$root/docs/notice-outage.png}
program=$build/tests/gui/kv_show_outage_notice
[ -x "$program" ] || { echo "notice.sh: build $program first" >&2; exit 1; }

work=$(mktemp -d)
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  for p in "${pids[@]}"; do wait "$p" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT

# A display number nobody uses.
display=
for n in $(seq 91 130); do
  if [ ! -e "/tmp/.X11-unix/X$n" ] && [ ! -e "/tmp/.X$n-lock" ]; then display=:$n; break; fi
done
[ -n "$display" ] || { echo "notice.sh: no free display" >&2; exit 1; }

Xvfb "$display" -screen 0 640x300x24 -nolisten tcp >"$work/xvfb.log" 2>&1 &
pids+=($!)
for _ in $(seq 1 50); do [ -e "/tmp/.X11-unix/X${display#:}" ] && break; sleep 0.1; done
export DISPLAY=$display

# Xvfb without font packages has only its built-in "fixed".
cat >"$work/twmrc" <<'RC'
TitleFont "fixed"
ResizeFont "fixed"
MenuFont "fixed"
IconFont "fixed"
IconManagerFont "fixed"
NoGrabServer
RandomPlacement
Color
{
  TitleBackground "steelblue"
  TitleForeground "white"
  BorderColor "steelblue"
}
RC
twm -f "$work/twmrc" >"$work/twm.log" 2>&1 &
pids+=($!)
sleep 0.5

# The driver with its own settings (no connection log files), a port that
# nothing listens on, a fixed locale for the time in the caption.
mkdir -p "$work/odbc" "$work/xdg"
chmod 700 "$work/xdg"
printf '[PostgreSQL Unicode]\nDriver=psqlodbcw.so\nCommLog=0\nDebug=0\n' >"$work/odbc/odbcinst.ini"
: >"$work/odbc/odbc.ini"
ODBCSYSINI=$work/odbc ODBCINI=$work/odbc/odbc.ini PGPORT=9 LC_TIME=en_GB.UTF-8 XDG_RUNTIME_DIR=$work/xdg \
  "$program" 127.0.0.1 korvantis 30 >"$work/program.log" 2>&1 &
pids+=($!)

# The countdown shows after the first second.
for _ in $(seq 1 50); do grep -q "watchdog returned" "$work/program.log" && break; sleep 0.1; done
sleep 2
mkdir -p "$(dirname "$out")"
import -window root "$out"
cat "$work/program.log"
echo "notice.sh: wrote $out"
