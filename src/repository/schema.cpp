// The list of repository objects that qxadmin init reports.
#include "repository/schema.h"

namespace qx::repository {

const std::vector<SchemaObject>& SchemaObjects() {
  static const std::vector<SchemaObject> objects = {
      {"table", "QX_SERVICE_LIST"},
      {"table", "qx_service_filter"},
      {"table", "qx_sql_filter"},
      {"table", "qx_service_status"},
      {"index", "qx_service_status_host"},
      {"table", "qx_client_sql"},
      {"index", "qx_client_sql_hash"},
      {"table", "qx_client_sql_history"},
      {"sequence", "qx_session_id_seq"},
      {"sequence", "qx_client_sql_id_seq"},
      {"sequence", "qx_client_sqlhist_id_seq"},
      {"sequence", "qx_service_id_seq"},
      {"sequence", "qx_service_filter_id_seq"},
      {"sequence", "qx_sql_filter_id_seq"},
  };
  return objects;
}

}  // namespace qx::repository
