#include "sha512.h"

#include <openssl/evp.h>

#include <stdexcept>

namespace capture {

Sha512::Sha512() : context_(EVP_MD_CTX_new()) {
  if (!context_ || EVP_DigestInit_ex(context_, EVP_sha512(), nullptr) != 1)
    throw std::runtime_error("SHA-512 is not available");
}

Sha512::~Sha512() {
  EVP_MD_CTX_free(context_);
}

void Sha512::update(const uint8_t* bytes, size_t length) {
  EVP_DigestUpdate(context_, bytes, length);
}

std::string Sha512::hexDigest() {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EVP_DigestFinal_ex(context_, digest, &length);
  static const char kDigits[] = "0123456789abcdef";
  std::string hex;
  for (unsigned i = 0; i < length; ++i) {
    hex += kDigits[digest[i] >> 4];
    hex += kDigits[digest[i] & 15];
  }
  return hex;
}

}  // namespace capture
