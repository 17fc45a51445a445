#include "access_guard.h"

#include <algorithm>
#include <random>

namespace scope {

std::string generateToken() {
  std::random_device source;  // the kernel's random source on Linux
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string token;
  for (int word = 0; word < 4; ++word) {
    uint32_t bits = source();
    for (int nibble = 0; nibble < 8; ++nibble, bits >>= 4) token += kDigits[bits & 0xF];
  }
  return token;
}

std::string tokenProblem(std::string_view token) {
  if (token.size() < 16 || token.size() > 128) return "must have 16 to 128 characters";
  const bool urlSafe = std::all_of(token.begin(), token.end(), [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '_' || c == '.' || c == '~';
  });
  return urlSafe ? "" : "only letters, digits, '-', '_', '.' and '~' are allowed";
}

bool tokensEqual(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  unsigned char difference = 0;
  for (size_t i = 0; i < a.size(); ++i) difference |= static_cast<unsigned char>(a[i] ^ b[i]);
  return difference == 0;
}

AccessGuard::AccessGuard(std::string token, std::vector<std::string> allowedHosts)
    : token_(std::move(token)), allowedHosts_(std::move(allowedHosts)) {}

Access AccessGuard::check(const httplib::Request& request) const {
  if (token_.empty()) {
    const auto host = request.get_header_value("Host");
    return std::find(allowedHosts_.begin(), allowedHosts_.end(), host) != allowedHosts_.end()
               ? Access::kAllowed
               : Access::kForeignHost;
  }
  std::string given;
  if (request.has_param("token")) {
    given = request.get_param_value("token");
  } else {
    const auto authorization = request.get_header_value("Authorization");
    constexpr std::string_view kBearer = "Bearer ";
    if (!authorization.starts_with(kBearer)) return Access::kNoToken;
    given = authorization.substr(kBearer.size());
  }
  return tokensEqual(given, token_) ? Access::kAllowed : Access::kWrongToken;
}

}  // namespace scope
