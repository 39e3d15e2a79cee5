// Windows names of the packet-capture library (capture_library.h): Npcap installs wpcap.dll in
// System32\Npcap (its WinPcap-compatible mode, which would put it in System32 itself, is
// optional), so that directory comes first and the loader's search path after it.
#include <windows.h>

#include "platform/capture_library.h"
#include "platform/win32/wide.h"

namespace qx::platform {

std::vector<std::string> CaptureLibraryNames() {
  std::vector<std::string> names;
  wchar_t system[MAX_PATH];
  const UINT n = GetSystemDirectoryW(system, MAX_PATH);
  if (n > 0 && n < MAX_PATH) names.push_back(win32::Narrow(system, n) + "\\Npcap\\wpcap.dll");
  names.push_back("wpcap.dll");
  return names;
}

}  // namespace qx::platform
