// Checks the administrators' Oracle schema script (docs/oracle-schema.sql) against what the
// service uses: every table and column it reads or writes, every sequence, and text columns
// wide enough for the longest value the service binds to them.
#include <gtest/gtest.h>

#include <map>
#include <regex>
#include <string>

#include "platform/platform.h"
#include "repository/oracle/bind_names.h"

namespace qx::repository {
namespace {

using oracle::UpperAscii;

// Column name -> declared type text, for each CREATE TABLE of the script.
std::map<std::string, std::map<std::string, std::string>> Tables(const std::string& sql) {
  std::map<std::string, std::map<std::string, std::string>> tables;
  const std::regex create(R"(CREATE TABLE\s+(\w+)\s*\(([\s\S]*?)\n\);)", std::regex::icase);
  const std::regex column(R"(^\s*(\w+)\s+(\w+(\s*\([^)]*\))?))");
  for (std::sregex_iterator it(sql.begin(), sql.end(), create), end; it != end; ++it) {
    auto& columns = tables[UpperAscii((*it)[1])];
    const std::string body = (*it)[2];
    size_t start = 0;
    while (start < body.size()) {
      size_t stop = body.find('\n', start);
      if (stop == std::string::npos) stop = body.size();
      const std::string line = body.substr(start, stop - start);
      std::smatch m;
      if (std::regex_search(line, m, column) && UpperAscii(m[1]) != "CONSTRAINT")
        columns[UpperAscii(m[1])] = UpperAscii(m[2]);
      start = stop + 1;
    }
  }
  return tables;
}

// Characters a VARCHAR2 column holds for the service's single-byte client character set:
// n for (n CHAR), n/2 for (n BYTE) or (n) (a byte may become two in AL32UTF8).
int Capacity(const std::string& type) {
  std::smatch m;
  static const std::regex varchar(R"(VARCHAR2\s*\(\s*(\d+)\s*(CHAR|BYTE)?\s*\))");
  if (!std::regex_search(type, m, varchar)) return 0;
  const int n = std::stoi(m[1]);
  return m[2] == "CHAR" ? n : n / 2;
}

TEST(OracleSchemaTest, ScriptHoldsEveryObjectAndWidthTheServiceUses) {
  std::string sql;
  ASSERT_TRUE(platform::ReadFile(std::string(QX_SOURCE_DIR) + "/docs/oracle-schema.sql", &sql));
  const auto tables = Tables(sql);
  const std::map<std::string, std::map<std::string, int>> used = {
      {"QX_SERVICE_LIST",
       {{"ID", 0}, {"NAME", 0}, {"ORACLE_HOST", 0}, {"ORACLE_PORT", 0}, {"WORK_PORT", 0},
        {"MANAGE_PORT", 0}, {"IPINTERFACE", 15}}},
      {"QX_SERVICE_FILTER",
       {{"ID", 0}, {"SERVICE_ID", 0}, {"FILTER_TYPE", 7}, {"SERVICE_NAME", 0}, {"SID", 0},
        {"PROGRAM", 0}, {"HOST", 0}, {"USERNAME", 0}, {"ORAUSER", 0}, {"DATE_EXPR", 0},
        {"ENABLED", 0}}},
      {"QX_SQL_FILTER",
       {{"ID", 0}, {"SERVICE_ID", 0}, {"FILTER_TYPE", 7}, {"EXEC_DATE_EXPR", 0},
        {"EXEC_TIME", 0}, {"SQLSTATEMENT", 0}, {"OBJECT_LIST", 0}, {"ENABLED", 0}}},
      {"QX_SERVICE_STATUS",
       {{"SERVICE_ID", 0}, {"HOST", 255}, {"SERVICE_START", 0}, {"LAST_UPDATE", 0}}},
      {"QX_CLIENT_SQL",
       {{"ID", 0}, {"SQLHASH", 45}, {"SQLTEXT", 2000}, {"SQLTEXT1", 2000}, {"SQLTEXT2", 2000},
        {"SQLTEXT3", 2000}}},
      {"QX_CLIENT_SQL_HISTORY",
       {{"ID", 0}, {"SQL_ID", 0}, {"SRVC_ID", 0}, {"EXEC_DATE", 0}, {"EXEC_TIME", 0},
        {"SESSION_ID", 0}, {"HOST", 200}, {"IP", 30}, {"ORAUSER", 30}, {"SERVICE_NAME", 100},
        {"SID", 20}, {"PROGRAM", 2000}, {"USERNAME", 100}}},
  };
  for (const auto& [table, columns] : used) {
    auto t = tables.find(table);
    ASSERT_NE(t, tables.end()) << table;
    for (const auto& [column, width] : columns) {
      auto c = t->second.find(column);
      ASSERT_NE(c, t->second.end()) << table << "." << column;
      if (width > 0) {
        EXPECT_GE(Capacity(c->second), width) << table << "." << column;
      }
    }
  }
  EXPECT_EQ(tables.at("QX_CLIENT_SQL_HISTORY").at("EXEC_DATE"), "DATE");
  for (const char* seq : {"qx_session_id_seq", "qx_client_sql_id_seq", "qx_client_sqlhist_id_seq"})
    EXPECT_TRUE(std::regex_search(sql, std::regex(std::string("CREATE SEQUENCE ") + seq + "\\b",
                                                  std::regex::icase)))
        << seq;
}

}  // namespace
}  // namespace qx::repository
