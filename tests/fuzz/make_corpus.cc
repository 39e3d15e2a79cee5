// Writes the seed corpus of the fuzz targets from the recorded sessions (tests/data/captures or
// $QX_CAPTURES_DIR): per connection, one file for session_fuzz (records "direction, 2-byte
// length, bytes" in capture order) and one for tns_framer_fuzz (a mode byte, then the client's
// bytes). usage: make_fuzz_corpus SESSION_DIR FRAMER_DIR
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "oranet/session_trace.h"
#include "support/pcap_reader.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s SESSION_DIR FRAMER_DIR\n", argv[0]);
    return 2;
  }
  const char* captures[] = {"7_oracle10_2016.pcapng", "Oracle-WinWin-1.pcap", "Oracle-good.pcap",
                            "TNS_Oracle4.pcap", "arkime_oracle.pcap",
                            "oracle_11g_password1234567890.pcapng", "trex_cap2_Oracle.pcap",
                            "try-1-simple.pcap"};
  int files = 0;
  for (const char* name : captures) {
    std::vector<qx::test::CaptureConnection> conns;
    std::string error;
    if (!qx::test::CaptureConnections(qx::testsupport::CapturesDirectory() + "/" + name, &conns,
                                      &error)) {
      std::fprintf(stderr, "%s: %s\n", name, error.c_str());
      return 1;
    }
    for (size_t c = 0; c < conns.size(); ++c) {
      std::string session, framer(1, '\x07');
      for (const auto& chunk : conns[c].chunks) {
        for (size_t i = 0; i < chunk.bytes.size(); i += 65535) {
          const std::string piece = chunk.bytes.substr(i, 65535);
          session += chunk.direction == qx::oranet::Direction::kToServer ? '\0' : '\1';
          session += static_cast<char>(piece.size() >> 8);
          session += static_cast<char>(piece.size() & 0xFF);
          session += piece;
        }
        if (chunk.direction == qx::oranet::Direction::kToServer) framer += chunk.bytes;
      }
      const std::string base = std::string(name) + "." + std::to_string(c + 1);
      std::ofstream(std::string(argv[1]) + "/" + base, std::ios::binary) << session;
      std::ofstream(std::string(argv[2]) + "/" + base, std::ios::binary) << framer;
      files += 2;
    }
  }
  std::printf("%d corpus files\n", files);
  return 0;
}
