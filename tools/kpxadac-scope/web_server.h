// The scope's HTTP side (cpp-httplib): the page, its API and the event
// stream, behind the access guard and with bounded requests. Connections
// reach a worker only through the connection gate (connection_gate.h).
#pragma once

#include <httplib.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>
#include <utility>

#include "access_guard.h"
#include "connection_gate.h"
#include "frame_hub.h"
#include "response_runner.h"
#include "scope_control.h"

namespace scope {

struct ServerConfig {
  std::string address = "127.0.0.1";
  uint16_t port = 8080;  // 0: any free port
  std::string token;     // empty: none needed
  size_t maxEventClients = 8;
  GateLimits gate;
};

struct RequestBounds {
  bool closeAfter = false;  // close the connection after the answer
  bool endless = false;     // an event stream: no deadline for the whole answer
};

// cpp-httplib's server with its connections passed through a gate: the
// accepted socket goes to the gate on the accept thread (httplib runs the
// connection through its task queue; ours runs it in place, and the
// connection's handler, which httplib made virtual for its TLS server, is
// ours), and a worker of our own pool serves each request whose header
// the gate has read, with the stream below (GatedStream in the .cpp).
class GatedServer : public httplib::Server {
 public:
  // Bounds a request before it is routed (see boundRequest).
  using Prepare = std::function<RequestBounds(httplib::Request&)>;

  GatedServer(const GateLimits& limits, Prepare prepare);

  // Serves with `workers` threads until stop().
  bool serve(size_t workers);

 private:
  bool process_and_close_socket(socket_t sock) override;
  void serveRequest(std::shared_ptr<Connection> connection);

  const Prepare prepare_;
  ConnectionGate gate_;
  std::mutex workersMutex_;
  std::unique_ptr<httplib::ThreadPool> workers_;
};

// What the server changes in a request before routing it: a Range of more
// than one part is dropped (the whole resource is served). The connection
// closes after the answer when the request has or may have a body (which
// is not read when the request is refused); only the event stream's answer
// may go on without end.
RequestBounds boundRequest(httplib::Request& request);

// Why a request's body is not taken (status and reason), or {0, ""}: a
// POST, PUT, PATCH or DELETE needs a Content-Length (411; chunks are not
// taken), at most `maxBytes` (413), not compressed (415).
std::pair<int, std::string> bodyProblem(const httplib::Request& request, size_t maxBytes);

// Parses a JSON request body nested at most `maxDepth` deep. "" and the
// value, or why not.
std::string parseJsonBody(const std::string& body, int maxDepth, nlohmann::json& value);

class WebServer {
 public:
  static constexpr size_t kMaxBodyBytes = 16 * 1024;
  static constexpr int kMaxJsonDepth = 8;
  static constexpr const char* kEventsPath = "/api/events";

  WebServer(const ServerConfig& config, std::string_view page, FrameHub& hub, ScopeControl& control,
            ResponseRunner& response);

  // Binds the listening socket. "" or one line that says why not.
  std::string bind();
  uint16_t port() const { return port_; }

  // Serves until stop(); false when serving failed.
  bool run();
  // Ends run() from any thread once it listens (a stop before that is lost).
  // The event streams end when the hub closes.
  void stop();
  bool listening() const { return server_.is_running(); }

 private:
  void installRoutes();

  const ServerConfig config_;
  const std::string_view page_;
  FrameHub& hub_;
  ScopeControl& control_;
  ResponseRunner& response_;
  GatedServer server_;
  std::unique_ptr<AccessGuard> guard_;
  uint16_t port_ = 0;
};

// Why binding ADDR:PORT fails, found by trying it with a socket of our own.
std::string bindProblem(const std::string& address, uint16_t port);

}  // namespace scope
