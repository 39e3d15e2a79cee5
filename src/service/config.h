// Reading qxservice.ini the way the Windows profile API reads it: section and key names are
// compared without regard to letter case, blanks around names and values are trimmed, a
// missing file, section or key gives the caller's default, and a string value is at most 2047
// characters. Integer values follow the service's own rules (ParseIntegerValue).
//
// Threading: an IniFile is immutable after Load and may be read from any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace qx::service {

// Reads `text` as a 32-bit signed integer: a value longer than 2 characters starting with
// "0x"/"0X", or any value starting with "$", is hexadecimal; otherwise decimal with an
// optional sign. Anything else, or a value outside the 32-bit signed range, gives nullopt.
std::optional<int32_t> ParseIntegerValue(const std::string& text);

class IniFile {
 public:
  // Parses the file's text. Never fails: lines that are neither sections nor keys are ignored.
  static IniFile Parse(const std::string& text);
  // Reads and parses the file; a missing or unreadable file gives an empty IniFile.
  static IniFile Load(const std::string& path);

  std::string ReadString(const std::string& section, const std::string& key,
                         const std::string& default_value) const;
  int32_t ReadInteger(const std::string& section, const std::string& key,
                      int32_t default_value) const;

 private:
  struct Entry {
    std::string section, key, value;
  };
  std::vector<Entry> entries_;
};

}  // namespace qx::service
