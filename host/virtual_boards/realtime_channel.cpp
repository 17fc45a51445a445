#include "virtual_boards/realtime_channel.h"

#include <algorithm>
#include <cmath>

namespace kpx::sim {
namespace {

constexpr double kSamplesPerWord = 2;
constexpr double kNanosPerSecond = 1e9;

}  // namespace

void SampleClock::restart(Clock::time_point now, bool running) {
  running_ = running;
  nanosBefore_ = 0;
  since_ = now;
}

void SampleClock::setRunning(bool running, Clock::time_point now) {
  if (running == running_) return;
  nanosBefore_ = nanosRun(now);
  since_ = now;
  running_ = running;
}

int64_t SampleClock::nanosRun(Clock::time_point now) const {
  if (!running_ || now <= since_) return nanosBefore_;
  return nanosBefore_ + std::chrono::duration_cast<std::chrono::nanoseconds>(now - since_).count();
}

uint64_t SampleClock::bytesAt(Clock::time_point now) const {
  // Rounding is monotonic, so the count never goes back as time goes on.
  const double words =
      std::floor(static_cast<double>(nanosRun(now)) * rate_ / (kSamplesPerWord * kNanosPerSecond));
  return static_cast<uint64_t>(words) * kWordBytes;
}

std::optional<SampleClock::Clock::time_point> SampleClock::timeOfBytes(
    uint64_t bytes, Clock::time_point now) const {
  if (bytesAt(now) >= bytes) return now;
  if (!running_) return std::nullopt;
  const uint64_t words = (bytes + kWordBytes - 1) / kWordBytes;
  const double nanos =
      std::ceil(static_cast<double>(words) * kSamplesPerWord * kNanosPerSecond / rate_);
  // One nanosecond more covers the rounding of bytesAt's division.
  const auto due =
      since_ + std::chrono::nanoseconds(static_cast<int64_t>(nanos) - nanosBefore_ + 1);
  return std::max(due, now);
}

uint64_t dropOverflow(uint64_t& position, uint64_t producedBytes, uint64_t depthBytes) {
  if (producedBytes <= position || producedBytes - position <= depthBytes) return 0;
  const uint64_t excess = producedBytes - position - depthBytes;
  const uint64_t words = (excess + kWordBytes - 1) / kWordBytes;
  position += words * kWordBytes;
  return words;
}

uint64_t TransmitFifo::settle(uint64_t demandedBytes) {
  if (demandedBytes <= demanded_) return 0;
  const uint64_t wanted = demandedBytes - demanded_;
  demanded_ = demandedBytes;
  // The clock takes whole words only; a partial word written by the host
  // waits for its rest.
  const uint64_t available = (written_ - played_) / kWordBytes * kWordBytes;
  const uint64_t taken = std::min(wanted, available);
  played_ += taken;
  return (wanted - taken) / kWordBytes;
}

}  // namespace kpx::sim
