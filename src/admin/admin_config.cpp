// Reads the one setting qxadmin takes from qxservice.ini.
#include "admin/admin_config.h"

#include <cctype>
#include <sstream>

#include "platform/platform.h"

namespace qx::admin {
namespace {

std::string Trim(const std::string& s) {
  size_t b = 0, e = s.size();
  while (b < e && static_cast<unsigned char>(s[b]) <= ' ') ++b;
  while (e > b && static_cast<unsigned char>(s[e - 1]) <= ' ') --e;
  return s.substr(b, e - b);
}

bool SameNoCase(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) !=
        std::tolower(static_cast<unsigned char>(b[i]))) {
      return false;
    }
  }
  return true;
}

}  // namespace

std::string DefaultConnectString(const std::string& program_directory) {
  std::string contents;
  if (!platform::ReadFile(program_directory + "qxservice.ini", &contents)) return "";
  std::istringstream in(contents);
  std::string line;
  bool in_service = false;
  while (std::getline(in, line)) {
    const std::string t = Trim(line);
    if (t.empty() || t[0] == ';') continue;
    if (t.front() == '[') {
      const size_t close = t.find(']');
      in_service = close != std::string::npos && SameNoCase(Trim(t.substr(1, close - 1)), "Service");
      continue;
    }
    const size_t eq = t.find('=');
    if (in_service && eq != std::string::npos && SameNoCase(Trim(t.substr(0, eq)), "rpstConnStr")) {
      return Trim(t.substr(eq + 1));
    }
  }
  return "";
}

}  // namespace qx::admin
