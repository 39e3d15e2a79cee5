// Passive monitoring of captured frames (passive.h).
#include "capture/passive.h"

#include <algorithm>
#include <cmath>
#include <exception>
#include <memory>
#include <string_view>
#include <vector>

#include "capture/connect_descriptor.h"
#include "capture/connection.h"
#include "capture/relay_handlers.h"
#include "platform/datetime.h"
#include "platform/platform.h"
#include "sql/sql_store.h"

namespace qx::capture {

using service::TQuorvexService;
using service::TServiceData;

namespace {

constexpr size_t kEthernet = 14;
constexpr size_t kMinIpHeader = 20;
constexpr size_t kMinTcpHeader = 20;
constexpr double kMsPerDay = 86400.0 * 1000.0;

// Where the TCP header and payload of a frame lie; all offsets inside the captured bytes.
struct FrameLayout {
  size_t tcp = 0;    // start of the TCP header
  size_t start = 0;  // start of the payload
  size_t end = 0;    // end of the payload (<= captured); start when there is none
};

// False for anything but a first (or only) fragment of an Ethernet/IPv4/TCP frame whose IP
// and TCP headers were captured whole.
bool ReadLayout(const uint8_t* f, size_t captured, FrameLayout* out) {
  if (!f || captured < kEthernet + kMinIpHeader) return false;
  if (sniffer::Get16(f + 12) != 0x0800 || (f[14] >> 4) != 4 || f[23] != 6) return false;
  if ((sniffer::Get16(f + 20) & 0x1fff) != 0) return false;  // no TCP header in it
  const size_t ip_header = static_cast<size_t>(f[14] & 0x0f) * 4;
  if (ip_header < kMinIpHeader) return false;
  const size_t tcp = kEthernet + ip_header;
  if (captured < tcp + kMinTcpHeader) return false;
  const size_t tcp_header = static_cast<size_t>(f[tcp + 12] >> 4) * 4;
  if (tcp_header < kMinTcpHeader || captured < tcp + tcp_header) return false;
  const size_t ip_total = sniffer::Get16(f + 16);
  size_t end = ip_total == 0 ? captured : kEthernet + ip_total;
  end = std::min({end, captured, kPassivePayloadLimit});
  out->tcp = tcp;
  out->start = tcp + tcp_header;
  out->end = std::max(end, out->start);
  return true;
}

bool IsServer(const TServiceData& service, const std::string& address, uint16_t port) {
  return address == service.oracle_host && static_cast<double>(port) == service.oracle_port;
}

// The client's closing data packet, recognised as its byte dump containing the header of a
// ten-byte data packet: "10 0 0 6 0 0 0 0" with a 2-byte length; with the 4-byte length that
// servers from 12c on switch to after ACCEPT, "0 0 0 10 6 F 0 0 0 64", where the packet flags F
// are 32 (large SDU) or 0: clients differ, node-oracledb for one leaves them 0. The dump is
// built only when the bytes that any match needs are present, which is rare.
bool IsEndPacket(std::string_view payload) {
  static constexpr char kTwoByteCore[] = {0, 0, 6, 0, 0, 0, 0};
  static constexpr char kFourByteCores[2][9] = {{0, 0, 10, 6, 32, 0, 0, 0, 64},
                                                {0, 0, 10, 6, 0, 0, 0, 0, 64}};
  bool maybe = payload.find(std::string_view(kTwoByteCore, sizeof kTwoByteCore)) !=
               std::string_view::npos;
  for (const auto& core : kFourByteCores) {
    maybe = maybe || payload.find(std::string_view(core, sizeof core)) != std::string_view::npos;
  }
  if (!maybe) return false;
  const std::string dump = DumpBytes(payload);
  return dump.find("10 0 0 6 0 0 0 0") != std::string::npos ||
         dump.find("0 0 0 10 6 32 0 0 0 64") != std::string::npos ||
         dump.find("0 0 0 10 6 0 0 0 0 64") != std::string::npos;
}

std::string PortText(double port) { return std::to_string(static_cast<long long>(port)); }

enum class CloseReason { kEndPacket, kTimeout, kStop };

// passiveMu held. The closing steps, then the disposal of the record (it is destroyed).
void ClosePassiveConnection(TQuorvexService& svc, TServiceData& service, TThreadData& record,
                            CloseReason reason) {
  const std::string n = std::to_string(record.connectionNo);
  try {
    if (reason == CloseReason::kTimeout) {
      record.elapsedTime = ElapsedIncrement(record, true);
      if (record.debug) {
        // The computed time goes only to the trace: the statement is stored with 0 below,
        // as a silent client says nothing about how long the server worked.
        const auto stamped = [&record](const std::string& text) {
          AddTrace(record, std::to_string(platform::TickCount()) + "::" + text);
        };
        const std::string rule = "------ SQL elapsedTime Insert Timeout ------";
        stamped(rule);
        stamped(record.sqlText);
        stamped("ThreadData.elap3 := " + std::to_string(record.elap3));
        stamped("ThreadData.elap2 := " + std::to_string(record.elap2));
        stamped("ThreadData.elap1 := " + std::to_string(record.elap1));
        stamped("ThreadData.elapsedTime := " + std::to_string(record.elapsedTime));
        stamped(rule);
      }
    } else {
      record.elapsedTime = 0;
    }
    if (reason == CloseReason::kStop) {
      const std::string line = "Connection disconnected for host " + record.host;
      AddTrace(record, line);
      svc.WriteServiceLog(line);
    }
    if (!record.sqlSkip) sql::SaveSQL(svc, record, 0);
    sql::InsertSQLHistory(svc, record, true);
    sql::CloseSQLHistory(svc, record);
    FlushTrace(svc, record);
  } catch (const std::exception& e) {
    const std::string rest = " error received while saving SQL execution history for host " +
                             record.host + ": " + e.what();
    switch (reason) {
      case CloseReason::kEndPacket:
        svc.WriteServiceLog("Service :: " + service.name + "Connection # " + n + rest);
        svc.WriteErrorLog("Service :: " + service.name + " Connection # " + n + rest);
        break;
      case CloseReason::kTimeout:
        svc.ReportError("Timeout Connection # " + n + rest);
        break;
      case CloseReason::kStop:
        svc.ReportError("Connection # " + n + " error received while disconnecting for host " +
                        record.host + ": " + e.what());
        break;
    }
  }
  record.traceLines.reset();
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

// passiveMu held. A new connection from the client's connect packet: the record when it is
// monitored (listed and counted), null when the service filters exclude it.
TThreadData* OpenPassiveConnection(TQuorvexService& svc, TServiceData& service,
                                   const std::string& address, uint16_t port,
                                   const std::string& payload) {
  SweepDeadConnections(svc, service);
  auto record = std::make_unique<TThreadData>();
  record->traceLines = std::make_unique<std::vector<std::string>>();
  record->historyQueue = std::make_unique<std::vector<sql::TSQLHistData>>();
  record->service = &service;
  // Peeked, not taken: an excluded connection must leave the number to the next one.
  record->connectionNo = svc.nextConnectionNo.load();
  AssignSessionNumber(svc, *record);
  record->elapsedTime = 0;
  record->debug = service.connLogOpen.load();
  record->clientIp = address;
  record->clientPort = port;
  if (svc.debugConnections) {
    svc.WriteServiceLog("Service :: " + service.name + " New client connection from IP " +
                        address + " port " + std::to_string(port) + " detected.");
  }
  // The client's address is known from the frame, so the descriptor's host is not resolved.
  record->ip = address;
  AnalyzeConnectData(svc, *record, payload);
  record->established = true;
  if (svc.debugConnections) {
    svc.WriteServiceLog("Service :: " + service.name +
                        (record->excluded ? " Disabling" : " Enabling") +
                        " monitoring of new connection from host " + record->host);
  }
  if (record->excluded) return nullptr;
  TakeConnectionNumber(svc, *record);
  service.passiveConnections.push_back(std::move(record));
  service.totalConnections.fetch_add(1);
  return service.passiveConnections.back().get();
}

// passiveMu held.
void HandleClientFrame(TQuorvexService& svc, TServiceData& service, const std::string& address,
                       uint16_t port, const std::string& payload) {
  TThreadData* record = FindPassiveConnection(service, address, port);
  if (!record && IsConnectDescriptor(payload)) {
    record = OpenPassiveConnection(svc, service, address, port, payload);
  }
  if (!record) return;
  if (IsEndPacket(payload)) {
    if (svc.debugConnections) {
      svc.WriteServiceLog("Service :: " + service.name + "Client connection from IP " + address +
                          " port " + std::to_string(port) + " disconnected.");
    }
    ClosePassiveConnection(svc, service, *record, CloseReason::kEndPacket);
    return;
  }
  ProcessClientChunk(svc, *record, payload);
}

// passiveMu held.
void HandleServerFrame(TServiceData& service, const std::string& address, uint16_t port) {
  TThreadData* record = FindPassiveConnection(service, address, port);
  if (record && record->established && !record->excluded) CountResponse(*record);
}

}  // namespace

std::string TcpPayloadText(const uint8_t* frame, size_t captured) {
  FrameLayout layout;
  if (!ReadLayout(frame, captured, &layout)) return std::string();
  return std::string(reinterpret_cast<const char*>(frame) + layout.start,
                     layout.end - layout.start);
}

void PassiveFrame(TQuorvexService& svc, sniffer::TSniffer* sender, const uint8_t* frame,
                  size_t captured) {
  FrameLayout layout;
  if (!ReadLayout(frame, captured, &layout)) return;
  const std::string source = sniffer::IPToStr(sniffer::Get32(frame + 26));
  const std::string destination = sniffer::IPToStr(sniffer::Get32(frame + 30));
  const uint16_t source_port = sniffer::Get16(frame + layout.tcp);
  const uint16_t destination_port = sniffer::Get16(frame + layout.tcp + 2);
  std::string payload;
  bool payload_ready = false;

  for (const auto& entry : svc.services) {
    TServiceData& service = *entry;
    if (!sender || service.sniffer != sender) continue;
    const bool from_server = IsServer(service, source, source_port);
    if (!from_server && !IsServer(service, destination, destination_port)) continue;
    try {
      std::lock_guard<std::mutex> lock(service.passiveMu);
      if (from_server) {
        HandleServerFrame(service, destination, destination_port);
        continue;
      }
      if (!payload_ready) {
        payload.assign(reinterpret_cast<const char*>(frame) + layout.start,
                       layout.end - layout.start);
        payload_ready = true;
      }
      HandleClientFrame(svc, service, source, source_port, payload);
    } catch (const std::exception& e) {
      svc.ReportError("Service :: " + service.name + " error while handling a captured frame: " +
                      e.what());
    } catch (...) {
      svc.ReportError("Service :: " + service.name +
                      " error while handling a captured frame: unknown error");
    }
  }
}

void PassivePacket(TQuorvexService& svc, sniffer::TSniffer* sender,
                   sniffer::PTpcap_pkthdr header, sniffer::PTCPPckt data) {
  if (!header || !data) return;
  PassiveFrame(svc, sender, reinterpret_cast<const uint8_t*>(data), header->caplen);
}

void PassiveTaggedFrame(TQuorvexService& svc, sniffer::TSniffer* sender,
                        sniffer::PTpcap_pkthdr header, const uint8_t* frame) {
  if (!header || !frame) return;
  const size_t captured = header->caplen;
  size_t type_at = 12;
  // Up to two tags (802.1ad outer, 802.1Q inner) are seen in practice.
  for (int tags = 0; tags < 2; ++tags) {
    if (captured < type_at + 2) return;
    const uint16_t type = sniffer::Get16(frame + type_at);
    if (type != 0x8100 && type != 0x88a8) break;
    type_at += 4;
  }
  if (type_at == 12) return;  // untagged: the TCP handler has it
  if (captured < type_at + 2) return;
  // The frame without its tags, in a buffer the capture thread reuses.
  thread_local std::vector<uint8_t> untagged;
  const size_t length = std::min(captured - (type_at - 12), kPassivePayloadLimit);
  untagged.resize(length);
  std::copy(frame, frame + 12, untagged.begin());
  std::copy(frame + type_at, frame + type_at + (length - 12), untagged.begin() + 12);
  PassiveFrame(svc, sender, untagged.data(), length);
}

void AttachPassiveHandlers(TQuorvexService& svc, sniffer::TSniffer& sniffer) {
  TQuorvexService* s = &svc;
  sniffer.OnCaptureTCP = [s](sniffer::TSniffer* sender, sniffer::PTpcap_pkthdr header,
                             sniffer::PTCPPckt data) { PassivePacket(*s, sender, header, data); };
  sniffer::TSniffer* self = &sniffer;
  sniffer.OnCapture = [s, self](sniffer::PTpcap_pkthdr header, const uint8_t* frame) {
    PassiveTaggedFrame(*s, self, header, frame);
  };
}

TThreadData* FindPassiveConnection(TServiceData& service, const std::string& address,
                                   double port) {
  for (const auto& record : service.passiveConnections) {
    if (record->clientIp == address && record->clientPort == port) return record.get();
  }
  return nullptr;
}

void SweepDeadConnections(TQuorvexService& svc, TServiceData& service, double now) {
  // Compared in whole milliseconds: a day count cannot hold 24 hours to the last bit.
  const long long timeout_ms = static_cast<long long>(svc.deadConnectionTimeout) * 60000;
  auto& list = service.passiveConnections;
  for (size_t i = list.size(); i-- > 0;) {
    TThreadData& record = *list[i];
    const long long silent_ms = std::llround((now - record.lastActivity) * kMsPerDay);
    if (silent_ms < timeout_ms) continue;
    svc.WriteServiceLog("Timeout client connection from IP " + record.clientIp + " port " +
                        PortText(record.clientPort) + " disconnected.");
    ClosePassiveConnection(svc, service, record, CloseReason::kTimeout);
  }
}

void SweepDeadConnections(TQuorvexService& svc, TServiceData& service) {
  SweepDeadConnections(svc, service, platform::NowDateTime());
}

void FlushPassiveConnections(TQuorvexService& svc, TServiceData& service) {
  std::lock_guard<std::mutex> lock(service.passiveMu);
  auto& list = service.passiveConnections;
  while (!list.empty()) {
    ClosePassiveConnection(svc, service, *list.back(), CloseReason::kStop);
  }
}

}  // namespace qx::capture
