// A stand-in for the Oracle client library, built by the tests as libocistub.so and loaded by
// the Oracle backend in place of libclntsh.so. It exports the OCI entry points the backend
// uses, records every call in a log (with the bytes and lengths of each bind as they are read
// at execution), and answers from a script the test sets up through the ocistub_* functions:
// queued query results, values for output binds, failures of the next call of a function,
// and a "server down" switch that kills the open sessions and refuses new ones.
//
// Threading: one mutex guards all state, so concurrent sessions of the backend can use it.
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace {

using sword = int;
using ub1 = uint8_t;
using ub2 = uint16_t;
using sb2 = int16_t;
using ub4 = uint32_t;
using sb4 = int32_t;

constexpr sword kSuccess = 0, kSuccessWithInfo = 1, kNoData = 100, kError = -1,
                kInvalidHandle = -2;

struct StubDate {
  int16_t year;
  ub1 month, day, hh, mi, ss;
};

struct Handle {
  int kind = 0;  // 1 env, 2 error, 3 svc, 4 stmt, 53 param
  explicit Handle(int k) : kind(k) {}
  virtual ~Handle() = default;
};

struct ErrorH : Handle {
  ErrorH() : Handle(2) {}
  int code = 0;
  std::string message;
};

struct Svc : Handle {
  Svc() : Handle(3) {}
  int id = 0;
  bool dead = false;
  bool reported = false;  // the first call after dying answers 3113, later ones 3114
};

struct Column {
  std::string name;
  ub2 type = 1;
  ub2 size = 0;
};

struct Result {
  std::vector<Column> columns;
  std::vector<std::vector<std::string>> rows;  // "\\N" is NULL
};

struct BindRec {
  std::string name;
  void* value;
  sb4 size;
  ub2 type;
  sb2* indicator;
};

struct DefineRec {
  void* value;
  sb4 size;
  ub2 type;
  sb2* indicator;
  ub2* length;
  ub2* rcode;
};

struct Stmt : Handle {
  Stmt() : Handle(4) {}
  Svc* svc = nullptr;
  std::string text;
  std::vector<BindRec> binds;
  std::map<ub4, DefineRec> defines;
  Result result;
  size_t next_row = 0;
};

struct Param : Handle {
  Param() : Handle(53) {}
  Column column;
};

struct Failure {
  int code;
  std::string message;
};

std::mutex g_mutex;
std::vector<std::string> g_log;
std::string g_log_copy;
std::map<std::string, std::deque<Failure>> g_failures;
std::deque<Result> g_results;
std::map<std::string, double> g_outputs;
std::set<Svc*> g_sessions;
bool g_down = false;
int g_next_svc = 1;
int g_delay_ms = 0;
int g_busy = 0, g_max_busy = 0;

std::string Upper(std::string s) {
  for (char& c : s)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return s;
}

void Log(const std::string& line) { g_log.push_back(line); }

sword Fail(void* err, int code, const std::string& message) {
  if (auto* e = static_cast<ErrorH*>(err)) {
    e->code = code;
    e->message = message;
  }
  return kError;
}

// A scripted failure for `function`, if one is queued.
bool TakeFailure(const char* function, void* err, sword* status) {
  auto it = g_failures.find(function);
  if (it == g_failures.end() || it->second.empty()) return false;
  const Failure f = it->second.front();
  it->second.pop_front();
  *status = Fail(err, f.code, f.message);
  return true;
}

// A session that died answers like a broken connection.
bool DeadSession(Svc* svc, void* err, sword* status) {
  if (!svc || !svc->dead) return false;
  if (!svc->reported) {
    svc->reported = true;
    *status = Fail(err, 3113, "ORA-03113: end-of-file on communication channel");
  } else {
    *status = Fail(err, 3114, "ORA-03114: not connected to ORACLE");
  }
  return true;
}

std::string FormatBind(const BindRec& b) {
  if (b.indicator && *b.indicator == -1) return "NULL";
  char buf[128];
  switch (b.type) {
    case 1:
      return "'" + std::string(static_cast<const char*>(b.value), static_cast<size_t>(b.size)) +
             "'";
    case 4:
      std::snprintf(buf, sizeof buf, "%.17g", *static_cast<const double*>(b.value));
      return buf;
    case 156: {
      const auto* d = static_cast<const StubDate*>(b.value);
      std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d", d->year, d->month, d->day,
                    d->hh, d->mi, d->ss);
      return buf;
    }
    default:
      return "?";
  }
}

bool HasPlaceholder(const std::string& text, const std::string& placeholder) {
  const std::string t = Upper(text), p = Upper(placeholder);
  for (size_t at = t.find(p); at != std::string::npos; at = t.find(p, at + 1)) {
    const size_t end = at + p.size();
    if (end == t.size()) return true;
    const char c = t[end];
    if (!((c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '$' || c == '#'))
      return true;
  }
  return false;
}

bool IsQuery(const std::string& text) {
  size_t i = 0;
  while (i < text.size() && static_cast<unsigned char>(text[i]) <= ' ') ++i;
  return Upper(text.substr(i, 6)) == "SELECT";
}

std::vector<std::string> Split(const std::string& s, char sep) {
  std::vector<std::string> parts;
  size_t start = 0;
  for (;;) {
    const size_t at = s.find(sep, start);
    parts.push_back(s.substr(start, at == std::string::npos ? std::string::npos : at - start));
    if (at == std::string::npos) break;
    start = at + 1;
  }
  return parts;
}

}  // namespace

extern "C" {

// ---- control functions for the tests ----

void ocistub_reset() {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_log.clear();
  g_failures.clear();
  g_results.clear();
  g_outputs.clear();
  g_down = false;
  g_delay_ms = 0;
  g_busy = g_max_busy = 0;
}

const char* ocistub_log() {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_log_copy.clear();
  for (const auto& line : g_log) g_log_copy += line + "\n";
  return g_log_copy.c_str();
}

void ocistub_fail_next(const char* function, int code, const char* message) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_failures[function].push_back({code, message});
}

// columns: "NAME:type:size,..." (internal type codes); rows: lines of cells split by '|'.
void ocistub_queue_result(const char* columns, const char* rows) {
  std::lock_guard<std::mutex> lock(g_mutex);
  Result r;
  for (const auto& column : Split(columns, ',')) {
    const auto parts = Split(column, ':');
    Column c;
    c.name = parts[0];
    c.type = parts.size() > 1 ? static_cast<ub2>(std::atoi(parts[1].c_str())) : 1;
    c.size = parts.size() > 2 ? static_cast<ub2>(std::atoi(parts[2].c_str())) : 30;
    r.columns.push_back(c);
  }
  if (rows && *rows)
    for (const auto& line : Split(rows, '\n')) r.rows.push_back(Split(line, '|'));
  g_results.push_back(r);
}

void ocistub_set_output(const char* name, double value) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_outputs[Upper(name)] = value;
}

void ocistub_set_down(int down) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_down = down != 0;
  if (g_down)
    for (Svc* s : g_sessions) s->dead = true;
}

void ocistub_set_execute_delay_ms(int ms) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_delay_ms = ms;
}

int ocistub_open_sessions() {
  std::lock_guard<std::mutex> lock(g_mutex);
  return static_cast<int>(g_sessions.size());
}

int ocistub_max_concurrent_executions() {
  std::lock_guard<std::mutex> lock(g_mutex);
  return g_max_busy;
}

// ---- the OCI entry points ----

sword OCIEnvNlsCreate(void** envp, ub4 mode, void*, void*, void*, void*, size_t, void**,
                      ub2 charset, ub2 ncharset) {
  std::lock_guard<std::mutex> lock(g_mutex);
  Log("OCIEnvNlsCreate mode=" + std::to_string(mode) + " charset=" + std::to_string(charset) +
      " ncharset=" + std::to_string(ncharset));
  sword status;
  if (TakeFailure("OCIEnvNlsCreate", nullptr, &status)) return status;
  *envp = new Handle(1);
  return kSuccess;
}

sword OCIHandleAlloc(const void* parent, void** handle, ub4 type, size_t, void**) {
  std::lock_guard<std::mutex> lock(g_mutex);
  if (!parent || static_cast<const Handle*>(parent)->kind != 1) return kInvalidHandle;
  if (type != 2) return kError;
  *handle = new ErrorH;
  return kSuccess;
}

sword OCIHandleFree(void* handle, ub4 type) {
  std::lock_guard<std::mutex> lock(g_mutex);
  auto* h = static_cast<Handle*>(handle);
  if (!h || h->kind != static_cast<int>(type)) return kInvalidHandle;
  if (type == 1) Log("OCIHandleFree env");
  delete h;
  return kSuccess;
}

sword OCIDescriptorFree(void* descriptor, ub4 type) {
  std::lock_guard<std::mutex> lock(g_mutex);
  auto* h = static_cast<Handle*>(descriptor);
  if (!h || h->kind != static_cast<int>(type)) return kInvalidHandle;
  delete h;
  return kSuccess;
}

sword OCILogon2(void* env, void* err, void** svc, const unsigned char* user, ub4 user_len,
                const unsigned char*, ub4 password_len, const unsigned char* db, ub4 db_len,
                ub4 mode) {
  std::lock_guard<std::mutex> lock(g_mutex);
  Log("OCILogon2 user=" + std::string(reinterpret_cast<const char*>(user), user_len) +
      " password_len=" + std::to_string(password_len) +
      " server=" + std::string(reinterpret_cast<const char*>(db), db_len) +
      " mode=" + std::to_string(mode));
  if (!env || !err) return kInvalidHandle;
  sword status;
  if (TakeFailure("OCILogon2", err, &status)) return status;
  if (g_down) return Fail(err, 12541, "ORA-12541: TNS:no listener");
  auto* s = new Svc;
  s->id = g_next_svc++;
  g_sessions.insert(s);
  *svc = s;
  return kSuccess;
}

sword OCILogoff(void* svc, void* err) {
  std::lock_guard<std::mutex> lock(g_mutex);
  auto* s = static_cast<Svc*>(svc);
  if (!s || !err || !g_sessions.count(s)) return kInvalidHandle;
  Log("OCILogoff session=" + std::to_string(s->id));
  g_sessions.erase(s);
  delete s;
  return kSuccess;
}

sword OCIPing(void* svc, void* err, ub4) {
  std::lock_guard<std::mutex> lock(g_mutex);
  auto* s = static_cast<Svc*>(svc);
  Log("OCIPing session=" + std::to_string(s ? s->id : 0));
  sword status;
  if (DeadSession(s, err, &status) || TakeFailure("OCIPing", err, &status)) return status;
  return kSuccess;
}

sword OCIStmtPrepare2(void* svc, void** stmt, void* err, const unsigned char* text, ub4 len,
                      const unsigned char*, ub4, ub4 language, ub4) {
  std::lock_guard<std::mutex> lock(g_mutex);
  const std::string t(reinterpret_cast<const char*>(text), len);
  Log("OCIStmtPrepare2 language=" + std::to_string(language) + " text=" + t);
  sword status;
  if (TakeFailure("OCIStmtPrepare2", err, &status)) return status;
  auto* st = new Stmt;
  st->svc = static_cast<Svc*>(svc);
  st->text = t;
  *stmt = st;
  return kSuccess;
}

sword OCIStmtRelease(void* stmt, void*, const unsigned char*, ub4, ub4) {
  std::lock_guard<std::mutex> lock(g_mutex);
  auto* st = static_cast<Stmt*>(stmt);
  if (!st || st->kind != 4) return kInvalidHandle;
  Log("OCIStmtRelease");
  delete st;
  return kSuccess;
}

sword OCIBindByName(void* stmt, void** bind, void* err, const unsigned char* placeholder,
                    sb4 placeholder_len, void* value, sb4 size, ub2 type, void* indicator,
                    ub2* length, ub2*, ub4, ub4*, ub4) {
  std::lock_guard<std::mutex> lock(g_mutex);
  auto* st = static_cast<Stmt*>(stmt);
  const std::string name(reinterpret_cast<const char*>(placeholder),
                         static_cast<size_t>(placeholder_len));
  Log("OCIBindByName " + name + " type=" + std::to_string(type) + " size=" +
      std::to_string(size) + (length ? " alen" : "") + (indicator ? " ind" : ""));
  sword status;
  if (TakeFailure("OCIBindByName", err, &status)) return status;
  if (!HasPlaceholder(st->text, name))
    return Fail(err, 1036, "ORA-01036: illegal variable name/number");
  st->binds.push_back({name, value, size, type, static_cast<sb2*>(indicator)});
  *bind = reinterpret_cast<void*>(st->binds.size());
  return kSuccess;
}

sword OCIDefineByPos(void* stmt, void** define, void* err, ub4 position, void* value, sb4 size,
                     ub2 type, void* indicator, ub2* length, ub2* rcode, ub4) {
  std::lock_guard<std::mutex> lock(g_mutex);
  auto* st = static_cast<Stmt*>(stmt);
  Log("OCIDefineByPos " + std::to_string(position) + " type=" + std::to_string(type) +
      " size=" + std::to_string(size));
  sword status;
  if (TakeFailure("OCIDefineByPos", err, &status)) return status;
  st->defines[position] = {value, size, type, static_cast<sb2*>(indicator), length, rcode};
  *define = reinterpret_cast<void*>(static_cast<uintptr_t>(position));
  return kSuccess;
}

sword OCIStmtExecute(void* svc, void* stmt, void* err, ub4 iters, ub4, const void*, void*,
                     ub4 mode) {
  int delay = 0;
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    auto* st = static_cast<Stmt*>(stmt);
    auto* s = static_cast<Svc*>(svc);
    std::string line = "OCIStmtExecute session=" + std::to_string(s ? s->id : 0) +
                       " iters=" + std::to_string(iters) + " mode=" + std::to_string(mode);
    for (const auto& b : st->binds) line += " " + b.name + "=" + FormatBind(b);
    Log(line);
    sword status;
    if (DeadSession(s, err, &status) || TakeFailure("OCIStmtExecute", err, &status))
      return status;
    for (auto& b : st->binds) {
      auto it = g_outputs.find(Upper(b.name.substr(1)));
      if (it != g_outputs.end() && b.type == 4) {
        *static_cast<double*>(b.value) = it->second;
        if (b.indicator) *b.indicator = 0;
      }
    }
    if (IsQuery(st->text)) {
      if (!g_results.empty()) {
        st->result = g_results.front();
        g_results.pop_front();
      }
      st->next_row = 0;
    }
    delay = g_delay_ms;
    if (++g_busy > g_max_busy) g_max_busy = g_busy;
  }
  if (delay) std::this_thread::sleep_for(std::chrono::milliseconds(delay));
  std::lock_guard<std::mutex> lock(g_mutex);
  --g_busy;
  return kSuccess;
}

sword OCIStmtFetch2(void* stmt, void* err, ub4 rows, ub2 orientation, sb4, ub4) {
  std::lock_guard<std::mutex> lock(g_mutex);
  auto* st = static_cast<Stmt*>(stmt);
  Log("OCIStmtFetch2 rows=" + std::to_string(rows) + " orientation=" +
      std::to_string(orientation));
  sword status;
  if (DeadSession(st->svc, err, &status) || TakeFailure("OCIStmtFetch2", err, &status))
    return status;
  if (st->next_row >= st->result.rows.size()) return kNoData;
  const auto& row = st->result.rows[st->next_row++];
  sword result = kSuccess;
  for (auto& [pos, d] : st->defines) {
    if (pos > row.size()) return Fail(err, 1007, "ORA-01007: variable not in select list");
    const std::string& cell = row[pos - 1];
    if (cell == "\\N") {
      if (d.indicator) *d.indicator = -1;
      continue;
    }
    if (d.indicator) *d.indicator = 0;
    if (d.type == 4) {
      *static_cast<double*>(d.value) = std::strtod(cell.c_str(), nullptr);
    } else if (d.type == 156) {
      StubDate date{};
      int y = 0, mo = 0, da = 0, h = 0, mi = 0, s = 0;
      std::sscanf(cell.c_str(), "%d-%d-%d %d:%d:%d", &y, &mo, &da, &h, &mi, &s);
      date = {static_cast<int16_t>(y), static_cast<ub1>(mo), static_cast<ub1>(da),
              static_cast<ub1>(h),     static_cast<ub1>(mi), static_cast<ub1>(s)};
      std::memcpy(d.value, &date, sizeof date);
    } else {
      const size_t n = std::min(cell.size(), static_cast<size_t>(d.size));
      std::memcpy(d.value, cell.data(), n);
      if (d.length) *d.length = static_cast<ub2>(n);
      if (n < cell.size()) {  // truncated: ORA-01406 as information
        if (d.indicator) *d.indicator = static_cast<sb2>(cell.size());
        if (d.rcode) *d.rcode = 1406;
        result = kSuccessWithInfo;
      }
    }
  }
  return result;
}

sword OCIParamGet(const void* handle, ub4 type, void* err, void** param, ub4 pos) {
  std::lock_guard<std::mutex> lock(g_mutex);
  const auto* st = static_cast<const Stmt*>(handle);
  if (type != 4 || !st || st->kind != 4) return kInvalidHandle;
  if (pos < 1 || pos > st->result.columns.size())
    return Fail(err, 24334, "ORA-24334: no descriptor for this position");
  auto* p = new Param;
  p->column = st->result.columns[pos - 1];
  *param = p;
  return kSuccess;
}

sword OCIAttrGet(const void* handle, ub4 type, void* attribute, ub4* size, ub4 attr, void* err) {
  std::lock_guard<std::mutex> lock(g_mutex);
  if (type == 4 && attr == 18) {  // OCI_ATTR_PARAM_COUNT
    *static_cast<ub4*>(attribute) =
        static_cast<ub4>(static_cast<const Stmt*>(handle)->result.columns.size());
    return kSuccess;
  }
  if (type == 53) {
    const Column& c = static_cast<const Param*>(handle)->column;
    switch (attr) {
      case 2: *static_cast<ub2*>(attribute) = c.type; return kSuccess;
      case 1: *static_cast<ub2*>(attribute) = c.size; return kSuccess;
      case 4:
        *static_cast<const char**>(attribute) = c.name.c_str();
        if (size) *size = static_cast<ub4>(c.name.size());
        return kSuccess;
    }
  }
  return Fail(err, 24315, "ORA-24315: illegal attribute type");
}

sword OCIAttrSet(void* handle, ub4 type, void* attribute, ub4, ub4 attr, void*) {
  std::lock_guard<std::mutex> lock(g_mutex);
  if (!handle) return kInvalidHandle;
  Log("OCIAttrSet type=" + std::to_string(type) + " attr=" + std::to_string(attr) +
      " value=" + std::to_string(*static_cast<ub4*>(attribute)));
  return kSuccess;
}

sword OCIErrorGet(void* handle, ub4 record, unsigned char*, sb4* code, unsigned char* buf,
                  ub4 bufsize, ub4 type) {
  std::lock_guard<std::mutex> lock(g_mutex);
  auto* e = static_cast<ErrorH*>(handle);
  if (!e || type != 2 || e->kind != 2) return kInvalidHandle;
  if (record != 1 || e->code == 0) return kNoData;
  *code = e->code;
  const std::string text = e->message + "\n";  // the real library ends messages so
  const size_t n = std::min<size_t>(text.size(), bufsize - 1);
  std::memcpy(buf, text.data(), n);
  buf[n] = 0;
  return kSuccess;
}

sword OCITransRollback(void* svc, void* err, ub4) {
  std::lock_guard<std::mutex> lock(g_mutex);
  auto* s = static_cast<Svc*>(svc);
  Log("OCITransRollback session=" + std::to_string(s ? s->id : 0));
  sword status;
  if (DeadSession(s, err, &status)) return status;
  return kSuccess;
}

}  // extern "C"
