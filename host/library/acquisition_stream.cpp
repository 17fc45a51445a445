// Continuous acquisition: one thread per stream moves blocks between the
// board's streaming channel and a ring, and turns the channel's error
// counters into gaps placed at block boundaries.
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <new>
#include <set>
#include <thread>
#include <vector>

#include "board_catalog.h"
#include "kpxadac_board.h"
#include "kpxadac_stream.h"
#include "kpxadc.h"
#include "platform/platform.h"
#include "registry.h"

namespace {

// Each lost or missed 32-bit word of the counters holds two 16-bit samples.
constexpr uint64_t kSamplesPerWord = 2;
constexpr uint32_t kMaxBlocks = 65536;
// Limits beyond this would overflow the byte arithmetic.
constexpr uint64_t kMaxSampleLimit = UINT64_MAX / 4;
// Ring memory is page-aligned so that unbuffered file writes can take the
// blocks as they are; a ring of huge-page size or more is aligned to huge
// pages, so that the host can back all of it with them.
std::align_val_t ringAlignment(size_t bytes) {
  return std::align_val_t{bytes >= kpx::platform::kLargePageBytes ? kpx::platform::kLargePageBytes
                                                                  : kpx::platform::kPageBytes};
}

enum class SlotPlace { kEmpty, kFilled, kHeld, kInFlight };

struct Slot {
  uint8_t* data = nullptr;
  SlotPlace place = SlotPlace::kEmpty;
  uint32_t bytes = 0;
  uint64_t index = 0;
  uint64_t lostBefore = 0;
  uint64_t lostTotal = 0;
  int64_t hostTimeNs = 0;
  uint32_t flags = 0;
};

// Boards that have an open stream; a second stream on one is refused.
std::mutex streamedBoardsMutex;
std::set<BoardHandle> streamedBoards;

bool claimBoard(BoardHandle board) {
  std::lock_guard lock(streamedBoardsMutex);
  return streamedBoards.insert(board).second;
}

void releaseBoard(BoardHandle board) {
  std::lock_guard lock(streamedBoardsMutex);
  streamedBoards.erase(board);
}

int64_t wallClockNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

struct RingMemory {
  uint8_t* base = nullptr;
  size_t bytes = 0;
  bool locked = false;  // in RAM (mlock / VirtualLock)
  ~RingMemory() {
    if (locked) kpx::platform::unlockMemory(base, bytes);
    if (base) ::operator delete[](base, ringAlignment(bytes));
  }
};

// Growth of one 32-bit counter, in samples; wrap-around counts right.
// Underrun places kept for KpxStream_TakeUnderrun.
constexpr size_t kUnderrunPlacesKept = 65536;

struct CounterTracker {
  uint32_t last = 0;
  uint64_t events = 0;
  uint64_t samples = 0;

  uint64_t advance(uint32_t now) {
    const uint32_t words = now - last;
    last = now;
    if (words == 0) return 0;
    ++events;
    samples += uint64_t{words} * kSamplesPerWord;
    return uint64_t{words} * kSamplesPerWord;
  }
};

}  // namespace

struct KpxStream {
  KpxStreamConfig config{};
  RingMemory memory;
  std::vector<Slot> slots;
  std::thread thread;

  std::mutex mutex;
  std::condition_variable changed;
  std::deque<uint32_t> empty;   // receive: to be read into; transmit: to be handed out
  std::deque<uint32_t> filled;  // receive: to be acquired; transmit: to be written
  bool started = false;
  bool stopRequested = false;
  bool abortRequested = false;  // Close: the thread ends without draining
  bool ended = false;
  int32_t endReason = KPXSTREAM_END_NONE;
  BoardError boardError = ERR_NOT_IDLE;
  uint32_t platformError = 0;
  int32_t clock = KPXSTREAM_CLOCK_AS_SET;
  double sampleRateHz = 0;
  int32_t threadPriority = KPXSTREAM_PRIORITY_NOT_ASKED;
  int32_t threadPriorityValue = 0;
  bool threadReady = false;  // the thread has taken its priority
  uint64_t bytesMoved = 0;
  uint64_t samplesSubmitted = 0;            // transmit: samples handed to the thread
  uint64_t underrunsReported = 0;           // transmit: underrun samples told at acquire
  std::deque<KpxStreamGap> underrunPlaces;  // transmit: not yet taken
  uint64_t countersUnread = 0;
  CounterTracker overruns;
  CounterTracker underruns;

  // KpxStream_Read's block in progress and how far it has been copied.
  int64_t readSlot = -1;
  uint32_t readOffset = 0;

  bool receiving() const { return config.direction == KPXSTREAM_RECEIVE; }

  uint64_t byteLimit() const {
    // Reads move whole words; an odd limit reads one sample more and hides it.
    return config.sampleLimit == 0 ? UINT64_MAX : (config.sampleLimit * 2 + 3) / 4 * 4;
  }

  // Called with the mutex held, by the thread as it leaves.
  void end(int32_t reason) {
    if (endReason == KPXSTREAM_END_NONE) endReason = reason;
    ended = true;
  }
};

namespace {

// The rate of the clock the stream set up; with set-up NONE, of the clock the
// library last set up on the board (the caller may do that between Open and
// Start). Asking the board would add a request the caller did not make.
double knownRate(const KpxStream& stream) {
  const BoardHandle board = stream.config.board;
  const int32_t clock =
      stream.clock != KPXSTREAM_CLOCK_AS_SET
          ? stream.clock
          : kpx::catalog::factsOf(board).value_or(kpx::catalog::BoardFacts{}).clockSetUp;
  return KpxBoard_ClockRateHz(board, clock);
}

// Reads the counters after a block and records the growth; false when the
// request failed, in which case a later reading shows the growth.
bool readCounters(KpxStream& stream, uint64_t& newOverrun, uint64_t& newUnderrun) {
  TalvoErrorCounts counts{};
  newOverrun = newUnderrun = 0;
  if (TalvoGetError(stream.config.board, &counts) != 0) return false;
  std::lock_guard lock(stream.mutex);
  newOverrun = stream.overruns.advance(counts.rxOverrunCount);
  newUnderrun = stream.underruns.advance(counts.txUnderrunCount);
  return true;
}

void recordBoardFailure(KpxStream& stream) {
  // The platform's number first: the lookups below do not touch it, but
  // nothing else may run on this thread in between.
  const uint32_t platformError = kpx::platform::lastError();
  const BoardError boardError = Kpxadac16_GetLastError(stream.config.board);
  std::lock_guard lock(stream.mutex);
  stream.platformError = platformError;
  stream.boardError = boardError;
  stream.end(KPXSTREAM_END_BOARD_FAILED);
}

// What one block's transfer gave.
struct Transfer {
  uint32_t moved = 0;  // 0: the board read or write failed; the stream has ended
  int64_t hostTimeNs = 0;
  uint64_t lostBefore = 0;  // overrun samples the counters showed after it
  bool countersRead = false;
};

void makeEmpty(KpxStream& stream, uint32_t id) {
  stream.slots[id].place = SlotPlace::kEmpty;
  stream.empty.push_back(id);
}

// Moves one block between the board and slot `id` with the stream's lock let
// go, then reads the counters; returns with the lock held again and the
// progress counted. A failed transfer gives its slot back.
Transfer transferBlock(KpxStream& stream, std::unique_lock<std::mutex>& lock, uint32_t id,
                       uint32_t length) {
  uint8_t* data = stream.slots[id].data;
  lock.unlock();
  Transfer done;
  done.moved = stream.receiving() ? TalvoReadBuffer(stream.config.board, data, length)
                                  : TalvoWriteBuffer(stream.config.board, data, length);
  if (done.moved == 0) {
    recordBoardFailure(stream);
    lock.lock();
    makeEmpty(stream, id);
    return done;
  }
  done.hostTimeNs = wallClockNs();
  uint64_t missed = 0;
  done.countersRead = readCounters(stream, done.lostBefore, missed);
  lock.lock();
  if (!done.countersRead) ++stream.countersUnread;
  stream.bytesMoved += done.moved;
  return done;
}

void receiveBlocks(KpxStream& stream) {
  const uint64_t limit = stream.byteLimit();
  const uint64_t sampleLimit = stream.config.sampleLimit;
  std::unique_lock lock(stream.mutex);
  while (true) {
    stream.changed.wait(lock, [&] { return !stream.empty.empty() || stream.stopRequested; });
    if (stream.stopRequested) {
      stream.end(KPXSTREAM_END_STOPPED);
      break;
    }
    const uint32_t id = stream.empty.front();
    stream.empty.pop_front();
    Slot& slot = stream.slots[id];
    slot.place = SlotPlace::kInFlight;
    const uint64_t before = stream.bytesMoved;
    const auto length =
        static_cast<uint32_t>(std::min<uint64_t>(stream.config.blockBytes, limit - before));

    const Transfer done = transferBlock(stream, lock, id, length);
    if (done.moved == 0) break;
    if (stream.stopRequested) {
      // The consumer was told that the stream has stopped: this block is not
      // handed out any more.
      makeEmpty(stream, id);
      stream.end(KPXSTREAM_END_STOPPED);
      break;
    }
    slot.bytes = done.moved;
    if (sampleLimit && stream.bytesMoved > sampleLimit * 2)
      slot.bytes = static_cast<uint32_t>(sampleLimit * 2 - before);
    slot.lostBefore = done.lostBefore;
    slot.lostTotal = stream.overruns.samples;
    slot.index = before / 2 + stream.overruns.samples;
    slot.hostTimeNs = done.hostTimeNs;
    slot.flags = done.countersRead ? 0 : KPXSTREAM_BLOCK_COUNTERS_UNREAD;
    slot.place = SlotPlace::kFilled;
    stream.filled.push_back(id);
    stream.changed.notify_all();
    if (stream.bytesMoved >= limit) {
      stream.end(KPXSTREAM_END_COMPLETE);
      break;
    }
  }
  stream.changed.notify_all();
}

void transmitBlocks(KpxStream& stream) {
  const uint64_t limit = stream.byteLimit();
  std::unique_lock lock(stream.mutex);
  while (true) {
    stream.changed.wait(lock, [&] {
      return !stream.filled.empty() || stream.abortRequested || stream.stopRequested;
    });
    if (stream.abortRequested || stream.filled.empty()) {
      stream.end(KPXSTREAM_END_STOPPED);
      break;
    }
    const uint32_t id = stream.filled.front();
    stream.filled.pop_front();
    Slot& slot = stream.slots[id];
    slot.place = SlotPlace::kInFlight;
    const auto length = static_cast<uint32_t>(
        std::min<uint64_t>(slot.bytes, limit - std::min(limit, stream.bytesMoved)));

    // Board index of this block's first sample: an underrun that the
    // counters show after its write happened right before it.
    const uint64_t missedBefore = stream.underruns.samples;
    const uint64_t blockIndex = stream.bytesMoved / 2 + missedBefore;
    const Transfer done = transferBlock(stream, lock, id, length);
    if (done.moved == 0) break;
    if (const uint64_t missed = stream.underruns.samples - missedBefore; missed > 0) {
      if (stream.underrunPlaces.size() < kUnderrunPlacesKept)
        stream.underrunPlaces.push_back({blockIndex, missed});
      else
        stream.underrunPlaces.back().samples += missed;
    }
    slot.hostTimeNs = done.hostTimeNs;
    makeEmpty(stream, id);
    stream.changed.notify_all();
    if (stream.bytesMoved >= limit) {
      stream.end(KPXSTREAM_END_COMPLETE);
      break;
    }
  }
  // Blocks never written go back, so that a waiting producer sees the end.
  while (!stream.filled.empty()) {
    makeEmpty(stream, stream.filled.front());
    stream.filled.pop_front();
  }
  stream.changed.notify_all();
}

// The stream's thread: it asks for real-time priority first, unless the
// stream was opened with normal priority; then it moves blocks.
void runThread(KpxStream& stream) {
  kpx::platform::PriorityGranted granted;
  const bool ask = !(stream.config.flags & KPXSTREAM_FLAG_NORMAL_PRIORITY);
  if (ask) granted = kpx::platform::raiseThreadPriority(KPXSTREAM_REALTIME_PRIORITY);
  {
    std::lock_guard lock(stream.mutex);
    using kpx::platform::PriorityLevel;
    stream.threadPriority = !ask ? KPXSTREAM_PRIORITY_NOT_ASKED
                            : granted.level == PriorityLevel::kRealtime
                                ? KPXSTREAM_PRIORITY_REALTIME
                            : granted.level == PriorityLevel::kRaised ? KPXSTREAM_PRIORITY_RAISED
                                                                      : KPXSTREAM_PRIORITY_NORMAL;
    stream.threadPriorityValue = granted.value;
    stream.threadReady = true;
  }
  stream.changed.notify_all();
  if (stream.receiving())
    receiveBlocks(stream);
  else
    transmitBlocks(stream);
}

int32_t endedResult(const KpxStream& stream) {
  switch (stream.endReason) {
    case KPXSTREAM_END_COMPLETE:
      return KPXSTREAM_COMPLETE;
    case KPXSTREAM_END_BOARD_FAILED:
      return KPXSTREAM_BOARD_FAILED;
    default:
      return KPXSTREAM_STOPPED;
  }
}

// Waits for `ready` under the stream's lock, up to the time-out (below 0:
// without limit). False when the time ran out.
template <typename Predicate>
bool waitFor(KpxStream& stream, std::unique_lock<std::mutex>& lock, int32_t timeoutMs,
             Predicate ready) {
  if (timeoutMs < 0) {
    stream.changed.wait(lock, ready);
    return true;
  }
  return stream.changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), ready);
}

void describeSlot(const KpxStream& stream, uint32_t id, KpxStreamBlock& block) {
  const Slot& slot = stream.slots[id];
  block.data = slot.data;
  block.bytes = slot.bytes;
  block.capacity = stream.config.blockBytes;
  block.index = slot.index;
  block.lostBefore = slot.lostBefore;
  block.lostTotal = slot.lostTotal;
  block.hostTimeNs = slot.hostTimeNs;
  block.flags = slot.flags;
  block.slot = id;
}

int32_t acquireFilled(KpxStream& stream, int32_t timeoutMs, uint32_t& id) {
  std::unique_lock lock(stream.mutex);
  if (!stream.started) return KPXSTREAM_ERR_STATE;
  waitFor(stream, lock, timeoutMs,
          [&] { return !stream.filled.empty() || stream.ended || stream.stopRequested; });
  if (!stream.filled.empty()) {
    id = stream.filled.front();
    stream.filled.pop_front();
    stream.slots[id].place = SlotPlace::kHeld;
    return KPXSTREAM_OK;
  }
  if (stream.stopRequested) return KPXSTREAM_STOPPED;
  if (stream.ended) return endedResult(stream);
  return KPXSTREAM_TIMEOUT;
}

void giveBackRead(KpxStream& stream, uint32_t id) {
  {
    std::lock_guard lock(stream.mutex);
    makeEmpty(stream, id);
  }
  stream.changed.notify_all();
}

// A block the caller may pass back: one of ours that it holds.
bool holds(KpxStream& stream, const KpxStreamBlock& block) {
  std::lock_guard lock(stream.mutex);
  return block.slot < stream.slots.size() && stream.slots[block.slot].place == SlotPlace::kHeld &&
         block.data == stream.slots[block.slot].data;
}

}  // namespace

extern "C" {

int32_t KpxStream_Open(const KpxStreamConfig* config, KpxStream** stream) {
  if (!config || !stream) return KPXSTREAM_ERR_NULL;
  *stream = nullptr;
  if (config->direction != KPXSTREAM_RECEIVE && config->direction != KPXSTREAM_TRANSMIT)
    return KPXSTREAM_ERR_DIRECTION;
  if (config->blockBytes < 4 || config->blockBytes > TALVO_MAX_CHUNK || config->blockBytes % 4)
    return KPXSTREAM_ERR_BLOCK_SIZE;
  if (config->blockCount < 2 || config->blockCount > kMaxBlocks) return KPXSTREAM_ERR_BLOCK_COUNT;
  if (config->setup < KPXSTREAM_SETUP_NONE || config->setup > KPXSTREAM_SETUP_SYNTHESIZER)
    return KPXSTREAM_ERR_ARGUMENT;
  if (config->sampleLimit > kMaxSampleLimit) return KPXSTREAM_ERR_ARGUMENT;
  BoardRecord* record = kpx::findBoard(config->board);
  if (!record) return KPXSTREAM_ERR_NO_BOARD;
  const BoardType wanted = config->direction == KPXSTREAM_RECEIVE ? BOARD_TYPE_ADC : BOARD_TYPE_DAC;
  if (record->type != wanted) return KPXSTREAM_ERR_DIRECTION;
  if (!claimBoard(config->board)) return KPXSTREAM_ERR_BOARD_BUSY;

  std::unique_ptr<KpxStream> made(new (std::nothrow) KpxStream);
  const size_t ringBytes = size_t{config->blockBytes} * config->blockCount;
  if (made) {
    made->memory.base =
        static_cast<uint8_t*>(::operator new[](ringBytes, ringAlignment(ringBytes), std::nothrow));
    made->memory.bytes = ringBytes;
  }
  if (!made || !made->memory.base) {
    releaseBoard(config->board);
    return KPXSTREAM_ERR_NO_MEMORY;
  }
  KpxStream& s = *made;
  s.config = *config;
  try {
    s.slots.resize(config->blockCount);
  } catch (const std::bad_alloc&) {
    releaseBoard(config->board);
    return KPXSTREAM_ERR_NO_MEMORY;
  }
  // Touch every page now, so that no page fault lands in the board's reads,
  // and keep them in RAM where the host permits.
  if (ringBytes >= kpx::platform::kLargePageBytes)
    kpx::platform::preferLargePages(s.memory.base, ringBytes);
  std::memset(s.memory.base, 0, ringBytes);
  if (!(config->flags & KPXSTREAM_FLAG_NORMAL_PRIORITY))
    s.memory.locked = kpx::platform::lockMemory(s.memory.base, ringBytes);
  for (uint32_t i = 0; i < config->blockCount; ++i) {
    s.slots[i].data = s.memory.base + size_t{i} * config->blockBytes;
    s.empty.push_back(i);
  }
  if (s.receiving() && config->setup != KPXSTREAM_SETUP_NONE) {
    if (const int32_t result = KpxBoard_SetupClock(config->board, config->setup, &s.clock);
        result != KPXSTREAM_OK) {
      releaseBoard(config->board);
      return result;
    }
  }
  s.sampleRateHz = knownRate(s);
  *stream = made.release();
  return KPXSTREAM_OK;
}

int32_t KpxStream_SetSampleLimit(KpxStream* stream, uint64_t sampleLimit) {
  if (!stream) return KPXSTREAM_ERR_NULL;
  if (sampleLimit > kMaxSampleLimit) return KPXSTREAM_ERR_ARGUMENT;
  std::lock_guard lock(stream->mutex);
  if (stream->started || stream->stopRequested) return KPXSTREAM_ERR_STATE;
  stream->config.sampleLimit = sampleLimit;
  return KPXSTREAM_OK;
}

int32_t KpxStream_Start(KpxStream* stream) {
  if (!stream) return KPXSTREAM_ERR_NULL;
  KpxStream& s = *stream;
  {
    std::lock_guard lock(s.mutex);
    if (s.started || s.stopRequested) return KPXSTREAM_ERR_STATE;
  }
  const BoardHandle board = s.config.board;
  if (s.config.setup != KPXSTREAM_SETUP_NONE) {
    if (s.receiving()) KpxBoard_StartReceiving(board);
    if (const int32_t result = KpxBoard_ResetChannel(board); result != KPXSTREAM_OK) return result;
  }
  const double rateHz = knownRate(s);
  TalvoErrorCounts counts{};
  if (TalvoGetError(board, &counts) != 0) return KPXSTREAM_ERR_COUNTERS;
  std::unique_lock lock(s.mutex);
  s.sampleRateHz = rateHz;
  s.overruns.last = counts.rxOverrunCount;
  s.underruns.last = counts.txUnderrunCount;
  try {
    s.thread = std::thread(runThread, std::ref(s));
  } catch (const std::system_error&) {
    return KPXSTREAM_ERR_THREAD;
  }
  s.started = true;
  // The status tells the priority from the start on.
  s.changed.wait(lock, [&] { return s.threadReady; });
  return KPXSTREAM_OK;
}

int32_t KpxStream_Stop(KpxStream* stream) {
  if (!stream) return KPXSTREAM_ERR_NULL;
  {
    std::lock_guard lock(stream->mutex);
    stream->stopRequested = true;
    if (!stream->started) stream->end(KPXSTREAM_END_STOPPED);
  }
  stream->changed.notify_all();
  return KPXSTREAM_OK;
}

void KpxStream_Close(KpxStream* stream) {
  if (!stream) return;
  {
    std::lock_guard lock(stream->mutex);
    stream->stopRequested = true;
    stream->abortRequested = true;
  }
  stream->changed.notify_all();
  if (stream->thread.joinable()) stream->thread.join();
  releaseBoard(stream->config.board);
  delete stream;
}

int32_t KpxStream_AcquireRead(KpxStream* stream, KpxStreamBlock* block, int32_t timeoutMs) {
  if (!stream || !block) return KPXSTREAM_ERR_NULL;
  if (!stream->receiving()) return KPXSTREAM_ERR_WRONG_DIRECTION;
  uint32_t id = 0;
  const int32_t result = acquireFilled(*stream, timeoutMs, id);
  if (result == KPXSTREAM_OK) describeSlot(*stream, id, *block);
  return result;
}

int32_t KpxStream_ReleaseRead(KpxStream* stream, const KpxStreamBlock* block) {
  if (!stream || !block) return KPXSTREAM_ERR_NULL;
  if (!stream->receiving()) return KPXSTREAM_ERR_WRONG_DIRECTION;
  if (!holds(*stream, *block) || static_cast<int64_t>(block->slot) == stream->readSlot)
    return KPXSTREAM_ERR_NOT_HELD;
  giveBackRead(*stream, block->slot);
  return KPXSTREAM_OK;
}

int32_t KpxStream_Read(KpxStream* stream, int16_t* samples, uint64_t count, int32_t timeoutMs,
                       KpxStreamReadInfo* info) {
  if (!stream || !info || (!samples && count)) return KPXSTREAM_ERR_NULL;
  if (!stream->receiving()) return KPXSTREAM_ERR_WRONG_DIRECTION;
  KpxStream& s = *stream;
  *info = KpxStreamReadInfo{};
  uint64_t copied = 0;
  while (copied < count) {
    if (s.readSlot < 0) {
      uint32_t id = 0;
      const int32_t result = acquireFilled(s, copied == 0 ? timeoutMs : 0, id);
      if (result != KPXSTREAM_OK) {
        info->samples = copied;
        return copied ? KPXSTREAM_OK : result;
      }
      s.readSlot = id;
      s.readOffset = 0;
    }
    const Slot& slot = s.slots[static_cast<size_t>(s.readSlot)];
    // A gap ends the copy; the block waits for the next call.
    if (copied && s.readOffset == 0 && slot.lostBefore) break;
    const uint64_t available = (slot.bytes - s.readOffset) / 2;
    const uint64_t take = std::min(available, count - copied);
    if (copied == 0) {
      info->index = slot.index + s.readOffset / 2;
      info->lostBefore = s.readOffset == 0 ? slot.lostBefore : 0;
    }
    std::memcpy(samples + copied, slot.data + s.readOffset, static_cast<size_t>(take * 2));
    copied += take;
    s.readOffset += static_cast<uint32_t>(take * 2);
    if (slot.bytes - s.readOffset < 2) {
      const auto id = static_cast<uint32_t>(s.readSlot);
      s.readSlot = -1;
      giveBackRead(s, id);
    }
  }
  info->samples = copied;
  return KPXSTREAM_OK;
}

int32_t KpxStream_AcquireWrite(KpxStream* stream, KpxStreamBlock* block, int32_t timeoutMs) {
  if (!stream || !block) return KPXSTREAM_ERR_NULL;
  if (stream->receiving()) return KPXSTREAM_ERR_WRONG_DIRECTION;
  KpxStream& s = *stream;
  std::unique_lock lock(s.mutex);
  if (!s.started) return KPXSTREAM_ERR_STATE;
  waitFor(s, lock, timeoutMs, [&] { return !s.empty.empty() || s.ended || s.stopRequested; });
  if (s.stopRequested) return KPXSTREAM_STOPPED;
  if (s.ended) return endedResult(s);
  if (s.empty.empty()) return KPXSTREAM_TIMEOUT;
  const uint32_t id = s.empty.front();
  s.empty.pop_front();
  Slot& slot = s.slots[id];
  slot.place = SlotPlace::kHeld;
  slot.bytes = s.config.blockBytes;
  slot.index = s.samplesSubmitted + s.underruns.samples;
  slot.lostBefore = s.underruns.samples - s.underrunsReported;
  slot.lostTotal = s.underruns.samples;
  slot.flags = 0;
  s.underrunsReported = s.underruns.samples;
  describeSlot(s, id, *block);
  return KPXSTREAM_OK;
}

int32_t KpxStream_SubmitWrite(KpxStream* stream, const KpxStreamBlock* block) {
  if (!stream || !block) return KPXSTREAM_ERR_NULL;
  if (stream->receiving()) return KPXSTREAM_ERR_WRONG_DIRECTION;
  KpxStream& s = *stream;
  if (!holds(s, *block)) return KPXSTREAM_ERR_NOT_HELD;
  if (block->bytes % 4 || block->bytes > s.config.blockBytes) return KPXSTREAM_ERR_ARGUMENT;
  int32_t result = KPXSTREAM_OK;
  {
    std::lock_guard lock(s.mutex);
    Slot& slot = s.slots[block->slot];
    if (block->bytes == 0 || s.stopRequested || s.ended) {
      makeEmpty(s, block->slot);
      if (block->bytes && s.stopRequested)
        result = KPXSTREAM_STOPPED;
      else if (block->bytes)
        result = endedResult(s);
    } else {
      slot.bytes = block->bytes;
      slot.place = SlotPlace::kFilled;
      s.filled.push_back(block->slot);
      s.samplesSubmitted += block->bytes / 2;
    }
  }
  s.changed.notify_all();
  return result;
}

int32_t KpxStream_TakeUnderrun(KpxStream* stream, KpxStreamGap* gap) {
  if (!stream || !gap) return KPXSTREAM_ERR_NULL;
  if (stream->receiving()) return KPXSTREAM_ERR_WRONG_DIRECTION;
  std::lock_guard lock(stream->mutex);
  if (stream->underrunPlaces.empty()) return KPXSTREAM_TIMEOUT;
  *gap = stream->underrunPlaces.front();
  stream->underrunPlaces.pop_front();
  return KPXSTREAM_OK;
}

int32_t KpxStream_GetStatus(KpxStream* stream, KpxStreamStatus* status) {
  if (!stream || !status) return KPXSTREAM_ERR_NULL;
  KpxStream& s = *stream;
  std::lock_guard lock(s.mutex);
  *status = KpxStreamStatus{};
  status->samplesMoved = s.bytesMoved / 2;
  status->blocksWaiting = static_cast<uint32_t>(s.filled.size());
  status->blockBytes = s.config.blockBytes;
  status->blockCount = s.config.blockCount;
  status->running = s.started && !s.ended;
  status->ended = s.ended;
  status->endReason = s.endReason;
  status->overrunEvents = s.overruns.events;
  status->overrunSamples = s.overruns.samples;
  status->underrunEvents = s.underruns.events;
  status->underrunSamples = s.underruns.samples;
  status->countersUnread = s.countersUnread;
  status->boardError = s.endReason == KPXSTREAM_END_BOARD_FAILED ? s.boardError : ERR_NOT_IDLE;
  status->platformError = s.platformError;
  status->clock = s.clock;
  status->sampleRateHz = s.sampleRateHz;
  status->threadPriority = s.threadPriority;
  status->threadPriorityValue = s.threadPriorityValue;
  status->ringLocked = s.memory.locked;
  return KPXSTREAM_OK;
}

}  // extern "C"
