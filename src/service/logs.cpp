// Log files and the small helpers every message uses.
#include "service/logs.h"


#include "platform/datetime.h"

namespace qx::service {

bool TextLog::Create(const std::string& path, std::string* error, platform::FileAccess access) {
  std::lock_guard<std::mutex> lock(mu_);
  file_.reset(platform::AppendFile::Create(path, error, access));
  path_ = path;
  write_failed_reported_ = false;
  return file_ != nullptr;
}

bool TextLog::IsOpen() const {
  std::lock_guard<std::mutex> lock(mu_);
  return file_ != nullptr;
}

void TextLog::Close() {
  std::lock_guard<std::mutex> lock(mu_);
  file_.reset();
}

void TextLog::WriteStamped(const std::string& message) {
  Append(platform::FormatTimestamp(platform::LocalNow()) + ":: " + message + "\r\n");
}

void TextLog::WriteLine(const std::string& line) { Append(line + "\r\n"); }

void TextLog::WriteLines(const std::vector<std::string>& lines) {
  std::string bytes;
  for (const std::string& line : lines) bytes.append(line).append("\r\n");
  if (!bytes.empty()) Append(bytes);
}

void TextLog::Append(const std::string& bytes) {
  std::lock_guard<std::mutex> lock(mu_);
  if (!file_) return;
  std::string error;
  if (!file_->Append(bytes, &error) && !write_failed_reported_) {
    // A full disk must not take the service down with it; say so once where an
    // administrator will look, and keep monitoring.
    write_failed_reported_ = true;
    platform::SystemLogError("qxservice", "Cannot write to " + path_ + ": " + error);
  }
}

std::string DirectoryOf(const std::string& path) {
  const size_t slash = path.find_last_of("/\\");
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

std::string ProgramDirectory() { return DirectoryOf(platform::ExecutablePath()); }

std::string GetHostName() { return UpperCase(platform::HostName()); }

}  // namespace qx::service
