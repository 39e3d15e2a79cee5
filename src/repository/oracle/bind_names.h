// Finding the bind variables (":name") of a statement text the way the Oracle parser sees
// them: not inside string literals (q'[...]' ones included), quoted identifiers or comments,
// and not the ":=" of PL/SQL assignment.
//
// Threading: pure functions, safe from any thread.
#pragma once

#include <string>
#include <vector>

namespace qx::repository::oracle {

// The distinct bind names of `text`, upper-cased (unquoted names are case-insensitive),
// in the order of their first occurrence. A quoted name (:"x") keeps its case.
std::vector<std::string> BindNames(const std::string& text);

// Upper case of the letters a to z only.
std::string UpperAscii(const std::string& text);

}  // namespace qx::repository::oracle
