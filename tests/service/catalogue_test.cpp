// Loading monitored services and their filters from the repository.
#include <gtest/gtest.h>

#include "service/catalogue.h"
#include "support/service_fixture.h"

namespace qx::service {
namespace {

using test::ServiceFixture;

std::vector<std::string> Names(const TQuorvexService& svc) {
  std::vector<std::string> out;
  for (const auto& s : svc.services) out.push_back(s->name);
  return out;
}

TEST(LoadServices, TakesTheNamesInListOrderAndSkipsEmptyItems) {
  ServiceFixture f;
  f.AddService(1, "test", 2003, 3003);
  f.AddService(2, "orcl", 2001, 3001);
  f.AddService(3, "Prod", 2002, 3002);
  LoadServices(f.svc, " orcl , Prod,,test ");
  EXPECT_EQ(Names(f.svc), (std::vector<std::string>{"orcl", "Prod", "test"}));
  EXPECT_TRUE(f.ErrorLog().empty());
  EXPECT_EQ(f.svc.services[0]->work_port, 2001);
  EXPECT_EQ(f.svc.services[0]->manage_port, 3001);
}

TEST(LoadServices, ASingleNameWithoutCommaIsOneName) {
  ServiceFixture f;
  f.AddService(1, "ORCL", 2001, 3001);
  LoadServices(f.svc, "orcl");
  EXPECT_EQ(Names(f.svc), (std::vector<std::string>{"ORCL"}));
}

TEST(LoadServices, ANameListedTwiceIsRejectedByItsOwnPorts) {
  ServiceFixture f;
  f.AddService(1, "ORCL", 2001, 3001);
  LoadServices(f.svc, "orcl,ORCL");
  EXPECT_EQ(Names(f.svc), (std::vector<std::string>{"ORCL"}));
  const std::string msg =
      "Unable to load service \"ORCL\" because its ports are used by the service \"ORCL\"";
  EXPECT_EQ(f.ErrorLog(), std::vector<std::string>{msg});
  EXPECT_EQ(f.ServiceLog(), std::vector<std::string>{msg});
}

TEST(LoadServices, EqualWorkingAndManagingPortsAreRejected) {
  ServiceFixture f;
  f.AddService(1, "ZERO", 0, 0);
  LoadServices(f.svc, "zero");
  EXPECT_TRUE(f.svc.services.empty());
  EXPECT_EQ(f.ErrorLog(),
            std::vector<std::string>{"Unable to load service \"ZERO\" because its working and "
                                     "managing ports must be different."});
}

TEST(LoadServices, PassiveServiceWithoutItsInterfaceIsRejectedAfterTheList) {
  ServiceFixture f;
  f.AddService(1, "PASSIVE", 0, 3001, "192.0.2.99");
  LoadServices(f.svc, "passive");
  EXPECT_TRUE(f.svc.services.empty());
  const auto log = f.ServiceLog();
  ASSERT_GE(log.size(), 2u);
  EXPECT_EQ(log.front(), "Available Interface List");
  EXPECT_EQ(log.back(),
            "Unable to find monitoring IP interface 192.0.2.99 for the service \"PASSIVE\"");
}

TEST(LoadServices, PortClashRulesBetweenServices) {
  ServiceFixture f;
  f.AddService(1, "A", 2001, 3001);
  f.AddService(2, "B", 3001, 3002);   // its working port is A's managing port
  f.AddService(3, "C", 2003, 2001);   // its managing port is A's working port
  f.AddService(4, "D", 2004, 3001);   // same managing port as A
  f.AddService(5, "E", 2005, 3005);   // no clash
  LoadServices(f.svc, "a,b,c,d,e");
  EXPECT_EQ(Names(f.svc), (std::vector<std::string>{"A", "E"}));
  EXPECT_EQ(f.ErrorLog().size(), 3u);
  EXPECT_EQ(FindPortOwner(f.svc, *f.svc.services[1]), "E");
}

TEST(Filters, OnlyEnabledRowsWithAConditionAreLoaded) {
  ServiceFixture f;
  f.AddService(1, "ORCL", 2001, 3001);
  LoadServices(f.svc, "orcl");
  f.Exec(
      "insert into qx_service_filter (id, service_id, filter_type, program, enabled) values "
      "(1, 1, 'Exclude', 'sqlplus.exe', 'Y'), (2, 1, 'INCLUDE', 'x', 'y'),"
      "(3, 1, 'INCLUDE', 'x', 'N'), (4, 1, 'INCLUDE', 'x', NULL);"
      "insert into qx_service_filter (id, service_id, filter_type, date_expr, enabled) values "
      "(5, 1, 'INCLUDE', 'sysdate > 0', 'Y');"
      "insert into qx_sql_filter (id, service_id, filter_type, exec_date_expr, enabled) values "
      "(6, 1, 'EXCLUDE', 'to_char(:date,''HH24'') > ''18''', 'Y');"
      "insert into qx_sql_filter (id, service_id, filter_type, enabled) values "
      "(7, 1, 'INCLUDE', 'Y');"
      "insert into qx_sql_filter (id, service_id, filter_type, exec_time, enabled) values "
      "(8, 1, 'include', '250', 'Y'), (9, 1, 'EXCLUDE', '25O', 'Y');");
  TServiceData& s = *f.svc.services[0];
  LoadServiceFilters(f.svc, s);
  LoadSQLFilters(f.svc, s);
  ASSERT_EQ(s.serviceFilters.size(), 1u);
  EXPECT_EQ(s.serviceFilters[0].filter_type, "EXCLUDE");
  EXPECT_EQ(s.serviceFilters[0].program, "SQLPLUS.EXE");
  ASSERT_EQ(s.sqlFilters.size(), 3u);
  EXPECT_EQ(s.sqlFilters[0].exec_date_expr, "to_char(:date,'HH24') > '18'");
  EXPECT_EQ(s.sqlFilters[1].filter_type, "INCLUDE");
  EXPECT_TRUE(s.sqlFilters[1].execTimeValid);
  EXPECT_FALSE(s.sqlFilters[2].execTimeValid);

  const std::vector<std::string> expected_log = {
      "Loaded service filter # 1 for service ORCL",
      "Loaded SQL filter # 6 for service ORCL",
      "Loaded SQL filter # 8 for service ORCL",
      "Loaded SQL filter # 9 for service ORCL",
      "SQL filter # 9 has an invalid exec_time '25O'; the condition is never met."};
  EXPECT_EQ(f.ServiceLog(), expected_log);
  EXPECT_EQ(f.ErrorLog(), std::vector<std::string>{expected_log.back()});

  FreeFilters(s);
  EXPECT_TRUE(s.serviceFilters.empty());
  EXPECT_TRUE(s.sqlFilters.empty());
}

}  // namespace
}  // namespace qx::service
