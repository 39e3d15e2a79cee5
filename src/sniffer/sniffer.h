// TSniffer, the capture component: it lists the machine's capture interfaces, lets its owner
// select one by index, opens it through the capture library and runs a capture thread that
// hands every captured frame to the owner's event handlers. Instead of an interface it can
// also read a capture file (pcap or pcapng), delivering the file's frames the same way.
// It knows nothing of Oracle or of the monitored services.
//
// Results: the component reports by result codes and raises nothing.
//
// Threading and ownership:
// - The owner creates, configures, starts, stops and destroys a sniffer on one thread of its
//   choosing (the owner thread). Every setter, ListDevices, StartCapture, StopCapture and the
//   destructor must be called there, never on the capture thread (its own event handlers
//   included). The getters may also be called there; Capturing() from any thread.
// - Each started capture has one capture thread. OnCapture, OnCaptureFrame, OnCaptureIP,
//   OnCaptureTCP, OnCaptureUDP, OnCaptureSegment and then OnCaptureEnd all run on it, one
//   frame after the other: a handler must return before the next frame is delivered.
//   Handlers of different sniffers run on different threads at the same time.
// - StartCapture takes a copy of the handlers; assigning a handler while a capture runs
//   takes effect at the next StartCapture. The frame data and header passed to a handler are
//   valid only during the call, and only header->caplen bytes of the frame exist (frames.h).
// - A handler that throws is caught by the capture thread, written to the system log, and
//   the capture goes on with the next frame.
//
// End of a capture: the capture ends when StopCapture is called, when the library reports an
// error, or when a capture file has been read to its end. OnCaptureEnd is then raised on the
// capture thread with the reason, after the last frame and after Capturing() has turned
// false; WaitForCaptureEnd lets the owner block until then instead. A capture that ended by
// itself keeps its handle until the owner calls StopCapture (which then returns 1) or
// destroys the sniffer; after that StartCapture may be called again.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "sniffer/frames.h"
#include "sniffer/packet.h"
#include "sniffer/pcap_binding.h"

namespace qx::sniffer {

enum TProto { pIP, pTCP, pUDP, pICMP, pAny, pArp };
enum TCapMode { capPromiscuous, capNonPromiscuous };
// Why a capture ended: StopCapture asked, the capture file was read to its end, or the
// library reported an error.
enum TCaptureEnd { ceStopped, ceFileEnd, ceError };

// One capture interface. Address, Netmask and Broadcast come from the interface's first IPv4
// address entry; all three are 0 when it has none.
struct TInterface {
  std::string Name;  // what the library opens
  std::string Description;
  uint32_t Address = 0;
  uint32_t Netmask = 0;
  uint32_t Broadcast = 0;
};

class TSniffer;
class TSnifferThread;

using TOnCapture = std::function<void(PTpcap_pkthdr header, const uint8_t* frame)>;
using TOnCaptureIP = std::function<void(PTpcap_pkthdr header, PIPPckt data)>;
using TOnCaptureTcp =
    std::function<void(TSniffer* sender, PTpcap_pkthdr header, PTCPPckt data)>;
using TOnCaptureUdp = std::function<void(PTpcap_pkthdr header, PUDPPckt data)>;
using TOnCaptureEnd = std::function<void(TSniffer* sender, TCaptureEnd reason)>;
// Every frame, of any link type, with the link type of the capture (packet.h's kLink...).
using TOnCaptureFrame = std::function<void(TSniffer* sender, PTpcap_pkthdr header,
                                           int link_type, const uint8_t* frame)>;
// Every frame that DecodeTcpPacket reads as a TCP segment at the capture's link type.
using TOnCaptureSegment =
    std::function<void(TSniffer* sender, PTpcap_pkthdr header, const TcpPacket& packet)>;

class TSniffer {
 public:
  // Lists the interfaces and selects the first one (none when listing failed).
  TSniffer();
  // Stops and releases a running or ended capture first.
  ~TSniffer();
  TSniffer(const TSniffer&) = delete;
  TSniffer& operator=(const TSniffer&) = delete;

  // 0 started; 1 already capturing or the handle of an ended capture is still held;
  // 2 none of the frame handlers (all but OnCaptureEnd) is assigned; 3 the interface (or
  // the capture file) could not be opened, the library included.
  int StartCapture();
  // 0 stopped (the capture thread has ended and the handle is closed when this returns);
  // 1 not capturing — a capture that ended by itself is released all the same;
  // 2 no capture thread.
  int StopCapture();
  // True while a capture started by StartCapture has not ended. Any thread.
  bool Capturing() const { return capturing_.load(); }
  // Blocks until the current capture has ended (true) or timeout_ms has passed (false). True
  // at once when no capture is running.
  bool WaitForCaptureEnd(int timeout_ms);

  // Fills the interface lists anew. False when the library is missing or lists no interface,
  // with *msg set to "Error whilst retrieving interface names" in the latter case. Leaves the
  // selection alone.
  bool ListDevices(std::string* msg);
  // Appends one entry of the library's interface chain.
  void AddDevice(const pcap_if_t* entry);
  int DeviceCount() const { return static_cast<int>(device_descriptions_.size()); }
  // Precondition: 0 <= index < DeviceCount().
  const TInterface& Device(int index) const { return device_list_[index]; }

  // Selecting an interface turns Filtered off; an index out of range selects none (-1,
  // "Invalid interface", addresses 0). It never affects a running capture.
  int DeviceIndex() const { return device_index_; }
  void SetDeviceIndex(int index);
  const std::string& DeviceName() const { return device_name_; }
  const std::string& DeviceDescription() const { return device_description_; }
  std::string DeviceMask() const { return IPToStr(device_mask_); }
  std::string DeviceAddress() const { return IPToStr(device_address_); }
  uint32_t DeviceAddressNumber() const { return device_address_; }

  // Protocol and filter text follow each other: a protocol sets its filter text, and a filter
  // text written directly makes the protocol pAny. Both turn Filtered off.
  TProto CaptureProtocol() const { return capture_protocol_; }
  void SetCaptureProtocol(TProto protocol);
  const std::string& FilterString() const { return filter_string_; }
  void SetFilterString(const std::string& text);  // stored lower-cased (A to Z only)
  // Turning Filtered on compiles FilterString for the selected interface (opening it for a
  // moment); it stays off when the interface cannot be opened or the text does not compile.
  // A compiled filter is applied by the next StartCapture.
  bool Filtered() const { return filtered_; }
  void SetFiltered(bool on);

  // Snapshot length asked of the library; after StartCapture of an interface it reads what
  // the library granted.
  int CaptureLength() const { return capture_length_; }
  void SetCaptureLength(int length) { capture_length_ = length; }
  TCapMode CaptureMode() const { return capture_mode_; }
  void SetCaptureMode(TCapMode mode) { capture_mode_ = mode; }
  // Path of a pcap or pcapng file to read instead of the selected interface; empty (the
  // default) captures from the interface. Frames are delivered as fast as they can be read.
  const std::string& CaptureFile() const { return capture_file_; }
  void SetCaptureFile(const std::string& path) { capture_file_ = path; }

  // The link type of the capture last started (pcap_datalink of the interface or file; a
  // pcapng file reports the one of its first interface); -1 before the first start. Set
  // before the capture thread starts and unchanged while it runs, so the handlers may read it.
  int LinkType() const { return link_type_; }

  // OnCapture gets every frame. OnCaptureIP, OnCaptureTCP and OnCaptureUDP read the frame as
  // untagged Ethernet/IPv4 at fixed offsets (frames.h) and are raised for Ethernet captures
  // only. OnCaptureFrame and OnCaptureSegment serve every link type.
  TOnCapture OnCapture;
  TOnCaptureFrame OnCaptureFrame;
  TOnCaptureIP OnCaptureIP;
  TOnCaptureTcp OnCaptureTCP;
  TOnCaptureUdp OnCaptureUDP;
  TOnCaptureSegment OnCaptureSegment;
  TOnCaptureEnd OnCaptureEnd;

 private:
  friend class TSnifferThread;

  void ReleaseFilterCode();
  // Joins the capture thread and closes the handle; the loop must have been told to end.
  void ReleaseCapture();
  // Run on the capture thread after its loop has returned: the first clears Capturing(),
  // the second (after OnCaptureEnd) wakes WaitForCaptureEnd.
  void CaptureThreadDone(TCaptureEnd reason);
  void SignalCaptureEnd();

  pcap_t* capture_handle_ = nullptr;
  bpf_program filter_code_{};
  bool has_filter_code_ = false;
  std::vector<TInterface> device_list_;
  std::vector<std::string> device_names_;
  std::vector<std::string> device_descriptions_;
  uint32_t device_mask_ = 0;
  uint32_t device_address_ = 0;
  std::unique_ptr<TSnifferThread> capture_thread_;
  std::atomic<bool> capturing_{false};

  int device_index_ = -1;
  std::string device_name_ = "Invalid interface";
  std::string device_description_ = "Invalid interface";
  TProto capture_protocol_ = pAny;
  std::string filter_string_;
  bool filtered_ = false;
  int capture_length_ = 68;
  TCapMode capture_mode_ = capPromiscuous;
  std::string capture_file_;
  int link_type_ = -1;

  // Guards loop_running_ for WaitForCaptureEnd.
  std::mutex end_mutex_;
  std::condition_variable end_signal_;
  bool loop_running_ = false;
};

}  // namespace qx::sniffer
