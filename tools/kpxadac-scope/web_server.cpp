#include "web_server.h"

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

#include <cerrno>
#include <cstring>

namespace scope {

using namespace std::chrono_literals;

namespace {

constexpr auto kKeepAliveInterval = 1000ms;  // an SSE comment this often finds dead clients
constexpr time_t kReadTimeoutSeconds = 5;
constexpr time_t kWriteTimeoutSeconds = 5;
constexpr time_t kKeepAliveTimeoutSeconds = 2;

const char* kPagePolicy =
    "default-src 'none'; script-src 'unsafe-inline'; style-src 'unsafe-inline'; "
    "connect-src 'self'; img-src data:; base-uri 'none'; form-action 'none'; frame-ancestors "
    "'none'";

const char* statusText(int status) {
  switch (status) {
    case 400:
      return "Bad Request";
    case 404:
      return "Not Found";
    case 405:
      return "Method Not Allowed";
    case 413:
      return "Payload Too Large";
    case 414:
      return "URI Too Long";
    default:
      return status < 500 ? "Client Error" : "Server Error";
  }
}

void sendJson(httplib::Response& response, int status, const nlohmann::json& body) {
  response.status = status;
  response.set_content(body.dump(), "application/json");
}

void sendError(httplib::Response& response, int status, const std::string& text) {
  sendJson(response, status, {{"error", text}});
}

#ifdef _WIN32
// Winsock's names for the socket calls and errors used below.
constexpr int kAddressInUse = WSAEADDRINUSE;
constexpr int kAddressNotAvailable = WSAEADDRNOTAVAIL;
constexpr int kAccessDenied = WSAEACCES;
int lastSocketError() {
  return WSAGetLastError();
}
void closeSocket(socket_t sock) {
  closesocket(sock);
}
bool validSocket(socket_t sock) {
  return sock != INVALID_SOCKET;
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
#else
constexpr int kAddressInUse = EADDRINUSE;
constexpr int kAddressNotAvailable = EADDRNOTAVAIL;
constexpr int kAccessDenied = EACCES;
int lastSocketError() {
  return errno;
}
void closeSocket(socket_t sock) {
  close(sock);
}
bool validSocket(socket_t sock) {
  return sock >= 0;
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
#endif

}  // namespace

std::string bindProblem(const std::string& address, uint16_t port) {
  const std::string where = "cannot listen on " + address + ":" + std::to_string(port) + ": ";
  addrinfo hints{};
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE;
  addrinfo* found = nullptr;
  if (const int error = getaddrinfo(address.c_str(), std::to_string(port).c_str(), &hints, &found))
    return where + "unknown address (" + addressErrorText(error) + ")";
  int bindError = 0;
  const socket_t sock = socket(found->ai_family, found->ai_socktype, found->ai_protocol);
  if (!validSocket(sock)) {
    bindError = lastSocketError();
  } else {
    setListenOptions(sock);
    if (::bind(sock, found->ai_addr, static_cast<int>(found->ai_addrlen)) != 0 ||
        listen(sock, 1) != 0)
      bindError = lastSocketError();
    closeSocket(sock);
  }
  freeaddrinfo(found);
  switch (bindError) {
    case kAddressInUse:
      return where + "the port is already in use (another kpxadac-scope?); choose another port";
    case kAddressNotAvailable:
      return where + "the address is not one of this host's";
    case kAccessDenied:
      return where + "permission denied (ports below 1024 need privileges)";
    case 0:
      return where + "the server could not bind";
    default:
      return where + socketErrorText(bindError);
  }
}

WebServer::WebServer(const ServerConfig& config, std::string_view page, FrameHub& hub,
                     ScopeControl& control)
    : config_(config), page_(page), hub_(hub), control_(control) {
  const size_t workers = config_.maxEventClients + 4;  // event streams each hold a worker
  server_.new_task_queue = [workers] { return new httplib::ThreadPool(workers); };
  server_.set_socket_options(setListenOptions);
  server_.set_payload_max_length(kMaxBodyBytes);
  server_.set_read_timeout(kReadTimeoutSeconds, 0);
  server_.set_write_timeout(kWriteTimeoutSeconds, 0);
  server_.set_keep_alive_timeout(kKeepAliveTimeoutSeconds);
  server_.set_default_headers({{"X-Content-Type-Options", "nosniff"},
                               {"Referrer-Policy", "no-referrer"},
                               {"Cache-Control", "no-store"}});
}

std::string WebServer::bind() {
  if (config_.port == 0) {
    const int port = server_.bind_to_any_port(config_.address);
    if (port <= 0) return bindProblem(config_.address, 0);
    port_ = static_cast<uint16_t>(port);
  } else {
    if (!server_.bind_to_port(config_.address, config_.port))
      return bindProblem(config_.address, config_.port);
    port_ = config_.port;
  }
  // Without a token only the names of this very server are answered.
  std::vector<std::string> hosts;
  // Appended rather than ":" + ..., which GCC 12 at -O2 misreads as an
  // overlapping copy (-Wrestrict).
  std::string port(1, ':');
  port.append(std::to_string(port_));
  const bool ipv6 = config_.address.find(':') != std::string::npos;
  hosts.push_back((ipv6 ? "[" + config_.address + "]" : config_.address) + port);
  hosts.push_back("localhost" + port);
  guard_ = std::make_unique<AccessGuard>(config_.token, hosts);
  installRoutes();
  return "";
}

bool WebServer::run() {
  return server_.listen_after_bind();
}

void WebServer::stop() {
  server_.stop();
}

void WebServer::installRoutes() {
  server_.set_pre_routing_handler(
      [this](const httplib::Request& request, httplib::Response& response) {
        switch (guard_->check(request)) {
          case Access::kAllowed:
            return httplib::Server::HandlerResponse::Unhandled;
          case Access::kNoToken:
          case Access::kWrongToken:
            response.set_header("WWW-Authenticate", "Bearer");
            response.status = 401;
            response.set_content(
                "401 Unauthorized: open the URL with the token that kpxadac-scope printed\n",
                "text/plain");
            return httplib::Server::HandlerResponse::Handled;
          case Access::kForeignHost:
            response.status = 403;
            response.set_content("403 Forbidden: unexpected Host header\n", "text/plain");
            return httplib::Server::HandlerResponse::Handled;
        }
        return httplib::Server::HandlerResponse::Handled;
      });

  const auto servePage = [this](const httplib::Request&, httplib::Response& response) {
    response.set_header("Content-Security-Policy", kPagePolicy);
    response.set_header("X-Frame-Options", "DENY");
    response.set_content(page_.data(), page_.size(), "text/html; charset=utf-8");
  };
  server_.Get("/", servePage);
  server_.Get("/index.html", servePage);

  server_.Get("/api/state", [this](const httplib::Request&, httplib::Response& response) {
    sendJson(response, 200, control_.state());
  });

  server_.Post("/api/settings",
               [this](const httplib::Request& request, httplib::Response& response) {
                 // A JSON content type also keeps out cross-site form posts: browsers
                 // send it only after a CORS preflight, which this server never grants.
                 if (!request.get_header_value("Content-Type").starts_with("application/json"))
                   return sendError(response, 415, "the settings must be sent as application/json");
                 const auto change = nlohmann::json::parse(request.body, nullptr, false);
                 if (change.is_discarded()) return sendError(response, 400, "the body is not JSON");
                 nlohmann::json settings;
                 if (const auto error = control_.changeSettings(change, settings); !error.empty())
                   return sendError(response, 400, error);
                 sendJson(response, 200, {{"settings", settings}});
               });

  server_.Get("/api/events", [this](const httplib::Request&, httplib::Response& response) {
    auto client = hub_.connect();
    if (!client) return sendError(response, 503, "too many event streams open");
    response.set_header("X-Accel-Buffering", "no");
    auto greeted = std::make_shared<bool>(false);
    response.set_chunked_content_provider(
        "text/event-stream",
        [client, greeted](size_t, httplib::DataSink& sink) {
          if (!*greeted) {
            *greeted = true;
            static const std::string kRetry = "retry: 2000\n\n";
            return sink.write(kRetry.data(), kRetry.size());
          }
          std::vector<Message> messages;
          switch (client->next(kKeepAliveInterval, messages)) {
            case HubClient::Wait::kClosed:
              sink.done();
              return true;
            case HubClient::Wait::kTimeout: {
              static const std::string kPing = ": ping\n\n";
              return sink.write(kPing.data(), kPing.size());
            }
            case HubClient::Wait::kMessages:
              break;
          }
          for (const auto& message : messages)
            if (!sink.write(message->data(), message->size())) return false;
          return true;
        },
        [this, client](bool) { hub_.disconnect(client); });
  });

  server_.set_error_handler([](const httplib::Request&, httplib::Response& response) {
    if (response.body.empty())
      response.set_content(
          std::to_string(response.status) + " " + statusText(response.status) + "\n", "text/plain");
  });
  server_.set_exception_handler(
      [](const httplib::Request&, httplib::Response& response, std::exception_ptr) {
        sendError(response, 500, "internal error");
      });
}

}  // namespace scope
