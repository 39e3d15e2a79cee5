// qxadmin status: the managing-port client and its report.
#include "admin/status.h"

#include <charconv>
#include <cstdio>

#include "admin/table_printer.h"
#include "platform/datetime.h"
#include "platform/net.h"

namespace qx::admin {
namespace {

// "Connection refused. (socket error 10061)": the code's short text first, for people.
std::string Describe(const platform::SocketError& e) {
  return e.text + " (socket error " + std::to_string(e.code) + ")";
}

std::vector<std::string> Split(const std::string& text, const std::string& separator) {
  std::vector<std::string> parts;
  size_t pos = 0;
  for (;;) {
    const size_t at = text.find(separator, pos);
    if (at == std::string::npos) {
      parts.push_back(text.substr(pos));
      return parts;
    }
    parts.push_back(text.substr(pos, at - pos));
    pos = at + separator.size();
  }
}

bool IsCount(const std::string& text, long* value) {
  const auto r = std::from_chars(text.data(), text.data() + text.size(), *value);
  return r.ec == std::errc() && r.ptr == text.data() + text.size();
}

std::string Required(StatusClient& client, const std::string& where, const std::string& word) {
  std::optional<std::string> answer = client.Ask(word, kAnswerTimeoutMs);
  if (!answer) {
    throw StatusError("no answer to " + word + " from " + where + " within " +
                      std::to_string(kAnswerTimeoutMs) + " ms");
  }
  return *answer;
}

}  // namespace

std::vector<SessionEntry> ParseSessionList(const std::string& text) {
  std::vector<SessionEntry> entries;
  for (const std::string& piece : Split(text, "@QXC@")) {
    SessionEntry e;
    bool any = false;
    for (const std::string& field : Split(piece, "@QXR@")) {
      const size_t eq = field.find('=');
      if (eq == std::string::npos) continue;
      const std::string key = field.substr(0, eq);
      std::string value = field.substr(eq + 1);
      std::string* slot = key == "session_id"       ? &e.sessionId
                          : key == "logontime"      ? &e.logonTime
                          : key == "service_name"   ? &e.serviceName
                          : key == "sid"            ? &e.sid
                          : key == "program_name"   ? &e.program
                          : key == "host"           ? &e.host
                          : key == "ip"             ? &e.ip
                          : key == "oracle_service" ? &e.oracleService
                          : key == "username"       ? &e.username
                          : key == "orauser"        ? &e.orauser
                                                    : nullptr;
      if (!slot) continue;
      *slot = std::move(value);
      any = true;
    }
    if (any) entries.push_back(std::move(e));
  }
  return entries;
}

std::string LogonTimeText(const std::string& value) {
  double days = 0;
  const auto r = std::from_chars(value.data(), value.data() + value.size(), days);
  if (r.ec != std::errc() || r.ptr != value.data() + value.size()) return value;
  if (days == 0) return "";
  // Year 1900 to 9999: anything else is not a logon time the service could have taken.
  if (!(days >= 1 && days < 2958466)) return value;
  const platform::LocalTime t = platform::DecodeDateTime(days);
  char buf[32];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d", t.year, t.month, t.day, t.hour,
                t.minute, t.second);
  return buf;
}

StatusClient::StatusClient(const std::string& host, int port)
    : where_(host + ":" + std::to_string(port)) {
  platform::SocketError error;
  socket_ = platform::ConnectTcpWithin(host, port, kConnectTimeoutMs, &error);
  if (socket_ == platform::kInvalidSocket) {
    throw StatusError("cannot connect to " + where_ + ": " + Describe(error) +
                      "; is the service running, and is this its managing port?");
  }
}

StatusClient::~StatusClient() { platform::Close(socket_); }

std::optional<std::string> StatusClient::Ask(const std::string& request, int first_byte_ms) {
  platform::SocketError error;
  if (!platform::SendAll(socket_, request.data(), request.size(), &error)) {
    throw StatusError("lost the connection to " + where_ + ": " + Describe(error));
  }
  std::string answer;
  int wait = first_byte_ms;
  for (;;) {
    bool ready = false, unused = false;
    if (!platform::WaitReadable(socket_, platform::kInvalidSocket, &ready, &unused, wait,
                                &error)) {
      throw StatusError("waiting for " + where_ + " failed: " + Describe(error));
    }
    if (!ready) break;
    char buffer[65536];
    const long n = platform::Receive(socket_, buffer, sizeof buffer, &error);
    if (n < 0) throw StatusError("lost the connection to " + where_ + ": " + Describe(error));
    if (n == 0) {
      if (answer.empty()) {
        throw StatusError(where_ + " closed the connection without answering " + request);
      }
      break;
    }
    answer.append(buffer, static_cast<size_t>(n));
    wait = kQuietMs;
  }
  if (answer.empty()) return std::nullopt;
  return answer;
}

int ShowStatus(const std::string& host, int port, std::ostream& out) {
  const std::string where = host + ":" + std::to_string(port);
  StatusClient client(host, port);
  const std::string started = Required(client, where, "getStarted");
  const std::string current = Required(client, where, "getCurrConn");
  const std::string total = Required(client, where, "getTotConn");
  // With established connections the list cannot be empty, so its answer is waited for as
  // long as any other; otherwise silence may just mean "no sessions".
  long established = 0;
  const bool surely_listed = IsCount(current, &established) && established > 0;
  const std::string list =
      client.Ask("getCurrentSessionList", surely_listed ? kAnswerTimeoutMs : kEmptyAnswerMs)
          .value_or("");
  const std::vector<SessionEntry> sessions = ParseSessionList(list);

  out << "Service at " << where << "\n";
  out << "Started:              " << started << "\n";
  out << "Current connections:  " << current << "\n";
  out << "Total connections:    " << total << "\n";
  if (sessions.empty()) {
    out << "Sessions:             none\n";
    return 0;
  }
  out << "Sessions:             " << sessions.size() << "\n\n";
  Table t{{"SESSION_ID", "LOGON_TIME", "SERVICE_NAME", "SID", "PROGRAM", "HOST", "IP", "OS_USER",
           "ORACLE_USER"},
          {}};
  for (const SessionEntry& s : sessions) {
    std::string logon = LogonTimeText(s.logonTime);
    if (logon.empty()) logon = "-";
    t.rows.push_back({s.sessionId, logon, s.serviceName, s.sid, s.program, s.host, s.ip,
                      s.username, s.orauser});
  }
  PrintAligned(t, out);
  return 0;
}

int ShowRawAnswer(const std::string& host, int port, const std::string& word, std::ostream& out,
                  std::ostream& err) {
  const std::string where = host + ":" + std::to_string(port);
  StatusClient client(host, port);
  // The service trims the request, so " getCurrentSessionList\r\n" may be empty too.
  size_t b = 0, e = word.size();
  while (b < e && static_cast<unsigned char>(word[b]) <= ' ') ++b;
  while (e > b && static_cast<unsigned char>(word[e - 1]) <= ' ') --e;
  const bool may_be_empty = word.compare(b, e - b, "getCurrentSessionList") == 0;
  const int wait = may_be_empty ? kEmptyAnswerMs : kAnswerTimeoutMs;
  const std::optional<std::string> answer = client.Ask(word, wait);
  if (answer) {
    out << *answer << "\n";
    return 0;
  }
  if (may_be_empty) {
    err << "qxadmin: no answer from " << where << " within " << wait
        << " ms: the session list is empty (the service sends nothing for it)\n";
    return 0;
  }
  err << "qxadmin: no answer from " << where << " within " << wait << " ms\n";
  return 1;
}

}  // namespace qx::admin
