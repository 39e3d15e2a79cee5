// The operating-system layer. Everything the service needs from the host — the executable's
// path, clocks, the host name, files, the system log, dynamic libraries — is reached through
// these functions, so that no other folder includes an OS header. This file is the contract;
// platform/posix/ holds the Linux implementation and a Windows build adds its own beside it.
//
// Threading: every function here may be called from any thread at any time unless it says
// otherwise. None of them throws; failures are reported through return values.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace qx::platform {

// Full path of the running executable ("" when the OS cannot tell).
std::string ExecutablePath();

// Milliseconds since system start, wrapping at 2^32 (a 32-bit system tick).
uint32_t TickCount();

// Local wall-clock time broken into its fields.
struct LocalTime {
  int year = 1899, month = 12, day = 30;  // month 1..12, day 1..31
  int hour = 0, minute = 0, second = 0, millisecond = 0;
};
LocalTime LocalNow();

// The computer's name as the OS reports it (not upper-cased).
std::string HostName();

// True when a regular file exists at path.
bool FileExists(const std::string& path);

// Reads the whole file; false when it cannot be read.
bool ReadFile(const std::string& path, std::string* contents);

// Who may read a file the service creates: everyone (the usual mode), or its owner only, for
// files that hold traffic or data (connection traces, the embedded repository).
enum class FileAccess { kShared, kOwnerOnly };

// Writes (creating or truncating) the whole file; false with *error set on failure. With
// kOwnerOnly an existing file is narrowed to its owner as well.
bool WriteFile(const std::string& path, const std::string& contents, std::string* error,
               FileAccess access = FileAccess::kShared);

// The identity of the file at path (device and inode on POSIX): false when it does not exist
// or the OS cannot tell. A file deleted and created again has another identity.
bool FileIdentity(const std::string& path, uint64_t* device, uint64_t* inode);

// Removes a file; false with *error set when it existed and could not be removed.
bool RemoveFile(const std::string& path, std::string* error);

// An append-only file whose every Append is handed to the OS before it returns.
// One Append is one write call on a file opened for appending, so concurrent appends of
// whole lines from several threads (or processes) never interleave within a line.
class AppendFile {
 public:
  // Creates the file, truncating an existing one (narrowed to its owner with kOwnerOnly).
  // Returns null with *error set on failure.
  static AppendFile* Create(const std::string& path, std::string* error,
                            FileAccess access = FileAccess::kShared);
  // A file that one thread at a time appends to, written through a memory mapping where the
  // platform offers one, so that an append costs a copy instead of a system call. Its room
  // is reserved on the storage ahead, in steps, so that a full disk fails an Append rather
  // than faulting a write into the mapping; until the object is destroyed the file reads
  // as zeros past what was appended (after a crash, too). Sync may run beside an Append.
  // Where there is no mapping (Windows), the same as Create.
  static AppendFile* CreateMapped(const std::string& path, std::string* error);
  virtual ~AppendFile() = default;
  // Appends the bytes; false with *error set on failure.
  virtual bool Append(const std::string& bytes, std::string* error) = 0;
  // Waits until what was appended is on the storage device (fdatasync); false on failure.
  virtual bool Sync() = 0;
};

// An exclusive lock on a file, held until the object is destroyed or the process ends,
// however it ends (the OS releases it: a crash leaves no stale lock). The file holds the
// process id of the holder.
class InstanceLock {
 public:
  // Creates the file when missing, locks it and writes the caller's process id into it.
  // Null when another process holds the lock (*holder_pid is the id that process wrote, ""
  // when it cannot be read) or when the file cannot be opened or locked (*error set).
  static std::unique_ptr<InstanceLock> Acquire(const std::string& path, std::string* holder_pid,
                                               std::string* error);
  virtual ~InstanceLock() = default;
};

// Raises the process's soft limit on open descriptors to its hard limit. Reports the soft
// limit before and after (equal when it was already at the hard limit or could not be
// raised; *error then says why when the raise failed), both 0 where the platform has no such
// limit. Call before the listeners start, so that a burst of relayed connections is not
// refused for want of descriptors.
struct DescriptorLimit {
  uint64_t before = 0;
  uint64_t now = 0;
};
DescriptorLimit RaiseDescriptorLimit(std::string* error);

// Writes an error entry to the system log (syslog on Linux, the event log on Windows).
void SystemLogError(const std::string& source, const std::string& text);

// Dynamic libraries loaded by name at run time.
void* OpenLibrary(const std::string& name);          // null when it cannot be loaded
void* LibrarySymbol(void* library, const char* name);  // null when the symbol is absent
void CloseLibrary(void* library);

// Sets the process up for a long-running network service: a peer that closes a socket
// must never kill the process through SIGPIPE. Idempotent.
void IgnoreBrokenPipe();

// Lowers the scheduling priority of the calling thread, for background work that must not
// delay the threads that relay traffic when the processors are busy. Best effort: a
// failure leaves the priority as it was.
void LowerThreadPriority();

// Blocks the calling thread until a stop request (SIGTERM or SIGINT) arrives or
// RequestStop() is called from any thread. Call BlockStopSignals() first, on the main
// thread, before any other thread is started, so that the signals reach only the waiter.
void BlockStopSignals();
void WaitForStopRequest();
void RequestStop();

}  // namespace qx::platform
