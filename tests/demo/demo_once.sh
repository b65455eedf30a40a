#!/usr/bin/env bash
# The demo brings up a till, a receipt queued in its database appears decoded
# at its printer within 2 s, and it leaves no process and no directory behind.
#   demo_once.sh SOURCE-DIR BUILD-DIR
set -euo pipefail
src=${1:?source directory}
build=${2:?build directory}
before=$(ls -d /tmp/kv-demo.* 2>/dev/null || true)
out=$(mktemp /tmp/kv-demotest.XXXXXX)
trap 'rm -f "$out"' EXIT
status=0
env -u DISPLAY "$src/scripts/demo" --once --no-setup --build-dir "$build" </dev/null >"$out" 2>&1 || status=$?
cat "$out"
[ "$status" -eq 0 ] || { echo "FAIL: demo exited $status" >&2; exit 1; }
grep -q "Demo receipt" "$out" || { echo "FAIL: no decoded receipt in the demo's output" >&2; exit 1; }
grep -q "\[cut\]" "$out" || { echo "FAIL: the receipt's cut was not shown" >&2; exit 1; }
after=$(ls -d /tmp/kv-demo.* 2>/dev/null || true)
new=$(comm -13 <(echo "$before") <(echo "$after"))
[ -z "$new" ] || { echo "FAIL: left behind: $new" >&2; exit 1; }
for p in /proc/[0-9]*; do
  cwd=$(readlink "$p/cwd" 2>/dev/null || true)
  case "$cwd" in
    /tmp/kv-demo.*) grep -qxF "$(sed 's|^\(/tmp/kv-demo\.[^/]*\).*|\1|' <<<"$cwd")" <<<"$before" \
        || { echo "FAIL: process ${p#/proc/} still runs in the demo's directory" >&2; exit 1; } ;;
  esac
done
