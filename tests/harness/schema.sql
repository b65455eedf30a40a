CREATE SEQUENCE managedprogram_id_seq;
CREATE TABLE managedprogram (id integer PRIMARY KEY DEFAULT nextval('managedprogram_id_seq'),
  name text, path text, executable text, arguments text,
  runonstart boolean DEFAULT true, restartonfailure boolean DEFAULT true, machineid integer);
CREATE TABLE config (schemaversion integer, te_username text, te_password text);
CREATE TABLE poscommands (id serial PRIMARY KEY, stationid integer, device integer, command text, printjob text);
