// The monitoring handlers of a relayed connection, attached to each active service's relay
// listener, and the client-chunk processing that the passive mode shares.
//
// Threading: each handler runs on its connection's thread under the connection's lock
// (relay.h), so the record in the data slot is the thread's own.
#pragma once

#include <string>

#include "capture/relay.h"
#include "capture/thread_data.h"
#include "service/service.h"

namespace qx::capture {

void tcpMainConnect(service::TQuorvexService& svc, TRelayConnection& connection);
void tcpMainExecute(service::TQuorvexService& svc, TRelayConnection& connection);
void tcpMainOutboundData(service::TQuorvexService& svc, TRelayConnection& connection);
void tcpMainDisconnect(service::TQuorvexService& svc, TRelayConnection& connection);
void tcpMainException(service::TQuorvexService& svc, TRelayConnection& connection,
                      const std::string& message);

// One client chunk of a monitored, established connection (already upper-cased in active
// mode): Oracle user, request timing, and the statement boundary when the chunk carries a
// statement. A refused catalogue insert or history row is reported inside; a failing catalogue
// look-up (and any other error) reaches the caller.
void ProcessClientChunk(service::TQuorvexService& svc, TThreadData& record,
                        const std::string& text);

// Wires the five handlers into a relay listener.
void AttachRelayHandlers(service::TQuorvexService& svc, TRelayListener& listener);

}  // namespace qx::capture
