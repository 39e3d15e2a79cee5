// The management protocol: four request words on each service's managing port, answered with
// plain text and no terminator ("getStarted", "getCurrConn", "getTotConn",
// "getCurrentSessionList"; anything else is "InvalidRequest").
//
// Threading: runs on the service thread. The connection lists are walked under their locks
// (relayMu, the service's passiveMu), which the connection threads also hold while they add a
// record to a list or take it out before destroying it, so a record being destroyed is never
// read. Each record's identity fields are read under its identityMutex. The relay's per-
// connection handler lock is not taken, so a slow handler never holds up a status answer.
#pragma once

#include <string>

#include "manage/manage_listener.h"
#include "platform/socket.h"
#include "service/service.h"

namespace qx::manage {

// Handles one read event of a client of the managing listener on `local_port`. Returns false
// when the client has closed the connection.
bool ManageRequest(service::TQuorvexService& svc, int local_port, platform::SocketHandle client);

// The answer to a request text (already received), for the service on `local_port`.
std::string AnswerRequest(service::TQuorvexService& svc, int local_port,
                          const std::string& request);

int CurrentConnectionCount(service::TQuorvexService& svc, service::TServiceData& service);
std::string SessionListText(service::TQuorvexService& svc, service::TServiceData& service);

// General format, up to 15 significant digits, always a full stop: 46000.75, 46000, 1234567.
std::string GeneralNumber(double value);

}  // namespace qx::manage
