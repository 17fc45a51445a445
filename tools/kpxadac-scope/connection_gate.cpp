#include "connection_gate.h"

#include <algorithm>

namespace scope {

namespace {

using namespace std::chrono_literals;

// A whole answer of the gate's own, sent as the connection closes.
std::string plainAnswer(int status, const char* reason, const std::string& text) {
  const std::string body = std::to_string(status) + " " + reason + ": " + text + "\n";
  return "HTTP/1.1 " + std::to_string(status) + " " + reason +
         "\r\nConnection: close\r\nContent-Type: text/plain\r\nContent-Length: " +
         std::to_string(body.size()) + "\r\n\r\n" + body;
}

std::string duration(std::chrono::milliseconds time) {
  return time.count() % 1000 == 0 ? std::to_string(time.count() / 1000) + " s"
                                  : std::to_string(time.count()) + " ms";
}

}  // namespace

bool headerComplete(const std::string& bytes, size_t from) {
  return bytes.find("\r\n\r\n", from < 3 ? 0 : from - 3) != std::string::npos;
}

bool AddressBook::take(const std::string& address) {
  std::lock_guard lock(mutex_);
  auto& open = open_[address];
  if (open >= max_) {
    if (open == 0) open_.erase(address);
    return false;
  }
  ++open;
  return true;
}

void AddressBook::give(const std::string& address) {
  std::lock_guard lock(mutex_);
  const auto found = open_.find(address);
  if (found != open_.end() && --found->second == 0) open_.erase(found);
}

size_t AddressBook::count(const std::string& address) const {
  std::lock_guard lock(mutex_);
  const auto found = open_.find(address);
  return found == open_.end() ? 0 : found->second;
}

Connection::~Connection() {
  net::closeConnection(sock_);
  book_->give(address_);
}

ConnectionGate::ConnectionGate(const GateLimits& limits, Ready ready)
    : limits_(limits),
      ready_(std::move(ready)),
      book_(std::make_shared<AddressBook>(limits.maxPerAddress)) {}

ConnectionGate::~ConnectionGate() {
  stop();
}

void ConnectionGate::start() {
  std::lock_guard lock(mutex_);
  if (running_) return;
  running_ = true;
  stopping_ = false;
  thread_ = std::thread([this] { run(); });
}

void ConnectionGate::stop() {
  {
    std::lock_guard lock(mutex_);
    if (!running_) return;
    stopping_ = true;
  }
  poller_.wake();
  thread_.join();
  std::lock_guard lock(mutex_);
  running_ = false;
  arrivals_.clear();
}

void ConnectionGate::admit(socket_t sock) {
  std::string address = net::peerAddress(sock);
  if (!book_->take(address)) {
    net::sendNoWait(sock, plainAnswer(503, "Service Unavailable",
                                      "too many connections from this address (at most " +
                                          std::to_string(limits_.maxPerAddress) + ")"));
    net::closeConnection(sock);
    return;
  }
  auto connection = std::make_shared<Connection>(sock, std::move(address), book_);
  {
    std::lock_guard lock(mutex_);
    if (!running_ || stopping_) return;  // the connection closes here
    arrivals_.push_back({std::move(connection), Clock::now() + limits_.headerDeadline, false});
  }
  poller_.wake();
}

void ConnectionGate::readmit(std::shared_ptr<Connection> connection) {
  // A next request sent along with the last one needs no waiting.
  if (headerComplete(connection->buffered)) return ready_(std::move(connection));
  const bool idle = connection->buffered.empty();
  const auto deadline = Clock::now() + (idle ? limits_.keepAliveIdle : limits_.headerDeadline);
  {
    std::lock_guard lock(mutex_);
    if (!running_ || stopping_) return;
    arrivals_.push_back({std::move(connection), deadline, idle});
  }
  poller_.wake();
}

bool ConnectionGate::readFrom(Waiting& waiting, Clock::time_point now) {
  Connection& connection = *waiting.connection;
  char chunk[4096];
  const size_t room = limits_.maxHeaderBytes - connection.buffered.size();
  const long got = net::receive(connection.socket(), chunk, std::min(sizeof chunk, room));
  if (got <= 0) return true;  // closed by the client, or failed
  const size_t from = connection.buffered.size();
  connection.buffered.append(chunk, static_cast<size_t>(got));
  if (waiting.idle) {
    waiting.idle = false;
    waiting.deadline = now + limits_.headerDeadline;
  }
  if (headerComplete(connection.buffered, from)) {
    ready_(std::move(waiting.connection));
    return true;
  }
  if (connection.buffered.size() >= limits_.maxHeaderBytes) {
    const auto limit = std::to_string(limits_.maxHeaderBytes);
    // Without a line end so far, it is the request line that is too long.
    net::sendNoWait(connection.socket(),
                    connection.buffered.find("\r\n") == std::string::npos
                        ? plainAnswer(414, "URI Too Long",
                                      "the request line is longer than " + limit + " bytes")
                        : plainAnswer(431, "Request Header Fields Too Large",
                                      "the request header is longer than " + limit + " bytes"));
    return true;
  }
  return false;
}

void ConnectionGate::run() {
  std::deque<Waiting> waiting;  // the oldest first
  std::vector<socket_t> socks;
  std::vector<bool> ready;
  for (;;) {
    {
      std::lock_guard lock(mutex_);
      if (stopping_) break;
      for (auto& arrival : arrivals_) waiting.push_back(std::move(arrival));
      arrivals_.clear();
    }
    // Beyond the bound the oldest go: a fresh connection, whose header comes
    // at once, is never the one refused.
    while (waiting.size() > limits_.maxWaiting) waiting.pop_front();

    auto now = Clock::now();
    auto until = now + 1s;
    std::erase_if(waiting, [&](const Waiting& entry) {
      if (now < entry.deadline) {
        until = std::min(until, entry.deadline);
        return false;
      }
      // An idle connection just closes; one that began a request is told why.
      if (!entry.idle && !entry.connection->buffered.empty())
        net::sendNoWait(entry.connection->socket(),
                        plainAnswer(408, "Request Timeout",
                                    "the request header did not come whole within " +
                                        duration(limits_.headerDeadline)));
      return true;
    });

    socks.clear();
    for (const auto& entry : waiting) socks.push_back(entry.connection->socket());
    poller_.wait(
        socks, ready,
        std::chrono::ceil<std::chrono::milliseconds>(std::max(until - now, Clock::duration{})));
    now = Clock::now();
    size_t kept = 0;
    for (size_t i = 0; i < waiting.size(); ++i) {
      if (ready[i] && readFrom(waiting[i], now)) continue;
      if (kept != i) waiting[kept] = std::move(waiting[i]);
      ++kept;
    }
    waiting.erase(waiting.begin() + static_cast<std::ptrdiff_t>(kept), waiting.end());
  }
}

}  // namespace scope
