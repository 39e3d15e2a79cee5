// Windows implementation of the platform contract (platform.h).
//
// Stop requests: a manual-reset event set by RequestStop(), by the console's Ctrl-C, Ctrl-Break
// and close events, and by the service control handler (service_host_win32.cpp). A second,
// named event "Local\qxservice-stop-<pid>" lets another program of the same session stop a
// foreground instance cleanly, as SIGTERM does on Linux (the tests stop their services so).
#include <windows.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>

#include "platform/platform.h"
#include "platform/win32/wide.h"

namespace qx::platform {

using win32::Narrow;
using win32::Widen;

std::string ExecutablePath() {
  std::wstring buffer(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (n == 0) return "";
    if (n < buffer.size()) return Narrow(buffer.data(), n);
    if (buffer.size() > 32768) return "";
    buffer.resize(buffer.size() * 2);
  }
}

uint32_t TickCount() { return static_cast<uint32_t>(GetTickCount64()); }

LocalTime LocalNow() {
  SYSTEMTIME st{};
  GetLocalTime(&st);
  LocalTime t;
  t.year = st.wYear;
  t.month = st.wMonth;
  t.day = st.wDay;
  t.hour = st.wHour;
  t.minute = st.wMinute;
  t.second = st.wSecond;
  t.millisecond = st.wMilliseconds;
  return t;
}

std::string HostName() {
  wchar_t buffer[MAX_COMPUTERNAME_LENGTH + 1] = {};
  DWORD size = MAX_COMPUTERNAME_LENGTH + 1;
  if (!GetComputerNameW(buffer, &size)) return "";
  return Narrow(buffer, size);
}

bool FileExists(const std::string& path) {
  const DWORD attributes = GetFileAttributesW(Widen(path).c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

namespace {

// Others may read, write and delete a file while it is open here, as on Linux: logs are read
// while the service writes them, and a test directory is removed with its files.
constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

bool WriteAll(HANDLE file, const char* data, size_t size, std::string* error) {
  while (size > 0) {
    const DWORD chunk = size > 0x40000000 ? 0x40000000 : static_cast<DWORD>(size);
    DWORD written = 0;
    if (!::WriteFile(file, data, chunk, &written, nullptr) || written == 0) {
      if (error) *error = win32::ErrorText(GetLastError());
      return false;
    }
    data += written;
    size -= written;
  }
  return true;
}

class Win32AppendFile final : public AppendFile {
 public:
  explicit Win32AppendFile(HANDLE file) : file_(file) {}
  ~Win32AppendFile() override { CloseHandle(file_); }
  bool Append(const std::string& bytes, std::string* error) override {
    return WriteAll(file_, bytes.data(), bytes.size(), error);
  }
  bool Sync() override { return FlushFileBuffers(file_) != 0; }

 private:
  const HANDLE file_;
};

}  // namespace

bool ReadFile(const std::string& path, std::string* contents) {
  const HANDLE file = CreateFileW(Widen(path).c_str(), GENERIC_READ, kShareAll, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  contents->clear();
  char buffer[65536];
  bool ok = true;
  for (;;) {
    DWORD n = 0;
    if (!::ReadFile(file, buffer, sizeof buffer, &n, nullptr)) {
      ok = false;
      break;
    }
    if (n == 0) break;
    contents->append(buffer, n);
  }
  CloseHandle(file);
  return ok;
}

// FileAccess: a new file takes the ACL its directory passes on, which on the program
// directory of a service is the administrators' and the service account's; kOwnerOnly is
// not narrowed further here.
bool WriteFile(const std::string& path, const std::string& contents, std::string* error,
               FileAccess /*access*/) {
  const HANDLE file = CreateFileW(Widen(path).c_str(), GENERIC_WRITE, kShareAll, nullptr,
                                  CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    if (error) *error = win32::ErrorText(GetLastError());
    return false;
  }
  const bool ok = WriteAll(file, contents.data(), contents.size(), error);
  CloseHandle(file);
  return ok;
}

bool RemoveFile(const std::string& path, std::string* error) {
  if (DeleteFileW(Widen(path).c_str())) return true;
  const DWORD code = GetLastError();
  if (code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND) return true;
  if (error) *error = win32::ErrorText(code);
  return false;
}

AppendFile* AppendFile::CreateMapped(const std::string& path, std::string* error) {
  return Create(path, error);
}

AppendFile* AppendFile::Create(const std::string& path, std::string* error,
                               FileAccess /*access*/) {
  // FILE_APPEND_DATA without FILE_WRITE_DATA: every write goes to the current end of the file,
  // so whole lines from several writers never overlap.
  const HANDLE file =
      CreateFileW(Widen(path).c_str(), FILE_APPEND_DATA | SYNCHRONIZE, kShareAll, nullptr,
                  CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    if (error) *error = "Cannot create file " + path + ": " + win32::ErrorText(GetLastError());
    return nullptr;
  }
  return new Win32AppendFile(file);
}

void SystemLogError(const std::string& source, const std::string& text) {
  static std::mutex mu;
  std::lock_guard<std::mutex> lock(mu);
  const HANDLE log = RegisterEventSourceW(nullptr, Widen(source).c_str());
  if (!log) return;
  const std::wstring message = Widen(text);
  const wchar_t* strings[1] = {message.c_str()};
  ReportEventW(log, EVENTLOG_ERROR_TYPE, 0, 0, nullptr, 1, 0, strings, nullptr);
  DeregisterEventSource(log);
}

void* OpenLibrary(const std::string& name) {
  // A path: the library's own dependencies are looked for in its directory first.
  const bool has_path = name.find_first_of("\\/") != std::string::npos;
  return LoadLibraryExW(Widen(name).c_str(), nullptr,
                        has_path ? LOAD_WITH_ALTERED_SEARCH_PATH : 0);
}

void* LibrarySymbol(void* library, const char* name) {
  if (!library) return nullptr;
  return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(library), name));
}

void CloseLibrary(void* library) {
  if (library) ::FreeLibrary(static_cast<HMODULE>(library));
}

// Windows has no SIGPIPE: a send on a closed connection fails with WSAECONNRESET instead.
void IgnoreBrokenPipe() {}

// Winsock sockets are kernel handles with no per-process soft limit to raise.
DescriptorLimit RaiseDescriptorLimit(std::string* /*error*/) { return {}; }

namespace {

// The lock is the open handle itself: it shares reading only, so no other process can open
// the file for writing while it is held, and the OS closes it when the process ends.
class Win32InstanceLock final : public InstanceLock {
 public:
  explicit Win32InstanceLock(HANDLE file) : file_(file) {}
  ~Win32InstanceLock() override { CloseHandle(file_); }

 private:
  const HANDLE file_;
};

}  // namespace

std::unique_ptr<InstanceLock> InstanceLock::Acquire(const std::string& path,
                                                    std::string* holder_pid,
                                                    std::string* error) {
  if (holder_pid) holder_pid->clear();
  const HANDLE file = CreateFileW(Widen(path).c_str(), GENERIC_READ | GENERIC_WRITE,
                                  FILE_SHARE_READ, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                                  nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    const DWORD code = GetLastError();
    if (code == ERROR_SHARING_VIOLATION) {
      std::string text;
      if (ReadFile(path, &text)) {
        while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
        if (holder_pid) *holder_pid = text;
      }
    } else if (error) {
      *error = "Cannot open the lock file " + path + ": " + win32::ErrorText(code);
    }
    return nullptr;
  }
  const std::string pid = std::to_string(GetCurrentProcessId()) + "\n";
  SetFilePointer(file, 0, nullptr, FILE_BEGIN);
  SetEndOfFile(file);
  std::string ignored;
  WriteAll(file, pid.data(), pid.size(), &ignored);  // the lock holds all the same
  return std::make_unique<Win32InstanceLock>(file);
}

// Not tracked on Windows: an open file there cannot be deleted or replaced anyway.
bool FileIdentity(const std::string&, uint64_t*, uint64_t*) { return false; }

void LowerThreadPriority() {
  SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_BELOW_NORMAL);
}

namespace {

struct StopEvents {
  HANDLE local = nullptr;  // RequestStop, console controls, the service control handler
  HANDLE named = nullptr;  // "Local\qxservice-stop-<pid>", for other programs
};

StopEvents& Events() {
  static StopEvents events = [] {
    StopEvents e;
    e.local = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    const std::wstring name = L"Local\\qxservice-stop-" + std::to_wstring(GetCurrentProcessId());
    e.named = CreateEventW(nullptr, TRUE, FALSE, name.c_str());
    return e;
  }();
  return events;
}

BOOL WINAPI OnConsoleControl(DWORD control) {
  switch (control) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
    case CTRL_CLOSE_EVENT:
    case CTRL_SHUTDOWN_EVENT:
      RequestStop();
      return TRUE;
    default:
      return FALSE;
  }
}

}  // namespace

void BlockStopSignals() {
  Events();
  SetConsoleCtrlHandler(OnConsoleControl, TRUE);
}

void WaitForStopRequest() {
  StopEvents& e = Events();
  HANDLE handles[2] = {e.local, e.named};
  const DWORD count = e.named ? 2 : 1;
  WaitForMultipleObjects(count, handles, FALSE, INFINITE);
}

void RequestStop() { SetEvent(Events().local); }

}  // namespace qx::platform
