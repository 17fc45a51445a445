#include "acquisition.h"

#include <algorithm>
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

std::string groupText(int32_t result) {
  return KpxGroup_ResultText(result);
}

int64_t wallClockNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

}  // namespace

std::unique_ptr<Acquisition> Acquisition::startGroup(const std::vector<BoardInfo>& boards,
                                                     int32_t setup, const GroupAlign& align,
                                                     std::function<void()> onOverrun,
                                                     std::string& error) {
  std::string names;
  for (const auto& board : boards)
    names += (names.empty() ? "" : ",") + std::to_string(board.index);
  const std::string what = "the group of ADC boards " + names + ": ";
  if (boards.size() < 2 || boards.size() > kMaxGroupBoards) {
    error = what + "a group shows 2 to " + std::to_string(kMaxGroupBoards) + " boards";
    return nullptr;
  }
  KpxGroupConfig config{};
  config.direction = KPXSTREAM_RECEIVE;
  config.count = static_cast<uint32_t>(boards.size());
  for (size_t b = 0; b < boards.size(); ++b)
    config.boards[b] = static_cast<int32_t>(boards[b].index);
  config.setup = setup;
  config.blockSamples = kBlockBytes / sizeof(int16_t);
  config.blockCount = kGroupBlockCount;
  config.gapPolicy = KPXGROUP_GAPS_FLAG;
  KpxGroup* group = nullptr;
  KpxGroupOpenInfo info{};
  int32_t result = KpxGroup_Open(&config, &group, &info);
  if (result != KPXGROUP_OK) {
    error = what + "did not open: " + groupText(result);
    if (info.position >= 0 && static_cast<size_t>(info.position) < boards.size())
      error += " (board " + std::to_string(boards[static_cast<size_t>(info.position)].index) + ")";
    return nullptr;
  }
  result = KpxGroup_Start(group);
  if (result != KPXGROUP_OK) {
    error = what + "did not start: " + groupText(result);
    KpxGroup_Close(group);
    return nullptr;
  }
  if (align.choice == kpx::tools::AlignChoice::kOffsets) {
    result = KpxGroup_SetOffsets(group, align.offsets.data(),
                                 static_cast<uint32_t>(align.offsets.size()));
    if (result != KPXGROUP_OK) error = what + "--align offsets: " + groupText(result);
  } else if (align.choice == kpx::tools::AlignChoice::kMeasure) {
    std::vector<KpxGroupAlignment> results(boards.size());
    result = KpxGroup_Measure(group, align.window, results.data(), 1, 2000);
    if (result != KPXGROUP_OK) {
      error = what + "--align measure: " + groupText(result);
      if (result == KPXGROUP_ERR_ALIGNMENT)
        for (size_t b = 1; b < boards.size(); ++b)
          if (results[b].result != KPXGROUP_ALIGN_OK)
            error += "; board " + std::to_string(boards[b].index) + ": " +
                     KpxGroup_AlignText(results[b].result);
    }
  }
  if (!error.empty()) {
    KpxGroup_Close(group);
    return nullptr;
  }
  return std::unique_ptr<Acquisition>(new Acquisition(boards, group, std::move(onOverrun)));
}

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

Acquisition::Acquisition(const std::vector<BoardInfo>& boards, KpxGroup* group,
                         std::function<void()> onOverrun)
    : board_(boards.front()),
      group_(group),
      groupBoards_(boards),
      onOverrun_(std::move(onOverrun)) {
  consumer_ = std::thread([this] { consumeGroup(); });
}

Acquisition::~Acquisition() {
  if (group_)
    KpxGroup_Stop(group_);
  else
    KpxStream_Stop(stream_);
  consumer_.join();
  KpxRecords_Close(trigger_);
  if (group_)
    KpxGroup_Close(group_);
  else
    KpxStream_Close(stream_);
}

bool Acquisition::latestTraces(std::vector<Trace>& traces, uint64_t& groupIndex) const {
  std::lock_guard lock(mutex_);
  if (!haveTraces_) return false;
  traces = traces_;
  groupIndex = tracesIndex_;
  return true;
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
    if (block.lostBefore > 0) noteGap(block.index, block.lostBefore, block.hostTimeNs);
    feedRequest(static_cast<const int16_t*>(block.data), block.bytes / sizeof(int16_t), block.index,
                block.lostBefore > 0);
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

void Acquisition::noteGap(uint64_t index, uint64_t lost, int64_t hostTimeNs) {
  {
    std::lock_guard lock(mutex_);
    events_.push_back({++eventSeq_, index, lost, hostTimeNs});
    lostSamples_ += lost;
    if (events_.size() > kRecentEvents) events_.pop_front();
  }
  if (onOverrun_) onOverrun_();
}

// A group's blocks: each board's gaps are overrun events (board index of the
// first lost sample); the first board's samples feed the spectrum, with a
// gap on any board starting the copy over (its block holds zeros there);
// the block's start on every board becomes the newest traces.
void Acquisition::consumeGroup() {
  int32_t result = KPXGROUP_OK;
  KpxGroupStatus status{};
  KpxGroup_GetStatus(group_, &status);
  std::vector<Trace> traces(groupBoards_.size());
  for (size_t b = 0; b < traces.size(); ++b) {
    traces[b].index = groupBoards_[b].index;
    traces[b].offset = status.offsets[b];
    traces[b].skip = status.skips[b];
  }
  auto block = std::make_unique<KpxGroupBlock>();
  for (;;) {
    result = KpxGroup_AcquireRead(group_, block.get(), kAcquireTimeoutMs);
    if (result == KPXGROUP_TIMEOUT) continue;
    if (result != KPXGROUP_OK) break;
    const int64_t now = wallClockNs();
    for (uint32_t b = 0; b < block->count; ++b)
      if (block->boards[b].lost > 0)
        noteGap(block->boards[b].boardIndex + block->boards[b].firstLost, block->boards[b].lost,
                now);
    feedRequest(block->boards[0].samples, block->samples, block->groupIndex,
                (block->flags & KPXGROUP_BLOCK_GAP) != 0);
    const size_t take = std::min<size_t>(kTraceSamples, block->samples);
    for (uint32_t b = 0; b < block->count && b < traces.size(); ++b)
      traces[b].samples.assign(block->boards[b].samples, block->boards[b].samples + take);
    {
      std::lock_guard lock(mutex_);
      traces_ = traces;
      tracesIndex_ = block->groupIndex;
      haveTraces_ = true;
    }
    KpxGroup_ReleaseRead(group_, block.get());
  }
  {
    std::lock_guard lock(mutex_);
    ended_ = true;
    if (result != KPXGROUP_STOPPED) {
      KpxGroup_GetStatus(group_, &status);
      endError_ = std::string("the group ended: ") + groupText(result);
      if (result == KPXGROUP_BOARD_FAILED && status.failedBoard >= 0 &&
          static_cast<size_t>(status.failedBoard) < groupBoards_.size())
        endError_ += " (board " +
                     std::to_string(groupBoards_[static_cast<size_t>(status.failedBoard)].index) +
                     ")";
    }
  }
  requestDone_.notify_all();
}

void Acquisition::feedRequest(const int16_t* samples, size_t count, uint64_t index, bool gap) {
  bool done = false;
  {
    std::lock_guard lock(mutex_);
    if (!requestOut_ || requestFilled_ == requestCount_) return;
    // The samples handed out are contiguous on the board: a gap starts over.
    if (gap) requestFilled_ = 0;
    if (requestFilled_ == 0) requestIndex_ = index;
    const size_t take = std::min(count, requestCount_ - requestFilled_);
    std::memcpy(requestOut_ + requestFilled_, samples, take * sizeof(int16_t));
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
  AcquisitionStatus status;
  if (group_) {
    KpxGroupStatus group{};
    KpxGroup_GetStatus(group_, &group);
    status.running = group.running != 0;
    status.sampleRateHz = group.sampleRateHz;
    status.samplesMoved = group.groupSamples * group.count;
    status.startSkewSamples = group.startSkewSamples;
  } else {
    KpxStreamStatus stream{};
    KpxStream_GetStatus(stream_, &stream);
    status.running = stream.running != 0;
    status.clock = stream.clock;
    status.sampleRateHz = stream.sampleRateHz;
    status.samplesMoved = stream.samplesMoved;
    status.countersUnread = stream.countersUnread;
  }
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
