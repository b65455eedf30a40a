#!/usr/bin/env bash
# The Debian package installs into a scratch root, runs from there with the
# client library found beside it, carries valid desktop files and proper
# dependencies, and removes cleanly.  install_test.sh BUILD-DIR
set -euo pipefail
build=${1:?build directory}
work=$(mktemp -d /tmp/kv-pkgtest.XXXXXX)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

(cd "$build" && cpack -G DEB -B "$work/out" >"$work/cpack.log" 2>&1) || { cat "$work/cpack.log" >&2; fail "cpack"; }
deb=$(ls "$work"/out/*.deb)

depends=$(dpkg-deb -f "$deb" Depends)
for lib in libqt6widgets6 libpq5 libodbc2 libcups2 odbc-postgresql; do
  grep -q "$lib" <<<"$depends" || fail "Depends lacks $lib: $depends"
done
grep -q draldb <<<"$depends" && fail "Depends names our own library: $depends"

root="$work/root"
mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates"
: > "$root/var/lib/dpkg/status"
dpkg --root="$root" --force-depends --force-script-chrootless --log=/dev/null -i "$deb" >"$work/dpkg.log" 2>&1 \
  || { cat "$work/dpkg.log" >&2; fail "dpkg -i"; }
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
desktop-file-validate "$root/etc/xdg/autostart/korvantis-launcher.desktop" || fail "autostart entry"
[ -f "$root/usr/share/icons/hicolor/scalable/apps/korvantis-launcher.svg" ] || fail "no icon"

dpkg --root="$root" --force-depends --force-script-chrootless --log=/dev/null -r korvantis-launcher >"$work/rm.log" 2>&1 \
  || { cat "$work/rm.log" >&2; fail "dpkg -r"; }
left=$(find "$root" -path "$root/var" -prune -o -type f -print)
[ -z "$left" ] || fail "files left after removal: $left"
