#!/usr/bin/env bash
# The print-server fixture and the demo work for an ordinary user: no root,
# the PATH such a user logs in with (no /usr/sbin), a clean environment.
# Run as root, it makes a throwaway user for this and removes it after;
# run as an ordinary user, it runs as that user.
#   ordinary_user.sh SOURCE-DIR BUILD-DIR
set -euo pipefail
src=${1:?source directory}
build=${2:?build directory}
export PATH="$PATH:/usr/sbin:/sbin"
fail() { echo "FAIL: $*" >&2; exit 1; }

work=$(mktemp -d /tmp/kv-ordinary.XXXXXX)
chmod 755 "$work"
user=$(id -un)
made_user=0
cleanup() {
  set +e
  if [ "$made_user" -eq 1 ]; then
    # Whatever the run left behind belongs to this user alone.
    for _ in 1 2 3; do
      left=$(ps -o pid= -u "$user" 2>/dev/null | tr -d ' ')
      [ -z "$left" ] && break
      # shellcheck disable=SC2086
      kill -KILL $left 2>/dev/null
      sleep 0.2
    done
    userdel "$user" >/dev/null
  fi
  rm -rf "$work"
}
trap cleanup EXIT

if [ "$(id -u)" -eq 0 ]; then
  user="kvord$$"
  useradd --home-dir "$work/home" --no-create-home --shell /bin/bash --user-group "$user" \
    || fail "useradd $user"
  made_user=1
fi
mkdir -p "$work/home"

# Its own copy of what it runs, so that a checkout or build only root can
# read (under /root, say) does not stand in the way.
tar -C "$src" --exclude=./build --exclude='./build-*' --exclude=./.git --exclude=./dist -cf - . \
  | (mkdir "$work/src" && tar -C "$work/src" -xf -)
for f in src/korvantis-launcher demo/kv_receiptview demo/kv_escposprinter backend/escpos draldb/libdraldb.so*; do
  mkdir -p "$work/build/$(dirname "$f")"
  cp -a "$build"/$f "$work/build/$(dirname "$f")/" || fail "no $build/$f: build korvantis-launcher draldb kv_receiptview kv_escposprinter escpos"
done
chown -R "$user": "$work/src" "$work/build" "$work/home"

# As the user logs in: Debian's PATH for users, nothing else of this shell's.
as_user() {
  local run=()
  [ "$(id -u)" -eq 0 ] && run=(setpriv --reuid="$user" --regid="$user" --init-groups --)
  "${run[@]}" env -i HOME="$work/home" USER="$user" LOGNAME="$user" LANG=C.UTF-8 \
    PATH=/usr/local/bin:/usr/bin:/bin LD_LIBRARY_PATH="$work/build/draldb" "$@"
}
echo "== as $user (uid $(id -u "$user")), PATH /usr/local/bin:/usr/bin:/bin"

# The print-server fixture: its queues answer, and teardown leaves nothing.
env="$work/home/env"
as_user "$work/src/tests/harness/cupsctl.sh" setup "$env" "$work/build" || fail "cupsctl.sh setup as $user"
server=$(sed -n 's/^CUPS_SERVER=//p' "$env/cups.env")
queues=$(as_user env CUPS_SERVER="$server" lpstat -p) || fail "lpstat against the fixture"
grep -q "printer KV_Receipt" <<<"$queues" || fail "the fixture's queues: $queues"
state=$(sed -n 's/^KV_CUPS_STATEDIR=//p' "$env/cups.env")
as_user "$work/src/tests/harness/cupsctl.sh" teardown "$env" || fail "cupsctl.sh teardown as $user"
[ ! -e "$state" ] || fail "teardown left $state"

# The demo, once, with the same checks as for root.
as_user "$work/src/tests/demo/demo_once.sh" "$work/src" "$work/build" || fail "the demo as $user"
echo "== the fixture and the demo work as $user"
