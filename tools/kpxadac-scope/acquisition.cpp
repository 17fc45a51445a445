#include "acquisition.h"

#include <cstdio>
#include <cstring>

#include "stream_priority.h"

namespace scope {

namespace {

constexpr int32_t kAcquireTimeoutMs = 200;

std::string endText(int32_t result, const KpxStreamStatus& status) {
  std::string text = std::string("the stream ended: ") + KpxStream_ResultText(result);
  if (result == KPXSTREAM_BOARD_FAILED)
    text += " (platform error " + std::to_string(status.platformError) + ")";
  return text;
}

}  // namespace

std::unique_ptr<Acquisition> Acquisition::start(const BoardInfo& board, int32_t setup,
                                                std::function<void()> onOverrun,
                                                std::string& error) {
  KpxStreamConfig config{};
  config.board = board.handle;
  config.direction = KPXSTREAM_RECEIVE;
  config.blockBytes = kBlockBytes;
  config.blockCount = kBlockCount;
  config.setup = setup;
  KpxStream* stream = nullptr;
  int32_t result = KpxStream_Open(&config, &stream);
  if (result == KPXSTREAM_OK) {
    result = KpxStream_Start(stream);
    if (result != KPXSTREAM_OK) KpxStream_Close(stream);
  }
  if (result != KPXSTREAM_OK) {
    error = "ADC board " + std::to_string(board.index) +
            ": the stream did not start: " + KpxStream_ResultText(result);
    return nullptr;
  }
  KpxStreamStatus status{};
  KpxStream_GetStatus(stream, &status);
  if (auto note = kpx::tools::streamPriorityNote(status); !note.empty())
    std::fprintf(stderr, "kpxadac-scope: %s\n", note.c_str());
  return std::unique_ptr<Acquisition>(new Acquisition(board, stream, std::move(onOverrun)));
}

Acquisition::Acquisition(const BoardInfo& board, KpxStream* stream, std::function<void()> onOverrun)
    : board_(board), stream_(stream), onOverrun_(std::move(onOverrun)) {
  consumer_ = std::thread([this] { consume(); });
}

Acquisition::~Acquisition() {
  KpxStream_Stop(stream_);
  consumer_.join();
  KpxRecords_Close(trigger_);
  KpxStream_Close(stream_);
}

std::string Acquisition::setTrigger(const KpxRecordsConfig* config) {
  KpxRecords* next = nullptr;
  if (config) {
    const int32_t result = KpxRecords_OpenFed(config, &next);
    if (result != KPXRECORDS_OK) return std::string("trigger: ") + KpxRecords_ResultText(result);
  }
  KpxRecords* old;
  {
    std::lock_guard lock(triggerMutex_);
    old = trigger_;
    trigger_ = next;
  }
  KpxRecords_Close(old);
  return "";
}

bool Acquisition::latestRecord(std::vector<int16_t>& samples, KpxRecord& record) {
  std::lock_guard lock(triggerMutex_);
  if (!trigger_) return false;
  bool got = false;
  KpxRecord taken{};
  while (KpxRecords_Acquire(trigger_, &taken, 0) == KPXRECORDS_OK) {
    samples.assign(taken.samples, taken.samples + taken.length);
    record = taken;
    record.samples = samples.data();
    KpxRecords_Release(trigger_, &taken);
    got = true;
  }
  return got;
}

TriggerStatus Acquisition::triggerStatus() const {
  TriggerStatus status;
  std::lock_guard lock(triggerMutex_);
  if (!trigger_) return status;
  KpxRecordsStatus records{};
  KpxRecords_GetStatus(trigger_, &records);
  status.active = true;
  status.ended = records.ended != 0;
  status.counts = records.counts;
  return status;
}

void Acquisition::consume() {
  int32_t result = KPXSTREAM_OK;
  for (;;) {
    KpxStreamBlock block{};
    result = KpxStream_AcquireRead(stream_, &block, kAcquireTimeoutMs);
    if (result == KPXSTREAM_TIMEOUT) continue;
    if (result != KPXSTREAM_OK) break;
    if (block.lostBefore > 0) {
      {
        std::lock_guard lock(mutex_);
        events_.push_back({++eventSeq_, block.index, block.lostBefore, block.hostTimeNs});
        lostSamples_ += block.lostBefore;
        if (events_.size() > kRecentEvents) events_.pop_front();
      }
      if (onOverrun_) onOverrun_();
    }
    feedRequest(block);
    {
      std::lock_guard lock(triggerMutex_);
      if (trigger_) KpxRecords_Feed(trigger_, &block);
    }
    KpxStream_ReleaseRead(stream_, &block);
  }
  KpxStreamStatus status{};
  KpxStream_GetStatus(stream_, &status);
  {
    std::lock_guard lock(mutex_);
    ended_ = true;
    // Our own stop (KpxStream_Stop from the destructor) is no error.
    if (result != KPXSTREAM_STOPPED) endError_ = endText(result, status);
  }
  requestDone_.notify_all();
}

void Acquisition::feedRequest(const KpxStreamBlock& block) {
  bool done = false;
  {
    std::lock_guard lock(mutex_);
    if (!requestOut_ || requestFilled_ == requestCount_) return;
    // The samples handed out are contiguous on the board: a gap starts over.
    if (block.lostBefore > 0) requestFilled_ = 0;
    if (requestFilled_ == 0) requestIndex_ = block.index;
    const size_t available = block.bytes / sizeof(int16_t);
    const size_t take = std::min(available, requestCount_ - requestFilled_);
    std::memcpy(requestOut_ + requestFilled_, block.data, take * sizeof(int16_t));
    requestFilled_ += take;
    done = requestFilled_ == requestCount_;
  }
  if (done) requestDone_.notify_all();
}

bool Acquisition::takeSamples(int16_t* out, size_t count, std::chrono::milliseconds timeout,
                              uint64_t& firstIndex) {
  std::unique_lock lock(mutex_);
  if (ended_) return false;
  requestOut_ = out;
  requestCount_ = count;
  requestFilled_ = 0;
  const bool filled = requestDone_.wait_for(lock, timeout, [&] {
    return ended_ || requestFilled_ == requestCount_;
  }) && requestFilled_ == requestCount_;
  // Withdrawn under the lock, so the consumer never writes to `out` later.
  requestOut_ = nullptr;
  firstIndex = requestIndex_;
  return filled;
}

AcquisitionStatus Acquisition::status() const {
  KpxStreamStatus stream{};
  KpxStream_GetStatus(stream_, &stream);
  AcquisitionStatus status;
  status.running = stream.running != 0;
  status.clock = stream.clock;
  status.sampleRateHz = stream.sampleRateHz;
  status.samplesMoved = stream.samplesMoved;
  status.countersUnread = stream.countersUnread;
  std::lock_guard lock(mutex_);
  // Counted as the consumer meets the gaps (not as the stream's thread
  // notes them, blocks ahead), so the counts always match the event list.
  status.overrunEvents = eventSeq_;
  status.overrunSamples = lostSamples_;
  status.error = endError_;
  status.recentEvents.assign(events_.begin(), events_.end());
  return status;
}

}  // namespace scope
