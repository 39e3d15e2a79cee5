// Linux names of the packet-capture library (capture_library.h).
#include "platform/capture_library.h"

namespace qx::platform {

std::vector<std::string> CaptureLibraryNames() {
  // The runtime package installs only the versioned names: "libpcap.so.1" upstream,
  // "libpcap.so.0.8" on Debian. The bare name exists only with the development package.
  return {"libpcap.so.1", "libpcap.so.0.8", "libpcap.so"};
}

}  // namespace qx::platform
