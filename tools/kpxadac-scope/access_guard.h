// Who may use the scope's pages: every request must carry the access token
// when one is set (query parameter `token` or `Authorization: Bearer`); a
// server on 127.0.0.1 without a token answers only requests addressed to it
// by its own name (Host header), which keeps other web sites out through
// DNS rebinding.
#pragma once

#include <httplib.h>

#include <string>
#include <string_view>
#include <vector>

namespace scope {

// 128 random bits as 32 hexadecimal digits.
std::string generateToken();

// "" when `token` can be used as an access token, else what is wrong.
std::string tokenProblem(std::string_view token);

// Compares in a time that does not depend on where the strings differ.
bool tokensEqual(std::string_view a, std::string_view b);

enum class Access { kAllowed, kNoToken, kWrongToken, kForeignHost };

class AccessGuard {
 public:
  // token empty: no token needed, and then only `allowedHosts` (Host header
  // values, e.g. "127.0.0.1:8080") are served.
  AccessGuard(std::string token, std::vector<std::string> allowedHosts);

  Access check(const httplib::Request& request) const;

 private:
  std::string token_;
  std::vector<std::string> allowedHosts_;
};

}  // namespace scope
