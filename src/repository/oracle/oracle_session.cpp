// The Oracle repository session: the pool of physical sessions, statements and queries on
// OCI (see oracle_session.h for the choices made).
#include "repository/oracle/oracle_session.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <condition_variable>
#include <cstdlib>
#include <limits>
#include <map>
#include <mutex>

#include "platform/datetime.h"
#include "repository/oracle/bind_names.h"
#include "repository/oracle/oci_api.h"
#include "repository/oracle_backend.h"

namespace qx::repository {

using namespace oci;
using oracle::BindNames;
using oracle::UpperAscii;

bool IsConnectionLostCode(int code) {
  switch (code) {
    case 28:     // your session has been killed
    case 1012:   // not logged on
    case 1033:   // initialization or shutdown in progress
    case 1034:   // ORACLE not available
    case 1089:   // immediate shutdown in progress
    case 1092:   // instance terminated, disconnection forced
    case 2396:   // exceeded maximum idle time
    case 3113:   // end-of-file on communication channel
    case 3114:   // not connected to ORACLE
    case 3135:   // connection lost contact
    case 12152:  // unable to send break message
    case 12153:  // not connected
    case 12170:  // connect timeout occurred
    case 12514:  // listener does not currently know of service
    case 12528:  // all appropriate instances are blocking new connections
    case 12537:  // connection closed
    case 12541:  // no listener
    case 12543:  // destination host unreachable
    case 12547:  // lost contact
    case 12560:  // protocol adapter error
    case 12570:  // packet reader failure
    case 12571:  // packet writer failure
    case 25408:  // can not safely replay call
      return true;
    default:
      return false;
  }
}

namespace {

using Clock = std::chrono::steady_clock;

// A failed OCI call: the server's message and whether the connection went with it.
struct OciFailure {
  std::string message;
  bool lost = false;
};

std::string TrimRight(std::string s) {
  while (!s.empty() && static_cast<unsigned char>(s.back()) <= ' ') s.pop_back();
  return s;
}

// Turns a non-success status into an OciFailure carrying the "ORA-nnnnn: ..." text.
OciFailure Failure(const OciApi* api, OCIError* err, sword status, const char* call) {
  OciFailure f;
  if (status == OCI_ERROR && err) {
    sb4 code = 0;
    OraText buf[3072] = {0};
    if (api->OCIErrorGet(err, 1, nullptr, &code, buf, sizeof buf, OCI_HTYPE_ERROR) ==
        OCI_SUCCESS) {
      f.message = TrimRight(std::string(reinterpret_cast<const char*>(buf)));
      f.lost = IsConnectionLostCode(code);
    }
    if (f.message.empty()) f.message = std::string(call) + " failed (ORA-" +
                                       std::to_string(code) + ")";
  } else if (status == OCI_INVALID_HANDLE) {
    f.message = std::string(call) + " failed: invalid handle";
    f.lost = true;  // the session's handles are unusable: start over
  } else {
    f.message = std::string(call) + " returned unexpected status " + std::to_string(status);
  }
  return f;
}

bool Ok(sword status) { return status == OCI_SUCCESS || status == OCI_SUCCESS_WITH_INFO; }

// One physical session.
struct Conn {
  OCISvcCtx* svc = nullptr;
  OCIError* err = nullptr;
  uint64_t generation = 0;
  Clock::time_point last_used;
};

// The shared state of a session: environment, pool and reconnection bookkeeping. Statements
// keep it alive through a shared_ptr, so one that outlives its Session fails cleanly.
class Core {
 public:
  Core(std::string user, std::string password, std::string server, OracleOptions options)
      : user_(std::move(user)), password_(std::move(password)), server_(std::move(server)),
        options_(std::move(options)) {
    if (options_.library_names.empty()) options_.library_names = DefaultLibraryNames();
    if (options_.max_sessions < 1) options_.max_sessions = 1;
    cap_ = options_.max_sessions;
  }

  ~Core() {
    Disconnect();
    if (env_) api_->OCIHandleFree(env_, OCI_HTYPE_ENV);
  }

  const std::string& user() const { return user_; }
  const std::string& server() const { return server_; }
  const OciApi* api() const { return api_; }
  unsigned prefetch_rows() const { return options_.prefetch_rows; }

  void Connect() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (open_) return;
      PrepareEnvironmentLocked();
    }
    Conn* conn = nullptr;
    try {
      conn = Open();
    } catch (const OciFailure& f) {
      throw RepositoryError(f.message);
    }
    std::lock_guard<std::mutex> lock(mutex_);
    open_ = true;
    last_failure_.clear();
    conn->generation = generation_;
    conn->last_used = Clock::now();
    idle_.push_back(conn);
    ++total_;
    cv_.notify_all();
  }

  void Disconnect() {
    std::vector<Conn*> closing;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      open_ = false;
      ++generation_;  // sessions busy now are logged off when given back
      closing.swap(idle_);
      total_ -= static_cast<int>(closing.size());
      cv_.notify_all();  // waiters see the session closed
    }
    for (Conn* c : closing) Close(c);  // busy ones are closed when given back
  }

  bool Connected() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (!open_) return false;
    }
    try {
      Conn* c = Acquire(/*check_only=*/true);
      if (c) Release(c, false);
      return true;
    } catch (const RepositoryError&) {
      return false;
    }
  }

  // Borrows a physical session, opening or validating one as needed; throws RepositoryError.
  // With check_only, returns null instead of waiting when every session is busy (they are
  // working, so the repository is there), and always pings the idle session it takes.
  Conn* Acquire(bool check_only = false) {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      if (!open_) throw RepositoryError("Not connected to the Oracle repository " + server_);
      if (!idle_.empty()) {
        Conn* c = idle_.back();
        idle_.pop_back();
        const bool stale = check_only || Clock::now() - c->last_used > options_.validate_after_idle;
        if (!stale) return c;
        lock.unlock();
        const sword status = api_->OCIPing(c->svc, c->err, OCI_DEFAULT);
        if (Ok(status)) return c;
        Release(c, /*lost=*/true);
        lock.lock();
        continue;
      }
      if (check_only && total_ > 0) return nullptr;
      if (!opening_ && total_ < cap_) {
        if (total_ == 0 && !last_failure_.empty() &&
            Clock::now() - last_failure_time_ < options_.reconnect_interval)
          throw RepositoryError(last_failure_);
        opening_ = true;
        lock.unlock();
        Conn* c = nullptr;
        OciFailure failure;
        try {
          c = Open();
        } catch (const OciFailure& f) {
          failure = f;
        }
        lock.lock();
        opening_ = false;
        cv_.notify_all();
        if (c) {
          last_failure_.clear();
          c->generation = generation_;
          ++total_;
          if (!open_) {  // disconnected meanwhile
            --total_;
            lock.unlock();
            Close(c);
            throw RepositoryError("Not connected to the Oracle repository " + server_);
          }
          return c;
        }
        if (total_ > 0 && !failure.lost) {
          // The server refuses more sessions (a per-user limit, say): live with those open.
          cap_ = total_;
          continue;
        }
        last_failure_ = failure.message;
        last_failure_time_ = Clock::now();
        throw RepositoryError(failure.message);
      }
      cv_.wait(lock);
    }
  }

  // Gives a borrowed session back. `lost`: the connection went away, so this session and
  // every idle one are closed and the next borrower opens a new one.
  void Release(Conn* c, bool lost) {
    std::vector<Conn*> closing;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (lost) {
        ++generation_;
        closing.swap(idle_);
        total_ -= static_cast<int>(closing.size());
        cap_ = options_.max_sessions;
      }
      if (lost || !open_ || c->generation != generation_) {
        closing.push_back(c);
        --total_;
      } else {
        c->last_used = Clock::now();
        idle_.push_back(c);
      }
      cv_.notify_all();
    }
    for (Conn* dead : closing) Close(dead);
  }

 private:
  void PrepareEnvironmentLocked() {
    if (!api_) {
      std::string error;
      api_ = LoadOciApi(options_.library_names, &error);
      if (!api_) throw RepositoryError(error);
    }
    if (!env_) {
      const char* nls_lang = std::getenv("NLS_LANG");
      const ub2 charset = nls_lang && *nls_lang ? 0 : kCharsetWe8Iso8859P1;
      const sword status = api_->OCIEnvNlsCreate(&env_, OCI_THREADED, nullptr, nullptr, nullptr,
                                                 nullptr, 0, nullptr, charset, 0);
      if (!Ok(status) || !env_) {
        if (env_) api_->OCIHandleFree(env_, OCI_HTYPE_ENV);
        env_ = nullptr;
        throw RepositoryError(
            "The Oracle client environment could not be created (OCIEnvNlsCreate returned " +
            std::to_string(status) + "); check the NLS_LANG setting and the client installation.");
      }
    }
  }

  // Logs a new physical session on; throws OciFailure.
  Conn* Open() {
    void* err = nullptr;
    if (!Ok(api_->OCIHandleAlloc(env_, &err, OCI_HTYPE_ERROR, 0, nullptr)) || !err)
      throw OciFailure{"The Oracle client could not allocate an error handle", false};
    auto* errh = static_cast<OCIError*>(err);
    OCISvcCtx* svc = nullptr;
    const auto* u = reinterpret_cast<const OraText*>(user_.data());
    const auto* p = reinterpret_cast<const OraText*>(password_.data());
    const auto* s = reinterpret_cast<const OraText*>(server_.data());
    const sword status = api_->OCILogon2(env_, errh, &svc, u, static_cast<ub4>(user_.size()), p,
                                         static_cast<ub4>(password_.size()), s,
                                         static_cast<ub4>(server_.size()), OCI_LOGON2_STMTCACHE);
    if (!Ok(status) || !svc) {
      OciFailure f = Failure(api_, errh, status, "OCILogon2");
      f.lost = f.lost || status != OCI_ERROR;
      api_->OCIHandleFree(errh, OCI_HTYPE_ERROR);
      throw f;
    }
    auto* c = new Conn;
    c->svc = svc;
    c->err = errh;
    return c;
  }

  void Close(Conn* c) {
    api_->OCILogoff(c->svc, c->err);  // a dead connection fails here; nothing more to do
    api_->OCIHandleFree(c->err, OCI_HTYPE_ERROR);
    delete c;
  }

  const std::string user_, password_, server_;
  OracleOptions options_;
  const OciApi* api_ = nullptr;  // set once under mutex_, then read-only
  OCIEnv* env_ = nullptr;        // likewise

  std::mutex mutex_;  // guards everything below
  std::condition_variable cv_;
  bool open_ = false;          // Connect() succeeded and Disconnect() was not called since
  bool opening_ = false;       // one thread is logging a session on
  int total_ = 0;              // physical sessions open, idle or busy
  int cap_ = 1;                // max_sessions, lowered while the server refuses more
  uint64_t generation_ = 0;    // bumped when the connection is lost
  std::vector<Conn*> idle_;
  std::string last_failure_;   // message of the last failed logon, "" after a success
  Clock::time_point last_failure_time_;
};

// A borrowed physical session, given back at scope exit.
class Lease {
 public:
  explicit Lease(Core* core) : core_(core), conn_(core->Acquire()) {}
  ~Lease() { core_->Release(conn_, lost_); }
  Lease(const Lease&) = delete;
  Lease& operator=(const Lease&) = delete;
  Conn* get() const { return conn_; }
  void MarkLost() { lost_ = true; }

 private:
  Core* core_;
  Conn* conn_;
  bool lost_ = false;
};

// One bind variable's value and the buffers OCI reads (and, for output, writes).
struct BindSlot {
  std::string name;  // as the caller spelled it
  ub2 type = SQLT_CHR;
  bool output = false;
  std::string text;
  double number = 0;
  OCIDate date{};
  bool null = false;  // bound as NULL (indicator -1)
  sb2 indicator = 0;
};

OCIDate ToOciDate(double days) {
  // Beyond 0001-01-01 .. 9999-12-31 there is no DATE (and the decoder has no meaning).
  if (!std::isfinite(days) || days < -693593.0 || days > 2958466.0)
    throw RepositoryError("Date-time value out of range for an Oracle DATE");
  const platform::LocalTime t = platform::DecodeDateTime(std::round(days * 86400.0) / 86400.0);
  OCIDate d{};
  d.year = static_cast<int16_t>(t.year);
  d.month = static_cast<ub1>(t.month);
  d.day = static_cast<ub1>(t.day);
  d.time.hh = static_cast<ub1>(t.hour);
  d.time.mi = static_cast<ub1>(t.minute);
  d.time.ss = static_cast<ub1>(t.second);
  return d;
}

double FromOciDate(const OCIDate& d) {
  platform::LocalTime t;
  t.year = d.year;
  t.month = d.month;
  t.day = d.day;
  t.hour = d.time.hh;
  t.minute = d.time.mi;
  t.second = d.time.ss;
  return platform::EncodeDateTime(t);
}

// The binds of one statement or query, keyed by upper-cased name.
class Binds {
 public:
  BindSlot& Slot(const std::string& name) {
    BindSlot& s = slots_[UpperAscii(StripColon(name))];
    if (s.name.empty()) s.name = StripColon(name);
    return s;
  }
  const BindSlot* Find(const std::string& name) const {
    auto it = slots_.find(UpperAscii(StripColon(name)));
    return it == slots_.end() ? nullptr : &it->second;
  }
  void SetString(const std::string& name, const std::string& value) {
    BindSlot& s = Slot(name);
    s.type = SQLT_CHR;
    s.text = value;
    s.null = false;
  }
  void SetNumber(const std::string& name, double value) {
    BindSlot& s = Slot(name);
    s.type = SQLT_FLT;
    s.number = value;
    s.null = false;
  }
  void SetDateTime(const std::string& name, double value) {
    BindSlot& s = Slot(name);
    s.date = ToOciDate(value);
    s.type = SQLT_ODT;
    s.null = false;
  }
  void SetNull(const std::string& name) {
    BindSlot& s = Slot(name);
    s.type = SQLT_CHR;
    s.text.clear();
    s.null = true;
  }

  // Throws RepositoryError naming the first variable of `names` that has no value. Besides
  // the clearer message, this matters because statement handles come back from the client's
  // statement cache still bound to the buffers of their previous use: every variable must be
  // bound again before each execution.
  void RequireAll(const std::vector<std::string>& names) const {
    for (const auto& name : names)
      if (!Find(name)) throw RepositoryError("Bind variable :" + name + " is not set");
  }

  // Binds every slot once by name; throws OciFailure.
  void BindAll(const OciApi* api, OCIStmt* stmt, OCIError* err) {
    for (auto& [key, s] : slots_) {
      void* value = nullptr;
      sb4 size = 0;
      s.indicator = s.null ? -1 : 0;
      switch (s.type) {
        case SQLT_FLT:
          value = &s.number;
          size = sizeof s.number;
          break;
        case SQLT_ODT:
          value = &s.date;
          size = sizeof s.date;
          break;
        default:
          value = s.text.data();
          size = static_cast<sb4>(s.text.size());
          break;
      }
      const std::string placeholder = ":" + s.name;
      OCIBind* bind = nullptr;
      const sword status = api->OCIBindByName(
          stmt, &bind, err, reinterpret_cast<const OraText*>(placeholder.data()),
          static_cast<sb4>(placeholder.size()), value, size, s.type, &s.indicator, nullptr,
          nullptr, 0, nullptr, OCI_DEFAULT);
      if (!Ok(status)) throw Failure(api, err, status, "OCIBindByName");
    }
  }

 private:
  static std::string StripColon(const std::string& name) {
    return !name.empty() && name[0] == ':' ? name.substr(1) : name;
  }
  std::map<std::string, BindSlot> slots_;
};

// A prepared statement handle on a borrowed session, released at scope exit.
class Prepared {
 public:
  Prepared(const OciApi* api, Conn* conn, const std::string& text) : api_(api), err_(conn->err) {
    const sword status = api->OCIStmtPrepare2(
        conn->svc, &stmt_, err_, reinterpret_cast<const OraText*>(text.data()),
        static_cast<ub4>(text.size()), nullptr, 0, OCI_NTV_SYNTAX, OCI_DEFAULT);
    if (!Ok(status)) {
      stmt_ = nullptr;
      throw Failure(api, err_, status, "OCIStmtPrepare2");
    }
  }
  ~Prepared() {
    if (stmt_) api_->OCIStmtRelease(stmt_, err_, nullptr, 0, OCI_DEFAULT);
  }
  Prepared(const Prepared&) = delete;
  Prepared& operator=(const Prepared&) = delete;
  OCIStmt* get() const { return stmt_; }

 private:
  const OciApi* api_;
  OCIError* err_;
  OCIStmt* stmt_ = nullptr;
};

// Runs `work` on a borrowed session; an OCI failure rolls back (or, when the connection is
// gone, drops the session) and becomes a RepositoryError with the server's message.
template <typename Work>
void RunOnSession(Core* core, Work&& work) {
  Lease lease(core);
  try {
    work(lease.get());
  } catch (const OciFailure& f) {
    if (f.lost)
      lease.MarkLost();
    else if (!Ok(core->api()->OCITransRollback(lease.get()->svc, lease.get()->err, OCI_DEFAULT)))
      lease.MarkLost();  // a session that cannot roll back is not given to anyone else
    throw RepositoryError(f.message);
  }
}

class OracleStatement final : public Statement {
 public:
  OracleStatement(std::shared_ptr<Core> core, std::string text)
      : core_(std::move(core)), text_(std::move(text)), names_(BindNames(text_)) {}

  void SetString(const std::string& name, const std::string& value) override {
    binds_.SetString(name, value);
  }
  void SetNumber(const std::string& name, double value) override {
    binds_.SetNumber(name, value);
  }
  void SetDateTime(const std::string& name, double value) override {
    binds_.SetDateTime(name, value);
  }
  void SetNull(const std::string& name) override { binds_.SetNull(name); }
  void DeclareOutputNumber(const std::string& name) override {
    BindSlot& s = binds_.Slot(name);
    if (s.type != SQLT_FLT) s.number = 0;
    s.type = SQLT_FLT;
    s.output = true;
  }
  double OutputNumber(const std::string& name) const override {
    const BindSlot* s = binds_.Find(name);
    if (!s || !s->output) throw RepositoryError("No output variable " + name);
    return s->indicator == -1 ? 0 : s->number;
  }

  void Execute() override {
    binds_.RequireAll(names_);
    RunOnSession(core_.get(), [this](Conn* conn) {
      const OciApi* api = core_->api();
      Prepared stmt(api, conn, text_);
      binds_.BindAll(api, stmt.get(), conn->err);
      const sword status =
          api->OCIStmtExecute(conn->svc, stmt.get(), conn->err, 1, 0, nullptr, nullptr,
                              OCI_DEFAULT);
      if (!Ok(status) && status != OCI_NO_DATA)
        throw Failure(api, conn->err, status, "OCIStmtExecute");
    });
  }

 private:
  std::shared_ptr<Core> core_;
  const std::string text_;
  const std::vector<std::string> names_;  // bind variables of text_
  Binds binds_;
};

enum class ColumnKind { kNumber, kDate, kText };

struct Column {
  std::string name;  // upper case
  ColumnKind kind = ColumnKind::kText;
};

struct Cell {
  bool null = true;
  double number = 0;  // numbers, and dates as days since 1899-12-30
  std::string text;
};

std::string FormatNumber(double v) {
  if (std::isfinite(v) && v == std::trunc(v) && std::fabs(v) < 9.007199254740992e15)
    return std::to_string(static_cast<long long>(v));
  char buf[64];
  const auto r = std::to_chars(buf, buf + sizeof buf, v);
  return std::string(buf, r.ptr);
}

// Where one column's value lands at each fetch.
struct DefineBuffer {
  ColumnKind kind = ColumnKind::kText;
  double number = 0;
  OCIDate date{};
  std::vector<char> text;
  sb2 indicator = 0;
  ub2 length = 0;
  ub2 rcode = 0;
};

class OracleQuery final : public Query {
 public:
  OracleQuery(std::shared_ptr<Core> core, std::string text)
      : core_(std::move(core)), text_(std::move(text)), names_(BindNames(text_)) {}

  void SetString(const std::string& name, const std::string& value) override {
    binds_.SetString(name, value);
  }
  void SetNumber(const std::string& name, double value) override {
    binds_.SetNumber(name, value);
  }
  void SetDateTime(const std::string& name, double value) override {
    binds_.SetDateTime(name, value);
  }
  bool HasParam(const std::string& name) const override {
    const std::string wanted = UpperAscii(name);
    for (const auto& n : names_)
      if (UpperAscii(n) == wanted) return true;
    return false;
  }

  void Open() override {
    Close();
    binds_.RequireAll(names_);
    std::vector<Column> columns;
    std::vector<std::vector<Cell>> rows;
    RunOnSession(core_.get(), [&](Conn* conn) {
      const OciApi* api = core_->api();
      Prepared stmt(api, conn, text_);
      ub4 prefetch = core_->prefetch_rows();
      api->OCIAttrSet(stmt.get(), OCI_HTYPE_STMT, &prefetch, 0, OCI_ATTR_PREFETCH_ROWS,
                      conn->err);  // a tuning hint only: its failure changes nothing
      binds_.BindAll(api, stmt.get(), conn->err);
      sword status = api->OCIStmtExecute(conn->svc, stmt.get(), conn->err, 0, 0, nullptr,
                                         nullptr, OCI_DEFAULT);
      if (!Ok(status)) throw Failure(api, conn->err, status, "OCIStmtExecute");
      std::vector<DefineBuffer> buffers;
      Describe(api, stmt.get(), conn->err, &columns, &buffers);
      for (;;) {
        status = api->OCIStmtFetch2(stmt.get(), conn->err, 1, OCI_FETCH_NEXT, 0, OCI_DEFAULT);
        if (status == OCI_NO_DATA) break;
        if (!Ok(status)) throw Failure(api, conn->err, status, "OCIStmtFetch2");
        rows.push_back(TakeRow(buffers));
      }
    });
    columns_ = std::move(columns);
    rows_ = std::move(rows);
    current_ = 0;
  }

  int RowCount() const override { return static_cast<int>(rows_.size()); }
  bool Eof() const override { return current_ >= rows_.size(); }
  void Next() override {
    if (current_ < rows_.size()) ++current_;
  }

  double FieldAsNumber(const std::string& column) const override {
    return AsNumber(CellOf(IndexOf(column)));
  }
  std::string FieldAsString(const std::string& column) const override {
    const size_t i = IndexOf(column);
    const Cell& c = CellOf(i);
    if (c.null) return "";
    switch (columns_[i].kind) {
      case ColumnKind::kNumber: return FormatNumber(c.number);
      case ColumnKind::kDate: return platform::FormatTimestamp(c.number);
      default: return c.text;
    }
  }
  double FirstAsNumber() const override {
    if (columns_.empty()) throw RepositoryError("The query has no columns");
    return AsNumber(CellOf(0));
  }
  int FirstAsInteger() const override {
    const double v = std::round(FirstAsNumber());
    if (!(v > std::numeric_limits<int>::min())) return std::numeric_limits<int>::min();  // NaN too
    if (v > std::numeric_limits<int>::max()) return std::numeric_limits<int>::max();
    return static_cast<int>(v);
  }
  void Close() override {
    columns_.clear();
    rows_.clear();
    current_ = 0;
  }

 private:
  void Describe(const OciApi* api, OCIStmt* stmt, OCIError* err, std::vector<Column>* columns,
                std::vector<DefineBuffer>* buffers) {
    ub4 count = 0;
    sword status = api->OCIAttrGet(stmt, OCI_HTYPE_STMT, &count, nullptr, OCI_ATTR_PARAM_COUNT,
                                   err);
    if (!Ok(status)) throw Failure(api, err, status, "OCIAttrGet");
    columns->resize(count);
    buffers->resize(count);  // never resized again: OCI holds pointers into it
    for (ub4 pos = 1; pos <= count; ++pos) {
      void* param = nullptr;
      status = api->OCIParamGet(stmt, OCI_HTYPE_STMT, err, &param, pos);
      if (!Ok(status)) throw Failure(api, err, status, "OCIParamGet");
      ub2 type = 0, size = 0;
      OraText* name = nullptr;
      ub4 name_len = 0;
      status = api->OCIAttrGet(param, OCI_DTYPE_PARAM, &type, nullptr, OCI_ATTR_DATA_TYPE, err);
      if (Ok(status))
        status = api->OCIAttrGet(param, OCI_DTYPE_PARAM, &size, nullptr, OCI_ATTR_DATA_SIZE, err);
      if (Ok(status))
        status = api->OCIAttrGet(param, OCI_DTYPE_PARAM, &name, &name_len, OCI_ATTR_NAME, err);
      std::string column_name =
          name ? std::string(reinterpret_cast<const char*>(name), name_len) : std::string();
      api->OCIDescriptorFree(param, OCI_DTYPE_PARAM);
      if (!Ok(status)) throw Failure(api, err, status, "OCIAttrGet");

      Column& column = (*columns)[pos - 1];
      DefineBuffer& b = (*buffers)[pos - 1];
      column.name = UpperAscii(column_name);
      void* value = nullptr;
      sb4 value_size = 0;
      ub2 external = SQLT_CHR;
      switch (type) {
        case SQLT_NUM: case SQLT_IBFLOAT: case SQLT_IBDOUBLE:
          column.kind = ColumnKind::kNumber;
          value = &b.number;
          value_size = sizeof b.number;
          external = SQLT_FLT;
          break;
        case SQLT_DAT: case SQLT_TIMESTAMP: case SQLT_TIMESTAMP_TZ: case SQLT_TIMESTAMP_LTZ:
          column.kind = ColumnKind::kDate;
          value = &b.date;
          value_size = sizeof b.date;
          external = SQLT_ODT;
          break;
        default: {
          column.kind = ColumnKind::kText;
          // The character set conversion to the client may widen text up to four times.
          size_t bytes = type == SQLT_LNG || type == SQLT_CLOB || type == SQLT_BLOB
                             ? 32767
                             : std::max<size_t>(size, 64) * 4;
          b.text.resize(std::min<size_t>(bytes, 32767));
          value = b.text.data();
          value_size = static_cast<sb4>(b.text.size());
          break;
        }
      }
      b.kind = column.kind;
      OCIDefine* define = nullptr;
      status = api->OCIDefineByPos(stmt, &define, err, pos, value, value_size, external,
                                   &b.indicator, &b.length, &b.rcode, OCI_DEFAULT);
      if (!Ok(status)) throw Failure(api, err, status, "OCIDefineByPos");
    }
  }

  static std::vector<Cell> TakeRow(const std::vector<DefineBuffer>& buffers) {
    std::vector<Cell> row(buffers.size());
    for (size_t i = 0; i < buffers.size(); ++i) {
      const DefineBuffer& b = buffers[i];
      Cell& c = row[i];
      c.null = b.indicator == -1;
      if (c.null) continue;
      switch (b.kind) {
        case ColumnKind::kNumber: c.number = b.number; break;
        case ColumnKind::kDate: c.number = FromOciDate(b.date); break;
        default:
          c.text.assign(b.text.data(), std::min<size_t>(b.length, b.text.size()));
          break;
      }
    }
    return row;
  }

  size_t IndexOf(const std::string& column) const {
    const std::string wanted = UpperAscii(column);
    for (size_t i = 0; i < columns_.size(); ++i)
      if (columns_[i].name == wanted) return i;
    throw RepositoryError("Field '" + column + "' not found");
  }

  const Cell& CellOf(size_t index) const {
    if (current_ >= rows_.size()) throw RepositoryError("No current row");
    return rows_[current_][index];
  }

  static double AsNumber(const Cell& c) {
    if (c.null) return 0;
    if (c.text.empty()) return c.number;
    size_t b = 0, e = c.text.size();
    while (b < e && static_cast<unsigned char>(c.text[b]) <= ' ') ++b;
    while (e > b && static_cast<unsigned char>(c.text[e - 1]) <= ' ') --e;
    if (b == e) return 0;
    double v = 0;
    const char* first = c.text.data() + b;
    if (*first == '+') ++first;
    const auto r = std::from_chars(first, c.text.data() + e, v);
    if (r.ec != std::errc() || r.ptr != c.text.data() + e)
      throw RepositoryError("'" + c.text + "' is not a valid number");
    return v;
  }

  std::shared_ptr<Core> core_;
  const std::string text_;
  const std::vector<std::string> names_;  // bind variables of text_
  Binds binds_;
  std::vector<Column> columns_;
  std::vector<std::vector<Cell>> rows_;
  size_t current_ = 0;
};

class OracleSession final : public Session {
 public:
  OracleSession(const std::string& user, const std::string& password, const std::string& server,
                const OracleOptions& options)
      : core_(std::make_shared<Core>(user, password, server, options)) {}
  ~OracleSession() override { core_->Disconnect(); }

  void Connect() override { core_->Connect(); }
  void Disconnect() override { core_->Disconnect(); }
  bool Connected() const override { return core_->Connected(); }
  std::string UserName() const override { return core_->user(); }
  std::string Server() const override { return core_->server(); }

  std::unique_ptr<Statement> NewStatement(SqlId id) override {
    return std::make_unique<OracleStatement>(core_, JoinLines(OracleText(id)));
  }
  std::unique_ptr<Query> NewQuery(SqlId id) override {
    return std::make_unique<OracleQuery>(core_, JoinLines(OracleText(id)));
  }
  std::unique_ptr<Query> NewFreeQuery(const std::string& text) override {
    return std::make_unique<OracleQuery>(core_, text);
  }
  std::unique_ptr<Statement> NewFreeStatement(const std::string& text) override {
    return std::make_unique<OracleStatement>(core_, text);
  }
  Backend Kind() const override { return Backend::kOracle; }

 private:
  std::shared_ptr<Core> core_;
};

}  // namespace

std::unique_ptr<Session> CreateOracleSession(const std::string& user,
                                             const std::string& password,
                                             const std::string& server,
                                             const OracleOptions& options) {
  return std::make_unique<OracleSession>(user, password, server, options);
}

std::unique_ptr<Session> CreateOracleSession(const std::string& user,
                                             const std::string& password,
                                             const std::string& server) {
  return CreateOracleSession(user, password, server, OracleOptions{});
}

}  // namespace qx::repository
