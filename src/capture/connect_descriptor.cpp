// Connect-descriptor decoding, Oracle user extraction and the service-filter decision.
#include "capture/connect_descriptor.h"

#include <array>

#include "sql/byte_text.h"

namespace qx::capture {
namespace {

using sql::Contains;
using sql::Trim;
using sql::UpperCase;

// The value of `keyword` in `section`: after its first "=", before the next ")", trimmed at
// each step; nullopt when the keyword does not occur.
std::optional<std::string> DescriptorValue(std::string_view section, std::string_view keyword) {
  const size_t at = section.find(keyword);
  if (at == std::string_view::npos) return std::nullopt;
  std::string_view v = Trim(section.substr(at));
  if (const size_t eq = v.find('='); eq != std::string_view::npos) v = Trim(v.substr(eq + 1));
  const size_t close = v.find(')');
  v = close == std::string_view::npos ? std::string_view() : Trim(v.substr(0, close));
  return UpperCase(v);
}

bool CriterionHolds(const std::string& criterion, const std::string& field) {
  const std::string_view c = Trim(criterion);
  return c.empty() || sql::EqualsIgnoreAsciiCase(c, Trim(field));
}

}  // namespace

bool IsConnectDescriptor(std::string_view text) {
  return Contains(text, "DESCRIPTION") && Contains(text, "ADDRESS") &&
         Contains(text, "PROTOCOL=TCP");
}

TConnectIdentity DecodeConnectDescriptor(std::string_view text) {
  std::string_view section = text;
  if (const size_t at = text.find("CONNECT_DATA"); at != std::string_view::npos) {
    section = text.substr(at);
  }
  TConnectIdentity identity;
  identity.serviceName = DescriptorValue(section, "SERVICE_NAME");
  identity.sid = DescriptorValue(section, "SID");
  identity.program = DescriptorValue(section, "PROGRAM");
  identity.host = DescriptorValue(section, "HOST");
  identity.username = DescriptorValue(section, "USER");
  return identity;
}

void ApplyConnectIdentity(TThreadData& record, const TConnectIdentity& identity,
                          const HostResolver& resolve) {
  bool needIp = false;
  {
    std::lock_guard<std::mutex> lock(record.identityMutex);
    if (identity.serviceName) record.serviceName = *identity.serviceName;
    if (identity.sid) record.sid = *identity.sid;
    if (identity.program) record.program = *identity.program;
    if (identity.host) {
      record.host = *identity.host;
      needIp = record.ip.empty();
    }
    if (identity.username) record.username = *identity.username;
  }
  if (!needIp || !resolve) return;
  // Name resolution may block for seconds; the status listing must not wait for it.
  std::string ip = resolve(*identity.host);
  std::lock_guard<std::mutex> lock(record.identityMutex);
  record.ip = std::move(ip);
}

std::vector<std::string> ConnectTraceLines(const TThreadData& record) {
  return {" Connection SERVICE_NAME = " + record.serviceName,
          " Connection SID = " + record.sid,
          " Connection PROGRAM = " + record.program,
          " Connection HOST = " + record.host,
          " Connection IP ADDRESS = " + record.ip,
          " Connection USER = " + record.username};
}

std::vector<std::string> ConnectServiceLogLines(const TThreadData& record) {
  std::vector<std::string> lines = ConnectTraceLines(record);
  lines[0] = " Connection " + std::to_string(record.connectionNo) +
             " SERVICE_NAME = " + record.serviceName;
  return lines;
}

std::string ExtractOraUser(std::string_view text) {
  const size_t key = text.find("AUTH_TERMINAL");
  const std::string_view before =
      Trim(text.substr(0, key == std::string_view::npos ? text.size() : key));
  size_t start = before.size();
  while (start > 0) {
    const auto c = static_cast<unsigned char>(before[start - 1]);
    if (c < 48 || c > 122) break;
    --start;
  }
  return UpperCase(before.substr(start));
}

std::string ConnDateExprQueryText(std::string_view expression) {
  std::string text = "select count(*) from dual where ";
  text.append(expression);
  return text;
}

bool ServiceFilterMatches(const service::TServiceFilter& filter, const TThreadData& record,
                          const ConnDateCheck& checkDate) {
  if (!CriterionHolds(filter.service_name, record.serviceName)) return false;
  if (!CriterionHolds(filter.sid, record.sid)) return false;
  if (!CriterionHolds(filter.program, record.program)) return false;
  if (!CriterionHolds(filter.host, record.host)) return false;
  if (!CriterionHolds(filter.username, record.username)) return false;
  if (!CriterionHolds(filter.orauser, record.orauser)) return false;
  const std::string_view expression = Trim(filter.date_expr);
  if (!expression.empty()) return checkDate && checkDate(std::string(expression));
  return true;
}

ServiceFilterDecision DecideServiceFilters(const service::TServiceFilterList& filters,
                                           const TThreadData& record,
                                           const ConnDateCheck& checkDate) {
  ServiceFilterDecision decision;
  for (const service::TServiceFilter& filter : filters) {
    if (filter.filter_type != "EXCLUDE") continue;
    if (ServiceFilterMatches(filter, record, checkDate)) {
      decision.excluded = true;
      decision.traceLine =
          "Excluding this connection according to filter # " + sql::FormatNumber(filter.id);
      return decision;
    }
  }
  int includeFilters = 0;
  for (const service::TServiceFilter& filter : filters) {
    if (filter.filter_type != "INCLUDE") continue;
    ++includeFilters;
    if (ServiceFilterMatches(filter, record, checkDate)) {
      decision.traceLine =
          "Including this connection according to filter # " + sql::FormatNumber(filter.id);
      return decision;
    }
  }
  decision.excluded = includeFilters > 0;
  decision.traceLine = decision.excluded ? "Excluding this connection from monitoring."
                                         : "Including this connection for monitoring.";
  return decision;
}

void SetOraUser(TThreadData& record, std::string orauser) {
  std::lock_guard<std::mutex> lock(record.identityMutex);
  record.orauser = std::move(orauser);
}

ConnectAnalysis AnalyzeConnectText(TThreadData& record, std::string_view text, double now,
                                   bool debugConnections,
                                   const service::TServiceFilterList* filters,
                                   const HostResolver& resolve, const ConnDateCheck& checkDate) {
  ConnectAnalysis analysis;
  {
    std::lock_guard<std::mutex> lock(record.identityMutex);
    record.logonTime = now;
  }
  ApplyConnectIdentity(record, DecodeConnectDescriptor(text), resolve);
  if (debugConnections) {
    analysis.traceLines = ConnectTraceLines(record);
    analysis.serviceLogLines = ConnectServiceLogLines(record);
  }
  if (filters == nullptr) return analysis;
  const ServiceFilterDecision decision = DecideServiceFilters(*filters, record, checkDate);
  record.excluded = decision.excluded;
  analysis.traceLines.push_back(decision.traceLine);
  analysis.decided = true;
  return analysis;
}

}  // namespace qx::capture
