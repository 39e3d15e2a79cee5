// The capture component and its capture thread (sniffer.h).
#include "sniffer/sniffer.h"

#include <chrono>
#include <cstring>
#include <exception>
#include <system_error>
#include <thread>

#include "platform/platform.h"

namespace qx::sniffer {
namespace {

constexpr int kReadTimeoutMs = 20;
const char* const kNoInterface = "Invalid interface";

void LogHandlerFailure(const char* what) {
  platform::SystemLogError("qxservice", std::string("Capture event handler failed: ") + what);
}

// Runs one event handler; an exception must not unwind through the library's C frames.
template <typename F, typename... Args>
void Raise(const F& handler, Args... args) {
  try {
    handler(args...);
  } catch (const std::exception& e) {
    LogHandlerFailure(e.what());
  } catch (...) {
    LogHandlerFailure("unknown exception");
  }
}

// pcap_compile wants the netmask as it sits in memory in network order.
bpf_u_int32 NetworkOrder(uint32_t address) {
  const uint8_t bytes[4] = {static_cast<uint8_t>(address >> 24),
                            static_cast<uint8_t>(address >> 16),
                            static_cast<uint8_t>(address >> 8), static_cast<uint8_t>(address)};
  bpf_u_int32 out;
  std::memcpy(&out, bytes, sizeof out);
  return out;
}

}  // namespace

// One capture: the thread that sits in pcap_loop and raises the events of each frame. The
// handlers are copied at start so that the owner may reassign its sniffer's handlers while
// this thread reads its own.
class TSnifferThread {
 public:
  TSnifferThread(TSniffer* sniffer, pcap_t* handle, bool from_file, int link_type)
      : sniffer_(sniffer),
        handle_(handle),
        from_file_(from_file),
        link_type_(link_type),
        on_capture_(sniffer->OnCapture),
        on_capture_frame_(sniffer->OnCaptureFrame),
        on_capture_ip_(sniffer->OnCaptureIP),
        on_capture_tcp_(sniffer->OnCaptureTCP),
        on_capture_udp_(sniffer->OnCaptureUDP),
        on_capture_segment_(sniffer->OnCaptureSegment),
        on_capture_end_(sniffer->OnCaptureEnd) {}

  // Throws std::system_error when no thread can be started.
  void Start() { thread_ = std::thread([this] { Execute(); }); }

  // Makes pcap_loop return; safe whether the loop has started, is running or has ended.
  void RequestStop() {
    stop_requested_ = true;
    Pcap().pcap_breakloop(handle_);
  }

  void Join() {
    if (thread_.joinable()) thread_.join();
  }

  bool IsCurrentThread() const { return std::this_thread::get_id() == thread_.get_id(); }

  static void CaptureCallback(u_char* user, const pcap_pkthdr* header, const u_char* frame) {
    reinterpret_cast<TSnifferThread*>(user)->Deliver(header, frame);
  }

 private:
  void Execute() {
    const int rc = Pcap().pcap_loop(handle_, 0, &CaptureCallback, reinterpret_cast<u_char*>(this));
    TCaptureEnd reason = ceError;
    if (stop_requested_) {
      reason = ceStopped;
    } else if (rc >= 0 && from_file_) {
      reason = ceFileEnd;
    }
    sniffer_->CaptureThreadDone(reason);
    if (on_capture_end_) Raise(on_capture_end_, sniffer_, reason);
    sniffer_->SignalCaptureEnd();
  }

  // Each event is tested on its own, in a fixed order, so one frame may raise several. A test
  // that needs a byte beyond the captured length counts as false.
  void Deliver(const pcap_pkthdr* header, const u_char* frame) {
    if (!header || !frame) return;
    const uint32_t captured = header->caplen;
    if (on_capture_) Raise(on_capture_, header, static_cast<const uint8_t*>(frame));
    if (on_capture_frame_) {
      Raise(on_capture_frame_, sniffer_, header, link_type_, static_cast<const uint8_t*>(frame));
    }
    if (link_type_ == kLinkEthernet) DeliverEthernet(header, frame, captured);
    if (on_capture_segment_) {
      TcpPacket packet;
      if (DecodeTcpPacket(link_type_, frame, captured, &packet)) {
        RaiseSegment(header, packet);
      }
    }
  }

  void RaiseSegment(const pcap_pkthdr* header, const TcpPacket& packet) {
    try {
      on_capture_segment_(sniffer_, header, packet);
    } catch (const std::exception& e) {
      LogHandlerFailure(e.what());
    } catch (...) {
      LogHandlerFailure("unknown exception");
    }
  }

  // The handlers of fixed-offset Ethernet/IPv4 records.
  void DeliverEthernet(const pcap_pkthdr* header, const u_char* frame, uint32_t captured) {
    if (on_capture_ip_ && captured >= 14 && frame[12] == 0x08 && frame[13] == 0x00) {
      Raise(on_capture_ip_, header, reinterpret_cast<PIPPckt>(frame));
    }
    // Byte 23 is the IP protocol number; the EtherType is deliberately not consulted.
    const int protocol = captured >= 24 ? frame[23] : -1;
    if (on_capture_tcp_ && protocol == 6) {
      Raise(on_capture_tcp_, sniffer_, header, reinterpret_cast<PTCPPckt>(frame));
    }
    if (on_capture_udp_ && protocol == 17) {
      Raise(on_capture_udp_, header, reinterpret_cast<PUDPPckt>(frame));
    }
  }

  TSniffer* const sniffer_;
  pcap_t* const handle_;
  const bool from_file_;
  const int link_type_;
  const TOnCapture on_capture_;
  const TOnCaptureFrame on_capture_frame_;
  const TOnCaptureIP on_capture_ip_;
  const TOnCaptureTcp on_capture_tcp_;
  const TOnCaptureUdp on_capture_udp_;
  const TOnCaptureSegment on_capture_segment_;
  const TOnCaptureEnd on_capture_end_;
  std::atomic<bool> stop_requested_{false};
  std::thread thread_;
};

TSniffer::TSniffer() {
  std::string discarded;
  if (ListDevices(&discarded)) SetDeviceIndex(0);
}

TSniffer::~TSniffer() {
  if (capture_thread_ && capture_thread_->IsCurrentThread()) {
    // Destroying a sniffer from its own handler cannot wait for itself; this is a misuse
    // that would otherwise end the process, so at least say where it happened.
    platform::SystemLogError("qxservice", "Sniffer destroyed on its own capture thread");
  }
  if (capture_thread_) capture_thread_->RequestStop();
  ReleaseCapture();
  ReleaseFilterCode();
}

int TSniffer::StartCapture() {
  if (capturing_.load() || capture_handle_) return 1;
  if (!OnCapture && !OnCaptureFrame && !OnCaptureIP && !OnCaptureTCP && !OnCaptureUDP &&
      !OnCaptureSegment) {
    return 2;
  }
  if (!LoadCaptureLibrary()) return 3;
  const PcapApi& pcap = Pcap();
  char errors[PCAP_ERRBUF_SIZE] = {};
  const bool from_file = !capture_file_.empty();
  pcap_t* handle = nullptr;
  if (from_file) {
    if (pcap.pcap_open_offline) handle = pcap.pcap_open_offline(capture_file_.c_str(), errors);
  } else {
    handle = pcap.pcap_open_live(device_name_.c_str(), capture_length_,
                                 capture_mode_ == capPromiscuous ? 1 : 0, kReadTimeoutMs, errors);
  }
  if (!handle) return 3;
  capture_handle_ = handle;
  // A file's snapshot length describes the file, not a request of ours.
  if (!from_file) capture_length_ = pcap.pcap_snapshot(handle);
  if (filtered_ && has_filter_code_) pcap.pcap_setfilter(handle, &filter_code_);

  link_type_ = pcap.pcap_datalink(handle);
  capture_thread_ = std::make_unique<TSnifferThread>(this, handle, from_file, link_type_);
  {
    std::lock_guard<std::mutex> lock(end_mutex_);
    loop_running_ = true;
  }
  // Set before the thread runs: a short file may end, and clear it, at once.
  capturing_ = true;
  try {
    capture_thread_->Start();
  } catch (const std::system_error&) {
    capture_thread_.reset();
    capturing_ = false;
    SignalCaptureEnd();
    pcap.pcap_close(handle);
    capture_handle_ = nullptr;
    return 3;
  }
  return 0;
}

int TSniffer::StopCapture() {
  if (capture_thread_ && capture_thread_->IsCurrentThread()) {
    // From one of this sniffer's own handlers: the loop ends once the handler returns, and
    // the owner still has to call StopCapture to release it.
    capture_thread_->RequestStop();
    return 1;
  }
  if (!capturing_.load()) {
    // A capture that ended by itself still holds its thread and handle; release them so that
    // the sniffer can be started again.
    ReleaseCapture();
    return 1;
  }
  if (!capture_thread_) return 2;
  // The handle must outlive pcap_loop: break the loop, wait for the thread, then close.
  capture_thread_->RequestStop();
  ReleaseCapture();
  return 0;
}

void TSniffer::ReleaseCapture() {
  if (capture_thread_) {
    capture_thread_->Join();
    capture_thread_.reset();
  }
  if (capture_handle_) {
    Pcap().pcap_close(capture_handle_);
    capture_handle_ = nullptr;
  }
  capturing_ = false;
}

void TSniffer::CaptureThreadDone(TCaptureEnd) { capturing_ = false; }

void TSniffer::SignalCaptureEnd() {
  std::lock_guard<std::mutex> lock(end_mutex_);
  loop_running_ = false;
  end_signal_.notify_all();
}

bool TSniffer::WaitForCaptureEnd(int timeout_ms) {
  std::unique_lock<std::mutex> lock(end_mutex_);
  return end_signal_.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                              [this] { return !loop_running_; });
}

bool TSniffer::ListDevices(std::string* msg) {
  if (!LoadCaptureLibrary()) return false;
  const PcapApi& pcap = Pcap();
  pcap_if_t* chain = nullptr;
  char errors[PCAP_ERRBUF_SIZE] = {};
  if (pcap.pcap_findalldevs(&chain, errors) == -1) return false;
  device_list_.clear();
  device_names_.clear();
  device_descriptions_.clear();
  bool ok = chain != nullptr;
  try {
    for (const pcap_if_t* entry = chain; entry; entry = entry->next) AddDevice(entry);
  } catch (...) {
    ok = false;
  }
  if (chain) pcap.pcap_freealldevs(chain);
  if (!ok) {
    device_list_.clear();
    device_names_.clear();
    device_descriptions_.clear();
    if (msg) *msg = "Error whilst retrieving interface names";
  }
  return ok;
}

void TSniffer::AddDevice(const pcap_if_t* entry) {
  if (!entry) return;
  TInterface device;
  device.Name = entry->name ? entry->name : "";
  device.Description = entry->description ? entry->description : "";
  // Interfaces list their link-layer and IPv6 addresses too, often first; the interface's
  // address is its first IPv4 one.
  for (const pcap_addr_t* a = entry->addresses; a; a = a->next) {
    if (a->addr && a->addr->sa_family == AF_INET) {
      device.Address = SockAddrToIP(a->addr);
      device.Netmask = SockAddrToIP(a->netmask);
      device.Broadcast = SockAddrToIP(a->broadaddr);
      break;
    }
  }
  device_names_.push_back(device.Name);
  device_descriptions_.push_back(device.Description);
  device_list_.push_back(std::move(device));
}

void TSniffer::SetDeviceIndex(int index) {
  if (index == device_index_) return;
  SetFiltered(false);
  if (index >= 0 && index < static_cast<int>(device_list_.size())) {
    const TInterface& device = device_list_[index];
    device_index_ = index;
    device_name_ = device.Name;
    device_description_ = device.Description;
    device_mask_ = device.Netmask;
    device_address_ = device.Address;
  } else {
    device_index_ = -1;
    device_name_ = kNoInterface;
    device_description_ = kNoInterface;
    device_mask_ = 0;
    device_address_ = 0;
  }
}

void TSniffer::SetCaptureProtocol(TProto protocol) {
  if (protocol == capture_protocol_) return;
  capture_protocol_ = protocol;
  switch (protocol) {
    case pIP: filter_string_ = "ip"; break;
    case pTCP: filter_string_ = "tcp"; break;
    case pUDP: filter_string_ = "udp"; break;
    case pICMP: filter_string_ = "icmp"; break;
    case pAny: filter_string_.clear(); break;
    case pArp: filter_string_ = "arp"; break;
  }
  SetFiltered(false);
}

void TSniffer::SetFilterString(const std::string& text) {
  if (text == filter_string_) return;
  filter_string_ = text;
  for (char& c : filter_string_) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  SetFiltered(false);
  capture_protocol_ = pAny;
}

void TSniffer::SetFiltered(bool on) {
  if (on == filtered_) return;
  if (on && device_index_ >= 0) {
    if (!LoadCaptureLibrary()) return;
    const PcapApi& pcap = Pcap();
    char errors[PCAP_ERRBUF_SIZE] = {};
    // The program is compiled for the interface's link type, so the interface is opened for
    // the moment it takes.
    pcap_t* probe = pcap.pcap_open_live(device_name_.c_str(), capture_length_, 1,
                                        kReadTimeoutMs, errors);
    if (!probe) return;
    bpf_program program{};
    const int rc =
        pcap.pcap_compile(probe, &program, filter_string_.c_str(), 1, NetworkOrder(device_mask_));
    pcap.pcap_close(probe);
    if (rc == -1) return;
    ReleaseFilterCode();
    filter_code_ = program;
    has_filter_code_ = true;
  }
  if (!on) ReleaseFilterCode();
  filtered_ = on;
}

void TSniffer::ReleaseFilterCode() {
  if (!has_filter_code_) return;
  Pcap().pcap_freecode(&filter_code_);
  filter_code_ = bpf_program{};
  has_filter_code_ = false;
}

}  // namespace qx::sniffer
