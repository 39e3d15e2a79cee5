// Test helpers for the Oracle Net decoder (see session_trace.h).
#include "oranet/session_trace.h"

#include <map>
#include <set>
#include <tuple>

#include "support/pcap_reader.h"

namespace qx::test {

namespace {
// "address:port", the address as passive mode writes it (dotted, or RFC 5952 for IPv6).
std::string Endpoint(const sniffer::IpAddress& ip, uint16_t port) {
  return ip.Text() + ":" + std::to_string(port);
}
}  // namespace

bool CaptureConnections(const std::string& path, std::vector<CaptureConnection>* out,
                        std::string* error) {
  std::vector<testsupport::TcpSegment> segments;
  if (!testsupport::ReadTcpSegments(path, &segments, error)) return false;
  using Key = std::pair<std::string, std::string>;  // endpoints, ordered
  std::map<Key, size_t> index;
  std::vector<std::string> clientOf;
  std::set<std::tuple<std::string, uint32_t, std::string>> seen;
  out->clear();
  for (const auto& s : segments) {
    const std::string src = Endpoint(s.src, s.srcPort), dst = Endpoint(s.dst, s.dstPort);
    const Key key = src < dst ? Key{src, dst} : Key{dst, src};
    auto it = index.find(key);
    if (it == index.end()) {
      it = index.emplace(key, out->size()).first;
      out->push_back({});
      clientOf.push_back("");
    }
    CaptureConnection& c = (*out)[it->second];
    std::string& client = clientOf[it->second];
    if (client.empty()) {
      if ((s.flags & 0x12) == 0x02) client = src;                       // SYN
      else if ((s.flags & 0x12) == 0x12) client = dst;                  // SYN ACK
      else if (s.payload.size() > 4 && s.payload[4] == 1) client = src; // CONNECT
      else if (!s.payload.empty()) client = s.srcPort > s.dstPort ? src : dst;
      if (!client.empty()) {
        c.client = client;
        c.server = client == src ? dst : src;
      }
    }
    if (s.payload.empty()) continue;
    if (!seen.insert({src, s.seq, s.payload}).second) continue;  // captured twice
    Chunk chunk;
    chunk.direction = src == c.client ? oranet::Direction::kToServer : oranet::Direction::kToClient;
    chunk.bytes = s.payload;
    c.chunks.push_back(std::move(chunk));
  }
  return true;
}

std::string Escape(std::string_view text) {
  static const char* hex = "0123456789abcdef";
  std::string out;
  for (unsigned char ch : text) {
    if (ch == '\\') {
      out += "\\\\";
    } else if (ch < 0x20 || ch == 0x7F) {
      out += "\\x";
      out += hex[ch >> 4];
      out += hex[ch & 15];
    } else {
      out += static_cast<char>(ch);
    }
  }
  return out;
}

std::string_view Trim(std::string_view t) {
  while (!t.empty() && static_cast<unsigned char>(t.front()) <= 0x20) t.remove_prefix(1);
  while (!t.empty() && static_cast<unsigned char>(t.back()) <= 0x20) t.remove_suffix(1);
  return t;
}

void TraceSink::OnEvent(const oranet::Event& e) {
  using K = oranet::EventKind;
  const char* side = e.direction == oranet::Direction::kToServer ? "client" : "server";
  switch (e.kind) {
    case K::kConnectDescriptor: lines.push_back("descriptor " + Escape(e.text)); break;
    case K::kAccept: lines.push_back("accept " + std::to_string(e.number)); break;
    case K::kRefuse: lines.push_back("refuse " + Escape(e.text)); break;
    case K::kRedirect: lines.push_back("redirect " + Escape(e.text)); break;
    case K::kLogonUser: lines.push_back("user " + Escape(e.text)); break;
    case K::kLogonResult:
      lines.push_back(e.success ? "logon ok" : "logon failed " + std::to_string(e.errorCode));
      break;
    case K::kExecution: {
      static const char* calls[] = {"none", "oall8", "oall7", "parse", "execute", "reexecute"};
      std::string line = std::string("exec ") + calls[static_cast<int>(e.call)];
      if (e.unknownCursor) line += " unknown-cursor " + std::to_string(e.cursor);
      else line += " " + Escape(Trim(e.text));
      lines.push_back(line);
      oranet::Event copy = e;
      copy.text = {};
      executions.push_back(copy);
      executionTexts.emplace_back(e.text);
      break;
    }
    case K::kCommit: lines.push_back("commit"); break;
    case K::kRollback: lines.push_back("rollback"); break;
    case K::kLogoff: lines.push_back("logoff"); break;
    case K::kCallEnd:
      if (callEnds_) {
        lines.push_back("callend err=" + std::to_string(e.errorCode) +
                        " rows=" + std::to_string(e.rows) + " cursor=" + std::to_string(e.cursor) +
                        (e.outcomeKnown ? "" : " unknown"));
      } else if (e.errorCode != 0) {
        lines.push_back("error " + std::to_string(e.errorCode));
      }
      break;
    case K::kEndOfSession: lines.push_back(std::string("end ") + side); break;
    case K::kFallback: lines.push_back("fallback " + std::to_string(e.text.size()) + " bytes"); break;
    case K::kRequest: ++requests; break;
  }
}

std::vector<std::string> TraceConnection(const CaptureConnection& c, size_t piece,
                                         oranet::Stats* stats, bool callEnds) {
  TraceSink sink(callEnds);
  oranet::SessionDecoder decoder(sink);
  for (const Chunk& chunk : c.chunks) {
    const size_t step = piece == 0 ? chunk.bytes.size() : piece;
    for (size_t i = 0; i < chunk.bytes.size(); i += step) {
      decoder.Feed(chunk.direction, std::string_view(chunk.bytes).substr(i, step));
    }
  }
  decoder.Finish();
  if (stats) *stats = decoder.stats();
  return sink.lines;
}

}  // namespace qx::test
