// Creation, start-up and teardown of the service object.
#include "service/service.h"

#include <algorithm>
#include <cstdio>

#include "capture/connection.h"
#include "platform/datetime.h"
#include "repository/session_factory.h"
#include "repository/sqlite/sqlite_session.h"
#include "repository/upgrade.h"
#include "sql/spool.h"
#include "service/heartbeat.h"
#include "service/catalogue.h"
#include "service/config.h"
#include "sniffer/sniffer.h"
#include "sql/byte_text.h"

namespace qx::service {

namespace {
constexpr const char* kSection = "Service";
constexpr int kPoolSize = 14;

// A capture component as the service creates them: bound to no interface, TCP, unfiltered.
std::unique_ptr<sniffer::TSniffer> NewSniffer() {
  auto s = std::make_unique<sniffer::TSniffer>();
  s->SetDeviceIndex(-1);
  s->SetCaptureProtocol(sniffer::pTCP);  // filter text "tcp"
  s->SetFiltered(false);
  s->SetCaptureLength(45);
  s->SetCaptureMode(sniffer::capPromiscuous);
  return s;
}
}  // namespace

TQuorvexService::TQuorvexService() = default;
TQuorvexService::~TQuorvexService() = default;

void WriteConnectionLog(TServiceData& service, const std::string& line) {
  if (service.connLogOpen.load()) service.connLog.WriteLine(line);
}

void TQuorvexService::WriteErrorLog(const std::string& message) {
  errorLog.WriteStamped(message);
  if (echoStartupErrors.load()) std::fprintf(stderr, "qxservice: %s\n", message.c_str());
}

void TQuorvexService::ReportError(const std::string& message) {
  WriteServiceLog(message);
  WriteErrorLog(message);
}

void TQuorvexService::ServiceCreate() {
  // The session itself is created at start-up, when the connect string is known; until then
  // `session` is empty, which every user treats as "not connected".
  services.clear();
  nextConnectionNo = 0;
  sqlKeywords = {"INSERT", "MERGE",  "UPDATE", "DELETE", "DECLARE", "BEGIN",
                 "SELECT", "CREATE", "ALTER",  "DROP",   "COMMIT;", "ROLLBACK;"};
  snifferPool.clear();
  for (int i = 0; i < kPoolSize; ++i) snifferPool.push_back(NewSniffer());
  snifIPInt = NewSniffer();
  loop = platform::EventLoop::Create();
  loop->SetErrorSink([](const std::string& text) {
    platform::SystemLogError("qxservice", text);
  });
}

bool TQuorvexService::ServiceStart() {
  logsOpened = true;
  return StartSteps();
}

bool TQuorvexService::StartSteps() {
  if (programDirectory.empty()) programDirectory = ProgramDirectory();
  std::string error;
  if (!errorLog.Create(programDirectory + "qxerror.log", &error)) {
    throw std::runtime_error(error);
  }
  if (!serviceLog.Create(programDirectory + "qxservice.log", &error)) {
    throw std::runtime_error(error);
  }
  // Every relayed client takes two descriptors: the default soft limit of 1,024 would cap
  // the relay at about 500 clients.
  descriptorLimitError_.clear();
  descriptorLimit_ = platform::RaiseDescriptorLimit(&descriptorLimitError_);

  const std::string ini_path = programDirectory + "qxservice.ini";
  if (!platform::FileExists(ini_path)) {
    WriteErrorLog("Cannot find service initialization file " + ini_path);
    return false;
  }
  const IniFile ini = IniFile::Load(ini_path);
  repositoryConnectString = ini.ReadString(kSection, "rpstConnStr", "");
  if (repositoryConnectString.empty()) {
    WriteErrorLog("Invalid repository connect string.");
    return false;
  }

  // A connect string of neither form is rejected here, outside the guarded connect: the
  // error escapes to the host like any other start-up error.
  session = repository::Session::Create(repositoryConnectString, programDirectory);
  try {
    session->Connect();
  } catch (const std::exception& e) {
    ReportError(std::string("Database repository connection error: ") + e.what());
    return false;
  }
  WriteServiceLog("Successfully connected to the Quorvex database repository.");

  {
    auto query = session->NewQuery(repository::SqlId::kCheckInstalled);
    query->Open();
    const bool installed = query->RowCount() >= 1;
    query->Close();
    if (!installed) {
      WriteErrorLog("Repository is not installed under schema " + session->UserName());
      return false;
    }
    repositoryInstalled = true;
  }
  try {
    historyOutcomeColumns = repository::HasColumns(*session, "qx_client_sql_history",
                                                   {"rows_processed", "error_code"});
    fingerprintColumns =
        repository::HasColumns(*session, "qx_client_sql", {"fingerprint_hash", "fingerprint"});
  } catch (const std::exception& e) {
    ReportError(std::string("Could not read the columns of qx_client_sql_history: ") + e.what());
  }
  if (!historyOutcomeColumns) {
    WriteServiceLog(
        "The repository's qx_client_sql_history has no rows_processed and error_code columns: "
        "executions are stored without their outcome until `qxadmin upgrade CONNECT_STRING` "
        "adds them (then restart the service).");
  }
  if (!fingerprintColumns) {
    WriteServiceLog(
        "The repository's qx_client_sql has no fingerprint_hash and fingerprint columns: new "
        "statements are stored without their fingerprint until `qxadmin upgrade CONNECT_STRING` "
        "adds them and fills them in for the statements already stored (then restart the "
        "service).");
  }

  debugConnections = ini.ReadInteger(kSection, "DebugConnections", 0) == 1;
  if (debugConnections) WriteServiceLog("Connection debugging enabled.");
  deadConnectionTimeout = ini.ReadInteger(kSection, "DeadConnectionTimeout", 1440);
  WriteServiceLog("Dead connection timeout is " + std::to_string(deadConnectionTimeout) +
                  " seconds.");
  relayStallTimeout = std::max(0, ini.ReadInteger(kSection, "RelayStallTimeout", 300));
  manageIdleTimeout = std::max(0, ini.ReadInteger(kSection, "ManageIdleTimeout", 60));
  manageMaxClients = std::max(1, ini.ReadInteger(kSection, "ManageMaxClients", 64));
  sqlHistCacheCount = ini.ReadInteger(kSection, "sqlHistCacheCount", 100);
  WriteServiceLog("SQL history cache size " + std::to_string(sqlHistCacheCount) + " records.");
  sqlCacheCount = ini.ReadInteger(kSection, "sqlCacheCount", 500);
  WriteServiceLog("SQL cache size " + std::to_string(sqlCacheCount) + " records.");
  if (debugConnections) WriteServiceLog("Enabled connection tracing.");
  const std::string capture = ini.ReadString(kSection, "StatementCapture", "decode");
  if (sql::EqualsIgnoreAsciiCase(capture, "keyword")) {
    keywordCapture = true;
  } else if (!sql::EqualsIgnoreAsciiCase(capture, "decode")) {
    ReportError("StatementCapture '" + capture +
                "' is neither 'decode' nor 'keyword'; statements are decoded.");
  }
  if (keywordCapture) WriteServiceLog("Statement texts are taken by keyword search.");
  sqlCache = std::make_unique<sql::TSQLCache>(sqlCacheCount);
  spoolPath = ini.ReadString(kSection, "SpoolPath", "");
  spoolLimitMB = ini.ReadInteger(kSection, "SpoolLimitMB", 1024);
  StartBackgroundWork();

  monitorServices = ini.ReadString(kSection, "MonitorServices", "");
  if (monitorServices.empty()) {
    WriteErrorLog("Unable to find any services to monitor in the repository.");
    return false;
  }

  LoadServices(*this, monitorServices);
  if (services.empty()) {
    ReportError(
        "Unable to load any services to monitor from the database repository. Please ensure "
        "that Quorvex database repository under schema " +
        session->UserName() + "@" + session->Server() +
        " contains configuration for the following services: " + monitorServices);
    return false;
  }

  WriteServiceLog("Service successfully started.");
  WriteServiceLog("Loaded services to monitor: " + std::to_string(services.size()));
  for (const auto& s : services) {
    WriteServiceLog("------------------------------------- ");
    WriteServiceLog("Loaded service: " + s->name);
    WriteServiceLog(s->IsActive() ? "Monitoring Mode: ACTIVE" : "Monitoring Mode: PASSIVE");
    WriteServiceLog("Database host: " + s->oracle_host);
    if (s->IsActive()) {
      WriteServiceLog("Listen port: " + NumberText(s->work_port));
    } else {
      WriteServiceLog("Monitoring IP Interface: " + s->ipinterface);
    }
    WriteServiceLog("Oracle port: " + NumberText(s->oracle_port));
    WriteServiceLog("Managing port: " + NumberText(s->manage_port));
  }

  const int running = StartListeners(*this);
  if (running == 0) {
    ReportError("No service could start its listener or capture, so nothing would be "
                "monitored: the start fails.");
    return false;
  }
  if (descriptorLimit_.now > 0) {  // 0: the platform has no such limit
    std::string limit = "Open file descriptor limit: " + std::to_string(descriptorLimit_.now);
    if (descriptorLimit_.now != descriptorLimit_.before) {
      limit += " (raised from " + std::to_string(descriptorLimit_.before) + ")";
    } else if (!descriptorLimitError_.empty()) {
      limit += " (cannot raise it: " + descriptorLimitError_ + ")";
    }
    WriteServiceLog(limit + ".");
  }
  return true;
}

void TQuorvexService::StartBackgroundWork() {
  conditionSession = repository::sqlite::CreateSqliteSession(":memory:", "conditions", true);
  try {
    conditionSession->Connect();
  } catch (const std::exception& e) {
    ReportError(std::string("Filter date conditions go to the repository: ") + e.what());
    conditionSession.reset();
  }
  sessionNumbers = std::make_unique<sql::SessionNumbers>(
      [this] { return capture::NextSessionId(*this); },
      [this](const std::string& line) { ReportError(line); });
  // The spool: beside the executable unless SpoolPath says where; SpoolLimitMB 0 or less
  // turns it off (rows then wait in memory only).
  std::unique_ptr<sql::Spool> spool;
  std::string instance;
  if (spoolLimitMB > 0) {
    std::string directory = spoolPath.empty() ? programDirectory + "spool" : spoolPath;
    if (!directory.empty() && directory[0] != '/' && directory.find(':') == std::string::npos) {
      directory = programDirectory + directory;
    }
    std::string error;
    spool = sql::Spool::Open(directory, static_cast<uint64_t>(spoolLimitMB) << 20,
                             [this](const std::string& line) { ReportError(line); }, &error);
    if (spool) {
      instance = GetHostName() + ":" + directory;
    } else {
      ReportError("The history spool cannot be opened (rows wait in memory only): " + error);
    }
  }
  std::string repository_file;
  try {
    const auto target = repository::ParseConnectString(repositoryConnectString, programDirectory);
    if (target.kind == repository::ConnectTarget::Kind::kSqlite) repository_file = target.sqlite_file;
  } catch (const std::exception&) {
  }
  historyWriter = std::make_unique<sql::HistoryWriter>(*this, std::move(spool), instance,
                                                       repository_file);
  heartbeat = std::make_unique<Heartbeat>(*this);
}

void TQuorvexService::ServiceDestroy() {
  StopListeners(*this);
  heartbeat.reset();
  // Every connection is flushed now: write what they handed over before the session goes.
  historyWriter.reset();
  sessionNumbers.reset();
  // Only now: every relay connection has ended and the writer, which looks statements up in
  // the cache, has stopped.
  sqlCache.reset();

  // Without the schema there are no status rows to delete (and no table to delete them from).
  if (session && session->Connected() && repositoryInstalled) {
    try {
      auto st = session->NewStatement(repository::SqlId::kDeleteStatusRows);
      st->SetString("host", GetHostName());
      st->Execute();
    } catch (const std::exception& e) {
      // Teardown goes on: the rows are replaced at the next start anyway.
      ReportError(std::string("Unable to delete the service status rows: ") + e.what());
    }
  }
  services.clear();
  if (session) {
    session->Disconnect();
    session.reset();
  }
  if (logsOpened) {
    errorLog.Close();
    serviceLog.WriteStamped("Service successfully shutdown.");
    serviceLog.Close();
  }
}

}  // namespace qx::service
