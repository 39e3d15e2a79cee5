// Windows counterparts of the suite's checks that state Linux facts: Winsock error codes, the
// names and load failures of oci.dll and wpcap.dll. Built into the Windows suite only.
#ifdef _WIN32
#include <gtest/gtest.h>
#include <winsock2.h>
#include <windows.h>

#include <string>
#include <vector>

#include "platform/capture_library.h"
#include "platform/net.h"
#include "repository/oracle/oracle_session.h"
#include "repository/repository.h"
#include "sniffer/pcap_binding.h"
#include "support/test_util.h"

namespace qx {
namespace {

// Winsock reports its own codes: they are kept, with the texts the Linux table gives them, so
// that logs and the relay's error routing read the same on both systems.
TEST(SocketErrorsWin, WinsockCodesKeepTheirNumbersAndTheSharedTexts) {
  EXPECT_EQ(platform::SocketErrorFromSystem(WSAECONNRESET).Message(),
            "Socket Error # 10054\r\nConnection reset by peer.");
  EXPECT_EQ(platform::SocketErrorFromSystem(WSAECONNABORTED).text,
            "Software caused connection abort.");
  EXPECT_EQ(platform::SocketErrorFromSystem(WSAETIMEDOUT).text, "Connection timed out.");
  const platform::SocketError other = platform::SocketErrorFromSystem(WSAEINVAL);
  EXPECT_EQ(other.code, 10022);
  EXPECT_FALSE(other.text.empty());  // the system's own text

  // A real failure goes through the same table: nothing listens on a port just freed.
  platform::SocketError error;
  const platform::SocketHandle s = platform::ConnectTcp("127.0.0.1", test::FreePort(), &error);
  EXPECT_EQ(s, platform::kInvalidSocket);
  EXPECT_EQ(error.Message(), "Socket Error # 10061\r\nConnection refused.");
}

std::string ConnectError(const std::vector<std::string>& names) {
  repository::OracleOptions options;
  options.library_names = names;
  auto session = repository::CreateOracleSession("u", "p", "h/s", options);
  try {
    session->Connect();
  } catch (const repository::RepositoryError& e) {
    EXPECT_FALSE(session->Connected());
    return e.what();
  }
  ADD_FAILURE() << "no error";
  return "";
}

// The administrator learns what is missing and where Windows looks for it; a file that is
// there but cannot be loaded says more than a name that is absent, so it is the one reported.
TEST(OracleLibraryWin, MissingOrBrokenOciDllTellsWhatToInstall) {
  const std::string missing = ConnectError({"C:\\nonexistent\\oci.dll", "oci-absent-99.dll"});
  EXPECT_NE(missing.find("C:\\nonexistent\\oci.dll could not be found (error 126)"),
            std::string::npos)
      << missing;
  EXPECT_NE(missing.find("Oracle Instant Client Basic or Basic Light (64-bit"), std::string::npos)
      << missing;
  EXPECT_NE(missing.find("to the PATH of the service"), std::string::npos) << missing;
  EXPECT_EQ(missing.find("LD_LIBRARY_PATH"), std::string::npos) << missing;

  test::TempDir dir;
  test::WriteText(dir.File("oci.dll"), "not a library");
  const std::string broken = ConnectError({"oci-absent-99.dll", dir.File("oci.dll")});
  EXPECT_NE(broken.find(dir.File("oci.dll") + " is not a 64-bit Windows library (error 193)"),
            std::string::npos)
      << broken;

  // Loads, but is no Oracle client.
  const std::string wrong = ConnectError({"ws2_32.dll"});
  EXPECT_NE(wrong.find("ws2_32.dll lacks the entry points"), std::string::npos) << wrong;
}

// Npcap's own directory comes before the search path, and the Windows-only entry points bind.
TEST(PcapBindingWin, NpcapFirstAndTheWindowsEntryPointsBind) {
  wchar_t system[MAX_PATH];
  const UINT n = GetSystemDirectoryW(system, MAX_PATH);
  ASSERT_GT(n, 0u);
  std::string system_dir;
  for (UINT i = 0; i < n; ++i) system_dir += static_cast<char>(system[i]);
  EXPECT_EQ(platform::CaptureLibraryNames(),
            (std::vector<std::string>{system_dir + "\\Npcap\\wpcap.dll", "wpcap.dll"}));

  sniffer::SetCaptureLibraryNamesForTesting({"ws2_32.dll"});
  EXPECT_FALSE(sniffer::LoadCaptureLibrary());
  sniffer::SetCaptureLibraryNamesForTesting({"ws2_32.dll", "wpcap.dll"});
  EXPECT_TRUE(sniffer::LoadCaptureLibrary());
  sniffer::SetCaptureLibraryNamesForTesting({});
  ASSERT_TRUE(sniffer::LoadCaptureLibrary());
  EXPECT_NE(sniffer::Pcap().pcap_loop, nullptr);
  EXPECT_NE(sniffer::Pcap().pcap_setbuff, nullptr);  // Windows only
}

}  // namespace
}  // namespace qx
#endif
