// The raw SCPI socket server: newline-terminated program messages over TCP,
// each connection a client with its own Session. One thread runs every
// connection (Asio), so a slow or silent client never holds up another;
// each is bounded in line length, block size, idle time and the time a
// message may take to arrive, and the number of connections is bounded.
#pragma once

#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <chrono>
#include <cstddef>
#include <memory>
#include <vector>

#include "allow_list.h"
#include "instrument.h"

namespace kpx::scpi_server {

struct ServerLimits {
  size_t maxClients = 16;
  size_t maxLine = 65536;            // bytes of a message outside its blocks
  size_t maxBlockBytes = 64 << 20;   // bytes of a message's blocks
  std::chrono::seconds idle{600};    // with no message, and for a response to be read
  std::chrono::seconds message{30};  // from a message's first byte to its end
};

class Server {
 public:
  // networks empty: every client is let in (the server listens on loopback).
  Server(asio::io_context& io, Instrument& instrument, const asio::ip::tcp::endpoint& endpoint,
         std::vector<Network> networks, ServerLimits limits);
  asio::ip::tcp::endpoint local() const { return acceptor_.local_endpoint(); }
  void start() { accept(); }
  // Stops accepting and closes every connection; the server's thread then
  // runs out of work once the boards' threads have ended.
  void stop();

 private:
  class Connection;
  void accept();

  asio::io_context& io_;
  Instrument& instrument_;
  asio::ip::tcp::acceptor acceptor_;
  std::vector<Network> networks_;
  ServerLimits limits_;
  size_t clients_ = 0;
  std::vector<std::weak_ptr<Connection>> connections_;
};

}  // namespace kpx::scpi_server
