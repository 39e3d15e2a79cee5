// The running-service helpers, on the platform layer's sockets (so the same code serves the
// Linux and the Windows suite).
#include "support/running_service.h"

#include "support/oracle_frames.h"

#ifdef _WIN32
#include <winsock2.h>
#else
#include <sys/socket.h>
#endif

#include <csignal>
#include <stdexcept>

#include "platform/net.h"

namespace qx::test {
namespace {

bool LogHas(const std::string& path, const std::string& prefix) {
  for (const std::string& m : LogMessages(path)) {
    if (m.rfind(prefix, 0) == 0) return true;
  }
  return false;
}

}  // namespace

// ---- EchoServer ----

// Every thread here waits on its socket together with wake_, which the destructor sets: a
// shutdown() from another thread does not wake a blocked receive everywhere (not on Wine).
EchoServer::EchoServer() : wake_(platform::CreateWakeHandle()) {
  platform::SocketError error;
  listener_ = platform::ListenTcp(0, 64, &error);
  if (listener_ == platform::kInvalidSocket || wake_ == platform::kInvalidSocket) {
    throw std::runtime_error("echo server cannot listen: " + error.Message());
  }
  port_ = platform::LocalPort(listener_);
  accept_thread_ = std::thread([this] {
    platform::AcceptedSocket accepted;
    while (platform::AcceptTcp(listener_, wake_, &accepted, nullptr)) {
      std::lock_guard<std::mutex> lock(mu_);
      const platform::SocketHandle fd = accepted.socket;
      open_.push_back(fd);
      threads_.emplace_back([this, fd] { Serve(fd); });
    }
  });
}

void EchoServer::Serve(platform::SocketHandle fd) {
  char buf[65536];
  for (;;) {
    bool readable = false, woken = false;
    if (!platform::WaitReadable(fd, wake_, &readable, &woken, -1, nullptr) || woken) return;
    const long n = platform::Receive(fd, buf, sizeof buf, nullptr);
    if (n <= 0) break;
    if (!platform::SendAll(fd, buf, static_cast<size_t>(n), nullptr)) return;
  }
  platform::Shutdown(fd);
}

EchoServer::~EchoServer() {
  platform::Wake(wake_);
  accept_thread_.join();
  platform::Close(listener_);
  std::vector<std::thread> threads;
  {
    std::lock_guard<std::mutex> lock(mu_);
    threads.swap(threads_);
  }
  for (auto& t : threads) t.join();
  for (platform::SocketHandle fd : open_) platform::Close(fd);
  platform::Close(wake_);
}

// ---- TcpClient ----

TcpClient::TcpClient(int port) {
  socket_ = platform::ConnectTcp("127.0.0.1", port, nullptr);
}

TcpClient::~TcpClient() { Close(); }

bool TcpClient::Send(const std::string& bytes) {
  return platform::SendAll(socket_, bytes.data(), bytes.size(), nullptr);
}

std::string TcpClient::Read(int first_byte_ms, int quiet_ms) {
  std::string out;
  int wait = first_byte_ms;
  char buf[65536];
  for (;;) {
    bool readable = false, unused = false;
    if (!platform::WaitReadable(socket_, platform::kInvalidSocket, &readable, &unused, wait,
                                nullptr) ||
        !readable) {
      return out;
    }
    const long m = platform::Receive(socket_, buf, sizeof buf, nullptr);
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
  linger l{};
  l.l_onoff = 1;
  l.l_linger = 0;
  setsockopt(static_cast<decltype(socket(0, 0, 0))>(socket_), SOL_SOCKET, SO_LINGER,
             reinterpret_cast<const char*>(&l), sizeof l);
  Close();
}

void TcpClient::Close() {
  if (Connected()) platform::Close(socket_);
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
