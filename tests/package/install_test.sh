#!/usr/bin/env bash
# The Debian package passes lintian, installs into a scratch root, runs from
# there with the client library found beside it, carries valid desktop files,
# proper dependencies and a start command that reads /etc/default, and purges
# what it and the launcher made.  install_test.sh BUILD-DIR
set -euo pipefail
build=${1:?build directory}
# dpkg wants ldconfig and start-stop-daemon, which lie off an ordinary
# user's PATH. Such a user installs into the scratch root as its owner, and
# takes a user namespace of its own for the mounts below.
PATH="$PATH:/usr/sbin:/sbin"
as_user=()
namespace=(unshare -m)
if [ "$(id -u)" -ne 0 ]; then as_user=(--force-not-root); namespace=(unshare -rm); fi
work=$(mktemp -d /tmp/kv-pkgtest.XXXXXX)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

(cd "$build" && cpack -G DEB -B "$work/out" >"$work/cpack.log" 2>&1) || { cat "$work/cpack.log" >&2; fail "cpack"; }
deb=$(ls "$work"/out/*.deb)
lintian --fail-on error "$deb" >"$work/lintian.log" 2>&1 || { cat "$work/lintian.log" >&2; fail "lintian"; }

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
[ -f "$root/opt/korvantis/libdraldb.so" ] || fail "no libdraldb.so beside the launcher"
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
cmp "$root/usr/share/korvantis-launcher/database.sql" "$(dirname "$0")/../../packaging/database.sql" \
  || fail "no database.sql, or not the one tested"
[ -f "$root/usr/share/doc/korvantis-launcher/database.md" ] || fail "no database.md"
cmp "$root/usr/share/korvantis-launcher/notify-by-station.sql" "$(dirname "$0")/../../docs/notify-by-station.sql" \
  || fail "no notify-by-station.sql, or not the one tested"
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

# Remove keeps the station's settings; purge takes what the launcher wrote
# beside itself and leaves the front-end's files, which share the directory.
frontend=(dralfrontend.exe korvantis.conf kvtupd.sh)
(cd "$root/opt/korvantis" && touch shell.conf shell.conf.aB3xYz run.sh doupdate poscommands.journal "${frontend[@]}")
dpkg_root -r korvantis-launcher
[ -f "$root/opt/korvantis/shell.conf" ] || fail "remove took shell.conf"
[ -f "$autostart" ] && [ ! -e "$root$tryexec" ] || fail "after remove: the autostart entry or its TryExec program"
dpkg_root --purge korvantis-launcher
left=$(cd "$root" && find . -path ./var -prune -o -type f -print | sort)
[ "$left" = "$(printf './opt/korvantis/%s\n' "${frontend[@]}" | sort)" ] || fail "left after purge: $left"
