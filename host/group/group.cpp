// The group: one stream per board, started back to back, read (or written)
// on one group sample index, every board's gaps accounted.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstring>
#include <mutex>
#include <new>
#include <thread>
#include <vector>

#include "alignment.h"
#include "kpxadac_group.h"
#include "platform/platform.h"

namespace {

constexpr uint32_t kDefaultBlocks = 8;
constexpr double kMaxOffset = 1099511627776.0;  // 2^40 samples

// Page-aligned memory for the group's own blocks, as the streams' rings are:
// a copied block is then written unbuffered (O_DIRECT) as a zero-copy one is.
template <typename T>
struct PageAllocator {
  using value_type = T;
  PageAllocator() = default;
  template <typename U>
  PageAllocator(const PageAllocator<U>&) {}  // implicit: the vector rebinds its allocator
  T* allocate(size_t n) {
    return static_cast<T*>(
        ::operator new (n * sizeof(T), std::align_val_t{kpx::platform::kPageBytes}));
  }
  void deallocate(T* p, size_t) {
    ::operator delete (p, std::align_val_t{kpx::platform::kPageBytes});
  }
  bool operator==(const PageAllocator&) const = default;
};
using PageBuffer = std::vector<int16_t, PageAllocator<int16_t>>;

struct Board {
  KpxStream* stream = nullptr;
  bool owned = false;
  // Group sample g is this board's sample g + shift.
  int64_t shift = 0;
  double offset = 0;
  // Receive: the stream block being taken apart.
  KpxStreamBlock held{};
  bool holding = false;
  uint32_t heldPos = 0;    // samples of it already used or skipped
  uint64_t streamEnd = 0;  // board index after the last block acquired
  // The group block being assembled for this board.
  PageBuffer buffer;
  uint32_t filled = 0;    // samples of the span written or found lost
  bool zeroCopy = false;  // the span is the held stream block itself
  uint32_t lost = 0;
  uint32_t firstLost = 0;
  uint32_t flags = 0;
  // Transmit: samples held back by the board's pad, and the stream block
  // acquired for a zero-copy group block.
  std::vector<int16_t> pending;
  KpxStreamBlock writeBlock{};
  bool writeHeld = false;
  uint64_t underrunSeen = 0;
  // Counters.
  uint64_t dropped = 0;  // samples the group skipped or dropped
};

}  // namespace

struct KpxGroup {
  std::vector<Board> boards;
  int32_t direction = KPXSTREAM_RECEIVE;
  uint32_t blockSamples = 0;
  int32_t gapPolicy = KPXGROUP_GAPS_FLAG;
  uint64_t sampleLimit = 0;

  std::mutex statusMutex;  // guards what GetStatus reads from other threads
  bool started = false;
  std::atomic<bool> stopRequested{false};
  int32_t endResult = 0;
  int32_t failedBoard = -1;
  int64_t startSkewNs = 0;
  uint64_t startSkewSamples = 0;
  double sampleRateHz = 0;
  uint64_t nextGroupIndex = 0;  // of the next block
  uint64_t delivered = 0;
  uint64_t droppedSamples = 0;
  uint64_t droppedPending = 0;  // DROP: group samples skipped since the last delivery
  bool offsetsApplied = false;
  bool offsetsMeasured = false;
  bool blockHeld = false;
  bool writeStarted = false;  // transmit: a block was acquired
  bool padded = false;        // transmit: some board plays a pad first
  bool padsQueued = false;
  uint32_t sequence = 0;
  // Measure's buffers, kept for the next measure (no fresh pages to fault in).
  kpxgroup::AlignWork alignWork;
};

namespace {

int32_t fromStream(int32_t result) {
  switch (result) {
    case KPXSTREAM_OK:
      return KPXGROUP_OK;
    case KPXSTREAM_TIMEOUT:
      return KPXGROUP_TIMEOUT;
    case KPXSTREAM_STOPPED:
      return KPXGROUP_STOPPED;
    case KPXSTREAM_COMPLETE:
      return KPXGROUP_COMPLETE;
    case KPXSTREAM_BOARD_FAILED:
      return KPXGROUP_BOARD_FAILED;
    default:
      return KPXGROUP_ERR_STREAM;
  }
}

void stopStreams(KpxGroup& group) {
  for (Board& b : group.boards)
    if (b.stream) KpxStream_Stop(b.stream);
}

// The group ends with `result` (STOPPED, COMPLETE, BOARD_FAILED) and stops
// every stream; the first end is the one kept.
int32_t endGroup(KpxGroup& group, int32_t result, int32_t board) {
  {
    std::lock_guard lock(group.statusMutex);
    if (group.endResult == 0) {
      group.endResult = result;
      group.failedBoard = result == KPXGROUP_BOARD_FAILED ? board : -1;
    }
    result = group.endResult;
  }
  stopStreams(group);
  return result;
}

// What every call that hands out a block checks first: its direction, a
// started group with no block out, and whether the group has ended.
int32_t readyForBlock(KpxGroup* group, const KpxGroupBlock* block, int32_t direction) {
  if (!group || !block) return KPXGROUP_ERR_NULL;
  if (group->direction != direction) return KPXGROUP_ERR_WRONG_DIRECTION;
  if (!group->started || group->blockHeld) return KPXGROUP_ERR_STATE;
  if (group->endResult != 0) return group->endResult;
  if (group->stopRequested) return endGroup(*group, KPXGROUP_STOPPED, -1);
  return KPXGROUP_OK;
}

// Shifts for `offsets`: board b's sample for group sample g is g + shift_b,
// shift_b = C - round(o_b), with C as small as lets every board reach its
// next group sample from where its stream is now (`from`: the board index
// of each board's next unused sample).
void applyShifts(KpxGroup& group, const double* offsets, const std::vector<uint64_t>& from,
                 uint64_t nextGroup) {
  const size_t count = group.boards.size();
  std::vector<int64_t> rounded(count);
  for (size_t b = 0; b < count; ++b) rounded[b] = std::llround(offsets[b]);
  int64_t c = INT64_MIN;
  for (size_t b = 0; b < count; ++b)
    c = std::max(c, static_cast<int64_t>(from[b]) - static_cast<int64_t>(nextGroup) + rounded[b]);
  const int64_t highest = *std::max_element(rounded.begin(), rounded.end());
  c = std::max(c, highest);  // no shift below 0
  for (size_t b = 0; b < count; ++b) {
    group.boards[b].shift = c - rounded[b];
    group.boards[b].offset = offsets[b];
  }
}

// The next unused board index of each board, between group blocks.
std::vector<uint64_t> positions(const KpxGroup& group) {
  std::vector<uint64_t> out;
  for (const Board& b : group.boards)
    out.push_back(static_cast<uint64_t>(static_cast<int64_t>(group.nextGroupIndex) + b.shift));
  return out;
}

void releaseHeld(Board& b) {
  if (b.holding) KpxStream_ReleaseRead(b.stream, &b.held);
  b.holding = false;
  b.heldPos = 0;
}

// Assembles board b's span [start, start + n) (resumable: a time-out keeps
// what was done). `allowZeroCopy`: the span may be the stream's own block.
int32_t fillSpan(KpxGroup& group, Board& b, uint64_t start, uint32_t n, bool allowZeroCopy,
                 int32_t timeoutMs, int16_t* into) {
  while (b.filled < n) {
    const uint64_t want = start + b.filled;
    if (!b.holding) {
      const int32_t result = KpxStream_AcquireRead(b.stream, &b.held, timeoutMs);
      if (result != KPXSTREAM_OK) return result;
      b.holding = true;
      b.heldPos = 0;
      if (b.held.flags & KPXSTREAM_BLOCK_COUNTERS_UNREAD) b.flags |= KPXGROUP_BLOCK_COUNTERS_UNREAD;
      b.streamEnd = b.held.index + b.held.bytes / 2;
    }
    const uint32_t heldSamples = b.held.bytes / 2;
    const uint64_t at = b.held.index + b.heldPos;
    if (b.heldPos >= heldSamples) {
      releaseHeld(b);
      continue;
    }
    if (at > want) {  // a gap of the board's stream covers [want, at)
      const uint32_t missing = static_cast<uint32_t>(std::min<uint64_t>(at - want, n - b.filled));
      if (b.lost == 0) b.firstLost = b.filled;
      std::fill(into + b.filled, into + b.filled + missing, int16_t{0});
      b.lost += missing;
      b.flags |= KPXGROUP_BLOCK_GAP;
      b.filled += missing;
      continue;
    }
    if (at < want) {  // samples before the span: skipped to align
      const uint32_t skip =
          static_cast<uint32_t>(std::min<uint64_t>(want - at, heldSamples - b.heldPos));
      b.heldPos += skip;
      std::lock_guard lock(group.statusMutex);
      b.dropped += skip;
      continue;
    }
    if (allowZeroCopy && b.filled == 0 && b.heldPos == 0 && heldSamples >= n) {
      b.zeroCopy = true;
      b.filled = n;
      b.heldPos = n;
      return KPXSTREAM_OK;
    }
    const uint32_t take = std::min(n - b.filled, heldSamples - b.heldPos);
    std::memcpy(into + b.filled, static_cast<const int16_t*>(b.held.data) + b.heldPos,
                size_t{take} * 2);
    b.filled += take;
    b.heldPos += take;
    if (b.heldPos >= heldSamples) releaseHeld(b);
  }
  return KPXSTREAM_OK;
}

void resetSpans(KpxGroup& group) {
  for (Board& b : group.boards) {
    b.filled = 0;
    b.zeroCopy = false;
    b.lost = 0;
    b.firstLost = 0;
    b.flags = 0;
  }
}

// Fills every board's part of the next group block (n samples each);
// `into[b]` receives it unless zero copy. Resumable after a time-out.
int32_t fillAll(KpxGroup& group, uint32_t n, bool allowZeroCopy, int32_t timeoutMs,
                const std::vector<int16_t*>& into) {
  for (size_t i = 0; i < group.boards.size(); ++i) {
    Board& b = group.boards[i];
    const uint64_t start =
        static_cast<uint64_t>(static_cast<int64_t>(group.nextGroupIndex) + b.shift);
    const int32_t result = fillSpan(group, b, start, n, allowZeroCopy, timeoutMs, into[i]);
    if (result == KPXSTREAM_TIMEOUT) return KPXGROUP_TIMEOUT;
    if (result != KPXSTREAM_OK) return endGroup(group, fromStream(result), static_cast<int32_t>(i));
  }
  return KPXGROUP_OK;
}

// Lets go of the zero-copy stream blocks of a group block.
void releaseSpans(KpxGroup& group) {
  for (Board& b : group.boards)
    if (b.zeroCopy) {
      b.zeroCopy = false;
      if (b.holding && b.heldPos >= b.held.bytes / 2) releaseHeld(b);
    }
}

bool validOpenArguments(const KpxGroupConfig* config, KpxGroup** group) {
  return config && group;
}

int32_t finishOpen(KpxGroup* g, const KpxGroupConfig& config, KpxGroup** group) {
  g->gapPolicy = config.gapPolicy;
  g->sampleLimit = config.sampleLimit;
  for (Board& b : g->boards) b.buffer.assign(g->blockSamples, 0);
  KpxStreamStatus status{};
  KpxStream_GetStatus(g->boards[0].stream, &status);
  g->sampleRateHz = status.sampleRateHz;
  *group = g;
  return KPXGROUP_OK;
}

int32_t checkCommon(const KpxGroupConfig& config) {
  if (config.count < 1 || config.count > KPXGROUP_MAX_BOARDS) return KPXGROUP_ERR_COUNT;
  if (config.gapPolicy != KPXGROUP_GAPS_FLAG && config.gapPolicy != KPXGROUP_GAPS_DROP)
    return KPXGROUP_ERR_ARGUMENT;
  if (config.sampleLimit > (uint64_t{1} << 62)) return KPXGROUP_ERR_ARGUMENT;
  return KPXGROUP_OK;
}

void setInfo(KpxGroupOpenInfo* info, int32_t position, int32_t streamResult) {
  if (!info) return;
  info->position = position;
  info->streamResult = streamResult;
}

}  // namespace

extern "C" {

int32_t KpxGroup_Open(const KpxGroupConfig* config, KpxGroup** group, KpxGroupOpenInfo* info) {
  setInfo(info, -1, KPXSTREAM_OK);
  if (!validOpenArguments(config, group)) return KPXGROUP_ERR_NULL;
  *group = nullptr;
  if (const int32_t common = checkCommon(*config); common != KPXGROUP_OK) return common;
  if (config->direction != KPXSTREAM_RECEIVE && config->direction != KPXSTREAM_TRANSMIT)
    return KPXGROUP_ERR_DIRECTION;
  if (config->blockSamples < 2 || config->blockSamples % 2 ||
      config->blockSamples > TALVO_MAX_CHUNK / 2)
    return KPXGROUP_ERR_BLOCK_SIZE;
  if (config->blockCount != 0 && (config->blockCount < 2 || config->blockCount > 65536))
    return KPXGROUP_ERR_ARGUMENT;
  for (uint32_t i = 0; i < config->count; ++i) {
    if (config->boards[i] < 0 || config->boards[i] > 255) {
      setInfo(info, static_cast<int32_t>(i), KPXSTREAM_OK);
      return KPXGROUP_ERR_NO_BOARD;
    }
    for (uint32_t j = 0; j < i; ++j)
      if (config->boards[j] == config->boards[i]) {
        setInfo(info, static_cast<int32_t>(i), KPXSTREAM_OK);
        return KPXGROUP_ERR_DUPLICATE;
      }
  }
  KpxGroup* g = new (std::nothrow) KpxGroup;
  if (!g) return KPXGROUP_ERR_NO_MEMORY;
  try {
    g->direction = config->direction;
    g->blockSamples = config->blockSamples;
    g->boards.resize(config->count);
    const BoardType type = config->direction == KPXSTREAM_RECEIVE ? BOARD_TYPE_ADC : BOARD_TYPE_DAC;
    for (uint32_t i = 0; i < config->count; ++i) {
      const BoardType other = type == BOARD_TYPE_ADC ? BOARD_TYPE_DAC : BOARD_TYPE_ADC;
      const uint8_t index = static_cast<uint8_t>(config->boards[i]);
      KpxStreamConfig sc{};
      sc.board = Kpxadac16_GetHandle(type, index);
      sc.direction = config->direction;
      sc.blockBytes = config->blockSamples * 2;
      sc.blockCount = config->blockCount ? config->blockCount : kDefaultBlocks;
      sc.setup = config->setup;
      sc.flags = config->streamFlags;
      int32_t refusal = KPXGROUP_OK;
      int32_t result = KPXSTREAM_ERR_NO_BOARD;
      if (sc.board == KPXADAC_INVALID_HANDLE)
        refusal = Kpxadac16_GetHandle(other, index) != KPXADAC_INVALID_HANDLE
                      ? KPXGROUP_ERR_DIRECTION
                      : KPXGROUP_ERR_NO_BOARD;
      else if ((result = KpxStream_Open(&sc, &g->boards[i].stream)) != KPXSTREAM_OK)
        refusal = result == KPXSTREAM_ERR_BOARD_BUSY  ? KPXGROUP_ERR_BOARD_BUSY
                  : result == KPXSTREAM_ERR_NO_BOARD  ? KPXGROUP_ERR_NO_BOARD
                  : result == KPXSTREAM_ERR_DIRECTION ? KPXGROUP_ERR_DIRECTION
                  : result == KPXSTREAM_ERR_NO_MEMORY ? KPXGROUP_ERR_NO_MEMORY
                  : result == KPXSTREAM_ERR_ARGUMENT  ? KPXGROUP_ERR_ARGUMENT
                                                      : KPXGROUP_ERR_STREAM;
      if (refusal != KPXGROUP_OK) {
        setInfo(info, static_cast<int32_t>(i), result);
        KpxGroup_Close(g);
        return refusal;
      }
      g->boards[i].owned = true;
    }
    return finishOpen(g, *config, group);
  } catch (const std::bad_alloc&) {
    KpxGroup_Close(g);
    return KPXGROUP_ERR_NO_MEMORY;
  }
}

int32_t KpxGroup_OpenStreams(KpxStream* const* streams, const KpxGroupConfig* config,
                             KpxGroup** group, KpxGroupOpenInfo* info) {
  setInfo(info, -1, KPXSTREAM_OK);
  if (!streams || !validOpenArguments(config, group)) return KPXGROUP_ERR_NULL;
  *group = nullptr;
  if (const int32_t common = checkCommon(*config); common != KPXGROUP_OK) return common;
  int32_t direction = -1;
  uint32_t blockBytes = 0;
  for (uint32_t i = 0; i < config->count; ++i) {
    const int32_t position = static_cast<int32_t>(i);
    if (!streams[i]) return KPXGROUP_ERR_NULL;
    for (uint32_t j = 0; j < i; ++j)
      if (streams[j] == streams[i]) {
        setInfo(info, position, KPXSTREAM_OK);
        return KPXGROUP_ERR_DUPLICATE;
      }
    KpxStreamStatus status{};
    KpxStream_GetStatus(streams[i], &status);
    // Taking an underrun answers "wrong direction" on a receive stream and
    // changes nothing on a transmit stream that has not started.
    KpxStreamGap gap{};
    const int32_t d = KpxStream_TakeUnderrun(streams[i], &gap) == KPXSTREAM_ERR_WRONG_DIRECTION
                          ? KPXSTREAM_RECEIVE
                          : KPXSTREAM_TRANSMIT;
    int32_t refusal = KPXGROUP_OK;
    if (status.running || status.ended)
      refusal = KPXGROUP_ERR_STARTED;
    else if (status.blockBytes % 4)
      refusal = KPXGROUP_ERR_BLOCK_SIZE;
    else if (i > 0 && d != direction)
      refusal = KPXGROUP_ERR_MIXED_DIRECTIONS;
    else if (i > 0 && status.blockBytes != blockBytes)
      refusal = KPXGROUP_ERR_MIXED_BLOCKS;
    if (refusal != KPXGROUP_OK) {
      setInfo(info, position, KPXSTREAM_OK);
      return refusal;
    }
    direction = d;
    blockBytes = status.blockBytes;
  }
  KpxGroup* g = new (std::nothrow) KpxGroup;
  if (!g) return KPXGROUP_ERR_NO_MEMORY;
  try {
    g->direction = direction;
    g->blockSamples = blockBytes / 2;
    g->boards.resize(config->count);
    for (uint32_t i = 0; i < config->count; ++i) g->boards[i].stream = streams[i];
    return finishOpen(g, *config, group);
  } catch (const std::bad_alloc&) {
    KpxGroup_Close(g);
    return KPXGROUP_ERR_NO_MEMORY;
  }
}

int32_t KpxGroup_Start(KpxGroup* group) {
  if (!group) return KPXGROUP_ERR_NULL;
  if (group->started || group->stopRequested) return KPXGROUP_ERR_STATE;
  // Everything that can be done ahead is done at open (rings allocated and
  // touched, clocks set up); here the starts follow each other as closely
  // as the host allows, and the time they took bounds the skew.
  const auto first = std::chrono::steady_clock::now();
  for (size_t i = 0; i < group->boards.size(); ++i) {
    if (KpxStream_Start(group->boards[i].stream) != KPXSTREAM_OK) {
      for (size_t j = 0; j < i; ++j) KpxStream_Stop(group->boards[j].stream);
      std::lock_guard lock(group->statusMutex);
      group->endResult = KPXGROUP_STOPPED;
      group->started = true;
      return KPXGROUP_ERR_STREAM;
    }
  }
  const auto last = std::chrono::steady_clock::now();
  double rate = 0;
  for (Board& b : group->boards) {
    KpxStreamStatus status{};
    KpxStream_GetStatus(b.stream, &status);
    rate = std::max(rate, status.sampleRateHz);
  }
  std::lock_guard lock(group->statusMutex);
  group->started = true;
  group->startSkewNs = std::chrono::duration_cast<std::chrono::nanoseconds>(last - first).count();
  group->startSkewSamples =
      static_cast<uint64_t>(std::ceil(static_cast<double>(group->startSkewNs) * 1e-9 * rate));
  if (rate > 0) group->sampleRateHz = rate;
  return KPXGROUP_OK;
}

int32_t KpxGroup_Stop(KpxGroup* group) {
  if (!group) return KPXGROUP_ERR_NULL;
  group->stopRequested = true;
  stopStreams(*group);
  return KPXGROUP_OK;
}

void KpxGroup_Close(KpxGroup* group) {
  if (!group) return;
  stopStreams(*group);
  // A stopped transmit stream still writes the blocks submitted to it, then
  // ends; closing it would drop them.
  if (group->direction == KPXSTREAM_TRANSMIT)
    for (Board& b : group->boards) {
      if (!b.stream || b.writeHeld) continue;
      KpxStreamStatus status{};
      while (KpxStream_GetStatus(b.stream, &status) == KPXSTREAM_OK && status.running &&
             !status.ended)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  for (Board& b : group->boards) {
    if (!b.stream) continue;
    if (b.holding) KpxStream_ReleaseRead(b.stream, &b.held);
    if (b.writeHeld) {
      b.writeBlock.bytes = 0;
      KpxStream_SubmitWrite(b.stream, &b.writeBlock);
    }
    if (b.owned) KpxStream_Close(b.stream);
  }
  delete group;
}

int32_t KpxGroup_SetOffsets(KpxGroup* group, const double* offsets, uint32_t count) {
  if (!group || !offsets) return KPXGROUP_ERR_NULL;
  if (count != group->boards.size() || offsets[0] != 0) return KPXGROUP_ERR_ARGUMENT;
  for (uint32_t b = 0; b < count; ++b)
    if (!std::isfinite(offsets[b]) || std::fabs(offsets[b]) >= kMaxOffset)
      return KPXGROUP_ERR_ARGUMENT;
  if (group->blockHeld) return KPXGROUP_ERR_STATE;
  if (group->direction == KPXSTREAM_TRANSMIT && group->writeStarted) return KPXGROUP_ERR_STATE;
  try {
    std::vector<uint64_t> from = positions(*group);
    std::lock_guard lock(group->statusMutex);
    applyShifts(*group, offsets, from, group->nextGroupIndex);
    group->offsetsApplied = true;
    group->offsetsMeasured = false;
    group->padded = false;
    for (Board& b : group->boards) group->padded |= b.shift != 0;
  } catch (const std::bad_alloc&) {
    return KPXGROUP_ERR_NO_MEMORY;
  }
  return KPXGROUP_OK;
}

int32_t KpxGroup_AcquireRead(KpxGroup* group, KpxGroupBlock* block, int32_t timeoutMs) {
  if (const int32_t result = readyForBlock(group, block, KPXSTREAM_RECEIVE); result != KPXGROUP_OK)
    return result;
  const size_t count = group->boards.size();
  std::vector<int16_t*> into(count);
  for (size_t i = 0; i < count; ++i) into[i] = group->boards[i].buffer.data();
  for (;;) {
    if (group->sampleLimit && group->nextGroupIndex >= group->sampleLimit)
      return endGroup(*group, KPXGROUP_COMPLETE, -1);
    uint32_t n = group->blockSamples;
    if (group->sampleLimit)
      n = static_cast<uint32_t>(std::min<uint64_t>(n, group->sampleLimit - group->nextGroupIndex));
    const int32_t result = fillAll(*group, n, true, timeoutMs, into);
    if (result != KPXGROUP_OK) return result;
    bool gap = false;
    for (const Board& b : group->boards) gap |= b.lost > 0;
    if (gap && group->gapPolicy == KPXGROUP_GAPS_DROP) {
      std::lock_guard lock(group->statusMutex);
      for (Board& b : group->boards) b.dropped += n - b.lost;
      group->droppedSamples += n;
      group->droppedPending += n;
      group->nextGroupIndex += n;
      releaseSpans(*group);
      resetSpans(*group);
      continue;
    }
    block->groupIndex = group->nextGroupIndex;
    block->droppedBefore = group->droppedPending;
    block->samples = n;
    block->count = static_cast<uint32_t>(count);
    block->flags = 0;
    block->sequence = ++group->sequence;
    for (size_t i = 0; i < count; ++i) {
      Board& b = group->boards[i];
      KpxGroupBoardBlock& out = block->boards[i];
      out.samples = b.zeroCopy ? static_cast<int16_t*>(b.held.data) : b.buffer.data();
      out.boardIndex = static_cast<uint64_t>(static_cast<int64_t>(group->nextGroupIndex) + b.shift);
      out.lost = b.lost;
      out.firstLost = b.firstLost;
      out.flags = b.flags | (b.zeroCopy ? 0u : KPXGROUP_BLOCK_COPIED);
      block->flags |= out.flags;
    }
    std::lock_guard lock(group->statusMutex);
    group->droppedPending = 0;
    group->blockHeld = true;
    return KPXGROUP_OK;
  }
}

int32_t KpxGroup_ReleaseRead(KpxGroup* group, const KpxGroupBlock* block) {
  if (!group || !block) return KPXGROUP_ERR_NULL;
  if (group->direction != KPXSTREAM_RECEIVE) return KPXGROUP_ERR_WRONG_DIRECTION;
  if (!group->blockHeld || block->sequence != group->sequence) return KPXGROUP_ERR_NOT_HELD;
  std::lock_guard lock(group->statusMutex);
  group->blockHeld = false;
  group->nextGroupIndex += block->samples;
  group->delivered += block->samples;
  releaseSpans(*group);
  resetSpans(*group);
  return KPXGROUP_OK;
}

int32_t KpxGroup_Measure(KpxGroup* group, uint64_t window, KpxGroupAlignment* results,
                         int32_t apply, int32_t timeoutMs) {
  if (!group || !results) return KPXGROUP_ERR_NULL;
  if (group->direction != KPXSTREAM_RECEIVE) return KPXGROUP_ERR_WRONG_DIRECTION;
  if (!group->started || group->blockHeld) return KPXGROUP_ERR_STATE;
  if (window < KPXGROUP_MIN_WINDOW || window > KPXGROUP_MAX_WINDOW) return KPXGROUP_ERR_WINDOW;
  if (group->endResult != 0) return group->endResult;
  const size_t count = group->boards.size();
  try {
    // The windows, read on the group index as blocks would be (every board
    // skipping to the offsets applied so far), and not delivered.
    std::vector<std::vector<int16_t>> windows(count, std::vector<int16_t>(window));
    std::vector<int16_t*> into(count);
    bool gap = false;
    for (uint64_t done = 0; done < window;) {
      const uint32_t n =
          static_cast<uint32_t>(std::min<uint64_t>(group->blockSamples, window - done));
      for (size_t i = 0; i < count; ++i) into[i] = windows[i].data() + done;
      const int32_t result = fillAll(*group, n, false, timeoutMs, into);
      if (result != KPXGROUP_OK) {
        // The window is given up: what was read of it counts as skipped by
        // the group, and the boards skip the rest of its block.
        std::lock_guard lock(group->statusMutex);
        for (Board& b : group->boards) b.dropped += b.filled - b.lost;
        group->nextGroupIndex += n;
        resetSpans(*group);
        return result;
      }
      std::lock_guard lock(group->statusMutex);
      for (Board& b : group->boards) {
        gap |= b.lost > 0;
        b.dropped += n - b.lost;
      }
      group->nextGroupIndex += n;
      resetSpans(*group);
      done += n;
    }
    if (gap) return KPXGROUP_ERR_GAP_IN_WINDOW;
    kpxgroup::AlignWork& work = group->alignWork;
    bool trusted = true;
    std::vector<double> offsets(count, 0.0);
    results[0] = KpxGroupAlignment{};
    results[0].peak = 1;
    // Board 0's spectrum once, for every board.
    kpxgroup::prepareReference(windows[0].data(), static_cast<size_t>(window), work);
    for (size_t i = 1; i < count; ++i) {
      kpxgroup::alignPrepared(windows[i].data(), results[i], work);
      // Measured against the windows as read: add the offsets already applied.
      results[i].offset += static_cast<double>(group->boards[0].shift - group->boards[i].shift);
      offsets[i] = results[i].offset;
      trusted &= results[i].result == KPXGROUP_ALIGN_OK;
    }
    if (!trusted) return KPXGROUP_ERR_ALIGNMENT;
    if (apply) {
      const int32_t result =
          KpxGroup_SetOffsets(group, offsets.data(), static_cast<uint32_t>(count));
      if (result != KPXGROUP_OK) return result;
      std::lock_guard lock(group->statusMutex);
      group->offsetsMeasured = true;
    }
    return KPXGROUP_OK;
  } catch (const std::bad_alloc&) {
    return KPXGROUP_ERR_NO_MEMORY;
  }
}

int32_t KpxGroup_AcquireWrite(KpxGroup* group, KpxGroupBlock* block, int32_t timeoutMs) {
  if (const int32_t result = readyForBlock(group, block, KPXSTREAM_TRANSMIT); result != KPXGROUP_OK)
    return result;
  const size_t count = group->boards.size();
  group->writeStarted = true;
  if (group->padded && !group->padsQueued) {
    for (Board& b : group->boards) b.pending.assign(static_cast<size_t>(b.shift), 0);
    group->padsQueued = true;
  }
  // Zero copy: every board's stream block, resumable after a time-out.
  if (!group->padded)
    for (size_t i = 0; i < count; ++i) {
      Board& b = group->boards[i];
      if (b.writeHeld) continue;
      const int32_t result = KpxStream_AcquireWrite(b.stream, &b.writeBlock, timeoutMs);
      if (result == KPXSTREAM_TIMEOUT) return KPXGROUP_TIMEOUT;
      if (result != KPXSTREAM_OK)
        return endGroup(*group, fromStream(result), static_cast<int32_t>(i));
      b.writeHeld = true;
    }
  block->groupIndex = group->nextGroupIndex;
  block->droppedBefore = 0;
  block->samples = group->blockSamples;
  block->count = static_cast<uint32_t>(count);
  block->flags = 0;
  block->sequence = ++group->sequence;
  for (size_t i = 0; i < count; ++i) {
    Board& b = group->boards[i];
    KpxGroupBoardBlock& out = block->boards[i];
    out.samples = group->padded ? b.buffer.data() : static_cast<int16_t*>(b.writeBlock.data);
    out.boardIndex = static_cast<uint64_t>(static_cast<int64_t>(group->nextGroupIndex) + b.shift);
    KpxStreamStatus status{};
    KpxStream_GetStatus(b.stream, &status);
    const uint64_t underrun = status.underrunSamples - b.underrunSeen;
    b.underrunSeen = status.underrunSamples;
    out.lost = static_cast<uint32_t>(std::min<uint64_t>(underrun, UINT32_MAX));
    out.firstLost = 0;
    out.flags = (underrun ? KPXGROUP_BLOCK_GAP : 0u) | (group->padded ? KPXGROUP_BLOCK_COPIED : 0u);
    block->flags |= out.flags;
  }
  group->blockHeld = true;
  return KPXGROUP_OK;
}

int32_t KpxGroup_SubmitWrite(KpxGroup* group, const KpxGroupBlock* block) {
  if (!group || !block) return KPXGROUP_ERR_NULL;
  if (group->direction != KPXSTREAM_TRANSMIT) return KPXGROUP_ERR_WRONG_DIRECTION;
  if (!group->blockHeld || block->sequence != group->sequence) return KPXGROUP_ERR_NOT_HELD;
  if (block->samples % 2 || block->samples > group->blockSamples) return KPXGROUP_ERR_ARGUMENT;
  const size_t count = group->boards.size();
  group->blockHeld = false;
  int32_t outcome = KPXGROUP_OK;
  if (!group->padded) {
    for (size_t i = 0; i < count; ++i) {
      Board& b = group->boards[i];
      b.writeBlock.bytes = block->samples * 2;
      const int32_t result = KpxStream_SubmitWrite(b.stream, &b.writeBlock);
      b.writeHeld = false;
      if (result != KPXSTREAM_OK && outcome == KPXGROUP_OK)
        outcome = endGroup(*group, fromStream(result), static_cast<int32_t>(i));
    }
  } else {
    // Padded boards: the samples go behind the pad; whole stream blocks are
    // written as they fill, and a short block (the waveform's end) writes
    // out what the pads held back.
    const bool last = block->samples < group->blockSamples;
    for (size_t i = 0; i < count && outcome == KPXGROUP_OK; ++i) {
      Board& b = group->boards[i];
      b.pending.insert(b.pending.end(), b.buffer.begin(), b.buffer.begin() + block->samples);
      size_t used = 0;
      while (outcome == KPXGROUP_OK && (b.pending.size() - used >= group->blockSamples ||
                                        (last && used < b.pending.size()))) {
        KpxStreamBlock sb{};
        int32_t result = KpxStream_AcquireWrite(b.stream, &sb, -1);
        if (result != KPXSTREAM_OK) {
          outcome = endGroup(*group, fromStream(result), static_cast<int32_t>(i));
          break;
        }
        size_t take = std::min<size_t>(group->blockSamples, b.pending.size() - used);
        std::memcpy(sb.data, b.pending.data() + used, take * 2);
        if (take % 2) static_cast<int16_t*>(sb.data)[take++] = 0;  // a whole 32-bit word
        sb.bytes = static_cast<uint32_t>(take * 2);
        used += std::min(take, b.pending.size() - used);
        result = KpxStream_SubmitWrite(b.stream, &sb);
        if (result != KPXSTREAM_OK)
          outcome = endGroup(*group, fromStream(result), static_cast<int32_t>(i));
      }
      b.pending.erase(b.pending.begin(), b.pending.begin() + static_cast<std::ptrdiff_t>(used));
    }
  }
  std::lock_guard lock(group->statusMutex);
  group->nextGroupIndex += block->samples;
  group->delivered += block->samples;
  return outcome;
}

int32_t KpxGroup_GetStatus(KpxGroup* group, KpxGroupStatus* status) {
  if (!group || !status) return KPXGROUP_ERR_NULL;
  *status = KpxGroupStatus{};
  std::lock_guard lock(group->statusMutex);
  status->count = static_cast<uint32_t>(group->boards.size());
  status->direction = group->direction;
  status->blockSamples = group->blockSamples;
  status->sampleRateHz = group->sampleRateHz;
  status->startSkewNs = group->startSkewNs;
  status->startSkewSamples = group->startSkewSamples;
  status->groupSamples = group->delivered;
  status->droppedSamples = group->droppedSamples;
  status->offsetsApplied = group->offsetsApplied;
  status->offsetsMeasured = group->offsetsMeasured;
  status->endResult = group->endResult;
  status->failedBoard = group->failedBoard;
  bool anyEnded = group->endResult != 0;
  bool allRunning = group->started;
  for (size_t i = 0; i < group->boards.size(); ++i) {
    const Board& b = group->boards[i];
    KpxStreamStatus s{};
    KpxStream_GetStatus(b.stream, &s);
    anyEnded |= s.ended != 0;
    allRunning &= s.running != 0;
    status->offsets[i] = b.offset;
    status->skips[i] = b.shift;
    status->lostSamples[i] =
        group->direction == KPXSTREAM_RECEIVE ? s.overrunSamples : s.underrunSamples;
    status->droppedByGroup[i] = b.dropped;
    if (s.endReason == KPXSTREAM_END_BOARD_FAILED && status->failedBoard < 0 &&
        status->endResult == 0)
      status->failedBoard = static_cast<int32_t>(i);
  }
  status->ended = anyEnded;
  status->running = allRunning && !anyEnded && group->endResult == 0;
  return KPXGROUP_OK;
}

}  // extern "C"
