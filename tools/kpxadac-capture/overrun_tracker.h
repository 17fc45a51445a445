// Turns the channel's receive overrun counter, read after every block, into
// gaps in the captured stream.
//
// The counter counts lost 32-bit words, two 16-bit samples each. When the
// board's FIFO overflows it drops its oldest samples, so a read that follows
// an overflow delivers data that begins right after the gap, and the counter
// has grown when it is read after that read. Growth seen after block k thus
// places the gap right before the first sample of block k.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

namespace capture {

inline constexpr uint64_t kSamplesPerLostWord = 2;

struct OverrunEvent {
  uint64_t fileSample = 0;    // index in the file of the first sample after the gap
  uint64_t globalSample = 0;  // the board's index of that sample, lost samples counted
  uint64_t lostSamples = 0;   // samples lost in this gap
};

class OverrunTracker {
 public:
  explicit OverrunTracker(uint32_t initialCount) : lastCount_(initialCount) {}

  // Records the counter read after the block whose first sample has index
  // `blockFirstSample` in the file; returns the gap if the counter grew.
  std::optional<OverrunEvent> afterBlock(uint64_t blockFirstSample, uint32_t overrunCount) {
    // Unsigned difference: a counter that wrapped around still counts right.
    const uint32_t newWords = overrunCount - lastCount_;
    lastCount_ = overrunCount;
    if (newWords == 0) return std::nullopt;
    OverrunEvent event;
    event.lostSamples = uint64_t{newWords} * kSamplesPerLostWord;
    lostSamples_ += event.lostSamples;
    event.fileSample = blockFirstSample;
    event.globalSample = blockFirstSample + lostSamples_;
    events_.push_back(event);
    return event;
  }

  uint64_t lostSamples() const { return lostSamples_; }
  const std::vector<OverrunEvent>& events() const { return events_; }

 private:
  uint32_t lastCount_;
  uint64_t lostSamples_ = 0;
  std::vector<OverrunEvent> events_;
};

}  // namespace capture
