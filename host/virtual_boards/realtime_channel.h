// The arithmetic of a real-time streaming channel: a sample clock that can be
// started and stopped, and the two FIFOs between the board and the host.
//
// Everything here works on byte positions of the channel's stream and on
// time points passed in, so it can be checked without waiting. The clock
// produces (or consumes) whole 32-bit words, two 16-bit samples each, as the
// board moves them; every count of lost or missing data is in such words.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>

namespace kpx::sim {

inline constexpr uint64_t kWordBytes = 4;

// The samples a board's clock has produced since a restart, counting only the
// time it ran.
class SampleClock {
 public:
  using Clock = std::chrono::steady_clock;

  explicit SampleClock(double sampleRateHz) : rate_(sampleRateHz) {}

  // Back to zero at `now`, running or not.
  void restart(Clock::time_point now, bool running);
  // Starts or stops the clock at `now`; the time run so far is kept.
  void setRunning(bool running, Clock::time_point now);
  bool running() const { return running_; }

  // Bytes of whole words produced up to `now` (never decreases).
  uint64_t bytesAt(Clock::time_point now) const;
  // The earliest time at which `bytes` (rounded up to whole words) are
  // produced; nullopt while the clock is stopped and they are not yet there.
  std::optional<Clock::time_point> timeOfBytes(uint64_t bytes, Clock::time_point now) const;

 private:
  int64_t nanosRun(Clock::time_point now) const;

  double rate_;
  bool running_ = false;
  int64_t nanosBefore_ = 0;  // run time before `since_`
  Clock::time_point since_{};
};

// Drops the oldest whole words of a receive FIFO so that at most `depthBytes`
// remain between the next byte to deliver (`position`, lost bytes counted)
// and the bytes produced so far. Returns the number of words dropped;
// `position` moves past them.
uint64_t dropOverflow(uint64_t& position, uint64_t producedBytes, uint64_t depthBytes);

// The transmit FIFO of a DAC board: the host writes into it, the sample clock
// takes whole words out of it; a word the clock wants while the FIFO has none
// is missing (an underrun).
class TransmitFifo {
 public:
  explicit TransmitFifo(uint64_t depthBytes) : depth_(depthBytes) {}

  void clear() { written_ = played_ = demanded_ = 0; }
  // Lets the clock take what it has asked for up to `demandedBytes` (bytes of
  // whole words since the restart); returns the words that found the FIFO
  // empty.
  uint64_t settle(uint64_t demandedBytes);
  uint64_t space() const { return depth_ - (written_ - played_); }
  // Adds `bytes` written by the host, at most space().
  void put(uint64_t bytes) { written_ += bytes; }
  // Clock bytes accounted so far, the ones that went missing included.
  uint64_t demanded() const { return demanded_; }

 private:
  uint64_t depth_;
  uint64_t written_ = 0;   // bytes the host has put in
  uint64_t played_ = 0;    // bytes the clock has taken out
  uint64_t demanded_ = 0;  // clock bytes accounted so far
};

}  // namespace kpx::sim
