// The socket headers for tests that build addresses or talk to sockets directly: the BSD
// headers on Linux, Winsock on Windows, with one name for closing a socket.
#pragma once

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#include <io.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace qx::test {

#ifdef _WIN32
inline int CloseSocket(long long s) { return closesocket(static_cast<SOCKET>(s)); }
#else
inline int CloseSocket(int s) { return close(s); }
#endif

}  // namespace qx::test
