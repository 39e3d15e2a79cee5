// Oracle Net packet builders. Layouts follow recorded OCI 11g sessions (field widths and
// the ff-filled pointers included) so that anything that searches client data for keywords
// sees what it would see from a real client.
#include "tns.h"

#include <algorithm>

namespace qxpeer {

namespace {

constexpr size_t kSdu = 8192;
constexpr size_t kMaxDescriptorInConnect = 230;

void Put16(std::string* s, size_t v) {
  s->push_back(static_cast<char>((v >> 8) & 0xff));
  s->push_back(static_cast<char>(v & 0xff));
}
void Put32(std::string* s, size_t v) {
  Put16(s, (v >> 16) & 0xffff);
  Put16(s, v & 0xffff);
}
void Put32Le(std::string* s, size_t v) {
  for (int i = 0; i < 4; ++i) s->push_back(static_cast<char>((v >> (8 * i)) & 0xff));
}
void Bytes(std::string* s, std::initializer_list<int> b) {
  for (int v : b) s->push_back(static_cast<char>(v));
}
void Pointer(std::string* s) { Bytes(s, {0xfe, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff}); }

// A packet header in front of `body`: the 2-byte length before the ACCEPT and with the old
// framing, the 4-byte one after an ACCEPT of version 315 or later.
std::string Packet(int type, const std::string& body, bool wide, int flags) {
  std::string p;
  const size_t len = body.size() + 8;
  if (wide) {
    Put32(&p, len);
  } else {
    Put16(&p, len);
    Put16(&p, 0);
  }
  p.push_back(static_cast<char>(type));
  p.push_back(static_cast<char>(flags));
  Put16(&p, 0);
  return p + body;
}

// OCI's key/value layout: <len> 00 00 00 <len> KEY <len> 00 00 00 <len> VALUE 00 00 00 00.
void KeyValue(std::string* s, const std::string& key, const std::string& value) {
  const size_t k = std::min<size_t>(key.size(), 255), v = std::min<size_t>(value.size(), 255);
  Bytes(s, {static_cast<int>(k), 0, 0, 0, static_cast<int>(k)});
  s->append(key, 0, k);
  if (v == 0) {
    Bytes(s, {0, 0, 0, 0});
  } else {
    Bytes(s, {static_cast<int>(v), 0, 0, 0, static_cast<int>(v)});
    s->append(value, 0, v);
  }
  Bytes(s, {0, 0, 0, 0});
}

std::string UserField(const std::string& orauser) {
  return std::string(1, static_cast<char>(std::min<size_t>(orauser.size(), 255))) + orauser.substr(0, 255);
}

}  // namespace

std::string BuildDescriptor(const DescriptorFields& f) {
  return "(DESCRIPTION=(CONNECT_DATA=(SERVICE_NAME=" + f.service_name + ")(CID=(PROGRAM=" + f.program +
         ")(HOST=" + f.host + ")(USER=" + f.user + ")))(ADDRESS=(PROTOCOL=TCP)(HOST=" + f.address_host +
         ")(PORT=" + std::to_string(f.address_port) + ")))";
}

std::string ConnectPacket(const std::string& descriptor, Framing framing) {
  const int version = framing == Framing::kOld ? 314 : 318;
  const size_t data_offset = framing == Framing::kOld ? 58 : 74;
  const bool inline_data = descriptor.size() <= kMaxDescriptorInConnect;
  std::string body;
  Put16(&body, version);
  Put16(&body, 300);     // lowest compatible version
  Put16(&body, 0x0c41);  // service options
  Put16(&body, kSdu);
  Put16(&body, 0xffff);  // TDU
  Put16(&body, 0x7f08);  // protocol characteristics
  Put16(&body, 0);       // line turnaround
  Put16(&body, 1);       // value of one in host byte order
  Put16(&body, descriptor.size());
  Put16(&body, data_offset);
  Put32(&body, 0);       // max receivable data
  Bytes(&body, {0x41, 0x41});
  body.resize(data_offset - 8, '\0');
  if (framing == Framing::kNew) {
    // Large SDU and TDU of the 315+ layout.
    body[58 - 8 + 2] = static_cast<char>(kSdu >> 8);
    body[62 - 8 + 1] = 0x20;
  }
  if (inline_data) return Packet(1, body + descriptor, false, 0);
  // The descriptor follows in a DATA packet (still 2-byte lengths: the ACCEPT is to come).
  return Packet(1, body, false, 0) + Packet(6, std::string(2, '\0') + descriptor, false, 0);
}

std::string AcceptPacket(Framing framing) {
  std::string body;
  if (framing == Framing::kOld) {
    Put16(&body, 312);
    Put16(&body, 0);       // service options
    Put16(&body, kSdu);
    Put16(&body, 0x7fff);  // TDU
    Put16(&body, 0x0100);  // value of one
    Put16(&body, 0);       // accept data length
    Put16(&body, 32);      // accept data offset
    Bytes(&body, {0x41, 0x01});
    body.resize(24, '\0');
    return Packet(2, body, false, 0);
  }
  // Version 317 without out-of-band or fast authentication.
  Bytes(&body, {0x01, 0x3d, 0x00, 0x01, 0x20, 0x00, 0xff, 0xff, 0x00, 0x01, 0x00, 0x00, 0x00, 0x2d,
                0x04, 0x08});
  body.append(8, '\0');
  Bytes(&body, {0x00, 0x00, 0x20, 0x00, 0x00, 0x00, 0xff, 0xff, 0x00, 0x00, 0x00, 0x00, 0x00});
  return Packet(2, body, false, 0);
}

std::string DataPackets(const std::string& payload, Framing framing, bool from_server) {
  const bool wide = framing == Framing::kNew;
  const int flags = wide ? 0x20 : 0;
  (void)from_server;
  const size_t room = kSdu - 10;
  std::string out;
  size_t off = 0;
  do {
    const size_t n = std::min(room, payload.size() - off);
    out += Packet(6, std::string(2, '\0') + payload.substr(off, n), wide, flags);
    off += n;
  } while (off < payload.size());
  return out;
}

std::string AuthPhaseOne(const std::string& orauser, const std::string& terminal,
                         const std::string& program, const std::string& machine, uint8_t seq) {
  std::string m;
  Bytes(&m, {0x03, 0x76, seq});
  Pointer(&m);
  Put32Le(&m, orauser.size());
  Bytes(&m, {0x01, 0x00, 0x00, 0x00});
  Pointer(&m);
  Bytes(&m, {0x05, 0x00, 0x00, 0x00});
  Pointer(&m);
  Pointer(&m);
  m += UserField(orauser);
  KeyValue(&m, "AUTH_TERMINAL", terminal);
  KeyValue(&m, "AUTH_PROGRAM_NM", program);
  KeyValue(&m, "AUTH_MACHINE", machine);
  KeyValue(&m, "AUTH_PID", "20401");
  KeyValue(&m, "AUTH_SID", "oracle");
  return m;
}

std::string AuthPhaseOneReply() {
  std::string m;
  Bytes(&m, {0x08, 0x03, 0x00});
  KeyValue(&m, "AUTH_SESSKEY", std::string(96, 'A'));
  KeyValue(&m, "AUTH_VFR_DATA", "8F4E3C2A1B0D9E7F6A5B");
  Bytes(&m, {0x04, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00});
  return m;
}

std::string AuthPhaseTwo(const std::string& orauser, const std::string& terminal, uint8_t seq) {
  std::string m;
  Bytes(&m, {0x03, 0x73, seq});
  Pointer(&m);
  Put32Le(&m, orauser.size());
  Bytes(&m, {0x01, 0x01, 0x00, 0x00});
  Pointer(&m);
  Bytes(&m, {0x12, 0x00, 0x00, 0x00});
  Pointer(&m);
  Pointer(&m);
  m += UserField(orauser);
  KeyValue(&m, "AUTH_SESSKEY", std::string(96, 'B'));
  KeyValue(&m, "AUTH_PASSWORD", std::string(64, 'C'));
  KeyValue(&m, "AUTH_RTT", "12199");
  KeyValue(&m, "AUTH_CLNT_MEM", "4096");
  KeyValue(&m, "AUTH_TERMINAL", terminal);
  KeyValue(&m, "AUTH_ALTER_SESSION", "ALTER SESSION SET NLS_LANGUAGE='AMERICAN'");
  return m;
}

std::string AuthPhaseTwoReply() {
  std::string m;
  Bytes(&m, {0x08, 0x02, 0x00});
  KeyValue(&m, "AUTH_VERSION_NO", "185599744");
  KeyValue(&m, "AUTH_SESSION_ID", "142");
  KeyValue(&m, "AUTH_SERIAL_NUM", "7");
  Bytes(&m, {0x04, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00});
  return m;
}

std::string ExecuteCall(const std::string& sql, uint8_t seq) {
  std::string m;
  Bytes(&m, {0x03, 0x5e, seq, 0x61, 0x80, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00});
  Pointer(&m);
  Put32Le(&m, sql.size());
  Pointer(&m);
  Bytes(&m, {0x0d, 0x00, 0x00, 0x00});
  Pointer(&m);
  Pointer(&m);
  Bytes(&m, {0x00, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00});
  m.append(24, '\0');
  Pointer(&m);
  m.append(8, '\0');
  Pointer(&m);
  Pointer(&m);
  Pointer(&m);
  m.append(8, '\0');
  Pointer(&m);
  Pointer(&m);
  m.append(28, '\0');
  if (sql.size() <= 64) {
    m.push_back(static_cast<char>(sql.size()));
    m += sql;
  } else {
    m.push_back(static_cast<char>(0xfe));
    for (size_t off = 0; off < sql.size(); off += 64) {
      const size_t n = std::min<size_t>(64, sql.size() - off);
      m.push_back(static_cast<char>(n));
      m.append(sql, off, n);
    }
    m.push_back('\0');
  }
  Bytes(&m, {0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
             0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01, 0x00,
             0x00, 0x00, 0x00});
  return m;
}

std::string StatementReply(Framing framing, size_t packet_size, uint32_t number) {
  const size_t header = framing == Framing::kNew ? 8 : 8;
  const size_t body_size = std::max<size_t>(packet_size, header + 4) - header - 2;
  // An end-of-call block (04) with cursor 1 and one row; the rest is the block's zero fields.
  std::string m;
  Bytes(&m, {0x04, 0x01, 0x01, 0x01, 0x01});
  Put32(&m, number);
  m.resize(std::max(body_size, m.size()), '\0');
  m.resize(body_size);
  return DataPackets(m, framing, true);
}

std::string EndPacket(Framing framing) {
  if (framing == Framing::kOld) return std::string("\x00\x0a\x00\x00\x06\x00\x00\x00\x00\x40", 10);
  return std::string("\x00\x00\x00\x0a\x06\x20\x00\x00\x00\x40", 10);
}

}  // namespace qxpeer
