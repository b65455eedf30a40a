# The tray menu of the real launcher: a station with printing on and no
# programs, its icon in trayer's tray, the menu opened by a click on it.
build_targets korvantis-launcher draldb
app=$SHOT_TMP/tray-app
mkdir -p "$app"
cp "$BUILD/src/korvantis-launcher" "$app/"
# The front-end the launcher looks for beside itself; the station starts nothing.
printf '#!/bin/sh\nexec sleep 600\n' >"$app/dralfrontend.exe"
chmod 755 "$app/dralfrontend.exe"
PGPASSWORD=$KV_DB_PASSWORD psql -X -q -h "$KV_DB_HOST" -U "$KV_DB_USER" -d "$KV_DB_NAME" \
  -c "INSERT INTO config (schemaversion) SELECT 95 WHERE NOT EXISTS (SELECT 1 FROM config)"
printf '%s\r\n' "db_host = $KV_DB_HOST" "db_name = $KV_DB_NAME" "db_username = $KV_DB_USER" \
  "db_password = $KV_DB_PASSWORD" "esc_printer = KV_Receipt" "stationid = 1" \
  "launcher = korvantis-launcher" >"$app/shell.conf"
trayer --edge top --align right --widthtype request --height 32 --transparent false \
  --tint 0x808080 --SetDockType true >"$SHOT_TMP/trayer.log" 2>&1 &
trayer_pid=$!
"$app/korvantis-launcher" >"$SHOT_TMP/tray-launcher.log" 2>&1 &
launcher_pid=$!
ok=0
tray=$(timeout 10 xdotool search --sync --classname "^panel$" | head -1) || true
# The icon is docked once trayer has asked for room for it.
for _ in $(seq 1 50); do
  [ -n "$tray" ] && [ "$(xdotool getwindowgeometry "$tray" | sed -n 's/.*Geometry: \([0-9]*\)x.*/\1/p')" -ge 16 ] && break
  sleep 0.1
done
if [ -n "$tray" ]; then
  eval "$(xdotool getwindowgeometry --shell "$tray")"
  xdotool mousemove $((X + WIDTH / 2)) $((Y + HEIGHT / 2)) click 1
  sleep 1
  # The menu drops below the icon at the right edge: the screen's top right.
  import -window root -crop 220x130+$((X + WIDTH - 220))+0 +repage "$DOCS/tray-menu.png" && ok=1
  echo "screenshots: $DOCS/tray-menu.png"
else
  echo "screenshots: no tray" >&2
fi
[ "$ok" -eq 1 ] || cat "$SHOT_TMP/tray-launcher.log" >&2
kill -TERM "$launcher_pid" 2>/dev/null || true
wait "$launcher_pid" 2>/dev/null || true
kill "$trayer_pid" 2>/dev/null || true
wait "$trayer_pid" 2>/dev/null || true
[ "$ok" -eq 1 ]
