# The notice the watchdog opens when the database connection is lost: the
# real watchdog against a port nothing listens on, with twm drawing the title
# bar that carries the notice's caption.
build_targets kv_show_outage_notice
cat >"$SHOT_TMP/twmrc" <<'RC'
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
twm -f "$SHOT_TMP/twmrc" >"$SHOT_TMP/twm.log" 2>&1 &
twm_pid=$!
sleep 0.5
PGPORT=9 LC_TIME=en_GB.UTF-8 "$BUILD/screenshots/kv_show_outage_notice" 127.0.0.1 korvantis 30 \
  >"$SHOT_TMP/notice.log" 2>&1 &
notice_pid=$!
wid=$(timeout 30 xdotool search --sync --onlyvisible --name "^Korvantis network activity" | head -1) || true
# The countdown shows after the first second.
sleep 2
if [ -n "$wid" ]; then
  import -frame -window "$wid" "$DOCS/notice-outage.png"
  echo "screenshots: $DOCS/notice-outage.png"
else
  echo "screenshots: no notice window" >&2
  cat "$SHOT_TMP/notice.log" >&2
fi
kill "$notice_pid" "$twm_pid" 2>/dev/null || true
wait "$notice_pid" "$twm_pid" 2>/dev/null || true
[ -n "$wid" ]
