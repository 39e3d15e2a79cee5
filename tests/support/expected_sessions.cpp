// Reading tests/data/captures/expected/*.txt (expected_sessions.h).
#include "support/expected_sessions.h"

#include <algorithm>
#include <filesystem>
#include <fstream>

#include "support/pcap_reader.h"

namespace qx::testsupport {
namespace {

std::string Unescape(const std::string& s) {
  std::string out;
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '\\' && i + 1 < s.size() && s[i + 1] == '\\') {
      out.push_back('\\');
      ++i;
    } else if (s[i] == '\\' && i + 3 < s.size() && s[i + 1] == 'x') {
      out.push_back(static_cast<char>(std::stoi(s.substr(i + 2, 2), nullptr, 16)));
      i += 3;
    } else {
      out.push_back(s[i]);
    }
  }
  return out;
}

std::string Upper(std::string s) {
  for (char& c : s) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return s;
}

}  // namespace

std::vector<ExpectedSession> ExpectedSessions(const std::string& capture) {
  std::vector<ExpectedSession> out;
  std::ifstream in(CapturesDirectory() + "/expected/" + capture + ".txt");
  std::string pendingUser;
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("session ", 0) == 0) {
      ExpectedSession s;
      const size_t a = line.find(' ', 8);
      const size_t b = line.find(' ', a + 1);
      s.client = line.substr(a + 1, b - a - 1);
      const size_t c = line.find(' ', b + 1);
      s.server = line.substr(c + 1);
      out.push_back(std::move(s));
      pendingUser.clear();
      continue;
    }
    if (out.empty() || line.size() < 3) continue;
    ExpectedSession& s = out.back();
    const std::string body = line.substr(2);
    if (body.rfind("descriptor ", 0) == 0) {
      if (!s.descriptor) s.descriptorText = Unescape(body.substr(11));
      s.descriptor = true;
    } else if (body.rfind("user ", 0) == 0) {
      pendingUser = Upper(Unescape(body.substr(5)));
      s.orauser = pendingUser;  // known from the logon request, whatever its outcome
    } else if (body.rfind("exec ", 0) == 0) {
      const size_t text = body.find(' ', 5);
      if (text != std::string::npos) s.statements.push_back(Unescape(body.substr(text + 1)));
    }
  }
  return out;
}

std::vector<std::string> ExpectedCaptures() {
  std::vector<std::string> names;
  const std::string dir = CapturesDirectory() + "/expected";
  std::error_code ec;
  for (const auto& e : std::filesystem::directory_iterator(dir, ec)) {
    std::string name = e.path().filename().string();
    if (name.size() > 4 && name.substr(name.size() - 4) == ".txt") {
      names.push_back(name.substr(0, name.size() - 4));
    }
  }
  std::sort(names.begin(), names.end());
  return names;
}

}  // namespace qx::testsupport
