// Socket handles as the rest of the system sees them. The socket operations themselves live
// beside this header in platform/ (see net.h) so that no other folder includes an OS header.
#pragma once

#include <cstdint>

namespace qx::platform {

// An OS socket: a file descriptor on POSIX, a SOCKET on Windows.
using SocketHandle = int64_t;
constexpr SocketHandle kInvalidSocket = -1;

}  // namespace qx::platform
