// Linux implementation of the platform contract (platform.h).
#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <syslog.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>

#include "platform/platform.h"

namespace qx::platform {

std::string ExecutablePath() {
  char buf[4096];
  const ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return "";
  return std::string(buf, static_cast<size_t>(n));
}

uint32_t TickCount() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  const uint64_t ms = static_cast<uint64_t>(ts.tv_sec) * 1000u +
                      static_cast<uint64_t>(ts.tv_nsec / 1000000);
  return static_cast<uint32_t>(ms);
}

LocalTime LocalNow() {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  tm parts{};
  time_t secs = ts.tv_sec;
  localtime_r(&secs, &parts);
  LocalTime t;
  t.year = parts.tm_year + 1900;
  t.month = parts.tm_mon + 1;
  t.day = parts.tm_mday;
  t.hour = parts.tm_hour;
  t.minute = parts.tm_min;
  t.second = parts.tm_sec > 59 ? 59 : parts.tm_sec;  // leap second
  t.millisecond = static_cast<int>(ts.tv_nsec / 1000000);
  return t;
}

std::string HostName() {
  char buf[256] = {};
  if (gethostname(buf, 255) != 0) return "";
  buf[255] = '\0';
  return buf;
}

bool FileExists(const std::string& path) {
  struct stat st{};
  return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool ReadFile(const std::string& path, std::string* contents) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  contents->clear();
  char buf[65536];
  for (;;) {
    const ssize_t n = read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      close(fd);
      return false;
    }
    if (n == 0) break;
    contents->append(buf, static_cast<size_t>(n));
  }
  close(fd);
  return true;
}

namespace {

bool WriteAll(int fd, const char* data, size_t size, std::string* error) {
  while (size > 0) {
    const ssize_t n = write(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (error) *error = std::strerror(errno);
      return false;
    }
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

class PosixAppendFile final : public AppendFile {
 public:
  explicit PosixAppendFile(int fd) : fd_(fd) {}
  ~PosixAppendFile() override { close(fd_); }
  bool Append(const std::string& bytes, std::string* error) override {
    return WriteAll(fd_, bytes.data(), bytes.size(), error);
  }

 private:
  const int fd_;
};

}  // namespace

bool WriteFile(const std::string& path, const std::string& contents, std::string* error) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) {
    if (error) *error = std::strerror(errno);
    return false;
  }
  const bool ok = WriteAll(fd, contents.data(), contents.size(), error);
  close(fd);
  return ok;
}

bool RemoveFile(const std::string& path, std::string* error) {
  if (unlink(path.c_str()) == 0 || errno == ENOENT) return true;
  if (error) *error = std::strerror(errno);
  return false;
}

AppendFile* AppendFile::Create(const std::string& path, std::string* error) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0) {
    if (error) *error = "Cannot create file " + path + ": " + std::strerror(errno);
    return nullptr;
  }
  return new PosixAppendFile(fd);
}

void SystemLogError(const std::string& source, const std::string& text) {
  static std::mutex mu;
  std::lock_guard<std::mutex> lock(mu);
  openlog(source.c_str(), LOG_PID, LOG_DAEMON);
  syslog(LOG_ERR, "%s", text.c_str());
  closelog();
}

void* OpenLibrary(const std::string& name) { return dlopen(name.c_str(), RTLD_NOW | RTLD_LOCAL); }

void* LibrarySymbol(void* library, const char* name) {
  return library ? dlsym(library, name) : nullptr;
}

void CloseLibrary(void* library) {
  if (library) dlclose(library);
}

void IgnoreBrokenPipe() { signal(SIGPIPE, SIG_IGN); }

// On Linux the nice value belongs to the thread (its kernel task id), not to the process.
void LowerThreadPriority() {
  setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), 10);
}

void RaiseDescriptorLimit() {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur >= limit.rlim_max) return;
  limit.rlim_cur = limit.rlim_max;
  setrlimit(RLIMIT_NOFILE, &limit);
}

namespace {
std::atomic<bool> g_stop_requested{false};
}

void BlockStopSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGUSR1);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

void WaitForStopRequest() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGUSR1);
  while (!g_stop_requested.load()) {
    int sig = 0;
    if (sigwait(&set, &sig) != 0) continue;
    if (sig == SIGTERM || sig == SIGINT) break;
    // SIGUSR1 is RequestStop()'s wake-up; the flag tells whether it was meant.
  }
}

void RequestStop() {
  g_stop_requested.store(true);
  kill(getpid(), SIGUSR1);
}

}  // namespace qx::platform
