// The repository qxadmin works on when the command line names none: rpstConnStr of the
// [Service] section of qxservice.ini in the program directory, the file the service reads.
#pragma once

#include <string>

namespace qx::admin {

// The value of rpstConnStr (section and key matched in any letter case, blanks around names
// and values trimmed), or "" when the file, the section or the key is missing.
std::string DefaultConnectString(const std::string& program_directory);

}  // namespace qx::admin
