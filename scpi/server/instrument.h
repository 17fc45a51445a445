// The instrument behind the SCPI server: the command tree bound to the
// board library's public API. One Instrument holds the boards, their
// settings and their last acquisition; each client has a Session with its
// own parser state, error queue, status registers and data format.
//
// Everything here runs on one thread (the server's); acquisitions and
// generator output run on threads of their own and hand their end back
// through `post`.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "kpxadac_board.h"
#include "scpi_parser.h"

namespace kpx::scpi_server {

class Session;
struct Board;

class Instrument {
 public:
  // post: runs a function on the server's thread, later (from any thread).
  explicit Instrument(std::function<void(std::function<void()>)> post);
  ~Instrument();
  Instrument(const Instrument&) = delete;
  Instrument& operator=(const Instrument&) = delete;

  const std::vector<std::unique_ptr<Board>>& boards() const { return boards_; }
  Board* find(std::string_view name) const;
  Board* defaultBoard() const;
  void post(std::function<void()> f) { post_(std::move(f)); }

  // Ends every acquisition and output and waits for their threads.
  void shutdown();

 private:
  std::function<void(std::function<void()>)> post_;
  std::vector<std::unique_ptr<Board>> boards_;
};

// A response message: its text, with shared blocks of bytes placed at
// offsets of it (a waveform's encoded block, sent without a copy).
struct Response {
  struct Piece {
    size_t at;
    std::shared_ptr<const std::string> bytes;
  };
  std::string text;
  std::vector<Piece> pieces;
  bool empty() const { return text.empty() && pieces.empty(); }
};

class Session {
 public:
  explicit Session(Instrument& instrument);
  ~Session();
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  // Runs one program message; `done` receives the response message (the
  // query answers joined by ';', or "" when there is none) once every unit
  // has run: at once, or later when a unit waits for an acquisition. It may
  // take the text and pieces (by swapping them with buffers of its own,
  // whose memory the next response reuses).
  void run(std::string_view message, std::function<void(Response&)> done);

  // Adds an error to this client's queue (bounded; the last place says
  // "Queue overflow" when it is full) and sets its event status bit.
  void addError(int code, std::string detail = "");

  bool waiting() const { return static_cast<bool>(done_); }

  // Ends the acquisition of the selected board when this client controls
  // it (ABORt sent while a query of this client waits for it).
  void abortOwnAcquisition();

 private:
  friend struct Commands;
  enum class Step { kDone, kWait };
  void resume();
  Board* controlled(bool take);

  Instrument& instrument_;
  std::shared_ptr<int> alive_ = std::make_shared<int>(0);
  Board* selected_ = nullptr;
  std::deque<scpi::Error> errors_;
  int ese_ = 0, esr_ = 0, sre_ = 0;
  bool ascii_ = false, swapped_ = false;
  // The message being run.
  scpi::Message message_;
  size_t next_ = 0;
  int unitStep_ = 0;
  Response response_;
  bool answered_ = false;
  std::function<void(Response&)> done_;
};

}  // namespace kpx::scpi_server
