// Helpers for the tests that run real Oracle thin clients (python-oracledb, node-oracledb): where
// the clients are, the stand-in Oracle server (build/qxoracle-standin) and its event log, the
// scripted workloads and their output, a qxservice prepared in a temporary directory, and the
// executions it recorded in its SQLite repository.
//
// Everything here runs on the test's thread; Standin owns its child process and stops it (with
// SIGKILL, through Child) when it goes away unless Stop() ran first.
#pragma once

#include <string>
#include <vector>

#include "support/test_util.h"

namespace qx::test {

// The account the stand-in accepts.
inline constexpr const char* kStandinUser = "scott";
inline constexpr const char* kStandinPassword = "tiger";
// sqltext .. sqltext3 hold 2000 characters each.
inline constexpr size_t kStoredTextLimit = 8000;

// A path inside the source tree.
std::string SourcePath(const std::string& relative);

// The clients: "python" (Debian's python3 with python3-oracledb) or "node" (node on PATH with
// tests/clients/node/node_modules installed by npm ci).
std::string PythonPath();
std::string NodePath();  // "" when node is not on PATH
bool ClientPresent(const std::string& client);
// Why a test of that client is skipped when it is not present.
std::string ClientMissingReason(const std::string& client);

std::string Upper(std::string s);
// Reverses the escaping of statement texts in the stand-in's log and the workloads' output
// (\\, \n, \r, \t, \xHH).
std::string Unescape(const std::string& s);

// One line of the stand-in's log: "<connection> <EVENT> <details>".
struct StandinEvent {
  int connection = 0;
  std::string event;
  std::string details;
};

// The stand-in in the foreground on a free loopback port, logging to dir/standin.log (its
// output goes to dir/standin.out). port() is 0 when it did not come up within 10 s.
class Standin {
 public:
  explicit Standin(const TempDir& dir);
  int port() const { return port_; }
  std::vector<StandinEvent> Log() const;
  // The events of one connection (numbered from 1 in the order they arrived).
  std::vector<StandinEvent> Events(int connection) const;
  // SIGTERM; the exit code.
  int Stop();

 private:
  std::string log_path_;
  Child child_;
  int port_ = 0;
};

// Texts (still escaped) of the SQL and EXEC events, in order; with texts_only, only the
// executions that carried their text.
std::vector<std::string> Executions(const std::vector<StandinEvent>& events, bool texts_only);
bool HasEvent(const std::vector<StandinEvent>& events, const std::string& event);

// What a workload printed.
struct WorkloadResult {
  int code = -1;
  std::string output;
  std::vector<std::string> executions;  // escaped, as printed
  bool summary = false;
};

WorkloadResult ParseWorkload(int code, const std::string& output);
// The command line of a client's workload against 127.0.0.1:port, service XE, as kStandinUser.
std::vector<std::string> WorkloadCommand(const std::string& client, int port);
// Runs it to completion (at most 120 s).
WorkloadResult RunWorkload(const std::string& client, int port);

// Prepares dir for a qxservice: copies qxservice and qxadmin into it, creates the repository
// sqlite:repo.db, adds one service named XE with the qxadmin "service add" options given, and
// writes qxservice.ini monitoring it, `ini_lines` added to its [Service] section. Returns ""
// on success, else what failed with qxadmin's output.
std::string PrepareService(const TempDir& dir, const std::vector<std::string>& add_options,
                           const std::string& ini_lines = "");
// True when a message of the log at `path` starts with `prefix`.
bool LogHasPrefix(const std::string& path, const std::string& prefix);

// One history row per recorded execution, in the order recorded, each as text: the whole
// statement (its four text columns joined), host, ip, orauser, service_name, program,
// username. Empty when the repository cannot be read, *readable (when given) then false.
std::vector<std::vector<std::string>> RecordedExecutions(const std::string& db_path,
                                                         bool* readable = nullptr);

}  // namespace qx::test
