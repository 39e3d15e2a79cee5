// SHA-1 through OpenSSL's libcrypto (sha1.h).
#include <openssl/evp.h>

#include "platform/sha1.h"

namespace qx::platform {

bool Sha1(const void* data, size_t size, unsigned char digest[kSha1Size]) {
  unsigned char out[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (EVP_Digest(data, size, out, &length, EVP_sha1(), nullptr) != 1 || length != kSha1Size) {
    return false;
  }
  for (size_t i = 0; i < kSha1Size; ++i) digest[i] = out[i];
  return true;
}

}  // namespace qx::platform
