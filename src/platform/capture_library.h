// Where the packet-capture library (libpcap, or wpcap.dll on Windows) is looked for. The
// system never links the library: the capture binding (sniffer/pcap_binding.h) loads it at
// run time under these names, so that a machine without it still runs and simply finds no
// capture interface.
//
// Threading: may be called from any thread. Never throws.
#pragma once

#include <string>
#include <vector>

namespace qx::platform {

// File names to hand to OpenLibrary (platform.h), most preferred first.
std::vector<std::string> CaptureLibraryNames();

}  // namespace qx::platform
