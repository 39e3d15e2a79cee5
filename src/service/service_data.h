// One monitored service: its repository row, its listeners or capture, its filters,
// connection log, status timer and counters.
//
// Threading: the row fields are written by LoadServices and then only read. `connLog`
// serialises itself; `connLogOpen` is set before any connection of the service can be traced
// and cleared only at teardown after the service's threads have stopped. `totalConnections`
// is atomic because every connection thread of the service counts itself in.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "capture/capture_health.h"
#include "capture/passive_key.h"
#include "platform/event_loop.h"
#include "service/filters.h"
#include "service/logs.h"

namespace qx::capture {
struct TThreadData;
class TRelayListener;
}
namespace qx::manage {
class TManageListener;
}
namespace qx::sniffer {
class TSniffer;
}

namespace qx::service {

struct TServiceData {
  TServiceData();
  ~TServiceData();

  double id = 0;
  std::string name;
  std::string oracle_host;
  double oracle_port = 0;
  double work_port = 0;
  double manage_port = 0;
  std::string ipinterface;
  TextLog connLog;
  std::atomic<bool> connLogOpen{false};
  platform::EventLoop::TimerId statusTimer = 0;
  bool hasStatusTimer = false;
  double startTime = 0;
  std::atomic<int32_t> totalConnections{0};
  // What the service's connections saw and missed (capture_health.h); lastHealth is what the
  // service log was last told, owned by the service thread.
  capture::CaptureHealth health;
  capture::HealthSnapshot lastHealth{};

  // Active mode: the relay listener (owned). Passive mode: the shared capture component of the
  // service's interface (not owned; one of the service object's pool). Atomic because a
  // capture thread already running on that sniffer for another service reads it while
  // start-up binds this one.
  std::unique_ptr<capture::TRelayListener> tcpMain;
  std::atomic<sniffer::TSniffer*> sniffer{nullptr};
  std::unique_ptr<manage::TManageListener> manageListener;

  // Enabled filters, loaded once at start-up before the service's status row is written and
  // read-only afterwards.
  // Connections may already be decided while start-up loads them (a relay listener accepts
  // before its filters are read): readers hold filtersMu shared, the loader swaps the full
  // lists in under it exclusively.
  mutable std::shared_mutex filtersMu;
  TServiceFilterList serviceFilters;
  TSQLFilterList sqlFilters;
  // Whether sqlFilters holds any, set by the loader with the list: a statement of a service
  // without SQL filters (the usual case) is decided without taking filtersMu.
  std::atomic<bool> anySqlFilters{false};

  // Passive mode: the connections seen on the wire (owned), in the order they were opened, and
  // the same records by client address and port (a frame's lookup does not grow with the
  // number of connections). Changed by the capture thread, read by status requests on the
  // service thread: both hold passiveMu.
  std::mutex passiveMu;
  std::vector<std::unique_ptr<capture::TThreadData>> passiveConnections;
  std::unordered_map<capture::PassiveKey, capture::TThreadData*, capture::PassiveKeyHash>
      passiveIndex;
  // When a new connection last swept the silent ones (local date-time); passiveMu.
  double passiveSweptAt = 0;

  bool IsActive() const { return work_port != 0; }
};

// Writes the line to the service's connection log when it is open; otherwise nothing.
void WriteConnectionLog(TServiceData& service, const std::string& line);

}  // namespace qx::service
