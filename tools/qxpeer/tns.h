// Builders for the Oracle Net (TNS) packets of generated sessions: CONNECT, ACCEPT, DATA
// packets with authentication and statement calls shaped like those of an OCI 11g client,
// and the end-of-session packet. Pure functions of their arguments; safe from any thread.
#pragma once

#include <cstdint>
#include <string>

namespace qxpeer {

enum class Framing {
  kOld,  // 2-byte packet lengths throughout (ACCEPT version below 315)
  kNew,  // 4-byte lengths after an ACCEPT of version 315 or later
};

// The connect descriptor of a generated session.
struct DescriptorFields {
  std::string service_name = "XE";
  std::string program = "sqlplus@host";
  std::string host = "host";
  std::string user = "king";
  std::string address_host = "127.0.0.1";
  uint16_t address_port = 1521;
};
std::string BuildDescriptor(const DescriptorFields& f);

// The client's CONNECT. Descriptors longer than 230 bytes travel, as real clients send them,
// in a DATA packet right after a CONNECT that carries none.
std::string ConnectPacket(const std::string& descriptor, Framing framing);

// The listener's ACCEPT: version 312 for the old framing, 317 for the new one.
std::string AcceptPacket(Framing framing);

// DATA packets holding `payload` (data flags 0, then the TTC message), cut at the SDU.
std::string DataPackets(const std::string& payload, Framing framing, bool from_server);

// Authentication phase one (function 0x76): the Oracle user, then AUTH_TERMINAL and the
// other session keys, laid out as an OCI 11g client does.
std::string AuthPhaseOne(const std::string& orauser, const std::string& terminal,
                         const std::string& program, const std::string& machine, uint8_t seq);
// The server's answer to phase one (AUTH_SESSKEY and AUTH_VFR_DATA).
std::string AuthPhaseOneReply();
// Phase two (function 0x73) with the session key, the password verifier and AUTH_TERMINAL.
std::string AuthPhaseTwo(const std::string& orauser, const std::string& terminal, uint8_t seq);
std::string AuthPhaseTwoReply();

// An execute call (03 5e) carrying `sql`; texts over 64 bytes are cut into 64-byte pieces as
// OCI clients do.
std::string ExecuteCall(const std::string& sql, uint8_t seq);

// The server's answer to a statement, `packet_size` bytes in all as one DATA packet
// (at least 12).
std::string StatementReply(Framing framing, size_t packet_size, uint32_t number);

// The 10-byte end-of-session packet.
std::string EndPacket(Framing framing);

}  // namespace qxpeer
