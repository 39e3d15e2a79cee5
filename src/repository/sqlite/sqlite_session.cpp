// The SQLite session, its statements and queries (see sqlite_session.h for the contract).
#include "repository/sqlite/sqlite_session.h"

#include <sqlite3.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cstdint>
#include <map>
#include <string_view>
#include <mutex>
#include <unordered_map>

#include "platform/datetime.h"
#include "platform/platform.h"
#include "repository/sqlite/sqlite_functions.h"

namespace qx::repository::sqlite {
namespace {

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

// One statement of a script, prepared once and kept for the next run of the same text. It is
// reset and its binds cleared after every run, so that it holds no lock between runs.
struct CachedPart {
  sqlite3_stmt* stmt = nullptr;  // null when the rest of the text was only a comment
  size_t end = 0;                // offset in the script just past this statement
  bool rest_blank = false;       // nothing but blanks, ";" and comments follows it
  // Per parameter index (from 0): the name as written and its lower-cased key without the
  // prefix; the key is empty for a parameter that is not written ":name".
  std::vector<std::pair<std::string, std::string>> params;
  // Per parameter: its position among the script's bind names (BindNames of the whole
  // text), -1 for none; found on the first run, the names being fixed by the text.
  std::vector<int> bind_index;
};

// A script that is one insert of a row of bind variables, as an insert of kTogether rows
// (see RunRowsTogether): one statement run, its cursors opened once, for that many rows.
struct TogetherInsert {
  bool checked = false;          // the script has been looked at
  sqlite3_stmt* stmt = nullptr;  // null: the script does not qualify
  size_t rows = 0;               // rows per run
  std::vector<std::string> names;  // the row's bind names in order, lower-cased
  std::vector<int> bind_index;     // their positions among the script's names
};

// The statements of one script text, prepared lazily in order: a statement may only be
// preparable after the ones before it ran (a script that creates a table and then an index
// on it), so a later statement is prepared the first time the run reaches it.
struct CachedScript {
  std::vector<CachedPart> parts;
  bool complete = false;  // parts cover the whole text
  uint64_t last_use = 0;
  TogetherInsert together;
};

// Free text (administrators' conditions) is unbounded in variety; only this many of the most
// recently used are kept. The named statements come from a fixed table and are all kept.
constexpr size_t kFreeCacheSize = 16;

// The connection, its prepared statements and the mutex that guards them; shared by the
// session and the statements and queries made from it, so that one of them outliving the
// session cannot reach a freed handle. Prepared statements are keyed by the exact script text
// (a map node's key never moves, so the parts may point into it) and are finalized before the
// connection closes. Prepared with sqlite3_prepare_v3, they are re-prepared by SQLite itself
// when another connection or qxadmin changes the schema.
struct Core {
  // Recursive: a transaction (RunTransaction) holds it while the statements it runs take it.
  std::recursive_mutex mu;
  sqlite3* db = nullptr;  // guarded by mu; null while unconnected
  bool in_transaction = false;  // guarded by mu; RunTransaction's transaction is open
  std::unordered_map<std::string, CachedScript> scripts;       // guarded by mu
  std::unordered_map<std::string, CachedScript> free_scripts;  // guarded by mu
  sqlite3_stmt* begin = nullptr;   // "BEGIN IMMEDIATE", guarded by mu
  sqlite3_stmt* commit = nullptr;  // "COMMIT", guarded by mu
  uint64_t uses = 0;               // guarded by mu; orders free_scripts for eviction
  // Guarded by mu; rises whenever cached scripts are finalized, so that a statement that
  // kept a pointer to its entry in `scripts` knows to look it up again.
  uint64_t epoch = 1;

  static void Finalize(CachedScript& script) {
    for (CachedPart& part : script.parts) sqlite3_finalize(part.stmt);
    script.parts.clear();
    sqlite3_finalize(script.together.stmt);
    script.together = TogetherInsert();
  }
  // Caller holds mu.
  void FinalizeAll() {
    for (auto& [text, script] : scripts) Finalize(script);
    for (auto& [text, script] : free_scripts) Finalize(script);
    scripts.clear();
    free_scripts.clear();
    sqlite3_finalize(begin);
    sqlite3_finalize(commit);
    begin = commit = nullptr;
    ++epoch;
  }
};

// Views and functions every connection gets (see the header). Temporary, so that they exist on
// any file, initialised or not, and never become part of the repository schema.
const char* const kConnectionSetup =
    "create temp view if not exists dual as "
    "select 'X' as dummy, datetime('now', 'localtime') as sysdate;";

std::string FormatNumber(double v) {
  if (std::isfinite(v) && v == std::trunc(v) && std::fabs(v) < 1e18) {
    return std::to_string(static_cast<long long>(v));
  }
  char buf[64];
  const auto res = std::to_chars(buf, buf + sizeof buf, v);
  return std::string(buf, res.ptr);
}

// One value of a result row.
struct Cell {
  bool null = true;
  bool numeric = false;  // stored as INTEGER or REAL
  double number = 0;
  std::string text;
};

struct ResultSet {
  std::vector<std::string> columns;  // lower-cased
  std::vector<std::vector<Cell>> rows;
};

// A script text and its bind names, made once per text and shared by the statements and
// queries run from it. Immutable.
struct ScriptText {
  explicit ScriptText(std::string t) : text(std::move(t)), names(BindNames(text)) {}
  const std::string text;
  const std::vector<std::string> names;  // as BindNames() gives them
};

// Bind values by position among the script's lower-cased names, with the output variables
// among them. A value set again reuses its text's storage, so a statement run row after row
// does not allocate per value.
struct BindSet {
  std::vector<std::string> names;  // as found in the text, lower-cased
  std::vector<BindValue> values;   // per name
  std::vector<char> bound;         // per name: a value was set
  // Per name: a text bound by position without a copy (SetTextAt), which stands for the
  // value's own text while `viewed` is set.
  std::vector<std::string_view> views;
  std::vector<char> viewed;
  // Per name: the second (since 1899-12-30) whose text a date-time value holds.
  std::vector<long long> seconds;
  std::map<std::string, bool> outputs;  // name -> set by the last run

  void Init(const std::vector<std::string>& script_names) {
    names = script_names;
    values.assign(names.size(), BindValue());
    bound.assign(names.size(), 0);
    views.assign(names.size(), std::string_view());
    viewed.assign(names.size(), 0);
    seconds.assign(names.size(), 0);
  }
  // The position of `name` (any case) among the names; -1 when the text has no such name.
  int Find(std::string_view name) const {
    for (size_t i = 0; i < names.size(); ++i) {
      const std::string& n = names[i];
      if (n.size() != name.size()) continue;
      bool same = true;
      for (size_t k = 0; k < n.size() && same; ++k) {
        const char c = name[k];
        same = n[k] == (c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c);
      }
      if (same) return static_cast<int>(i);
    }
    return -1;
  }
  int Position(const std::string& name) const {
    const int i = Find(name);
    if (i < 0) throw RepositoryError("The statement has no bind variable :" + name);
    return i;
  }
  BindValue& Slot(int i) {
    if (i < 0 || static_cast<size_t>(i) >= values.size()) {
      throw RepositoryError("The statement has no bind variable at " + std::to_string(i));
    }
    bound[static_cast<size_t>(i)] = 1;
    viewed[static_cast<size_t>(i)] = 0;
    return values[static_cast<size_t>(i)];
  }
  void SetString(const std::string& name, const std::string& text) {
    BindValue& v = Slot(Position(name));
    v.kind = BindValue::Kind::kString;
    v.text.assign(text);
  }
  void SetTextAt(int i, std::string_view text) {
    BindValue& v = Slot(i);
    v.kind = BindValue::Kind::kString;
    views[static_cast<size_t>(i)] = text;
    viewed[static_cast<size_t>(i)] = 1;
  }
  void SetNumber(int i, double number) {
    BindValue& v = Slot(i);
    v.kind = BindValue::Kind::kNumber;
    v.number = number;
  }
  void SetNumber(const std::string& name, double number) { SetNumber(Position(name), number); }
  void SetDateTime(int i, double when) {
    BindValue& v = Slot(i);
    // The text holds whole seconds, and the rows of a group mostly share theirs: it is made
    // again only when the second changes (the second as DecodeDateTime rounds it).
    long long second = 0;
    const bool finite = std::isfinite(when);
    if (finite) {
      const long long ms = std::llround(when * 86400000.0);
      second = ms / 1000 - (ms % 1000 < 0 ? 1 : 0);
    }
    if (finite && v.kind == BindValue::Kind::kDateTime && !v.text.empty() &&
        seconds[static_cast<size_t>(i)] == second) {
      v.number = when;
      return;
    }
    v.kind = BindValue::Kind::kDateTime;
    v.number = when;
    v.text = DateTimeText(when);
    seconds[static_cast<size_t>(i)] = second;
  }
  void SetDateTime(const std::string& name, double when) { SetDateTime(Position(name), when); }
  // The text a string or date-time value binds.
  std::string_view Text(size_t i) const {
    return viewed[i] ? views[i] : std::string_view(values[i].text);
  }
  const BindValue* Value(const std::string& key) const {
    const int i = Find(key);
    return i < 0 || !bound[static_cast<size_t>(i)] ? nullptr : &values[static_cast<size_t>(i)];
  }
};

bool BlankTail(const char* p) {
  while (*p) {
    if (std::isspace(static_cast<unsigned char>(*p)) || *p == ';') {
      ++p;
    } else if (p[0] == '-' && p[1] == '-') {
      while (*p && *p != '\n') ++p;
    } else if (p[0] == '/' && p[1] == '*') {
      const char* end = std::strstr(p + 2, "*/");
      if (!end) return true;
      p = end + 2;
    } else {
      return false;
    }
  }
  return true;
}

// Resets a cached statement however its run ends, so that it keeps no read snapshot or
// write lock and no bound copy of a caller's values until its next run.
class ResetOnExit {
 public:
  explicit ResetOnExit(sqlite3_stmt* stmt) : stmt_(stmt) {}
  ~ResetOnExit() {
    sqlite3_reset(stmt_);
    sqlite3_clear_bindings(stmt_);
  }
  ResetOnExit(const ResetOnExit&) = delete;
  ResetOnExit& operator=(const ResetOnExit&) = delete;

 private:
  sqlite3_stmt* stmt_;
};

class StmtHolder {
 public:
  ~StmtHolder() { sqlite3_finalize(stmt); }
  sqlite3_stmt* stmt = nullptr;
};

std::string ErrorText(sqlite3* db) { return sqlite3_errmsg(db); }

// `copy`: SQLite keeps its own copy of a text (it changes before the statement runs).
void BindOne(sqlite3* db, sqlite3_stmt* stmt, int index, const BindValue& v,
             std::string_view text, bool copy = false) {
  int rc = SQLITE_OK;
  switch (v.kind) {
    case BindValue::Kind::kNull:
      rc = sqlite3_bind_null(stmt, index);
      break;
    case BindValue::Kind::kString:
    case BindValue::Kind::kDateTime:
      rc = text.empty() ? sqlite3_bind_null(stmt, index)
                        : sqlite3_bind_text(stmt, index, text.data(),
                                            static_cast<int>(text.size()),
                                            copy ? SQLITE_TRANSIENT : SQLITE_STATIC);
      break;
    case BindValue::Kind::kNumber:
      if (std::isfinite(v.number) && v.number == std::trunc(v.number) &&
          std::fabs(v.number) < 9e18) {
        rc = sqlite3_bind_int64(stmt, index, static_cast<sqlite3_int64>(v.number));
      } else {
        rc = sqlite3_bind_double(stmt, index, v.number);
      }
      break;
  }
  if (rc != SQLITE_OK) throw RepositoryError(ErrorText(db));
}

void BindAll(sqlite3* db, CachedPart& part, const BindSet& binds) {
  if (part.bind_index.size() != part.params.size()) {
    part.bind_index.clear();
    for (const auto& [raw, key] : part.params) {
      part.bind_index.push_back(key.empty() ? -1 : binds.Find(key));
    }
  }
  for (size_t p = 0; p < part.params.size(); ++p) {
    const auto& [raw, key] = part.params[p];
    if (key.empty()) {
      throw RepositoryError("Unsupported bind variable " + raw + "; write variables as :name");
    }
    const int at = part.bind_index[p];
    if (at < 0 || !binds.bound[static_cast<size_t>(at)]) {
      throw RepositoryError("Not all variables bound: " + raw + " has no value");
    }
    BindOne(db, part.stmt, static_cast<int>(p) + 1, binds.values[static_cast<size_t>(at)],
            binds.Text(static_cast<size_t>(at)));
  }
}

Cell ReadCell(sqlite3_stmt* stmt, int col) {
  Cell cell;
  switch (sqlite3_column_type(stmt, col)) {
    case SQLITE_NULL:
      break;
    case SQLITE_INTEGER:
      cell.null = false;
      cell.numeric = true;
      cell.number = static_cast<double>(sqlite3_column_int64(stmt, col));
      cell.text = std::to_string(sqlite3_column_int64(stmt, col));
      break;
    case SQLITE_FLOAT:
      cell.null = false;
      cell.numeric = true;
      cell.number = sqlite3_column_double(stmt, col);
      cell.text = FormatNumber(cell.number);
      break;
    default: {
      cell.null = false;
      const auto* p = static_cast<const char*>(sqlite3_column_blob(stmt, col));
      const int n = sqlite3_column_bytes(stmt, col);
      cell.text.assign(p ? p : "", p ? static_cast<size_t>(n) : 0);
      break;
    }
  }
  return cell;
}

// Runs one prepared statement to its end and resets it. Its rows become *result when it yields
// columns; columns named like output variables set them from the first row. The columns are
// read after the first step: a schema change since the statement was prepared re-prepares it
// there, and "select *" may then yield other columns.
void RunPrepared(sqlite3* db, CachedPart& part, BindSet* binds, ResultSet* result) {
  sqlite3_stmt* stmt = part.stmt;
  ResetOnExit reset(stmt);
  BindAll(db, part, *binds);
  int rc = sqlite3_step(stmt);
  if (rc != SQLITE_ROW && rc != SQLITE_DONE) throw RepositoryError(ErrorText(db));
  const int ncol = sqlite3_column_count(stmt);
  if (ncol == 0) {
    while (rc == SQLITE_ROW) rc = sqlite3_step(stmt);
    if (rc != SQLITE_DONE) throw RepositoryError(ErrorText(db));
    return;
  }
  ResultSet rs;
  for (int c = 0; c < ncol; ++c) rs.columns.push_back(Lower(sqlite3_column_name(stmt, c)));
  while (rc == SQLITE_ROW) {
    std::vector<Cell> row;
    row.reserve(static_cast<size_t>(ncol));
    for (int c = 0; c < ncol; ++c) row.push_back(ReadCell(stmt, c));
    rs.rows.push_back(std::move(row));
    rc = sqlite3_step(stmt);
  }
  if (rc != SQLITE_DONE) throw RepositoryError(ErrorText(db));
  for (size_t c = 0; c < rs.columns.size(); ++c) {
    auto out = binds->outputs.find(rs.columns[c]);
    if (out == binds->outputs.end()) continue;
    if (rs.rows.empty()) {
      throw RepositoryError("no data found for the output variable :" + out->first);
    }
    const Cell& cell = rs.rows.front()[c];
    binds->SetNumber(out->first,
                     cell.numeric ? cell.number : std::strtod(cell.text.c_str(), nullptr));
    out->second = true;
  }
  if (result) *result = std::move(rs);
}

void Exec(sqlite3* db, const char* sql) {
  char* msg = nullptr;
  if (sqlite3_exec(db, sql, nullptr, nullptr, &msg) != SQLITE_OK) {
    std::string text = msg ? msg : ErrorText(db);
    sqlite3_free(msg);
    throw RepositoryError(text);
  }
}

sqlite3* ConnectedDb(Core& core) {
  if (!core.db) throw RepositoryError("The repository session is not connected");
  return core.db;
}

// Runs a transaction control statement, prepared once into *slot. Caller holds mu.
void RunControl(sqlite3* db, sqlite3_stmt** slot, const char* sql) {
  if (!*slot && sqlite3_prepare_v3(db, sql, -1, SQLITE_PREPARE_PERSISTENT, slot, nullptr) !=
                    SQLITE_OK) {
    throw RepositoryError(ErrorText(db));
  }
  ResetOnExit reset(*slot);
  if (sqlite3_step(*slot) != SQLITE_DONE) throw RepositoryError(ErrorText(db));
}

// Prepares the statement of `script` that starts at `from` and appends it to `cached`.
void PrepareNext(sqlite3* db, const char* script, size_t from, CachedScript* cached) {
  CachedPart part;
  const char* next = nullptr;
  if (sqlite3_prepare_v3(db, script + from, -1, SQLITE_PREPARE_PERSISTENT, &part.stmt, &next) !=
      SQLITE_OK) {
    throw RepositoryError(ErrorText(db));
  }
  part.end = static_cast<size_t>(next - script);
  part.rest_blank = BlankTail(next);
  if (part.stmt) {
    const int count = sqlite3_bind_parameter_count(part.stmt);
    for (int i = 1; i <= count; ++i) {
      const char* raw = sqlite3_bind_parameter_name(part.stmt, i);
      const bool named = raw && raw[0] == ':';
      part.params.emplace_back(raw ? raw : "?", named ? Lower(raw + 1) : std::string());
    }
  }
  cached->parts.push_back(std::move(part));
}

// The cached statements of `text`, made (empty) when the text is new. Caller holds mu.
CachedScript& CachedFor(Core& core, const std::string& text, bool free_text,
                        const char** key) {
  auto& cache = free_text ? core.free_scripts : core.scripts;
  auto it = cache.find(text);
  if (it == cache.end()) {
    if (free_text && cache.size() >= kFreeCacheSize) {
      auto oldest = cache.begin();
      for (auto i = cache.begin(); i != cache.end(); ++i) {
        if (i->second.last_use < oldest->second.last_use) oldest = i;
      }
      Core::Finalize(oldest->second);
      cache.erase(oldest);
    }
    it = cache.emplace(text, CachedScript()).first;
  }
  it->second.last_use = ++core.uses;
  *key = it->first.c_str();
  return it->second;
}

// The caller's memory of a script's cache entry, so that a statement run row after row looks
// its text up once.
struct ScriptHint {
  uint64_t epoch = 0;
  CachedScript* cached = nullptr;
  const char* key = nullptr;
};

// The cache entry of `text`, through the hint when it still holds. Caller holds mu.
CachedScript& EntryFor(Core& core, const std::string& text, bool free_text, ScriptHint* hint,
                       const char** script) {
  if (hint && !free_text && hint->epoch == core.epoch && hint->cached) {
    *script = hint->key;
    return *hint->cached;
  }
  CachedScript& entry = CachedFor(core, text, free_text, script);
  if (hint && !free_text) *hint = ScriptHint{core.epoch, &entry, *script};
  return entry;
}

// Rows per run of a script as one insert of many rows: fewer would spend more per row on
// the statement's start and end, more would gain little.
constexpr size_t kTogether = 32;

// Whether `text` is "insert into ... values (:a, :b, ...)" and nothing more (a comment
// before it aside), each value a bind variable named once; then its statement for kTogether
// rows ("insert or rollback into ... values (?, ...), (?, ...), ...") is prepared into `out`.
void PrepareTogether(sqlite3* db, const std::string& text, TogetherInsert* out) {
  out->checked = true;
  const std::string lower = Lower(text);
  size_t start = lower.find_first_not_of(" \t\r\n");
  if (start != std::string::npos && lower.compare(start, 2, "/*") == 0) {
    const size_t end = lower.find("*/", start + 2);
    if (end == std::string::npos) return;
    start = lower.find_first_not_of(" \t\r\n", end + 2);
  }
  if (start == std::string::npos || lower.compare(start, 7, "insert ") != 0) return;
  const size_t into = lower.find_first_not_of(" \t\r\n", start + 6);
  if (into == std::string::npos || lower.compare(into, 5, "into ") != 0) return;
  const size_t values = lower.rfind("values");
  if (values == std::string::npos) return;
  const size_t open = lower.find_first_not_of(" \t\r\n", values + 6);
  if (open == std::string::npos || lower[open] != '(') return;
  const size_t close = lower.find(')', open);
  if (close == std::string::npos || !BlankTail(text.c_str() + close + 1)) return;
  std::vector<std::string> names;
  size_t at = open + 1;
  for (;;) {
    const size_t comma = std::min(lower.find(',', at), close);
    const size_t b = lower.find_first_not_of(" \t\r\n", at);
    size_t e = comma;
    while (e > at && std::isspace(static_cast<unsigned char>(lower[e - 1]))) --e;
    if (b == std::string::npos || b >= e || lower[b] != ':' || e - b < 2) return;
    const std::string name = lower.substr(b + 1, e - b - 1);
    for (char c : name) {
      if (!std::isalnum(static_cast<unsigned char>(c)) && c != '_') return;
    }
    if (std::find(names.begin(), names.end(), name) != names.end()) return;
    names.push_back(name);
    if (comma == close) break;
    at = comma + 1;
  }
  const int limit = sqlite3_limit(db, SQLITE_LIMIT_VARIABLE_NUMBER, -1);
  const size_t rows = std::min(kTogether, static_cast<size_t>(std::max(limit, 0)) / names.size());
  if (rows < 2) return;
  std::string tuple = "(";
  for (size_t i = 0; i < names.size(); ++i) tuple += i == 0 ? "?" : ",?";
  tuple += ")";
  // OR ROLLBACK: a row that fails ends the caller's transaction at once, which the caller
  // would roll back anyway; SQLite then keeps no statement journal of the pages each run
  // changes, which it would for a run that fails halfway (OR ABORT).
  std::string together = text.substr(0, start + 6) + " or rollback" +
                         text.substr(start + 6, open - (start + 6));
  for (size_t r = 0; r < rows; ++r) {
    if (r > 0) together += ",";
    together += tuple;
  }
  if (sqlite3_prepare_v3(db, together.c_str(), -1, SQLITE_PREPARE_PERSISTENT, &out->stmt,
                         nullptr) != SQLITE_OK ||
      static_cast<size_t>(sqlite3_bind_parameter_count(out->stmt)) != rows * names.size()) {
    // Not what it seemed (a variable before the values, say): run row by row.
    sqlite3_finalize(out->stmt);
    out->stmt = nullptr;
    return;
  }
  out->rows = rows;
  out->names = std::move(names);
}

// Runs the first rows of `count` (set_row(i) sets row i's binds) in runs of the script as one
// insert of many rows, when the script is such an insert; returns how many it ran (a multiple
// of the rows per run; the caller runs the rest one by one). The caller holds mu and has
// opened the transaction; any failure throws, and the caller rolls the transaction back.
size_t RunRowsTogether(Core& core, const std::string& text, BindSet& binds, ScriptHint* hint,
                       size_t count, const std::function<void(size_t)>& set_row) {
  sqlite3* db = ConnectedDb(core);
  const char* script = nullptr;
  TogetherInsert& together = EntryFor(core, text, false, hint, &script).together;
  if (!together.checked) PrepareTogether(db, text, &together);
  if (!together.stmt || count < together.rows) return 0;
  if (together.bind_index.empty()) {
    for (const std::string& name : together.names) {
      together.bind_index.push_back(binds.Find(name));
    }
  }
  const size_t width = together.names.size();
  sqlite3_stmt* stmt = together.stmt;
  ResetOnExit reset(stmt);
  size_t done = 0;
  while (count - done >= together.rows) {
    for (size_t r = 0; r < together.rows; ++r) {
      set_row(done + r);
      for (size_t j = 0; j < width; ++j) {
        const int at = together.bind_index[j];
        if (at < 0 || !binds.bound[static_cast<size_t>(at)]) {
          throw RepositoryError("Not all variables bound: :" + together.names[j] +
                                " has no value");
        }
        const size_t a = static_cast<size_t>(at);
        // A text bound without a copy stays where it is until the run; the others change
        // with the next row.
        BindOne(db, stmt, static_cast<int>(r * width + j) + 1, binds.values[a], binds.Text(a),
                !binds.viewed[a]);
      }
    }
    if (sqlite3_step(stmt) != SQLITE_DONE) throw RepositoryError(ErrorText(db));
    sqlite3_reset(stmt);
    done += together.rows;
  }
  return done;
}

// Runs every statement of `text` (see the header for the transaction rule). Caller holds mu.
// `free_text` (administrators' conditions) admits one read-only statement only, so that a
// condition can never change the repository.
// With `grouped`, the caller has opened the transaction and commits it.
// `hint` (not for free text): see ScriptHint.
void RunScript(Core& core, const std::string& text, BindSet* binds, ResultSet* result,
               bool free_text, bool grouped = false, ScriptHint* hint = nullptr) {
  sqlite3* db = ConnectedDb(core);
  for (auto& out : binds->outputs) out.second = false;
  const char* script = nullptr;
  CachedScript& cached = EntryFor(core, text, free_text, hint, &script);
  bool in_transaction = false;
  try {
    bool first = true;
    for (size_t i = 0;; ++i) {
      if (i == cached.parts.size()) {
        if (cached.complete) break;
        const size_t from = i == 0 ? 0 : cached.parts[i - 1].end;
        if (BlankTail(script + from)) {
          cached.complete = true;
          break;
        }
        PrepareNext(db, script, from, &cached);
      }
      CachedPart& part = cached.parts[i];
      if (!part.stmt) continue;  // only a comment was left
      if (first) {
        first = false;
        const bool lone_read = sqlite3_stmt_readonly(part.stmt) && part.rest_blank;
        if (free_text && !lone_read) {
          throw RepositoryError("A free query must be one statement that only reads");
        }
        if (!lone_read && !grouped && !core.in_transaction) {
          RunControl(db, &core.begin, "BEGIN IMMEDIATE");
          in_transaction = true;
        }
      }
      RunPrepared(db, part, binds, result);
    }
    // A COMMIT that fails (disk full, I/O error) leaves the transaction open; the handler
    // below rolls it back, or every later BEGIN on this connection would fail.
    if (in_transaction) RunControl(db, &core.commit, "COMMIT");
  } catch (...) {
    if (in_transaction && !sqlite3_get_autocommit(db)) {
      sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
    }
    throw;
  }
}

class SqliteStatement : public Statement {
 public:
  SqliteStatement(std::shared_ptr<Core> core, std::shared_ptr<const ScriptText> script)
      : core_(std::move(core)), script_(std::move(script)) {
    binds_.Init(script_->names);
  }
  void SetString(const std::string& name, const std::string& value) override {
    binds_.SetString(name, value);
  }
  void SetNumber(const std::string& name, double value) override {
    binds_.SetNumber(name, value);
  }
  void SetDateTime(const std::string& name, double value) override {
    binds_.SetDateTime(name, value);
  }
  int Param(const std::string& name) override { return binds_.Position(name); }
  void SetNumberAt(int param, double value) override { binds_.SetNumber(param, value); }
  void SetDateTimeAt(int param, double value) override { binds_.SetDateTime(param, value); }
  void SetTextAt(int param, std::string_view value) override { binds_.SetTextAt(param, value); }
  void SetNullAt(int param) override { binds_.SetTextAt(param, std::string_view()); }
  void DeclareOutputNumber(const std::string& name) override {
    SetNumber(name, 0);
    binds_.outputs[Lower(name)] = false;
  }
  double OutputNumber(const std::string& name) const override {
    const std::string key = Lower(name);
    if (!binds_.outputs.count(key)) {
      throw RepositoryError(":" + name + " is not an output variable of the statement");
    }
    const BindValue* v = binds_.Value(key);
    if (!v) throw RepositoryError(":" + name + " has no value");
    return v->number;
  }
  void Execute() override {
    std::lock_guard<std::recursive_mutex> lock(core_->mu);
    RunScript(*core_, script_->text, &binds_, nullptr, false, false, &hint_);
  }
  // All rows in one transaction: in WAL mode the commit is most of a small insert's cost. When
  // any row fails, the whole group is rolled back and the rows run again one by one, so each
  // failure is reported for its own row and the others are committed as they would be alone.
  void ExecuteRows(size_t count, const std::function<void(size_t)>& set_row,
                   const std::function<void(size_t, const std::exception&)>& on_error) override {
    if (count > 1) {
      std::lock_guard<std::recursive_mutex> lock(core_->mu);
      if (core_->in_transaction) {
        for (size_t i = RunRowsTogether(*core_, script_->text, binds_, &hint_, count, set_row);
             i < count; ++i) {
          set_row(i);
          RunScript(*core_, script_->text, &binds_, nullptr, false, true, &hint_);
        }
        return;
      }
      sqlite3* db = nullptr;
      try {
        db = ConnectedDb(*core_);
        RunControl(db, &core_->begin, "BEGIN IMMEDIATE");
        for (size_t i = RunRowsTogether(*core_, script_->text, binds_, &hint_, count, set_row);
             i < count; ++i) {
          set_row(i);
          RunScript(*core_, script_->text, &binds_, nullptr, false, true, &hint_);
        }
        RunControl(db, &core_->commit, "COMMIT");
        return;
      } catch (const std::exception&) {
        if (db && !sqlite3_get_autocommit(db)) {
          sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
        }
      }
    }
    Statement::ExecuteRows(count, set_row, on_error);
  }

 private:
  std::shared_ptr<Core> core_;
  const std::shared_ptr<const ScriptText> script_;
  BindSet binds_;
  ScriptHint hint_;  // guarded by core_->mu
};

class SqliteQuery : public Query {
 public:
  SqliteQuery(std::shared_ptr<Core> core, std::shared_ptr<const ScriptText> script,
              bool free_text)
      : core_(std::move(core)), script_(std::move(script)), free_text_(free_text) {
    binds_.Init(script_->names);
  }
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
    const std::string key = Lower(name);
    for (const std::string& n : binds_.names) {
      if (n == key) return true;
    }
    return false;
  }
  void Open() override {
    ResultSet rs;
    {
      std::lock_guard<std::recursive_mutex> lock(core_->mu);
      RunScript(*core_, script_->text, &binds_, &rs, free_text_);
    }
    result_ = std::move(rs);
    row_ = 0;
  }
  int RowCount() const override { return static_cast<int>(result_.rows.size()); }
  bool Eof() const override { return row_ >= result_.rows.size(); }
  void Next() override {
    if (row_ < result_.rows.size()) ++row_;
  }
  double FieldAsNumber(const std::string& column) const override {
    return AsNumber(Field(column), column);
  }
  std::string FieldAsString(const std::string& column) const override {
    return Field(column).text;
  }
  double FirstAsNumber() const override { return AsNumber(At(0), "1"); }
  int FirstAsInteger() const override {
    const double v = FirstAsNumber();
    if (!(v > -2147483649.0 && v < 2147483648.0)) {
      throw RepositoryError("The first column does not fit an integer: " + FormatNumber(v));
    }
    return static_cast<int>(v);
  }
  void Close() override {
    result_ = ResultSet();
    row_ = 0;
  }

 private:
  const Cell& At(size_t col) const {
    if (row_ >= result_.rows.size()) throw RepositoryError("The query has no current row");
    if (col >= result_.columns.size()) throw RepositoryError("The query has no such column");
    return result_.rows[row_][col];
  }
  const Cell& Field(const std::string& column) const {
    const std::string key = Lower(column);
    for (size_t c = 0; c < result_.columns.size(); ++c) {
      if (result_.columns[c] == key) return At(c);
    }
    throw RepositoryError("Field '" + column + "' not found");
  }
  static double AsNumber(const Cell& cell, const std::string& column) {
    if (cell.null) return 0;
    if (cell.numeric) return cell.number;
    double days = 0;
    if (ParseDateTimeText(cell.text, &days)) return days;
    const char* begin = cell.text.c_str();
    char* end = nullptr;
    const double v = std::strtod(begin, &end);
    while (end && *end && std::isspace(static_cast<unsigned char>(*end))) ++end;
    if (end == begin || (end && *end)) {
      throw RepositoryError("Field '" + column + "' is not a number: '" + cell.text + "'");
    }
    return v;
  }

  std::shared_ptr<Core> core_;
  const std::shared_ptr<const ScriptText> script_;
  const bool free_text_;
  BindSet binds_;
  ResultSet result_;
  size_t row_ = 0;
};

class SqliteSession : public Session {
 public:
  SqliteSession(std::string file_path, std::string server, bool create_file)
      : core_(std::make_shared<Core>()),
        file_path_(std::move(file_path)),
        server_(std::move(server)),
        create_file_(create_file) {
    for (int i = 0; i < static_cast<int>(SqlId::kCount); ++i) {
      named_[i] = std::make_shared<const ScriptText>(JoinLines(SqliteText(static_cast<SqlId>(i))));
    }
  }
  ~SqliteSession() override { Disconnect(); }

  void Connect() override {
    std::lock_guard<std::recursive_mutex> lock(core_->mu);
    if (core_->db) return;
    if (!create_file_ && !platform::FileExists(file_path_)) {
      throw RepositoryError("The repository file " + file_path_ +
                            " does not exist (qxadmin init creates it)");
    }
    sqlite3* db = nullptr;
    const int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX |
                      (create_file_ ? SQLITE_OPEN_CREATE : 0);
    if (sqlite3_open_v2(file_path_.c_str(), &db, flags, nullptr) != SQLITE_OK) {
      std::string text = db ? ErrorText(db) : "out of memory";
      sqlite3_close(db);
      throw RepositoryError("Cannot open the repository file " + file_path_ + ": " + text);
    }
    try {
      sqlite3_extended_result_codes(db, 0);
      sqlite3_busy_timeout(db, kBusyTimeoutMs);
      if (RegisterOracleFunctions(db) != SQLITE_OK) throw RepositoryError(ErrorText(db));
      // WAL lets readers run beside one writer and other processes share the file. In WAL
      // mode synchronous=NORMAL never corrupts the file; a power cut may lose the last
      // commits, which a monitoring record can afford.
      // A private in-memory database (the filters' condition evaluator) has no journal to
      // share.
      std::string mode = "wal";
      if (file_path_ != ":memory:") {
        StmtHolder h;
        if (sqlite3_prepare_v2(db, "PRAGMA journal_mode=WAL", -1, &h.stmt, nullptr) !=
                SQLITE_OK ||
            sqlite3_step(h.stmt) != SQLITE_ROW) {
          throw RepositoryError(ErrorText(db));
        }
        mode = reinterpret_cast<const char*>(sqlite3_column_text(h.stmt, 0));
      }
      if (Lower(mode) != "wal") {
        throw RepositoryError("The repository file " + file_path_ +
                              " cannot use the WAL journal (journal mode " + mode + ")");
      }
      if (file_path_ != ":memory:") {
        Exec(db, "PRAGMA synchronous=NORMAL");
        // 16 MB of pages instead of 2: the history's indexes by statement take rows all over
        // their pages, which would otherwise be read back from the file again and again. A
        // fixed bound, whatever the number of statements.
        Exec(db, "PRAGMA cache_size=-16384");
      }
      Exec(db, kConnectionSetup);
    } catch (const RepositoryError&) {
      sqlite3_close(db);
      throw;
    }
    core_->db = db;
  }

  void Disconnect() override {
    std::lock_guard<std::recursive_mutex> lock(core_->mu);
    core_->FinalizeAll();
    core_->in_transaction = false;
    if (core_->db) sqlite3_close_v2(core_->db);
    core_->db = nullptr;
  }

  void RunTransaction(const std::function<void()>& body) override {
    std::lock_guard<std::recursive_mutex> lock(core_->mu);
    if (core_->in_transaction) {  // within the caller's own transaction
      body();
      return;
    }
    RunControl(ConnectedDb(*core_), &core_->begin, "BEGIN IMMEDIATE");
    core_->in_transaction = true;
    try {
      body();
      // A COMMIT that fails leaves the transaction open: rolled back below.
      RunControl(ConnectedDb(*core_), &core_->commit, "COMMIT");
    } catch (...) {
      core_->in_transaction = false;
      if (core_->db && !sqlite3_get_autocommit(core_->db)) {
        sqlite3_exec(core_->db, "ROLLBACK", nullptr, nullptr, nullptr);
      }
      throw;
    }
    core_->in_transaction = false;
  }
  bool Atomic() const override { return true; }

  bool Connected() const override {
    std::lock_guard<std::recursive_mutex> lock(core_->mu);
    return core_->db != nullptr;
  }
  std::string UserName() const override { return "main"; }
  std::string Server() const override { return server_; }

  std::unique_ptr<Statement> NewStatement(SqlId id) override {
    return std::make_unique<SqliteStatement>(core_, Named(id));
  }
  std::unique_ptr<Query> NewQuery(SqlId id) override {
    return std::make_unique<SqliteQuery>(core_, Named(id), false);
  }
  std::unique_ptr<Query> NewFreeQuery(const std::string& text) override {
    return std::make_unique<SqliteQuery>(core_, std::make_shared<const ScriptText>(text), true);
  }
  std::unique_ptr<Statement> NewFreeStatement(const std::string& text) override {
    return std::make_unique<SqliteStatement>(core_, std::make_shared<const ScriptText>(text));
  }
  Backend Kind() const override { return Backend::kSqlite; }

 private:
  std::shared_ptr<Core> core_;
  const std::string file_path_;
  const std::string server_;
  const bool create_file_;
  // The text of every SqlId, joined and scanned for binds once; filled by the constructor
  // and read-only afterwards, so any thread may read it.
  std::array<std::shared_ptr<const ScriptText>, static_cast<size_t>(SqlId::kCount)> named_;

  std::shared_ptr<const ScriptText> Named(SqlId id) const {
    const auto i = static_cast<size_t>(id);
    if (i >= named_.size()) throw RepositoryError("Unknown statement id");
    return named_[i];
  }
};

}  // namespace

std::unique_ptr<Session> CreateSqliteSession(const std::string& file_path,
                                             const std::string& server, bool create_file) {
  // Before the library's first use (it refuses afterwards, harmlessly): no statistics of its
  // memory, which would take a global lock on every allocation it makes.
  static const int config_memstatus = sqlite3_config(SQLITE_CONFIG_MEMSTATUS, 0);
  (void)config_memstatus;
  return std::make_unique<SqliteSession>(file_path, server, create_file);
}

std::string DateTimeText(double days) {
  const platform::LocalTime t = platform::DecodeDateTime(days);
  char buf[32];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d", t.year, t.month, t.day, t.hour,
                t.minute, t.second);
  return buf;
}

bool ParseDateTimeText(const std::string& text, double* days) {
  platform::LocalTime t;
  int n = 0;
  char sep = 0;
  if (std::sscanf(text.c_str(), "%4d-%2d-%2d%n", &t.year, &t.month, &t.day, &n) != 3 || n != 10) {
    return false;
  }
  size_t pos = 10;
  if (pos < text.size()) {
    sep = text[pos];
    if (sep != ' ' && sep != 'T') return false;
    ++pos;
    int m = 0;
    if (std::sscanf(text.c_str() + pos, "%2d:%2d%n", &t.hour, &t.minute, &m) != 2 || m != 5) {
      return false;
    }
    pos += 5;
    if (pos < text.size()) {
      if (text[pos] != ':') return false;
      if (std::sscanf(text.c_str() + pos, ":%2d%n", &t.second, &m) != 1 || m != 3) return false;
      pos += 3;
      if (pos < text.size()) {
        if (text[pos] != '.') return false;
        int frac = 0, digits = 0;
        for (++pos; pos < text.size(); ++pos, ++digits) {
          if (!std::isdigit(static_cast<unsigned char>(text[pos]))) return false;
          if (digits < 3) frac = frac * 10 + (text[pos] - '0');
        }
        for (; digits < 3; ++digits) frac *= 10;
        t.millisecond = frac;
      }
    }
  }
  if (t.month < 1 || t.month > 12 || t.day < 1 || t.day > 31 || t.hour > 23 || t.minute > 59 ||
      t.second > 59 || t.hour < 0 || t.minute < 0 || t.second < 0) {
    return false;
  }
  *days = platform::EncodeDateTime(t);
  return true;
}

std::vector<std::string> BindNames(const std::string& text) {
  std::vector<std::string> names;
  const size_t n = text.size();
  size_t i = 0;
  auto ident = [](char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '$';
  };
  while (i < n) {
    const char c = text[i];
    if (c == '\'' || c == '"') {
      const size_t end = text.find(c, i + 1);
      i = end == std::string::npos ? n : end + 1;  // '' inside a literal is two literals here
    } else if (c == '-' && i + 1 < n && text[i + 1] == '-') {
      const size_t end = text.find('\n', i);
      i = end == std::string::npos ? n : end + 1;
    } else if (c == '/' && i + 1 < n && text[i + 1] == '*') {
      const size_t end = text.find("*/", i + 2);
      i = end == std::string::npos ? n : end + 2;
    } else if (c == ':' && i + 1 < n &&
               (std::isalpha(static_cast<unsigned char>(text[i + 1])) || text[i + 1] == '_')) {
      size_t j = i + 1;
      while (j < n && ident(text[j])) ++j;
      std::string name = Lower(text.substr(i + 1, j - i - 1));
      bool seen = false;
      for (const std::string& s : names) seen = seen || s == name;
      if (!seen) names.push_back(name);
      i = j;
    } else {
      ++i;
    }
  }
  return names;
}

}  // namespace qx::repository::sqlite
