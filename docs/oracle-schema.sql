-- Quorvex repository schema for Oracle Database (12.1 or later).
--
-- Run it connected as the repository user, the schema the service logs on to: the service
-- checks its installation by looking for QX_SERVICE_LIST among that user's own tables, so the
-- objects must be owned by that user (synonyms to another schema are not enough).
--
--   sqlplus qxrep/password@dbhost:1521/ORCLPDB1 @oracle-schema.sql
--
-- This script is the statement list of src/repository/schema.cpp (the schema table both
-- backends are made from); a test keeps the two equal.
--
-- Widths: the service cuts the values it writes to the limits below (in characters). Short
-- texts use CHAR length semantics so that a value cut to N characters fits whatever the
-- database character set. The statement pieces and the program name are up to 2000
-- characters; they are VARCHAR2(4000 BYTE), the most a VARCHAR2 holds with the default
-- MAX_STRING_SIZE = STANDARD, which holds 2000 characters of the service's single-byte
-- client character set even when the database stores them in AL32UTF8.

-- Monitored services: one row per Oracle listener this or another instance watches.
-- work_port 0 = passive (capture on the interface whose IPv4 address is ipinterface).
CREATE TABLE QX_SERVICE_LIST (
  id            NUMBER(10)          NOT NULL,
  name          VARCHAR2(100 CHAR)  NOT NULL,
  oracle_host   VARCHAR2(200 CHAR)  NOT NULL,
  oracle_port   NUMBER(5)           NOT NULL,
  work_port     NUMBER(5)           DEFAULT 0 NOT NULL,
  manage_port   NUMBER(5)           NOT NULL,
  ipinterface   VARCHAR2(45 CHAR),
  CONSTRAINT qx_service_list_pk PRIMARY KEY (id)
);

-- Connection filters of a service; enabled = 'Y' marks the rows in use.
CREATE TABLE qx_service_filter (
  id            NUMBER(10)          NOT NULL,
  service_id    NUMBER(10)          NOT NULL,
  filter_type   VARCHAR2(10 CHAR),               -- INCLUDE or EXCLUDE
  service_name  VARCHAR2(200 CHAR),
  sid           VARCHAR2(100 CHAR),
  program       VARCHAR2(2000 CHAR),
  host          VARCHAR2(200 CHAR),
  username      VARCHAR2(100 CHAR),
  orauser       VARCHAR2(128 CHAR),
  date_expr     VARCHAR2(2000 CHAR),             -- SQL condition, may use :CONN_TIME
  enabled       CHAR(1 CHAR)        DEFAULT 'Y',
  CONSTRAINT qx_service_filter_pk PRIMARY KEY (id),
  CONSTRAINT qx_service_filter_fk FOREIGN KEY (service_id) REFERENCES QX_SERVICE_LIST (id)
);
CREATE INDEX qx_service_filter_svc ON qx_service_filter (service_id);

-- Statement filters of a service; enabled = 'Y' marks the rows in use.
CREATE TABLE qx_sql_filter (
  id              NUMBER(10)          NOT NULL,
  service_id      NUMBER(10)          NOT NULL,
  filter_type     VARCHAR2(10 CHAR),             -- INCLUDE or EXCLUDE
  exec_date_expr  VARCHAR2(2000 CHAR),           -- SQL condition, :date = the current date
  exec_time       VARCHAR2(30 CHAR),             -- elapsed-time threshold in milliseconds
  sqlstatement    VARCHAR2(2000 CHAR),           -- comma-separated words
  object_list     VARCHAR2(2000 CHAR),           -- comma-separated words
  enabled         CHAR(1 CHAR)        DEFAULT 'Y',
  CONSTRAINT qx_sql_filter_pk PRIMARY KEY (id),
  CONSTRAINT qx_sql_filter_fk FOREIGN KEY (service_id) REFERENCES QX_SERVICE_LIST (id)
);
CREATE INDEX qx_sql_filter_svc ON qx_sql_filter (service_id);

-- One row per running service and monitoring host, refreshed every five seconds.
-- Times are the database server's clock (sysdate).
CREATE TABLE qx_service_status (
  service_id     NUMBER(10)          NOT NULL,
  host           VARCHAR2(255 CHAR)  NOT NULL,
  service_start  DATE,
  last_update    DATE,
  CONSTRAINT qx_service_status_pk PRIMARY KEY (service_id, host)
);
CREATE INDEX qx_service_status_host ON qx_service_status (host);

-- Statement catalogue: every distinct statement once, in four pieces of 2000 characters.
-- sqlhash is not declared unique: two monitoring hosts may store the same new statement at
-- the same moment, and a rejected insert would lose that execution; either row serves.
CREATE TABLE qx_client_sql (
  id        NUMBER(12)           NOT NULL,
  sqlhash   VARCHAR2(45 CHAR)    NOT NULL,
  sqltext   VARCHAR2(4000 BYTE),
  sqltext1  VARCHAR2(4000 BYTE),
  sqltext2  VARCHAR2(4000 BYTE),
  sqltext3  VARCHAR2(4000 BYTE),
  fingerprint_hash VARCHAR2(16 CHAR),            -- of the statement's fingerprint
  fingerprint      VARCHAR2(4000 BYTE),          -- literals as ?, see docs/reports.md
  CONSTRAINT qx_client_sql_pk PRIMARY KEY (id)
);
CREATE INDEX qx_client_sql_hash ON qx_client_sql (sqlhash);
CREATE INDEX qx_client_sql_fp ON qx_client_sql (fingerprint_hash);

-- Execution history: one row per recorded execution. exec_date is the monitoring host's
-- local time; exec_time is in milliseconds. rows_processed and error_code (the Oracle error
-- number, 0 = success) are the execution's outcome, NULL when it is not known; a repository
-- made without them gets them from `qxadmin upgrade CONNECT_STRING`.
CREATE TABLE qx_client_sql_history (
  id            NUMBER(15)           NOT NULL,
  sql_id        NUMBER(12)           NOT NULL,
  srvc_id       NUMBER(10),
  exec_date     DATE,
  exec_time     NUMBER,
  session_id    NUMBER(15),
  host          VARCHAR2(200 CHAR),
  ip            VARCHAR2(30 CHAR),
  orauser       VARCHAR2(30 CHAR),
  service_name  VARCHAR2(100 CHAR),
  sid           VARCHAR2(20 CHAR),
  program       VARCHAR2(4000 BYTE),
  username      VARCHAR2(100 CHAR),
  rows_processed NUMBER,
  error_code    NUMBER(10),
  CONSTRAINT qx_client_sql_history_pk PRIMARY KEY (id)
);
CREATE INDEX qx_client_sql_history_date ON qx_client_sql_history (exec_date);
CREATE INDEX qx_client_sql_history_svc ON qx_client_sql_history (srvc_id, exec_date);
CREATE INDEX qx_client_sql_history_sql_time ON qx_client_sql_history (sql_id, exec_date, exec_time);

-- Session numbers of monitored connections, statement ids and history row ids.
CREATE SEQUENCE qx_session_id_seq START WITH 1 INCREMENT BY 1 CACHE 100 NOCYCLE;
CREATE SEQUENCE qx_client_sql_id_seq START WITH 1 INCREMENT BY 1 CACHE 100 NOCYCLE;
CREATE SEQUENCE qx_client_sqlhist_id_seq START WITH 1 INCREMENT BY 1 CACHE 1000 NOCYCLE;
-- Ids of the rows qxadmin adds.
CREATE SEQUENCE qx_service_id_seq START WITH 1 INCREMENT BY 1 NOCACHE NOCYCLE;
CREATE SEQUENCE qx_service_filter_id_seq START WITH 1 INCREMENT BY 1 NOCACHE NOCYCLE;
CREATE SEQUENCE qx_sql_filter_id_seq START WITH 1 INCREMENT BY 1 NOCACHE NOCYCLE;
