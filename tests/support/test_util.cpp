// The test helpers: POSIX processes and files, or their Windows counterparts.
#include "support/test_util.h"

#ifdef _WIN32
#include <winsock2.h>
#include <windows.h>

#include "platform/net.h"
#else
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <sqlite3.h>

#include <algorithm>
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

#ifndef _WIN32
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

#endif

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

bool Exists(const std::string& path) {
  std::error_code ec;
  return std::filesystem::exists(path, ec);
}

void CopyFileTo(const std::string& from, const std::string& to) {
  std::string target = to;
#ifdef _WIN32
  // An executable stays one: "dir/qxservice" becomes "dir/qxservice.exe".
  const auto ends_exe = [](const std::string& p) {
    return p.size() > 4 && p.compare(p.size() - 4, 4, ".exe") == 0;
  };
  if (ends_exe(from) && !ends_exe(to)) target += ".exe";
#endif
  std::filesystem::copy_file(from, target, std::filesystem::copy_options::overwrite_existing);
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

#ifdef _WIN32

int FreePort() {
  platform::SocketError error;
  const platform::SocketHandle s = platform::ListenTcp(0, 1, &error);
  const int port = s == platform::kInvalidSocket ? 0 : platform::LocalPort(s);
  platform::Close(s);
  if (port == 0) throw std::runtime_error("no free port: " + error.Message());
  return port;
}

namespace {

std::wstring Wide(const std::string& s) {
  std::wstring out(s.size() + 1, L'\0');
  const int n = MultiByteToWideChar(CP_UTF8, 0, s.c_str(), -1, out.data(),
                                    static_cast<int>(out.size()));
  out.resize(n > 0 ? static_cast<size_t>(n - 1) : 0);
  return out;
}

std::string Narrow(const std::wstring& s) {
  std::string out(s.size() * 4 + 1, '\0');
  const int n = WideCharToMultiByte(CP_UTF8, 0, s.c_str(), -1, out.data(),
                                    static_cast<int>(out.size()), nullptr, nullptr);
  out.resize(n > 0 ? static_cast<size_t>(n - 1) : 0);
  return out;
}

// One argument as the C runtime splits a command line back into argv.
std::wstring Quote(const std::wstring& arg) {
  if (!arg.empty() && arg.find_first_of(L" \t\"") == std::wstring::npos) return arg;
  std::wstring out = L"\"";
  size_t slashes = 0;
  for (wchar_t c : arg) {
    if (c == L'\\') {
      ++slashes;
    } else if (c == L'"') {
      out.append(slashes * 2 + 1, L'\\');
      slashes = 0;
    } else {
      out.append(slashes, L'\\');
      slashes = 0;
    }
    if (c != L'\\') out += c;
  }
  out.append(slashes * 2, L'\\');
  return out + L"\"";
}

// This process's environment with `extra` ("NAME=value") set over it.
std::wstring EnvironmentWith(const std::vector<std::string>& extra) {
  std::vector<std::wstring> entries;
  wchar_t* block = GetEnvironmentStringsW();
  for (const wchar_t* p = block; *p; p += wcslen(p) + 1) entries.emplace_back(p);
  FreeEnvironmentStringsW(block);
  for (const std::string& e : extra) {
    const std::wstring w = Wide(e);
    const std::wstring name = w.substr(0, w.find(L'=') + 1);
    std::erase_if(entries, [&](const std::wstring& x) {
      return _wcsnicmp(x.c_str(), name.c_str(), name.size()) == 0;
    });
    entries.push_back(w);
  }
  std::wstring out;
  for (const auto& e : entries) out += e + L'\0';
  return out + L'\0';
}

}  // namespace

TempDir::TempDir() {
  wchar_t base[MAX_PATH + 1];
  const DWORD n = GetTempPathW(MAX_PATH + 1, base);
  std::string root = n ? Narrow(std::wstring(base, n)) : std::string(".\\");
  if (root.back() == '\\' || root.back() == '/') root.pop_back();
  for (unsigned attempt = 0; attempt < 1000; ++attempt) {
    const std::string candidate = root + "\\qxtest." + std::to_string(GetCurrentProcessId()) +
                                  "." + std::to_string(GetTickCount64() % 100000) + "." +
                                  std::to_string(attempt);
    if (CreateDirectoryW(Wide(candidate).c_str(), nullptr)) {
      path_ = candidate;
      return;
    }
  }
  throw std::runtime_error("cannot create a temporary directory");
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

Child::Child(const std::vector<std::string>& argv, const std::string& out_file,
             const std::vector<std::string>& extra_env, const std::string& err_file) {
  std::string program = argv.at(0);
  if (!Exists(program) && Exists(program + ".exe")) program += ".exe";
  std::wstring command;
  for (size_t i = 0; i < argv.size(); ++i) {
    command += (i ? L" " : L"") + Quote(Wide(i == 0 ? program : argv[i]));
  }
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  const HANDLE out = CreateFileW(out_file.empty() ? L"NUL" : Wide(out_file).c_str(),
                                 GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                 &inherit, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  const HANDLE in = CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                &inherit, OPEN_EXISTING, 0, nullptr);
  const HANDLE err = err_file.empty()
                         ? out
                         : CreateFileW(Wide(err_file).c_str(), GENERIC_WRITE,
                                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                       &inherit, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  // Only the standard handles are inherited: not the test's sockets, which would keep their
  // ports taken for as long as the child runs. (A handle may be listed once only.)
  HANDLE handles[3] = {out, in, err};
  const DWORD handle_count = err == out ? 2 : 3;
  SIZE_T size = 0;
  InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
  std::vector<char> attributes(size);
  auto* list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(attributes.data());
  const bool listed = InitializeProcThreadAttributeList(list, 1, 0, &size) &&
                      UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST,
                                                handles, handle_count * sizeof(HANDLE), nullptr,
                                                nullptr);
  STARTUPINFOEXW si{};
  si.StartupInfo.cb = sizeof si;
  si.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
  si.StartupInfo.hStdInput = in;
  si.StartupInfo.hStdOutput = out;
  si.StartupInfo.hStdError = err;
  if (listed) si.lpAttributeList = list;
  std::wstring environment = EnvironmentWith(extra_env);
  PROCESS_INFORMATION pi{};
  const DWORD flags = CREATE_UNICODE_ENVIRONMENT | (listed ? EXTENDED_STARTUPINFO_PRESENT : 0);
  if (CreateProcessW(Wide(program).c_str(), command.data(), nullptr, nullptr, TRUE, flags,
                     environment.data(), nullptr, &si.StartupInfo, &pi)) {
    CloseHandle(pi.hThread);
    process_ = pi.hProcess;
    pid_ = static_cast<int>(pi.dwProcessId);
  } else {
    status_ = 127;
    reaped_ = true;
  }
  if (listed) DeleteProcThreadAttributeList(list);
  if (err != out) CloseHandle(err);
  CloseHandle(out);
  CloseHandle(in);
}

Child::~Child() {
  if (process_) {
    if (!reaped_) {
      TerminateProcess(static_cast<HANDLE>(process_), 128 + SIGKILL);
      WaitForSingleObject(static_cast<HANDLE>(process_), 10000);
    }
    CloseHandle(static_cast<HANDLE>(process_));
  }
}

void Child::Signal(int sig) {
  if (!process_ || !Running()) return;
  if (sig == SIGTERM || sig == SIGINT) {
    // The child creates its stop event as it starts: wait for it a little if need be.
    const std::wstring name = L"Local\\qxservice-stop-" + std::to_wstring(pid_);
    for (int waited = 0; waited < 10000 && Running(); waited += 20) {
      const HANDLE event = OpenEventW(EVENT_MODIFY_STATE, FALSE, name.c_str());
      if (event) {
        SetEvent(event);
        CloseHandle(event);
        return;
      }
      SleepMs(20);
    }
    return;
  }
  TerminateProcess(static_cast<HANDLE>(process_), static_cast<UINT>(128 + sig));
}

bool Child::Running() {
  if (reaped_) return false;
  if (WaitForSingleObject(static_cast<HANDLE>(process_), 0) == WAIT_OBJECT_0) {
    DWORD code = 0;
    GetExitCodeProcess(static_cast<HANDLE>(process_), &code);
    status_ = static_cast<int>(code);
    reaped_ = true;
  }
  return !reaped_;
}

int Child::Wait(int timeout_ms) {
  if (!WaitUntil([this] { return !Running(); }, timeout_ms)) return -1;
  return status_;
}

namespace {

// The C runtime writes a console program's line ends as CR LF; the tests compare lines.
std::string ConsoleText(const std::string& path) {
  std::string text = ReadText(path);
  size_t kept = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
    text[kept++] = text[i];
  }
  text.resize(kept);
  return text;
}

}  // namespace

int RunProgram(const std::vector<std::string>& argv, std::string* output, int timeout_ms,
               const std::vector<std::string>& extra_env) {
  TempDir dir;
  const std::string out = dir.File("out.txt");
  int code;
  {
    Child child(argv, out, extra_env);
    code = child.Wait(timeout_ms);
  }
  if (output) *output = ConsoleText(out);
  return code;
}

ProgramOutcome RunProgramSplit(const std::vector<std::string>& argv, int timeout_ms,
                               const std::vector<std::string>& extra_env) {
  TempDir dir;
  ProgramOutcome o;
  {
    Child child(argv, dir.File("out.txt"), extra_env, dir.File("err.txt"));
    o.code = child.Wait(timeout_ms);
  }
  o.out = ConsoleText(dir.File("out.txt"));
  o.err = ConsoleText(dir.File("err.txt"));
  return o;
}

std::string BinaryPath(const std::string& name) {
  return std::string(QX_BINARY_DIR) + "/" + name + ".exe";
}

#else

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

#endif

bool UnderSanitizer() {
  const char* s = std::getenv("QX_SANITIZE");
  return s && *s;
}

long RaiseDescriptorLimit(long wanted) {
#ifdef _WIN32
  return wanted;
#else
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return 0;
  if (limit.rlim_cur < static_cast<rlim_t>(wanted)) {
    limit.rlim_cur = std::min<rlim_t>(limit.rlim_max, static_cast<rlim_t>(wanted));
    if (setrlimit(RLIMIT_NOFILE, &limit) != 0) getrlimit(RLIMIT_NOFILE, &limit);
  }
  return static_cast<long>(limit.rlim_cur);
#endif
}

void SleepMs(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

}  // namespace qx::test
