// The Oracle schema that qxadmin init runs is the administrators' script, statement for statement.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>

#include "repository/sql_texts.h"

namespace qx::repository {
namespace {

TEST(OracleAdminSchema, RunsEveryStatementOfTheScript) {
  std::ifstream in(std::string(QX_SOURCE_DIR) + "/docs/oracle-schema.sql");
  std::stringstream ss;
  ss << in.rdbuf();
  // Statements end in ";" outside "--" comments.
  int statements = 0;
  std::string line;
  while (std::getline(ss, line)) {
    line = line.substr(0, line.find("--"));
    for (char c : line) statements += c == ';';
  }
  const auto& block = OracleText(SqlId::kAdminCreateSchema);
  ASSERT_GE(block.size(), 3u);
  EXPECT_EQ(block.front(), "begin");
  EXPECT_EQ(block.back(), "end;");
  EXPECT_EQ(static_cast<int>(block.size()) - 2, statements);
  const std::string all = JoinLines(block);
  for (const char* name : {"qx_service_id_seq", "qx_service_filter_id_seq", "qx_sql_filter_id_seq",
                           "qx_session_id_seq", "qx_client_sql_id_seq",
                           "qx_client_sqlhist_id_seq", "QX_SERVICE_LIST",
                           "qx_client_sql_history"}) {
    EXPECT_NE(all.find(name), std::string::npos) << name;
  }
}

}  // namespace
}  // namespace qx::repository
