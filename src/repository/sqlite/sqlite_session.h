// The embedded repository: the Session of repository.h on an SQLite file.
//
// One connection per session, opened in WAL mode with a busy timeout, so that several
// processes (two service instances, qxadmin) can share one repository file: readers never wait
// for the writer, and a writer waits up to kBusyTimeoutMs for another process's transaction.
//
// Threading: the connection is guarded by one mutex held by the session's shared core. Every
// call into SQLite (prepare, bind, step, error text) happens with that mutex held, so the
// session, and statements and queries made from it, may be used from any number of threads;
// their work is serialised. A thread waiting on another process's lock holds the mutex, so the
// other threads of this process wait with it (for at most the busy timeout each).
//
// Scripts: a statement text may hold several SQL statements separated by ";". One Execute()
// or Open() runs them all as one transaction (BEGIN IMMEDIATE ... COMMIT; ROLLBACK when any of
// them fails), except a lone read-only statement, which runs on its own snapshot. A free query
// (NewFreeQuery: administrators' conditions) must be one read-only statement.
//
// Prepared statements: each statement of a script is prepared once per connection
// (sqlite3_prepare_v3, persistent) and kept, keyed by the exact script text; after every run
// it is reset and its binds cleared, so a kept statement holds no lock or snapshot between runs.
// SQLite re-prepares a kept statement by itself when the schema changed (another process, or
// qxadmin), and a statement that no longer compiles fails with SQLite's own message. The kept
// statements belong to the connection, are guarded by its mutex, and are finalized when the
// session disconnects. The named texts are a fixed set; free text keeps only the few most
// recently used. BEGIN IMMEDIATE and COMMIT are kept prepared as well.
//
// Rows (ExecuteRows): all in one transaction. A script that is a single "insert into ...
// values (:a, :b, ...)" of distinct variables runs 32 rows to a statement ("insert or rollback
// into ... values (...), (...), ..."), the rest of the rows one by one; a failing row then ends
// the whole transaction, and outside a caller's transaction the rows run again one by one, so
// that each failure is reported for its own row as before.
//
// Binds: ":name" anywhere outside quotes and comments, matched without regard to letter case;
// a name that occurs several times is one variable. Setting a name the text does not have
// throws; executing with a variable left unset throws. Strings bind as TEXT (an empty string
// as NULL, as Oracle stores it), numbers as INTEGER when whole and REAL otherwise, date-times
// as TEXT "YYYY-MM-DD HH:MM:SS" (local time, whole seconds), which sorts and compares as dates
// and which to_char() reads.
//
// Output variables: a statement of the script that yields a column named like an output
// variable (e.g. "update ... returning value as sqlId") sets the variable from its first row,
// and the statements after it read the new value through ":sqlId". Such a statement that
// yields no row fails with "no data found", as Oracle's SELECT INTO does.
//
// Every connection also gets the temporary view dual (columns dummy and sysdate, the local
// time) and the function to_char(date[, format]) (sqlite_functions.h), so that the date
// conditions administrators write for Oracle run here unchanged.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "repository/repository.h"

namespace qx::repository::sqlite {

constexpr int kBusyTimeoutMs = 10000;

// Creates an unconnected session on the database file `file_path`; `server` is what Server()
// reports (the path as the connect string wrote it). With `create_file` false, Connect() fails
// when the file does not exist; with it true, Connect() creates an empty database.
std::unique_ptr<Session> CreateSqliteSession(const std::string& file_path,
                                             const std::string& server, bool create_file);

// Formats a date-time (days since 1899-12-30) as the TEXT a date-time is stored as.
std::string DateTimeText(double days);

// Reads "YYYY-MM-DD[ HH:MM[:SS[.fff]]]" (a "T" also separates the time); false otherwise.
bool ParseDateTimeText(const std::string& text, double* days);

// The ":name" bind variables of an SQL text, lower-cased, each once, in order of appearance.
std::vector<std::string> BindNames(const std::string& text);

}  // namespace qx::repository::sqlite
