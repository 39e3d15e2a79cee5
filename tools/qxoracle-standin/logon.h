// The server side of the Oracle logon key exchange with the 11g password verifier, enough for
// thin clients to log in to the stand-in with a configured password and to trust its answer.
//
//   K      = SHA-1(password || salt) || 4 zero bytes           (an AES-192 key)
//   server: AUTH_SESSKEY = AES-CBC(K, A) for 32 random bytes A
//   client: AUTH_SESSKEY = AES-CBC(K, B); the server decrypts B
//   combo  = PBKDF2-HMAC-SHA512(upper hex of B[0..24) || A[0..24), CSK salt, count, 24 bytes)
//   client: AUTH_PASSWORD = AES-CBC(combo, 16 random bytes || password || padding)
//   server: AUTH_SVR_RESPONSE = AES-CBC(combo, 16 random bytes || "SERVER_TO_CLIENT")
// All AES is CBC with a zero IV and no padding of its own.
//
// Threading: one object per connection, used by its thread only.
#pragma once

#include <string>
#include <string_view>

namespace standin {

class LogonExchange {
 public:
  explicit LogonExchange(std::string password);

  // Phase-one values, hex as the clients expect them.
  const std::string& server_session_key_hex() const { return server_key_hex_; }
  const std::string& verifier_salt_hex() const { return salt_hex_; }
  const std::string& csk_salt_hex() const { return csk_salt_hex_; }
  static constexpr const char* kDerivationCount = "3";
  static constexpr unsigned kVerifier11g = 0xB152;

  // Checks the client's phase-two key and encrypted password. False with *reason when the
  // password is wrong or a value is malformed.
  bool VerifyPassword(std::string_view client_key_hex, std::string_view password_hex,
                      std::string* reason);
  // AUTH_SVR_RESPONSE; only after VerifyPassword succeeded.
  std::string ServerResponseHex() const;

 private:
  std::string password_;
  std::string key_;    // K
  std::string a_;      // the server's session key half
  std::string csk_salt_;
  std::string combo_;
  std::string server_key_hex_, salt_hex_, csk_salt_hex_;
};

// Primitives (OpenSSL EVP); they throw std::runtime_error when OpenSSL fails.
std::string RandomBytes(size_t n);
std::string AesCbcNoPad(bool encrypt, std::string_view key, std::string_view data);

}  // namespace standin
