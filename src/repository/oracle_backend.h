// Entry to the Oracle backend of the repository session ("user/password@server").
#pragma once

#include <memory>
#include <string>

#include "repository/repository.h"

namespace qx::repository {

// Creates an unconnected Oracle session. Connect() loads the Oracle client library at run
// time; without it, Connect() throws RepositoryError saying what to install.
std::unique_ptr<Session> CreateOracleSession(const std::string& user, const std::string& password,
                                             const std::string& server);

}  // namespace qx::repository
