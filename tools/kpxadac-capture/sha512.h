// Incremental SHA-512 over OpenSSL's EVP interface.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

struct evp_md_ctx_st;

namespace capture {

class Sha512 {
 public:
  Sha512();
  ~Sha512();
  Sha512(const Sha512&) = delete;
  Sha512& operator=(const Sha512&) = delete;

  void update(const uint8_t* bytes, size_t length);
  // The digest as 128 lower-case hexadecimal digits; ends the computation.
  std::string hexDigest();

 private:
  evp_md_ctx_st* context_;
};

}  // namespace capture
