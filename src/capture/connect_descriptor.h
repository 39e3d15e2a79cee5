// Reading a client's identity from its Oracle Net connect descriptor, the Oracle user from its
// authentication data, and the service-filter decision that says whether the connection is
// monitored. Nothing here parses the protocol: keywords are searched in the packet text and
// values cut between "=" and ")", which is all the descriptor notation needs and survives any
// framing around it.
//
// The pieces are pure so that both modes share them and tests drive them without a network or
// a repository. AnalyzeConnectText puts them together; its caller supplies the service's
// filters, the resolver and the repository's date check, and writes the returned lines to the
// trace and the service log.
//
// Threading: ApplyConnectIdentity, SetOraUser and AnalyzeConnectText write the record's identity
// fields under its identityMutex and run on the thread that owns the record; everything else
// only reads its arguments.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "capture/thread_data.h"
#include "service/filters.h"

namespace qx::capture {

// True when the text contains "DESCRIPTION", "ADDRESS" and "PROTOCOL=TCP" anywhere (case
// sensitive: the relay upper-cases its chunks first, the capture thread does not).
bool IsConnectDescriptor(std::string_view text);

// The values a descriptor gives, upper case. A keyword the descriptor lacks is nullopt and
// leaves the record's field as it was; a keyword without a closing ")" gives "".
struct TConnectIdentity {
  std::optional<std::string> serviceName;  // SERVICE_NAME
  std::optional<std::string> sid;          // SID
  std::optional<std::string> program;      // PROGRAM
  std::optional<std::string> host;         // HOST
  std::optional<std::string> username;     // USER
};

// Searches from "CONNECT_DATA" on (the whole text when absent), so HOST is the client's host in
// CID, not the server's in ADDRESS. Each keyword's first occurrence counts, wherever it stands.
TConnectIdentity DecodeConnectDescriptor(std::string_view text);

// Resolves a host name to the first IPv4 address in dotted decimal, "" when it cannot.
using HostResolver = std::function<std::string(const std::string& hostName)>;

// Stores the decoded values in the record. When a HOST was decoded and the record has no ip
// yet, ip := resolve(host); the resolver runs without the record's lock held.
void ApplyConnectIdentity(TThreadData& record, const TConnectIdentity& identity,
                          const HostResolver& resolve);

// The six debug lines for the trace (each passed to AddTrace) and for the service log.
std::vector<std::string> ConnectTraceLines(const TThreadData& record);
std::vector<std::string> ConnectServiceLogLines(const TThreadData& record);

// The Oracle user name that precedes "AUTH_TERMINAL" in authentication data, upper case: the
// run of bytes 48..122 at the end of the trimmed text before the key; "" when there is none.
std::string ExtractOraUser(std::string_view text);

// Evaluates a filter's trimmed date_expr in the repository (binding :CONN_TIME to now); false
// on any failure.
using ConnDateCheck = std::function<bool(const std::string& expression)>;

// "select count(*) from dual where " + expression: the query the date check runs.
std::string ConnDateExprQueryText(std::string_view expression);

// Whether one service filter matches the record: every non-empty trimmed criterion equals the
// record's trimmed field (letters compared without regard to case), then the date condition.
bool ServiceFilterMatches(const service::TServiceFilter& filter, const TThreadData& record,
                          const ConnDateCheck& checkDate);

struct ServiceFilterDecision {
  bool excluded = false;
  std::string traceLine;  // always one line for the connection's trace
};

// The monitoring decision over a service's filters: the first matching EXCLUDE filter
// excludes; else the first matching INCLUDE filter includes; else the connection is monitored
// only when the service has no INCLUDE filter.
ServiceFilterDecision DecideServiceFilters(const service::TServiceFilterList& filters,
                                           const TThreadData& record,
                                           const ConnDateCheck& checkDate);

// Stores an Oracle user found by ExtractOraUser.
void SetOraUser(TThreadData& record, std::string orauser);

struct ConnectAnalysis {
  std::vector<std::string> traceLines;       // for AddTrace, in order
  std::vector<std::string> serviceLogLines;  // for the service log, in order
  bool decided = false;  // the filters were applied and `excluded` set
};

// The whole decoding of a connect packet into the record: logonTime := now, the identity (with
// the ip resolved when missing), the six debug lines for trace and service log when
// debugConnections is set, and — when the connection's service is known (`filters` not null) —
// the filter decision in `excluded` with its trace line. Without a service `excluded` keeps its
// value. The caller sets `established` afterwards.
ConnectAnalysis AnalyzeConnectText(TThreadData& record, std::string_view text, double now,
                                   bool debugConnections,
                                   const service::TServiceFilterList* filters,
                                   const HostResolver& resolve, const ConnDateCheck& checkDate);

}  // namespace qx::capture
