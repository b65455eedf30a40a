-- Korvantis Launcher: a till's login opens only that till.
--
-- Adds to a database made by database.sql what confines a till's role to its
-- own station by row-level security, and the two calls that make such roles:
--   psql -v ON_ERROR_STOP=1 -d DATABASE -f /usr/share/korvantis-launcher/confined-tills.sql
--   SELECT korvantis_add_till('till7', 'its password', 7);   -- NULL: certificate log-in
--   SELECT korvantis_add_frontend('kitchen', 'its password'); -- may only queue receipts
-- Run it as a superuser, or as the owner of the tables when that role has
-- CREATEROLE; the calls likewise. It changes no row of the three tables and
-- is safe to run again. Roles that are neither tills nor front-ends (the
-- tables' owner, a role the tills share, the office's) keep exactly what
-- their grants give them: confining tills one at a time is possible.
--
-- A confined till's role
--   reads config, the template programs (machineid NULL) and its own rows of
--   managedprogram; adds and edits rows of its own station only;
--   reads, queues and deletes its own station's poscommands rows only;
--   writes its own station's launcherstatus row only (every row stays
--   readable to whoever may read the table, the office among them);
--   sees no other station's rows and changes neither config nor a template.
-- A front-end's role may only INSERT into poscommands (any station).
-- docs/security.md says what that protects and what it does not.
BEGIN;
SET LOCAL client_min_messages = warning;

DO $$
BEGIN
  IF to_regclass('managedprogram') IS NULL OR to_regclass('poscommands') IS NULL
     OR to_regclass('config') IS NULL OR to_regclass('launcherstatus') IS NULL THEN
    RAISE EXCEPTION 'managedprogram, poscommands, config or launcherstatus is missing here: run database.sql on this database first';
  END IF;
  -- Roles belong to the whole cluster: a second database of a chain finds them made.
  IF NOT EXISTS (SELECT FROM pg_roles WHERE rolname = 'korvantis_tills') THEN
    CREATE ROLE korvantis_tills NOLOGIN;
  END IF;
  IF NOT EXISTS (SELECT FROM pg_roles WHERE rolname = 'korvantis_frontends') THEN
    CREATE ROLE korvantis_frontends NOLOGIN;
  END IF;
END
$$;

-- Which station each till's role is confined to, in this database.
CREATE TABLE IF NOT EXISTS korvantis_till (
  role name PRIMARY KEY,
  station integer NOT NULL CHECK (station BETWEEN 1 AND 32767)
);

-- The station of the role running the statement; NULL for a role that is no
-- confined till. The policies ask it once per statement.
CREATE OR REPLACE FUNCTION korvantis_station() RETURNS integer
LANGUAGE sql STABLE AS $$
  SELECT station FROM korvantis_till WHERE role = current_user
$$;

-- True for a role that gets its rights on these tables as a till or a
-- front-end, and therefore only what the policies below allow it.
CREATE OR REPLACE FUNCTION korvantis_confined() RETURNS boolean
LANGUAGE sql STABLE AS $$
  SELECT pg_has_role('korvantis_tills', 'USAGE') OR pg_has_role('korvantis_frontends', 'USAGE')
$$;

-- Creates or updates a login role confined to one station. A NULL password
-- removes the role's password: it then logs in with a client certificate
-- (or a password set afterwards with psql's \password, which keeps it out
-- of the server's log).
CREATE OR REPLACE FUNCTION korvantis_add_till(till name, password text, station integer) RETURNS text
LANGUAGE plpgsql AS $$
BEGIN
  IF station IS NULL OR station NOT BETWEEN 1 AND 32767 THEN
    RAISE EXCEPTION 'korvantis_add_till: station % is no station id (a whole number from 1 to 32767)',
      coalesce(station::text, 'NULL');
  END IF;
  PERFORM korvantis_make_login(till, password, 'korvantis_add_till', 'korvantis_tills', 'korvantis_frontends');
  INSERT INTO korvantis_till (role, station) VALUES (till, station)
    ON CONFLICT (role) DO UPDATE SET station = EXCLUDED.station;
  RETURN format('%s is confined to station %s', till, station);
END
$$;

-- Creates or updates a login role that may only queue poscommands rows.
CREATE OR REPLACE FUNCTION korvantis_add_frontend(frontend name, password text) RETURNS text
LANGUAGE plpgsql AS $$
BEGIN
  PERFORM korvantis_make_login(frontend, password, 'korvantis_add_frontend', 'korvantis_frontends', 'korvantis_tills');
  DELETE FROM korvantis_till WHERE role = frontend;
  RETURN format('%s may only queue poscommands rows', frontend);
END
$$;

-- The common part of the two: the login, a member of group `joins` and not
-- of `leaves`, with no right on the tables beyond what the group gives (a
-- role that had the shared grants, or more, keeps none of them). A role that
-- the policies cannot hold is refused.
CREATE OR REPLACE FUNCTION korvantis_make_login(login name, password text, caller text, joins name, leaves name)
RETURNS void
LANGUAGE plpgsql AS $$
DECLARE
  owner name := (SELECT pg_get_userbyid(relowner) FROM pg_class WHERE oid = to_regclass('managedprogram'));
  r record;
BEGIN
  IF login IS NULL OR login = '' THEN
    RAISE EXCEPTION '%: the role name is empty', caller;
  END IF;
  SELECT rolsuper, rolbypassrls INTO r FROM pg_roles WHERE rolname = login;
  IF FOUND THEN
    IF r.rolsuper OR r.rolbypassrls THEN
      RAISE EXCEPTION '%: role % is a superuser or bypasses row-level security: give it a role of its own',
        caller, login;
    END IF;
    IF pg_has_role(login, owner, 'USAGE') THEN
      RAISE EXCEPTION '%: role % owns the tables (or has the rights of %, who does), and an owner is never confined: give it a role of its own',
        caller, login, owner;
    END IF;
    EXECUTE format('ALTER ROLE %I LOGIN PASSWORD %L', login, password);
  ELSE
    EXECUTE format('CREATE ROLE %I LOGIN PASSWORD %L', login, password);
  END IF;
  EXECUTE format('REVOKE ALL ON TABLE managedprogram, poscommands, config, launcherstatus, korvantis_till FROM %I', login);
  EXECUTE format('REVOKE ALL ON SEQUENCE managedprogram_id_seq, %s FROM %I',
                 pg_get_serial_sequence('poscommands', 'id'), login);
  IF NOT pg_has_role(login, joins, 'MEMBER') THEN
    EXECUTE format('GRANT %I TO %I', joins, login);
  END IF;
  IF pg_has_role(login, leaves, 'MEMBER') THEN
    EXECUTE format('REVOKE %I FROM %I', leaves, login);
  END IF;
END
$$;

-- Functions that make roles are the admin's; the two the policies use are
-- everyone's. A function's names are looked up in this schema only: a
-- till's temporary table of the same name is never taken for the real one.
REVOKE ALL ON FUNCTION korvantis_add_till(name, text, integer), korvantis_add_frontend(name, text),
  korvantis_make_login(name, text, text, name, name) FROM PUBLIC;
DO $$
DECLARE
  schema name := (SELECT relnamespace::regnamespace::name FROM pg_class WHERE oid = to_regclass('managedprogram'));
  owner name := (SELECT pg_get_userbyid(relowner) FROM pg_class WHERE oid = to_regclass('managedprogram'));
  f text;
BEGIN
  FOREACH f IN ARRAY ARRAY['korvantis_station()', 'korvantis_confined()', 'korvantis_add_till(name, text, integer)',
                           'korvantis_add_frontend(name, text)', 'korvantis_make_login(name, text, text, name, name)'] LOOP
    EXECUTE format('ALTER FUNCTION %s SET search_path = %I, pg_temp', f, schema);
    EXECUTE format('ALTER FUNCTION %s OWNER TO %I', f, owner);
  END LOOP;
  EXECUTE format('ALTER TABLE korvantis_till OWNER TO %I', owner);
  IF NOT has_schema_privilege('korvantis_tills', schema, 'USAGE') THEN
    EXECUTE format('GRANT USAGE ON SCHEMA %I TO korvantis_tills', schema);
  END IF;
  IF NOT has_schema_privilege('korvantis_frontends', schema, 'USAGE') THEN
    EXECUTE format('GRANT USAGE ON SCHEMA %I TO korvantis_frontends', schema);
  END IF;
  EXECUTE format('REVOKE ALL ON SEQUENCE %1$s FROM korvantis_tills, korvantis_frontends; '
                 'GRANT USAGE ON SEQUENCE %1$s TO korvantis_tills, korvantis_frontends',
                 pg_get_serial_sequence('poscommands', 'id'));
END
$$;

-- What the launcher runs: the schema check and the update's credentials
-- (config), the template copy, the program manager's edits and Add
-- (managedprogram, its sequence), the receipt pass (poscommands). Granted
-- afresh, so that the groups hold exactly this after every run.
REVOKE ALL ON config, managedprogram, poscommands, launcherstatus, korvantis_till
  FROM korvantis_tills, korvantis_frontends;
REVOKE ALL ON SEQUENCE managedprogram_id_seq FROM korvantis_tills, korvantis_frontends;
GRANT SELECT ON config TO korvantis_tills;
GRANT SELECT, INSERT ON managedprogram TO korvantis_tills;
GRANT UPDATE (name, path, executable, arguments, runonstart, restartonfailure) ON managedprogram TO korvantis_tills;
GRANT USAGE ON SEQUENCE managedprogram_id_seq TO korvantis_tills;
GRANT SELECT, INSERT, DELETE ON poscommands TO korvantis_tills;
GRANT SELECT ON korvantis_till TO korvantis_tills;
GRANT SELECT, INSERT, UPDATE ON launcherstatus TO korvantis_tills;
GRANT INSERT ON poscommands TO korvantis_frontends;

ALTER TABLE managedprogram ENABLE ROW LEVEL SECURITY;
ALTER TABLE poscommands ENABLE ROW LEVEL SECURITY;
ALTER TABLE korvantis_till ENABLE ROW LEVEL SECURITY;
ALTER TABLE launcherstatus ENABLE ROW LEVEL SECURITY;

-- Everyone else keeps what their grants give, as before this file.
DROP POLICY IF EXISTS korvantis_others ON managedprogram;
CREATE POLICY korvantis_others ON managedprogram
  USING (NOT (SELECT korvantis_confined())) WITH CHECK (NOT (SELECT korvantis_confined()));
DROP POLICY IF EXISTS korvantis_others ON poscommands;
CREATE POLICY korvantis_others ON poscommands
  USING (NOT (SELECT korvantis_confined())) WITH CHECK (NOT (SELECT korvantis_confined()));
DROP POLICY IF EXISTS korvantis_others ON launcherstatus;
CREATE POLICY korvantis_others ON launcherstatus
  USING (NOT (SELECT korvantis_confined())) WITH CHECK (NOT (SELECT korvantis_confined()));

-- A till: its own rows and the templates to read, its own rows to add and edit.
DROP POLICY IF EXISTS korvantis_till_reads ON managedprogram;
CREATE POLICY korvantis_till_reads ON managedprogram FOR SELECT TO korvantis_tills
  USING (machineid IS NULL OR machineid = (SELECT korvantis_station()));
DROP POLICY IF EXISTS korvantis_till_adds ON managedprogram;
CREATE POLICY korvantis_till_adds ON managedprogram FOR INSERT TO korvantis_tills
  WITH CHECK (machineid = (SELECT korvantis_station()));
DROP POLICY IF EXISTS korvantis_till_edits ON managedprogram;
CREATE POLICY korvantis_till_edits ON managedprogram FOR UPDATE TO korvantis_tills
  USING (machineid = (SELECT korvantis_station())) WITH CHECK (machineid = (SELECT korvantis_station()));

-- A till: its own receipts to read, delete and queue.
DROP POLICY IF EXISTS korvantis_till_reads ON poscommands;
CREATE POLICY korvantis_till_reads ON poscommands FOR SELECT TO korvantis_tills
  USING (stationid = (SELECT korvantis_station()));
DROP POLICY IF EXISTS korvantis_till_deletes ON poscommands;
CREATE POLICY korvantis_till_deletes ON poscommands FOR DELETE TO korvantis_tills
  USING (stationid = (SELECT korvantis_station()));
DROP POLICY IF EXISTS korvantis_till_queues ON poscommands;
CREATE POLICY korvantis_till_queues ON poscommands FOR INSERT TO korvantis_tills
  WITH CHECK (stationid = (SELECT korvantis_station()));

-- A till: its own status row to read (the upsert looks at it), add and update.
DROP POLICY IF EXISTS korvantis_till_status ON launcherstatus;
CREATE POLICY korvantis_till_status ON launcherstatus TO korvantis_tills
  USING (stationid = (SELECT korvantis_station())) WITH CHECK (stationid = (SELECT korvantis_station()));

-- A front-end: receipts to queue, for any station, and nothing to read.
DROP POLICY IF EXISTS korvantis_frontend_queues ON poscommands;
CREATE POLICY korvantis_frontend_queues ON poscommands FOR INSERT TO korvantis_frontends
  WITH CHECK (true);

-- A till sees which station it is confined to, and no other till's.
DROP POLICY IF EXISTS korvantis_till_own ON korvantis_till;
CREATE POLICY korvantis_till_own ON korvantis_till FOR SELECT TO korvantis_tills
  USING (role = current_user);

COMMIT;
