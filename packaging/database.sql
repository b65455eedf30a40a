-- The tables the Korvantis Launcher reads and writes, for a new site:
--   psql -v ON_ERROR_STOP=1 -d DATABASE -f /usr/share/korvantis-launcher/database.sql
-- Run it as the user that is to own the tables; a till's login that does not
-- own them needs the grants docs/database.md lists (SELECT on config; SELECT,
-- INSERT, UPDATE on managedprogram; USAGE, SELECT on managedprogram_id_seq;
-- SELECT, DELETE on poscommands). It only creates what is missing: a table,
-- sequence or row that already exists is left exactly as it is, so running it
-- again, or on the database of a running system, changes nothing there.
-- docs/database.md (in /usr/share/doc/korvantis-launcher) says what each
-- column means.
BEGIN;
-- Not a word for each thing that exists already.
SET LOCAL client_min_messages = warning;

-- The programs each till starts. Rows with machineid NULL are the template
-- a new till copies; the launcher and its program manager take ids from
-- this sequence by name.
CREATE SEQUENCE IF NOT EXISTS managedprogram_id_seq;
CREATE TABLE IF NOT EXISTS managedprogram (
  id integer PRIMARY KEY DEFAULT nextval('managedprogram_id_seq'),
  name text,
  path text,
  executable text,
  arguments text,
  runonstart boolean DEFAULT true,
  restartonfailure boolean DEFAULT true,
  machineid integer
);

-- Receipts and drawer pulses queued for a till (device 1: receipt printer,
-- 2: cash drawer). The trigger of notify-by-station.sql wakes the till a row
-- is for; without it, whatever queues rows sends NOTIFY poscommands.
CREATE TABLE IF NOT EXISTS poscommands (
  id serial PRIMARY KEY,
  stationid integer,
  device integer,
  command text
);

-- The schema version (the launcher needs 90 or later) and the credentials
-- handed to the update script. A config table made here starts at 90; one
-- that already exists keeps its rows.
DO $$
BEGIN
  IF to_regclass('config') IS NULL THEN
    CREATE TABLE config (schemaversion integer, te_username text, te_password text);
    INSERT INTO config (schemaversion, te_username, te_password) VALUES (90, '', '');
  END IF;
END
$$;

-- When each receipt or drawer pulse was queued, so that the fleet can tell
-- how long a till's receipts have waited. Rows queued before this column
-- came get the time it was added.
ALTER TABLE poscommands ADD COLUMN IF NOT EXISTS queued_at timestamptz DEFAULT now();

-- How each till is, one row per station, written by that station's launcher
-- alone: on its eleven-second check and at once when its printer's state or
-- one of its programs changes. heartbeat is the server's clock at the last
-- write; a launcher that died or lost the database leaves it behind, which is
-- how korvantis-fleet tells a till that is down.
CREATE TABLE IF NOT EXISTS launcherstatus (
  stationid integer PRIMARY KEY,
  host text NOT NULL,
  version text NOT NULL,
  started_at timestamptz,
  heartbeat timestamptz NOT NULL DEFAULT now(),
  -- The watchdog's last check of its own connection, and the outages it
  -- counted since the launcher started.
  database_ok boolean,
  outages integer NOT NULL DEFAULT 0,
  -- The receipt printer's queue (NULL: receipt printing is off), its
  -- printer-state-reasons as the print server reports them, and why the
  -- queue could not be asked, if it could not.
  printer text,
  printer_reasons text[] NOT NULL DEFAULT '{}',
  printer_error text,
  -- Receipts queued for this station at the last write, and the oldest's
  -- queued_at.
  receipts_waiting integer NOT NULL DEFAULT 0,
  oldest_receipt_at timestamptz,
  -- One object per managed program: name, executable, running, runonstart,
  -- restarts, awaiting_restart, failures, ended (how it last ended),
  -- ended_s_ago (seconds before this write).
  programs jsonb NOT NULL DEFAULT '[]'
);

COMMIT;
