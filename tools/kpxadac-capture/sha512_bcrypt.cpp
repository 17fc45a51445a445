#include <windows.h>
// After <windows.h>, which it needs.
#include <bcrypt.h>

#include <algorithm>
#include <stdexcept>

#include "sha512.h"

namespace capture {

struct Sha512::State {
  BCRYPT_ALG_HANDLE algorithm = nullptr;
  BCRYPT_HASH_HANDLE hash = nullptr;
  ~State() {
    if (hash) BCryptDestroyHash(hash);
    if (algorithm) BCryptCloseAlgorithmProvider(algorithm, 0);
  }
};

Sha512::Sha512() : state_(std::make_unique<State>()) {
  // No buffer for the hash object: CNG keeps it itself (Windows 7 and later).
  if (!BCRYPT_SUCCESS(
          BCryptOpenAlgorithmProvider(&state_->algorithm, BCRYPT_SHA512_ALGORITHM, nullptr, 0)) ||
      !BCRYPT_SUCCESS(
          BCryptCreateHash(state_->algorithm, &state_->hash, nullptr, 0, nullptr, 0, 0)))
    throw std::runtime_error("SHA-512 is not available");
}

Sha512::~Sha512() = default;

void Sha512::update(const uint8_t* bytes, size_t length) {
  // CNG takes a 32-bit length and a non-const pointer that it only reads.
  while (length > 0) {
    const auto part = static_cast<ULONG>(std::min<size_t>(length, 1u << 30));
    BCryptHashData(state_->hash, const_cast<PUCHAR>(bytes), part, 0);
    bytes += part;
    length -= part;
  }
}

std::array<uint8_t, 64> Sha512::digest() {
  std::array<uint8_t, 64> digest{};
  BCryptFinishHash(state_->hash, digest.data(), static_cast<ULONG>(digest.size()), 0);
  return digest;
}

}  // namespace capture
