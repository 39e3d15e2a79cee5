// The sniffer pool of passive services: one sniffer per interface, shared by the services on it,
// fourteen interfaces at most, and the interface looked up by its address. The interfaces are
// made up (their capture cannot start), which is all the pool's bookkeeping needs.
#include <gtest/gtest.h>
#include "support/net_headers.h"

#include <pcap/pcap.h>

#include <algorithm>
#include <cstring>

#include "service/catalogue.h"
#include "service/passive_startup.h"
#include "sniffer/sniffer.h"
#include "support/test_util.h"

namespace qx::service {
namespace {

// Adds an interface named `name` with `address` to the sniffer's device list.
void AddFakeDevice(sniffer::TSniffer& s, const std::string& name, const std::string& address) {
  sockaddr_in in{};
  in.sin_family = AF_INET;
  inet_pton(AF_INET, address.c_str(), &in.sin_addr);
  pcap_addr_t a{};
  a.addr = reinterpret_cast<sockaddr*>(&in);
  pcap_if_t entry{};
  std::string n = name;
  entry.name = n.data();
  entry.addresses = &a;
  s.AddDevice(&entry);
}

std::string Address(int i) { return "10.200.0." + std::to_string(i + 1); }

class PassiveStartup : public ::testing::Test {
 protected:
  void SetUp() override {
    svc_.ServiceCreate();
    std::string error;
    ASSERT_TRUE(svc_.errorLog.Create(dir_.File("qxerror.log"), &error));
    ASSERT_TRUE(svc_.serviceLog.Create(dir_.File("qxservice.log"), &error));
    for (auto& s : svc_.snifferPool) {
      for (int i = 0; i < 15; ++i) AddFakeDevice(*s, "qxfake" + std::to_string(i), Address(i));
    }
  }
  TServiceData& Add(const std::string& name, const std::string& address) {
    auto s = std::make_unique<TServiceData>();
    s->name = name;
    s->ipinterface = address;
    s->oracle_host = "10.0.0.1";
    s->oracle_port = 1521;
    svc_.services.push_back(std::move(s));
    return *svc_.services.back();
  }
  std::vector<std::string> ServiceLog() { return test::LogMessages(dir_.File("qxservice.log")); }
  std::vector<std::string> ErrorLog() { return test::LogMessages(dir_.File("qxerror.log")); }

  test::TempDir dir_;
  TQuorvexService svc_;
};

TEST_F(PassiveStartup, DevicesAreFoundByTheirTrimmedAddress) {
  const sniffer::TSniffer& s = *svc_.snifferPool[0];
  const int index = FindDeviceIndex(s, " 10.200.0.3 ");
  ASSERT_GE(index, 0);
  EXPECT_EQ(s.Device(index).Name, "qxfake2");
  EXPECT_EQ(FindDeviceIndex(s, "10.200.0.30"), -1);
  EXPECT_EQ(FindDeviceIndex(s, "010.200.0.3"), -1);
  // Free sniffers read "0.0.0.0" but are bound to nothing.
  EXPECT_EQ(FindPoolSniffer(svc_, "0.0.0.0"), nullptr);
  EXPECT_EQ(FreePoolSniffer(svc_), svc_.snifferPool[0].get());
}

TEST_F(PassiveStartup, FourteenInterfacesAtMostAndOneSnifferPerInterface) {
  for (int i = 0; i < 15; ++i) Add("S" + std::to_string(i), Address(i));
  TServiceData& shared = Add("SHARED", " " + Address(14));
  // Start-up walks the services from the last to the first.
  std::vector<bool> started;
  for (auto it = svc_.services.rbegin(); it != svc_.services.rend(); ++it) {
    started.push_back(StartPassive(svc_, **it));
  }
  std::reverse(started.begin(), started.end());
  for (int i = 1; i < 16; ++i) EXPECT_TRUE(started[i]) << i;
  EXPECT_FALSE(started[0]);  // the first in load order comes last and finds no free sniffer
  EXPECT_EQ(svc_.services[0]->sniffer.load(), nullptr);
  EXPECT_EQ(svc_.services[14]->sniffer.load(), svc_.snifferPool[0].get());
  EXPECT_EQ(shared.sniffer.load(), svc_.snifferPool[0].get());
  EXPECT_EQ(FreePoolSniffer(svc_), nullptr);

  const auto log = ServiceLog();
  const auto has = [&log](const std::string& line) {
    return std::find(log.begin(), log.end(), line) != log.end();
  };
  // SHARED, last in load order, binds the sniffer; S14 on the same interface shares it.
  EXPECT_TRUE(has("Created listening thread for ip interface  10.200.0.15 for service SHARED"));
  // The made-up interface cannot be opened: logged, the service goes on.
  EXPECT_TRUE(has("Quorvex listener for service SHARED failed to start on ip interface  "
                  "10.200.0.15"));
  EXPECT_TRUE(has("Found listening thread for ip interface 10.200.0.15 for service S14"));
  EXPECT_TRUE(has("Quorvex listener for service S14 has been successfully bound to ip "
                  "interface 10.200.0.15"));
  EXPECT_EQ(log[log.size() - 2], "Created listening thread for ip interface 10.200.0.1 for "
                                 "service S0");
  EXPECT_EQ(ErrorLog(), std::vector<std::string>{"Unable to create listening thread for the ip "
                                                  "interface 10.200.0.1 for service S0"});
  EXPECT_EQ(log.back(), ErrorLog().back());
}

TEST_F(PassiveStartup, AnUnknownInterfaceAbandonsTheService) {
  TServiceData& s = Add("ORA", "10.201.0.1");
  EXPECT_FALSE(StartPassive(svc_, s));
  EXPECT_EQ(ErrorLog(), std::vector<std::string>{"Unable to find ip interface 10.201.0.1 for "
                                                 "service ORA Please contact techncal support "
                                                 "service."});
}

}  // namespace
}  // namespace qx::service
