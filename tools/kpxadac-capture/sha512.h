// Incremental SHA-512, from the system's cryptography: OpenSSL's EVP
// interface (sha512_openssl.cpp), or CNG on Windows (sha512_bcrypt.cpp).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace capture {

class Sha512 {
 public:
  // Throws std::runtime_error when the system offers no SHA-512.
  Sha512();
  ~Sha512();
  Sha512(const Sha512&) = delete;
  Sha512& operator=(const Sha512&) = delete;

  void update(const uint8_t* bytes, size_t length);
  // The 64 bytes of the digest; ends the computation.
  std::array<uint8_t, 64> digest();
  // The digest as 128 lower-case hexadecimal digits; ends the computation.
  std::string hexDigest() {
    static const char kDigits[] = "0123456789abcdef";
    std::string hex;
    for (uint8_t byte : digest()) {
      hex += kDigits[byte >> 4];
      hex += kDigits[byte & 15];
    }
    return hex;
  }

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace capture
