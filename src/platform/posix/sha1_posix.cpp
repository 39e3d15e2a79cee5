// SHA-1 through OpenSSL's libcrypto (sha1.h).
#include <openssl/evp.h>

#include <memory>

#include "platform/sha1.h"

namespace qx::platform {
namespace {

const EVP_MD* Sha1Method() {
#if OPENSSL_VERSION_NUMBER >= 0x30000000L
  // Fetched once: EVP_sha1() would be looked up in the provider tables on every digest.
  static EVP_MD* const fetched = EVP_MD_fetch(nullptr, "SHA1", nullptr);
  if (fetched) return fetched;
#endif
  return EVP_sha1();
}

struct ContextFree {
  void operator()(EVP_MD_CTX* ctx) const { EVP_MD_CTX_free(ctx); }
};

}  // namespace

bool Sha1(const void* data, size_t size, unsigned char digest[kSha1Size]) {
  // One context per thread, reused: a digest allocates nothing.
  thread_local std::unique_ptr<EVP_MD_CTX, ContextFree> context(EVP_MD_CTX_new());
  EVP_MD_CTX* ctx = context.get();
  if (!ctx) return false;
  unsigned char out[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (EVP_DigestInit_ex(ctx, Sha1Method(), nullptr) != 1 ||
      EVP_DigestUpdate(ctx, data, size) != 1 || EVP_DigestFinal_ex(ctx, out, &length) != 1 ||
      length != kSha1Size) {
    return false;
  }
  for (size_t i = 0; i < kSha1Size; ++i) digest[i] = out[i];
  return true;
}

}  // namespace qx::platform
