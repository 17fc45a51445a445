#include "server.h"

#include <array>
#include <asio/post.hpp>
#include <asio/steady_timer.hpp>
#include <asio/write.hpp>
#include <cstdio>
#include <memory>
#include <string>

namespace kpx::scpi_server {
namespace {
constexpr size_t kKeptReplyBytes = size_t{1} << 20;
}  // namespace

class Server::Connection : public std::enable_shared_from_this<Connection> {
 public:
  Connection(Server& server, asio::ip::tcp::socket socket)
      : server_(server),
        socket_(std::move(socket)),
        timer_(server.io_),
        framer_({server.limits_.maxLine, server.limits_.maxBlockBytes}),
        session_(std::make_unique<Session>(server.instrument_)) {
    ++server_.clients_;
  }
  ~Connection() { --server_.clients_; }

  void start() {
    asio::error_code ignored;
    socket_.set_option(asio::ip::tcp::no_delay(true), ignored);
    process();
  }

  void close() {
    if (closed_) return;
    closed_ = true;
    asio::error_code ignored;
    socket_.shutdown(asio::ip::tcp::socket::shutdown_both, ignored);
    socket_.close(ignored);
    timer_.cancel();
    // The session goes now: its control of a board ends, and a wait for a
    // board no longer holds this connection.
    session_.reset();
  }

 private:
  // Runs the messages already read, then reads more.
  void process() {
    busy_ = false;
    for (;;) {
      if (closed_) return;
      if (start_ == size_) {
        read();
        return;
      }
      size_t taken = 0;
      const auto event = framer_.feed(buffer_.data() + start_, size_ - start_, taken);
      start_ += taken;
      switch (event) {
        case scpi::Framer::Event::kNeedMore:
          continue;
        case scpi::Framer::Event::kOverlong:
          session_->addError(scpi::err::kTooMuchData, "a message longer than " +
                                                          std::to_string(server_.limits_.maxLine) +
                                                          " bytes; dropped up to its newline");
          continue;
        case scpi::Framer::Event::kBlockTooLarge:
          // The block's bytes cannot be told from commands: the stream is lost.
          close();
          return;
        case scpi::Framer::Event::kMessage:
          run();
          return;
      }
    }
  }

  void run() {
    busy_ = true;
    timer_.cancel();
    auto self = shared_from_this();
    session_->run(framer_.message(), [self](Response& response) { self->respond(response); });
    // While the session waits for a board, a read still notices a client
    // that goes away (its bytes are kept for later).
    if (busy_ && session_ && session_->waiting() && start_ == size_) read();
  }

  void respond(Response& response) {
    if (closed_) return;
    if (response.empty()) {
      // Unwind before the next message, so that many pipelined commands
      // do not nest.
      asio::post(server_.io_, [self = shared_from_this()] { self->process(); });
      return;
    }
    // The response's memory becomes the reply; the reply's, cleared, goes
    // back for the next response. Shared blocks are sent where they stand.
    reply_.clear();
    reply_.swap(response.text);
    reply_ += '\n';
    pieces_.clear();
    pieces_.swap(response.pieces);
    std::vector<asio::const_buffer> buffers;
    size_t at = 0;
    for (const auto& piece : pieces_) {
      buffers.push_back(asio::buffer(reply_.data() + at, piece.at - at));
      buffers.push_back(asio::buffer(*piece.bytes));
      at = piece.at;
    }
    buffers.push_back(asio::buffer(reply_.data() + at, reply_.size() - at));
    arm(server_.limits_.idle);
    asio::async_write(socket_, buffers,
                      [self = shared_from_this()](const asio::error_code& ec, size_t) {
                        if (ec) return self->close();
                        self->reply_.clear();
                        self->pieces_.clear();
                        // A large text answer (ASCii) gives its memory back.
                        if (self->reply_.capacity() > kKeptReplyBytes) self->reply_.shrink_to_fit();
                        self->process();
                      });
  }

  void read() {
    if (closed_) return;
    if (!busy_) arm(framer_.partial() ? server_.limits_.message : server_.limits_.idle);
    if (reading_) return;
    reading_ = true;
    socket_.async_read_some(asio::buffer(buffer_),
                            [self = shared_from_this()](const asio::error_code& ec, size_t n) {
                              self->reading_ = false;
                              if (ec) return self->close();
                              self->start_ = 0;
                              self->size_ = n;
                              if (!self->busy_) return self->process();
                              self->abortIfAsked();
                            });
  }

  // A client whose query waits for an acquisition can only end the wait by
  // ABORt (raw sockets have no device clear): a line of its own, among the
  // bytes that came meanwhile, ends the acquisition now. The line then runs
  // as usual after the answer.
  void abortIfAsked() {
    if (!session_ || !session_->waiting()) return;
    std::string_view pending(buffer_.data() + start_, size_ - start_);
    while (!pending.empty()) {
      const size_t end = pending.find('\n');
      if (end == std::string_view::npos) break;
      if (scpi::isAbort(pending.substr(0, end))) {
        session_->abortOwnAcquisition();
        return;
      }
      pending.remove_prefix(end + 1);
    }
  }

  void arm(std::chrono::seconds after) {
    timer_.expires_after(after);
    timer_.async_wait([self = shared_from_this()](const asio::error_code& ec) {
      if (!ec) self->close();
    });
  }

  Server& server_;
  asio::ip::tcp::socket socket_;
  asio::steady_timer timer_;
  scpi::Framer framer_;
  std::unique_ptr<Session> session_;
  std::array<char, 65536> buffer_{};
  size_t start_ = 0, size_ = 0;  // the bytes of buffer_ not yet framed
  std::string reply_;
  std::vector<Response::Piece> pieces_;
  bool reading_ = false, busy_ = false, closed_ = false;
};

Server::Server(asio::io_context& io, Instrument& instrument,
               const asio::ip::tcp::endpoint& endpoint, std::vector<Network> networks,
               ServerLimits limits)
    : io_(io),
      instrument_(instrument),
      acceptor_(io, endpoint),
      networks_(std::move(networks)),
      limits_(limits) {}

void Server::stop() {
  asio::error_code ignored;
  acceptor_.close(ignored);
  for (auto& weak : connections_)
    if (auto connection = weak.lock()) connection->close();
  connections_.clear();
}

void Server::accept() {
  acceptor_.async_accept([this](const asio::error_code& ec, asio::ip::tcp::socket socket) {
    if (ec == asio::error::operation_aborted || !acceptor_.is_open()) return;
    if (!ec) {
      asio::error_code peerError;
      const auto peer = socket.remote_endpoint(peerError);
      const char* refusal = nullptr;
      if (peerError)
        refusal = "the peer's address is unknown";
      else if (!networks_.empty() && !allowed(networks_, peer.address()))
        refusal = "not in --allow";
      else if (clients_ >= limits_.maxClients)
        refusal = "too many clients (--max-clients)";
      if (refusal) {
        std::fprintf(stderr, "kpxadac-scpi: refused %s: %s\n",
                     peerError ? "a client" : peer.address().to_string().c_str(), refusal);
        asio::error_code ignored;
        socket.close(ignored);
      } else {
        auto connection = std::make_shared<Connection>(*this, std::move(socket));
        std::erase_if(connections_, [](const auto& weak) { return weak.expired(); });
        connections_.push_back(connection);
        connection->start();
      }
    }
    accept();
  });
}

}  // namespace kpx::scpi_server
