// Who may connect to the SCPI server: networks in CIDR form ("192.0.2.0/24",
// "2001:db8::/32", or one address), and the listening address the server
// takes ("127.0.0.1:5025", "[::1]:5025").
#pragma once

#include <asio/ip/address.hpp>
#include <asio/ip/tcp.hpp>
#include <string>
#include <string_view>
#include <vector>

namespace kpx::scpi_server {

struct Network {
  asio::ip::address address;  // the network's address (host bits are ignored)
  unsigned prefix = 0;        // bits that must match
};

// "" and `network` filled, or what is wrong with `text`.
std::string parseNetwork(std::string_view text, Network& network);

// "" and `endpoint` filled, or what is wrong with `text` (ADDR:PORT).
std::string parseEndpoint(std::string_view text, asio::ip::tcp::endpoint& endpoint);

// Whether `address` lies in one of `networks` (an IPv4 address seen as an
// IPv4-mapped IPv6 address counts as itself).
bool allowed(const std::vector<Network>& networks, const asio::ip::address& address);

}  // namespace kpx::scpi_server
