-- Korvantis Launcher: a receipt wakes only the till it is for.
--
-- Queue receipts with an INSERT alone and let this trigger notify: it sends
-- "poscommands_N" for a row of station N, which only that till's launcher
-- listens on (it hears it as "poscommands"). A plain NOTIFY poscommands still
-- reaches every till, so the front-end's own NOTIFY can be dropped whenever
-- it suits; until then each receipt wakes the till twice and every other till
-- once, as before.
--
-- Several rows of one transaction for one station give one notification.
-- Safe to run again; it touches nothing but its own function and trigger.
-- To remove it:
--   DROP TRIGGER IF EXISTS korvantis_notify_station ON poscommands;
--   DROP FUNCTION IF EXISTS korvantis_notify_station();
BEGIN;

CREATE OR REPLACE FUNCTION korvantis_notify_station() RETURNS trigger
LANGUAGE plpgsql AS $$
BEGIN
    PERFORM pg_notify('poscommands_' || NEW.stationid, '');
    RETURN NULL;
END
$$;

CREATE OR REPLACE TRIGGER korvantis_notify_station
    AFTER INSERT ON poscommands
    FOR EACH ROW EXECUTE FUNCTION korvantis_notify_station();

COMMIT;
