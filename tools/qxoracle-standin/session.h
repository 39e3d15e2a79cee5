// One client connection to the stand-in Oracle server: the listener's CONNECT/ACCEPT, the
// native-services, protocol and data-types replies, both logon phases, and the function calls
// a thin client makes (execute, re-execute, fetch, commit, rollback, logoff) up to the end
// packet. Statements are not run: DML and PL/SQL succeed, a query returns one row whose
// columns are its select-list items as text (none when its text says "1 = 0").
//
// Threading: RunSession runs on the connection's own thread; the log is shared (its own lock).
// Errors: protocol faults end the connection with a log line; nothing escapes RunSession.
#pragma once

#include <cstdio>
#include <mutex>
#include <string>
#include <string_view>

namespace standin {

// The readable record of what clients sent: one line per event,
// "<connection number> <EVENT> <details>", statement texts escaped with EscapeText.
// Events: LISTEN and STOPPED (connection 0), CONNECT, REFUSED, LOGON, LOGON_FAILED,
// SESSION_SQL (the logon's ALTER SESSION), SQL <cursor> <text> (an execute carrying the
// text), EXEC <cursor> <text> (a re-execution by cursor id; the text is the one that cursor
// was parsed with), FETCH, CLOSE_CURSORS, CANCEL_CURSORS, COMMIT, ROLLBACK, LOGOFF, PING,
// MARKER, UNSUPPORTED, ERROR, CLOSE.
class StatementLog {
 public:
  explicit StatementLog(FILE* out) : out_(out) {}
  void Write(int connection, std::string_view event, std::string_view details = {});

 private:
  std::mutex mutex_;  // guards out_
  FILE* out_;
};

struct SessionConfig {
  std::string user;      // compared without letter case, as Oracle does for plain names
  std::string password;  // compared exactly
};

// Serves one accepted socket until the client ends or the socket fails or is shut down.
// Closes nothing: the caller owns fd.
void RunSession(int fd, int connection, const SessionConfig& config, StatementLog& log);

}  // namespace standin
