// Passive monitoring of captured frames (passive.h).
#include "capture/passive.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <exception>
#include <memory>
#include <string_view>
#include <vector>

#include "capture/connect_descriptor.h"
#include "capture/connection.h"
#include "capture/monitor.h"
#include "capture/tcp_reassembly.h"
#include "platform/datetime.h"
#include "platform/platform.h"
#include "sql/sql_store.h"

namespace qx::capture {

using service::TQuorvexService;
using service::TServiceData;

namespace {

constexpr size_t kEthernet = 14;
constexpr double kMsPerDay = 86400.0 * 1000.0;

// An untagged (tagged: false) or tagged (true) Ethernet frame holding a TCP segment.
bool DecodeEthernet(const uint8_t* frame, size_t captured, bool tagged,
                    sniffer::TcpPacket* out) {
  return sniffer::DecodeTcpPacket(sniffer::kLinkEthernet, frame, captured, out) &&
         (out->vlan_tags != 0) == tagged;
}

int64_t CaptureMs(sniffer::PTpcap_pkthdr header) {
  return static_cast<int64_t>(header->ts.tv_sec) * 1000 + header->ts.tv_usec / 1000;
}

// The port first: most frames are told apart by it, without their address put into text.
bool IsServer(const TServiceData& service, const sniffer::IpAddress& address, uint16_t port) {
  return static_cast<double>(port) == service.oracle_port && address.Text() == service.oracle_host;
}

PassiveKey KeyOf(const sniffer::IpAddress& address, uint16_t port) {
  PassiveKey key;
  key.address = address.bytes;
  key.family = address.family;
  key.port = port;
  return key;
}

// A new connection sweeps the silent ones. With more records than this, at most once a second:
// the timeout is counted in minutes, and a sweep at every one of thousands of connections
// would cost more than their frames.
constexpr size_t kSweepAtEveryOpenBelow = 64;
constexpr double kSweepInterval = 1.0 / 86400.0;

std::string PortText(double port) { return std::to_string(static_cast<long long>(port)); }

// Hands one direction's reassembled bytes to the record's monitor.
class StreamToMonitor final : public TcpStreamSink {
 public:
  StreamToMonitor(TThreadData& record, oranet::Direction direction, int64_t ms)
      : record_(record), direction_(direction), ms_(ms) {}
  void OnData(const uint8_t* data, size_t length) override {
    if (!record_.monitor) return;
    const std::string_view bytes(reinterpret_cast<const char*>(data), length);
    if (direction_ == oranet::Direction::kToServer) {
      record_.monitor->ToServer(bytes, ms_);
    } else {
      record_.monitor->ToClient(bytes, ms_);
    }
  }
  void OnGap(size_t) override {
    if (record_.monitor) record_.monitor->Gap(direction_);
  }
  void OnFin() override { ended = true; }
  void OnRst() override { ended = true; }
  bool ended = false;

 private:
  TThreadData& record_;
  const oranet::Direction direction_;
  const int64_t ms_;
};

// passiveMu held. The close sequence, then the disposal of the record (it is destroyed).
void ClosePassiveConnection(TQuorvexService& svc, TServiceData& service, TThreadData& record,
                            CloseReason reason, int64_t ms) {
  // What the capture still holds out of order goes to the monitor first, gaps reported.
  if (record.monitor) {
    StreamToMonitor to_server(record, oranet::Direction::kToServer, ms);
    StreamToMonitor to_client(record, oranet::Direction::kToClient, ms);
    if (record.toServer) record.toServer->Flush(to_server);
    if (record.toClient) record.toClient->Flush(to_client);
  }
  if (record.established && !record.excluded) {
    if (reason == CloseReason::kEndOfSession && svc.debugConnections) {
      svc.WriteServiceLog("Service :: " + service.name + "Client connection from IP " +
                          record.clientIp + " port " + PortText(record.clientPort) +
                          " disconnected.");
    }
    CloseMonitoredConnection(svc, record, reason, ms);
  } else if (!record.established && record.monitor && record.monitor->SawBytes()) {
    service.health.Add(Health::kJoinedMidStream);
  }
  record.traceLines.reset();
  const auto indexed = service.passiveIndex.find(record.passiveKey);
  if (indexed != service.passiveIndex.end() && indexed->second == &record) {
    service.passiveIndex.erase(indexed);
  }
  auto& list = service.passiveConnections;
  list.erase(std::remove_if(list.begin(), list.end(),
                            [&record](const auto& r) { return r.get() == &record; }),
             list.end());
}

// Gives a kept record the connection number it was traced under, or, when a relayed
// connection took that number meanwhile, the next free one (its trace lines follow).
void TakeConnectionNumber(TQuorvexService& svc, TThreadData& record) {
  int32_t expected = record.connectionNo;
  if (svc.nextConnectionNo.compare_exchange_strong(expected, expected + 1)) return;
  const std::string old_prefix = "Connection# " + std::to_string(record.connectionNo) + ": ";
  record.connectionNo = svc.TakeConnectionNo();
  const std::string new_prefix = "Connection# " + std::to_string(record.connectionNo) + ": ";
  if (!record.traceLines) return;
  for (std::string& line : *record.traceLines) {
    if (line.compare(0, old_prefix.size(), old_prefix) == 0) {
      line.replace(0, old_prefix.size(), new_prefix);
    }
  }
}

// passiveMu held. The record of a client connection first seen now. It is watched from its
// first bytes, but counted and listed as a connection only once its connect descriptor has
// been decoded and the service filters keep it.
TThreadData* OpenPassiveConnection(TQuorvexService& svc, TServiceData& service,
                                   const sniffer::IpAddress& client, uint16_t port) {
  const double now = platform::NowDateTime();
  if (service.passiveConnections.size() < kSweepAtEveryOpenBelow ||
      now - service.passiveSweptAt >= kSweepInterval) {
    service.passiveSweptAt = now;
    SweepDeadConnections(svc, service, now);
  }
  const std::string address = client.Text();
  auto record = std::make_unique<TThreadData>();
  record->traceLines = std::make_unique<std::vector<std::string>>();
  record->historyQueue = std::make_unique<std::vector<sql::TSQLHistData>>();
  record->service = &service;
  // Peeked, not taken: a connection that is not monitored leaves the number to the next one.
  record->connectionNo = svc.nextConnectionNo.load();
  record->elapsedTime = 0;
  record->debug = service.connLogOpen.load();
  record->clientIp = address;
  record->clientPort = port;
  record->passiveKey = KeyOf(client, port);
  record->lastActivity = now;
  // The client's address is known from the frame, so the descriptor's host is not resolved.
  record->ip = address;
  record->monitor = std::make_unique<ConnectionMonitor>(svc, *record, MonitorMode::kPassive);
  TThreadData* const opened = record.get();
  service.passiveConnections.push_back(std::move(record));
  service.passiveIndex[opened->passiveKey] = opened;
  return opened;
}

// passiveMu held. After the record's bytes were fed: a connection whose descriptor was just
// decoded is numbered and counted (or, when excluded, only kept to ignore its frames).
void SettleConnection(TQuorvexService& svc, TThreadData& record, bool was_established) {
  if (was_established || !record.established) return;
  if (record.excluded) {
    record.monitor.reset();
    return;
  }
  AssignSessionNumber(svc, record);
  TakeConnectionNumber(svc, record);
  if (record.debug) record.traceSink = record.service;
  if (record.service) record.service->totalConnections.fetch_add(1);
}

// passiveMu held. One TCP segment of a connection to the service's server.
void HandleSegment(TQuorvexService& svc, TServiceData& service, const sniffer::IpAddress& client,
                   uint16_t client_port, bool from_server, const sniffer::TcpPacket& packet,
                   int64_t ms) {
  TThreadData* record = FindPassiveConnection(service, KeyOf(client, client_port));
  if (!record) {
    // A connection is followed from the client's SYN, or, when the capture joined it later,
    // from its client's first data.
    if (from_server || (packet.payload_length == 0 && !packet.flags.syn)) return;
    record = OpenPassiveConnection(svc, service, client, client_port);
  }
  auto& stream = from_server ? record->toClient : record->toServer;
  if (!stream) stream = std::make_unique<TcpStreamReassembler>();
  StreamToMonitor sink(*record,
                       from_server ? oranet::Direction::kToClient : oranet::Direction::kToServer,
                       ms);
  const bool was_established = record->established;
  stream->Segment(packet.sequence, packet.flags, packet.payload, packet.payload_length, sink);
  // The peer's acknowledgement tells which bytes of the other direction it has: those the
  // capture never saw are lost, and the stream resumes after them instead of waiting.
  auto& other = from_server ? record->toServer : record->toClient;
  if (other && packet.flags.ack) {
    StreamToMonitor other_sink(*record,
                               from_server ? oranet::Direction::kToServer
                                           : oranet::Direction::kToClient,
                               ms);
    other->Acknowledged(packet.acknowledgement, other_sink);
    sink.ended = sink.ended || other_sink.ended;
  }
  SettleConnection(svc, *record, was_established);
  if (sink.ended || (record->monitor && record->monitor->SessionEnded())) {
    ClosePassiveConnection(svc, service, *record, CloseReason::kEndOfSession, ms);
  }
}

}  // namespace

std::string TcpPayloadText(const uint8_t* frame, size_t captured) {
  sniffer::TcpPacket packet;
  if (!DecodeEthernet(frame, captured, false, &packet) || packet.source.family != 4) {
    return std::string();
  }
  const size_t headers = kEthernet + packet.HeaderBytes();
  const size_t taken =
      headers >= kPassivePayloadLimit
          ? 0
          : std::min(packet.payload_length, kPassivePayloadLimit - headers);
  return std::string(reinterpret_cast<const char*>(packet.payload), taken);
}

void PassiveSegment(TQuorvexService& svc, sniffer::TSniffer* sender,
                    const sniffer::TcpPacket& packet, int64_t ms) {
  const sniffer::IpAddress& source = packet.source;
  const sniffer::IpAddress& destination = packet.destination;
  const uint16_t source_port = packet.source_port;
  const uint16_t destination_port = packet.destination_port;
  if (ms < 0) ms = MonitorNowMs();

  for (const auto& entry : svc.services) {
    TServiceData& service = *entry;
    if (!sender || service.sniffer != sender) continue;
    const bool from_server = IsServer(service, source, source_port);
    if (!from_server && !IsServer(service, destination, destination_port)) continue;
    try {
      std::lock_guard<std::mutex> lock(service.passiveMu);
      if (from_server) {
        HandleSegment(svc, service, destination, destination_port, true, packet, ms);
      } else {
        HandleSegment(svc, service, source, source_port, false, packet, ms);
      }
    } catch (const std::exception& e) {
      svc.ReportError("Service :: " + service.name + " error while handling a captured frame: " +
                      e.what());
    } catch (...) {
      svc.ReportError("Service :: " + service.name +
                      " error while handling a captured frame: unknown error");
    }
  }
}

void PassiveFrame(TQuorvexService& svc, sniffer::TSniffer* sender, const uint8_t* frame,
                  size_t captured, int64_t ms) {
  sniffer::TcpPacket packet;
  if (DecodeEthernet(frame, captured, false, &packet)) PassiveSegment(svc, sender, packet, ms);
}

void PassivePacket(TQuorvexService& svc, sniffer::TSniffer* sender,
                   sniffer::PTpcap_pkthdr header, sniffer::PTCPPckt data) {
  if (!header || !data) return;
  PassiveFrame(svc, sender, reinterpret_cast<const uint8_t*>(data), header->caplen,
               CaptureMs(header));
}

void PassiveTaggedFrame(TQuorvexService& svc, sniffer::TSniffer* sender,
                        sniffer::PTpcap_pkthdr header, const uint8_t* frame) {
  if (!header || !frame) return;
  sniffer::TcpPacket packet;
  if (DecodeEthernet(frame, header->caplen, true, &packet)) {
    PassiveSegment(svc, sender, packet, CaptureMs(header));
  }
}

void AttachPassiveHandlers(TQuorvexService& svc, sniffer::TSniffer& sniffer) {
  TQuorvexService* s = &svc;
  sniffer.OnCaptureSegment = [s](sniffer::TSniffer* sender, sniffer::PTpcap_pkthdr header,
                                 const sniffer::TcpPacket& packet) {
    PassiveSegment(*s, sender, packet, CaptureMs(header));
  };
}

TThreadData* FindPassiveConnection(TServiceData& service, const PassiveKey& key) {
  const auto found = service.passiveIndex.find(key);
  return found == service.passiveIndex.end() ? nullptr : found->second;
}

void SweepDeadConnections(TQuorvexService& svc, TServiceData& service, double now) {
  // Compared in whole milliseconds: a day count cannot hold 24 hours to the last bit.
  const long long timeout_ms = static_cast<long long>(svc.deadConnectionTimeout) * 60000;
  auto& list = service.passiveConnections;
  for (size_t i = list.size(); i-- > 0;) {
    TThreadData& record = *list[i];
    const long long silent_ms = std::llround((now - record.lastActivity) * kMsPerDay);
    if (silent_ms < timeout_ms) continue;
    if (record.established && !record.excluded) {
      svc.WriteServiceLog("Timeout client connection from IP " + record.clientIp + " port " +
                          PortText(record.clientPort) + " disconnected.");
    }
    // A silent client says nothing about how long the server worked on its last request.
    ClosePassiveConnection(svc, service, record, CloseReason::kTimeout, -1);
  }
}

void SweepDeadConnections(TQuorvexService& svc, TServiceData& service) {
  SweepDeadConnections(svc, service, platform::NowDateTime());
}

void FlushPassiveConnections(TQuorvexService& svc, TServiceData& service) {
  std::lock_guard<std::mutex> lock(service.passiveMu);
  auto& list = service.passiveConnections;
  while (!list.empty()) {
    ClosePassiveConnection(svc, service, *list.back(), CloseReason::kStop, MonitorNowMs());
  }
}

}  // namespace qx::capture
