// The scope's HTTP side (cpp-httplib): the page, its API and the event
// stream, behind the access guard and with bounded requests.
#pragma once

#include <httplib.h>

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "access_guard.h"
#include "frame_hub.h"
#include "scope_control.h"

namespace scope {

struct ServerConfig {
  std::string address = "127.0.0.1";
  uint16_t port = 8080;  // 0: any free port
  std::string token;     // empty: none needed
  size_t maxEventClients = 8;
};

class WebServer {
 public:
  static constexpr size_t kMaxBodyBytes = 16 * 1024;

  WebServer(const ServerConfig& config, std::string_view page, FrameHub& hub,
            ScopeControl& control);

  // Binds the listening socket. "" or one line that says why not.
  std::string bind();
  uint16_t port() const { return port_; }

  // Serves until stop(); false when serving failed.
  bool run();
  // Ends run() from any thread. The event streams end when the hub closes.
  void stop();

 private:
  void installRoutes();

  const ServerConfig config_;
  const std::string_view page_;
  FrameHub& hub_;
  ScopeControl& control_;
  httplib::Server server_;
  std::unique_ptr<AccessGuard> guard_;
  uint16_t port_ = 0;
};

// Why binding ADDR:PORT fails, found by trying it with a socket of our own.
std::string bindProblem(const std::string& address, uint16_t port);

}  // namespace scope
