# The program manager with a running program's output. The window's program
# waits for the "done" file so that it ends the program it started itself.
build_targets kv_form1_screenshot
"$BUILD/screenshots/kv_form1_screenshot" "$SHOT_TMP/form1-done" >"$SHOT_TMP/form1.out" 2>"$SHOT_TMP/form1.err" &
pid=$!
for _ in $(seq 1 200); do grep -q ready "$SHOT_TMP/form1.out" 2>/dev/null && break; sleep 0.1; done
if ! grep -q ready "$SHOT_TMP/form1.out"; then
  echo "screenshots: the program manager did not come up:" >&2
  cat "$SHOT_TMP/form1.err" >&2
  kill "$pid" 2>/dev/null || true
  exit 1
fi
wid=$(xdotool search --onlyvisible --name '^Korvantis Launcher$' | head -1)
import -window "$wid" "$DOCS/program-manager.png"
touch "$SHOT_TMP/form1-done"
wait "$pid" || true
echo "screenshots: $DOCS/program-manager.png"
