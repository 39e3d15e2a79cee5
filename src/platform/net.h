// TCP sockets for the relay and the managing listeners, and IPv4 name resolution.
//
// Errors carry a Windows Sockets error code and its short text ("Socket Error # 10054" +
// CR LF + "Connection reset by peer."), because operators' runbooks and the relay's error
// routing key on those codes. SocketErrorFromSystem() is the one table that maps the OS's
// error numbers onto them.
//
// Threading: every function may be called from any thread. A socket handle is owned by whoever
// created or accepted it and must be closed exactly once (Close). Shutdown() may be called from
// another thread than the owner's to wake a thread blocked on the socket.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "platform/socket.h"

namespace qx::platform {

// The Windows Sockets code of "the operation would block" (a non-blocking socket with nothing
// to read, or no room to send).
constexpr int kWouldBlock = 10035;

struct SocketError {
  int code = 0;      // Windows Sockets code (10054 ...), 0 for none
  std::string text;  // short text of the error
  // "Socket Error # " + code + CR LF + text
  std::string Message() const;
};

// Maps an OS error number onto the Windows Sockets code and text.
SocketError SocketErrorFromSystem(int os_error);

// Listens on `port` of every local IPv4 address (port 0: any free port).
SocketHandle ListenTcp(int port, int backlog, SocketError* error);
// The local port of a bound socket (0 on failure).
int LocalPort(SocketHandle socket);

struct AcceptedSocket {
  SocketHandle socket = kInvalidSocket;
  std::string peer_ip;
  int peer_port = 0;
  int local_port = 0;
};
// Blocks until a connection arrives or `wake` (a socket or event handle from
// CreateWakeHandle) becomes readable. Returns false when woken or on error.
bool AcceptTcp(SocketHandle listener, SocketHandle wake, AcceptedSocket* accepted,
               SocketError* error);
// Non-blocking accept for listeners driven by an event loop: false when none is pending
// (*error, when given, then has code kWouldBlock) or when accepting failed (another code, such
// as 10024 when the process is out of descriptors: the client stays queued).
bool AcceptPending(SocketHandle listener, AcceptedSocket* accepted,
                   SocketError* error = nullptr);

// Blocking connect to host:port (a name or dotted address; IPv4).
SocketHandle ConnectTcp(const std::string& host, int port, SocketError* error);

// Like ConnectTcp, but gives up after timeout_ms with error 10060 (a host that never
// answers would otherwise hold the caller for minutes). The socket returned is blocking.
SocketHandle ConnectTcpWithin(const std::string& host, int port, int timeout_ms,
                              SocketError* error);

// One receive of at most `size` bytes. Returns the count, 0 on orderly close, -1 on error
// (on a non-blocking socket with nothing waiting: -1 with code kWouldBlock).
long Receive(SocketHandle socket, char* buffer, size_t size, SocketError* error);
// Sends every byte (blocking). False on error.
bool SendAll(SocketHandle socket, const char* data, size_t size, SocketError* error);
// Sends what the socket takes now without blocking; returns the count, -1 on error.
long SendSome(SocketHandle socket, const char* data, size_t size, SocketError* error);
// Sends every byte. While the socket takes nothing it waits in slices of `slice_ms` and, after
// each slice that passed without room, asks keep_waiting() whether to go on; false gives up
// with code 10060. False on error.
bool SendAllWhile(SocketHandle socket, const char* data, size_t size, int slice_ms,
                  const std::function<bool()>& keep_waiting, SocketError* error);
// True when the peer has ended its side or the socket has failed; false while it is open.
// Never blocks. On Linux the end is seen even behind bytes not yet read; on Windows a reset
// is too, an orderly close only once they have been read.
bool PeerEnded(SocketHandle socket);

// Waits until `a` or `b` is readable, closed or failed (timeout_ms < 0: no limit).
// Returns false on a wait error.
bool WaitReadable(SocketHandle a, SocketHandle b, bool* a_ready, bool* b_ready, int timeout_ms,
                  SocketError* error);

void SetNonBlocking(SocketHandle socket);
// Disables Nagle's algorithm: a relay must not add its own delay to small packets.
void SetNoDelay(SocketHandle socket);
void Shutdown(SocketHandle socket);
// Ends the sending side only (the peer reads an orderly close; receiving goes on).
void ShutdownSend(SocketHandle socket);
void Close(SocketHandle socket);

// A handle that WaitReadable/AcceptTcp can watch and Wake() makes readable (an eventfd).
SocketHandle CreateWakeHandle();
void Wake(SocketHandle wake);

// The first IPv4 address the resolver gives for `host`, as dotted text; "" when none.
std::string ResolveHostIPv4(const std::string& host);

}  // namespace qx::platform
