-- Korvantis Launcher: a till's login opens only that till.
--
-- Adds to a database made by database.sql what confines a till's role to its
-- own station by row-level security, the calls that make such roles, and a
-- check of them all:
--   psql -v ON_ERROR_STOP=1 -d DATABASE -f /usr/share/korvantis-launcher/confined-tills.sql
--   SELECT korvantis_add_till('till7', 'its password', 7);   -- NULL: certificate log-in
--   SELECT korvantis_add_frontend('kitchen', 'its password'); -- may only queue receipts
--   SELECT korvantis_add_frontend('office', 'its password', '{3,4}'); -- and open drawers 3 and 4
--   SELECT * FROM korvantis_check();  -- every login that can reach another station's rows, and why
-- Run it as a superuser; the calls likewise (they make roles: the tables'
-- owner needs no CREATEROLE, and should have none). It changes no row of the
-- three tables and is safe to run again. Roles that are neither tills nor
-- front-ends (the tables' owner, a role the tills share, the office's) keep
-- exactly what their grants give them: confining tills one at a time is
-- possible.
--
-- A confined till's role
--   reads config, the template programs (machineid NULL) and its own rows of
--   managedprogram; adds and edits rows of its own station only;
--   reads, queues (receipts and drawer pulses: devices 1 and 2) and deletes
--   its own station's poscommands rows only, and marks them with the print
--   job that holds them (printjob, nothing else of the row);
--   writes its own station's launcherstatus row only (every row stays
--   readable to whoever may read the table, the office among them);
--   sees no other station's rows and changes neither config nor a template.
-- A front-end's role may only INSERT into poscommands: receipts for any
-- station, drawer pulses for the stations named when it was made (none
-- unless named). Neither chooses a row's id: the server numbers the rows.
-- Only a role the policies can hold is confined: no superuser, BYPASSRLS,
-- CREATEROLE, CREATEDB or REPLICATION, no owner of the tables, and a member
-- of no role but this file's group (SET ROLE would leave the group's limits
-- behind, inheriting or not). docs/security.md says what that protects and
-- what it does not.
BEGIN;
SET LOCAL client_min_messages = warning;

DO $$
DECLARE
  owner name := (SELECT pg_get_userbyid(relowner) FROM pg_class WHERE oid = to_regclass('managedprogram'));
BEGIN
  IF to_regclass('managedprogram') IS NULL OR to_regclass('poscommands') IS NULL
     OR to_regclass('config') IS NULL OR to_regclass('launcherstatus') IS NULL THEN
    RAISE EXCEPTION 'managedprogram, poscommands, config or launcherstatus is missing here: run database.sql on this database first';
  END IF;
  IF (SELECT attidentity FROM pg_attribute WHERE attrelid = 'poscommands'::regclass AND attname = 'id') <> 'a' THEN
    RAISE EXCEPTION 'poscommands.id is not yet the server''s own: run this package''s database.sql on this database first';
  END IF;
  -- Roles belong to the whole cluster: a second database of a chain finds them made.
  IF NOT EXISTS (SELECT FROM pg_roles WHERE rolname = 'korvantis_tills') THEN
    CREATE ROLE korvantis_tills NOLOGIN;
  END IF;
  IF NOT EXISTS (SELECT FROM pg_roles WHERE rolname = 'korvantis_frontends') THEN
    CREATE ROLE korvantis_frontends NOLOGIN;
  END IF;
  IF EXISTS (SELECT FROM pg_roles WHERE rolname = owner AND rolcreaterole AND NOT rolsuper) THEN
    RAISE WARNING 'the tables'' owner % has CREATEROLE: it can make itself a member of roles that run programs on the database server (pg_execute_server_program). It needs none: ALTER ROLE % NOCREATEROLE', owner, owner;
  END IF;
END
$$;

-- Which station each till's role is confined to, in this database.
CREATE TABLE IF NOT EXISTS korvantis_till (
  role name PRIMARY KEY,
  station integer NOT NULL CHECK (station BETWEEN 1 AND 32767)
);

-- Whose drawers each front-end's role may open, in this database.
CREATE TABLE IF NOT EXISTS korvantis_drawer (
  role name NOT NULL,
  station integer NOT NULL CHECK (station BETWEEN 1 AND 32767),
  PRIMARY KEY (role, station)
);

-- The station of the role running the statement; NULL for a role that is no
-- confined till. The policies ask it once per statement.
CREATE OR REPLACE FUNCTION korvantis_station() RETURNS integer
LANGUAGE sql STABLE AS $$
  SELECT station FROM korvantis_till WHERE role = current_user
$$;

-- The stations whose drawers the front-end running the statement may open.
CREATE OR REPLACE FUNCTION korvantis_drawers() RETURNS integer[]
LANGUAGE sql STABLE AS $$
  SELECT coalesce(array_agg(station), '{}') FROM korvantis_drawer WHERE role = current_user
$$;

-- True for a role that gets its rights on these tables as a till or a
-- front-end, and therefore only what the policies below allow it.
CREATE OR REPLACE FUNCTION korvantis_confined() RETURNS boolean
LANGUAGE sql STABLE AS $$
  SELECT pg_has_role('korvantis_tills', 'USAGE') OR pg_has_role('korvantis_frontends', 'USAGE')
$$;

-- What makes a role one that row-level security cannot hold, each with what
-- to change; nothing for a role that can be held (or does not exist). A
-- membership counts however the role holds it: directly or through groups,
-- inheriting or not, since SET ROLE takes it to the other role's rights.
-- This file's groups are the one membership allowed.
CREATE OR REPLACE FUNCTION korvantis_escapes(login name) RETURNS SETOF text
LANGUAGE plpgsql STABLE AS $$
DECLARE
  groups name[] := ARRAY['korvantis_tills', 'korvantis_frontends']::name[];
  r record;
  attributes text[];
  owns text;
  reach text;
  revokes text;
BEGIN
  IF login = ANY (groups) THEN
    RETURN NEXT format('%I is the group of confined roles, not a till or front-end: give each a role of its own', login);
    RETURN;
  END IF;
  SELECT * INTO r FROM pg_roles WHERE rolname = login;
  IF NOT FOUND THEN
    RETURN;
  END IF;
  attributes := array_remove(ARRAY[CASE WHEN r.rolsuper THEN 'SUPERUSER' END, CASE WHEN r.rolbypassrls THEN 'BYPASSRLS' END,
                                   CASE WHEN r.rolcreaterole THEN 'CREATEROLE' END, CASE WHEN r.rolcreatedb THEN 'CREATEDB' END,
                                   CASE WHEN r.rolreplication THEN 'REPLICATION' END], NULL);
  IF cardinality(attributes) > 0 THEN
    RETURN NEXT format('it has %s: ALTER ROLE %I NO%s', array_to_string(attributes, ', '), login,
                       array_to_string(attributes, ' NO'));
  END IF;
  SELECT string_agg(what, ', ') INTO owns FROM (
    SELECT c.relname::text AS what FROM pg_class c
      WHERE c.relowner = r.oid AND c.oid IN (to_regclass('managedprogram'), to_regclass('poscommands'),
        to_regclass('config'), to_regclass('launcherstatus'), to_regclass('korvantis_till'),
        to_regclass('korvantis_drawer'), to_regclass('managedprogram_id_seq'),
        pg_get_serial_sequence('poscommands', 'id')::regclass)
    UNION ALL SELECT 'the schema ' || n.nspname FROM pg_namespace n
      WHERE n.nspowner = r.oid AND n.oid = (SELECT relnamespace FROM pg_class WHERE oid = to_regclass('managedprogram'))
    UNION ALL SELECT 'the database ' || d.datname FROM pg_database d
      WHERE d.datdba = r.oid AND d.datname = current_database()) o;
  IF owns IS NOT NULL THEN
    RETURN NEXT format('it owns %s, and an owner is never held by row-level security: give the till or front-end a role of its own', owns);
  END IF;
  SELECT string_agg(quote_ident(g.rolname), ', ' ORDER BY g.rolname) INTO reach FROM pg_roles g
    WHERE g.oid <> r.oid AND NOT g.rolname = ANY (groups) AND g.rolname <> 'pg_database_owner'
      AND pg_has_role(r.oid, g.oid, 'MEMBER');
  IF reach IS NOT NULL THEN
    -- What to revoke: its own memberships, else those of this file's group it is in.
    SELECT string_agg(format('REVOKE %I FROM %I', g.rolname, m.rolname), '; ' ORDER BY m.rolname, g.rolname)
      INTO revokes FROM pg_auth_members a JOIN pg_roles g ON g.oid = a.roleid JOIN pg_roles m ON m.oid = a.member
      WHERE NOT g.rolname = ANY (groups)
        AND (m.oid = r.oid OR (m.rolname = ANY (groups) AND pg_has_role(r.oid, m.oid, 'MEMBER')));
    RETURN NEXT format('it can act as %s (a member, directly or through groups, inheriting or not): %s',
                       reach, coalesce(revokes, 'revoke those memberships'));
  END IF;
END
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
  DELETE FROM korvantis_drawer WHERE role = till;
  RETURN format('%s is confined to station %s', till, station);
END
$$;

-- Creates or updates a login role that may only queue poscommands rows:
-- receipts for any station, drawer pulses for the stations in drawers.
DROP FUNCTION IF EXISTS korvantis_add_frontend(name, text);
CREATE OR REPLACE FUNCTION korvantis_add_frontend(frontend name, password text, drawers integer[] DEFAULT '{}')
RETURNS text
LANGUAGE plpgsql AS $$
DECLARE
  bad text := (SELECT string_agg(coalesce(d::text, 'NULL'), ', ') FROM unnest(drawers) d
                WHERE d IS NULL OR d NOT BETWEEN 1 AND 32767);
BEGIN
  IF bad IS NOT NULL THEN
    RAISE EXCEPTION 'korvantis_add_frontend: drawers % is no station id (a whole number from 1 to 32767)', bad;
  END IF;
  PERFORM korvantis_make_login(frontend, password, 'korvantis_add_frontend', 'korvantis_frontends', 'korvantis_tills');
  DELETE FROM korvantis_till WHERE role = frontend;
  DELETE FROM korvantis_drawer WHERE role = frontend;
  INSERT INTO korvantis_drawer (role, station) SELECT DISTINCT frontend, d FROM unnest(drawers) d;
  RETURN format('%s may queue receipts for any station, and drawer pulses for %s', frontend,
                coalesce((SELECT 'station ' || string_agg(DISTINCT d::text, ', ') FROM unnest(drawers) d), 'none'));
END
$$;

-- The common part of the two: the login, a member of group `joins` and not
-- of `leaves`, with no right on the tables beyond what the group gives (a
-- role that had the shared grants, or more, keeps none of them). A role that
-- the policies cannot hold is refused, with what to change, and nothing is
-- changed.
CREATE OR REPLACE FUNCTION korvantis_make_login(login name, password text, caller text, joins name, leaves name)
RETURNS void
LANGUAGE plpgsql AS $$
DECLARE
  why text;
BEGIN
  IF login IS NULL OR login = '' THEN
    RAISE EXCEPTION '%: the role name is empty', caller;
  END IF;
  IF EXISTS (SELECT FROM pg_roles WHERE rolname = login) THEN
    EXECUTE format('ALTER ROLE %I LOGIN PASSWORD %L', login, password);
  ELSE
    EXECUTE format('CREATE ROLE %I LOGIN PASSWORD %L', login, password);
  END IF;
  EXECUTE format('REVOKE ALL ON TABLE managedprogram, poscommands, config, launcherstatus, korvantis_till, '
                 'korvantis_drawer FROM %I', login);
  EXECUTE format('REVOKE ALL ON SEQUENCE managedprogram_id_seq, %s FROM %I',
                 pg_get_serial_sequence('poscommands', 'id'), login);
  IF NOT pg_has_role(login, joins, 'MEMBER') THEN
    EXECUTE format('GRANT %I TO %I', joins, login);
  END IF;
  IF pg_has_role(login, leaves, 'MEMBER') THEN
    EXECUTE format('REVOKE %I FROM %I', leaves, login);
  END IF;
  -- Looked at as made, so that what its group holds counts too; refused,
  -- the role is left as it was.
  SELECT string_agg(e, '; ') INTO why FROM korvantis_escapes(login) e;
  IF why IS NOT NULL THEN
    RAISE EXCEPTION '%: role % cannot be confined: %', caller, login, why;
  END IF;
END
$$;

-- Every login that can reach another station's rows, and why: the roles
-- that are not confined and have rights on the tables (the owner, a shared
-- login, the office's), and every confined one that was changed since it
-- was confined (an attribute, a membership, a right of its own or of
-- PUBLIC's beyond what its group gives). A till or front-end listed here is
-- not held to its station. For the admin; no row for a login that reaches
-- nothing.
CREATE OR REPLACE FUNCTION korvantis_check() RETURNS TABLE (login name, confined text, why text)
LANGUAGE plpgsql STABLE AS $$
DECLARE
  l record;
  t text;
  p text;
  seq text := pg_get_serial_sequence('poscommands', 'id');
  owner name := (SELECT pg_get_userbyid(relowner) FROM pg_class WHERE oid = to_regclass('managedprogram'));
BEGIN
  FOR l IN SELECT r.rolname, r.oid, r.rolsuper, r.rolbypassrls, r.rolcreaterole, r.rolreplication, k.station,
                  pg_has_role(r.oid, 'korvantis_tills', 'MEMBER') AS till,
                  pg_has_role(r.oid, 'korvantis_frontends', 'MEMBER') AS frontend
             FROM pg_roles r LEFT JOIN korvantis_till k ON k.role = r.rolname
            WHERE r.rolcanlogin ORDER BY r.rolname LOOP
    login := l.rolname;
    -- A superuser is a member of every role, this file's groups included.
    IF l.rolsuper THEN
      confined := 'no';
      why := 'SUPERUSER: every row of every station';
      RETURN NEXT;
      CONTINUE;
    END IF;
    confined := CASE WHEN l.till AND l.frontend THEN 'till and front-end'
                     WHEN l.till THEN coalesce('till of station ' || l.station, 'till of no station')
                     WHEN l.frontend THEN 'front-end' ELSE 'no' END;
    IF NOT (l.till OR l.frontend) THEN
      IF l.rolbypassrls THEN
        why := 'BYPASSRLS: every row of every station it has rights on';
        RETURN NEXT;
      END IF;
      IF l.rolcreaterole THEN
        why := 'CREATEROLE: it can make itself a member of any role, the tables'' owner among them';
        RETURN NEXT;
      END IF;
      IF l.rolreplication THEN
        why := 'REPLICATION: it can copy the whole cluster';
        RETURN NEXT;
      END IF;
      IF pg_has_role(l.oid, owner, 'MEMBER') THEN
        why := CASE WHEN l.rolname = owner THEN 'owns the tables' ELSE format('can act as %I, the tables'' owner', owner) END;
        RETURN NEXT;
        CONTINUE;
      END IF;
      FOREACH t IN ARRAY ARRAY['managedprogram', 'poscommands', 'launcherstatus'] LOOP
        SELECT string_agg(q, ', ') INTO p FROM unnest(ARRAY['SELECT', 'INSERT', 'UPDATE', 'DELETE', 'TRUNCATE']) q
          WHERE has_table_privilege(l.oid, t, q);
        IF p IS NOT NULL THEN
          why := format('not confined: %s on %s, for every station', p, t);
          RETURN NEXT;
        END IF;
      END LOOP;
      CONTINUE;
    END IF;
    FOR why IN SELECT korvantis_escapes(l.rolname) LOOP
      RETURN NEXT;
    END LOOP;
    IF l.till AND l.frontend THEN
      why := 'a member of both korvantis_tills and korvantis_frontends: make it again with korvantis_add_till or korvantis_add_frontend';
      RETURN NEXT;
    END IF;
    -- Acting as the owner it has every right: nothing more to say.
    IF pg_has_role(l.oid, owner, 'MEMBER') THEN
      CONTINUE;
    END IF;
    -- Rights no confined role is given: on tables without policies for them,
    -- or that no policy holds (TRUNCATE, triggers, references), the ids.
    FOR t, p IN SELECT tt, pp FROM unnest(ARRAY['config', 'korvantis_till', 'korvantis_drawer']) tt,
                       unnest(ARRAY['INSERT', 'UPDATE', 'DELETE', 'TRUNCATE', 'TRIGGER', 'REFERENCES']) pp
                UNION ALL SELECT tt, pp FROM unnest(ARRAY['managedprogram', 'poscommands', 'launcherstatus']) tt,
                       unnest(ARRAY['TRUNCATE', 'TRIGGER', 'REFERENCES']) pp LOOP
      IF has_table_privilege(l.oid, t, p) THEN
        why := format('%s on %s%s', p, t, CASE WHEN has_table_privilege('public', t, p) THEN ' (granted to PUBLIC)' ELSE '' END);
        RETURN NEXT;
      END IF;
    END LOOP;
    IF has_column_privilege(l.oid, 'poscommands', 'id', 'INSERT') OR has_column_privilege(l.oid, 'poscommands', 'id', 'UPDATE') THEN
      why := 'it may choose poscommands ids (INSERT or UPDATE on poscommands.id)';
      RETURN NEXT;
    END IF;
    IF has_sequence_privilege(l.oid, seq, 'USAGE') OR has_sequence_privilege(l.oid, seq, 'UPDATE') THEN
      why := format('it may take or set values of %s, the ids of poscommands', seq);
      RETURN NEXT;
    END IF;
    FOREACH t IN ARRAY ARRAY['korvantis_add_till(name, text, integer)', 'korvantis_add_frontend(name, text, integer[])',
                             'korvantis_make_login(name, text, text, name, name)'] LOOP
      IF has_function_privilege(l.oid, t, 'EXECUTE') THEN
        why := format('EXECUTE on %s', t);
        RETURN NEXT;
      END IF;
    END LOOP;
  END LOOP;
END
$$;

-- Functions that make roles, and the check, are the admin's; those the
-- policies use are everyone's. A function's names are looked up in this
-- schema only: a till's temporary table of the same name is never taken for
-- the real one.
REVOKE ALL ON FUNCTION korvantis_add_till(name, text, integer), korvantis_add_frontend(name, text, integer[]),
  korvantis_make_login(name, text, text, name, name), korvantis_escapes(name), korvantis_check() FROM PUBLIC;
DO $$
DECLARE
  schema name := (SELECT relnamespace::regnamespace::name FROM pg_class WHERE oid = to_regclass('managedprogram'));
  owner name := (SELECT pg_get_userbyid(relowner) FROM pg_class WHERE oid = to_regclass('managedprogram'));
  f text;
BEGIN
  FOREACH f IN ARRAY ARRAY['korvantis_station()', 'korvantis_drawers()', 'korvantis_confined()',
                           'korvantis_escapes(name)', 'korvantis_add_till(name, text, integer)',
                           'korvantis_add_frontend(name, text, integer[])',
                           'korvantis_make_login(name, text, text, name, name)', 'korvantis_check()'] LOOP
    EXECUTE format('ALTER FUNCTION %s SET search_path = %I, pg_temp', f, schema);
    EXECUTE format('ALTER FUNCTION %s OWNER TO %I', f, owner);
  END LOOP;
  EXECUTE format('ALTER TABLE korvantis_till OWNER TO %I', owner);
  EXECUTE format('ALTER TABLE korvantis_drawer OWNER TO %I', owner);
  IF NOT has_schema_privilege('korvantis_tills', schema, 'USAGE') THEN
    EXECUTE format('GRANT USAGE ON SCHEMA %I TO korvantis_tills', schema);
  END IF;
  IF NOT has_schema_privilege('korvantis_frontends', schema, 'USAGE') THEN
    EXECUTE format('GRANT USAGE ON SCHEMA %I TO korvantis_frontends', schema);
  END IF;
  -- The ids are the server's: a row's id comes from the identity, which
  -- needs no right on its sequence. Whoever could take values from it could
  -- use them up for everyone; only the owner can.
  EXECUTE format('REVOKE ALL ON SEQUENCE %s FROM PUBLIC, korvantis_tills, korvantis_frontends',
                 pg_get_serial_sequence('poscommands', 'id'));
END
$$;

-- What the launcher runs: the schema check and the update's credentials
-- (config), the template copy, the program manager's edits and Add
-- (managedprogram, its sequence), the receipt pass (poscommands: read,
-- marked with the print job, deleted), the status row. Granted afresh, so
-- that the groups hold exactly this after every run. A row is queued with
-- its station, device and text only: never with an id, a mark or a time.
REVOKE ALL ON config, managedprogram, poscommands, launcherstatus, korvantis_till, korvantis_drawer
  FROM korvantis_tills, korvantis_frontends;
REVOKE ALL ON SEQUENCE managedprogram_id_seq FROM korvantis_tills, korvantis_frontends;
GRANT SELECT ON config TO korvantis_tills;
GRANT SELECT, INSERT ON managedprogram TO korvantis_tills;
GRANT UPDATE (name, path, executable, arguments, runonstart, restartonfailure) ON managedprogram TO korvantis_tills;
GRANT USAGE ON SEQUENCE managedprogram_id_seq TO korvantis_tills;
GRANT SELECT, DELETE ON poscommands TO korvantis_tills;
GRANT INSERT (stationid, device, command) ON poscommands TO korvantis_tills, korvantis_frontends;
GRANT UPDATE (printjob) ON poscommands TO korvantis_tills;
GRANT SELECT ON korvantis_till TO korvantis_tills;
GRANT SELECT ON korvantis_drawer TO korvantis_frontends;
GRANT SELECT, INSERT, UPDATE ON launcherstatus TO korvantis_tills;

ALTER TABLE managedprogram ENABLE ROW LEVEL SECURITY;
ALTER TABLE poscommands ENABLE ROW LEVEL SECURITY;
ALTER TABLE korvantis_till ENABLE ROW LEVEL SECURITY;
ALTER TABLE korvantis_drawer ENABLE ROW LEVEL SECURITY;
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

-- A till: its own receipts to read, mark, delete and queue; only the
-- devices the launcher reads (1 receipt printer, 2 cash drawer), since a row
-- of another device would lie in the queue for good.
DROP POLICY IF EXISTS korvantis_till_reads ON poscommands;
CREATE POLICY korvantis_till_reads ON poscommands FOR SELECT TO korvantis_tills
  USING (stationid = (SELECT korvantis_station()));
DROP POLICY IF EXISTS korvantis_till_marks ON poscommands;
CREATE POLICY korvantis_till_marks ON poscommands FOR UPDATE TO korvantis_tills
  USING (stationid = (SELECT korvantis_station())) WITH CHECK (stationid = (SELECT korvantis_station()));
DROP POLICY IF EXISTS korvantis_till_deletes ON poscommands;
CREATE POLICY korvantis_till_deletes ON poscommands FOR DELETE TO korvantis_tills
  USING (stationid = (SELECT korvantis_station()));
DROP POLICY IF EXISTS korvantis_till_queues ON poscommands;
CREATE POLICY korvantis_till_queues ON poscommands FOR INSERT TO korvantis_tills
  WITH CHECK (stationid = (SELECT korvantis_station()) AND device IN (1, 2));

-- A till: its own status row to read (the upsert looks at it), add and update.
DROP POLICY IF EXISTS korvantis_till_status ON launcherstatus;
CREATE POLICY korvantis_till_status ON launcherstatus TO korvantis_tills
  USING (stationid = (SELECT korvantis_station())) WITH CHECK (stationid = (SELECT korvantis_station()));

-- A front-end: receipts to queue for any station, drawer pulses for the
-- stations it was given, and nothing to read.
DROP POLICY IF EXISTS korvantis_frontend_queues ON poscommands;
CREATE POLICY korvantis_frontend_queues ON poscommands FOR INSERT TO korvantis_frontends
  WITH CHECK (stationid BETWEEN 1 AND 32767
              AND (device = 1 OR (device = 2 AND stationid = ANY ((SELECT korvantis_drawers())::integer[]))));

-- A till sees which station it is confined to, a front-end which drawers it
-- may open: each its own row, no other's.
DROP POLICY IF EXISTS korvantis_till_own ON korvantis_till;
CREATE POLICY korvantis_till_own ON korvantis_till FOR SELECT TO korvantis_tills
  USING (role = current_user);
DROP POLICY IF EXISTS korvantis_frontend_own ON korvantis_drawer;
CREATE POLICY korvantis_frontend_own ON korvantis_drawer FOR SELECT TO korvantis_frontends
  USING (role = current_user);

COMMIT;
