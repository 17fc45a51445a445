#include "web_server.h"

#include <algorithm>
#include <cstring>

#include "json_text.h"
#include "scope_socket.h"

namespace scope {

using namespace std::chrono_literals;

namespace {

constexpr auto kKeepAliveInterval = 1000ms;  // an SSE comment this often finds dead clients
constexpr time_t kReadTimeoutSeconds = 5;
constexpr time_t kWriteTimeoutSeconds = 5;

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
    case 409:
      return "Conflict";
    case 405:
      return "Method Not Allowed";
    case 411:
      return "Length Required";
    case 413:
      return "Payload Too Large";
    case 415:
      return "Unsupported Media Type";
    case 414:
      return "URI Too Long";
    default:
      return status < 500 ? "Client Error" : "Server Error";
  }
}

void sendJson(httplib::Response& response, int status, const nlohmann::json& body) {
  response.status = status;
  response.set_content(kpx::tools::jsonText(body), "application/json");
}

void sendError(httplib::Response& response, int status, const std::string& text) {
  sendJson(response, status, {{"error", text}});
}

using Clock = std::chrono::steady_clock;

// The longest an answer other than an event stream may take to write.
constexpr auto kAnswerDeadline = std::chrono::seconds(30);

// httplib's view of a connection the gate handed on: the header (and what
// came with it) from the gate's buffer, then the socket. Each read waits at
// most the read timeout, and all reads of one request end by a deadline, so
// a body that trickles in cannot hold the worker either.
class GatedStream : public httplib::Stream {
 public:
  GatedStream(Connection& connection, std::chrono::milliseconds readTimeout,
              std::chrono::milliseconds writeTimeout, Clock::time_point readDeadline)
      : connection_(connection),
        readTimeout_(readTimeout),
        writeTimeout_(writeTimeout),
        readDeadline_(readDeadline) {}

  bool is_readable() const override {
    return consumed_ < connection_.buffered.size() ||
           net::waitReadable(connection_.socket(), readWait());
  }
  // As httplib's own stream: writable, and the peer has not gone.
  bool is_writable() const override {
    return net::waitWritable(connection_.socket(), writeTimeout_) &&
           !net::peerClosed(connection_.socket());
  }
  ssize_t read(char* ptr, size_t size) override {
    const auto& buffered = connection_.buffered;
    if (consumed_ < buffered.size()) {
      const size_t count = std::min(size, buffered.size() - consumed_);
      std::memcpy(ptr, buffered.data() + consumed_, count);
      consumed_ += count;
      return static_cast<ssize_t>(count);
    }
    const auto wait = readWait();
    if (wait.count() <= 0 || !net::waitReadable(connection_.socket(), wait)) return -1;
    return net::receive(connection_.socket(), ptr, size);
  }
  ssize_t write(const char* ptr, size_t size) override {
    if (Clock::now() >= writeDeadline_ || !is_writable()) return -1;
    return net::sendSome(connection_.socket(), ptr, size);
  }
  void get_remote_ip_and_port(std::string& ip, int& port) const override {
    ip = connection_.address();
    port = 0;  // not kept
  }
  void get_local_ip_and_port(std::string& ip, int& port) const override {
    ip.clear();
    port = 0;  // not kept
  }
  socket_t socket() const override { return connection_.socket(); }

  // Bytes of the gate's buffer that httplib has taken.
  size_t consumed() const { return consumed_; }
  // The whole answer must be written by then: a client that takes it a
  // byte at a time, each within the write timeout, is cut off too.
  void setWriteDeadline(Clock::time_point deadline) { writeDeadline_ = deadline; }

 private:
  std::chrono::milliseconds readWait() const {
    // Never negative: poll() would take that as "wait for ever".
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(readDeadline_ - Clock::now());
    return std::clamp(left, std::chrono::milliseconds(0), readTimeout_);
  }

  Connection& connection_;
  const std::chrono::milliseconds readTimeout_;
  const std::chrono::milliseconds writeTimeout_;
  const Clock::time_point readDeadline_;
  Clock::time_point writeDeadline_ = Clock::time_point::max();
  size_t consumed_ = 0;
};

// Runs each job at once, on the thread that hands it in: httplib's accept
// thread, which gives each accepted socket to the gate this way.
class InPlaceQueue : public httplib::TaskQueue {
 public:
  void enqueue(std::function<void()> job) override { job(); }
  void shutdown() override {}
};

std::chrono::milliseconds milliseconds(time_t seconds, time_t microseconds) {
  return std::chrono::milliseconds(seconds * 1000 + microseconds / 1000);
}

// The methods for which httplib reads a body.
bool expectsBody(const httplib::Request& request) {
  return request.method == "POST" || request.method == "PUT" || request.method == "PATCH" ||
         request.method == "DELETE" || request.method == "PRI";
}

}  // namespace

RequestBounds boundRequest(httplib::Request& request) {
  // httplib answers several ranges with one part each, copies of the body:
  // thousands of "0-" in a header of a few KB make an answer of many MB. A
  // server may ignore Range; one range is still served.
  if (request.ranges.size() > 1) {
    request.ranges.clear();
    request.headers.erase("Range");
  }
  RequestBounds bounds;
  bounds.closeAfter = expectsBody(request) || request.has_header("Content-Length") ||
                      request.has_header("Transfer-Encoding");
  if (bounds.closeAfter) {
    request.headers.erase("Connection");
    request.headers.emplace("Connection", "close");  // the answer says so
  }
  bounds.endless = request.path == WebServer::kEventsPath;
  return bounds;
}

std::pair<int, std::string> bodyProblem(const httplib::Request& request, size_t maxBytes) {
  if (!expectsBody(request)) return {0, ""};
  // httplib reads a body without a length until the client closes or a read
  // times out, and a chunked one without a bound.
  if (request.has_header("Transfer-Encoding"))
    return {411, "send the body with a Content-Length, not in chunks"};
  if (!request.has_header("Content-Length"))
    return {411, "a " + request.method + " request needs a Content-Length"};
  const auto length = request.get_header_value("Content-Length");
  if (request.get_header_value_count("Content-Length") > 1 || length.empty() ||
      length.size() > 18 ||
      !std::all_of(length.begin(), length.end(), [](char c) { return c >= '0' && c <= '9'; }))
    return {400, "the Content-Length is not one number"};
  if (std::stoull(length) > maxBytes)
    return {413, "the body is larger than " + std::to_string(maxBytes) + " bytes"};
  // A compressed body would be unpacked without a bound.
  if (const auto encoding = request.get_header_value("Content-Encoding");
      !encoding.empty() && encoding != "identity")
    return {415, "the body must not be compressed (Content-Encoding)"};
  return {0, ""};
}

std::string parseJsonBody(const std::string& body, int maxDepth, nlohmann::json& value) {
  // The callback sees each value's depth; deeper ones are dropped as they
  // come, so the parse stays bounded, and the request is refused.
  bool tooDeep = false;
  value = nlohmann::json::parse(
      body,
      [&](int depth, nlohmann::json::parse_event_t, nlohmann::json&) {
        if (depth > maxDepth) tooDeep = true;
        return !tooDeep;
      },
      false);
  if (tooDeep) return "the body is nested deeper than " + std::to_string(maxDepth) + " levels";
  if (value.is_discarded()) return "the body is not JSON";
  return "";
}

GatedServer::GatedServer(const GateLimits& limits, Prepare prepare)
    : prepare_(std::move(prepare)), gate_(limits, [this](std::shared_ptr<Connection> connection) {
        std::lock_guard lock(workersMutex_);
        if (workers_) workers_->enqueue([this, connection] { serveRequest(connection); });
      }) {
  new_task_queue = [] { return new InPlaceQueue; };
}

bool GatedServer::serve(size_t workers) {
  {
    std::lock_guard lock(workersMutex_);
    workers_ = std::make_unique<httplib::ThreadPool>(workers);
  }
  gate_.start();
  const bool served = listen_after_bind();
  gate_.stop();
  std::unique_ptr<httplib::ThreadPool> pool;
  {
    std::lock_guard lock(workersMutex_);
    pool = std::move(workers_);
  }
  pool->shutdown();  // waits for the requests being served
  return served;
}

bool GatedServer::process_and_close_socket(socket_t sock) {
  gate_.admit(sock);
  return true;
}

void GatedServer::serveRequest(std::shared_ptr<Connection> connection) {
  const auto readTimeout = milliseconds(read_timeout_sec_, read_timeout_usec_);
  GatedStream stream(*connection, readTimeout,
                     milliseconds(write_timeout_sec_, write_timeout_usec_),
                     Clock::now() + gate_.limits().headerDeadline);
  const bool last = connection->requests + 1 >= keep_alive_max_count_;
  bool closed = false;
  RequestBounds bounds;
  const bool answered = process_request(stream, last, closed, [&](httplib::Request& request) {
    bounds = prepare_(request);
    if (!bounds.endless) stream.setWriteDeadline(Clock::now() + kAnswerDeadline);
  });
  ++connection->requests;
  if (!answered || closed || last || bounds.closeAfter || svr_sock_ == INVALID_SOCKET) return;
  connection->buffered.erase(0, stream.consumed());
  gate_.readmit(std::move(connection));
}

namespace {}  // namespace

std::string bindProblem(const std::string& address, uint16_t port) {
  const std::string where = "cannot listen on " + address + ":" + std::to_string(port) + ": ";
  addrinfo hints{};
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE;
  addrinfo* found = nullptr;
  if (const int error = getaddrinfo(address.c_str(), std::to_string(port).c_str(), &hints, &found))
    return where + "unknown address (" + net::addressErrorText(error) + ")";
  int bindError = 0;
  const socket_t sock = socket(found->ai_family, found->ai_socktype, found->ai_protocol);
  if (!net::validSocket(sock)) {
    bindError = net::lastSocketError();
  } else {
    net::setListenOptions(sock);
    if (::bind(sock, found->ai_addr, static_cast<int>(found->ai_addrlen)) != 0 ||
        listen(sock, 1) != 0)
      bindError = net::lastSocketError();
    net::closeSocket(sock);
  }
  freeaddrinfo(found);
  if (bindError == net::kAddressInUse)
    return where + "the port is already in use (another kpxadac-scope?); choose another port";
  if (bindError == net::kAddressNotAvailable)
    return where + "the address is not one of this host's";
  if (bindError == net::kAccessDenied)
    return where + "permission denied (ports below 1024 need privileges)";
  if (bindError == 0) return where + "the server could not bind";
  return where + net::socketErrorText(bindError);
}

WebServer::WebServer(const ServerConfig& config, std::string_view page, FrameHub& hub,
                     ScopeControl& control, ResponseRunner& response)
    : config_(config),
      page_(page),
      hub_(hub),
      control_(control),
      response_(response),
      server_(config.gate, boundRequest) {
  server_.set_socket_options(net::setListenOptions);
  server_.set_tcp_nodelay(true);  // an answer goes out in two writes (header, body)
  server_.set_payload_max_length(kMaxBodyBytes);
  server_.set_read_timeout(kReadTimeoutSeconds, 0);
  server_.set_write_timeout(kWriteTimeoutSeconds, 0);
  // What the answers announce; the gate closes an idle connection then.
  server_.set_keep_alive_timeout(std::max<time_t>(
      1, std::chrono::ceil<std::chrono::seconds>(config_.gate.keepAliveIdle).count()));
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
  // Event streams each hold a worker; the rest serve requests, which hold
  // one only from a complete header to the answer.
  return server_.serve(config_.maxEventClients + 4);
}

void WebServer::stop() {
  server_.stop();
}

void WebServer::installRoutes() {
  server_.set_pre_routing_handler(
      [this](const httplib::Request& request, httplib::Response& response) {
        switch (guard_->check(request)) {
          case Access::kAllowed:
            // Checked here, before httplib reads any body.
            if (const auto [status, reason] = bodyProblem(request, kMaxBodyBytes); status != 0) {
              sendError(response, status, reason);
              return httplib::Server::HandlerResponse::Handled;
            }
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

  server_.Post(
      "/api/settings", [this](const httplib::Request& request, httplib::Response& response) {
        // A JSON content type also keeps out cross-site form posts: browsers
        // send it only after a CORS preflight, which this server never grants.
        if (!request.get_header_value("Content-Type").starts_with("application/json"))
          return sendError(response, 415, "the settings must be sent as application/json");
        nlohmann::json change;
        if (const auto error = parseJsonBody(request.body, kMaxJsonDepth, change); !error.empty())
          return sendError(response, 400, error);
        nlohmann::json settings;
        if (const auto error = control_.changeSettings(change, settings); !error.empty())
          return sendError(response, 400, error);
        sendJson(response, 200, {{"settings", settings}});
      });

  // The response view: a measurement is a change, as the settings are.
  server_.Get("/api/response", [this](const httplib::Request&, httplib::Response& response) {
    sendJson(response, 200, response_.state());
  });
  server_.Post(
      "/api/response", [this](const httplib::Request& request, httplib::Response& response) {
        if (!request.get_header_value("Content-Type").starts_with("application/json"))
          return sendError(response, 415, "the measurement must be sent as application/json");
        nlohmann::json body;
        if (const auto error = parseJsonBody(request.body, kMaxJsonDepth, body); !error.empty())
          return sendError(response, 400, error);
        const auto answer = response_.start(body);
        if (answer.status != 202) return sendError(response, answer.status, answer.text);
        sendJson(response, 202, {{"started", true}});
      });
  server_.Post("/api/response/stop",
               [this](const httplib::Request& request, httplib::Response& response) {
                 if (!request.get_header_value("Content-Type").starts_with("application/json"))
                   return sendError(response, 415, "send the stop as application/json");
                 const auto answer = response_.cancel();
                 if (answer.status != 200) return sendError(response, answer.status, answer.text);
                 response.set_content(answer.text, "application/json");
               });
  server_.Get("/api/response/result", [this](const httplib::Request&, httplib::Response& response) {
    const auto answer = response_.json();
    if (answer.status != 200) return sendError(response, answer.status, answer.text);
    response.set_content(answer.text, "application/json");
  });
  server_.Get("/api/response/result.csv",
              [this](const httplib::Request&, httplib::Response& response) {
                const auto answer = response_.csv();
                if (answer.status != 200) {
                  response.status = answer.status;
                  return response.set_content(answer.text + "\n", "text/plain");
                }
                response.set_header("Content-Disposition", "attachment; filename=\"response.csv\"");
                response.set_content(answer.text, "text/csv");
              });

  server_.Get(kEventsPath, [this](const httplib::Request&, httplib::Response& response) {
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

  server_.set_error_handler([](const httplib::Request& request, httplib::Response& response) {
    // A Range that httplib refused before boundRequest saw it may still hold
    // many parts; each would carry a copy of this text.
    if (response.body.empty() && request.ranges.size() <= 1)
      response.set_content(
          std::to_string(response.status) + " " + statusText(response.status) + "\n", "text/plain");
  });
  server_.set_exception_handler(
      [](const httplib::Request&, httplib::Response& response, std::exception_ptr) {
        sendError(response, 500, "internal error");
      });
}

}  // namespace scope
