#include <winsock2.h>
#include <ws2tcpip.h>

#include <algorithm>

#include "scope_socket.h"

namespace scope::net {

const int kAddressInUse = WSAEADDRINUSE;
const int kAddressNotAvailable = WSAEADDRNOTAVAIL;
const int kAccessDenied = WSAEACCES;

int lastSocketError() {
  return WSAGetLastError();
}

bool validSocket(socket_t sock) {
  return sock != INVALID_SOCKET;
}

void closeSocket(socket_t sock) {
  closesocket(sock);
}

std::string socketErrorText(int error) {
  return "socket error " + std::to_string(error);
}

std::string addressErrorText(int error) {
  return "error " + std::to_string(error);
}

// SO_REUSEADDR on Windows lets a second server take a bound port; exclusive
// use refuses it instead, as a taken port is refused on POSIX.
void setListenOptions(socket_t sock) {
  const BOOL yes = TRUE;
  setsockopt(sock, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&yes),
             sizeof yes);
}

namespace {

bool pollOne(socket_t sock, short events, std::chrono::milliseconds timeout) {
  WSAPOLLFD entry{sock, events, 0};
  return WSAPoll(&entry, 1, static_cast<INT>(timeout.count())) > 0;
}

int clampedSize(size_t size) {
  return static_cast<int>(std::min<size_t>(size, 1 << 30));
}

}  // namespace

bool waitReadable(socket_t sock, std::chrono::milliseconds timeout) {
  return pollOne(sock, POLLRDNORM, timeout);
}

bool waitWritable(socket_t sock, std::chrono::milliseconds timeout) {
  return pollOne(sock, POLLWRNORM, timeout);
}

bool peerClosed(socket_t sock) {
  if (!pollOne(sock, POLLRDNORM, std::chrono::milliseconds(0))) return false;
  char byte;
  return recv(sock, &byte, 1, MSG_PEEK) == 0;
}

long receive(socket_t sock, char* buffer, size_t size) {
  return recv(sock, buffer, clampedSize(size), 0);
}

long sendSome(socket_t sock, const char* data, size_t size) {
  return send(sock, data, clampedSize(size), 0);
}

// Winsock has no per-call "don't wait": the socket is made non-blocking for
// this one send.
void sendNoWait(socket_t sock, std::string_view data) {
  u_long on = 1;
  ioctlsocket(sock, FIONBIO, &on);
  (void)send(sock, data.data(), clampedSize(data.size()), 0);
  u_long off = 0;
  ioctlsocket(sock, FIONBIO, &off);
}

std::string peerAddress(socket_t sock) {
  sockaddr_storage address{};
  int length = sizeof address;
  if (getpeername(sock, reinterpret_cast<sockaddr*>(&address), &length) != 0) return "";
  char host[NI_MAXHOST];
  if (getnameinfo(reinterpret_cast<sockaddr*>(&address), length, host, sizeof host, nullptr, 0,
                  NI_NUMERICHOST) != 0)
    return "";
  return host;
}

void closeConnection(socket_t sock) {
  shutdown(sock, SD_BOTH);
  closesocket(sock);
}

// WSAPoll takes sockets only, so nothing can wake it: the wait is sliced.
SocketPoller::SocketPoller() = default;
SocketPoller::~SocketPoller() = default;

void SocketPoller::wait(const std::vector<socket_t>& socks, std::vector<bool>& ready,
                        std::chrono::milliseconds timeout) {
  timeout = std::min(timeout, std::chrono::milliseconds(20));
  ready.assign(socks.size(), false);
  if (socks.empty()) {
    Sleep(static_cast<DWORD>(timeout.count()));
    return;
  }
  std::vector<WSAPOLLFD> entries;
  entries.reserve(socks.size());
  for (const auto sock : socks) entries.push_back({sock, POLLRDNORM, 0});
  if (WSAPoll(entries.data(), static_cast<ULONG>(entries.size()),
              static_cast<INT>(timeout.count())) <= 0)
    return;
  for (size_t i = 0; i < socks.size(); ++i) ready[i] = entries[i].revents != 0;
}

void SocketPoller::wake() {}

}  // namespace scope::net
