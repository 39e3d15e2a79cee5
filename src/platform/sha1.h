// SHA-1 digests from the system's cryptography: OpenSSL's libcrypto on Linux, CNG (BCrypt)
// on Windows. The statement catalogue keys statements on it (sql/sql_hash.h).
//
// Threading: may be called from any thread; each call has its own digest state. Never throws.
#pragma once

#include <cstddef>

namespace qx::platform {

constexpr size_t kSha1Size = 20;

// Writes the 20-byte digest of data[0..size) to digest; false when the system cannot compute it.
bool Sha1(const void* data, size_t size, unsigned char digest[kSha1Size]);

}  // namespace qx::platform
