// Loader and entry-point table of the packet-capture library (pcap_binding.h).
#include "sniffer/pcap_binding.h"

#include <atomic>
#include <mutex>

#include "platform/capture_library.h"
#include "platform/platform.h"

namespace qx::sniffer {
namespace {

std::mutex g_load_mutex;
std::atomic<bool> g_loaded{false};
PcapApi g_api;                            // written under g_load_mutex before g_loaded is set
std::vector<std::string> g_test_names;    // guarded by g_load_mutex; empty: platform names

template <typename F>
bool Bind(void* library, const char* name, F* slot, bool required) {
  void* symbol = platform::LibrarySymbol(library, name);
  if (!symbol) return !required;
  *slot = reinterpret_cast<F>(symbol);
  return true;
}

// Resolves the whole table from one loaded library; false at the first required entry point
// it lacks. The order is the order of PcapApi.
bool BindAll(void* lib, PcapApi* api) {
  return Bind(lib, "pcap_loop", &api->pcap_loop, true) &&
         Bind(lib, "pcap_open_live", &api->pcap_open_live, true) &&
         Bind(lib, "pcap_open_dead", &api->pcap_open_dead, true) &&
         Bind(lib, "pcap_dispatch", &api->pcap_dispatch, true) &&
         Bind(lib, "pcap_datalink", &api->pcap_datalink, true) &&
         Bind(lib, "pcap_read", &api->pcap_read, false) &&
         Bind(lib, "pcap_read_ex", &api->pcap_read_ex, false) &&
         Bind(lib, "pcap_stats_ex", &api->pcap_stats_ex, false) &&
         Bind(lib, "pcap_setbuff", &api->pcap_setbuff, false) &&
         Bind(lib, "pcap_close", &api->pcap_close, true) &&
         Bind(lib, "pcap_freecode", &api->pcap_freecode, true) &&
         Bind(lib, "pcap_setfilter", &api->pcap_setfilter, true) &&
         Bind(lib, "pcap_compile", &api->pcap_compile, true) &&
         Bind(lib, "pcap_findalldevs", &api->pcap_findalldevs, true) &&
         Bind(lib, "pcap_freealldevs", &api->pcap_freealldevs, true) &&
         Bind(lib, "pcap_major_version", &api->pcap_major_version, true) &&
         Bind(lib, "pcap_minor_version", &api->pcap_minor_version, true) &&
         Bind(lib, "pcap_snapshot", &api->pcap_snapshot, true) &&
         Bind(lib, "pcap_geterr", &api->pcap_geterr, true) &&
         Bind(lib, "pcap_breakloop", &api->pcap_breakloop, true) &&
         Bind(lib, "pcap_open_offline", &api->pcap_open_offline, false);
}

}  // namespace

bool LoadCaptureLibrary() {
  if (g_loaded.load(std::memory_order_acquire)) return true;
  std::lock_guard<std::mutex> lock(g_load_mutex);
  if (g_loaded.load(std::memory_order_relaxed)) return true;
  const std::vector<std::string> names =
      g_test_names.empty() ? platform::CaptureLibraryNames() : g_test_names;
  for (const std::string& name : names) {
    void* lib = platform::OpenLibrary(name);
    if (!lib) continue;
    // Resolve into a scratch table so that a library lacking an entry point leaves the
    // published table as it was.
    PcapApi api;
    if (!BindAll(lib, &api)) {
      platform::CloseLibrary(lib);
      continue;
    }
    g_api = api;  // the module handle is deliberately kept open for the life of the process
    g_loaded.store(true, std::memory_order_release);
    return true;
  }
  return false;
}

const PcapApi& Pcap() { return g_api; }

std::string IPToStr(uint32_t value) {
  return std::to_string((value >> 24) & 255) + "." + std::to_string((value >> 16) & 255) +
         "." + std::to_string((value >> 8) & 255) + "." + std::to_string(value & 255);
}

uint32_t SockAddrToIP(const sockaddr* address) {
  if (!address) return 0;
  const auto* bytes = reinterpret_cast<const uint8_t*>(address);
  return (static_cast<uint32_t>(bytes[4]) << 24) | (static_cast<uint32_t>(bytes[5]) << 16) |
         (static_cast<uint32_t>(bytes[6]) << 8) | static_cast<uint32_t>(bytes[7]);
}

void SetCaptureLibraryNamesForTesting(const std::vector<std::string>& names) {
  std::lock_guard<std::mutex> lock(g_load_mutex);
  g_test_names = names;
  g_loaded.store(false, std::memory_order_release);
}

}  // namespace qx::sniffer
