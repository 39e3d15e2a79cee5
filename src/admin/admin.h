// qxadmin: creates the repository schema and configures what the service monitors (services,
// service filters, SQL filters), so that nobody writes SQL by hand for it; and asks a running
// service for its status through its managing port.
//
// Exit codes: 0 done; 1 the repository failed or refused (no schema, schema already there,
// no such service or filter, a database error) or a running service could not be asked
// (status.h); 2 the command line is wrong (unknown command
// or option, a missing or invalid value).
//
// Threading: RunAdmin uses one repository session of its own; call it from one thread.
#pragma once

#include <ostream>
#include <string>
#include <vector>

namespace qx::admin {

// Runs one qxadmin command line (without the program name). Relative "sqlite:" paths and the
// default repository (rpstConnStr of qxservice.ini) are taken from program_directory, which
// ends with "/". Results go to `out`, messages about failures to `err`.
int RunAdmin(const std::vector<std::string>& args, const std::string& program_directory,
             std::ostream& out, std::ostream& err);

// The usage text of `qxadmin --help`.
std::string HelpText();

}  // namespace qx::admin
