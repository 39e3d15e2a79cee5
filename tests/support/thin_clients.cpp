// Helpers for the tests with real Oracle thin clients (thin_clients.h).
#include "support/thin_clients.h"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>


namespace qx::test {

std::string SourcePath(const std::string& relative) {
  return std::string(QX_SOURCE_DIR) + "/" + relative;
}

// Debian's interpreter, where python3-oracledb is installed, whatever python3 PATH finds first.
std::string PythonPath() { return "/usr/bin/python3"; }

std::string NodePath() {
  const char* path = std::getenv("PATH");
  std::string dirs = path ? path : "/usr/bin:/usr/local/bin";
  size_t at = 0;
  while (at <= dirs.size()) {
    size_t end = dirs.find(':', at);
    if (end == std::string::npos) end = dirs.size();
    const std::string candidate = dirs.substr(at, end - at) + "/node";
    if (access(candidate.c_str(), X_OK) == 0) return candidate;
    at = end + 1;
  }
  return {};
}

namespace {

bool PythonClientPresent() {
  if (!Exists(PythonPath())) return false;
  std::string out;
  return RunProgram({PythonPath(), "-c", "import oracledb"}, &out, 30000) == 0;
}

bool NodeClientPresent() {
  return !NodePath().empty() &&
         Exists(SourcePath("tests/clients/node/node_modules/oracledb/package.json"));
}

}  // namespace

bool ClientPresent(const std::string& client) {
  return client == "python" ? PythonClientPresent() : NodeClientPresent();
}

std::string ClientMissingReason(const std::string& client) {
  return client == "python" ? "python3-oracledb is not installed (apt-get install python3-oracledb)"
                            : "node or node-oracledb is missing (scripts/install-deps.sh runs "
                              "npm ci in tests/clients/node)";
}

std::string Upper(std::string s) {
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

std::string Unescape(const std::string& s) {
  std::string out;
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] != '\\' || i + 1 == s.size()) {
      out.push_back(s[i]);
      continue;
    }
    const char c = s[++i];
    if (c == 'n') out.push_back('\n');
    else if (c == 'r') out.push_back('\r');
    else if (c == 't') out.push_back('\t');
    else if (c == 'x' && i + 2 < s.size()) {
      out.push_back(static_cast<char>(std::stoi(s.substr(i + 1, 2), nullptr, 16)));
      i += 2;
    } else {
      out.push_back(c);
    }
  }
  return out;
}

// ---- Standin ----

Standin::Standin(const TempDir& dir)
    : log_path_(dir.File("standin.log")),
      child_({BinaryPath("qxoracle-standin"), "--listen", "127.0.0.1:0", "--user", kStandinUser,
              "--password", kStandinPassword, "--log", log_path_},
             dir.File("standin.out")) {
  WaitUntil([this] { return !Log().empty(); }, 10000);
  const auto lines = Log();
  if (!lines.empty() && lines[0].event == "LISTEN") {
    port_ = std::stoi(lines[0].details.substr(lines[0].details.rfind(':') + 1));
  }
}

std::vector<StandinEvent> Standin::Log() const {
  std::vector<StandinEvent> out;
  for (const std::string& line : Lines(ReadText(log_path_))) {
    StandinEvent l;
    const size_t a = line.find(' ');
    if (a == std::string::npos) continue;
    l.connection = std::atoi(line.substr(0, a).c_str());
    const size_t b = line.find(' ', a + 1);
    l.event = line.substr(a + 1, b == std::string::npos ? std::string::npos : b - a - 1);
    if (b != std::string::npos) l.details = line.substr(b + 1);
    out.push_back(l);
  }
  return out;
}

std::vector<StandinEvent> Standin::Events(int connection) const {
  std::vector<StandinEvent> out;
  for (const StandinEvent& l : Log()) {
    if (l.connection == connection) out.push_back(l);
  }
  return out;
}

int Standin::Stop() {
  child_.Signal(SIGTERM);
  return child_.Wait(10000);
}

std::vector<std::string> Executions(const std::vector<StandinEvent>& events, bool texts_only) {
  std::vector<std::string> out;
  for (const StandinEvent& l : events) {
    if (l.event == "SQL" || (!texts_only && l.event == "EXEC")) {
      out.push_back(l.details.substr(l.details.find(' ') + 1));
    }
  }
  return out;
}

bool HasEvent(const std::vector<StandinEvent>& events, const std::string& event) {
  return std::any_of(events.begin(), events.end(),
                     [&](const StandinEvent& l) { return l.event == event; });
}

// ---- Workloads ----

WorkloadResult ParseWorkload(int code, const std::string& output) {
  WorkloadResult r;
  r.code = code;
  r.output = output;
  for (const std::string& line : Lines(output)) {
    if (line.rfind("EXECUTE ", 0) == 0) r.executions.push_back(line.substr(8));
    if (line.rfind("SUMMARY ", 0) == 0) r.summary = true;
  }
  return r;
}

std::vector<std::string> WorkloadCommand(const std::string& client, int port) {
  std::vector<std::string> argv;
  if (client == "python") {
    argv = {PythonPath(), SourcePath("tests/clients/python_workload.py")};
  } else {
    argv = {NodePath(), SourcePath("tests/clients/node/workload.js")};
  }
  for (const std::string& a : {std::string("127.0.0.1"), std::to_string(port), std::string("XE"),
                               std::string(kStandinUser), std::string(kStandinPassword)}) {
    argv.push_back(a);
  }
  return argv;
}

WorkloadResult RunWorkload(const std::string& client, int port) {
  std::string output;
  const int code = RunProgram(WorkloadCommand(client, port), &output, 120000);
  return ParseWorkload(code, output);
}

// ---- The service and its repository ----

std::string PrepareService(const TempDir& dir, const std::vector<std::string>& add_options,
                           const std::string& ini_lines) {
  CopyFileTo(BinaryPath("qxservice"), dir.File("qxservice"));
  CopyFileTo(BinaryPath("qxadmin"), dir.File("qxadmin"));
  std::string out;
  if (RunProgram({dir.File("qxadmin"), "init", "sqlite:repo.db"}, &out) != 0) {
    return "qxadmin init failed: " + out;
  }
  std::vector<std::string> add = {dir.File("qxadmin"), "-r", "sqlite:repo.db", "service",
                                  "add", "--name", "XE"};
  add.insert(add.end(), add_options.begin(), add_options.end());
  if (RunProgram(add, &out) != 0) return "qxadmin service add failed: " + out;
  WriteText(dir.File("qxservice.ini"),
            "[Service]\nrpstConnStr=sqlite:repo.db\nMonitorServices=XE\n" + ini_lines);
  return {};
}

bool LogHasPrefix(const std::string& path, const std::string& prefix) {
  const auto log = LogMessages(path);
  return std::any_of(log.begin(), log.end(),
                     [&](const std::string& m) { return m.rfind(prefix, 0) == 0; });
}

std::vector<std::vector<std::string>> RecordedExecutions(const std::string& db_path,
                                                         bool* readable) {
  return qx::test::SqliteRows(
      db_path,
      "select s.sqltext || coalesce(s.sqltext1, '') || coalesce(s.sqltext2, '') || "
      "coalesce(s.sqltext3, ''), h.host, h.ip, h.orauser, h.service_name, h.program, h.username "
      "from qx_client_sql_history h join qx_client_sql s on s.id = h.sql_id order by h.id",
      readable);
}

}  // namespace qx::test
