#include <openssl/evp.h>

#include <stdexcept>

#include "sha512.h"

namespace capture {

struct Sha512::State {
  EVP_MD_CTX* context = EVP_MD_CTX_new();
  ~State() { EVP_MD_CTX_free(context); }
};

Sha512::Sha512() : state_(std::make_unique<State>()) {
  if (!state_->context || EVP_DigestInit_ex(state_->context, EVP_sha512(), nullptr) != 1)
    throw std::runtime_error("SHA-512 is not available");
}

Sha512::~Sha512() = default;

void Sha512::update(const uint8_t* bytes, size_t length) {
  EVP_DigestUpdate(state_->context, bytes, length);
}

std::array<uint8_t, 64> Sha512::digest() {
  std::array<uint8_t, 64> digest{};
  unsigned int length = 0;
  EVP_DigestFinal_ex(state_->context, digest.data(), &length);
  return digest;
}

}  // namespace capture
