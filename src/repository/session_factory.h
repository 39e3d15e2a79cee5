// Connect strings: which backend a repository connect string names, and the session for it.
//
//   sqlite:PATH            the embedded SQLite repository; a relative PATH is taken from the
//                          program directory
//   user/password@server   an Oracle database
//
// Session::Create (repository.h) is CreateSession(ParseConnectString(...), false); qxadmin
// init passes true so that a new repository file is created.
//
// Threading: pure functions, callable from any thread. Errors: RepositoryError.
#pragma once

#include <memory>
#include <string>

#include "repository/repository.h"

namespace qx::repository {

struct ConnectTarget {
  enum class Kind { kSqlite, kOracle };
  Kind kind = Kind::kSqlite;
  std::string sqlite_path;  // as written after "sqlite:"
  std::string sqlite_file;  // resolved against the program directory
  std::string user, password, server;
};

// Throws RepositoryError naming both accepted forms when the string has neither.
ConnectTarget ParseConnectString(const std::string& connect_string,
                                 const std::string& program_directory);

// An unconnected session. `create_sqlite_file`: Connect() may create a missing SQLite file.
std::unique_ptr<Session> CreateSession(const ConnectTarget& target, bool create_sqlite_file);

}  // namespace qx::repository
