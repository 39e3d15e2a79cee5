// The stand-in Oracle server's side of one thin-client connection.
#include "session.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <chrono>
#include <map>
#include <thread>
#include <vector>

#include "logon.h"
#include "wire.h"

namespace standin {

void StatementLog::Write(int connection, std::string_view event, std::string_view details) {
  std::lock_guard<std::mutex> lock(mutex_);
  std::string line = std::to_string(connection) + " " + std::string(event);
  if (!details.empty()) line += " " + std::string(details);
  line += "\n";
  fwrite(line.data(), 1, line.size(), out_);
  fflush(out_);
}

namespace {

constexpr uint8_t kPacketConnect = 1;
constexpr uint8_t kPacketAccept = 2;
constexpr uint8_t kPacketRefuse = 4;
constexpr uint8_t kPacketData = 6;
constexpr uint8_t kPacketMarker = 12;

constexpr uint16_t kDataFlagEof = 0x0040;
constexpr uint16_t kDataFlagEndOfRequest = 0x0800;

constexpr uint32_t kMaxSdu = 8192;
constexpr uint32_t kMinSdu = 512;
constexpr uint16_t kAcceptVersion = 317;  // 315 and later: 4-byte packet lengths after ACCEPT
constexpr uint8_t kServerFieldVersion = 13;

// Connect flags (bytes 32 and 33 of the CONNECT): the client insists on native network
// encryption or checksumming, which the stand-in does not implement.
constexpr uint8_t kNaRequired = 0x10;

constexpr uint8_t kFuncReexecute = 0x04;
constexpr uint8_t kFuncFetch = 0x05;
constexpr uint8_t kFuncLogoff = 0x09;
constexpr uint8_t kFuncCommit = 0x0E;
constexpr uint8_t kFuncRollback = 0x0F;
constexpr uint8_t kFuncReexecuteAndFetch = 0x4E;
constexpr uint8_t kFuncExecute = 0x5E;
constexpr uint8_t kFuncCloseCursors = 0x69;
constexpr uint8_t kFuncAuthPhaseTwo = 0x73;
constexpr uint8_t kFuncAuthPhaseOne = 0x76;
constexpr uint8_t kFuncCancelCursors = 0x78;
constexpr uint8_t kFuncPing = 0x93;

constexpr uint32_t kExecFetch = 0x40;
constexpr uint32_t kExecCommit = 0x100;
constexpr uint32_t kExecDescribe = 0x20000;

constexpr uint32_t kOraNoDataFound = 1403;

struct ConnectionGone {};

enum class Kind { kQuery, kPlsql, kDml, kOther };

struct Column {
  std::string name;
  std::string value;
};

struct Cursor {
  std::string sql;
  Kind kind = Kind::kOther;
  std::vector<Column> columns;
  bool no_rows = false;
  bool missing_table = false;  // names a table whose name starts with MISSING_: ORA-00942
  uint64_t dml_rows = 1;       // rows each DML execution processes (standin:rows=N)
  int delay_ms = 0;            // the server works this long on each execution (standin:sleep=N)
  bool rows_pending = false;
  uint64_t rows_sent = 0;
};

std::string Upper(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return out;
}

std::string Trim(std::string_view s) {
  size_t b = 0, e = s.size();
  while (b < e && std::isspace(static_cast<unsigned char>(s[b]))) ++b;
  while (e > b && std::isspace(static_cast<unsigned char>(s[e - 1]))) --e;
  return std::string(s.substr(b, e - b));
}

// The first word of a statement, past blanks, comments and opening parentheses.
std::string FirstWord(std::string_view sql) {
  size_t i = 0;
  for (;;) {
    while (i < sql.size() && (std::isspace(static_cast<unsigned char>(sql[i])) || sql[i] == '(')) ++i;
    if (sql.substr(i, 2) == "--") {
      i = sql.find('\n', i);
      if (i == std::string_view::npos) return {};
    } else if (sql.substr(i, 2) == "/*") {
      i = sql.find("*/", i + 2);
      if (i == std::string_view::npos) return {};
      i += 2;
    } else {
      break;
    }
  }
  size_t e = i;
  while (e < sql.size() && (std::isalnum(static_cast<unsigned char>(sql[e])) || sql[e] == '_')) ++e;
  return Upper(sql.substr(i, e - i));
}

Kind Classify(std::string_view sql) {
  const std::string w = FirstWord(sql);
  if (w == "SELECT" || w == "WITH") return Kind::kQuery;
  if (w == "BEGIN" || w == "DECLARE" || w == "CALL") return Kind::kPlsql;
  if (w == "INSERT" || w == "UPDATE" || w == "DELETE" || w == "MERGE") return Kind::kDml;
  return Kind::kOther;
}

bool IsWordAt(const std::string& upper, size_t at, std::string_view word) {
  if (upper.compare(at, word.size(), word) != 0) return false;
  auto ident = [](char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '$'; };
  if (at > 0 && ident(upper[at - 1])) return false;
  const size_t end = at + word.size();
  return end >= upper.size() || !ident(upper[end]);
}

// The select-list items of a query: from its first SELECT to the FROM at the same nesting
// level, split at top-level commas. Each column is named after its alias (or its text) and
// returns its own text as a value, which lets a client check what came back.
std::vector<Column> SelectList(std::string_view sql) {
  const std::string upper = Upper(sql);
  size_t start = std::string::npos;
  for (size_t i = 0; i < upper.size(); ++i) {
    if (IsWordAt(upper, i, "SELECT")) {
      start = i + 6;
      break;
    }
  }
  std::vector<Column> columns;
  if (start == std::string::npos) return columns;
  std::vector<std::string> items;
  int depth = 0;
  bool quoted = false;
  size_t item_start = start, end = upper.size();
  for (size_t i = start; i < upper.size(); ++i) {
    const char c = upper[i];
    if (c == '\'') quoted = !quoted;
    if (quoted) continue;
    if (c == '(') ++depth;
    if (c == ')') --depth;
    if (depth == 0 && c == ',') {
      items.push_back(std::string(sql.substr(item_start, i - item_start)));
      item_start = i + 1;
    }
    if (depth == 0 && IsWordAt(upper, i, "FROM")) {
      end = i;
      break;
    }
  }
  items.push_back(std::string(sql.substr(item_start, end - item_start)));
  for (const std::string& raw : items) {
    const std::string text = Trim(raw);
    if (text.empty()) continue;
    std::string name = Upper(text);
    const std::string upper_text = Upper(text);
    const size_t as = upper_text.rfind(" AS ");
    if (as != std::string::npos) name = Trim(upper_text.substr(as + 4));
    name.erase(std::remove(name.begin(), name.end(), '"'), name.end());
    if (name.size() > 128) name.resize(128);
    columns.push_back({name, text});
  }
  return columns;
}

// The number after `key` (e.g. "standin:rows=") in the text, or `otherwise`.
long Directive(std::string_view sql, std::string_view key, long otherwise) {
  const size_t at = sql.find(key);
  if (at == std::string_view::npos) return otherwise;
  long v = 0;
  for (size_t i = at + key.size(); i < sql.size() && std::isdigit(static_cast<unsigned char>(sql[i])); ++i) {
    v = v * 10 + (sql[i] - '0');
    if (v > 100000000) break;
  }
  return v;
}

bool SaysNoRows(std::string_view sql) {
  std::string squeezed;
  for (char c : sql) {
    if (!std::isspace(static_cast<unsigned char>(c))) squeezed.push_back(c);
  }
  return squeezed.find("1=0") != std::string::npos;
}

class Session {
 public:
  Session(int fd, int number, const SessionConfig& config, StatementLog& log)
      : fd_(fd), number_(number), config_(config), log_(log), logon_(config.password) {}

  void Run() {
    try {
      if (!Connect()) return;
      Serve();
    } catch (const ConnectionGone&) {
      log_.Write(number_, "CLOSE", "connection lost");
    } catch (const std::exception& e) {
      log_.Write(number_, "ERROR", EscapeText(e.what()));
    }
  }

 private:
  // ---- transport ----
  void ReadExact(char* buf, size_t n) {
    size_t got = 0;
    while (got < n) {
      const ssize_t r = recv(fd_, buf + got, n - got, 0);
      if (r == 0) throw ConnectionGone();
      if (r < 0) {
        if (errno == EINTR) continue;
        throw ConnectionGone();
      }
      got += static_cast<size_t>(r);
    }
  }

  void SendAll(const std::string& bytes) {
    size_t sent = 0;
    while (sent < bytes.size()) {
      const ssize_t r = send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
      if (r < 0) {
        if (errno == EINTR) continue;
        throw ConnectionGone();
      }
      sent += static_cast<size_t>(r);
    }
  }

  bool MoreDataWithin(int timeout_ms) {
    pollfd p{fd_, POLLIN, 0};
    return poll(&p, 1, timeout_ms) != 0;  // errors and hang-ups: let the next read tell
  }

  // A whole packet, header included.
  std::string ReadPacket() {
    std::string packet(8, '\0');
    ReadExact(packet.data(), 8);
    const uint32_t length = large_ ? ReadBe32(packet, 0) : ReadBe16(packet, 0);
    if (length < 8 || length > 4 * 1024 * 1024) throw std::runtime_error("bad packet length");
    packet.resize(length);
    ReadExact(packet.data() + 8, length - 8);
    return packet;
  }

  std::string Header(uint32_t length, uint8_t type) const {
    std::string h(8, '\0');
    if (large_) {
      h[0] = static_cast<char>(length >> 24);
      h[1] = static_cast<char>(length >> 16);
      h[2] = static_cast<char>(length >> 8);
      h[3] = static_cast<char>(length);
    } else {
      h[0] = static_cast<char>(length >> 8);
      h[1] = static_cast<char>(length);
    }
    h[4] = static_cast<char>(type);
    return h;
  }

  // Cuts a reply into DATA packets of at most one SDU each.
  void SendData(const std::string& payload) {
    const size_t room = sdu_ - 10;
    size_t at = 0;
    do {
      const size_t n = std::min(room, payload.size() - at);
      std::string p = Header(static_cast<uint32_t>(n + 10), kPacketData);
      p.append(2, '\0');
      p.append(payload, at, n);
      SendAll(p);
      at += n;
    } while (at < payload.size());
  }

  // ---- listener part ----
  bool Connect() {
    char first[2];
    if (recv(fd_, first, 2, MSG_PEEK) == 2 && first[0] == 0x16 && first[1] == 0x03) {
      log_.Write(number_, "REFUSED", "TLS is not implemented");
      SendAll(std::string("\x15\x03\x01\x00\x02\x02\x28", 7));  // fatal handshake_failure
      return false;
    }
    const std::string packet = ReadPacket();
    if (static_cast<uint8_t>(packet[4]) != kPacketConnect || packet.size() < 34) {
      log_.Write(number_, "REFUSED", "the first packet is not a CONNECT");
      return false;
    }
    const uint16_t version = ReadBe16(packet, 8);
    uint32_t client_sdu = ReadBe16(packet, 14);
    if (version >= 315 && packet.size() >= 62) client_sdu = ReadBe32(packet, 58);
    sdu_ = std::clamp<uint32_t>(client_sdu, kMinSdu, kMaxSdu);
    const uint16_t data_length = ReadBe16(packet, 24);
    const uint16_t data_offset = ReadBe16(packet, 26);
    std::string descriptor;
    if (data_length > 0 && data_offset + data_length <= packet.size()) {
      descriptor = packet.substr(data_offset, data_length);
    } else if (data_length > 0) {
      // Long descriptors follow the CONNECT in a DATA packet of their own.
      const std::string more = ReadPacket();
      if (more.size() > 10) descriptor = more.substr(10);
    }
    log_.Write(number_, "CONNECT", EscapeText(descriptor));
    if ((static_cast<uint8_t>(packet[32]) | static_cast<uint8_t>(packet[33])) & kNaRequired) {
      Refuse(12660, "native network encryption and checksumming are not implemented");
      return false;
    }
    if (version < 315) {
      Refuse(12618, "client protocol versions before 315 are not implemented");
      return false;
    }
    std::string accept = Header(45, kPacketAccept);
    accept.resize(45, '\0');
    auto put16 = [&](size_t at, uint16_t v) {
      accept[at] = static_cast<char>(v >> 8);
      accept[at + 1] = static_cast<char>(v);
    };
    put16(8, kAcceptVersion);
    put16(10, 0x0001);                          // service options
    put16(12, static_cast<uint16_t>(sdu_));
    put16(14, 0xFFFF);                          // TDU
    put16(16, 0x0001);                          // byte order check
    put16(20, 45);                              // connect data offset (no data)
    accept[22] = 0x04;                          // native services disabled
    accept[23] = 0x08;                          // no native services linked
    put16(34, static_cast<uint16_t>(sdu_));     // large SDU, 32 bits at 32
    put16(38, 0xFFFF);                          // large TDU, 32 bits at 36
    SendAll(accept);
    large_ = true;
    return true;
  }

  void Refuse(int code, const std::string& why) {
    log_.Write(number_, "REFUSED", "ORA-" + std::to_string(code) + " " + why);
    const std::string text = "(DESCRIPTION=(TMP=)(VSNNUM=0)(ERR=" + std::to_string(code) +
                             ")(ERROR_STACK=(ERROR=(CODE=" + std::to_string(code) + ")(EMFI=4))))";
    std::string p = Header(static_cast<uint32_t>(12 + text.size()), kPacketRefuse);
    p.push_back(0x22);  // user reason
    p.push_back(0x00);  // system reason
    p.push_back(static_cast<char>(text.size() >> 8));
    p.push_back(static_cast<char>(text.size()));
    p += text;
    SendAll(p);
  }

  // ---- request loop ----
  void Serve() {
    std::string request;
    for (;;) {
      const std::string packet = ReadPacket();
      const uint8_t type = static_cast<uint8_t>(packet[4]);
      if (type == kPacketMarker) {
        log_.Write(number_, "MARKER");
        std::string reset = Header(11, kPacketMarker);
        reset += std::string("\x01\x00\x02", 3);
        SendAll(reset);
        continue;
      }
      if (type != kPacketData || packet.size() < 10) {
        log_.Write(number_, "ERROR", "unexpected packet type " + std::to_string(type));
        return;
      }
      const uint16_t flags = ReadBe16(packet, 8);
      if (flags & kDataFlagEof) {
        log_.Write(number_, "CLOSE");
        return;
      }
      request.append(packet, 10, std::string::npos);
      // A request fills whole SDU-sized packets until its last one. One that happens to end
      // exactly at a packet's end is taken as complete when nothing follows within a second.
      if (packet.size() >= sdu_ && !(flags & kDataFlagEndOfRequest) && MoreDataWithin(1000)) {
        continue;
      }
      std::string whole;
      whole.swap(request);
      Handle(whole);
    }
  }

  void Handle(const std::string& payload) {
    if (payload.empty()) return;
    if (trace_) fprintf(stderr, "%d request %s\n", number_, HexUpper(payload).c_str());
    if (payload.compare(0, 4, "\xde\xad\xbe\xef") == 0) {
      // No native network services: the client goes on in the clear or gives up by itself.
      SendData(std::string("\xde\xad\xbe\xef\x00\x0d\x0b\x20\x02\x00\x00\x00\x00", 13));
      return;
    }
    try {
      switch (static_cast<uint8_t>(payload[0])) {
        case 0x01:
          bare_texts_ = payload.find("python-oracledb") != std::string::npos;
          return SendData(ProtocolReply());
        case 0x02: return DataTypes(payload);
        case 0x03:
        case 0x11: return FunctionCall(payload);
        default:
          log_.Write(number_, "UNSUPPORTED", "message type " + std::to_string(payload[0]));
          return SendData(ErrorBlock(3115, "ORA-03115: unsupported network datatype or representation"));
      }
    } catch (const NeedMoreData&) {
      log_.Write(number_, "ERROR", "request ends too early");
      SendData(ErrorBlock(3120, "ORA-03120: two-task conversion routine: integer overflow"));
    } catch (const Malformed& e) {
      log_.Write(number_, "ERROR", EscapeText(e.what()));
      SendData(ErrorBlock(3120, "ORA-03120: two-task conversion routine: integer overflow"));
    }
  }

  static std::string ProtocolReply() {
    std::string r("\x01\x06\x00", 3);
    r += "Oracle Database stand-in (qxoracle-standin)";
    r.push_back('\0');
    r += std::string("\x69\x03\x01\x00\x00", 5);             // charset 873, flags, no elements
    r += std::string("\x00\x0b", 2) + std::string(9, '\0') + "\x07\xd0";  // FDO: ncharset 2000
    std::string ccaps(55, '\0');
    ccaps[0] = 6;                     // SQL version
    ccaps[7] = kServerFieldVersion;   // TTC field version
    ccaps[37] = 0x20;                 // big chunks for long values
    r.push_back(static_cast<char>(ccaps.size()));
    r += ccaps;
    r += std::string("\x0b\x02\x01\x00\x00\x00\x00\x05\x00\x00\x00\x00", 12);  // runtime caps
    return r;
  }

  void DataTypes(const std::string& payload) {
    TtcReader r(payload, 1);
    r.Raw(5);  // charset, ncharset, encoding flags
    const std::string caps = r.BytesWithLength();
    if (caps.size() > 7) {
      field_version_ = std::min<uint8_t>(kServerFieldVersion, static_cast<uint8_t>(caps[7]));
    }
    // DBTIMEZONE +00:00, then the end of the (empty) type list.
    SendData(std::string("\x02\x80\x00\x00\x00\x3c\x3c\x80\x00\x00\x00\x00\x00\x00", 14));
  }

  // ---- function calls ----
  void FunctionCall(const std::string& payload) {
    TtcReader r(payload);
    while (r.PeekU8() == 0x11) {
      r.U8();
      const uint8_t fn = r.U8();
      r.U8();  // sequence
      if (fn == kFuncCloseCursors || fn == kFuncCancelCursors) {
        r.U8();
        const uint32_t n = r.UB4();
        std::string ids;
        for (uint32_t i = 0; i < n; ++i) {
          const uint32_t id = r.UB4();
          ids += (ids.empty() ? "" : " ") + std::to_string(id);
          if (fn == kFuncCloseCursors) cursors_.erase(id);
        }
        log_.Write(number_, fn == kFuncCloseCursors ? "CLOSE_CURSORS" : "CANCEL_CURSORS", ids);
      } else {
        return Unsupported("piggyback function " + std::to_string(fn));
      }
    }
    if (r.U8() != 0x03) throw Malformed("function call expected");
    const uint8_t fn = r.U8();
    r.U8();  // sequence
    if (field_version_ >= 18) r.UB8();  // token number
    switch (fn) {
      case kFuncAuthPhaseOne: return AuthPhaseOne(r);
      case kFuncAuthPhaseTwo: return AuthPhaseTwo(r);
      case kFuncExecute: return Execute(r);
      case kFuncReexecute:
      case kFuncReexecuteAndFetch: return Reexecute(r, fn == kFuncReexecuteAndFetch);
      case kFuncFetch: return Fetch(r);
      case kFuncCommit:
        log_.Write(number_, "COMMIT");
        return SendData(Status());
      case kFuncRollback:
        log_.Write(number_, "ROLLBACK");
        return SendData(Status());
      case kFuncLogoff:
        log_.Write(number_, "LOGOFF");
        return SendData(Status());
      case kFuncPing:
        log_.Write(number_, "PING");
        return SendData(Status());
      default:
        return Unsupported("function " + std::to_string(fn));
    }
  }

  void Unsupported(const std::string& what) {
    log_.Write(number_, "UNSUPPORTED", what);
    SendData(ErrorBlock(1010, "ORA-01010: invalid OCI operation"));
  }

  static std::string Status() { return std::string("\x09\x00\x00", 3); }

  // The call's end: status, cursor, row count and, for an error, its number and message.
  std::string ErrorBlock(uint32_t error, std::string_view message, uint32_t cursor = 0,
                         uint64_t rows = 0) const {
    TtcWriter w;
    w.U8(0x04);
    w.UB(0);                      // call status
    w.UB(0);                      // end-to-end sequence
    w.UB(rows);                   // current row
    w.UB(error & 0xFFFF);         // error number
    w.UB(0);                      // array element errors
    w.UB(0);
    w.UB(cursor);
    w.SB(0);                      // error position
    for (int i = 0; i < 6; ++i) w.U8(0);  // SQL type, fatal, flags, cursor options, UPI, warning
    w.UB(0);                      // rowid: block address
    w.UB(0);                      //        partition
    w.U8(0);
    w.UB(0);                      //        block
    w.UB(0);                      //        slot
    w.UB(0);                      // OS error
    w.U8(0);                      // statement error
    w.U8(0);                      // call number
    w.UB(0);                      // padding
    w.UB(0);                      // successful iterations
    w.UB(0);                      // logical rowid
    w.UB(0);                      // batch error codes
    w.UB(0);                      // batch error offsets
    w.UB(0);                      // batch error messages
    w.UB(error);                  // error number (extended)
    w.UB(rows);                   // row count (extended)
    if (field_version_ >= 14) {
      w.UB(0);
      w.UB(0);
    }
    if (error) w.BytesWithLength(std::string(message) + "\n");
    return w.data();
  }

  // A text whose length an earlier field gave. python-oracledb 1.x writes the user name and
  // the statement as bare bytes; other clients write them with a length byte (or 0xFE and
  // chunks). For python-oracledb the forms are told apart by what follows the text, which
  // always starts with 01 (a UB4 length or the al8i4 parse flag); 0xFE cannot start UTF-8 text.
  std::string ReadText(TtcReader& r, uint32_t length) {
    if (length == 0 || !bare_texts_) return r.BytesWithLength();
    bool with_length = false;
    try {
      with_length = length > 252 ? r.PeekU8() == 0xFE
                                 : r.PeekU8() == length && r.PeekU8(1 + length) == 0x01;
    } catch (const NeedMoreData&) {
    }
    return with_length ? r.BytesWithLength() : r.Raw(length);
  }

  struct AuthRequest {
    std::string user;
    std::map<std::string, std::string> values;
  };

  AuthRequest ReadAuth(TtcReader& r) {
    AuthRequest a;
    r.U8();                        // user pointer
    const uint32_t user_length = r.UB4();
    r.UB4();                       // logon mode
    r.U8();
    const uint32_t pairs = r.UB4();
    r.U8();
    r.U8();
    if (user_length > 0) a.user = ReadText(r, user_length);
    for (uint32_t i = 0; i < pairs; ++i) {
      std::string key, value;
      if (r.UB4() > 0) key = r.BytesWithLength();
      if (r.UB4() > 0) value = r.BytesWithLength();
      r.UB4();  // flags
      a.values[key] = value;
    }
    return a;
  }

  void AuthPhaseOne(TtcReader& r) {
    AuthRequest a = ReadAuth(r);
    client_ = "program=" + EscapeText(a.values["AUTH_PROGRAM_NM"]) + " machine=" +
              EscapeText(a.values["AUTH_MACHINE"]) + " osuser=" + EscapeText(a.values["AUTH_SID"]);
    TtcWriter w;
    w.U8(0x08);
    w.UB(4);
    w.KeyValue("AUTH_SESSKEY", logon_.server_session_key_hex(), 1);
    w.KeyValue("AUTH_VFR_DATA", logon_.verifier_salt_hex(), LogonExchange::kVerifier11g);
    w.KeyValue("AUTH_PBKDF2_CSK_SALT", logon_.csk_salt_hex());
    w.KeyValue("AUTH_PBKDF2_SDER_COUNT", LogonExchange::kDerivationCount);
    SendData(w.data() + Status());
  }

  void AuthPhaseTwo(TtcReader& r) {
    AuthRequest a = ReadAuth(r);
    std::string reason;
    const bool user_ok = Upper(a.user) == Upper(config_.user);
    if (!user_ok) reason = "unknown user";
    if (!user_ok ||
        !logon_.VerifyPassword(a.values["AUTH_SESSKEY"], a.values["AUTH_PASSWORD"], &reason)) {
      log_.Write(number_, "LOGON_FAILED", EscapeText(a.user) + " " + reason);
      SendData(ErrorBlock(1017, "ORA-01017: invalid username/password; logon denied"));
      return;
    }
    log_.Write(number_, "LOGON", EscapeText(a.user) + " " + client_);
    std::string alter = a.values["AUTH_ALTER_SESSION"];
    while (!alter.empty() && alter.back() == '\0') alter.pop_back();
    if (!alter.empty()) log_.Write(number_, "SESSION_SQL", EscapeText(alter));
    static std::atomic<int> session_ids{100};
    const int sid = ++session_ids;
    TtcWriter w;
    w.U8(0x08);
    w.UB(4);
    w.KeyValue("AUTH_VERSION_NO", "318767104");  // 19.0.0.0.0
    w.KeyValue("AUTH_SESSION_ID", std::to_string(sid));
    w.KeyValue("AUTH_SERIAL_NUM", std::to_string(number_));
    w.KeyValue("AUTH_SVR_RESPONSE", logon_.ServerResponseHex());
    SendData(w.data() + Status());
  }

  void Execute(TtcReader& r) {
    const uint32_t options = r.UB4();
    uint32_t cursor_id = r.UB4();
    const bool has_sql = r.U8() != 0;
    const uint32_t sql_length = r.UB4();
    r.U8();                          // al8i4 pointer
    const uint32_t al8i4_count = r.UB4();
    r.U8();                          // al8o4 pointer
    r.U8();                          // al8o4l pointer
    r.UB4();                         // prefetch buffer size
    r.UB4();                         // prefetch rows
    r.UB4();                         // maximum long size
    r.U8();                          // binds pointer
    r.UB4();                         // number of binds
    for (int i = 0; i < 5; ++i) r.U8();  // al8pp, al8txn, al8txl, al8kv, al8kvl
    r.U8();                          // defines pointer
    r.UB4();                         // number of defines
    r.UB4();                         // registration id (low)
    r.U8();                          // al8objlist
    r.U8();                          // al8objlen
    r.U8();                          // al8blv pointer
    r.UB4();
    r.U8();                          // al8dnam pointer
    r.UB4();
    r.UB4();                         // registration id (high)
    r.U8();                          // DML row counts pointer
    r.UB4();
    r.U8();
    if (field_version_ >= 8) {
      r.U8();
      r.UB4();
      r.U8();
      r.UB4();
      r.U8();
      if (field_version_ >= 9) {
        r.U8();
        r.UB4();
      }
    }
    std::string sql;
    if (has_sql) sql = ReadText(r, sql_length);
    std::vector<uint32_t> al8i4;
    for (uint32_t i = 0; i < al8i4_count && i < 64; ++i) al8i4.push_back(r.UB4());
    // Bind metadata and values follow; the stand-in has no use for them.

    bool describe = false;
    if (has_sql) {
      if (cursor_id == 0) cursor_id = next_cursor_++;
      Cursor& c = cursors_[cursor_id];
      c = Cursor{};
      c.sql = sql;
      c.kind = Classify(sql);
      c.missing_table = Upper(sql).find("MISSING_") != std::string::npos;
      c.dml_rows = static_cast<uint64_t>(Directive(sql, "standin:rows=", 1));
      c.delay_ms = static_cast<int>(Directive(sql, "standin:sleep=", 0));
      if (c.kind == Kind::kQuery) {
        c.columns = SelectList(sql);
        c.no_rows = SaysNoRows(sql);
      }
      log_.Write(number_, "SQL", std::to_string(cursor_id) + " " + EscapeText(sql));
      describe = c.kind == Kind::kQuery;
    } else {
      if (cursors_.find(cursor_id) == cursors_.end()) {
        log_.Write(number_, "ERROR", "execute of unknown cursor " + std::to_string(cursor_id));
        return SendData(ErrorBlock(1001, "ORA-01001: invalid cursor"));
      }
      log_.Write(number_, "EXEC",
                 std::to_string(cursor_id) + " " + EscapeText(cursors_[cursor_id].sql));
      describe = (options & kExecDescribe) != 0;
    }
    if (options & kExecCommit) log_.Write(number_, "COMMIT", "with the execution");
    const uint64_t executions = al8i4.size() > 1 ? al8i4[1] : 1;
    SendData(Respond(cursor_id, describe, (options & kExecFetch) != 0, executions));
  }

  void Reexecute(TtcReader& r, bool fetch) {
    const uint32_t cursor_id = r.UB4();
    const uint32_t iterations = r.UB4();
    r.UB4();
    const uint32_t flags2 = r.UB4();
    auto it = cursors_.find(cursor_id);
    if (it == cursors_.end()) {
      log_.Write(number_, "ERROR", "re-execute of unknown cursor " + std::to_string(cursor_id));
      return SendData(ErrorBlock(1001, "ORA-01001: invalid cursor"));
    }
    log_.Write(number_, "EXEC", std::to_string(cursor_id) + " " + EscapeText(it->second.sql));
    if (flags2 & 0x01) log_.Write(number_, "COMMIT", "with the execution");
    SendData(Respond(cursor_id, false, fetch, fetch ? 1 : iterations));
  }

  void Fetch(TtcReader& r) {
    const uint32_t cursor_id = r.UB4();
    r.UB4();
    auto it = cursors_.find(cursor_id);
    if (it == cursors_.end()) return SendData(ErrorBlock(1001, "ORA-01001: invalid cursor"));
    log_.Write(number_, "FETCH", std::to_string(cursor_id));
    std::string out;
    if (it->second.rows_pending) out += Rows(it->second);
    out += ErrorBlock(kOraNoDataFound, "ORA-01403: no data found", cursor_id, it->second.rows_sent);
    SendData(out);
  }

  std::string Rows(Cursor& c) {
    c.rows_pending = false;
    c.rows_sent = 0;
    if (c.no_rows) return {};
    TtcWriter w;
    w.U8(0x06);       // row header
    w.U8(0);          // flags
    w.UB(0);          // requests
    w.UB(0);          // iteration
    w.UB(1);          // iterations
    w.UB(0);          // buffer length
    w.UB(0);          // bit vector
    w.UB(0);          // rxhrid
    w.U8(0x07);       // row data
    for (const Column& col : c.columns) w.BytesWithLength(col.value);
    c.rows_sent = 1;
    return w.data();
  }

  std::string Describe(const Cursor& c) const {
    TtcWriter w;
    w.U8(0x10);
    w.U8(0);                               // chunked header, empty
    size_t row_size = 0;
    for (const Column& col : c.columns) row_size += std::max<size_t>(col.value.size(), 1);
    w.UB(row_size);
    w.UB(c.columns.size());
    if (!c.columns.empty()) w.U8(0);
    uint32_t position = 0;
    for (const Column& col : c.columns) {
      const size_t size = std::max<size_t>(col.value.size(), 1);
      w.U8(1);          // VARCHAR2
      w.U8(0);          // flags
      w.U8(0);          // precision
      w.U8(0);          // scale
      w.UB(size);       // maximum size
      w.UB(0);          // array elements
      w.UB(0);          // cont flags
      w.UB(0);          // OID
      w.UB(0);          // version
      w.UB(873);        // character set
      w.U8(1);          // character set form
      w.UB(size);
      if (field_version_ >= 8) w.UB(0);  // oaccolid
      w.U8(1);          // nullable
      w.U8(0);
      w.UB(col.name.size());
      w.BytesWithLength(col.name);
      w.UB(0);          // schema
      w.UB(0);          // type name
      w.UB(++position);
      w.UB(0);          // UDS flags
    }
    w.UB(0);            // current date
    w.UB(0);
    w.UB(0);
    w.UB(0);
    w.UB(0);
    w.UB(0);
    return w.data();
  }

  std::string Respond(uint32_t cursor_id, bool describe, bool fetch, uint64_t executions) {
    Cursor& c = cursors_[cursor_id];
    if (c.delay_ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(c.delay_ms));
    if (c.missing_table) {
      log_.Write(number_, "ERROR", "ORA-00942 on cursor " + std::to_string(cursor_id));
      return ErrorBlock(942, "ORA-00942: table or view does not exist", cursor_id, 0);
    }
    if (c.kind != Kind::kQuery) {
      return ErrorBlock(0, "", cursor_id, c.kind == Kind::kDml ? executions * c.dml_rows : 0);
    }
    std::string out;
    if (describe) out += Describe(c);
    c.rows_pending = true;
    if (!fetch) return out + ErrorBlock(0, "", cursor_id, 0);
    out += Rows(c);
    return out + ErrorBlock(kOraNoDataFound, "ORA-01403: no data found", cursor_id, c.rows_sent);
  }

  int fd_;
  int number_;
  const SessionConfig& config_;
  StatementLog& log_;
  LogonExchange logon_;
  bool large_ = false;
  bool bare_texts_ = false;  // python-oracledb 1.x (see ReadText)
  const bool trace_ = getenv("QX_STANDIN_TRACE") != nullptr;
  uint32_t sdu_ = kMaxSdu;
  uint8_t field_version_ = kServerFieldVersion;
  std::string client_;
  std::map<uint32_t, Cursor> cursors_;
  uint32_t next_cursor_ = 1;
};

}  // namespace

void RunSession(int fd, int connection, const SessionConfig& config, StatementLog& log) {
  Session(fd, connection, config, log).Run();
}

}  // namespace standin
