// Writes the seed corpus of the fuzz targets from the recorded sessions (tests/data/captures or
// $QX_CAPTURES_DIR): per connection, one file for session_fuzz (records "direction, 2-byte
// length, bytes" in capture order) and one for tns_framer_fuzz (a mode byte, then the client's
// bytes); with FRAME_DIR, per capture one file for frame_fuzz (records "link selector, 2-byte
// length, frame" of its first frames).
// usage: make_fuzz_corpus SESSION_DIR FRAMER_DIR [FRAME_DIR]
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <pcap/pcap.h>

#include "oranet/session_trace.h"
#include "support/pcap_reader.h"

// The selector byte frame_fuzz maps to each link type (its kLinkTypes order).
int LinkSelector(int link_type) {
  const int order[] = {DLT_EN10MB, DLT_LINUX_SLL, 276, DLT_NULL, DLT_LOOP, DLT_RAW, 101, 228, 229};
  for (int i = 0; i < 9; ++i) {
    if (order[i] == link_type) return i;
  }
  return 0;
}

// Every capture's frames as frame_fuzz records, up to about 60 KB per file.
int WriteFrameCorpus(const std::string& dir) {
  int files = 0;
  for (const auto& entry : std::filesystem::directory_iterator(qx::testsupport::CapturesDirectory())) {
    const std::string ext = entry.path().extension().string();
    if (ext != ".pcap" && ext != ".pcapng") continue;
    char errbuf[PCAP_ERRBUF_SIZE] = {};
    pcap_t* p = pcap_open_offline(entry.path().c_str(), errbuf);
    if (p == nullptr) continue;
    const char selector = static_cast<char>(LinkSelector(pcap_datalink(p)));
    std::string records;
    pcap_pkthdr* header = nullptr;
    const u_char* data = nullptr;
    while (records.size() < 60000 && pcap_next_ex(p, &header, &data) == 1) {
      const size_t n = std::min<size_t>(header->caplen, 65535);
      records += selector;
      records += static_cast<char>(n >> 8);
      records += static_cast<char>(n & 0xFF);
      records.append(reinterpret_cast<const char*>(data), n);
    }
    pcap_close(p);
    std::ofstream(dir + "/" + entry.path().filename().string(), std::ios::binary) << records;
    ++files;
  }
  return files;
}

int main(int argc, char** argv) {
  if (argc != 3 && argc != 4) {
    std::fprintf(stderr, "usage: %s SESSION_DIR FRAMER_DIR [FRAME_DIR]\n", argv[0]);
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
  if (argc == 4) files += WriteFrameCorpus(argv[3]);
  std::printf("%d corpus files\n", files);
  return 0;
}
