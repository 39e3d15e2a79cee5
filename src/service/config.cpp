// qxservice.ini reader: profile-API semantics without the Windows profile API.
#include "service/config.h"

#include <cerrno>
#include <cstdlib>
#include <limits>

#include "platform/platform.h"

namespace qx::service {
namespace {

// The profile API keeps at most this many characters of a value (a 2048-byte buffer).
constexpr size_t kMaxValueLength = 2047;

std::string TrimBlanks(const std::string& s) {
  size_t b = 0, e = s.size();
  while (b < e && (s[b] == ' ' || s[b] == '\t' || s[b] == '\r' || s[b] == '\n')) ++b;
  while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\t' || s[e - 1] == '\r' || s[e - 1] == '\n')) --e;
  return s.substr(b, e - b);
}

bool EqualNoCase(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'a' && x <= 'z') x = static_cast<char>(x - 32);
    if (y >= 'a' && y <= 'z') y = static_cast<char>(y - 32);
    if (x != y) return false;
  }
  return true;
}

bool ParseDigits(const std::string& digits, int base, int64_t* out) {
  if (digits.empty() || digits.size() > 20) return false;
  int64_t v = 0;
  for (char c : digits) {
    int d;
    if (c >= '0' && c <= '9') d = c - '0';
    else if (base == 16 && c >= 'a' && c <= 'f') d = c - 'a' + 10;
    else if (base == 16 && c >= 'A' && c <= 'F') d = c - 'A' + 10;
    else return false;
    v = v * base + d;
    if (v > (int64_t{1} << 33)) return false;  // far outside 32 bits already
  }
  *out = v;
  return true;
}

}  // namespace

std::optional<int32_t> ParseIntegerValue(const std::string& text) {
  int64_t v = 0;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    if (!ParseDigits(text.substr(2), 16, &v)) return std::nullopt;
  } else if (!text.empty() && text[0] == '$') {
    if (!ParseDigits(text.substr(1), 16, &v)) return std::nullopt;
  } else {
    bool negative = false;
    std::string digits = text;
    if (!digits.empty() && (digits[0] == '-' || digits[0] == '+')) {
      negative = digits[0] == '-';
      digits = digits.substr(1);
    }
    if (!ParseDigits(digits, 10, &v)) return std::nullopt;
    if (negative) v = -v;
  }
  if (v < std::numeric_limits<int32_t>::min() || v > std::numeric_limits<int32_t>::max()) {
    return std::nullopt;
  }
  return static_cast<int32_t>(v);
}

IniFile IniFile::Parse(const std::string& text) {
  IniFile ini;
  std::string section;
  bool in_section = false;
  size_t pos = 0;
  while (pos <= text.size()) {
    size_t end = text.find('\n', pos);
    if (end == std::string::npos) end = text.size();
    const std::string line = TrimBlanks(text.substr(pos, end - pos));
    pos = end + 1;
    if (line.empty() || line[0] == ';' || line[0] == '#') continue;
    if (line[0] == '[') {
      const size_t close = line.find(']');
      section = TrimBlanks(line.substr(1, close == std::string::npos ? std::string::npos : close - 1));
      in_section = true;
      continue;
    }
    const size_t eq = line.find('=');
    if (!in_section || eq == std::string::npos) continue;
    std::string value = TrimBlanks(line.substr(eq + 1));
    // The profile API drops one pair of matching quotes around a value.
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
        value.back() == value.front()) {
      value = value.substr(1, value.size() - 2);
    }
    if (value.size() > kMaxValueLength) value.resize(kMaxValueLength);
    ini.entries_.push_back({section, TrimBlanks(line.substr(0, eq)), value});
  }
  return ini;
}

IniFile IniFile::Load(const std::string& path) {
  std::string text;
  if (!platform::ReadFile(path, &text)) return IniFile();
  return Parse(text);
}

std::string IniFile::ReadString(const std::string& section, const std::string& key,
                                const std::string& default_value) const {
  // The first occurrence wins, as with the profile API.
  for (const Entry& e : entries_) {
    if (EqualNoCase(e.section, section) && EqualNoCase(e.key, key)) return e.value;
  }
  return default_value;
}

int32_t IniFile::ReadInteger(const std::string& section, const std::string& key,
                             int32_t default_value) const {
  const std::string text = ReadString(section, key, "");
  return ParseIntegerValue(text).value_or(default_value);
}

}  // namespace qx::service
