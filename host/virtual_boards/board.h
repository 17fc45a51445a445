// One virtual board: its registers with the few that move by themselves, its
// FPGA memory and configuration, the driver-side lock and profiling, and the
// streaming channel. The rack (virtual_rack.cpp) checks handles, lengths,
// faults and the gate before a request gets here.
#pragma once

#include <array>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "kpxadac_ioctl.h"
#include "virtual_boards/board_memory.h"
#include "virtual_boards/rack_config.h"
#include "virtual_boards/realtime_channel.h"
#include "virtual_boards/signal_generator.h"
#include "virtual_boards/timeline.h"
#include "virtual_boards/virtual_rack.h"

namespace kpx::sim {

// Register offsets and bits with a behaviour of their own. The requests are
// the driver interface's (kpxadac_ioctl.h), shared; the register map is the
// board's, kept here apart from the library's (adc/kpxadc.h) on purpose: the
// model is the other side of the bus, below the library, and a second
// statement of the board lets a wrong offset in the library fail a test
// instead of agreeing with itself (tests/virtual_boards/register_test.cpp
// checks that the two maps name the same registers).
namespace reg {
inline constexpr uint32_t kClock = 8;
inline constexpr uint32_t kClockSynthStart = 0x08;
inline constexpr uint32_t kClockBusy = 0x40;
inline constexpr uint32_t kClockReset = 0x80;
inline constexpr uint32_t kClockReady = 0x100;
inline constexpr uint32_t kRun = 28;
inline constexpr uint32_t kRunBit = 0x1;
inline constexpr uint32_t kTableControl = 36;
inline constexpr uint32_t kTableBusy = 1u << 17;
inline constexpr uint32_t kSequenceStatus = 0x1010;
inline constexpr uint32_t kSequenceStart = 1u << 17;
inline constexpr uint32_t kSequenceCodeShift = 24;
inline constexpr uint32_t kSequenceCodeMask = 0xFu << 24;
inline constexpr uint32_t kSequenceRunningCode = 2;
inline constexpr uint32_t kSequenceState = 0x1080;
inline constexpr uint32_t kSequenceStateRunning = 2;
}  // namespace reg

// Bit of the status byte that reports a configured FPGA.
inline constexpr uint8_t kStatusFpgaConfigured = 0x01;

// A status bit that stays in its "busy" value for a number of reads of its
// register and then changes by itself (remaining == nullopt: never).
struct ReadCountdown {
  bool active = false;
  ReadCount remaining;
  void start(ReadCount reads) {
    active = true;
    remaining = reads;
  }
  // Counts one read; true when this read is the one that sees it finished.
  bool finishesOnRead() {
    if (!active || !remaining) return false;
    if (*remaining == 0) {
      active = false;
      return true;
    }
    --*remaining;
    return false;
  }
};

class Board {
 public:
  using TimePoint = SampleClock::Clock::time_point;
  // `origin`: the rack's timeline origin on the host's monotonic clock.
  Board(BoardConfig config, TimePoint origin);
  // An ADC board whose input is `dac`'s output (config.input.kind kDac).
  void wireTo(Board& dac);

  int device() const { return config_.device; }

  // The fault rule that applies to this operation, if any; counts it.
  std::optional<FaultRule> takeFault(std::string_view op);
  void applyFaultCounters(const FaultRule& rule);

  // Control request with lengths already checked. Returns 0 or an error.
  uint32_t control(Handle handle, uint32_t code, const uint8_t* in, uint32_t inLength, uint8_t* out,
                   uint32_t outLength, uint32_t& returned);
  // Streaming read; `cap` (from a fault rule) makes it succeed with at most
  // that many bytes whatever the channel's state.
  uint32_t read(uint8_t* buffer, uint32_t length, std::optional<uint32_t> cap, uint32_t& moved);
  // Streaming write; a DAC board with an output file records what it plays.
  uint32_t write(const uint8_t* data, uint32_t length, std::optional<uint32_t> cap,
                 uint32_t& moved);
  void handleClosed(Handle handle);

  // Test hooks.
  uint32_t peek(uint32_t offset);
  void poke(uint32_t offset, uint32_t value);
  std::string loadedPart();
  bool fpgaConfigured();
  bool isLocked();
  bool synthesizerProgrammed();
  double sampleRate() const;
  uint64_t channelSampleIndex();
  const SampleSource& source();
  // Sample `index` as a read would deliver it now.
  int16_t sampleAt(uint64_t index);
  // The board's place on the timeline: the configured offset (unpaced), the
  // position of sample 0 since the clock's start after the last reset
  // (real-time; NaN before). clockPpm: the configured clock error.
  double timelineOffset();
  double clockPpm() const { return config_.clockPpm; }
  SparseMemory& memory() { return memory_; }

 private:
  struct Profiling {
    uint64_t controls = 0, reads = 0, bytesRead = 0, writes = 0, bytesWritten = 0;
  };

  uint32_t readRegister(uint32_t offset);
  void writeRegister(uint32_t offset, uint32_t value);
  uint32_t visibleRegister(uint32_t offset) const;
  bool streaming() const;
  // Real-time boards: starts or stops the sample clock when the run state
  // or the clock's ready bit has changed.
  void followRunState();
  void resetRealtimeChannel();
  uint32_t readPaced(uint8_t* buffer, uint32_t count, uint32_t& moved);
  uint32_t writePaced(const uint8_t* data, uint32_t count, uint32_t& moved);
  // Appends to the output file (if any): `idleWords` words of the idle
  // output 0, then `count` bytes of `data`. Called with mutex_ held.
  // Returns 0, or the error of a write that failed.
  uint32_t record(uint64_t idleWords, const uint8_t* data, uint64_t count);
  uint64_t fifoDepthBytes() const { return config_.fifoDepthSamples * 2; }
  // What a read of `length` bytes may deliver under the announced words and
  // a fault's cap.
  uint32_t readLength(uint32_t length, std::optional<uint32_t> cap) const;
  void fillDebugSnapshot(uint8_t* out) const;
  // The samples a read delivers, from the board's input. `start`: the
  // timeline position of sample 0 when the range was reserved (real-time).
  void deliver(uint8_t* buffer, uint64_t position, uint32_t count, std::optional<int64_t> start);
  // Real-time: notes where the ADC's (or DAC's) clock starts on the timeline,
  // and reports it in the trace. Called with mutex_ held.
  int64_t timelinePositionOf(TimePoint now) const;
  void noteAdcStart(TimePoint now);
  void traceTimeline(double offset) const;

  const BoardConfig config_;
  std::mutex mutex_;                 // everything below but memory_ and source_
  std::condition_variable changed_;  // a register that gates reads was written
  std::unordered_map<uint32_t, uint32_t> registers_;
  ReadCountdown clockReady_, synthBusy_, tableBusy_, sequence_;
  bool synthesizerProgrammed_ = false;
  bool fpgaConfigured_ = false;
  std::string loadedPart_;
  Handle lockOwner_ = 0;
  Profiling profiling_;
  uint32_t v360Resets_ = 0;
  // Streaming channel: the next byte of the sample stream (lost bytes
  // counted), and the length announced for the next read. A read reserves
  // its range here under the lock and fills it afterwards.
  uint64_t channelPosition_ = 0;
  std::optional<uint32_t> announcedWords_;
  uint32_t rxOverrun_ = 0, txUnderrun_ = 0;
  std::array<uint8_t, 2> flowControl_{};
  std::vector<uint32_t> faultMatches_;  // per rule of config_.faults
  // Real-time channel (config_.realtime). The ADC clock runs while
  // streaming(); the receive FIFO is the range from channelPosition_ to what
  // that clock has produced. On a DAC board a channel reset arms the DAC
  // clock, the next write starts it, and from then on it drains the transmit
  // FIFO. `resets_` tells a waiting read that the channel was reset under it.
  SampleClock adcClock_;
  SampleClock dacClock_;
  bool dacArmed_ = false;
  TransmitFifo transmit_;
  uint64_t resets_ = 0;
  std::mutex readerMutex_;     // one paced read at a time drains the FIFO
  std::mutex writerMutex_;     // one paced write at a time fills it
  bool outputFailed_ = false;  // a write to config_.output failed; said once

  // The shared world. adcStart_: timeline position of the ADC's sample 0
  // since the last reset (real-time); dacStart_ likewise for the DAC.
  TimePoint origin_;
  std::unique_ptr<TimelineSource> timeline_;
  std::unique_ptr<WiredInput> wired_;
  std::shared_ptr<PlayedHistory> played_;  // a DAC board that feeds an ADC
  std::optional<int64_t> adcStart_, dacStart_;

  SparseMemory memory_;
  std::once_flag sourceOnce_;
  std::shared_ptr<const SampleSource> source_;
};

}  // namespace kpx::sim
