// The decoder against the recorded sessions in tests/data/captures: for each capture, what it
// reports per connection (descriptor, user, every execution's text, logon results, where the
// session ends) must equal tests/data/captures/expected/<capture>.txt, which was read off the
// wire by hand (tshark and the packet bytes). The same holds when every capture is fed one byte
// at a time and in random pieces.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>

#include "oranet/session_trace.h"
#include "support/pcap_reader.h"

namespace qx::test {
namespace {

const char* const kCaptures[] = {
    "7_oracle10_2016.pcapng", "Oracle-WinWin-1.pcap",  "Oracle-good.pcap",
    "TNS_Oracle4.pcap",       "arkime_oracle.pcap",    "oracle_11g_password1234567890.pcapng",
    "trex_cap2_Oracle.pcap",  "try-1-simple.pcap",
    "python_thin_any_sll.pcap", "python_thin_any_sll2.pcap", "python_thin_ipv6.pcap",
};

std::vector<std::string> Render(const std::vector<CaptureConnection>& conns, size_t piece) {
  std::vector<std::string> out;
  for (size_t i = 0; i < conns.size(); ++i) {
    if (conns[i].chunks.empty()) continue;
    out.push_back("session " + std::to_string(i + 1) + " " + conns[i].client + " -> " +
                  conns[i].server);
    const bool callEnds = std::getenv("QX_ORANET_CALLENDS") != nullptr;  // for reading traces
    for (auto& line : TraceConnection(conns[i], piece, nullptr, callEnds)) out.push_back("  " + line);
  }
  return out;
}

std::vector<std::string> ReadLines(const std::string& path) {
  std::ifstream in(path);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

std::string ExpectedPath(const std::string& capture) {
  return testsupport::CapturesDirectory() + "/expected/" + capture + ".txt";
}

class CaptureDecode : public ::testing::TestWithParam<const char*> {};

TEST_P(CaptureDecode, MatchesWhatTheWireSays) {
  const std::string name = GetParam();
  std::vector<CaptureConnection> conns;
  std::string error;
  ASSERT_TRUE(CaptureConnections(testsupport::CapturesDirectory() + "/" + name, &conns, &error))
      << error;
  const std::vector<std::string> actual = Render(conns, 0);
  if (const char* dump = std::getenv("QX_ORANET_DUMP")) {
    std::ofstream(std::string(dump) + "/" + name + ".txt") << [&] {
      std::ostringstream s;
      for (auto& l : actual) s << l << "\n";
      return s.str();
    }();
  }
  const std::vector<std::string> expected = ReadLines(ExpectedPath(name));
  ASSERT_FALSE(expected.empty()) << "no " << ExpectedPath(name);
  EXPECT_EQ(actual, expected);
}

TEST_P(CaptureDecode, AnySplitGivesTheSameEvents) {
  const std::string name = GetParam();
  std::vector<CaptureConnection> conns;
  std::string error;
  ASSERT_TRUE(CaptureConnections(testsupport::CapturesDirectory() + "/" + name, &conns, &error));
  const std::vector<std::string> whole = Render(conns, 0);
  EXPECT_EQ(Render(conns, 1), whole) << "one byte at a time";
  // Random cut points, across chunk boundaries too: re-chunk each direction's stream.
  std::mt19937 rng(12345);
  for (int round = 0; round < 3; ++round) {
    std::vector<CaptureConnection> cut = conns;
    for (auto& c : cut) {
      std::vector<Chunk> pieces;
      for (const Chunk& ch : c.chunks) {
        size_t i = 0;
        while (i < ch.bytes.size()) {
          const size_t n = std::min<size_t>(ch.bytes.size() - i, 1 + rng() % 300);
          pieces.push_back({ch.direction, ch.bytes.substr(i, n)});
          i += n;
        }
      }
      c.chunks = std::move(pieces);
    }
    EXPECT_EQ(Render(cut, 0), whole) << "random split, round " << round;
  }
}

INSTANTIATE_TEST_SUITE_P(Captures, CaptureDecode, ::testing::ValuesIn(kCaptures),
                         [](const auto& info) {
                           std::string n = info.param;
                           for (char& c : n) if (!isalnum(static_cast<unsigned char>(c))) c = '_';
                           return n;
                         });

}  // namespace
}  // namespace qx::test
