// The monitoring handlers of a relayed connection, attached to each active service's relay
// listener: they hand the connection's bytes to its monitor (monitor.h).
//
// Threading: each handler runs on its connection's thread under the connection's lock
// (relay.h), so the record in the data slot is the thread's own.
#pragma once

#include <string>

#include "capture/relay.h"
#include "capture/thread_data.h"
#include "service/service.h"

namespace qx::capture {

void tcpMainConnect(service::TQuorvexService& svc, TRelayConnection& connection,
                    service::TServiceData* service = nullptr);
void tcpMainExecute(service::TQuorvexService& svc, TRelayConnection& connection);
void tcpMainOutboundData(service::TQuorvexService& svc, TRelayConnection& connection);
// After a chunk has been forwarded: stores the execution its bytes completed.
void tcpMainForwarded(service::TQuorvexService& svc, TRelayConnection& connection);
void tcpMainDisconnect(service::TQuorvexService& svc, TRelayConnection& connection);
void tcpMainException(service::TQuorvexService& svc, TRelayConnection& connection,
                      const std::string& message);

// Wires the handlers into a relay listener; `service`, the listener's own service, is
// given to each connection it accepts.
void AttachRelayHandlers(service::TQuorvexService& svc, TRelayListener& listener,
                         service::TServiceData* service = nullptr);

}  // namespace qx::capture
