-- The tables the Korvantis Launcher reads and writes, for a new site:
--   psql -v ON_ERROR_STOP=1 -d DATABASE -f /usr/share/korvantis-launcher/database.sql
-- Run it as the user that is to own the tables; a till's login that does not
-- own them needs the grants docs/database.md lists (SELECT on config; SELECT,
-- INSERT, UPDATE on managedprogram; USAGE, SELECT on managedprogram_id_seq;
-- SELECT, DELETE, UPDATE (printjob) on poscommands). It only creates what is
-- missing: a table, sequence or row that already exists is left exactly as it
-- is, so running it again, or on the database of a running system, changes
-- nothing there, but for one thing: a poscommands.id that is still a serial
-- becomes the server's own 64-bit identity, every row kept (below).
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
-- The id is the server's alone: a row queued with an id of its own choosing
-- would take the id the next receipt of another station is to get, and
-- every later insert would fail on the duplicate key; 64 bits cannot be used
-- up by inserting, as 32 bits can in an hour.
CREATE TABLE IF NOT EXISTS poscommands (
  id bigint GENERATED ALWAYS AS IDENTITY PRIMARY KEY,
  stationid integer,
  device integer,
  command text
);

-- A site made when id was a serial: the same column, made the identity in
-- place, numbering on from where the old sequence stood, so that no id is
-- handed out twice and the order of printing stays. The table is locked
-- for it: a receipt queued meanwhile waits the moment it takes.
DO $$
DECLARE
  identity "char";
  type regtype;
  seq regclass;
  next bigint;
  stood bigint;
  called boolean;
BEGIN
  SELECT attidentity, atttypid INTO identity, type FROM pg_attribute
    WHERE attrelid = 'poscommands'::regclass AND attname = 'id' AND NOT attisdropped;
  IF identity = 'a' AND type = 'bigint'::regtype
     AND (SELECT seqtypid FROM pg_sequence WHERE seqrelid = pg_get_serial_sequence('poscommands', 'id')::regclass)
         = 'bigint'::regtype THEN
    RETURN;
  END IF;
  LOCK TABLE poscommands IN ACCESS EXCLUSIVE MODE;
  IF identity = '' THEN
    SELECT coalesce(max(id), 0) + 1 INTO next FROM poscommands;
    seq := pg_get_serial_sequence('poscommands', 'id')::regclass;
    IF seq IS NOT NULL THEN
      EXECUTE format('SELECT last_value, is_called FROM %s', seq) INTO stood, called;
      next := greatest(next, stood + CASE WHEN called THEN 1 ELSE 0 END);
    END IF;
    ALTER TABLE poscommands ALTER COLUMN id DROP DEFAULT;
    IF seq IS NOT NULL THEN
      EXECUTE format('DROP SEQUENCE %s', seq);
    END IF;
    ALTER TABLE poscommands ALTER COLUMN id SET DATA TYPE bigint;
    EXECUTE format('ALTER TABLE poscommands ALTER COLUMN id ADD GENERATED ALWAYS AS IDENTITY (START WITH %s)', next);
  ELSE
    ALTER TABLE poscommands ALTER COLUMN id SET DATA TYPE bigint;
    ALTER TABLE poscommands ALTER COLUMN id SET GENERATED ALWAYS;
    EXECUTE format('ALTER SEQUENCE %s AS bigint MAXVALUE 9223372036854775807',
                   pg_get_serial_sequence('poscommands', 'id'));
  END IF;
END
$$;

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

-- The print job that holds the row's receipt: NULL until the launcher hands
-- the receipt to the print server, then the job's mark, which the launcher
-- writes itself (a confined till on its own station's rows only).
ALTER TABLE poscommands ADD COLUMN IF NOT EXISTS printjob text;

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

-- NULL while the launcher runs; 'exit' or 'update' when it last quit
-- cleanly (for an update), so that a till that was closed on purpose is told
-- from one that died.
ALTER TABLE launcherstatus ADD COLUMN IF NOT EXISTS stopped text;
-- Rows queued for this station for devices its launcher does not handle
-- (anything but 1, the receipt printer, and 2, the cash drawer): they stay
-- in poscommands unread until someone removes them.
ALTER TABLE launcherstatus ADD COLUMN IF NOT EXISTS other_device_rows integer NOT NULL DEFAULT 0;

COMMIT;
