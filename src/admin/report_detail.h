// The reports besides top: one statement or fingerprint in full, executions per session
// attribute, and the HTML overview report. Options as report.h describes them.
//
// Threading: one thread, the caller's session. Internal to src/admin.
#pragma once

#include <ostream>
#include <string>

#include "admin/report_common.h"

namespace qx::admin::report {

int StatementReport(repository::Session& session, const std::string& id, const Options& options,
                    std::ostream& out);
int SessionsReport(repository::Session& session, const Options& options, std::ostream& out);
int OverviewReport(repository::Session& session, const Options& options, std::ostream& out);
// The top items as an HTML table (by: statement or fingerprint); the keys of the first
// `linked` items link to their sections (id "s" + key) further down the page.
std::string TopTableHtml(const TopResult& top, const std::string& by, size_t linked);

}  // namespace qx::admin::report
