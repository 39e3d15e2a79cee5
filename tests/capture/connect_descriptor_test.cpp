// Connect-descriptor decoding, Oracle user extraction and the service-filter decision.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "capture/connect_descriptor.h"

namespace qx::capture {
namespace {

using namespace std::string_literals;

const std::string kExample =
    "(DESCRIPTION=(ADDRESS=(PROTOCOL=TCP)(HOST=dbsrv)(PORT=1521))(CONNECT_DATA=(SERVICE_NAME="
    "ORCL)(CID=(PROGRAM=C:\\APP\\CLIENT.EXE)(HOST=WS17)(USER=jsmith))))";

std::string NoResolver(const std::string&) {
  ADD_FAILURE() << "resolver called";
  return "";
}

TEST(IsConnectDescriptor, NeedsAllThreeWordsAsWritten) {
  EXPECT_TRUE(IsConnectDescriptor(kExample));
  EXPECT_TRUE(IsConnectDescriptor("\x00\x20\x01(ADDRESS=(PROTOCOL=TCP))(DESCRIPTION"s));
  EXPECT_FALSE(IsConnectDescriptor("(DESCRIPTION=(ADDRESS=(PROTOCOL=tcp)(HOST=x)))"));
  EXPECT_FALSE(IsConnectDescriptor("(DESCRIPTION=(CONNECT_DATA=(SID=X)))"));
}

TEST(DecodeConnectDescriptor, ExampleTakesTheClientHostFromConnectData) {
  const TConnectIdentity id = DecodeConnectDescriptor(kExample);
  EXPECT_EQ(id.serviceName, "ORCL");
  EXPECT_EQ(id.program, "C:\\APP\\CLIENT.EXE");
  EXPECT_EQ(id.host, "WS17");
  EXPECT_EQ(id.username, "JSMITH");
  EXPECT_FALSE(id.sid);  // no SID in the section: the record keeps its value
}

TEST(DecodeConnectDescriptor, Variants) {
  // CONNECT_DATA after ADDRESS and no HOST in CID: the server's HOST lies before the section.
  TConnectIdentity id = DecodeConnectDescriptor(
      "(DESCRIPTION=(ADDRESS=(PROTOCOL=TCP)(HOST=DB)(PORT=1))"
      "(CONNECT_DATA=(SID=X)(CID=(USER=U))))");
  EXPECT_FALSE(id.host);
  EXPECT_EQ(id.sid, "X");
  // SID found inside the PROGRAM value: the text from its first occurrence is cut as usual.
  id = DecodeConnectDescriptor("(CONNECT_DATA=(CID=(PROGRAM=SIDEKICK=7)(HOST=H))(SID=ORCL))");
  EXPECT_EQ(id.sid, "7");
  EXPECT_EQ(id.program, "SIDEKICK=7");
  id = DecodeConnectDescriptor("(CONNECT_DATA=(SID=ORCL)(CID=(PROGRAM=sqlplus)(HOST=INSIDE01)))");
  EXPECT_EQ(id.sid, "ORCL");
  EXPECT_EQ(id.program, "SQLPLUS");
  EXPECT_EQ(id.host, "INSIDE01");
  // Blanks around "=" and the value are trimmed; a value without ")" is empty.
  id = DecodeConnectDescriptor("(CONNECT_DATA=(SERVICE_NAME = orcl )(USER=cut");
  EXPECT_EQ(id.serviceName, "ORCL");
  EXPECT_EQ(id.username, "");
  // Without CONNECT_DATA the whole text is searched.
  id = DecodeConnectDescriptor("(DESCRIPTION=(ADDRESS=(PROTOCOL=TCP)(HOST=db1)))");
  EXPECT_EQ(id.host, "DB1");
}

TEST(ApplyConnectIdentity, KeepsAbsentFieldsAndResolvesOnlyAMissingIp) {
  TThreadData r;
  r.sid = "OLD";
  std::vector<std::string> asked;
  ApplyConnectIdentity(r, DecodeConnectDescriptor(kExample), [&](const std::string& host) {
    asked.push_back(host);
    return std::string("127.0.0.17");
  });
  EXPECT_EQ(r.sid, "OLD");
  EXPECT_EQ(r.host, "WS17");
  EXPECT_EQ(r.ip, "127.0.0.17");
  EXPECT_EQ(asked, std::vector<std::string>{"WS17"});
  // Passive mode sets the ip from the frame first: no resolution.
  TThreadData passive;
  passive.ip = "127.0.0.5";
  ApplyConnectIdentity(passive, DecodeConnectDescriptor(kExample), NoResolver);
  EXPECT_EQ(passive.ip, "127.0.0.5");
  // An unknown host leaves the ip empty.
  TThreadData unknown;
  ApplyConnectIdentity(unknown, DecodeConnectDescriptor(kExample),
                       [](const std::string&) { return std::string(); });
  EXPECT_EQ(unknown.ip, "");
}

TEST(ConnectDebugLines, TraceAndServiceLogForms) {
  TThreadData r;
  r.connectionNo = 4;
  ApplyConnectIdentity(r, DecodeConnectDescriptor(kExample),
                       [](const std::string&) { return std::string("127.0.0.1"); });
  const std::vector<std::string> trace = ConnectTraceLines(r);
  ASSERT_EQ(trace.size(), 6u);
  EXPECT_EQ(trace[0], " Connection SERVICE_NAME = ORCL");
  EXPECT_EQ(trace[1], " Connection SID = ");
  EXPECT_EQ(trace[4], " Connection IP ADDRESS = 127.0.0.1");
  EXPECT_EQ(trace[5], " Connection USER = JSMITH");
  const std::vector<std::string> log = ConnectServiceLogLines(r);
  EXPECT_EQ(log[0], " Connection 4 SERVICE_NAME = ORCL");
  EXPECT_EQ(log[3], " Connection HOST = WS17");
}

TEST(ExtractOraUser, RunOfNameBytesBeforeTheKey) {
  EXPECT_EQ(ExtractOraUser("\x03\x76\x05SCOTT\x01\x0D" "AUTH_TERMINAL\x01"s), "SCOTT");
  EXPECT_EQ(ExtractOraUser("\x0DSCOTT\x0D" "AUTH_TERMINAL"s), "SCOTT");
  EXPECT_EQ(ExtractOraUser("\x0DSCOTT$\x0D" "AUTH_TERMINAL"s), "");
  EXPECT_EQ(ExtractOraUser("\x05scott\x0d\x00\x00\x00\x0d" "AUTH_TERMINAL"s), "SCOTT");
  EXPECT_EQ(ExtractOraUser("AUTH_TERMINAL"), "");
}

// --- service filter decision ---

service::TServiceFilter Filter(double id, std::string type) {
  service::TServiceFilter f;
  f.id = id;
  f.filter_type = std::move(type);
  return f;
}

// The example connection, decoded. Records hold a mutex and are not copied or moved.
struct DecodedExample : TThreadData {
  DecodedExample() {
    ApplyConnectIdentity(*this, DecodeConnectDescriptor(kExample),
                         [](const std::string&) { return std::string("127.0.0.1"); });
  }
};

TEST(DecideServiceFilters, NoFiltersMonitors) {
  const ServiceFilterDecision d = DecideServiceFilters({}, DecodedExample(), nullptr);
  EXPECT_FALSE(d.excluded);
  EXPECT_EQ(d.traceLine, "Including this connection for monitoring.");
}

TEST(DecideServiceFilters, OnlyAnIncludeFilterAdmitsOnlyItsMatches) {
  service::TServiceFilter include = Filter(3, "INCLUDE");
  include.program = "SQLPLUS.EXE";
  DecodedExample r;
  ServiceFilterDecision d = DecideServiceFilters({include}, r, nullptr);
  EXPECT_TRUE(d.excluded);
  EXPECT_EQ(d.traceLine, "Excluding this connection from monitoring.");
  r.program = "sqlplus.exe ";  // trimmed, letters compared without case
  d = DecideServiceFilters({include}, r, nullptr);
  EXPECT_FALSE(d.excluded);
  EXPECT_EQ(d.traceLine, "Including this connection according to filter # 3");
}

TEST(DecideServiceFilters, ExclusionWinsOverInclusion) {
  service::TServiceFilter include = Filter(1, "INCLUDE");
  include.host = "WS17";
  service::TServiceFilter exclude = Filter(2, "EXCLUDE");
  exclude.username = "JSMITH";
  const ServiceFilterDecision d =
      DecideServiceFilters({include, exclude}, DecodedExample(), nullptr);
  EXPECT_TRUE(d.excluded);
  EXPECT_EQ(d.traceLine, "Excluding this connection according to filter # 2");
}

TEST(DecideServiceFilters, DateConditionRunsOnlyAfterTheTextsMatch) {
  service::TServiceFilter exclude = Filter(9, "EXCLUDE");
  exclude.host = "WS17";
  exclude.date_expr = "  TO_CHAR(:CONN_TIME,'HH24') > '18' ";
  service::TServiceFilter other = Filter(10, "EXCLUDE");
  other.host = "ELSEWHERE";
  other.date_expr = "1=1";
  std::vector<std::string> asked;
  const ServiceFilterDecision d =
      DecideServiceFilters({other, exclude}, DecodedExample(), [&](const std::string& e) {
        asked.push_back(e);
        return false;
      });
  EXPECT_FALSE(d.excluded);
  EXPECT_EQ(d.traceLine, "Including this connection for monitoring.");
  EXPECT_EQ(asked, std::vector<std::string>{"TO_CHAR(:CONN_TIME,'HH24') > '18'"});
  EXPECT_EQ(ConnDateExprQueryText(asked[0]),
            "select count(*) from dual where TO_CHAR(:CONN_TIME,'HH24') > '18'");
}

TEST(DecideServiceFilters, OtherTypesAndOrauserCriteria) {
  service::TServiceFilter deny = Filter(4, "DENY");
  deny.host = "WS17";
  service::TServiceFilter lower = Filter(5, "Include");  // the loader upper-cases; exact here
  lower.host = "WS17";
  ServiceFilterDecision d = DecideServiceFilters({deny, lower}, DecodedExample(), nullptr);
  EXPECT_FALSE(d.excluded);
  EXPECT_EQ(d.traceLine, "Including this connection for monitoring.");
  // The Oracle user is not known when the decision is made.
  service::TServiceFilter scott = Filter(6, "EXCLUDE");
  scott.orauser = "SCOTT";
  d = DecideServiceFilters({scott}, DecodedExample(), nullptr);
  EXPECT_FALSE(d.excluded);
  // Non-whole ids print in shortest form.
  service::TServiceFilter odd = Filter(7.5, "EXCLUDE");
  odd.host = "WS17";
  EXPECT_EQ(DecideServiceFilters({odd}, DecodedExample(), nullptr).traceLine,
            "Excluding this connection according to filter # 7.5");
}

TEST(AnalyzeConnectText, DebugLinesThenDecisionAndNoDecisionWithoutService) {
  TThreadData r;
  r.connectionNo = 2;
  const auto resolve = [](const std::string&) { return std::string("127.0.0.9"); };
  service::TServiceFilterList filters = {Filter(11, "EXCLUDE")};
  filters[0].username = "jsmith";
  ConnectAnalysis a = AnalyzeConnectText(r, kExample, 46000.5, true, &filters, resolve, nullptr);
  EXPECT_DOUBLE_EQ(r.logonTime, 46000.5);
  EXPECT_TRUE(a.decided);
  EXPECT_TRUE(r.excluded);
  ASSERT_EQ(a.traceLines.size(), 7u);
  EXPECT_EQ(a.traceLines[4], " Connection IP ADDRESS = 127.0.0.9");
  EXPECT_EQ(a.traceLines[6], "Excluding this connection according to filter # 11");
  EXPECT_EQ(a.serviceLogLines.size(), 6u);

  TThreadData orphan;
  orphan.excluded = true;
  a = AnalyzeConnectText(orphan, kExample, 1, false, nullptr, resolve, nullptr);
  EXPECT_FALSE(a.decided);
  EXPECT_TRUE(orphan.excluded);
  EXPECT_TRUE(a.traceLines.empty());
  EXPECT_TRUE(a.serviceLogLines.empty());
}

}  // namespace
}  // namespace qx::capture
