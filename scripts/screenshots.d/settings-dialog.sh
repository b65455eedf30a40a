# The settings dialog as the tray menu opens it on a configured station:
# station 7, receipt printing on the first queue, the connection tested.
build_targets shot_settings_dialog
PGPASSWORD=$KV_DB_PASSWORD psql -X -q -h "$KV_DB_HOST" -U "$KV_DB_USER" -d "$KV_DB_NAME" \
  -c "INSERT INTO config (schemaversion) VALUES (95)"
mkdir -p "$SHOT_TMP/settings-app"
KV_SHOT_APPDIR=$SHOT_TMP/settings-app \
  shoot settings-dialog.png "Korvantis Launcher Configuration" "$BUILD/screenshots/shot_settings_dialog"
