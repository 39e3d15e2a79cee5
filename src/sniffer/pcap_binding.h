// Run-time binding to the packet-capture library (libpcap; wpcap.dll on Windows).
//
// The library is loaded by name the first time a sniffer lists the interfaces, and every entry
// point the system knows is resolved into one process-wide table. A machine without the
// library, or with one lacking a required entry point, gets false from LoadCaptureLibrary and
// nothing else happens: the sniffers then find no interface. The library is never unloaded.
//
// The structures exchanged with the library (pcap_if, pcap_addr, pcap_pkthdr, bpf_program)
// are taken from the library's own header, so their layouts always match the library's: the
// per-packet header is 24 bytes on 64-bit Linux and 16 on Windows.
//
// Threading: LoadCaptureLibrary may be called from any thread; concurrent calls are
// serialised and all but the first successful one return at once. The table returned by
// Pcap() is written only while loading and is read-only once LoadCaptureLibrary has returned
// true. IPToStr and SockAddrToIP are pure functions. Nothing here throws or logs.
#pragma once

#include <pcap/pcap.h>

#include <cstdint>
#include <string>
#include <vector>

namespace qx::sniffer {

// The library's per-packet header: time stamp, captured length (caplen: the number of frame
// bytes present), length on the wire.
using Tpcap_pkthdr = pcap_pkthdr;
using PTpcap_pkthdr = const pcap_pkthdr*;

// The entry points, in the order in which they are resolved. Those marked optional may be
// missing without failing the load (the system never calls them, or checks them before use);
// every other one is required. Entry points that only the Windows library exports are kept
// as untyped pointers since no header here declares them.
struct PcapApi {
  decltype(&::pcap_loop) pcap_loop = nullptr;
  decltype(&::pcap_open_live) pcap_open_live = nullptr;
  decltype(&::pcap_open_dead) pcap_open_dead = nullptr;
  decltype(&::pcap_dispatch) pcap_dispatch = nullptr;
  decltype(&::pcap_datalink) pcap_datalink = nullptr;
  void* pcap_read = nullptr;      // optional
  void* pcap_read_ex = nullptr;   // optional
  void* pcap_stats_ex = nullptr;  // optional
  void* pcap_setbuff = nullptr;   // optional
  decltype(&::pcap_close) pcap_close = nullptr;
  decltype(&::pcap_freecode) pcap_freecode = nullptr;
  decltype(&::pcap_setfilter) pcap_setfilter = nullptr;
  decltype(&::pcap_compile) pcap_compile = nullptr;
  decltype(&::pcap_findalldevs) pcap_findalldevs = nullptr;
  decltype(&::pcap_freealldevs) pcap_freealldevs = nullptr;
  decltype(&::pcap_major_version) pcap_major_version = nullptr;
  decltype(&::pcap_minor_version) pcap_minor_version = nullptr;
  decltype(&::pcap_snapshot) pcap_snapshot = nullptr;
  decltype(&::pcap_geterr) pcap_geterr = nullptr;
  decltype(&::pcap_breakloop) pcap_breakloop = nullptr;
  decltype(&::pcap_open_offline) pcap_open_offline = nullptr;  // optional: null when absent
};

// True when the library and all its required entry points are bound, now or by an earlier
// call. A failed attempt is retried in full by the next call.
bool LoadCaptureLibrary();

// The bound entry points. Precondition: LoadCaptureLibrary() has returned true.
const PcapApi& Pcap();

// Dotted decimal text of an address number whose most significant byte is the first octet:
// 0xC0A80001 gives "192.168.0.1".
std::string IPToStr(uint32_t value);

// The address number held in bytes 4 to 7 of a socket address (where an IPv4 socket address
// keeps its address, in network order); 0 for null. The family is not examined: callers pick
// IPv4 entries themselves.
uint32_t SockAddrToIP(const sockaddr* address);

// Test seam: the names LoadCaptureLibrary tries next (empty: the platform's own names, see
// platform/capture_library.h), and forgets any earlier successful load. Only for tests, with
// no sniffer alive.
void SetCaptureLibraryNamesForTesting(const std::vector<std::string>& names);

}  // namespace qx::sniffer
