// The few socket calls the scope's server makes on its own (the listening
// socket's check, the connection gate and its stream), behind one
// interface: scope_socket_posix.cpp and scope_socket_win32.cpp implement it.
#pragma once

#include <httplib.h>  // socket_t

#include <chrono>
#include <string>
#include <string_view>
#include <vector>

namespace scope::net {

// The host's codes of the bind errors that bindProblem words for the user.
extern const int kAddressInUse;
extern const int kAddressNotAvailable;
extern const int kAccessDenied;
// The last socket call's error code (errno, WSAGetLastError).
int lastSocketError();
bool validSocket(socket_t sock);
void closeSocket(socket_t sock);
// Texts of a socket call's and of getaddrinfo's error codes.
std::string socketErrorText(int error);
std::string addressErrorText(int error);
// Options of the listening socket: a port that is taken must be refused.
void setListenOptions(socket_t sock);

// Waits up to `timeout` until `sock` can be read (data, or the peer's end).
bool waitReadable(socket_t sock, std::chrono::milliseconds timeout);
// Waits up to `timeout` until `sock` takes more data.
bool waitWritable(socket_t sock, std::chrono::milliseconds timeout);

// Whether the peer has closed its side (nothing more to read, ever).
bool peerClosed(socket_t sock);

// recv/send: the bytes moved, 0 when the peer closed (recv), < 0 on error.
// send never raises SIGPIPE.
long receive(socket_t sock, char* buffer, size_t size);
long sendSome(socket_t sock, const char* data, size_t size);
// Best effort, never waits: what does not fit into the socket is dropped.
void sendNoWait(socket_t sock, std::string_view data);

// The peer's numeric address ("127.0.0.1", "::1"); "" when unknown.
std::string peerAddress(socket_t sock);

// Shuts both ways and closes.
void closeConnection(socket_t sock);

// Waits up to `timeout` until one of `socks` can be read or wake() is
// called; sets ready[i] for each that can. Where the host has no way to
// wake a waiting poll (Winsock), the wait is cut into 20 ms slices instead.
class SocketPoller {
 public:
  SocketPoller();
  ~SocketPoller();
  SocketPoller(const SocketPoller&) = delete;
  SocketPoller& operator=(const SocketPoller&) = delete;

  void wait(const std::vector<socket_t>& socks, std::vector<bool>& ready,
            std::chrono::milliseconds timeout);
  // Ends the current or the next wait early; from any thread.
  void wake();

 private:
  int wakeRead_ = -1;
  int wakeWrite_ = -1;
};

}  // namespace scope::net
