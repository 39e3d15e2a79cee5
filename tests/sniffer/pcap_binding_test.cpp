// Binding of the capture library: loading by name, the absent-library path, address helpers.
#include <gtest/gtest.h>
#include "support/net_headers.h"

#include <cstring>

#include "sniffer/pcap_binding.h"
#include "sniffer/sniffer.h"

namespace qx::sniffer {
namespace {

TEST(PcapBinding, IPToStrFormatsMostSignificantByteFirst) {
  EXPECT_EQ(IPToStr(0), "0.0.0.0");
  EXPECT_EQ(IPToStr(0xC0A80001u), "192.168.0.1");
  EXPECT_EQ(IPToStr(0xFFFFFFFFu), "255.255.255.255");
  EXPECT_EQ(IPToStr(0x7F000001u), "127.0.0.1");
}

TEST(PcapBinding, SockAddrToIPReadsBytesFourToSevenWhateverTheFamily) {
  EXPECT_EQ(SockAddrToIP(nullptr), 0u);
  sockaddr_storage storage{};
  auto* raw = reinterpret_cast<uint8_t*>(&storage);
  storage.ss_family = AF_INET6;
  raw[4] = 10, raw[5] = 0, raw[6] = 0, raw[7] = 7;
  EXPECT_EQ(SockAddrToIP(reinterpret_cast<sockaddr*>(&storage)), 0x0A000007u);

  sockaddr_in in{};
  in.sin_family = AF_INET;
  in.sin_addr.s_addr = htonl(0xC0A80001u);
  EXPECT_EQ(SockAddrToIP(reinterpret_cast<sockaddr*>(&in)), 0xC0A80001u);
}

TEST(PcapBinding, LoadsOnceAndBindsWhatTheSystemCalls) {
  ASSERT_TRUE(LoadCaptureLibrary());
  EXPECT_TRUE(LoadCaptureLibrary());
  const PcapApi& api = Pcap();
  EXPECT_NE(api.pcap_loop, nullptr);
  EXPECT_NE(api.pcap_breakloop, nullptr);
  EXPECT_NE(api.pcap_findalldevs, nullptr);
  EXPECT_NE(api.pcap_open_offline, nullptr);  // libpcap has it; only Windows entry points lack
  EXPECT_EQ(api.pcap_setbuff, nullptr);
}

// Each test here points the loader elsewhere and puts it back, whatever happens.
class MissingLibrary : public ::testing::Test {
 protected:
  void TearDown() override {
    SetCaptureLibraryNamesForTesting({});
    EXPECT_TRUE(LoadCaptureLibrary());
  }
};

TEST_F(MissingLibrary, SnifferHasNoInterfacesAndEveryOperationFailsQuietly) {
  SetCaptureLibraryNamesForTesting({"libqx-no-such-capture-library.so.9"});
  EXPECT_FALSE(LoadCaptureLibrary());
  EXPECT_FALSE(LoadCaptureLibrary());  // retried, still absent

  TSniffer sniffer;
  EXPECT_EQ(sniffer.DeviceCount(), 0);
  EXPECT_EQ(sniffer.DeviceIndex(), -1);
  EXPECT_EQ(sniffer.DeviceName(), "Invalid interface");
  std::string msg = "untouched";
  EXPECT_FALSE(sniffer.ListDevices(&msg));
  EXPECT_EQ(msg, "untouched");
  sniffer.SetDeviceIndex(0);
  EXPECT_EQ(sniffer.DeviceIndex(), -1);
  EXPECT_EQ(sniffer.DeviceAddress(), "0.0.0.0");

  sniffer.OnCaptureTCP = [](TSniffer*, PTpcap_pkthdr, PTCPPckt) {};
  EXPECT_EQ(sniffer.StartCapture(), 3);
  sniffer.SetCaptureFile("/nonexistent.pcap");
  EXPECT_EQ(sniffer.StartCapture(), 3);
  EXPECT_FALSE(sniffer.Capturing());
  EXPECT_EQ(sniffer.StopCapture(), 1);
}

TEST_F(MissingLibrary, LibraryWithoutTheEntryPointsDoesNotBind) {
  // A real shared library that exports none of the capture entry points.
  SetCaptureLibraryNamesForTesting({"libm.so.6"});
  EXPECT_FALSE(LoadCaptureLibrary());
  // The next name in the list is tried after one that fails.
  SetCaptureLibraryNamesForTesting({"libm.so.6", "libpcap.so.0.8"});
  EXPECT_TRUE(LoadCaptureLibrary());
}

}  // namespace
}  // namespace qx::sniffer
