// Linux implementation of the platform contract (platform.h).
#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <syslog.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
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
  // localtime_r takes the C library's time-zone lock; the relay asks for the time with every
  // chunk, so each thread converts a given second once.
  thread_local time_t cached_secs = -1;
  thread_local tm cached_parts{};
  const time_t secs = ts.tv_sec;
  if (secs != cached_secs) {
    localtime_r(&secs, &cached_parts);
    cached_secs = secs;
  }
  const tm& parts = cached_parts;
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
  bool Sync() override { return fdatasync(fd_) == 0; }

 private:
  const int fd_;
};

// Appends by copying into a shared mapping of the file (the page cache: what is copied survives
// the process being killed). The file is reserved with posix_fallocate in steps of kStep and
// mapped whole; when reserving or mapping fails, appends fall back to pwrite at the end.
class PosixMappedFile final : public AppendFile {
 public:
  explicit PosixMappedFile(int fd) : fd_(fd) {}
  ~PosixMappedFile() override {
    if (map_) munmap(map_, mapped_);
    // The reserved room beyond the data is given back.
    if (ftruncate(fd_, static_cast<off_t>(used_)) != 0) {
      // Nothing more to do: readers stop at the zeros.
    }
    close(fd_);
  }
  bool Append(const std::string& bytes, std::string* error) override {
    const size_t n = bytes.size();
    if (map_ == nullptr || used_ + n > mapped_) Grow(used_ + n);
    if (map_ != nullptr && used_ + n <= mapped_) {
      std::memcpy(map_ + used_, bytes.data(), n);
      used_ += n;
      return true;
    }
    // No mapping to take it: written in place at the end of the data.
    size_t done = 0;
    while (done < n) {
      const ssize_t w = pwrite(fd_, bytes.data() + done, n - done,
                               static_cast<off_t>(used_ + done));
      if (w < 0 && errno == EINTR) continue;
      if (w <= 0) {
        if (error) *error = std::strerror(w < 0 ? errno : EIO);
        return false;
      }
      done += static_cast<size_t>(w);
    }
    used_ += n;
    return true;
  }
  bool Sync() override { return fdatasync(fd_) == 0; }

 private:
  // A step is the smallest spool limit: what is reserved beyond the data stays below it.
  static constexpr size_t kStep = 1u << 20;
  void Grow(size_t need) {
    const size_t size = (need + kStep - 1) / kStep * kStep;
    if (map_) munmap(map_, mapped_);
    map_ = nullptr;
    mapped_ = 0;
    if (posix_fallocate(fd_, 0, static_cast<off_t>(size)) != 0) return;
    void* m = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd_, 0);
    if (m == MAP_FAILED) return;
    map_ = static_cast<char*>(m);
    mapped_ = size;
  }
  const int fd_;
  char* map_ = nullptr;  // the whole reserved file, or null
  size_t mapped_ = 0;
  size_t used_ = 0;      // bytes appended
};

// Opens for writing with the mode of `access`; an existing file is narrowed to its owner when
// kOwnerOnly asks for it (the mode of open applies to new files only).
int OpenForWriting(const std::string& path, int flags, FileAccess access) {
  const mode_t mode = access == FileAccess::kOwnerOnly ? 0600 : 0644;
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | flags, mode);
  if (fd >= 0 && access == FileAccess::kOwnerOnly && fchmod(fd, 0600) != 0) {
    const int saved = errno;
    close(fd);
    errno = saved;
    return -1;
  }
  return fd;
}

}  // namespace

bool WriteFile(const std::string& path, const std::string& contents, std::string* error,
               FileAccess access) {
  const int fd = OpenForWriting(path, O_TRUNC, access);
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

AppendFile* AppendFile::CreateMapped(const std::string& path, std::string* error) {
  const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) {
    if (error) *error = "Cannot create file " + path + ": " + std::strerror(errno);
    return nullptr;
  }
  return new PosixMappedFile(fd);
}

AppendFile* AppendFile::Create(const std::string& path, std::string* error, FileAccess access) {
  const int fd = OpenForWriting(path, O_TRUNC | O_APPEND, access);
  if (fd < 0) {
    if (error) *error = "Cannot create file " + path + ": " + std::strerror(errno);
    return nullptr;
  }
  return new PosixAppendFile(fd);
}

namespace {

// flock() locks belong to the open file description: closing the descriptor, or the end of
// the process, releases it. The descriptor is close-on-exec so that no child keeps it.
class PosixInstanceLock final : public InstanceLock {
 public:
  explicit PosixInstanceLock(int fd) : fd_(fd) {}
  ~PosixInstanceLock() override { close(fd_); }

 private:
  const int fd_;
};

}  // namespace

std::unique_ptr<InstanceLock> InstanceLock::Acquire(const std::string& path,
                                                    std::string* holder_pid,
                                                    std::string* error) {
  if (holder_pid) holder_pid->clear();
  const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) {
    if (error) *error = "Cannot open the lock file " + path + ": " + std::strerror(errno);
    return nullptr;
  }
  int r;
  do {
    r = flock(fd, LOCK_EX | LOCK_NB);
  } while (r != 0 && errno == EINTR);
  if (r != 0) {
    const int saved = errno;
    if (saved == EWOULDBLOCK) {
      std::string text;
      char buf[64];
      const ssize_t n = pread(fd, buf, sizeof buf, 0);
      if (n > 0) text.assign(buf, static_cast<size_t>(n));
      while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
      if (holder_pid) *holder_pid = text;
    } else if (error) {
      *error = "Cannot lock " + path + ": " + std::strerror(saved);
    }
    close(fd);
    return nullptr;
  }
  const std::string pid = std::to_string(getpid()) + "\n";
  if (ftruncate(fd, 0) != 0 || pwrite(fd, pid.data(), pid.size(), 0) !=
                                   static_cast<ssize_t>(pid.size())) {
    // The lock holds all the same; only the id shown to a second instance is missing.
  }
  return std::make_unique<PosixInstanceLock>(fd);
}

DescriptorLimit RaiseDescriptorLimit(std::string* error) {
  DescriptorLimit out;
  rlimit lim{};
  if (getrlimit(RLIMIT_NOFILE, &lim) != 0) {
    if (error) *error = std::strerror(errno);
    return out;
  }
  out.before = out.now = lim.rlim_cur;
  rlim_t target = lim.rlim_max;
  if (target == RLIM_INFINITY) {
    // The kernel refuses an unlimited descriptor limit; its ceiling is fs.nr_open.
    std::string text;
    target = 1048576;
    if (ReadFile("/proc/sys/fs/nr_open", &text)) {
      const unsigned long long n = std::strtoull(text.c_str(), nullptr, 10);
      if (n > 0) target = static_cast<rlim_t>(n);
    }
  }
  if (lim.rlim_cur >= target) return out;
  lim.rlim_cur = target;
  if (setrlimit(RLIMIT_NOFILE, &lim) != 0) {
    if (error) *error = std::strerror(errno);
    return out;
  }
  out.now = target;
  return out;
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

bool FileIdentity(const std::string& path, uint64_t* device, uint64_t* inode) {
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) return false;
  *device = static_cast<uint64_t>(st.st_dev);
  *inode = static_cast<uint64_t>(st.st_ino);
  return true;
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
