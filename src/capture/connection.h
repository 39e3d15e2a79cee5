// The connection operations that need the service: session numbering from the repository,
// the creation and registration of a relayed connection's record, finding a connection's
// service, writing its trace, and decoding its connect descriptor with the service filters.
//
// Threading: every function runs on the thread that owns the record (a relay connection's
// thread under that connection's lock, or a capture thread); shared state is reached through
// the service object's locks (relayMu, the session, the logs).
#pragma once

#include <string>
#include <string_view>

#include "capture/relay.h"
#include "capture/thread_data.h"
#include "service/service.h"

namespace qx::capture {

// The next value of qx_session_id_seq. Repository errors reach the caller.
double NextSessionId(service::TQuorvexService& svc);

// Gives the record its session number without waiting for the repository: a reserved one, or
// (none ready) a placeholder key that the history writer resolves. Never throws.
void AssignSessionNumber(service::TQuorvexService& svc, TThreadData& record);

// Creates the record of a newly accepted relay connection, stores it in the connection's data
// slot, lists the connection in relayThreads and announces it. The repository is not asked
// for anything: a connection is recorded and relayed whatever state the repository is in.
// `service` is the listener's service when the caller knows it (then no list is searched,
// which start-up may still be filling); null: found by the connection's local port.
void CreateConnection(service::TQuorvexService& svc, TRelayConnection& connection,
                      service::TServiceData* service = nullptr);

// The monitored service of a relay connection, or null.
service::TServiceData* FindConnectionService(service::TQuorvexService& svc,
                                             TRelayConnection* connection);

// The record's service, or through its relay connection; null when none.
service::TServiceData* RecordService(service::TQuorvexService& svc, TThreadData& record);

// Writes the trace to the service's connection log (when open) and empties it.
void FlushTrace(service::TQuorvexService& svc, TThreadData& record);

// Decodes the connect descriptor into the record and lets the service filters decide.
void AnalyzeConnectData(service::TQuorvexService& svc, TThreadData& record,
                        std::string_view text);

// The first IPv4 address of the host name, dotted; "" when it does not resolve. Answers are
// kept for a minute (host_cache.h).
std::string ResolveHostIp(const std::string& host);

// Evaluates a service filter's date condition in the repository; false on any error.
bool CheckConnDateExpr(service::TQuorvexService& svc, const std::string& expression);

// Removes the record from the relay connection's data slot and the connection from
// relayThreads, and destroys the record (with its trace and queue). Call with the
// connection's lock held (as every handler is).
void ReleaseConnection(service::TQuorvexService& svc, TRelayConnection& connection);

}  // namespace qx::capture
