// Bind-variable scanning of statement texts (see bind_names.h).
#include "repository/oracle/bind_names.h"

#include <algorithm>

namespace qx::repository::oracle {
namespace {

bool IsNameStart(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }
bool IsNameChar(char c) {
  return IsNameStart(c) || (c >= '0' && c <= '9') || c == '_' || c == '$' || c == '#';
}
bool IsDigit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

std::string UpperAscii(const std::string& text) {
  std::string out = text;
  for (char& c : out)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return out;
}

std::vector<std::string> BindNames(const std::string& text) {
  std::vector<std::string> names;
  auto add = [&names](const std::string& name) {
    if (!name.empty() && std::find(names.begin(), names.end(), name) == names.end())
      names.push_back(name);
  };
  const size_t n = text.size();
  size_t i = 0;
  while (i < n) {
    const char c = text[i];
    if ((c == 'q' || c == 'Q') && i + 2 < n && text[i + 1] == '\'' &&
        (i == 0 || !IsNameChar(text[i - 1]))) {
      // Alternative quoting q'[...]': the literal ends at the closing delimiter and a quote.
      const char open = text[i + 2];
      const char close = open == '[' ? ']' : open == '(' ? ')' : open == '{' ? '}'
                         : open == '<' ? '>' : open;
      const size_t end = text.find(std::string(1, close) + "'", i + 3);
      i = end == std::string::npos ? n : end + 2;
    } else if (c == '\'') {  // string literal; '' is an embedded quote
      for (++i; i < n; ++i) {
        if (text[i] != '\'') continue;
        if (i + 1 < n && text[i + 1] == '\'') { ++i; continue; }
        break;
      }
      ++i;
    } else if (c == '"') {  // quoted identifier
      const size_t end = text.find('"', i + 1);
      i = end == std::string::npos ? n : end + 1;
    } else if (c == '-' && i + 1 < n && text[i + 1] == '-') {
      const size_t end = text.find('\n', i);
      i = end == std::string::npos ? n : end + 1;
    } else if (c == '/' && i + 1 < n && text[i + 1] == '*') {
      const size_t end = text.find("*/", i + 2);
      i = end == std::string::npos ? n : end + 2;
    } else if (c == ':' && i + 1 < n) {
      size_t j = i + 1;
      if (text[j] == '"') {
        const size_t end = text.find('"', j + 1);
        if (end == std::string::npos) break;
        add(text.substr(j + 1, end - j - 1));
        i = end + 1;
      } else if (IsNameStart(text[j])) {
        while (j < n && IsNameChar(text[j])) ++j;
        add(UpperAscii(text.substr(i + 1, j - i - 1)));
        i = j;
      } else if (IsDigit(text[j])) {
        while (j < n && IsDigit(text[j])) ++j;
        add(text.substr(i + 1, j - i - 1));
        i = j;
      } else {
        ++i;
      }
    } else {
      ++i;
    }
  }
  return names;
}

}  // namespace qx::repository::oracle
