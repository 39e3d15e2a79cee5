// The service's plain-text logs: the time-stamped service and error logs and the per-service
// connection logs, all beside the executable, CR LF line ends, every line handed to the OS
// before the write returns.
//
// Threading: a TextLog may be written from any number of threads. Each line is formatted
// first and then appended with one write under the log's mutex, so lines never interleave and
// their order in the file is the order of the writes. Writing to a log that is not open does
// nothing.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "sql/byte_text.h"

namespace qx::service {

class TextLog {
 public:
  TextLog() = default;
  TextLog(const TextLog&) = delete;
  TextLog& operator=(const TextLog&) = delete;

  // Creates (truncates) the file. Returns false with *error set on failure.
  bool Create(const std::string& path, std::string* error,
              platform::FileAccess access = platform::FileAccess::kShared);
  bool IsOpen() const;
  void Close();

  // "<local date and time>:: message"
  void WriteStamped(const std::string& message);
  // The line exactly as passed.
  void WriteLine(const std::string& line);
  // The lines as passed, in one write (they stay together in the file).
  void WriteLines(const std::vector<std::string>& lines);

 private:
  void Append(const std::string& bytes);

  mutable std::mutex mu_;
  std::unique_ptr<platform::AppendFile> file_;  // guarded by mu_
  std::string path_;
  bool write_failed_reported_ = false;  // guarded by mu_
};

// The directory part of a path with its trailing separator: "/" or "\\" (Windows paths may
// use either, even mixed); "" when the path has none.
std::string DirectoryOf(const std::string& path);

// The directory of the running executable with its trailing separator.
std::string ProgramDirectory();

// The host name, upper-cased (letters a to z only).
std::string GetHostName();

// Byte-string helpers shared by every subsystem (upper case of a to z only, trimming of the
// bytes 0x00 to 0x20, numbers in shortest decimal form).
using sql::UpperCase;
inline std::string Trim(std::string_view s) { return std::string(sql::Trim(s)); }
inline std::string NumberText(double value) { return sql::FormatNumber(value); }

}  // namespace qx::service
