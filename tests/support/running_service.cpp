// POSIX implementation of the running-service helpers.
#include "support/running_service.h"

#include "support/oracle_frames.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <stdexcept>

namespace qx::test {
namespace {

sockaddr_in Loopback(int port) {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(static_cast<uint16_t>(port));
  return addr;
}

bool LogHas(const std::string& path, const std::string& prefix) {
  for (const std::string& m : LogMessages(path)) {
    if (m.rfind(prefix, 0) == 0) return true;
  }
  return false;
}

}  // namespace

// ---- EchoServer ----

EchoServer::EchoServer() {
  listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr = Loopback(0);
  socklen_t len = sizeof addr;
  if (listener_ < 0 || bind(listener_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      listen(listener_, 64) != 0 ||
      getsockname(listener_, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    throw std::runtime_error("echo server cannot listen");
  }
  port_ = ntohs(addr.sin_port);
  accept_thread_ = std::thread([this] {
    for (;;) {
      const int fd = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) {
        if (errno == EINTR || errno == ECONNABORTED) continue;
        return;  // shut down
      }
      std::lock_guard<std::mutex> lock(mu_);
      open_.push_back(fd);
      threads_.emplace_back([this, fd] { Serve(fd); });
    }
  });
}

void EchoServer::Serve(int fd) {
  char buf[65536];
  for (;;) {
    const ssize_t n = recv(fd, buf, sizeof buf, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    for (ssize_t sent = 0; sent < n;) {
      const ssize_t m = send(fd, buf + sent, static_cast<size_t>(n - sent), MSG_NOSIGNAL);
      if (m <= 0) return;
      sent += m;
    }
  }
  shutdown(fd, SHUT_WR);
}

EchoServer::~EchoServer() {
  shutdown(listener_, SHUT_RDWR);
  accept_thread_.join();
  close(listener_);
  std::vector<std::thread> threads;
  {
    std::lock_guard<std::mutex> lock(mu_);
    for (int fd : open_) shutdown(fd, SHUT_RDWR);
    threads.swap(threads_);
  }
  for (auto& t : threads) t.join();
  for (int fd : open_) close(fd);
}

// ---- TcpClient ----

TcpClient::TcpClient(int port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr = Loopback(port);
  int r;
  do {
    r = connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  } while (r != 0 && errno == EINTR);
  if (fd >= 0 && r == 0) {
    socket_ = fd;
  } else if (fd >= 0) {
    close(fd);
  }
}

TcpClient::~TcpClient() { Close(); }

bool TcpClient::Send(const std::string& bytes) {
  const int fd = static_cast<int>(socket_);
  for (size_t sent = 0; sent < bytes.size();) {
    const ssize_t n = send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    sent += static_cast<size_t>(n);
  }
  return true;
}

std::string TcpClient::Read(int first_byte_ms, int quiet_ms) {
  std::string out;
  int wait = first_byte_ms;
  char buf[65536];
  for (;;) {
    pollfd p{static_cast<int>(socket_), POLLIN, 0};
    const int n = poll(&p, 1, wait);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return out;
    const ssize_t m = recv(static_cast<int>(socket_), buf, sizeof buf, 0);
    if (m <= 0) return out;
    out.append(buf, static_cast<size_t>(m));
    wait = quiet_ms;
  }
}

std::string TcpClient::Ask(const std::string& request, int first_byte_ms) {
  if (!Send(request)) return "";
  return Read(first_byte_ms);
}

void TcpClient::Reset() {
  if (!Connected()) return;
  const linger l{1, 0};
  setsockopt(static_cast<int>(socket_), SOL_SOCKET, SO_LINGER, &l, sizeof l);
  Close();
}

void TcpClient::Close() {
  if (Connected()) close(static_cast<int>(socket_));
  socket_ = platform::kInvalidSocket;
}

// ---- RunningService ----

RunningService::RunningService(const std::vector<std::vector<std::string>>& admin_commands,
                               const std::string& ini_lines) {
  CopyFileTo(BinaryPath("qxservice"), dir_.File("qxservice"));
  CopyFileTo(BinaryPath("qxadmin"), dir_.File("qxadmin"));
  work_port_ = FreePort();
  do {
    manage_port_ = FreePort();
  } while (manage_port_ == work_port_);
  std::string out;
  if (RunProgram({dir_.File("qxadmin"), "init", "sqlite:repo.db"}, &out) != 0) {
    throw std::runtime_error("qxadmin init failed: " + out);
  }
  std::vector<std::vector<std::string>> commands = {
      {"service", "add", "--name", "ORCL", "--oracle-host", "127.0.0.1", "--oracle-port",
       std::to_string(oracle_.port()), "--work-port", std::to_string(work_port_),
       "--manage-port", std::to_string(manage_port_)}};
  commands.insert(commands.end(), admin_commands.begin(), admin_commands.end());
  for (const auto& c : commands) {
    std::vector<std::string> argv = {dir_.File("qxadmin"), "-r", "sqlite:repo.db"};
    argv.insert(argv.end(), c.begin(), c.end());
    if (RunProgram(argv, &out) != 0) throw std::runtime_error("qxadmin failed: " + out);
  }
  WriteText(dir_.File("qxservice.ini"),
            "[Service]\r\nrpstConnStr=sqlite:repo.db\r\nMonitorServices=ORCL\r\n" + ini_lines);
}

RunningService::~RunningService() {
  if (Running()) Stop();
}

bool RunningService::Start(std::string* why) {
  std::vector<std::string> argv = launcher;
  argv.push_back(dir_.File("qxservice"));
  child_ = std::make_unique<Child>(argv, dir_.File("out.txt"));
  const std::string log = dir_.File("qxservice.log");
  const bool up = WaitUntil(
      [&] {
        return !child_->Running() ||
               (LogHas(log, "Service successfully started.") &&
                LogHas(log, "Quorvex listener for service ORCL has been successfully started") &&
                LogHas(log, "Quorvex managing listener for service ORCL has been successfully "
                            "started on port " + std::to_string(manage_port_)));
      },
      UnderSanitizer() ? 60000 : 20000);
  if (up && child_->Running() && ReadText(dir_.File("qxerror.log")).empty()) return true;
  if (why) {
    *why = "service log:\n" + ReadText(log) + "\nerror log:\n" +
           ReadText(dir_.File("qxerror.log")) + "\noutput:\n" + Output();
  }
  return false;
}

int RunningService::Stop() {
  if (!child_) return -1;
  child_->Signal(SIGTERM);
  return child_->Wait(UnderSanitizer() ? 60000 : 20000);
}

std::unique_ptr<TcpClient> OpenSession(int work_port) {
  auto client = std::make_unique<TcpClient>(work_port);
  if (!client->Connected()) return nullptr;
  // The descriptor in a CONNECT packet; the echo proves the packet went through the relay's
  // handler, which decodes it first.
  const std::string connect = testsupport::TnsConnect("sqlplus", "localhost", "king", "ORCL");
  if (client->Ask(connect) != connect) return nullptr;
  return client;
}

}  // namespace qx::test
