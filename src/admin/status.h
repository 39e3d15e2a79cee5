// `qxadmin status`: a client of a running service's managing port. It asks the four questions
// of the management protocol and shows the answers to a person, or sends one word and shows
// the raw answer.
//
// The protocol's answers carry no terminator and an empty session list is answered with no
// bytes at all, so an answer is taken as complete once nothing more has arrived for
// kQuietMs, and a question that may have an empty answer is given up after kEmptyAnswerMs.
// Questions are asked one at a time: the service treats each read as one request, so two
// questions sent together would be answered "InvalidRequest".
//
// Errors: StatusError (connection refused or lost, no answer where one is due). Threading:
// plain blocking calls; one thread per StatusClient.
#pragma once

#include <optional>
#include <ostream>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/socket.h"

namespace qx::admin {

class StatusError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// How long a connection attempt may take.
inline constexpr int kConnectTimeoutMs = 5000;
// How long to wait for the first byte of an answer that always has one; the service may be
// busy with its status timer.
inline constexpr int kAnswerTimeoutMs = 5000;
// How long to wait for the first byte of a session list that may be empty. The service answers
// within a few milliseconds when idle; after this much silence the list is taken as empty.
inline constexpr int kEmptyAnswerMs = 500;
// The answer is complete when no further byte comes for this long.
inline constexpr int kQuietMs = 100;

// One entry of the answer to "getCurrentSessionList", values as sent.
struct SessionEntry {
  std::string sessionId, logonTime, serviceName, sid, program, host, ip, oracleService,
      username, orauser;
};

// Splits a session list into its entries. Tolerant: unknown keys are ignored, a missing key
// leaves its value empty, and anything outside "@QXC@" ... "@QXC@" is skipped.
std::vector<SessionEntry> ParseSessionList(const std::string& text);

// A logon time as sent ("46365.75") as "YYYY-MM-DD HH:MM:SS"; "" for 0 (the connection has
// not sent its connect descriptor yet); the text itself when it is not a number.
std::string LogonTimeText(const std::string& value);

class StatusClient {
 public:
  // Connects to host:port; throws StatusError with the socket error when it cannot.
  StatusClient(const std::string& host, int port);
  ~StatusClient();
  StatusClient(const StatusClient&) = delete;
  StatusClient& operator=(const StatusClient&) = delete;

  // Sends `request` as it is and returns the answer, or nullopt when no byte came within
  // first_byte_ms. Throws StatusError when the service closes the connection or a socket
  // fails.
  std::optional<std::string> Ask(const std::string& request, int first_byte_ms);

 private:
  std::string where_;
  platform::SocketHandle socket_ = platform::kInvalidSocket;
};

// `qxadmin status host:port`: start time, connection counts and the sessions as a table.
// Returns the exit code (0).
int ShowStatus(const std::string& host, int port, std::ostream& out);

// `qxadmin status host:port word`: the raw answer and a line end on `out`. An empty answer
// gives a note on `err`: exit code 0 for the session list (empty means no sessions), 1 for
// any other word (which is always answered).
int ShowRawAnswer(const std::string& host, int port, const std::string& word, std::ostream& out,
                  std::ostream& err);

}  // namespace qx::admin
