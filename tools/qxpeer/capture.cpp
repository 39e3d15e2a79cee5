// Capture reading and TCP reassembly for replay (frames decoded by sniffer/packet.h).
//
// Ordering: each recorded send waits for the bytes of the other side that its sender had
// acknowledged when it sent (the TCP acknowledgement number), which is the causal order of
// the original conversation and does not depend on where the capture was taken. Sends whose
// acknowledgement is missing or unusable fall back to capture order. Oracle Net clients
// always speak first, so server sends recorded before any client data wait for the client's
// first send.
#include "capture.h"

#include <pcap/pcap.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>

#include "sniffer/packet.h"

namespace qxpeer {

namespace {

uint16_t Be16(const unsigned char* p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }

struct Segment {
  std::string src, dst;  // raw address bytes
  uint16_t sport = 0, dport = 0;
  uint32_t seq = 0, ack = 0;
  bool syn = false, fin = false, rst = false, has_ack = false;
  bool truncated = false;
  const unsigned char* payload = nullptr;
  size_t length = 0;
};

std::string AddressText(const std::string& raw) {
  char buf[64];
  if (raw.size() == 4) {
    std::snprintf(buf, sizeof buf, "%u.%u.%u.%u", static_cast<unsigned char>(raw[0]),
                  static_cast<unsigned char>(raw[1]), static_cast<unsigned char>(raw[2]),
                  static_cast<unsigned char>(raw[3]));
    return buf;
  }
  std::string s = "[";
  for (size_t i = 0; i + 1 < raw.size(); i += 2) {
    std::snprintf(buf, sizeof buf, "%s%02x%02x", i ? ":" : "", static_cast<unsigned char>(raw[i]),
                  static_cast<unsigned char>(raw[i + 1]));
    s += buf;
  }
  return s + "]";
}

// Decodes the TCP segment of one frame (sniffer/packet.h reads every link type the capture
// library reports); false for anything else, and for fragmented datagrams, whose first
// fragment holds only part of the segment.
bool DecodeFrame(int linktype, const unsigned char* p, size_t caplen, Segment* s) {
  qx::sniffer::TcpPacket packet;
  if (!qx::sniffer::DecodeTcpPacket(linktype, p, caplen, &packet) || packet.first_fragment) {
    return false;
  }
  const size_t address_bytes = packet.source.family == 4 ? 4 : 16;
  s->src.assign(reinterpret_cast<const char*>(packet.source.bytes.data()), address_bytes);
  s->dst.assign(reinterpret_cast<const char*>(packet.destination.bytes.data()), address_bytes);
  s->sport = packet.source_port;
  s->dport = packet.destination_port;
  s->seq = packet.sequence;
  s->ack = packet.acknowledgement;
  s->fin = packet.flags.fin;
  s->syn = packet.flags.syn;
  s->rst = packet.flags.rst;
  s->has_ack = packet.flags.ack;
  s->truncated = packet.payload_wire_length > packet.payload_length;
  s->payload = packet.payload;
  s->length = packet.payload_length;
  return true;
}

// True for a payload that starts with an Oracle Net CONNECT packet.
bool IsConnectPacket(const unsigned char* p, size_t n) {
  return n >= 34 && p[4] == 1 && Be16(p) >= 34 && p[2] == 0 && p[3] == 0;
}

struct Event {
  int dir = 0;  // 0: the endpoint that spoke first in the key, 1: the other
  StepKind kind = StepKind::kData;
  std::string bytes;
  bool has_ack = false;
  uint32_t ack = 0;
  uint64_t capture_need = 0;  // other direction's contiguous bytes when recorded
  uint64_t frame = 0;
};

struct Direction {
  std::string addr;
  uint16_t port = 0;
  bool syn = false;
  bool base_set = false;
  uint32_t base = 0;  // sequence number of stream byte 0
  uint64_t next = 0;  // end of the contiguous stream
  std::map<uint64_t, std::pair<std::string, Segment>> pending;  // out-of-order data by offset
  std::map<uint64_t, uint64_t> pending_frame;
  bool fin_seen = false, fin_emitted = false;
  uint64_t fin_offset = 0;
  Segment fin_segment;
  uint64_t fin_frame = 0;
  bool sent_connect = false, first_data = false;
};

struct Connection {
  Direction d[2];
  std::vector<Event> events;
  bool reset = false;
  bool syn_to[2] = {false, false};  // which direction received the SYN
  bool truncated = false;
  uint64_t first_frame = 0;
};

class Reader {
 public:
  std::map<std::string, Connection*> open;  // key -> connection
  std::vector<std::unique_ptr<Connection>> all;
  uint16_t oracle_port = 0;

  void Add(const Segment& s, uint64_t frame) {
    const std::string a = s.src + char(s.sport >> 8) + char(s.sport & 0xff);
    const std::string b = s.dst + char(s.dport >> 8) + char(s.dport & 0xff);
    const std::string key = a < b ? a + "|" + b : b + "|" + a;
    Connection* c = nullptr;
    auto it = open.find(key);
    if (it != open.end()) c = it->second;
    if (c != nullptr && s.syn && !s.has_ack) {
      // A new SYN on a 4-tuple that already carried a finished or different connection
      // starts a new one (port reuse).
      const int i = Dir(c, s);
      const bool same = c->d[i].syn && c->d[i].base == s.seq + 1;
      if (!same && (c->reset || c->d[0].fin_seen || c->d[1].fin_seen || c->d[0].next || c->d[1].next))
        c = nullptr;
    }
    if (c == nullptr) {
      all.push_back(std::make_unique<Connection>());
      c = all.back().get();
      c->first_frame = frame;
      c->d[0].addr = s.src;
      c->d[0].port = s.sport;
      c->d[1].addr = s.dst;
      c->d[1].port = s.dport;
      open[key] = c;
    }
    const int i = Dir(c, s);
    Direction& me = c->d[i];
    Direction& peer = c->d[1 - i];
    if (s.truncated) c->truncated = true;
    if (c->reset) return;  // nothing after a reset reaches anyone
    if (s.syn) {
      if (!me.syn) {
        me.syn = true;
        me.base = s.seq + 1;
        me.base_set = true;
        if (!s.has_ack) c->syn_to[1 - i] = true;
      }
      return;  // SYNs in these captures carry no data
    }
    if (s.length > 0) {
      if (!me.base_set) {
        me.base = s.seq;
        me.base_set = true;
      }
      if (!oracle_port && IsConnectPacket(s.payload, s.length)) oracle_port = s.dport;
      if (IsConnectPacket(s.payload, s.length)) me.sent_connect = true;
      int64_t rel = static_cast<int32_t>(s.seq - me.base);
      std::string bytes(reinterpret_cast<const char*>(s.payload), s.length);
      if (rel < 0) {
        if (static_cast<uint64_t>(-rel) >= bytes.size()) return;
        bytes.erase(0, static_cast<size_t>(-rel));
        rel = 0;
      }
      const uint64_t off = static_cast<uint64_t>(rel);
      if (me.fin_seen && off >= me.fin_offset) return;
      if (off > me.next) {
        auto& slot = me.pending[off];
        if (bytes.size() > slot.first.size()) {
          slot = {bytes, s};
          me.pending_frame[off] = frame;
        }
      } else {
        Append(c, i, off, bytes, s, frame);
        Drain(c, i);
      }
    }
    if (s.fin && !me.fin_seen) {
      me.fin_seen = true;
      // A FIN whose position makes no sense (no stream start seen, or before it) closes the
      // stream where it stands.
      const int64_t rel = me.base_set ? static_cast<int32_t>(s.seq - me.base) : -1;
      me.fin_offset = rel < 0 ? me.next : static_cast<uint64_t>(rel) + s.length;
      me.fin_segment = s;
      me.fin_frame = frame;
    }
    MaybeEmitFin(c, i);
    if (s.rst) {
      Event e;
      e.dir = i;
      e.kind = StepKind::kRst;
      e.has_ack = s.has_ack;
      e.ack = s.ack;
      e.capture_need = peer.next;
      e.frame = frame;
      c->events.push_back(e);
      c->reset = true;
    }
  }

 private:
  static int Dir(const Connection* c, const Segment& s) {
    return (c->d[0].addr == s.src && c->d[0].port == s.sport) ? 0 : 1;
  }

  void Append(Connection* c, int i, uint64_t off, const std::string& bytes, const Segment& s, uint64_t frame) {
    Direction& me = c->d[i];
    if (off + bytes.size() <= me.next) return;  // retransmission of bytes already had
    Event e;
    e.dir = i;
    e.bytes = bytes.substr(static_cast<size_t>(me.next - off));
    e.has_ack = s.has_ack;
    e.ack = s.ack;
    e.capture_need = c->d[1 - i].next;
    e.frame = frame;
    me.next = off + bytes.size();
    c->events.push_back(std::move(e));
  }

  void Drain(Connection* c, int i) {
    Direction& me = c->d[i];
    while (!me.pending.empty() && me.pending.begin()->first <= me.next) {
      auto node = me.pending.extract(me.pending.begin());
      const uint64_t frame = me.pending_frame[node.key()];
      me.pending_frame.erase(node.key());
      Append(c, i, node.key(), node.mapped().first, node.mapped().second, frame);
    }
  }

  void MaybeEmitFin(Connection* c, int i) {
    Direction& me = c->d[i];
    if (!me.fin_seen || me.fin_emitted || me.next < me.fin_offset) return;
    me.fin_emitted = true;
    Event e;
    e.dir = i;
    e.kind = StepKind::kFin;
    e.has_ack = me.fin_segment.has_ack;
    e.ack = me.fin_segment.ack;
    e.capture_need = c->d[1 - i].next;
    e.frame = me.fin_frame;
    c->events.push_back(e);
  }
};

// Orders the events of one connection into a playable script (see the file comment).
void BuildScript(const Connection& c, int server, CaptureSession* out) {
  const int client = 1 - server;
  auto side_of = [&](int dir) { return dir == client ? Side::kClient : Side::kServer; };
  struct Item {
    const Event* e;
    uint64_t need;
  };
  std::vector<Item> q[2];
  uint64_t total[2] = {c.d[0].next, c.d[1].next};
  for (const Event& e : c.events) {
    uint64_t need = e.capture_need;
    const Direction& peer = c.d[1 - e.dir];
    if (e.has_ack && peer.base_set) {
      const int64_t rel = static_cast<int32_t>(e.ack - peer.base);
      need = rel < 0 ? 0 : std::min<uint64_t>(static_cast<uint64_t>(rel), total[1 - e.dir]);
    }
    q[e.dir].push_back({&e, need});
  }
  // The client speaks first.
  if (!q[client].empty() && q[client].front().e->kind == StepKind::kData) {
    const uint64_t first = q[client].front().e->bytes.size();
    const Event* first_client = q[client].front().e;
    bool moved = false;
    for (Item& it : q[server]) {
      if (it.e > first_client) break;  // events are stored in capture order
      if (it.need < first) {
        it.need = first;
        moved = true;
      }
    }
    if (moved) q[client].front().need = 0;
  }
  // Merge both queues into one order in which every step can start; a wait that could never
  // be met (an edited or inconsistent capture) falls back to capture order.
  size_t next[2] = {0, 0};
  uint64_t sent[2] = {0, 0};
  while (next[0] < q[0].size() || next[1] < q[1].size()) {
    bool ready[2];
    for (int i = 0; i < 2; ++i) ready[i] = next[i] < q[i].size() && q[i][next[i]].need <= sent[1 - i];
    if (ready[0] || ready[1]) {
      // Of two steps that may both start, keep the one recorded first.
      int i = ready[0] ? 0 : 1;
      if (ready[0] && ready[1] && q[1][next[1]].e < q[0][next[0]].e) i = 1;
      const Item& it = q[i][next[i]++];
      Step s;
      s.from = side_of(i);
      s.kind = it.e->kind;
      s.bytes = it.e->bytes;
      s.need = it.need;
      s.frame = it.e->frame;
      sent[i] += s.bytes.size();
      out->script.steps.push_back(std::move(s));
      continue;
    }
    int i = 0;
    if (next[0] >= q[0].size()) i = 1;
    else if (next[1] < q[1].size() && q[1][next[1]].e < q[0][next[0]].e) i = 1;
    q[i][next[i]].need = std::min(q[i][next[i]].e->capture_need, sent[1 - i]);
  }
  AddClosingHandshake(&out->script);
}

}  // namespace

bool ReadCapture(const std::string& path, Capture* out, std::string* error) {
  char errbuf[PCAP_ERRBUF_SIZE] = {0};
  pcap_t* pcap = pcap_open_offline(path.c_str(), errbuf);
  if (pcap == nullptr) {
    *error = "cannot read " + path + ": " + errbuf;
    return false;
  }
  const int linktype = pcap_datalink(pcap);
  Reader reader;
  uint64_t frame = 0, skipped = 0;
  pcap_pkthdr* header = nullptr;
  const u_char* data = nullptr;
  int rc = 0;
  while ((rc = pcap_next_ex(pcap, &header, &data)) == 1) {
    ++frame;
    Segment s;
    if (!DecodeFrame(linktype, data, header->caplen, &s)) {
      ++skipped;
      continue;
    }
    reader.Add(s, frame);
  }
  if (rc == PCAP_ERROR) out->warnings.push_back(std::string("read error after frame ") +
                                                std::to_string(frame) + ": " + pcap_geterr(pcap));
  pcap_close(pcap);
  if (skipped) out->warnings.push_back(std::to_string(skipped) + " frame(s) that are not TCP over IP skipped");
  out->oracle_port = reader.oracle_port;

  int number = 0;
  for (const auto& cp : reader.all) {
    const Connection& c = *cp;
    CaptureSession session;
    session.number = ++number;
    // The server is the endpoint on the Oracle port; failing that, the one that received
    // the SYN or the CONNECT; failing that, the one on the lower port.
    int server = -1;
    for (int i = 0; i < 2 && out->oracle_port; ++i)
      if (c.d[i].port == out->oracle_port && c.d[1 - i].port != out->oracle_port) server = i;
    if (server < 0 && c.syn_to[0] != c.syn_to[1]) server = c.syn_to[0] ? 0 : 1;
    if (server < 0 && c.d[0].sent_connect != c.d[1].sent_connect) server = c.d[0].sent_connect ? 1 : 0;
    if (server < 0) server = c.d[0].port <= c.d[1].port ? 0 : 1;
    const int client = 1 - server;
    session.client = AddressText(c.d[client].addr) + ":" + std::to_string(c.d[client].port);
    session.server = AddressText(c.d[server].addr) + ":" + std::to_string(c.d[server].port);
    session.server_port = c.d[server].port;
    session.on_oracle_port = out->oracle_port != 0 && session.server_port == out->oracle_port;
    session.client_bytes = c.d[client].next;
    session.server_bytes = c.d[server].next;
    session.script.name = path + " session " + std::to_string(session.number);
    for (int i = 0; i < 2; ++i) {
      if (!c.d[i].pending.empty()) {
        session.problem = "the capture lacks bytes of the " + std::string(i == client ? "client" : "server") +
                          "'s stream after byte " + std::to_string(c.d[i].next);
      }
    }
    if (c.truncated) session.problem = "frames were cut short by the capture's snapshot length";
    BuildScript(c, server, &session);
    if (session.problem.empty()) session.problem = CheckPlayable(session.script);
    out->sessions.push_back(std::move(session));
  }
  return true;
}

const CaptureSession* DefaultSession(const Capture& capture) {
  for (const CaptureSession& s : capture.sessions)
    if (s.on_oracle_port && s.client_bytes + s.server_bytes > 0 && s.problem.empty()) return &s;
  for (const CaptureSession& s : capture.sessions)
    if (s.client_bytes + s.server_bytes > 0 && s.problem.empty()) return &s;
  return nullptr;
}

}  // namespace qxpeer
