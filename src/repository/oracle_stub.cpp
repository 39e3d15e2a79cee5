// Stand-in for the Oracle backend in builds without it: the session exists, and connecting
// reports that Oracle is not available.
#include "repository/oracle_backend.h"

namespace qx::repository {
namespace {

class UnavailableOracleSession : public Session {
 public:
  UnavailableOracleSession(std::string user, std::string server)
      : user_(std::move(user)), server_(std::move(server)) {}
  void Connect() override {
    throw RepositoryError("Oracle repository backend is not available in this build");
  }
  void Disconnect() override {}
  bool Connected() const override { return false; }
  std::string UserName() const override { return user_; }
  std::string Server() const override { return server_; }
  std::unique_ptr<Statement> NewStatement(SqlId) override { Fail(); }
  std::unique_ptr<Query> NewQuery(SqlId) override { Fail(); }
  std::unique_ptr<Query> NewFreeQuery(const std::string&) override { Fail(); }

 private:
  [[noreturn]] static void Fail() {
    throw RepositoryError("Oracle repository backend is not available in this build");
  }
  std::string user_, server_;
};

}  // namespace

std::unique_ptr<Session> CreateOracleSession(const std::string& user, const std::string&,
                                             const std::string& server) {
  return std::make_unique<UnavailableOracleSession>(user, server);
}

}  // namespace qx::repository
