#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "scope_socket.h"

namespace scope::net {

const int kAddressInUse = EADDRINUSE;
const int kAddressNotAvailable = EADDRNOTAVAIL;
const int kAccessDenied = EACCES;

int lastSocketError() {
  return errno;
}

bool validSocket(socket_t sock) {
  return sock >= 0;
}

void closeSocket(socket_t sock) {
  close(sock);
}

std::string socketErrorText(int error) {
  return std::strerror(error);
}

std::string addressErrorText(int error) {
  return gai_strerror(error);
}

// cpp-httplib's default also sets SO_REUSEPORT, with which a second server
// binds the same port and takes part of the connections; a taken port must
// be refused instead.
void setListenOptions(socket_t sock) {
  const int yes = 1;
  setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
}

namespace {

bool pollOne(socket_t sock, short events, std::chrono::milliseconds timeout) {
  pollfd entry{sock, events, 0};
  int result;
  do {
    result = poll(&entry, 1, static_cast<int>(timeout.count()));
  } while (result < 0 && errno == EINTR);
  return result > 0;
}

}  // namespace

bool waitReadable(socket_t sock, std::chrono::milliseconds timeout) {
  return pollOne(sock, POLLIN, timeout);
}

bool waitWritable(socket_t sock, std::chrono::milliseconds timeout) {
  return pollOne(sock, POLLOUT, timeout);
}

bool peerClosed(socket_t sock) {
  if (!pollOne(sock, POLLIN, std::chrono::milliseconds(0))) return false;
  char byte;
  return recv(sock, &byte, 1, MSG_PEEK | MSG_DONTWAIT) == 0;
}

long receive(socket_t sock, char* buffer, size_t size) {
  ssize_t got;
  do {
    got = recv(sock, buffer, size, 0);
  } while (got < 0 && errno == EINTR);
  return static_cast<long>(got);
}

long sendSome(socket_t sock, const char* data, size_t size) {
  ssize_t sent;
  do {
    sent = send(sock, data, size, MSG_NOSIGNAL);
  } while (sent < 0 && errno == EINTR);
  return static_cast<long>(sent);
}

void sendNoWait(socket_t sock, std::string_view data) {
  (void)send(sock, data.data(), data.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
}

std::string peerAddress(socket_t sock) {
  sockaddr_storage address{};
  socklen_t length = sizeof address;
  if (getpeername(sock, reinterpret_cast<sockaddr*>(&address), &length) != 0) return "";
  char host[NI_MAXHOST];
  if (getnameinfo(reinterpret_cast<sockaddr*>(&address), length, host, sizeof host, nullptr, 0,
                  NI_NUMERICHOST) != 0)
    return "";
  return host;
}

void closeConnection(socket_t sock) {
  shutdown(sock, SHUT_RDWR);
  close(sock);
}

// A pipe wakes the poll: wake() writes a byte into it.
SocketPoller::SocketPoller() {
  int ends[2];
  if (pipe(ends) == 0) {
    wakeRead_ = ends[0];
    wakeWrite_ = ends[1];
    for (const int end : ends) {
      fcntl(end, F_SETFL, fcntl(end, F_GETFL) | O_NONBLOCK);
      fcntl(end, F_SETFD, FD_CLOEXEC);
    }
  }
}

SocketPoller::~SocketPoller() {
  if (wakeRead_ >= 0) close(wakeRead_);
  if (wakeWrite_ >= 0) close(wakeWrite_);
}

void SocketPoller::wait(const std::vector<socket_t>& socks, std::vector<bool>& ready,
                        std::chrono::milliseconds timeout) {
  std::vector<pollfd> entries;
  entries.reserve(socks.size() + 1);
  for (const auto sock : socks) entries.push_back({sock, POLLIN, 0});
  // Without the pipe (none could be made) the wait is sliced instead.
  if (wakeRead_ >= 0)
    entries.push_back({wakeRead_, POLLIN, 0});
  else
    timeout = std::min(timeout, std::chrono::milliseconds(20));
  const int result = poll(entries.data(), entries.size(), static_cast<int>(timeout.count()));
  ready.assign(socks.size(), false);
  if (result <= 0) return;
  for (size_t i = 0; i < socks.size(); ++i) ready[i] = entries[i].revents != 0;
  if (wakeRead_ >= 0 && entries.back().revents != 0) {
    char drain[64];
    while (read(wakeRead_, drain, sizeof drain) > 0) {
    }
  }
}

void SocketPoller::wake() {
  if (wakeWrite_ >= 0) (void)!write(wakeWrite_, "w", 1);
}

}  // namespace scope::net
