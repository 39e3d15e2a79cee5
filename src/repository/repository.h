// The repository session and its statements and queries.
//
// One Session per process talks to the repository database. The connect string picks the
// backend: "sqlite:PATH" is the embedded SQLite repository, "user/password@server" is Oracle.
// Every statement and query the system runs is named by a SqlId (sql_texts.h) and its text in
// the backend's dialect comes from that backend's table; only the date conditions that
// administrators write into filters are run as free text (Session::NewFreeQuery), and so is
// the schema DDL that qxadmin makes from the schema table (schema.h, NewFreeStatement).
//
// Errors: every failure (connect, parse, execute, fetch) throws RepositoryError carrying the
// database's own message text. Nothing here logs; callers decide what to report.
//
// Threading: a Session may be used from any number of threads at once; it serialises its own
// work, and each statement's transaction stays inside one Execute(). Statement and Query
// objects are created for one use by one thread and must not be shared.
#pragma once

#include <cstddef>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "repository/schema.h"
#include "repository/sql_texts.h"

namespace qx::repository {

class RepositoryError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A bound value: a string, a number (double) or a local date-time (days since 1899-12-30).
struct BindValue {
  enum class Kind { kNull, kString, kNumber, kDateTime };
  Kind kind = Kind::kNull;
  std::string text;
  double number = 0;
};

// A statement without a result set, created for one use and released after it.
class Statement {
 public:
  virtual ~Statement() = default;
  virtual void SetString(const std::string& name, const std::string& value) = 0;
  virtual void SetNumber(const std::string& name, double value) = 0;
  virtual void SetDateTime(const std::string& name, double value) = 0;
  // Binds NULL: both backends store an empty string bound to any column as NULL.
  virtual void SetNull(const std::string& name) { SetString(name, ""); }
  // Declares `name` an output variable holding a number; read it after Execute().
  virtual void DeclareOutputNumber(const std::string& name) = 0;
  virtual double OutputNumber(const std::string& name) const = 0;
  // Throws RepositoryError. Binds stay set, so a statement may be executed again.
  virtual void Execute() = 0;
  // Executes the statement `count` times: set_row(i) sets the binds of row i, then it runs. A
  // row that fails goes to on_error and the other rows still run, each committed or not
  // exactly as if executed alone. A backend may run the rows in one transaction to spare a
  // commit per row, as long as the outcome is the same; this default runs them one by one.
  virtual void ExecuteRows(size_t count, const std::function<void(size_t)>& set_row,
                           const std::function<void(size_t, const std::exception&)>& on_error) {
    for (size_t i = 0; i < count; ++i) {
      try {
        set_row(i);
        Execute();
      } catch (const std::exception& e) {
        on_error(i, e);
      }
    }
  }

  // Binding by position, for a statement run row after row: Param() gives a bind name's
  // position once (throws when the text has no such name) and the *At calls bind it without
  // looking the name up. SetTextAt does not copy: the text must stay valid and unchanged until
  // the Execute() or ExecuteRows() that runs the row has returned (a backend may run several
  // rows of ExecuteRows as one statement). An empty text is NULL, as with SetString. A backend
  // that does not bind by position keeps these defaults, which go through the names (and
  // report an unknown name only when a value is set).
  virtual int Param(const std::string& name) {
    param_names_.push_back(name);
    return static_cast<int>(param_names_.size()) - 1;
  }
  virtual void SetNumberAt(int param, double value) { SetNumber(ParamName(param), value); }
  virtual void SetDateTimeAt(int param, double value) { SetDateTime(ParamName(param), value); }
  virtual void SetTextAt(int param, std::string_view value) {
    SetString(ParamName(param), std::string(value));
  }
  virtual void SetNullAt(int param) { SetNull(ParamName(param)); }

 private:
  const std::string& ParamName(int param) const {
    return param_names_.at(static_cast<size_t>(param));
  }
  std::vector<std::string> param_names_;  // the defaults' positions
};

// A query, created for one use. Open() runs it and reads the whole result, so the rows can be
// walked without holding the session.
class Query {
 public:
  virtual ~Query() = default;
  virtual void SetString(const std::string& name, const std::string& value) = 0;
  virtual void SetNumber(const std::string& name, double value) = 0;
  virtual void SetDateTime(const std::string& name, double value) = 0;
  // True when the query's text has the bind variable `name` (without the colon, any case).
  virtual bool HasParam(const std::string& name) const = 0;
  virtual void Open() = 0;  // throws RepositoryError
  virtual int RowCount() const = 0;
  virtual bool Eof() const = 0;
  virtual void Next() = 0;
  // Columns of the current row by name (any letter case). NULL reads as 0 or "".
  // Throws RepositoryError for an unknown column or when there is no current row.
  virtual double FieldAsNumber(const std::string& column) const = 0;
  virtual std::string FieldAsString(const std::string& column) const = 0;
  virtual double FirstAsNumber() const = 0;
  virtual int FirstAsInteger() const = 0;
  virtual void Close() = 0;
};

class Session {
 public:
  // Creates the unconnected session for a connect string. Throws RepositoryError when the
  // string has neither form (the session rejects the form).
  static std::unique_ptr<Session> Create(const std::string& connect_string,
                                         const std::string& program_directory);
  virtual ~Session() = default;

  virtual void Connect() = 0;     // throws RepositoryError; leaves the session unconnected
  virtual void Disconnect() = 0;  // never throws
  virtual bool Connected() const = 0;
  virtual std::string UserName() const = 0;
  virtual std::string Server() const = 0;
  virtual Backend Kind() const = 0;

  // Runs `body` as one transaction where the backend can (Atomic() true): every statement
  // and query that body runs on this session, from the calling thread, belongs to it; it
  // commits when body returns, and when body throws everything is rolled back and the error
  // reaches the caller. Other threads' work on the session waits meanwhile. Inside it a
  // statement's ExecuteRows stops at the first failing row (the error ends the transaction).
  // A backend whose statements commit themselves (Oracle's blocks) runs body as it stands.
  virtual void RunTransaction(const std::function<void()>& body) { body(); }
  virtual bool Atomic() const { return false; }

  virtual std::unique_ptr<Statement> NewStatement(SqlId id) = 0;
  virtual std::unique_ptr<Query> NewQuery(SqlId id) = 0;
  // Runs administrator-written text as it stands (filter date conditions).
  virtual std::unique_ptr<Query> NewFreeQuery(const std::string& text) = 0;
  // Runs a statement text as it stands (schema DDL made from schema.h).
  virtual std::unique_ptr<Statement> NewFreeStatement(const std::string& text) = 0;
};

}  // namespace qx::repository
