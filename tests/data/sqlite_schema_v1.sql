-- The SQLite schema that qxadmin init created before the schema table (schema.h) and the
-- outcome columns: the starting point of the upgrade tests.
create table QX_SERVICE_LIST (
  id NUMBER(38) NOT NULL PRIMARY KEY,
  name VARCHAR2(100) NOT NULL,
  oracle_host VARCHAR2(255),
  oracle_port NUMBER(5),
  work_port NUMBER(5),
  manage_port NUMBER(5),
  ipinterface VARCHAR2(64));
create table qx_service_filter (
  id NUMBER(38) NOT NULL PRIMARY KEY,
  service_id NUMBER(38) NOT NULL,
  filter_type VARCHAR2(10),
  service_name VARCHAR2(200),
  sid VARCHAR2(100),
  program VARCHAR2(2000),
  host VARCHAR2(200),
  username VARCHAR2(100),
  orauser VARCHAR2(100),
  date_expr VARCHAR2(2000),
  enabled CHAR(1));
create table qx_sql_filter (
  id NUMBER(38) NOT NULL PRIMARY KEY,
  service_id NUMBER(38) NOT NULL,
  filter_type VARCHAR2(10),
  exec_date_expr VARCHAR2(2000),
  exec_time VARCHAR2(30),
  sqlstatement VARCHAR2(4000),
  object_list VARCHAR2(4000),
  enabled CHAR(1));
create table qx_service_status (
  service_id NUMBER(38) NOT NULL,
  host VARCHAR2(255) NOT NULL,
  service_start TEXT,
  last_update TEXT);
create index qx_service_status_host on qx_service_status (host);
create table qx_client_sql (
  id NUMBER(38) NOT NULL PRIMARY KEY,
  sqlhash VARCHAR2(45) NOT NULL,
  sqltext VARCHAR2(2000),
  sqltext1 VARCHAR2(2000),
  sqltext2 VARCHAR2(2000),
  sqltext3 VARCHAR2(2000));
create index qx_client_sql_hash on qx_client_sql (sqlhash);
create table qx_client_sql_history (
  id NUMBER(38) NOT NULL PRIMARY KEY,
  sql_id NUMBER(38),
  srvc_id NUMBER(38),
  exec_date TEXT,
  exec_time NUMBER,
  session_id NUMBER(38),
  host VARCHAR2(200),
  ip VARCHAR2(30),
  orauser VARCHAR2(30),
  service_name VARCHAR2(100),
  sid VARCHAR2(20),
  program VARCHAR2(2000),
  username VARCHAR2(100));
create table qx_sequences (
  name VARCHAR2(30) NOT NULL PRIMARY KEY,
  value INTEGER NOT NULL);
insert into qx_sequences (name, value) values
  ('qx_session_id_seq', 0), ('qx_client_sql_id_seq', 0),
  ('qx_client_sqlhist_id_seq', 0), ('qx_service_id_seq', 0),
  ('qx_service_filter_id_seq', 0), ('qx_sql_filter_id_seq', 0);
