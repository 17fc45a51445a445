// One receive stream on one board (the acquisition API, KpxStream_*), or a
// group of boards on one sample index (KpxGroup_*), and the thread that
// consumes it. The thread only takes blocks and gives them back,
// counting gaps; when the analysis asks for samples it copies the next
// contiguous stretch for it. It never waits for the analysis, so a slow
// spectrum costs spectra, not samples.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "kpxadac16.h"
#include "kpxadac_group.h"
#include "kpxadac_records.h"
#include "kpxadac_stream.h"
#include "shared_options.h"

namespace scope {

struct BoardInfo {
  unsigned index = 0;  // among the ADC boards
  BoardHandle handle = KPXADAC_INVALID_HANDLE;
  int boardId = 0;
};

struct OverrunEvent {
  uint64_t seq = 0;    // 1, 2, ... per acquisition
  uint64_t index = 0;  // board index of the first sample after the gap
  uint64_t lostSamples = 0;
  int64_t hostTimeNs = 0;
};

// The waveform's trigger: a records engine fed with the stream's blocks.
struct TriggerStatus {
  bool active = false;  // an engine is set
  bool ended = false;   // single: its one record is taken
  KpxRecordsCounts counts{};
};

// A group's alignment as the command line asks for it (--align).
struct GroupAlign {
  kpx::tools::AlignChoice choice = kpx::tools::AlignChoice::kNone;
  std::vector<double> offsets;  // kOffsets: one per board, the first 0
  uint64_t window = 65536;      // kMeasure: samples per board correlated
};

// One board's newest stretch of a group: the same group samples for every
// board.
struct Trace {
  unsigned index = 0;  // the board's index among the ADC boards
  double offset = 0;   // the offset applied to it (samples against the first)
  int64_t skip = 0;    // samples it skips to reach the group index
  std::vector<int16_t> samples;
};

struct AcquisitionStatus {
  bool running = false;
  std::string error;  // why the stream ended, when it did not end by our own stop
  int32_t clock = KPXSTREAM_CLOCK_AS_SET;
  double sampleRateHz = 0;  // of that clock, as the library gives it
  uint64_t samplesMoved = 0;
  uint64_t overrunEvents = 0;   // gaps the consumer has met, each in recentEvents
  uint64_t overrunSamples = 0;  // samples lost in them
  uint64_t countersUnread = 0;
  std::vector<OverrunEvent> recentEvents;  // the last kRecentEvents, oldest first
  uint64_t startSkewSamples = 0;           // a group's start skew, an upper bound
};

class Acquisition {
 public:
  static constexpr uint32_t kBlockBytes = 512 * 1024;  // 2.5 ms at 105 MHz
  static constexpr uint32_t kBlockCount = 64;          // 160 ms of slack
  static constexpr size_t kRecentEvents = 50;
  // A group's ring per board: 40 ms at 105 MHz, so that 8 boards take 128 MiB.
  static constexpr uint32_t kGroupBlockCount = 16;
  static constexpr size_t kMaxGroupBoards = 8;
  static constexpr size_t kTraceSamples = 1024;

  // Opens and starts a stream on `board` with the given KPXSTREAM_SETUP_*.
  // `onOverrun` is called on the consumer thread after each gap; it must
  // return quickly. Null and `error` set when the stream does not start.
  static std::unique_ptr<Acquisition> start(const BoardInfo& board, int32_t setup,
                                            std::function<void()> onOverrun, std::string& error);
  // Opens a group of `boards` (2 to kMaxGroupBoards) through the group API,
  // starts it and aligns it as `align` asks. Board-free consumers see the
  // first board's samples (takeSamples) and every board's newest stretch
  // (latestTraces). Null and `error` set when the group does not start or
  // cannot be aligned.
  static std::unique_ptr<Acquisition> startGroup(const std::vector<BoardInfo>& boards,
                                                 int32_t setup, const GroupAlign& align,
                                                 std::function<void()> onOverrun,
                                                 std::string& error);
  ~Acquisition();  // stops the stream, joins the thread, closes the stream

  Acquisition(const Acquisition&) = delete;
  Acquisition& operator=(const Acquisition&) = delete;

  const BoardInfo& board() const { return board_; }
  bool isGroup() const { return group_ != nullptr; }

  // A group: every board's newest kTraceSamples, taken from one group block
  // (so sample i of each is the same group sample), and the group index of
  // their first sample. False when no block has come yet.
  bool latestTraces(std::vector<Trace>& traces, uint64_t& groupIndex) const;

  // Copies the next `count` contiguous samples that arrive after the call
  // into `out`. False when they did not arrive within `timeout` or the
  // stream has ended.
  bool takeSamples(int16_t* out, size_t count, std::chrono::milliseconds timeout,
                   uint64_t& firstIndex);

  AcquisitionStatus status() const;

  // Replaces the trigger with a fresh engine of `config` (re-armed), or
  // removes it. Returns "" or the engine's refusal.
  std::string setTrigger(const KpxRecordsConfig* config);
  // The newest record since the last call, into `samples` (its queue is
  // emptied on the way). False when none came.
  bool latestRecord(std::vector<int16_t>& samples, KpxRecord& record);
  TriggerStatus triggerStatus() const;

 private:
  Acquisition(const BoardInfo& board, KpxStream* stream, std::function<void()> onOverrun);
  Acquisition(const std::vector<BoardInfo>& boards, KpxGroup* group,
              std::function<void()> onOverrun);
  void consume();
  void consumeGroup();
  void noteGap(uint64_t index, uint64_t lost, int64_t hostTimeNs);
  void feedRequest(const int16_t* samples, size_t count, uint64_t index, bool gap);

  const BoardInfo board_;
  KpxStream* const stream_ = nullptr;
  KpxGroup* const group_ = nullptr;
  const std::vector<BoardInfo> groupBoards_;
  const std::function<void()> onOverrun_;

  mutable std::mutex mutex_;
  std::condition_variable requestDone_;
  // The analysis' request for samples, filled by the consumer under mutex_.
  int16_t* requestOut_ = nullptr;
  size_t requestCount_ = 0;
  size_t requestFilled_ = 0;
  uint64_t requestIndex_ = 0;
  bool ended_ = false;
  std::string endError_;
  std::deque<OverrunEvent> events_;
  uint64_t eventSeq_ = 0;
  uint64_t lostSamples_ = 0;
  // A group's newest traces, written by the consumer under mutex_.
  std::vector<Trace> traces_;
  uint64_t tracesIndex_ = 0;
  bool haveTraces_ = false;

  // The trigger engine; the consumer feeds it under triggerMutex_.
  mutable std::mutex triggerMutex_;
  KpxRecords* trigger_ = nullptr;

  std::thread consumer_;
};

}  // namespace scope
