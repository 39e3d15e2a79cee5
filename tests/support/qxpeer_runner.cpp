// Process and port helpers behind qxpeer_runner.h.
#include "support/qxpeer_runner.h"

#include "support/pcap_reader.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

extern char** environ;

namespace qx::testing {

bool Listening(uint16_t port) {
  // The kernel's socket table tells without touching the port (a probe connection would
  // make a relay try its target, which may not listen yet).
  FILE* f = std::fopen("/proc/net/tcp", "r");
  if (f == nullptr) return false;
  char line[512];
  char local[32];
  std::snprintf(local, sizeof local, "0100007F:%04X", port);
  bool found = false;
  while (!found && std::fgets(line, sizeof line, f) != nullptr) {
    const std::string l = line;
    found = l.find(local) != std::string::npos && l.find(" 0A ") != std::string::npos;
  }
  std::fclose(f);
  return found;
}

std::string Loopback(uint16_t port) { return "127.0.0.1:" + std::to_string(port); }
std::string PeerPath() { return std::string(QX_BINARY_DIR) + "/qxpeer"; }
std::string CapturesDir() {
  std::string path = testsupport::CapturesDirectory();
  if (path.back() != '/') path += '/';
  return path;
}

PeerOutcome RunPeer(const std::string& args) {
  PeerOutcome o;
  const std::string cmd = "timeout 120 " + PeerPath() + " " + args + " 2>&1";
  FILE* f = popen(cmd.c_str(), "r");
  if (f == nullptr) return o;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, f)) > 0) o.output.append(buf, n);
  const int st = pclose(f);
  o.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  return o;
}

namespace {
std::atomic<int> output_counter{0};
}

PeerProcess::PeerProcess(const std::string& args) {
  output_path_ = "/tmp/qxpeer_out_" + std::to_string(getpid()) + "_" + std::to_string(++output_counter) + ".txt";
  const std::string cmd = "exec " + PeerPath() + " " + args + " >" + output_path_ + " 2>&1";
  std::vector<char*> argv = {const_cast<char*>("sh"), const_cast<char*>("-c"), const_cast<char*>(cmd.c_str()), nullptr};
  if (posix_spawn(&pid_, "/bin/sh", nullptr, nullptr, argv.data(), environ) != 0) pid_ = -1;
}

PeerProcess::~PeerProcess() {
  if (pid_ > 0) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  std::remove(output_path_.c_str());
}

PeerOutcome PeerProcess::Wait(int timeout_ms) {
  PeerOutcome o;
  if (pid_ <= 0) return o;
  int st = 0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  pid_t r = 0;
  while ((r = waitpid(pid_, &st, WNOHANG)) == 0 && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  if (r == 0) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  } else if (r == pid_ && WIFEXITED(st)) {
    o.status = WEXITSTATUS(st);
  }
  pid_ = -1;
  std::ifstream in(output_path_);
  std::stringstream ss;
  ss << in.rdbuf();
  o.output = ss.str();
  return o;
}

Socat::Socat(uint16_t target) : port_(FreePort()) {
  const std::string listen = "TCP-LISTEN:" + std::to_string(port_) + ",bind=127.0.0.1,reuseaddr,fork,backlog=256";
  const std::string connect = "TCP:127.0.0.1:" + std::to_string(target);
  std::vector<char*> argv = {const_cast<char*>("socat"), const_cast<char*>(listen.c_str()),
                             const_cast<char*>(connect.c_str()), nullptr};
  if (posix_spawnp(&pid_, "socat", nullptr, nullptr, argv.data(), environ) != 0) pid_ = -1;
  for (int i = 0; i < 250 && pid_ > 0 && !Listening(port_); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  if (pid_ > 0 && !Listening(port_)) {
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }
}

Socat::~Socat() {
  if (pid_ > 0) {
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
  }
}

}  // namespace qx::testing
