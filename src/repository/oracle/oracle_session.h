// The Oracle backend of the repository session (repository.h), on the Oracle Call Interface
// loaded at run time (oci_api.h).
//
// Sessions: the Session object keeps a small pool of Oracle sessions ("physical sessions")
// under one OCI_THREADED environment. A statement or query borrows one physical session for
// the length of its Execute() or Open() and gives it back; nothing is held between calls.
// Every writing statement of the system is one PL/SQL block ending in its own "commit;", so a
// transaction never spans two borrowings and any physical session serves any call. A pool
// rather than one session behind a lock because relay and capture threads each wait a full
// network round trip per statement: with one session they queue behind each other, with a
// few they overlap. A further session is opened only when every open one is busy, up to
// max_sessions (4 by default: enough for the bursts of history rows, little load on the
// server); max_sessions = 1 gives the plain one-session-behind-a-lock behaviour.
//
// Transactions: auto-commit is off. A call that fails is followed by a rollback on its
// physical session, so a block that failed half-way leaves nothing open for the next user.
//
// Reconnection: an error that says the connection is gone (ORA-03113, 03114, 03135, 00028,
// 12170, 12541 ...) drops that physical session and every idle one (they went with it), and
// the call fails with the server's message. The next call opens a new physical session. After
// a failed attempt to open one, calls fail at once with that attempt's message until
// reconnect_interval has passed, so that threads do not each wait out a connect timeout while
// the repository is down. A physical session idle for longer than validate_after_idle is
// pinged before use, so one that died quietly (a firewall's idle cut) is replaced before a
// statement is sent on it rather than failing the statement.
//
// Binds: strings as VARCHAR2 (SQLT_CHR, exact length), numbers as native doubles (SQLT_FLT),
// date-times as OCIDate (SQLT_ODT, whole seconds: DATE has no fractions, so the time is
// rounded to the nearest second). Each name is bound once by OCIBindByName, which binds every
// occurrence of it in a PL/SQL block. Every variable of the text must have been set before
// Execute()/Open() (RepositoryError otherwise, nothing sent). Query columns: NUMBER and binary
// floats are fetched as doubles, DATE and TIMESTAMP as OCIDate, all else as text.
//
// Character set: the environment uses NLS_LANG's character set when NLS_LANG is set, and
// WE8ISO8859P1 otherwise, so that the byte strings the system captures reach the repository
// one character per byte and unchanged.
//
// Threading: as repository.h says; the pool's state is guarded by one mutex inside the
// session, never held during a call to the server.
#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "repository/repository.h"

namespace qx::repository {

struct OracleOptions {
  // Library names tried in order; empty means oci::DefaultLibraryNames().
  std::vector<std::string> library_names;
  int max_sessions = 4;
  std::chrono::milliseconds reconnect_interval{5000};
  std::chrono::milliseconds validate_after_idle{30000};
  unsigned prefetch_rows = 100;
};

std::unique_ptr<Session> CreateOracleSession(const std::string& user,
                                             const std::string& password,
                                             const std::string& server,
                                             const OracleOptions& options);

// True for the ORA- codes that mean the connection to the server is gone or unusable.
bool IsConnectionLostCode(int ora_code);

}  // namespace qx::repository
