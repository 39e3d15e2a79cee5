// qxadmin's command line: parsing, checking the input and running the commands on the
// repository through its statements (sql_texts.h).
#include "admin/admin.h"

#include <cctype>
#include <cmath>
#include <map>
#include <memory>
#include <set>
#include <stdexcept>

#include "admin/admin_config.h"
#include "admin/purge.h"
#include "admin/report.h"
#include "admin/report_common.h"
#include "admin/status.h"
#include "admin/table_printer.h"
#include "platform/datetime.h"
#include "platform/platform.h"
#include "repository/repository.h"
#include "repository/schema.h"
#include "repository/session_factory.h"
#include "repository/upgrade.h"
#include "sql/fingerprint.h"

namespace qx::admin {
namespace {

using repository::Query;
using repository::RepositoryError;
using repository::Session;
using repository::SqlId;

// A wrong command line (exit 2).
class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The repository refused or lacks what was asked for (exit 1).
class Refusal : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

std::string Upper(std::string s) {
  for (char& c : s) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return s;
}

std::string Trim(const std::string& s) {
  size_t b = 0, e = s.size();
  while (b < e && static_cast<unsigned char>(s[b]) <= ' ') ++b;
  while (e > b && static_cast<unsigned char>(s[e - 1]) <= ' ') --e;
  return s.substr(b, e - b);
}

// ---- The command line ----

const std::set<std::string> kFlags = {"--csv", "--disabled", "--full", "--help", "-h"};

struct CommandLine {
  std::vector<std::string> words;
  std::map<std::string, std::string> options;  // "--name" -> value
  std::set<std::string> flags;
  std::string repository;  // -r / --repository
};

CommandLine Parse(const std::vector<std::string>& args) {
  CommandLine cl;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "-r" || a == "--repository") {
      if (i + 1 >= args.size()) throw UsageError(a + " needs a connect string");
      cl.repository = args[++i];
      continue;
    }
    if (kFlags.count(a)) {
      cl.flags.insert(a == "-h" ? "--help" : a);
      continue;
    }
    if (a.size() > 2 && a.compare(0, 2, "--") == 0) {
      std::string name = a, value;
      const size_t eq = a.find('=');
      if (eq != std::string::npos) {
        name = a.substr(0, eq);
        value = a.substr(eq + 1);
      } else {
        if (i + 1 >= args.size()) throw UsageError("Option " + a + " needs a value");
        value = args[++i];
      }
      if (name == "--repository") {
        cl.repository = value;
        continue;
      }
      if (cl.options.count(name)) throw UsageError("Option " + name + " is given twice");
      cl.options[name] = value;
      continue;
    }
    if (a.size() > 1 && a[0] == '-') throw UsageError("Unknown option " + a);
    cl.words.push_back(a);
  }
  return cl;
}

void AllowOnly(const CommandLine& cl, const std::set<std::string>& options,
               const std::set<std::string>& flags, const std::string& command) {
  for (const auto& [name, value] : cl.options) {
    if (!options.count(name)) throw UsageError("Option " + name + " does not belong to " + command);
  }
  for (const std::string& f : cl.flags) {
    if (!flags.count(f)) throw UsageError("Option " + f + " does not belong to " + command);
  }
}

std::string Opt(const CommandLine& cl, const std::string& name) {
  const auto it = cl.options.find(name);
  return it == cl.options.end() ? "" : it->second;
}

std::string Required(const CommandLine& cl, const std::string& name) {
  const auto it = cl.options.find(name);
  if (it == cl.options.end() || Trim(it->second).empty()) {
    throw UsageError("Option " + name + " is required");
  }
  return it->second;
}

// ---- Input checks ----

bool AllDigits(const std::string& s) {
  if (s.empty()) return false;
  for (char c : s) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

int Port(const CommandLine& cl, const std::string& option) {
  const std::string v = Trim(Required(cl, option));
  if (!AllDigits(v) || v.size() > 5 || std::stoi(v) > 65535) {
    throw UsageError(option + " must be a port number from 0 to 65535, not \"" + v + "\"");
  }
  return std::stoi(v);
}

double Id(const std::string& option, const std::string& value) {
  const std::string v = Trim(value);
  if (!AllDigits(v) || v.size() > 15 || std::stod(v) < 1) {
    throw UsageError(option + " must be a whole number above 0, not \"" + v + "\"");
  }
  return std::stod(v);
}

void CheckWidth(const std::string& option, const std::string& value, size_t width) {
  if (value.size() > width) {
    throw UsageError(option + " is " + std::to_string(value.size()) +
                     " characters long; the repository holds at most " + std::to_string(width));
  }
}

void CheckText(const std::string& option, const std::string& value, size_t width) {
  for (char c : value) {
    if (static_cast<unsigned char>(c) < 0x20) {
      throw UsageError(option + " must not contain control characters");
    }
  }
  CheckWidth(option, value, width);
}

bool IsIpv4(const std::string& s) {
  int parts = 0;
  size_t pos = 0;
  while (true) {
    size_t end = s.find('.', pos);
    const std::string part = s.substr(pos, end == std::string::npos ? std::string::npos : end - pos);
    if (!AllDigits(part) || part.size() > 3 || std::stoi(part) > 255) return false;
    ++parts;
    if (end == std::string::npos) break;
    pos = end + 1;
  }
  return parts == 4;
}

std::string FilterType(const CommandLine& cl) {
  const std::string t = Upper(Trim(Required(cl, "--type")));
  if (t != "INCLUDE" && t != "EXCLUDE") {
    throw UsageError("--type must be INCLUDE or EXCLUDE, not \"" + Opt(cl, "--type") + "\"");
  }
  return t;
}

// ---- Output ----

std::string Cell(const Query& q, const std::string& column) { return q.FieldAsString(column); }

void Print(const Table& table, const CommandLine& cl, std::ostream& out) {
  if (cl.flags.count("--csv")) {
    PrintCsv(table, out);
  } else {
    PrintAligned(table, out);
  }
}

std::string Number(double v) {
  if (v == std::trunc(v) && std::fabs(v) < 1e15) return std::to_string(static_cast<long long>(v));
  return std::to_string(v);
}

// ---- The repository ----

std::unique_ptr<Session> Open(const CommandLine& cl, const std::string& program_directory) {
  std::string cs = cl.repository;
  if (cs.empty()) cs = DefaultConnectString(program_directory);
  if (cs.empty()) {
    throw UsageError("No repository given: use -r CONNECT_STRING, or set rpstConnStr in " +
                     program_directory + "qxservice.ini");
  }
  std::unique_ptr<Session> session;
  try {
    session = Session::Create(cs, program_directory);
  } catch (const RepositoryError& e) {
    throw UsageError(e.what());
  }
  session->Connect();
  auto check = session->NewQuery(SqlId::kCheckInstalled);
  check->Open();
  if (check->RowCount() < 1) {
    throw Refusal("The repository " + session->Server() +
                  " has no Quorvex schema (no table QX_SERVICE_LIST); create it with qxadmin init");
  }
  return session;
}

struct ServiceRow {
  double id = 0;
  std::string name;
};

// The service an option names: --service NAME (any letter case) or --service-id N.
ServiceRow FindService(Session& s, const CommandLine& cl, const std::string& name_option,
                       const std::string& id_option, bool required) {
  const bool by_name = cl.options.count(name_option) > 0;
  const bool by_id = cl.options.count(id_option) > 0;
  if (by_name && by_id) throw UsageError("Give " + name_option + " or " + id_option + ", not both");
  if (!by_name && !by_id) {
    if (required) throw UsageError("Option " + name_option + " or " + id_option + " is required");
    return {};
  }
  std::unique_ptr<Query> q;
  std::string what;
  if (by_name) {
    const std::string name = Upper(Trim(Opt(cl, name_option)));
    if (name.empty()) throw UsageError("Option " + name_option + " needs a service name");
    q = s.NewQuery(SqlId::kLoadService);
    q->SetString("name", name);
    what = "named " + Trim(Opt(cl, name_option));
  } else {
    q = s.NewQuery(SqlId::kAdminFindServiceById);
    q->SetNumber("id", Id(id_option, Opt(cl, id_option)));
    what = "with id " + Trim(Opt(cl, id_option));
  }
  q->Open();
  if (q->RowCount() < 1) throw Refusal("There is no monitored service " + what);
  return {q->FieldAsNumber("id"), q->FieldAsString("name")};
}

// Runs a date condition the way the service will, so that a condition the repository
// rejects is refused now instead of silently never matching.
void CheckDateCondition(Session& s, const std::string& option, const std::string& text,
                        bool connection_time) {
  const std::string cond = Trim(text);
  if (cond.empty()) return;
  std::string sql = "select count(*) from dual where ";
  std::unique_ptr<Query> q;
  if (connection_time) {
    q = s.NewFreeQuery(sql + Upper(cond));
    if (q->HasParam("CONN_TIME")) q->SetDateTime("CONN_TIME", platform::NowDateTime());
  } else {
    std::string replaced;
    for (size_t i = 0; i < cond.size();) {
      if (Upper(cond.substr(i, 5)) == ":DATE") {
        replaced += "sysdate";
        i += 5;
      } else {
        replaced += cond[i++];
      }
    }
    q = s.NewFreeQuery(sql + replaced);
  }
  try {
    q->Open();
    q->FirstAsNumber();
  } catch (const RepositoryError& e) {
    throw UsageError(option + " is not a condition the repository can run: " + e.what());
  }
}

// ---- Commands ----

int Init(const CommandLine& cl, const std::string& program_directory, std::ostream& out) {
  AllowOnly(cl, {}, {}, "init");
  std::string cs = cl.repository;
  if (cl.words.size() == 2) {
    cs = cl.words[1];
  } else if (cl.words.size() > 2 || cs.empty()) {
    throw UsageError("Usage: qxadmin init CONNECT_STRING");
  }
  repository::ConnectTarget target;
  try {
    target = repository::ParseConnectString(cs, program_directory);
  } catch (const RepositoryError& e) {
    throw UsageError(e.what());
  }
  const bool new_file = target.kind == repository::ConnectTarget::Kind::kSqlite &&
                        !platform::FileExists(target.sqlite_file);
  if (new_file) {
    // The repository holds every recorded statement: readable by its owner only. SQLite
    // gives its journal files the mode of the database file.
    std::string error;
    if (!platform::WriteFile(target.sqlite_file, "", &error, platform::FileAccess::kOwnerOnly)) {
      throw Refusal("Cannot create the repository file " + target.sqlite_file + ": " + error);
    }
  }
  auto session = repository::CreateSession(target, true);
  session->Connect();
  auto check = session->NewQuery(SqlId::kCheckInstalled);
  check->Open();
  if (check->RowCount() > 0) {
    throw Refusal("The repository " + session->Server() +
                  " already has the Quorvex schema (table QX_SERVICE_LIST exists); nothing was "
                  "changed");
  }
  session->NewStatement(SqlId::kAdminCreateSchema)->Execute();
  if (new_file) out << "Created the repository file " << target.sqlite_file << "\n";
  for (const auto& object : repository::SchemaObjects()) {
    out << "Created " << object.kind << " " << object.name << "\n";
  }
  out << "The repository schema is ready in " << session->Server() << " (user "
      << session->UserName() << ")\n";
  return 0;
}

// Gives every stored statement without a fingerprint its fingerprint, 500 at a time (each
// update commits alone, so services may keep writing meanwhile). Returns how many.
long FillFingerprints(Session& s) {
  long filled = 0;
  double after = 0;
  for (;;) {
    auto q = s.NewQuery(SqlId::kAdminStatementsToFingerprint);
    q->SetNumber("after", after);
    q->Open();
    if (q->Eof()) return filled;
    for (; !q->Eof(); q->Next()) {
      const std::string text = q->FieldAsString("sqltext") + q->FieldAsString("sqltext1") +
                               q->FieldAsString("sqltext2") + q->FieldAsString("sqltext3");
      const std::string fp = sql::Fingerprint(text);
      after = q->FieldAsNumber("id");
      auto st = s.NewStatement(SqlId::kAdminSetFingerprint);
      st->SetNumber("id", after);
      st->SetString("fingerprint_hash", sql::FingerprintHash(fp));
      st->SetString("fingerprint", fp.substr(0, repository::width::kFingerprint));
      st->Execute();
      ++filled;
    }
  }
}

int UpgradeCommand(const CommandLine& cl, const std::string& program_directory,
                   std::ostream& out) {
  AllowOnly(cl, {}, {}, "upgrade");
  CommandLine target = cl;
  if (cl.words.size() == 2) {
    target.repository = cl.words[1];
  } else if (cl.words.size() > 2 || cl.repository.empty()) {
    throw UsageError("Usage: qxadmin upgrade CONNECT_STRING");
  }
  auto session = Open(target, program_directory);
  const int applied = repository::Upgrade(*session, out);
  const long filled = FillFingerprints(*session);
  if (filled) out << "Fingerprinted " << filled << " stored statement(s)\n";
  out << (applied ? "The repository schema in " + session->Server() + " is up to date (" +
                        std::to_string(applied) + " change(s)); restart the services that use it"
                  : "The repository schema in " + session->Server() +
                        " was up to date; nothing was changed")
      << "\n";
  return 0;
}

int PurgeCommand(const CommandLine& cl, const std::string& program_directory, std::ostream& out) {
  AllowOnly(cl, {"--before", "--batch"}, {}, "purge");
  if (cl.words.size() != 1 || !cl.options.count("--before")) {
    throw UsageError("Usage: qxadmin purge --before WHEN [--batch ROWS]");
  }
  double before = 0;
  size_t batch = 10000;
  try {
    before = report::When("--before", cl.options.at("--before"));
    batch = static_cast<size_t>(report::NumberOpt(cl.options, "--batch", 10000));
  } catch (const ReportUsageError& e) {
    throw UsageError(e.what());
  }
  if (batch < 1 || batch > 1000000) throw UsageError("--batch must be 1 to 1000000");
  if (before > platform::NowDateTime()) throw UsageError("--before must not be in the future");
  auto session = Open(cl, program_directory);
  if (!repository::HasColumns(*session, "qx_client_sql_history", {"exec_date"})) {
    throw Refusal("The repository has no execution history table");
  }
  const PurgeCounts counts = Purge(*session, before, batch);
  out << "Deleted " << counts.history << " history row(s) before "
      << platform::FormatTimestamp(before) << " and " << counts.statements
      << " statement(s) no row names any more, in " << counts.batches << " batch(es)\n";
  return 0;
}

int ServiceAdd(Session& s, const CommandLine& cl, std::ostream& out) {
  const std::string name = Trim(Required(cl, "--name"));
  CheckText("--name", name, repository::width::kServiceName);
  if (name.find_first_of(",/\\:*?\"<>|") != std::string::npos) {
    throw UsageError("--name must not contain any of , / \\ : * ? \" < > | (the name is an item "
                     "of MonitorServices and the name of the service's connection log)");
  }
  const std::string host = Trim(Required(cl, "--oracle-host"));
  CheckText("--oracle-host", host, repository::width::kOracleHost);
  const int oracle_port = Port(cl, "--oracle-port");
  const int work_port = Port(cl, "--work-port");
  const int manage_port = Port(cl, "--manage-port");
  if (work_port == manage_port) {
    throw UsageError("--work-port and --manage-port must be different");
  }
  const std::string ip = Trim(Opt(cl, "--ip-interface"));
  if (work_port == 0) {
    if (ip.empty()) {
      throw UsageError("A passive service (--work-port 0) needs --ip-interface, the IPv4 address "
                       "of the interface to capture on");
    }
    if (!IsIpv4(host)) {
      throw UsageError("A passive service matches packets by the server's address, so "
                       "--oracle-host must be an IPv4 address, not \"" + host + "\"");
    }
  }
  if (!ip.empty() && !IsIpv4(ip)) {
    throw UsageError("--ip-interface must be an IPv4 address, not \"" + ip + "\"");
  }
  auto existing = s.NewQuery(SqlId::kLoadService);
  existing->SetString("name", Upper(name));
  existing->Open();
  if (existing->RowCount() > 0) {
    throw Refusal("A monitored service named " + existing->FieldAsString("name") +
                  " already exists (id " + existing->FieldAsString("id") + ")");
  }
  auto st = s.NewStatement(SqlId::kAdminInsertService);
  st->DeclareOutputNumber("id");
  st->SetString("name", name);
  st->SetString("oracle_host", host);
  st->SetNumber("oracle_port", oracle_port);
  st->SetNumber("work_port", work_port);
  st->SetNumber("manage_port", manage_port);
  st->SetString("ipinterface", ip);
  st->Execute();
  out << "Added " << (work_port ? "active" : "passive") << " service " << name << " with id "
      << Number(st->OutputNumber("id")) << "\n";
  return 0;
}

int ServiceList(Session& s, const CommandLine& cl, std::ostream& out) {
  auto q = s.NewQuery(SqlId::kAdminListServices);
  q->Open();
  Table t{{"ID", "NAME", "MODE", "ORACLE_HOST", "ORACLE_PORT", "WORK_PORT", "MANAGE_PORT",
           "IP_INTERFACE"},
          {}};
  for (; !q->Eof(); q->Next()) {
    t.rows.push_back({Cell(*q, "id"), Cell(*q, "name"),
                      q->FieldAsNumber("work_port") != 0 ? "active" : "passive",
                      Cell(*q, "oracle_host"), Cell(*q, "oracle_port"), Cell(*q, "work_port"),
                      Cell(*q, "manage_port"), Cell(*q, "ipinterface")});
  }
  Print(t, cl, out);
  return 0;
}

int CountFilters(Session& s, SqlId list, double service_id) {
  auto q = s.NewQuery(list);
  q->SetNumber("service_id", service_id);
  q->Open();
  return q->RowCount();
}

int ServiceRemove(Session& s, const CommandLine& cl, std::ostream& out) {
  const ServiceRow row = FindService(s, cl, "--name", "--id", true);
  const int service_filters = CountFilters(s, SqlId::kAdminListServiceFilters, row.id);
  const int sql_filters = CountFilters(s, SqlId::kAdminListSqlFilters, row.id);
  auto st = s.NewStatement(SqlId::kAdminDeleteService);
  st->SetNumber("id", row.id);
  st->Execute();
  out << "Removed service " << row.name << " (id " << Number(row.id) << ") with "
      << service_filters << " service filter(s) and " << sql_filters << " SQL filter(s)\n";
  return 0;
}

struct FilterKind {
  const char* label;  // "service filter" / "SQL filter"
  SqlId insert, list, find, set_enabled, remove;
};

const FilterKind kServiceFilter = {"service filter", SqlId::kAdminInsertServiceFilter,
                                   SqlId::kAdminListServiceFilters, SqlId::kAdminFindServiceFilter,
                                   SqlId::kAdminSetServiceFilterEnabled,
                                   SqlId::kAdminDeleteServiceFilter};
const FilterKind kSqlFilter = {"SQL filter", SqlId::kAdminInsertSqlFilter,
                               SqlId::kAdminListSqlFilters, SqlId::kAdminFindSqlFilter,
                               SqlId::kAdminSetSqlFilterEnabled, SqlId::kAdminDeleteSqlFilter};

// Criterion options of the filter tables: option, column, width.
struct Criterion {
  const char* option;
  const char* column;
  size_t width;
};
const std::vector<Criterion> kServiceCriteria = {
    {"--service-name", "service_name", repository::width::kFilterServiceName},
    {"--sid", "sid", repository::width::kFilterSid},
    {"--program", "program", repository::width::kFilterProgram},
    {"--host", "host", repository::width::kFilterHost},
    {"--username", "username", repository::width::kFilterUsername},
    {"--orauser", "orauser", repository::width::kFilterOrauser},
    {"--date-expr", "date_expr", repository::width::kDateExpr},
};
const std::vector<Criterion> kSqlCriteria = {
    {"--exec-date-expr", "exec_date_expr", repository::width::kDateExpr},
    {"--exec-time", "exec_time", repository::width::kExecTime},
    {"--sql-statement", "sqlstatement", repository::width::kSqlStatement},
    {"--object-list", "object_list", repository::width::kObjectList},
};

int FilterAdd(Session& s, const CommandLine& cl, const FilterKind& kind, std::ostream& out) {
  const bool service_kind = kind.insert == SqlId::kAdminInsertServiceFilter;
  const auto& criteria = service_kind ? kServiceCriteria : kSqlCriteria;
  const std::string type = FilterType(cl);
  bool any = false;
  for (const Criterion& c : criteria) {
    const std::string v = Opt(cl, c.option);
    CheckText(c.option, v, c.width);
    // The service drops a row without a condition: a date condition alone does not make a
    // service filter, while for SQL filters every column is a condition.
    if (!Trim(v).empty() && (!service_kind || std::string(c.column) != "date_expr")) any = true;
  }
  if (!any) {
    throw UsageError(service_kind
                         ? "A service filter needs at least one of --service-name, --sid, "
                           "--program, --host, --username, --orauser"
                         : "A SQL filter needs at least one of --exec-date-expr, --exec-time, "
                           "--sql-statement, --object-list");
  }
  if (!service_kind && !Trim(Opt(cl, "--exec-time")).empty()) {
    const std::string v = Trim(Opt(cl, "--exec-time"));
    const size_t dot = v.find('.');
    const std::string whole = v.substr(0, dot);
    const std::string frac = dot == std::string::npos ? "0" : v.substr(dot + 1);
    if (!AllDigits(whole) || !AllDigits(frac)) {
      throw UsageError("--exec-time must be a number of milliseconds, not \"" + v + "\"");
    }
  }
  const ServiceRow service = FindService(s, cl, "--service", "--service-id", true);
  if (service_kind) {
    CheckDateCondition(s, "--date-expr", Opt(cl, "--date-expr"), true);
  } else {
    CheckDateCondition(s, "--exec-date-expr", Opt(cl, "--exec-date-expr"), false);
  }
  auto st = s.NewStatement(kind.insert);
  st->DeclareOutputNumber("id");
  st->SetNumber("service_id", service.id);
  st->SetString("filter_type", type);
  for (const Criterion& c : criteria) {
    const std::string v = Opt(cl, c.option);
    st->SetString(c.column, std::string(c.column) == "exec_time" ? Trim(v) : v);
  }
  const bool enabled = !cl.flags.count("--disabled");
  st->SetString("enabled", enabled ? "Y" : "N");
  st->Execute();
  out << "Added " << (enabled ? "" : "disabled ") << type << " " << kind.label << " with id "
      << Number(st->OutputNumber("id")) << " for service " << service.name << "\n";
  return 0;
}

int FilterList(Session& s, const CommandLine& cl, const FilterKind& kind, std::ostream& out) {
  const bool service_kind = kind.insert == SqlId::kAdminInsertServiceFilter;
  const ServiceRow service = FindService(s, cl, "--service", "--service-id", false);
  auto q = s.NewQuery(kind.list);
  q->SetNumber("service_id", service.id);
  q->Open();
  Table t;
  t.columns = {"ID", "SERVICE_ID", "SERVICE", "TYPE"};
  for (const Criterion& c : service_kind ? kServiceCriteria : kSqlCriteria) {
    t.columns.push_back(Upper(c.column));
  }
  t.columns.push_back("ENABLED");
  for (; !q->Eof(); q->Next()) {
    std::vector<std::string> row = {Cell(*q, "id"), Cell(*q, "service_id"), Cell(*q, "service"),
                                    Cell(*q, "filter_type")};
    for (const Criterion& c : service_kind ? kServiceCriteria : kSqlCriteria) {
      row.push_back(Cell(*q, c.column));
    }
    row.push_back(Cell(*q, "enabled"));
    t.rows.push_back(std::move(row));
  }
  Print(t, cl, out);
  return 0;
}

int FilterChange(Session& s, const CommandLine& cl, const FilterKind& kind,
                 const std::string& action, std::ostream& out) {
  const double id = Id("--id", Required(cl, "--id"));
  auto q = s.NewQuery(kind.find);
  q->SetNumber("id", id);
  q->Open();
  if (q->RowCount() < 1) throw Refusal(std::string("There is no ") + kind.label + " with id " + Number(id));
  if (action == "remove") {
    auto st = s.NewStatement(kind.remove);
    st->SetNumber("id", id);
    st->Execute();
    out << "Removed " << kind.label << " " << Number(id) << "\n";
  } else {
    auto st = s.NewStatement(kind.set_enabled);
    st->SetNumber("id", id);
    st->SetString("enabled", action == "enable" ? "Y" : "N");
    st->Execute();
    out << (action == "enable" ? "Enabled " : "Disabled ") << kind.label << " " << Number(id)
        << "\n";
  }
  return 0;
}

std::set<std::string> OptionNames(const std::vector<Criterion>& criteria) {
  std::set<std::string> names = {"--service", "--service-id", "--type"};
  for (const Criterion& c : criteria) names.insert(c.option);
  return names;
}

int Status(const CommandLine& cl, std::ostream& out, std::ostream& err) {
  AllowOnly(cl, {}, {}, "status");
  if (cl.words.size() < 2 || cl.words.size() > 3) {
    throw UsageError("Usage: qxadmin status HOST:PORT [WORD]");
  }
  const std::string& target = cl.words[1];
  const size_t colon = target.rfind(':');
  const std::string host = colon == std::string::npos ? "" : target.substr(0, colon);
  const std::string port = colon == std::string::npos ? "" : target.substr(colon + 1);
  if (host.empty() || !AllDigits(port) || port.size() > 5 || std::stoi(port) < 1 ||
      std::stoi(port) > 65535) {
    throw UsageError("status needs HOST:PORT, the host of the service and its managing port "
                     "(1 to 65535), not \"" + target + "\"");
  }
  if (cl.words.size() == 2) return ShowStatus(host, std::stoi(port), out);
  if (cl.words[2].empty()) throw UsageError("status needs a request word, not an empty one");
  return ShowRawAnswer(host, std::stoi(port), cl.words[2], out, err);
}

int Dispatch(const CommandLine& cl, const std::string& program_directory, std::ostream& out,
             std::ostream& err) {
  if (cl.words.empty() || cl.flags.count("--help") || cl.words[0] == "help") {
    out << HelpText();
    return cl.words.empty() && !cl.flags.count("--help") ? 2 : 0;
  }
  const std::string& group = cl.words[0];
  if (group == "init") return Init(cl, program_directory, out);
  if (group == "upgrade") return UpgradeCommand(cl, program_directory, out);
  if (group == "report") {
    AllowOnly(cl, {"--by", "--order", "--service", "--since", "--until", "--user", "--program",
                   "--host", "--min-time", "--limit", "--width", "--format", "--group-by",
                   "--sections"},
              {"--full"}, "report");
    if (cl.words.size() < 2) {
      throw UsageError("Usage: qxadmin report top|statement ID|sessions|overview [OPTIONS]");
    }
    try {
      const std::vector<std::string> args(cl.words.begin() + 2, cl.words.end());
      return RunReport(*Open(cl, program_directory), cl.words[1], cl.options, args,
                       cl.flags.count("--full") > 0, out);
    } catch (const ReportUsageError& e) {
      throw UsageError(e.what());
    }
  }
  if (group == "purge") return PurgeCommand(cl, program_directory, out);
  if (group == "status") return Status(cl, out, err);
  if (cl.words.size() != 2) {
    throw UsageError("Unknown command \"" + group + (cl.words.size() > 1 ? " " + cl.words[1] : "") +
                     "\"; qxadmin --help lists the commands");
  }
  const std::string& action = cl.words[1];
  const std::string command = group + " " + action;
  if (group == "service") {
    if (action == "add") {
      AllowOnly(cl, {"--name", "--oracle-host", "--oracle-port", "--work-port", "--manage-port",
                     "--ip-interface"}, {}, command);
      return ServiceAdd(*Open(cl, program_directory), cl, out);
    }
    if (action == "list") {
      AllowOnly(cl, {}, {"--csv"}, command);
      return ServiceList(*Open(cl, program_directory), cl, out);
    }
    if (action == "remove") {
      AllowOnly(cl, {"--name", "--id"}, {}, command);
      return ServiceRemove(*Open(cl, program_directory), cl, out);
    }
  } else if (group == "service-filter" || group == "sql-filter") {
    const FilterKind& kind = group == "service-filter" ? kServiceFilter : kSqlFilter;
    const auto& criteria = group == "service-filter" ? kServiceCriteria : kSqlCriteria;
    if (action == "add") {
      AllowOnly(cl, OptionNames(criteria), {"--disabled"}, command);
      return FilterAdd(*Open(cl, program_directory), cl, kind, out);
    }
    if (action == "list") {
      AllowOnly(cl, {"--service", "--service-id"}, {"--csv"}, command);
      return FilterList(*Open(cl, program_directory), cl, kind, out);
    }
    if (action == "enable" || action == "disable" || action == "remove") {
      AllowOnly(cl, {"--id"}, {}, command);
      return FilterChange(*Open(cl, program_directory), cl, kind, action, out);
    }
  }
  throw UsageError("Unknown command \"" + command + "\"; qxadmin --help lists the commands");
}

}  // namespace

std::string HelpText() {
  return R"(Usage: qxadmin [-r CONNECT_STRING] COMMAND [OPTIONS]

Administers the Quorvex repository (its schema and what the service monitors) and asks a
running service for its status.
CONNECT_STRING is "sqlite:PATH" (PATH relative to qxadmin's directory unless absolute) or
"user/password@server" (Oracle). Without -r, rpstConnStr of qxservice.ini beside qxadmin is used.
Options take their value as the next argument or after "=" (--name=ORCL).

Repository
  init CONNECT_STRING        create every table and sequence in an empty repository; refuses
                             when the schema exists
  upgrade CONNECT_STRING     add what a repository made by an earlier version lacks (the
                             outcome columns of qx_client_sql_history, indexes) and drop the
                             index it no longer needs; keeps every row, changes nothing when
                             run again

Reports (the execution history; see docs/reports.md)
  report top [--by statement|fingerprint] [--order total|executions|avg|p95|max|errors|rows]
              [--service NAME] [--since WHEN] [--until WHEN] [--user ORAUSER] [--program P]
              [--host H] [--min-time MS] [--limit N] [--width N] [--full]
              [--format text|csv|json]
                             statements ranked, with executions, total/avg/p50/p95/p99/max
                             time, rows, errors, share of time; WHEN is YYYY-MM-DD[ HH:MM[:SS]]
                             local time or a span before now (30m, 2h, 7d)
  report statement ID [FILTERS] [--limit N] [--width N] [--format text|csv|json|html]
                             one statement (ID: its sql_id) or fingerprint (ID: 16 hex
                             digits) in full: text, variants, time histogram, executions
                             per hour, who ran it, errors by code
  report sessions [--group-by user|program|host|ip|osuser|service] [FILTERS] [--limit N]
              [--width N] [--format text|csv|json|html]
                             executions and time per Oracle user, program, client host,
                             IP, OS user or service name
  report overview [FILTERS] [--limit N] [--sections N]
                             the HTML report (one self-contained file on stdout):
                             executions and time per hour, top fingerprints, errors, top
                             statements, a section for each of the top N (5) statements
                             FILTERS: --service NAME --since WHEN --until WHEN --user ORAUSER
                             --program P --host H --min-time MS
  purge --before WHEN [--batch ROWS]
                             deletes the history rows before WHEN, ROWS (10000) per
                             transaction, then the statements no row names any more; safe
                             while services write

Monitored services (rows of QX_SERVICE_LIST)
  service add --name NAME --oracle-host HOST --oracle-port PORT --work-port PORT
              --manage-port PORT [--ip-interface IPV4]
                             --work-port 0 makes a passive service, which needs --ip-interface
                             and an IPv4 address as --oracle-host
  service list [--csv]
  service remove (--name NAME | --id ID)
                             also removes the service's filters

Service filters (rows of qx_service_filter: which connections are monitored)
  service-filter add (--service NAME | --service-id ID) --type INCLUDE|EXCLUDE
              [--service-name TEXT] [--sid TEXT] [--program TEXT] [--host TEXT]
              [--username TEXT] [--orauser TEXT] [--date-expr CONDITION] [--disabled]
                             at least one criterion besides --date-expr; CONDITION is an
                             Oracle condition that may use :CONN_TIME, the connection's time
  service-filter list [--service NAME | --service-id ID] [--csv]
  service-filter enable|disable|remove --id ID

SQL filters (rows of qx_sql_filter: which statements are stored)
  sql-filter add (--service NAME | --service-id ID) --type INCLUDE|EXCLUDE
              [--exec-date-expr CONDITION] [--exec-time MILLISECONDS]
              [--sql-statement TEXT] [--object-list ITEM,ITEM...] [--disabled]
                             at least one of the four; CONDITION may use :date, the current date
  sql-filter list [--service NAME | --service-id ID] [--csv]
  sql-filter enable|disable|remove --id ID

Running service (its managing port, manage_port of its row; no repository needed)
  status HOST:PORT           the service's start time, current and total connections and
                             its sessions; a session whose LOGON_TIME is "-" is connected but
                             has not sent its connect descriptor yet
  status HOST:PORT WORD      sends WORD (getStarted, getCurrConn, getTotConn or
                             getCurrentSessionList) and prints the raw answer. The service
                             answers an empty session list with nothing: after 500 ms of
                             silence the list is taken as empty.

Listings print aligned columns, or CSV with --csv. Changes take effect at the service's next start.
Exit status: 0 done, 1 the repository failed or refused or the service could not be asked,
2 invalid command line.
)";
}

int RunAdmin(const std::vector<std::string>& args, const std::string& program_directory,
             std::ostream& out, std::ostream& err) {
  try {
    return Dispatch(Parse(args), program_directory, out, err);
  } catch (const UsageError& e) {
    err << "qxadmin: " << e.what() << "\n";
    return 2;
  } catch (const Refusal& e) {
    err << "qxadmin: " << e.what() << "\n";
    return 1;
  } catch (const RepositoryError& e) {
    err << "qxadmin: repository error: " << e.what() << "\n";
    return 1;
  } catch (const std::exception& e) {
    err << "qxadmin: " << e.what() << "\n";
    return 1;
  }
}

}  // namespace qx::admin
