// The scope's connections wait here, with no worker thread, until their
// request header has come whole. cpp-httplib reads a header with a worker
// and a timeout per read, so a client that sends a byte every few seconds,
// or header lines without end, holds a worker for as long as it likes, and
// a dozen of them take every worker. The gate reads all waiting connections
// in one thread with poll(): a header must be complete within a deadline
// and a size, the connections per client address are bounded, and only a
// complete header is handed to a worker (WebServer). A connection kept
// alive comes back here between its requests.
#pragma once

#include <httplib.h>  // socket_t

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "scope_socket.h"

namespace scope {

struct GateLimits {
  // From a connection's first byte (or its arrival) to the end of its header.
  std::chrono::milliseconds headerDeadline{10000};
  // How long a kept-alive connection may wait for its next request.
  std::chrono::milliseconds keepAliveIdle{2000};
  // The request line and all header lines, with their line ends.
  size_t maxHeaderBytes = 16 * 1024;
  // Connections open at once from one client address (waiting or served).
  size_t maxPerAddress = 24;
  // Connections waiting for their header at once; beyond, the oldest goes.
  size_t maxWaiting = 256;
};

// How many connections each client address has open.
class AddressBook {
 public:
  explicit AddressBook(size_t maxPerAddress) : max_(maxPerAddress) {}
  // false when `address` already has the most it may have.
  bool take(const std::string& address);
  void give(const std::string& address);
  size_t count(const std::string& address) const;

 private:
  const size_t max_;
  mutable std::mutex mutex_;
  std::map<std::string, size_t> open_;
};

// One client's connection: its socket, its address, and the bytes read
// but not yet parsed. Destroying it closes the socket and gives its place
// in the address book back.
class Connection {
 public:
  Connection(socket_t sock, std::string address, std::shared_ptr<AddressBook> book)
      : sock_(sock), address_(std::move(address)), book_(std::move(book)) {}
  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  socket_t socket() const { return sock_; }
  const std::string& address() const { return address_; }

  std::string buffered;  // read ahead: a whole header, maybe more
  size_t requests = 0;   // answered so far

 private:
  const socket_t sock_;
  const std::string address_;
  const std::shared_ptr<AddressBook> book_;
};

class ConnectionGate {
 public:
  // Called from the gate's thread with each connection whose header is in
  // `buffered`; must not wait.
  using Ready = std::function<void(std::shared_ptr<Connection>)>;

  ConnectionGate(const GateLimits& limits, Ready ready);
  ~ConnectionGate();
  ConnectionGate(const ConnectionGate&) = delete;
  ConnectionGate& operator=(const ConnectionGate&) = delete;

  void start();
  // Closes every waiting connection; later ones are closed at once.
  void stop();

  // A connection just accepted. One from an address that has its most
  // open is answered 503 and closed at once.
  void admit(socket_t sock);
  // A connection that has been answered and stays open for another request.
  void readmit(std::shared_ptr<Connection> connection);

  const GateLimits& limits() const { return limits_; }

 private:
  using Clock = std::chrono::steady_clock;
  struct Waiting {
    std::shared_ptr<Connection> connection;
    Clock::time_point deadline;
    bool idle;  // kept alive and no byte of the next request yet
  };

  void run();
  // Reads what `waiting` has; true when it is done here (handed on or closed).
  bool readFrom(Waiting& waiting, Clock::time_point now);

  const GateLimits limits_;
  const Ready ready_;
  const std::shared_ptr<AddressBook> book_;
  net::SocketPoller poller_;

  std::mutex mutex_;
  std::vector<Waiting> arrivals_;  // handed in by other threads
  bool running_ = false;
  bool stopping_ = false;
  std::thread thread_;
};

// Whether `bytes` holds the blank line that ends a request header; `from`
// is where new bytes start (the search goes back 3 for a split "\r\n\r\n").
bool headerComplete(const std::string& bytes, size_t from = 0);

}  // namespace scope
