// Answers to the management requests.
#include "manage/manage.h"

#include <charconv>
#include <cmath>
#include <functional>

#include "capture/relay.h"
#include "capture/thread_data.h"
#include "platform/datetime.h"
#include "platform/net.h"

namespace qx::manage {
namespace {

using capture::TThreadData;
using service::TQuorvexService;
using service::TServiceData;

// Calls fn(record) for each record of `service`'s connections, in list order. The list's
// lock is held throughout: a record leaves its list before it is destroyed (ReleaseConnection,
// the passive sweep), so every record met here is alive. The record's own identity lock is
// taken by fn. The relay connection's handler lock is deliberately not taken: a handler may
// spend seconds on the repository or on name resolution, and the service thread must not wait
// for it.
void ForEachRecord(TQuorvexService& svc, TServiceData& service,
                   const std::function<void(const TThreadData&)>& fn) {
  if (service.sniffer) {
    std::lock_guard<std::mutex> lock(service.passiveMu);
    for (const auto& rec : service.passiveConnections) fn(*rec);
    return;
  }
  std::lock_guard<std::mutex> lock(svc.relayMu);
  for (const auto& conn : svc.relayThreads) {
    // `data` is set before the connection is listed and reset only after it has left the list.
    const TThreadData* rec = conn->data.get();
    if (rec && rec->service == &service) fn(*rec);
  }
}

}  // namespace

std::string GeneralNumber(double value) {
  char buf[64];
  const auto r = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::general, 15);
  return std::string(buf, r.ptr);
}

int CurrentConnectionCount(TQuorvexService& svc, TServiceData& service) {
  int count = 0;
  ForEachRecord(svc, service, [&](const TThreadData& rec) {
    std::lock_guard<std::mutex> identity(rec.identityMutex);
    if (service.sniffer || rec.established) ++count;
  });
  return count;
}

std::string SessionListText(TQuorvexService& svc, TServiceData& service) {
  std::string out;
  ForEachRecord(svc, service, [&](const TThreadData& rec) {
    std::lock_guard<std::mutex> identity(rec.identityMutex);
    out += "@QXC@";
    out += "session_id=" + GeneralNumber(rec.sessionId);
    out += "@QXR@logontime=" + GeneralNumber(rec.logonTime);
    out += "@QXR@service_name=" + rec.serviceName;
    out += "@QXR@sid=" + rec.sid;
    out += "@QXR@program_name=" + rec.program;
    out += "@QXR@host=" + rec.host;
    out += "@QXR@ip=" + rec.ip;
    out += "@QXR@oracle_service=" + rec.serviceName;
    out += "@QXR@username=" + rec.username;
    out += "@QXR@orauser=" + rec.orauser;
    out += "@QXR@@QXC@";
  });
  return out;
}

std::string AnswerRequest(TQuorvexService& svc, int local_port, const std::string& text) {
  TServiceData* service = nullptr;
  for (const auto& s : svc.services) {
    if (static_cast<int>(std::trunc(s->manage_port)) == local_port) {
      service = s.get();
      break;
    }
  }
  if (!service) {
    svc.WriteErrorLog(
        "Unable to find managing service for port '. Sending invalid response back to client.");
    svc.WriteServiceLog("Unable to find managing service. Sending invalid response back to client.");
    return "InvalidRequest";
  }
  const std::string request = service::Trim(text);
  if (request == "getStarted") return platform::FormatTimestamp(service->startTime);
  if (request == "getCurrConn") return std::to_string(CurrentConnectionCount(svc, *service));
  if (request == "getTotConn") return std::to_string(service->totalConnections.load());
  if (request == "getCurrentSessionList") return SessionListText(svc, *service);
  if (request == "getCaptureStats") return capture::HealthText(service->health.Snapshot());
  return "InvalidRequest";
}

bool ManageRequest(TQuorvexService& svc, int local_port, platform::SocketHandle client) {
  // One receive takes what is waiting now: each read event is one request.
  char buffer[65536];
  platform::SocketError error;
  const long n = platform::Receive(client, buffer, sizeof buffer, &error);
  if (n == 0) return false;
  if (n < 0) {
    // A readiness report with nothing behind it (the descriptor number may have been reused
    // within one pass of the loop) is no request: the client is neither answered nor dropped.
    if (error.code == platform::kWouldBlock) return true;
    throw ManageError(error.Message());
  }
  const std::string answer =
      AnswerRequest(svc, local_port, std::string(buffer, static_cast<size_t>(n)));
  // One send: what the socket does not take now is dropped, as a status client expects a
  // short answer and must not be able to stall the service thread.
  if (!answer.empty() && platform::SendSome(client, answer.data(), answer.size(), &error) < 0) {
    throw ManageError(error.Message());
  }
  return true;
}

}  // namespace qx::manage
