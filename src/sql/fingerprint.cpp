// Statement fingerprints: a tokenizer of Oracle SQL and PL/SQL, then the normalised tokens.
#include "sql/fingerprint.h"

#include <cctype>
#include <stdexcept>
#include <vector>

#include "platform/sha1.h"

namespace qx::sql {
namespace {

enum class Kind { kWord, kQuoted, kLiteral, kBind, kPunct };

struct Token {
  Kind kind;
  std::string text;
};

bool IsWordStart(unsigned char c) { return std::isalpha(c) || c == '_' || c >= 0x80; }
bool IsWordChar(unsigned char c) {
  return std::isalnum(c) || c == '_' || c == '$' || c == '#' || c >= 0x80;
}
bool IsDigit(char c) { return c >= '0' && c <= '9'; }

char Closing(char open) {
  switch (open) {
    case '[': return ']';
    case '{': return '}';
    case '(': return ')';
    case '<': return '>';
    default: return open;
  }
}

// Index after a '...' string starting at `i` (the quote), '' being a quote inside.
size_t SkipString(std::string_view s, size_t i) {
  for (++i; i < s.size(); ++i) {
    if (s[i] == '\'') {
      if (i + 1 < s.size() && s[i + 1] == '\'') {
        ++i;
      } else {
        return i + 1;
      }
    }
  }
  return s.size();
}

std::vector<Token> Tokens(std::string_view s) {
  std::vector<Token> out;
  size_t i = 0;
  auto literal = [&](size_t end) {
    out.push_back({Kind::kLiteral, "?"});
    i = end;
  };
  while (i < s.size()) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    if (c <= ' ') {
      ++i;
    } else if (c == '-' && i + 1 < s.size() && s[i + 1] == '-') {
      while (i < s.size() && s[i] != '\n') ++i;
    } else if (c == '/' && i + 1 < s.size() && s[i + 1] == '*') {
      const size_t end = s.find("*/", i + 2);
      i = end == std::string_view::npos ? s.size() : end + 2;
    } else if (c == '\'') {
      literal(SkipString(s, i));
    } else if ((c == 'q' || c == 'Q' || c == 'n' || c == 'N' || c == 'x' || c == 'X') &&
               i + 1 < s.size() &&
               (s[i + 1] == '\'' ||
                ((c == 'n' || c == 'N') && i + 2 < s.size() && (s[i + 1] == 'q' || s[i + 1] == 'Q') &&
                 s[i + 2] == '\'')) &&
               (out.empty() || i == 0 || !IsWordChar(static_cast<unsigned char>(s[i - 1])))) {
      size_t j = i + 1;
      const bool q = c == 'q' || c == 'Q' || s[j] == 'q' || s[j] == 'Q';
      if (s[j] != '\'') ++j;  // nq'
      if (q && j + 1 < s.size()) {
        // q'<delim>...<closing delim>'
        const char close = Closing(s[j + 1]);
        size_t k = j + 2;
        while (k + 1 < s.size() && !(s[k] == close && s[k + 1] == '\'')) ++k;
        literal(k + 1 < s.size() ? k + 2 : s.size());
      } else {
        literal(SkipString(s, j));
      }
    } else if (c == '"') {
      const size_t end = s.find('"', i + 1);
      const size_t stop = end == std::string_view::npos ? s.size() : end + 1;
      out.push_back({Kind::kQuoted, std::string(s.substr(i, stop - i))});
      i = stop;
    } else if (IsDigit(static_cast<char>(c)) ||
               (c == '.' && i + 1 < s.size() && IsDigit(s[i + 1]))) {
      size_t j = i;
      if (c == '0' && j + 1 < s.size() && (s[j + 1] == 'x' || s[j + 1] == 'X')) {
        j += 2;
        while (j < s.size() && std::isxdigit(static_cast<unsigned char>(s[j]))) ++j;
      } else {
        while (j < s.size() && (IsDigit(s[j]) || s[j] == '.')) ++j;
        if (j < s.size() && (s[j] == 'e' || s[j] == 'E')) {
          size_t k = j + 1;
          if (k < s.size() && (s[k] == '+' || s[k] == '-')) ++k;
          if (k < s.size() && IsDigit(s[k])) {
            j = k;
            while (j < s.size() && IsDigit(s[j])) ++j;
          }
        }
        // Oracle's float suffixes 1.5f / 2d.
        if (j < s.size() && (s[j] == 'f' || s[j] == 'F' || s[j] == 'd' || s[j] == 'D') &&
            (j + 1 >= s.size() || !IsWordChar(static_cast<unsigned char>(s[j + 1]))))
          ++j;
      }
      // A sign before a number belongs to it unless it follows an operand.
      if (!out.empty() && out.back().kind == Kind::kPunct &&
          (out.back().text == "-" || out.back().text == "+")) {
        static const char* const kKeywords[] = {"select", "where", "and", "or", "then", "else",
                                                "when", "return", "between", "like", "not",
                                                "in", "values", "set", "case", "by", "is"};
        bool operand_before = false;
        if (out.size() >= 2) {
          const Token& b = out[out.size() - 2];
          operand_before = b.kind != Kind::kPunct || b.text == ")";
          if (b.kind == Kind::kWord) {
            for (const char* k : kKeywords) operand_before = operand_before && b.text != k;
          }
        }
        if (!operand_before) out.pop_back();
      }
      literal(j);
    } else if (c == ':' && i + 1 < s.size() &&
               (IsWordChar(static_cast<unsigned char>(s[i + 1])) || s[i + 1] == '"')) {
      size_t j = i + 1;
      if (s[j] == '"') {
        const size_t end = s.find('"', j + 1);
        j = end == std::string_view::npos ? s.size() : end + 1;
      } else {
        while (j < s.size() && IsWordChar(static_cast<unsigned char>(s[j]))) ++j;
      }
      out.push_back({Kind::kBind, ":?"});
      i = j;
    } else if (c == '?') {
      out.push_back({Kind::kBind, ":?"});
      ++i;
    } else if (IsWordStart(c)) {
      size_t j = i;
      std::string w;
      while (j < s.size() && IsWordChar(static_cast<unsigned char>(s[j]))) {
        const char ch = s[j++];
        w += (ch >= 'A' && ch <= 'Z') ? static_cast<char>(ch - 'A' + 'a') : ch;
      }
      out.push_back({Kind::kWord, w});
      i = j;
    } else {
      // Two-character operators stay one token.
      static const char* const kPairs[] = {"<=", ">=", "<>", "!=", "^=", "||", ":=", "=>", ".."};
      std::string p(1, static_cast<char>(c));
      for (const char* pair : kPairs) {
        if (s.substr(i, 2) == pair) p = pair;
      }
      out.push_back({Kind::kPunct, p});
      i += p.size();
    }
  }
  return out;
}

bool IsValue(const Token& t) { return t.kind == Kind::kLiteral || t.kind == Kind::kBind; }

// Collapses "( v , v , ... )" of values only into one "(?+)" token, and repeated "(?+)" rows
// after VALUES into one.
std::vector<Token> Collapse(const std::vector<Token>& in) {
  std::vector<Token> out;
  for (size_t i = 0; i < in.size(); ++i) {
    if (in[i].kind == Kind::kPunct && in[i].text == "(") {
      size_t j = i + 1;
      bool ok = j < in.size() && IsValue(in[j]);
      while (ok && j < in.size() && IsValue(in[j])) {
        ++j;
        if (j < in.size() && in[j].kind == Kind::kPunct && in[j].text == ",") {
          ++j;
        } else {
          break;
        }
      }
      if (ok && j < in.size() && in[j].kind == Kind::kPunct && in[j].text == ")") {
        // A row after another row: "(?+) , (?+)" is one.
        if (out.size() >= 2 && out.back().text == "," && out[out.size() - 2].text == "(?+)") {
          out.pop_back();
        } else {
          out.push_back({Kind::kLiteral, "(?+)"});
        }
        i = j;
        continue;
      }
    }
    out.push_back(in[i]);
  }
  return out;
}

}  // namespace

std::string Fingerprint(std::string_view sql) {
  std::vector<Token> tokens = Collapse(Tokens(sql));
  while (!tokens.empty() && tokens.back().kind == Kind::kPunct &&
         (tokens.back().text == ";" || tokens.back().text == "/"))
    tokens.pop_back();
  std::string out;
  for (size_t i = 0; i < tokens.size(); ++i) {
    const std::string& t = tokens[i].text;
    if (i > 0) {
      const std::string& prev = tokens[i - 1].text;
      const bool tight = prev == "(" || prev == "." || t == ")" || t == "," || t == "." ||
                         t == ";" || t == "(" || (t == "(?+)" && tokens[i - 1].kind == Kind::kWord &&
                                                  prev != "in" && prev != "values");
      if (!tight) out += ' ';
    }
    out += t;
  }
  return out;
}

std::string FingerprintHash(std::string_view fingerprint) {
  unsigned char digest[platform::kSha1Size];
  if (!platform::Sha1(fingerprint.data(), fingerprint.size(), digest)) {
    throw std::runtime_error("SHA-1 digest is unavailable");
  }
  static const char kHex[] = "0123456789abcdef";
  std::string out;
  for (int i = 0; i < 8; ++i) {
    out += kHex[digest[i] >> 4];
    out += kHex[digest[i] & 15];
  }
  return out;
}

}  // namespace qx::sql
