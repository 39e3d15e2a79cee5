// Helpers for tests that run the real executables: temporary directories, files, and child
// processes with time limits.
#pragma once

#include <csignal>
#include <string>
#include <vector>

#ifndef SIGKILL  // Windows: Child::Signal(SIGKILL) ends the process at once
#define SIGKILL 9
#endif

namespace qx::test {

// A fresh directory under /tmp (the user's temporary directory on Windows), removed with its contents when the object goes away.
class TempDir {
 public:
#ifdef _WIN32
  static constexpr char kSeparator = '\\';
#else
  static constexpr char kSeparator = '/';
#endif
  TempDir();
  ~TempDir();
  const std::string& path() const { return path_; }
  // The directory with a trailing separator, as the program directory is given ("\\" on
  // Windows, where the service names its files with the separator of its own path).
  std::string Dir() const { return path_ + kSeparator; }
  std::string File(const std::string& name) const { return path_ + kSeparator + name; }

 private:
  std::string path_;
};

// A loopback port that was free a moment ago (bound to port 0 and released).
int FreePort();

// Rows of a query on a SQLite repository file opened read-only, every column as text (NULL as
// ""). *ok, when given, tells whether the file opened and the query ran to its end; a file
// that does not exist yet gives no rows.
std::vector<std::vector<std::string>> SqliteRows(const std::string& db, const std::string& sql,
                                                 bool* ok = nullptr);

std::string ReadText(const std::string& path);  // "" when missing
void WriteText(const std::string& path, const std::string& text);
bool Exists(const std::string& path);
// Copies a file, keeping its mode (executables stay executable). Not "CopyFile": windows.h
// makes that name a macro.
void CopyFileTo(const std::string& from, const std::string& to);
// Lines without their CR LF / LF ends.
std::vector<std::string> Lines(const std::string& text);
// The message of a time-stamped log line (what follows the first ":: "), or the line itself.
std::string Message(const std::string& line);
std::vector<std::string> LogMessages(const std::string& path);

// A child process. Output goes to the files given (or /dev/null).
// On Windows, argv[0] may leave out ".exe"; Signal(SIGTERM) and Signal(SIGINT) set the stop
// event a foreground qxservice watches ("Local\\qxservice-stop-<pid>"), the counterpart of
// SIGTERM there; any other signal ends the process with exit code 128 + signal.
class Child {
 public:
  // err_file: where standard error goes when not with the output.
  Child(const std::vector<std::string>& argv, const std::string& out_file = "",
        const std::vector<std::string>& extra_env = {}, const std::string& err_file = "");
  ~Child();  // kills the child if it still runs
  int pid() const { return pid_; }
  void Signal(int sig);
  // Waits up to timeout_ms; returns the exit code, 128+signal, or -1 on time-out.
  int Wait(int timeout_ms);
  bool Running();

 private:
  int pid_ = -1;
  int status_ = -1;
  bool reaped_ = false;
  void* process_ = nullptr;  // Windows: the process handle
};

// Runs to completion (killed after timeout_ms); returns the exit code and fills *output with
// stdout and stderr together (on Windows with the C runtime's CR LF line ends made LF).
int RunProgram(const std::vector<std::string>& argv, std::string* output, int timeout_ms = 60000,
        const std::vector<std::string>& extra_env = {});

// Runs to completion like RunProgram, keeping standard output and error apart.
struct ProgramOutcome {
  int code = -1;
  std::string out, err;
};
ProgramOutcome RunProgramSplit(const std::vector<std::string>& argv, int timeout_ms = 60000,
                               const std::vector<std::string>& extra_env = {});

// Polls until pred() holds or timeout_ms passes.
template <typename Pred>
bool WaitUntil(Pred pred, int timeout_ms);

// The built executable of that name (build/NAME, build-win/NAME.exe).
std::string BinaryPath(const std::string& name);

// True when the tests run under a sanitizer build (QX_SANITIZE set); heavy tests scale down.
bool UnderSanitizer();

// Raises this process's descriptor limit (inherited by the programs it starts) to `wanted`,
// or to the most it may; returns the limit now in force. Windows has no such limit: it returns
// `wanted`.
long RaiseDescriptorLimit(long wanted);

void SleepMs(int ms);

template <typename Pred>
bool WaitUntil(Pred pred, int timeout_ms) {
  for (int waited = 0; waited < timeout_ms; waited += 20) {
    if (pred()) return true;
    SleepMs(20);
  }
  return pred();
}

}  // namespace qx::test
