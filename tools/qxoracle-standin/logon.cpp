// Logon key exchange of the stand-in server, on OpenSSL's EVP interface.
#include "logon.h"

#include <openssl/evp.h>
#include <openssl/rand.h>

#include <memory>
#include <stdexcept>

#include "wire.h"

namespace standin {

std::string RandomBytes(size_t n) {
  std::string out(n, '\0');
  if (RAND_bytes(reinterpret_cast<unsigned char*>(out.data()), static_cast<int>(n)) != 1) {
    throw std::runtime_error("RAND_bytes failed");
  }
  return out;
}

std::string AesCbcNoPad(bool encrypt, std::string_view key, std::string_view data) {
  const EVP_CIPHER* cipher = nullptr;
  switch (key.size()) {
    case 16: cipher = EVP_aes_128_cbc(); break;
    case 24: cipher = EVP_aes_192_cbc(); break;
    case 32: cipher = EVP_aes_256_cbc(); break;
    default: throw std::runtime_error("AES key of unsupported length");
  }
  if (data.size() % 16) throw std::runtime_error("AES input is not whole blocks");
  std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)> ctx(EVP_CIPHER_CTX_new(),
                                                                       EVP_CIPHER_CTX_free);
  const unsigned char iv[16] = {};
  std::string out(data.size() + 16, '\0');
  int len1 = 0, len2 = 0;
  if (!ctx ||
      EVP_CipherInit_ex(ctx.get(), cipher, nullptr,
                        reinterpret_cast<const unsigned char*>(key.data()), iv, encrypt ? 1 : 0) != 1 ||
      EVP_CIPHER_CTX_set_padding(ctx.get(), 0) != 1 ||
      EVP_CipherUpdate(ctx.get(), reinterpret_cast<unsigned char*>(out.data()), &len1,
                       reinterpret_cast<const unsigned char*>(data.data()),
                       static_cast<int>(data.size())) != 1 ||
      EVP_CipherFinal_ex(ctx.get(), reinterpret_cast<unsigned char*>(out.data()) + len1, &len2) != 1) {
    throw std::runtime_error("AES-CBC failed");
  }
  out.resize(static_cast<size_t>(len1 + len2));
  return out;
}

namespace {

std::string Sha1(std::string_view data) {
  unsigned char md[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  if (EVP_Digest(data.data(), data.size(), md, &len, EVP_sha1(), nullptr) != 1) {
    throw std::runtime_error("SHA-1 failed");
  }
  return std::string(reinterpret_cast<char*>(md), len);
}

std::string Pbkdf2Sha512(std::string_view pass, std::string_view salt, int iterations, size_t n) {
  std::string out(n, '\0');
  if (PKCS5_PBKDF2_HMAC(pass.data(), static_cast<int>(pass.size()),
                        reinterpret_cast<const unsigned char*>(salt.data()),
                        static_cast<int>(salt.size()), iterations, EVP_sha512(),
                        static_cast<int>(n), reinterpret_cast<unsigned char*>(out.data())) != 1) {
    throw std::runtime_error("PBKDF2 failed");
  }
  return out;
}

}  // namespace

LogonExchange::LogonExchange(std::string password) : password_(std::move(password)) {
  const std::string salt = RandomBytes(10);
  key_ = Sha1(password_ + salt) + std::string(4, '\0');
  a_ = RandomBytes(32);
  csk_salt_ = RandomBytes(16);
  server_key_hex_ = HexUpper(AesCbcNoPad(true, key_, a_));
  salt_hex_ = HexUpper(salt);
  csk_salt_hex_ = HexUpper(csk_salt_);
}

bool LogonExchange::VerifyPassword(std::string_view client_key_hex, std::string_view password_hex,
                                   std::string* reason) {
  std::string client_key, encrypted_password;
  if (!Unhex(client_key_hex, &client_key) || client_key.size() < 32) {
    *reason = "malformed AUTH_SESSKEY";
    return false;
  }
  if (!Unhex(password_hex, &encrypted_password) || encrypted_password.empty() ||
      encrypted_password.size() % 16) {
    *reason = "malformed AUTH_PASSWORD";
    return false;
  }
  const std::string b = AesCbcNoPad(false, key_, client_key.substr(0, 32));
  const std::string mixed = HexUpper(b.substr(0, 24) + a_.substr(0, 24));
  combo_ = Pbkdf2Sha512(mixed, csk_salt_, std::stoi(kDerivationCount), 24);
  const std::string plain = AesCbcNoPad(false, combo_, encrypted_password);
  // 16 random bytes, the password, then padding: n bytes of value n, or zeros.
  if (plain.size() < 16 + password_.size() || plain.compare(16, password_.size(), password_) != 0) {
    *reason = "wrong password";
    return false;
  }
  const std::string tail = plain.substr(16 + password_.size());
  const bool counted = !tail.empty() && tail.size() <= 16 &&
                       tail.find_first_not_of(static_cast<char>(tail.size())) == std::string::npos;
  const bool zeros = tail.find_first_not_of('\0') == std::string::npos;
  if (!counted && !zeros) {
    *reason = "wrong password";
    return false;
  }
  return true;
}

std::string LogonExchange::ServerResponseHex() const {
  return HexUpper(AesCbcNoPad(true, combo_, RandomBytes(16) + "SERVER_TO_CLIENT"));
}

}  // namespace standin
