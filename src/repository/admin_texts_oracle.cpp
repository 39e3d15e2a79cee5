// The Oracle texts of qxadmin's statements. Writing blocks end with their own "commit;", as
// every writing block of the system does. The schema (kAdminCreateSchema) is
// docs/oracle-schema.sql run statement by statement; DDL commits by itself.
#include <map>

#include "repository/sql_texts.h"

namespace qx::repository {

const std::vector<std::string>& OracleAdminText(SqlId id) {
  static const std::map<SqlId, std::vector<std::string>> texts = {
      {SqlId::kAdminCreateSchema,
       {"begin",
        " execute immediate 'CREATE TABLE QX_SERVICE_LIST ( id NUMBER(10) NOT NULL, name VARCHAR2(100 CHAR) NOT NULL, oracle_host VARCHAR2(200 CHAR) NOT NULL, oracle_port NUMBER(5) NOT NULL, work_port NUMBER(5) DEFAULT 0 NOT NULL, manage_port NUMBER(5) NOT NULL, ipinterface VARCHAR2(45 CHAR), CONSTRAINT qx_service_list_pk PRIMARY KEY (id) )';",
        " execute immediate 'CREATE TABLE qx_service_filter ( id NUMBER(10) NOT NULL, service_id NUMBER(10) NOT NULL, filter_type VARCHAR2(10 CHAR), service_name VARCHAR2(200 CHAR), sid VARCHAR2(100 CHAR), program VARCHAR2(2000 CHAR), host VARCHAR2(200 CHAR), username VARCHAR2(100 CHAR), orauser VARCHAR2(128 CHAR), date_expr VARCHAR2(2000 CHAR), enabled CHAR(1 CHAR) DEFAULT ''Y'', CONSTRAINT qx_service_filter_pk PRIMARY KEY (id), CONSTRAINT qx_service_filter_fk FOREIGN KEY (service_id) REFERENCES QX_SERVICE_LIST (id) )';",
        " execute immediate 'CREATE INDEX qx_service_filter_svc ON qx_service_filter (service_id)';",
        " execute immediate 'CREATE TABLE qx_sql_filter ( id NUMBER(10) NOT NULL, service_id NUMBER(10) NOT NULL, filter_type VARCHAR2(10 CHAR), exec_date_expr VARCHAR2(2000 CHAR), exec_time VARCHAR2(30 CHAR), sqlstatement VARCHAR2(2000 CHAR), object_list VARCHAR2(2000 CHAR), enabled CHAR(1 CHAR) DEFAULT ''Y'', CONSTRAINT qx_sql_filter_pk PRIMARY KEY (id), CONSTRAINT qx_sql_filter_fk FOREIGN KEY (service_id) REFERENCES QX_SERVICE_LIST (id) )';",
        " execute immediate 'CREATE INDEX qx_sql_filter_svc ON qx_sql_filter (service_id)';",
        " execute immediate 'CREATE TABLE qx_service_status ( service_id NUMBER(10) NOT NULL, host VARCHAR2(255 CHAR) NOT NULL, service_start DATE, last_update DATE, CONSTRAINT qx_service_status_pk PRIMARY KEY (service_id, host) )';",
        " execute immediate 'CREATE TABLE qx_client_sql ( id NUMBER(12) NOT NULL, sqlhash VARCHAR2(45 CHAR) NOT NULL, sqltext VARCHAR2(4000 BYTE), sqltext1 VARCHAR2(4000 BYTE), sqltext2 VARCHAR2(4000 BYTE), sqltext3 VARCHAR2(4000 BYTE), CONSTRAINT qx_client_sql_pk PRIMARY KEY (id) )';",
        " execute immediate 'CREATE INDEX qx_client_sql_hash ON qx_client_sql (sqlhash)';",
        " execute immediate 'CREATE TABLE qx_client_sql_history ( id NUMBER(15) NOT NULL, sql_id NUMBER(12) NOT NULL, srvc_id NUMBER(10), exec_date DATE, exec_time NUMBER, session_id NUMBER(15), host VARCHAR2(200 CHAR), ip VARCHAR2(30 CHAR), orauser VARCHAR2(30 CHAR), service_name VARCHAR2(100 CHAR), sid VARCHAR2(20 CHAR), program VARCHAR2(4000 BYTE), username VARCHAR2(100 CHAR), CONSTRAINT qx_client_sql_history_pk PRIMARY KEY (id) )';",
        " execute immediate 'CREATE INDEX qx_client_sql_history_sql ON qx_client_sql_history (sql_id)';",
        " execute immediate 'CREATE INDEX qx_client_sql_history_date ON qx_client_sql_history (exec_date)';",
        " execute immediate 'CREATE SEQUENCE qx_session_id_seq START WITH 1 INCREMENT BY 1 CACHE 100 NOCYCLE';",
        " execute immediate 'CREATE SEQUENCE qx_client_sql_id_seq START WITH 1 INCREMENT BY 1 CACHE 100 NOCYCLE';",
        " execute immediate 'CREATE SEQUENCE qx_client_sqlhist_id_seq START WITH 1 INCREMENT BY 1 CACHE 1000 NOCYCLE';",
        " execute immediate 'CREATE SEQUENCE qx_service_id_seq START WITH 1 INCREMENT BY 1 NOCACHE NOCYCLE';",
        " execute immediate 'CREATE SEQUENCE qx_service_filter_id_seq START WITH 1 INCREMENT BY 1 NOCACHE NOCYCLE';",
        " execute immediate 'CREATE SEQUENCE qx_sql_filter_id_seq START WITH 1 INCREMENT BY 1 NOCACHE NOCYCLE';",
        "end;"}},
      {SqlId::kAdminListServices,
       {"select id, name, oracle_host, oracle_port, work_port, manage_port, ipinterface",
        "from QX_SERVICE_LIST order by id"}},
      {SqlId::kAdminFindServiceById, {"select * from QX_SERVICE_LIST where id = :id"}},
      {SqlId::kAdminInsertService,
       {"begin",
        " select qx_service_id_seq.nextval into :id from dual;",
        " insert into QX_SERVICE_LIST (id, name, oracle_host, oracle_port, work_port, "
        "manage_port, ipinterface)",
        " values (:id, :name, :oracle_host, :oracle_port, :work_port, :manage_port, "
        ":ipinterface);",
        " commit;",
        "end;"}},
      {SqlId::kAdminDeleteService,
       {"begin",
        " delete from qx_service_filter where service_id = :id;",
        " delete from qx_sql_filter where service_id = :id;",
        " delete from QX_SERVICE_LIST where id = :id;",
        " commit;",
        "end;"}},
      {SqlId::kAdminListServiceFilters,
       {"select f.id, f.service_id, s.name as service, f.filter_type, f.service_name, f.sid, "
        "f.program, f.host, f.username, f.orauser, f.date_expr, f.enabled",
        "from qx_service_filter f left join QX_SERVICE_LIST s on s.id = f.service_id",
        "where :service_id = 0 or f.service_id = :service_id order by f.id"}},
      {SqlId::kAdminFindServiceFilter, {"select * from qx_service_filter where id = :id"}},
      {SqlId::kAdminInsertServiceFilter,
       {"begin",
        " select qx_service_filter_id_seq.nextval into :id from dual;",
        " insert into qx_service_filter (id, service_id, filter_type, service_name, sid, "
        "program, host, username, orauser, date_expr, enabled)",
        " values (:id, :service_id, :filter_type, :service_name, :sid, :program, :host, "
        ":username, :orauser, :date_expr, :enabled);",
        " commit;",
        "end;"}},
      {SqlId::kAdminSetServiceFilterEnabled,
       {"begin update qx_service_filter set enabled = :enabled where id = :id; commit; end;"}},
      {SqlId::kAdminDeleteServiceFilter,
       {"begin delete from qx_service_filter where id = :id; commit; end;"}},
      {SqlId::kAdminListSqlFilters,
       {"select f.id, f.service_id, s.name as service, f.filter_type, f.exec_date_expr, "
        "f.exec_time, f.sqlstatement, f.object_list, f.enabled",
        "from qx_sql_filter f left join QX_SERVICE_LIST s on s.id = f.service_id",
        "where :service_id = 0 or f.service_id = :service_id order by f.id"}},
      {SqlId::kAdminFindSqlFilter, {"select * from qx_sql_filter where id = :id"}},
      {SqlId::kAdminInsertSqlFilter,
       {"begin",
        " select qx_sql_filter_id_seq.nextval into :id from dual;",
        " insert into qx_sql_filter (id, service_id, filter_type, exec_date_expr, exec_time, "
        "sqlstatement, object_list, enabled)",
        " values (:id, :service_id, :filter_type, :exec_date_expr, :exec_time, :sqlstatement, "
        ":object_list, :enabled);",
        " commit;",
        "end;"}},
      {SqlId::kAdminSetSqlFilterEnabled,
       {"begin update qx_sql_filter set enabled = :enabled where id = :id; commit; end;"}},
      {SqlId::kAdminDeleteSqlFilter,
       {"begin delete from qx_sql_filter where id = :id; commit; end;"}},
  };
  static const std::vector<std::string> none;
  const auto it = texts.find(id);
  return it == texts.end() ? none : it->second;
}

}  // namespace qx::repository
