#include "allow_list.h"

#include <charconv>

namespace kpx::scpi_server {
namespace {

// The address's bytes (4 or 16), IPv4-mapped IPv6 addresses as IPv4.
std::vector<unsigned char> bytesOf(const asio::ip::address& address) {
  if (address.is_v6() && address.to_v6().is_v4_mapped())
    return bytesOf(asio::ip::make_address_v4(asio::ip::v4_mapped, address.to_v6()));
  if (address.is_v4()) {
    const auto b = address.to_v4().to_bytes();
    return {b.begin(), b.end()};
  }
  const auto b = address.to_v6().to_bytes();
  return {b.begin(), b.end()};
}

bool prefixMatches(const std::vector<unsigned char>& a, const std::vector<unsigned char>& b,
                   unsigned prefix) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size() && prefix > 0; ++i) {
    const unsigned bits = prefix >= 8 ? 8 : prefix;
    const auto mask = static_cast<unsigned char>(0xFF00u >> bits);
    if ((a[i] & mask) != (b[i] & mask)) return false;
    prefix -= bits;
  }
  return true;
}

// "'<text>'<what>", built by appending (GCC 12's -Wrestrict misreads a
// literal put in front of a temporary string).
std::string quoted(std::string_view text, std::string_view what) {
  std::string out = "'";
  out.append(text);
  out += '\'';
  out.append(what);
  return out;
}

}  // namespace

std::string parseNetwork(std::string_view text, Network& network) {
  const size_t slash = text.find('/');
  asio::error_code ec;
  const auto address = asio::ip::make_address(std::string(text.substr(0, slash)), ec);
  if (ec) return quoted(text, " is not an address or network (192.0.2.0/24, 2001:db8::/32)");
  const unsigned bits = address.is_v4() ? 32 : 128;
  unsigned prefix = bits;
  if (slash != std::string_view::npos) {
    const std::string_view digits = text.substr(slash + 1);
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), prefix);
    if (error != std::errc() || end != digits.data() + digits.size() || digits.empty() ||
        prefix > bits)
      return quoted(text, ": the prefix length must be 0 to " + std::to_string(bits));
  }
  network.address = address;
  network.prefix = prefix;
  return "";
}

std::string parseEndpoint(std::string_view text, asio::ip::tcp::endpoint& endpoint) {
  const size_t colon = text.rfind(':');
  if (colon == std::string_view::npos || colon == 0) return quoted(text, " is not ADDRESS:PORT");
  std::string_view host = text.substr(0, colon);
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']')
    host = host.substr(1, host.size() - 2);
  asio::error_code ec;
  const auto address = asio::ip::make_address(std::string(host), ec);
  if (ec) return quoted(host, " is not an IP address");
  const std::string_view digits = text.substr(colon + 1);
  unsigned port = 0;
  const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), port);
  if (digits.empty() || error != std::errc() || end != digits.data() + digits.size() ||
      port > 65535)
    return quoted(digits, " is not a port (0 to 65535)");
  endpoint = {address, static_cast<unsigned short>(port)};
  return "";
}

bool allowed(const std::vector<Network>& networks, const asio::ip::address& address) {
  const auto bytes = bytesOf(address);
  for (const auto& n : networks)
    if (prefixMatches(bytesOf(n.address), bytes, n.prefix)) return true;
  return false;
}

}  // namespace kpx::scpi_server
