// The session decoder on built sessions, for what the recorded ones do not show: garbage and
// oversized packets between good ones, a descriptor in the DATA packet after its CONNECT,
// requests spanning DATA packets (with and without the end-of-request flag), the cursor map
// (re-execution, close, reuse, unknown cursors, fetch- and define-only calls), Oracle 9-style
// parse then execute, login data that is no statement, undecodable requests.
#include <gtest/gtest.h>

#include <algorithm>

#include <string>
#include <vector>

#include "oranet/decoder.h"
#include "oranet/session_trace.h"
#include "oranet/ttc_response.h"

namespace qx::test {
namespace {

using oranet::Direction;
using oranet::SessionDecoder;

std::string Packet(uint8_t type, const std::string& body, bool large) {
  const size_t n = body.size() + 8;
  std::string h;
  if (large) {
    h = {char(n >> 24), char(n >> 16), char(n >> 8), char(n), char(type), 0, 0, 0};
  } else {
    h = {char(n >> 8), char(n), 0, 0, char(type), 0, 0, 0};
  }
  return h + body;
}
std::string Data(const std::string& payload, bool large = true, uint16_t flags = 0) {
  return Packet(6, std::string{char(flags >> 8), char(flags)} + payload, large);
}
// A universal integer.
std::string UB(uint64_t v) {
  if (v == 0) return std::string(1, '\0');
  std::string b;
  while (v) { b.insert(b.begin(), char(v & 0xFF)); v >>= 8; }
  return char(b.size()) + b;
}
std::string Text(const std::string& t) {
  if (t.size() <= 252) return char(t.size()) + t;
  std::string out = "\xFE";
  for (size_t i = 0; i < t.size(); i += 32767) {
    const std::string chunk = t.substr(i, 32767);
    out += UB(chunk.size()) + chunk;
  }
  return out + UB(0);
}
std::string Connect(const std::string& descriptor) {
  std::string b(50, '\0');
  b[0] = 0x01; b[1] = 0x3d;  // version 317
  const bool inData = descriptor.size() > 230;
  b[16] = char(descriptor.size() >> 8);
  b[17] = char(descriptor.size());
  b[18] = 0; b[19] = 58;
  return Packet(1, inData ? b : b + descriptor, false);
}
std::string Accept(uint16_t version, uint32_t sdu = 8192) {
  std::string b(28, '\0');
  b[0] = char(version >> 8); b[1] = char(version);
  b[4] = char(sdu >> 8); b[5] = char(sdu);
  b[24] = char(sdu >> 24); b[25] = char(sdu >> 16); b[26] = char(sdu >> 8); b[27] = char(sdu);
  return Packet(2, b, false);
}
// A thin client's OALL8 (field version before 12.2).
std::string Oall8(uint8_t seq, uint32_t options, uint32_t cursor, const std::string& sql) {
  std::string m = {0x03, 0x5E, char(seq)};
  m += UB(options) + UB(cursor);
  m += sql.empty() ? std::string(1, '\0') + UB(0) : "\x01" + UB(sql.size());
  m += "\x01" + UB(13) + std::string(2, '\0') + UB(0) + UB(2) + UB(0x7FFFFFFF);
  m += std::string(1, '\0') + UB(0) + std::string(5, '\0') + std::string(1, '\0') + UB(0) + UB(0);
  m += std::string("\x00\x01\x00", 3) + UB(0) + std::string(1, '\0') + UB(0) + UB(0);
  m += std::string(1, '\0') + UB(0) + std::string(1, '\0');
  if (!sql.empty()) m += Text(sql) + UB(1);
  else m += UB(0);
  for (int i = 1; i < 13; ++i) m += UB(i == 1 ? 1 : 0);
  return m;
}
// The answer's return status, in a DATA packet.
std::string Status(uint32_t cursor, uint64_t rows = 0, uint32_t error = 0) {
  std::string m = "\x04" + UB(0) + UB(0) + UB(rows) + UB(error) + UB(0) + UB(0) + UB(cursor);
  m += std::string(20, '\0');
  if (error) {
    const std::string t = "ORA-0" + std::to_string(error) + ": failed\n";
    m += char(t.size()) + t;
  }
  return Data(m);
}

class Session {
 public:
  explicit Session(oranet::DecoderOptions o = {}) : decoder_(sink_, o) {}
  void Client(const std::string& bytes) { decoder_.Feed(Direction::kToServer, bytes); }
  void Server(const std::string& bytes) { decoder_.Feed(Direction::kToClient, bytes); }
  // CONNECT, ACCEPT 317 (4-byte lengths from here on), thin protocol negotiation.
  void OpenThin(const std::string& descriptor = "(DESCRIPTION=(CONNECT_DATA=(SID=X)))") {
    Client(Connect(descriptor));
    if (descriptor.size() > 230) Client(Data(descriptor, false));
    Server(Accept(317));
    Client(Data(std::string("\x01\x06\x00node\x00", 8)));
    Server(Data(std::string("\x01\x06\x00x\x00", 5)));
  }
  std::vector<std::string> Lines() const { return sink_.lines; }
  TraceSink& sink() { return sink_; }
  SessionDecoder& decoder() { return decoder_; }

 private:
  TraceSink sink_;
  SessionDecoder decoder_;
};

TEST(OranetDecoder, GarbageAndOversizedPacketsAreSkippedNotFatal) {
  oranet::DecoderOptions o;
  o.maxPacketBytes = 4096;
  Session s(o);
  s.OpenThin();
  s.Client("\x13\x37garbage bytes that are no header");
  s.Client(Data(Oall8(2, 0x21, 0, "SELECT 1 FROM dual")));
  s.Server(Status(1));
  // A header claiming 1 MB: more than the decoder buffers.
  s.Client(std::string("\x00\x10\x00\x00\x06\x00\x00\x00", 8) + std::string(100, 'x'));
  s.Client(Data(Oall8(3, 0x21, 0, "SELECT 2 FROM dual")));
  s.decoder().Finish();
  EXPECT_EQ(s.sink().executionTexts,
            (std::vector<std::string>{"SELECT 1 FROM dual", "SELECT 2 FROM dual"}));
  EXPECT_EQ(s.decoder().stats().framingErrors, 2u);
}

TEST(OranetDecoder, LongDescriptorFollowsTheConnectInAData) {
  Session s;
  const std::string d = "(DESCRIPTION=(ADDRESS=(PROTOCOL=TCP)(HOST=db.example)(PORT=1521))"
                        "(CONNECT_DATA=(SERVICE_NAME=" + std::string(200, 'S') + ")))";
  s.OpenThin(d);
  ASSERT_FALSE(s.Lines().empty());
  EXPECT_EQ(s.Lines()[0], "descriptor " + d);
  EXPECT_EQ(s.Lines()[1], "accept 317");
}

TEST(OranetDecoder, AcceptBeforeItsConnectInTheCaptureStillSwitchesTheClientAfterIt) {
  Session s;
  s.Server(Accept(317));
  s.Client(Connect("(DESCRIPTION=(CONNECT_DATA=(SID=X)))"));
  s.Client(Data(std::string("\x01\x06\x00node\x00", 8)));
  s.Client(Data(Oall8(2, 0x21, 0, "SELECT 4 FROM dual")));
  s.decoder().Finish();
  EXPECT_EQ(s.sink().executionTexts, std::vector<std::string>{"SELECT 4 FROM dual"});
  EXPECT_EQ(s.decoder().stats().framingErrors, 0u);
}

TEST(OranetDecoder, RequestsSpanningDataPacketsComeOutWhole) {
  const std::string sql = "SELECT '" + std::string(20000, 'q') + "' FROM dual";
  const std::string request = Oall8(2, 0x21, 0, sql);
  {
    SCOPED_TRACE("end-of-request flag");
    Session s;
    s.OpenThin();
    s.Client(Data(request.substr(0, 9000)));
    s.Client(Data(request.substr(9000, 9000)));
    s.Client(Data(request.substr(18000), true, 0x0800));
    s.Server(Status(1));
    ASSERT_EQ(s.sink().executionTexts, std::vector<std::string>{sql});
  }
  {
    SCOPED_TRACE("full packets, no flags");
    Session s;
    s.OpenThin();  // SDU 8192: packets of 8192 bytes continue
    const size_t piece = 8192 - 10;
    for (size_t i = 0; i < request.size(); i += piece) s.Client(Data(request.substr(i, piece)));
    s.Server(Status(1));
    ASSERT_EQ(s.sink().executionTexts, std::vector<std::string>{sql});
    EXPECT_EQ(s.decoder().stats().requests, 2u);  // the negotiation and the statement
  }
  {
    SCOPED_TRACE("a gap inside the request");
    Session s;
    s.OpenThin();
    s.Client(Data(request.substr(0, 9000)));
    s.decoder().OnGap(Direction::kToServer);
    s.Client(Data(Oall8(3, 0x21, 0, "SELECT 5 FROM dual"), true, 0x0800));
    s.decoder().Finish();
    EXPECT_EQ(s.sink().executionTexts, std::vector<std::string>{"SELECT 5 FROM dual"});
    const auto lines = s.Lines();
    EXPECT_NE(std::find(lines.begin(), lines.end(), "fallback 9000 bytes"), lines.end());
  }
}

TEST(OranetDecoder, CursorMapFollowsParsesClosesAndReuse) {
  Session s;
  s.OpenThin();
  s.Client(Data(Oall8(2, 0x21, 0, "UPDATE t SET a = 1")));
  s.Server(Status(5, 3));
  s.Client(Data(std::string("\x03\x04\x03", 3) + UB(5) + UB(1) + UB(0) + UB(0)));  // re-execute
  s.Server(Status(5, 3));
  s.Client(Data(Oall8(4, 0x20, 5, "")));  // OALL8 on the cursor, no text
  s.Server(Status(5, 3));
  s.Client(Data(Oall8(5, 0x40, 5, "")));  // fetch only: no execution
  s.Server(Status(5));
  s.Client(Data(Oall8(6, 0x50, 5, "")));  // define and fetch: no execution
  s.Server(Status(5));
  // Close cursor 5 (piggyback) in front of a new parse that gets id 5 again.
  s.Client(Data(std::string("\x11\x69\x07\x01", 4) + UB(1) + UB(5) + Oall8(8, 0x01, 0, "DELETE FROM t")));
  s.Server(Status(5));
  s.Client(Data(std::string("\x03\x4e\x09", 3) + UB(5) + UB(1) + UB(0) + UB(0)));
  s.Server(Status(5, 1));
  s.Client(Data(std::string("\x11\x69\x0a\x01", 4) + UB(1) + UB(5) + "\x03\x0e\x0b"));  // close, commit
  s.Server(Data("\x09\x00\x00"));
  s.Client(Data(std::string("\x03\x04\x0c", 3) + UB(5) + UB(1) + UB(0) + UB(0)));
  s.Server(Status(5));
  s.decoder().Finish();
  EXPECT_EQ(s.sink().executionTexts,
            (std::vector<std::string>{"UPDATE t SET a = 1", "UPDATE t SET a = 1",
                                      "UPDATE t SET a = 1", "DELETE FROM t", ""}));
  ASSERT_EQ(s.sink().executions.size(), 5u);
  EXPECT_EQ(s.sink().executions[0].cursor, 0u);
  EXPECT_EQ(s.sink().executions[1].call, oranet::CallKind::kExecute);
  EXPECT_EQ(s.sink().executions[3].call, oranet::CallKind::kReexecute);
  EXPECT_TRUE(s.sink().executions[4].unknownCursor);
  EXPECT_EQ(s.decoder().stats().unknownCursors, 1u);
  EXPECT_EQ(s.decoder().stats().executions, 5u);
}

TEST(OranetDecoder, OlderOciParseThenExecuteCountsOnce) {
  // 4-byte little-endian fields, 4-byte pointers (a 32-bit client), 2-byte framing.
  auto le = [](uint32_t v) { return std::string{char(v), char(v >> 8), char(v >> 16), char(v >> 24)}; };
  Session s;
  s.Client(Connect("(DESCRIPTION=(CONNECT_DATA=(SID=X)))"));
  s.Server(Accept(312));
  s.Client(Data(std::string("\x01\x06\x05\x04\x03\x02\x01\x00IBMPC/WIN_NT-8.1.0\x00", 27), false));
  s.Server(Data(std::string("\x01\x06\x00x\x00", 5), false));
  s.Client(Data("\x03\x03\x05" + le(0) + le(1) + le(0x0012abcd) + le(7) + le(0) + le(0) +
                "\x07" + "commit" + le(0), false));
  s.Server(Data(std::string("\x09\x01\x00\x00\x00", 5), false));
  s.Client(Data("\x03\x04\x06" + le(1) + le(1) + le(0), false));
  s.Server(Data(std::string("\x09\x01\x00\x00\x00", 5), false));
  s.decoder().Finish();
  ASSERT_EQ(s.sink().executionTexts, std::vector<std::string>{"commit"});
  EXPECT_EQ(s.sink().executions[0].call, oranet::CallKind::kExecute);
}

TEST(OranetDecoder, LoginDataIsNoStatementAndFailuresAreReported) {
  Session s;
  s.OpenThin();
  auto pair = [](const std::string& k, const std::string& v) {
    return UB(k.size()) + Text(k) + UB(v.size()) + Text(v) + UB(0);
  };
  std::string phase1 = std::string("\x03\x76\x02\x01", 4) + UB(5) + UB(1) + "\x01" + UB(1) +
                       "\x01\x01" + Text("scott") + pair("AUTH_TERMINAL", "pts/1");
  s.Client(Data(phase1));
  s.Server(Data("\x08" + UB(1) + pair("AUTH_SESSKEY", "00") + "\x09\x00\x00"));
  std::string phase2 = std::string("\x03\x73\x03\x01", 4) + UB(5) + UB(1) + "\x01" + UB(2) +
                       "\x01\x01" + Text("scott") + pair("AUTH_PASSWORD", "AB") +
                       pair("AUTH_ALTER_SESSION", "ALTER SESSION SET TIME_ZONE='+00:00'\0");
  s.Client(Data(phase2));
  s.Server(Status(0, 0, 1017));
  s.decoder().Finish();
  EXPECT_TRUE(s.sink().executionTexts.empty());
  const auto lines = s.Lines();
  EXPECT_NE(std::find(lines.begin(), lines.end(), "user scott"), lines.end());
  EXPECT_NE(std::find(lines.begin(), lines.end(), "logon failed 1017"), lines.end());
}

TEST(OranetDecoder, UnreadableRequestsFallBackWithTheirBytes) {
  oranet::DecoderOptions o;
  o.emitRequests = true;
  Session s(o);
  s.OpenThin();
  const std::string junk = "\x77 not a TTC message at all";
  s.Client(Data(junk.substr(0, 10)));
  s.Server(Status(0));
  s.Client(Data(Oall8(2, 0x21, 0, "SELECT 3 FROM dual")));
  s.decoder().Finish();  // the answer never came
  const auto lines = s.Lines();
  EXPECT_NE(std::find(lines.begin(), lines.end(), "fallback 10 bytes"), lines.end());
  EXPECT_EQ(s.decoder().stats().fallbacks, 1u);
  EXPECT_EQ(s.decoder().stats().requests, 3u);
  EXPECT_EQ(s.sink().requests, 3u);
  EXPECT_EQ(s.sink().executionTexts, std::vector<std::string>{"SELECT 3 FROM dual"});
}

// The error text is found behind row data full of look-alikes: hyphens, "ORA-" without five
// digits and a colon, a length byte too small or reaching past the packet. One that ends the
// packet exactly still counts; one cut short by the packet's end does not.
TEST(OranetDecoder, ErrorTextIsFoundBehindLookAlikesAndNotPastThePacket) {
  auto errorOf = [](const std::string& payload) {
    oranet::TtcResponseDecoder d;
    d.Begin(0x5E);
    d.OnData(reinterpret_cast<const uint8_t*>(payload.data()), payload.size(), 0,
             oranet::IntLayout::kFixed4Ptr8, false);
    return d.outcome().outcomeKnown ? d.outcome().errorCode : -1;
  };
  const std::string real = "ORA-00942: table or view does not exist\n";
  std::string rows = "-ORA-\x0f" "2026-12-10 -- a-b ";
  rows += "\x0f" "ORA-1234: four digits ";
  rows += "\x0f" "ORA-12345; no colon ";
  rows += "\x05" "ORA-00001: length byte too small ";
  rows += std::string(300, 'Z');
  EXPECT_EQ(errorOf(rows + char(real.size()) + real), 942);
  EXPECT_EQ(errorOf(rows), -1);
  // The length byte reaches one byte past the packet: not an error text.
  EXPECT_EQ(errorOf(rows + char(real.size() + 1) + real), -1);
  // Ten bytes, the shortest text, right at the end; and the same text one byte short.
  EXPECT_EQ(errorOf(rows + "\x0a" "ORA-01403:"), 0);  // end of fetch: success
  EXPECT_EQ(errorOf(rows + "\x0a" "ORA-01017:"), 1017);
  EXPECT_EQ(errorOf(rows + "\x0a" "ORA-01017"), -1);
  // At the first position it may stand (its length byte first).
  EXPECT_EQ(errorOf(std::string("\x0a") + "ORA-28000:"), 28000);
}

}  // namespace
}  // namespace qx::test
