// The repository schema as a list of its objects, and the widths of the text columns that
// qxadmin writes, so that input is refused before a database would cut or reject it. The DDL
// itself is each backend's kAdminCreateSchema text (sql_texts.h); this list and that text
// must name the same objects.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace qx::repository {

struct SchemaObject {
  std::string kind;  // "table", "index" or "sequence"
  std::string name;
};

// Every object kAdminCreateSchema creates, in creation order.
const std::vector<SchemaObject>& SchemaObjects();

// Widths (characters) of the text columns qxadmin fills.
namespace width {
constexpr size_t kServiceName = 100;    // QX_SERVICE_LIST.name
constexpr size_t kOracleHost = 255;     // QX_SERVICE_LIST.oracle_host
constexpr size_t kIpInterface = 64;     // QX_SERVICE_LIST.ipinterface
constexpr size_t kFilterType = 10;      // filter_type of both filter tables
constexpr size_t kFilterServiceName = 200;
constexpr size_t kFilterSid = 100;
constexpr size_t kFilterProgram = 2000;
constexpr size_t kFilterHost = 200;
constexpr size_t kFilterUsername = 100;
constexpr size_t kFilterOrauser = 100;
constexpr size_t kDateExpr = 2000;      // date_expr, exec_date_expr
constexpr size_t kExecTime = 30;
constexpr size_t kSqlStatement = 4000;
constexpr size_t kObjectList = 4000;
}  // namespace width

}  // namespace qx::repository
