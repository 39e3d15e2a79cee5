// SHA-1 through the system's CNG (sha1.h). The algorithm provider is opened once and shared:
// CNG allows concurrent hash objects on one provider handle.
#include <windows.h>
#include <bcrypt.h>

#include "platform/sha1.h"

namespace qx::platform {

bool Sha1(const void* data, size_t size, unsigned char digest[kSha1Size]) {
  static const BCRYPT_ALG_HANDLE provider = [] {
    BCRYPT_ALG_HANDLE h = nullptr;
    if (BCryptOpenAlgorithmProvider(&h, BCRYPT_SHA1_ALGORITHM, nullptr, 0) < 0) return
        static_cast<BCRYPT_ALG_HANDLE>(nullptr);
    return h;
  }();
  if (!provider) return false;
  BCRYPT_HASH_HANDLE hash = nullptr;
  if (BCryptCreateHash(provider, &hash, nullptr, 0, nullptr, 0, 0) < 0) return false;
  bool ok = true;
  const unsigned char* p = static_cast<const unsigned char*>(data);
  while (ok && size > 0) {  // BCryptHashData takes at most 4 GB at a time
    const ULONG chunk = size > 0x40000000 ? 0x40000000 : static_cast<ULONG>(size);
    ok = BCryptHashData(hash, const_cast<PUCHAR>(p), chunk, 0) >= 0;
    p += chunk;
    size -= chunk;
  }
  ok = ok && BCryptFinishHash(hash, digest, static_cast<ULONG>(kSha1Size), 0) >= 0;
  BCryptDestroyHash(hash);
  return ok;
}

}  // namespace qx::platform
