#!/usr/bin/env bash
# The demo brings up a till, a receipt queued in its database appears decoded
# at its printer within 2 s, and it leaves no process and no directory behind.
#   demo_once.sh SOURCE-DIR [BUILD-DIR [DEMO-OPTION...]]
# With a build directory the demo runs from it (--no-setup); without one it
# runs as the README says, setting up and building in SOURCE-DIR/build.
set -euo pipefail
src=${1:?source directory}
demo=("$src/scripts/demo" --once)
if [ $# -ge 2 ]; then
  demo+=(--no-setup --build-dir "$2")
  shift 2
  demo+=("$@")
fi
fail() { echo "FAIL: $*" >&2; exit 1; }
out=$(mktemp /tmp/kv-demotest.XXXXXX)
trap 'rm -f "$out"' EXIT
status=0
env -u DISPLAY "${demo[@]}" </dev/null >"$out" 2>&1 || status=$?
cat "$out"
[ "$status" -eq 0 ] || fail "demo exited $status"
grep -q "Demo receipt" "$out" || fail "no decoded receipt in the demo's output"
grep -q "\[cut\]" "$out" || fail "the receipt's cut was not shown"
# Only what this demo made counts: other accounts may run demos of their own
# in the shared /tmp meanwhile.
state=$(grep -o '/tmp/kv-demo\.[A-Za-z0-9]*' "$out" | head -n 1)
[ -n "$state" ] || fail "the demo did not say where its directory was"
[ ! -e "$state" ] || fail "left behind: $state"
for p in /proc/[0-9]*; do
  case "$(readlink "$p/cwd" 2>/dev/null || true)" in
    "$state" | "$state"/*) fail "process ${p#/proc/} still runs in the demo's directory" ;;
  esac
done
