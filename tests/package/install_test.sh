#!/usr/bin/env bash
# The Debian package passes lintian, installs into a scratch root, runs from
# there with the client library found beside it and prints a receipt (the
# demo's till with the installed launcher), carries valid desktop files,
# proper dependencies and a start command that reads /etc/default, names the
# print queues left without their backend on remove, and purges what it and
# the launcher made. The office's korvantis-fleet, a package of its own beside
# it, passes lintian too and installs its command alone.
#   install_test.sh BUILD-DIR [DEB]
# Without DEB it packs BUILD-DIR; with it, korvantis-fleet is the .deb beside
# DEB. The demo's programs come from BUILD-DIR.
set -euo pipefail
build=${1:?build directory}
given_deb=${2:-}
src=$(cd "$(dirname "$0")/../.." && pwd)
# dpkg wants ldconfig and start-stop-daemon, which lie off an ordinary
# user's PATH. Such a user installs into the scratch root as its owner, and
# takes a user namespace of its own for the mounts below.
. "$src/tests/harness/syspath.sh"
as_user=()
namespace=(unshare -m)
if [ "$(id -u)" -ne 0 ]; then as_user=(--force-not-root); namespace=(unshare -rm); fi
work=$(mktemp -d /tmp/kv-pkgtest.XXXXXX)
trap '"$src/tests/harness/cupsctl.sh" teardown "$work/cups" >/dev/null 2>&1; rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

if [ -n "$given_deb" ]; then
  deb=$given_deb
else
  (cd "$build" && cpack -G DEB -B "$work/out" >"$work/cpack.log" 2>&1) || { cat "$work/cpack.log" >&2; fail "cpack"; }
  deb=$(ls "$work"/out/korvantis-launcher_*.deb)
fi
fleet_deb=$(ls "$(dirname "$deb")"/korvantis-fleet_*.deb) || fail "no korvantis-fleet package beside $deb"
for package in "$deb" "$fleet_deb"; do
  lintian --fail-on error "$package" >"$work/lintian.log" 2>&1 || { cat "$work/lintian.log" >&2; fail "lintian $package"; }
done

# The office's command alone: on libpq, without Qt, a launcher or anything
# started at log-in; and no longer in the till's package.
grep -q 'bin/korvantis-fleet' <<<"$(dpkg-deb -c "$deb")" && fail "the till's package carries the fleet command"
fleet_files=$(dpkg-deb -c "$fleet_deb" | awk '{print $6}')
grep -q '^\./usr/bin/korvantis-fleet$' <<<"$fleet_files" || fail "korvantis-fleet lacks /usr/bin/korvantis-fleet"
grep -Eq '^\./(opt|etc)/|\.desktop$' <<<"$fleet_files" && fail "korvantis-fleet installs more than the command: $fleet_files"
fleet_depends=$(dpkg-deb -f "$fleet_deb" Depends)
grep -q libpq5 <<<"$fleet_depends" && ! grep -q -e libqt6 -e korvantis <<<"$fleet_depends" \
  || fail "korvantis-fleet depends on: $fleet_depends"
fleet_root="$work/fleet-root"
mkdir -p "$fleet_root"
dpkg-deb -x "$fleet_deb" "$fleet_root"
"$fleet_root/usr/bin/korvantis-fleet" --version | grep -q "^korvantis-fleet [0-9]" || fail "korvantis-fleet --version"

depends=$(dpkg-deb -f "$deb" Depends)
for lib in libqt6widgets6 libqt6svg6 libpq5 libodbc2 libcups2 odbc-postgresql; do
  grep -q "$lib" <<<"$depends" || fail "Depends lacks $lib: $depends"
done
grep -q draldb <<<"$depends" && fail "Depends names our own library: $depends"

root="$work/root"
mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates"
: > "$root/var/lib/dpkg/status"
dpkg_root() { dpkg --root="$root" "${as_user[@]}" --force-depends --force-script-chrootless --log=/dev/null "$@" >"$work/dpkg.log" 2>&1 \
  || { cat "$work/dpkg.log" >&2; fail "dpkg $*"; }; }
dpkg_root -i "$deb"
grep -q "write access" "$work/dpkg.log" || fail "no post-install note on directory rights"

exe="$root/opt/korvantis/korvantis-launcher"
[ -x "$exe" ] || fail "no launcher in /opt/korvantis"
runpath=$(readelf -d "$exe" | sed -n 's/.*(RUNPATH).*\[\(.*\)\]/\1/p')
[ "$runpath" = '$ORIGIN' ] || fail "RUNPATH is '$runpath', not \$ORIGIN"
resolved=$(env -u LD_LIBRARY_PATH ldd "$exe" | awk '/libdraldb/ {print $3}')
[ "$resolved" = "$root/opt/korvantis/libdraldb.so" ] || fail "libdraldb resolves to '$resolved'"

version=$(env -u DISPLAY QT_QPA_PLATFORM= "$exe" --version) || fail "--version failed"
grep -q "[0-9]\+\.[0-9]\+" <<<"$version" || fail "--version printed '$version'"

desktop-file-validate "$root/usr/share/applications/korvantis-launcher.desktop" || fail "desktop entry"
autostart="$root/etc/xdg/autostart/korvantis-launcher.desktop"
desktop-file-validate "$autostart" || fail "autostart entry"
# The entry outlives apt remove (a conffile): TryExec makes a desktop skip it
# once the program it starts is gone.
tryexec=$(sed -n 's/^TryExec=//p' "$autostart")
[ "$tryexec" = "$(sed -n 's/^Exec=\([^ ]*\).*/\1/p' "$autostart")" ] || fail "autostart TryExec '$tryexec' is not its Exec"
[ -x "$root$tryexec" ] || fail "autostart TryExec $tryexec is not installed"
# The tables for a new site: the file the database test runs, and its guide.
cmp "$root/usr/share/korvantis-launcher/database.sql" "$src/packaging/database.sql" \
  || fail "no database.sql, or not the one tested"
cmp "$root/usr/share/korvantis-launcher/notify-by-station.sql" "$src/docs/notify-by-station.sql" \
  || fail "no notify-by-station.sql, or not the one tested"
# Every page of docs/ an administrator may be sent to, also ones added later.
for doc in "$src"/docs/*.md; do
  cmp "$root/usr/share/doc/korvantis-launcher/$(basename "$doc")" "$doc" || fail "no $(basename "$doc") in the package"
done
# The receipt printer's backend: mode 0755, so CUPS runs it as lp, not root;
# asked with no arguments it names its device class, as CUPS asks.
backend="$root/usr/lib/cups/backend/escpos"
[ "$(stat -c %a "$backend" 2>/dev/null)" = 755 ] || fail "the escpos backend is missing or not mode 0755"
"$backend" | grep -q '^network escpos ' || fail "the escpos backend does not name its device class"
for icon in scalable/apps/korvantis-launcher.svg 22x22/apps/korvantis-launcher.png; do
  [ -f "$root/usr/share/icons/hicolor/$icon" ] || fail "no icon $icon"
done

# The start command of both entries hands the launcher what /etc/default sets
# (seen by a stand-in launcher, in a mount namespace of its own).
echo 'PGPORT=5499' >>"$root/etc/default/korvantis-launcher"
printf '#!/bin/sh\necho "$PGPORT $*"\n' >"$work/stand-in" && chmod +x "$work/stand-in"
for entry in etc/xdg/autostart usr/share/applications; do
  start=$(sed -n 's/^Exec=//p' "$root/$entry/korvantis-launcher.desktop")
  got=$(env -u PGPORT "${namespace[@]}" sh -ec 'mount --bind "$1/etc/default" /etc/default; mount --bind "$1/opt" /opt
    mount --bind "$2" /opt/korvantis/korvantis-launcher; exec "$1$3" --version' - "$root" "$work/stand-in" "$start") || fail "$start"
  [ "$got" = "5499 --version" ] || fail "$entry: the launcher got '$got', not PGPORT=5499 and its arguments"
done

# A receipt through the installed launcher and client library, on the demo's
# till (its database, print server and front-end).
"$src/tests/demo/demo_once.sh" "$src" "$build" --launcher "$exe" >"$work/demo.log" 2>&1 \
  || { cat "$work/demo.log" >&2; fail "no receipt through the installed launcher"; }

# Remove keeps the station's settings; purge takes what the launcher wrote
# beside itself and leaves the front-end's files, which share the directory.
# Both name the print queues that use the escpos backend, as the scheduler
# lists them (remove) or, with none running, as printers.conf holds them
# (purge); the queues themselves are the administrator's and stay.
frontend=(dralfrontend.exe korvantis.conf kvtupd.sh)
(cd "$root/opt/korvantis" && touch shell.conf shell.conf.aB3xYz run.sh doupdate poscommands.journal "${frontend[@]}")
"$src/tests/harness/cupsctl.sh" setup "$work/cups" "$build" 2>"$work/cups.log" || { cat "$work/cups.log" >&2; fail "cupsctl.sh setup"; }
CUPS_SERVER=$(sed -n 's/^CUPS_SERVER=//p' "$work/cups/cups.env") dpkg_root -r korvantis-launcher
grep -q "^ *KV_Receipt  escpos://127.0.0.1:[0-9]*$" "$work/dpkg.log" || { cat "$work/dpkg.log" >&2; fail "remove did not name the queue KV_Receipt"; }
grep -q "lpadmin -p KV_Receipt -v socket://127.0.0.1:[0-9]* " "$work/dpkg.log" || fail "remove did not say how to print without the backend"
"$src/tests/harness/cupsctl.sh" teardown "$work/cups"
[ -f "$root/opt/korvantis/shell.conf" ] || fail "remove took shell.conf"
[ -f "$autostart" ] && [ ! -e "$root$tryexec" ] || fail "after remove: the autostart entry or its TryExec program"
mkdir -p "$root/etc/cups"
printf '%s\n' '<DefaultPrinter Till>' 'DeviceURI escpos:/dev/usb/lp0' '</Printer>' \
  '<Printer Office>' 'DeviceURI socket://10.0.0.9:9100' '</Printer>' >"$root/etc/cups/printers.conf"
CUPS_SERVER="$work/no-scheduler.sock" dpkg_root --purge korvantis-launcher
grep -q "^ *Till  escpos:/dev/usb/lp0$" "$work/dpkg.log" || { cat "$work/dpkg.log" >&2; fail "purge did not name the queue Till"; }
grep -q "Office" "$work/dpkg.log" && fail "purge named a queue that does not use the backend"
left=$(cd "$root" && find . -path ./var -prune -o -type f -print | sort)
[ "$left" = "$( (echo ./etc/cups/printers.conf; printf './opt/korvantis/%s\n' "${frontend[@]}") | sort)" ] || fail "left after purge: $left"
