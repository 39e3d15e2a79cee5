// POSIX implementation of the test helpers.
#include "support/test_util.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <sqlite3.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace qx::test {

std::vector<std::vector<std::string>> SqliteRows(const std::string& db, const std::string& sql,
                                                 bool* ok) {
  std::vector<std::vector<std::string>> rows;
  bool done = false;
  sqlite3* h = nullptr;
  if (sqlite3_open_v2(db.c_str(), &h, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
    sqlite3_busy_timeout(h, 5000);
    sqlite3_stmt* st = nullptr;
    if (sqlite3_prepare_v2(h, sql.c_str(), -1, &st, nullptr) == SQLITE_OK) {
      int step = SQLITE_ROW;
      while ((step = sqlite3_step(st)) == SQLITE_ROW) {
        std::vector<std::string> row;
        for (int i = 0; i < sqlite3_column_count(st); ++i) {
          const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(st, i));
          row.emplace_back(text ? std::string(text, sqlite3_column_bytes(st, i)) : "");
        }
        rows.push_back(std::move(row));
      }
      done = step == SQLITE_DONE;
    }
    sqlite3_finalize(st);
  }
  sqlite3_close(h);
  if (ok) *ok = done;
  return rows;
}

int FreePort() {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  const bool ok = fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
                  getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0;
  if (fd >= 0) close(fd);
  if (!ok) throw std::runtime_error("no free port");
  return ntohs(addr.sin_port);
}

TempDir::TempDir() {
  char tmpl[] = "/tmp/qxtest.XXXXXX";
  const char* p = mkdtemp(tmpl);
  if (!p) throw std::runtime_error("mkdtemp failed");
  path_ = p;
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

std::string ReadText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

void WriteText(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
}

bool Exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

void CopyFileTo(const std::string& from, const std::string& to) {
  std::filesystem::copy_file(from, to, std::filesystem::copy_options::overwrite_existing);
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> out;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find('\n', pos);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(pos, end - pos);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    out.push_back(line);
    pos = end + 1;
  }
  return out;
}

std::string Message(const std::string& line) {
  const size_t p = line.find(":: ");
  return p == std::string::npos ? line : line.substr(p + 3);
}

std::vector<std::string> LogMessages(const std::string& path) {
  std::vector<std::string> out;
  for (const auto& l : Lines(ReadText(path))) out.push_back(Message(l));
  return out;
}

Child::Child(const std::vector<std::string>& argv, const std::string& out_file,
             const std::vector<std::string>& extra_env, const std::string& err_file) {
  pid_ = fork();
  if (pid_ == 0) {
    const int fd = open(out_file.empty() ? "/dev/null" : out_file.c_str(),
                        O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd >= 0) {
      dup2(fd, 1);
      dup2(fd, 2);
    }
    if (!err_file.empty()) {
      const int efd = open(err_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      if (efd >= 0) dup2(efd, 2);
    }
    for (const auto& e : extra_env) putenv(strdup(e.c_str()));
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
  }
}

Child::~Child() {
  if (pid_ > 0 && !reaped_) {
    kill(pid_, SIGKILL);
    waitpid(pid_, &status_, 0);
  }
}

void Child::Signal(int sig) {
  if (pid_ > 0 && !reaped_) kill(pid_, sig);
}

bool Child::Running() {
  if (reaped_) return false;
  const int r = waitpid(pid_, &status_, WNOHANG);
  if (r == pid_) reaped_ = true;
  return !reaped_;
}

int Child::Wait(int timeout_ms) {
  if (!WaitUntil([this] { return !Running(); }, timeout_ms)) return -1;
  if (WIFEXITED(status_)) return WEXITSTATUS(status_);
  if (WIFSIGNALED(status_)) return 128 + WTERMSIG(status_);
  return -1;
}

int RunProgram(const std::vector<std::string>& argv, std::string* output, int timeout_ms,
        const std::vector<std::string>& extra_env) {
  char tmpl[] = "/tmp/qxout.XXXXXX";
  const int fd = mkstemp(tmpl);
  if (fd >= 0) close(fd);
  int code;
  {
    Child child(argv, tmpl, extra_env);
    code = child.Wait(timeout_ms);
  }
  if (output) *output = ReadText(tmpl);
  unlink(tmpl);
  return code;
}

ProgramOutcome RunProgramSplit(const std::vector<std::string>& argv, int timeout_ms,
                               const std::vector<std::string>& extra_env) {
  char out_name[] = "/tmp/qxout.XXXXXX";
  char err_name[] = "/tmp/qxerr.XXXXXX";
  for (char* name : {out_name, err_name}) {
    const int fd = mkstemp(name);
    if (fd >= 0) close(fd);
  }
  ProgramOutcome o;
  {
    Child child(argv, out_name, extra_env, err_name);
    o.code = child.Wait(timeout_ms);
  }
  o.out = ReadText(out_name);
  o.err = ReadText(err_name);
  unlink(out_name);
  unlink(err_name);
  return o;
}

std::string BinaryPath(const std::string& name) { return std::string(QX_BINARY_DIR) + "/" + name; }

bool UnderSanitizer() {
  const char* s = std::getenv("QX_SANITIZE");
  return s && *s;
}

void SleepMs(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

}  // namespace qx::test
