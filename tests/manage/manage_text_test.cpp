// The answers' texts built from records: number formats under a locale whose decimal
// separator is a comma, the session list's layout, which connections are counted and listed,
// and the request words.
#include <gtest/gtest.h>

#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <locale>
#include <sstream>

#include "capture/relay.h"
#include "capture/thread_data.h"
#include "manage/manage.h"
#include "platform/datetime.h"
#include "sniffer/sniffer.h"
#include "support/test_util.h"

namespace qx::manage {
namespace {

using capture::TRelayConnection;
using capture::TThreadData;
using service::TQuorvexService;
using service::TServiceData;

struct CommaPunct : std::numpunct<char> {
  char do_decimal_point() const override { return ','; }
  char do_thousands_sep() const override { return '.'; }
  std::string do_grouping() const override { return "\3"; }
};

// A directory holding a compiled de_DE.UTF-8 locale, built once per run for systems that
// carry the locale sources but no compiled German locale; "" when it cannot be built.
const std::string& BuiltGermanLocaleDir() {
  static test::TempDir dir;
  static const std::string built = [] {
    const std::string cmd =
        "localedef -i de_DE -f UTF-8 " + dir.File("de_DE.UTF-8") + " >/dev/null 2>&1";
    return std::system(cmd.c_str()) == 0 ? dir.path() : std::string();
  }();
  return built;
}

// For its lifetime, the C library's locale (when a German one exists or can be built) and the
// global C++ locale write numbers with a decimal comma, as LC_ALL=de_DE.UTF-8 would.
class CommaDecimalLocale {
 public:
  CommaDecimalLocale() : saved_c_(std::setlocale(LC_ALL, nullptr)) {
    if (!std::setlocale(LC_ALL, "de_DE.UTF-8") && !BuiltGermanLocaleDir().empty()) {
#ifdef _WIN32
      _putenv_s("LOCPATH", BuiltGermanLocaleDir().c_str());
#else
      setenv("LOCPATH", BuiltGermanLocaleDir().c_str(), 1);
#endif
      set_locpath_ = true;
      std::setlocale(LC_ALL, "de_DE.UTF-8");
    }
    c_library_comma_ = std::string(std::localeconv()->decimal_point) == ",";
    std::locale::global(std::locale(std::locale(), new CommaPunct));
  }
  ~CommaDecimalLocale() {
    std::locale::global(saved_cpp_);
    std::setlocale(LC_ALL, saved_c_.c_str());
#ifdef _WIN32
    if (set_locpath_) _putenv_s("LOCPATH", "");
#else
    if (set_locpath_) unsetenv("LOCPATH");
#endif
  }
  bool c_library_comma() const { return c_library_comma_; }

 private:
  std::string saved_c_;
  std::locale saved_cpp_;
  bool set_locpath_ = false;
  bool c_library_comma_ = false;
};

double SixPm() { return platform::EncodeDateTime({2026, 12, 9, 18, 0, 0, 0}); }

TEST(ManageText, NumbersKeepTheirFullStopUnderACommaLocale) {
  CommaDecimalLocale comma;
  std::ostringstream cpp;
  cpp << 1.5;
  ASSERT_EQ(cpp.str(), "1,5");  // the locale really is in force
  if (comma.c_library_comma()) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%.1f", 1.5);
    ASSERT_STREQ(buf, "1,5");
  } else {
    std::printf("note: no German C locale here; only the C++ locale has a decimal comma\n");
  }

  EXPECT_EQ(GeneralNumber(SixPm()), "46365.75");
  EXPECT_EQ(GeneralNumber(46365), "46365");  // a whole day has no decimal part
  EXPECT_EQ(GeneralNumber(0), "0");
  EXPECT_EQ(GeneralNumber(1234567), "1234567");
  EXPECT_EQ(GeneralNumber(123456789012345), "123456789012345");
  EXPECT_EQ(GeneralNumber(46365.48219217592), "46365.4821921759");  // 15 significant digits
  EXPECT_EQ(GeneralNumber(1.0 / 3), "0.333333333333333");
}

class SessionListing : public ::testing::Test {
 protected:
  SessionListing() {
    for (int port : {7001, 7002}) {
      auto s = std::make_unique<TServiceData>();
      s->manage_port = port + 0.9;  // the whole part is the port
      s->name = "S" + std::to_string(port);
      svc_.services.push_back(std::move(s));
    }
  }
  TServiceData& A() { return *svc_.services[0]; }
  TServiceData& B() { return *svc_.services[1]; }

  // A relay connection of `service` holding a record, listed in relayThreads.
  TThreadData& AddRelay(TServiceData* service, double session_id) {
    auto conn = std::make_shared<TRelayConnection>();
    conn->data = std::make_unique<TThreadData>();
    conn->data->service = service;
    conn->data->sessionId = session_id;
    svc_.relayThreads.push_back(conn);
    return *conn->data;
  }

  TQuorvexService svc_;
};

TEST_F(SessionListing, ListsEveryConnectionOfTheServiceAndCountsTheEstablished) {
  CommaDecimalLocale comma;
  TThreadData& decoded = AddRelay(&A(), 41);
  decoded.established = true;
  decoded.excluded = true;  // excluded connections are listed and counted all the same
  decoded.logonTime = SixPm();
  decoded.serviceName = "ORCL";
  decoded.sid = "X";
  decoded.program = "SQL@PLUS=1 ";  // values go out as held, unescaped and untrimmed
  decoded.host = "WS1";
  decoded.ip = "127.0.0.1";
  decoded.username = "KING";
  decoded.orauser = "SCOTT";
  AddRelay(&B(), 42).established = true;  // another service's
  AddRelay(&A(), 43);                      // accepted, no descriptor yet
  svc_.relayThreads.push_back(std::make_shared<TRelayConnection>());  // record gone

  const std::string expected =
      "@QXC@session_id=41@QXR@logontime=46365.75@QXR@service_name=ORCL@QXR@sid=X@QXR@"
      "program_name=SQL@PLUS=1 @QXR@host=WS1@QXR@ip=127.0.0.1@QXR@oracle_service=ORCL@QXR@"
      "username=KING@QXR@orauser=SCOTT@QXR@@QXC@"
      "@QXC@session_id=43@QXR@logontime=0@QXR@service_name=@QXR@sid=@QXR@program_name=@QXR@"
      "host=@QXR@ip=@QXR@oracle_service=@QXR@username=@QXR@orauser=@QXR@@QXC@";
  EXPECT_EQ(SessionListText(svc_, A()), expected);
  EXPECT_EQ(CurrentConnectionCount(svc_, A()), 1);
  EXPECT_EQ(CurrentConnectionCount(svc_, B()), 1);

  A().totalConnections = 12345;
  EXPECT_EQ(AnswerRequest(svc_, 7001, "getCurrentSessionList\n"), expected);
  EXPECT_EQ(AnswerRequest(svc_, 7001, "getCurrConn"), "1");
  EXPECT_EQ(AnswerRequest(svc_, 7001, "getTotConn"), "12345");
  A().startTime = SixPm();
  EXPECT_EQ(AnswerRequest(svc_, 7001, "\tgetStarted\r\n"), "2026-12-09 18:00:00");
  A().startTime = 46365;
  EXPECT_EQ(AnswerRequest(svc_, 7001, "getStarted"), "2026-12-09");  // midnight: date alone
  EXPECT_EQ(AnswerRequest(svc_, 7001, "getCurrConn getTotConn"), "InvalidRequest");
  EXPECT_EQ(AnswerRequest(svc_, 7001, std::string(1, '\0')), "InvalidRequest");
}

TEST_F(SessionListing, APassiveServiceAnswersFromItsCapturedConnections) {
  sniffer::TSniffer sniffer;
  A().sniffer = &sniffer;
  AddRelay(&A(), 1).established = true;  // not consulted in passive mode
  for (double id : {7, 5}) {
    auto rec = std::make_unique<TThreadData>();
    rec->service = &A();
    rec->sessionId = id;
    rec->established = id == 7;
    A().passiveConnections.push_back(std::move(rec));
  }
  EXPECT_EQ(CurrentConnectionCount(svc_, A()), 2);
  const std::string list = SessionListText(svc_, A());
  EXPECT_EQ(list.find("@QXC@session_id=7@"), 0u);
  EXPECT_NE(list.find("@QXC@@QXC@session_id=5@"), std::string::npos);
  EXPECT_EQ(list.find("session_id=1@"), std::string::npos);
  A().sniffer = nullptr;
}

TEST_F(SessionListing, AnUnownedPortIsAnsweredInvalidAndLogged) {
  test::TempDir dir;
  std::string error;
  ASSERT_TRUE(svc_.serviceLog.Create(dir.File("qxservice.log"), &error)) << error;
  ASSERT_TRUE(svc_.errorLog.Create(dir.File("qxerror.log"), &error)) << error;
  EXPECT_EQ(AnswerRequest(svc_, 7003, "getStarted"), "InvalidRequest");
  EXPECT_EQ(test::LogMessages(dir.File("qxerror.log")),
            std::vector<std::string>{"Unable to find managing service for port '. Sending "
                                     "invalid response back to client."});
  EXPECT_EQ(test::LogMessages(dir.File("qxservice.log")),
            std::vector<std::string>{
                "Unable to find managing service. Sending invalid response back to client."});
  svc_.serviceLog.Close();
  svc_.errorLog.Close();
}

}  // namespace
}  // namespace qx::manage
