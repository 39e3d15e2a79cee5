// A real qxservice for tests of what it answers on its ports: a temporary program directory
// with both executables, an SQLite repository holding one active service "ORCL" whose Oracle
// listener is an in-test echo server, and blocking loopback clients for its ports.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/socket.h"
#include "support/test_util.h"

namespace qx::test {

// A connect descriptor as a client sends it in its first chunk.
inline constexpr const char* kDescriptor =
    "(DESCRIPTION=(ADDRESS=(PROTOCOL=TCP)(HOST=127.0.0.1)(PORT=1521))(CONNECT_DATA=(SERVICE_NAME="
    "orcl)(CID=(PROGRAM=sqlplus)(HOST=localhost)(USER=king))))";

// A loopback port that was free a moment ago.

// Stands in for an Oracle listener: accepts on 127.0.0.1 and echoes every byte back.
class EchoServer {
 public:
  EchoServer();
  ~EchoServer();
  int port() const { return port_; }

 private:
  void Serve(platform::SocketHandle fd);
  const platform::SocketHandle wake_;  // set once, by the destructor
  platform::SocketHandle listener_ = platform::kInvalidSocket;
  int port_ = 0;
  std::thread accept_thread_;
  std::mutex mu_;
  std::vector<platform::SocketHandle> open_;  // guarded by mu_
  std::vector<std::thread> threads_;        // guarded by mu_
};

// A blocking loopback client.
class TcpClient {
 public:
  explicit TcpClient(int port);
  ~TcpClient();
  TcpClient(const TcpClient&) = delete;
  TcpClient& operator=(const TcpClient&) = delete;
  bool Connected() const { return socket_ != platform::kInvalidSocket; }
  bool Send(const std::string& bytes);
  // What arrives until nothing more comes for quiet_ms, the first byte awaited for at most
  // first_byte_ms; "" when nothing came.
  std::string Read(int first_byte_ms = 5000, int quiet_ms = 100);
  // Send, then Read.
  std::string Ask(const std::string& request, int first_byte_ms = 5000);
  // Closes with a reset instead of an orderly close.
  void Reset();
  void Close();

 private:
  platform::SocketHandle socket_ = platform::kInvalidSocket;
};

class RunningService {
 public:
  // The repository and the service row; `admin_commands` run next (each after
  // "qxadmin -r sqlite:repo.db"), before the start. `ini_lines` go into qxservice.ini's
  // [Service] section after the connect string and MonitorServices.
  explicit RunningService(const std::vector<std::vector<std::string>>& admin_commands = {},
                          const std::string& ini_lines = "");
  ~RunningService();

  // Arguments put before the executable's path when it is started, e.g. a shell that lowers
  // a limit first: {"/bin/sh", "-c", "ulimit -n 40 && exec \"$0\""}.
  std::vector<std::string> launcher;

  // Starts qxservice and waits until both of its listeners are up; false (with the logs in
  // *why) when they did not come up.
  bool Start(std::string* why);
  // SIGTERM; the exit code (128 + signal when it died of one, -1 when it did not end).
  int Stop();
  // Ends the process at once, as a crash would (SIGKILL; TerminateProcess on Windows).
  void Kill() {
    if (child_) child_->Signal(SIGKILL);
  }
  bool Running() { return child_ && child_->Running(); }
  int pid() const { return child_ ? child_->pid() : -1; }

  int work_port() const { return work_port_; }
  int manage_port() const { return manage_port_; }
  // The echoing "Oracle" listener, for further services aimed at it.
  int oracle_port() const { return oracle_.port(); }
  const TempDir& dir() const { return dir_; }
  // What the service wrote to its standard output and error.
  std::string Output() const { return ReadText(dir_.File("out.txt")); }

 private:
  TempDir dir_;
  EchoServer oracle_;
  int work_port_ = 0;
  int manage_port_ = 0;
  std::unique_ptr<Child> child_;
};

// A relayed client that has sent its connect descriptor, and got it back from the echoing
// "Oracle", so that the service has decoded it.
std::unique_ptr<TcpClient> OpenSession(int work_port);

}  // namespace qx::test
