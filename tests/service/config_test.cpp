#include <gtest/gtest.h>

#include "service/config.h"

namespace qx::service {
namespace {

TEST(IniFile, IntegersFollowTheServiceRules) {
  const IniFile ini = IniFile::Parse(
      "[Service]\r\n"
      "hex=0x3C\r\n"
      "dollar=$10\r\n"
      "word=ten\r\n"
      "negative=-5\r\n"
      "toolarge=2147483648\r\n"
      "largest=2147483647\r\n"
      "short=0x\r\n"
      "upperhex=0X1f\r\n");
  EXPECT_EQ(ini.ReadInteger("Service", "hex", 1), 60);
  EXPECT_EQ(ini.ReadInteger("Service", "dollar", 1), 16);
  EXPECT_EQ(ini.ReadInteger("Service", "word", 100), 100);
  EXPECT_EQ(ini.ReadInteger("Service", "negative", 1), -5);
  EXPECT_EQ(ini.ReadInteger("Service", "toolarge", 7), 7);
  EXPECT_EQ(ini.ReadInteger("Service", "largest", 7), 2147483647);
  EXPECT_EQ(ini.ReadInteger("Service", "short", 7), 7);
  EXPECT_EQ(ini.ReadInteger("Service", "upperhex", 7), 31);
  EXPECT_EQ(ini.ReadInteger("Service", "absent", 1440), 1440);
}

TEST(IniFile, NamesIgnoreCaseAndValuesAreTrimmed) {
  const IniFile ini = IniFile::Parse(
      "; comment\n"
      "[ service ]\n"
      "  RPSTCONNSTR  =   sqlite:repo.db   \n"
      "MonitorServices= orcl , prod\n"
      "[Other]\n"
      "rpstConnStr=other\n");
  EXPECT_EQ(ini.ReadString("Service", "rpstConnStr", ""), "sqlite:repo.db");
  EXPECT_EQ(ini.ReadString("SERVICE", "monitorservices", ""), "orcl , prod");
  EXPECT_EQ(ini.ReadString("Other", "rpstConnStr", ""), "other");
}

TEST(IniFile, MissingSectionOrFileGivesEveryDefault) {
  const IniFile ini = IniFile::Parse("[Elsewhere]\nDebugConnections=1\n");
  EXPECT_EQ(ini.ReadInteger("Service", "DebugConnections", 0), 0);
  EXPECT_EQ(ini.ReadInteger("Service", "sqlCacheCount", 500), 500);
  EXPECT_EQ(ini.ReadString("Service", "rpstConnStr", ""), "");
  const IniFile missing = IniFile::Load("/nonexistent/qxservice.ini");
  EXPECT_EQ(missing.ReadInteger("Service", "DeadConnectionTimeout", 1440), 1440);
}

TEST(IniFile, StringValuesAreCutAt2047Characters) {
  const IniFile ini = IniFile::Parse("[Service]\nMonitorServices=" + std::string(3000, 'a') + "\n");
  EXPECT_EQ(ini.ReadString("Service", "MonitorServices", "").size(), 2047u);
}

}  // namespace
}  // namespace qx::service
