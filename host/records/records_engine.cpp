// Triggered records: one thread per engine takes the stream's blocks, finds
// the trigger with a chunked scan, and copies each record's window into a
// queue of fixed slots that the consumer reads without a copy.
#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <new>
#include <thread>
#include <vector>

#include "kpxadac_records.h"

#if defined(__SSE2__) || defined(_M_X64)
#include <emmintrin.h>
#define KPX_RECORDS_SSE2 1
#endif

namespace {

constexpr int32_t kStreamPollMs = 100;
constexpr uint64_t kDefaultQueueBytes = 64ull << 20;
constexpr uint32_t kDefaultQueueMin = 4;
constexpr uint32_t kDefaultQueueMax = 1024;
// The scan tests this many samples at a time, and looks at single samples
// only in a stretch that holds a match.
constexpr uint32_t kScanChunk = 32;

enum class SlotPlace { kFree, kFilling, kQueued, kHeld };

// Where the edge search stands: no far-side sample seen yet, or one below
// level - hysteresis (a rising edge may fire), or one above level +
// hysteresis (a falling edge may fire).
enum class Readiness { kNone, kLow, kHigh };

// The tests of the trigger, each on one sample and, where SSE2 is there
// (every x86-64), on eight at once as a lane mask.
struct Below {  // v < t
  int16_t t;
  bool operator()(int16_t v) const { return v < t; }
#ifdef KPX_RECORDS_SSE2
  __m128i lanes(__m128i v) const {
    return _mm_cmplt_epi16(v, _mm_set1_epi16(t));
  }
#endif
};
struct Above {  // v > t
  int16_t t;
  bool operator()(int16_t v) const { return v > t; }
#ifdef KPX_RECORDS_SSE2
  __m128i lanes(__m128i v) const {
    return _mm_cmpgt_epi16(v, _mm_set1_epi16(t));
  }
#endif
};
struct AtOrAbove {  // v >= t
  int16_t t;
  bool operator()(int16_t v) const { return v >= t; }
#ifdef KPX_RECORDS_SSE2
  __m128i lanes(__m128i v) const {
    const __m128i level = _mm_set1_epi16(t);
    return _mm_or_si128(_mm_cmpgt_epi16(v, level), _mm_cmpeq_epi16(v, level));
  }
#endif
};
struct AtOrBelow {  // v <= t
  int16_t t;
  bool operator()(int16_t v) const { return v <= t; }
#ifdef KPX_RECORDS_SSE2
  __m128i lanes(__m128i v) const {
    const __m128i level = _mm_set1_epi16(t);
    return _mm_or_si128(_mm_cmplt_epi16(v, level), _mm_cmpeq_epi16(v, level));
  }
#endif
};
struct OutsideBand {  // v < lo or v > hi
  int16_t lo, hi;
  bool operator()(int16_t v) const { return v < lo || v > hi; }
#ifdef KPX_RECORDS_SSE2
  __m128i lanes(__m128i v) const {
    return _mm_or_si128(_mm_cmplt_epi16(v, _mm_set1_epi16(lo)),
                        _mm_cmpgt_epi16(v, _mm_set1_epi16(hi)));
  }
#endif
};

// Index of the first sample in [from, to) for which `match` holds, or `to`.
template <typename Match>
uint32_t findFirst(const int16_t* s, uint32_t from, uint32_t to, Match match) {
  uint32_t i = from;
#ifdef KPX_RECORDS_SSE2
  for (; i + kScanChunk <= to; i += kScanChunk) {
    const auto* p = reinterpret_cast<const __m128i*>(s + i);
    const __m128i first =
        _mm_or_si128(match.lanes(_mm_loadu_si128(p)), match.lanes(_mm_loadu_si128(p + 1)));
    const __m128i second =
        _mm_or_si128(match.lanes(_mm_loadu_si128(p + 2)), match.lanes(_mm_loadu_si128(p + 3)));
    if (_mm_movemask_epi8(_mm_or_si128(first, second))) break;
  }
#endif
  for (; i < to; ++i)
    if (match(s[i])) return i;
  return to;
}

int32_t endResult(int32_t endReason) {
  switch (endReason) {
    case KPXRECORDS_END_COMPLETE:
      return KPXRECORDS_COMPLETE;
    case KPXRECORDS_END_BOARD_FAILED:
      return KPXRECORDS_BOARD_FAILED;
    default:
      return KPXRECORDS_STOPPED;
  }
}

uint32_t defaultQueueRecords(uint64_t length) {
  const uint64_t fit = kDefaultQueueBytes / (length * sizeof(int16_t));
  return static_cast<uint32_t>(std::clamp<uint64_t>(fit, kDefaultQueueMin, kDefaultQueueMax));
}

}  // namespace

struct KpxRecords {
  KpxStream* stream = nullptr;
  // The configuration, checked.
  int32_t edge = 0;
  int32_t level = 0;
  int32_t low = 0;   // level - hysteresis
  int32_t high = 0;  // level + hysteresis
  uint32_t pre = 0;
  uint32_t post = 0;
  uint32_t length = 0;
  uint64_t holdoff = 0;
  uint64_t count = 0;
  int64_t autoNs = 0;

  // The queue: slot i's samples are memory[i * length ...].
  std::unique_ptr<int16_t[]> memory;
  std::vector<SlotPlace> places;
  std::vector<KpxRecord> slots;
  std::vector<uint32_t> freeSlots;
  std::deque<uint32_t> queued;

  std::mutex mutex;
  std::condition_variable changed;
  std::thread thread;
  std::atomic<bool> stopRequested{false};
  std::atomic<uint64_t> samplesScanned{0};
  bool started = false;
  bool ended = false;
  int32_t endReason = KPXRECORDS_END_NONE;
  KpxRecordsCounts counts{};

  // The engine thread's own state.
  bool sawFirstBlock = false;
  uint64_t armIndex = 0;  // first board index at which the trigger may fire
  Readiness readiness = Readiness::kNone;
  int64_t lastRecordNs = 0;
  // The record being filled: its slot, or -1 while a skipped window passes.
  bool collecting = false;
  int64_t collectSlot = -1;
  uint32_t collectFilled = 0;
  // The last `pre` samples before the current block, a circular buffer.
  std::vector<int16_t> history;
  uint32_t historyNext = 0;

  int16_t* slotSamples(uint32_t slot) { return memory.get() + uint64_t{slot} * length; }
  void run();
  bool processBlock(const KpxStreamBlock& block);
  void beginRecord(const int16_t* s, uint32_t at, const KpxStreamBlock& block, bool untriggered,
                   bool falling);
  bool finishRecord();
  void dropRecord(uint64_t KpxRecordsCounts::*counter);
  void keepHistory(const int16_t* s, uint32_t n);
  uint32_t scan(const int16_t* s, uint32_t from, uint32_t to, bool& falling);
  void end(int32_t reason);
};

namespace {

int32_t takeRecord(KpxRecords& r, KpxRecord& record, int32_t timeoutMs) {
  std::unique_lock lock(r.mutex);
  if (!r.started) return KPXRECORDS_ERR_STATE;
  auto ready = [&] { return !r.queued.empty() || r.ended; };
  if (timeoutMs < 0)
    r.changed.wait(lock, ready);
  else if (!r.changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), ready))
    return KPXRECORDS_TIMEOUT;
  if (r.queued.empty()) return endResult(r.endReason);
  const uint32_t slot = r.queued.front();
  r.queued.pop_front();
  r.places[slot] = SlotPlace::kHeld;
  record = r.slots[slot];
  return KPXRECORDS_OK;
}

void giveBack(KpxRecords& r, uint32_t slot) {
  std::lock_guard lock(r.mutex);
  r.places[slot] = SlotPlace::kFree;
  r.freeSlots.push_back(slot);
}

}  // namespace

// Rising fires on a sample at or above the level once one below level -
// hysteresis was seen; falling the other way round. The readiness carries
// over from block to block and is cleared at each trigger and gap.
uint32_t KpxRecords::scan(const int16_t* s, uint32_t from, uint32_t to, bool& falling) {
  // Compared as 16-bit values, eight to a 128-bit register; a threshold
  // beyond the 16-bit range can never be passed.
  const auto lv = static_cast<int16_t>(level);
  const bool lowPossible = low > -32768, highPossible = high < 32767;
  const auto lo = static_cast<int16_t>(lowPossible ? low : 0);
  const auto hi = static_cast<int16_t>(highPossible ? high : 0);
  uint32_t i = from;
  while (i < to) {
    switch (readiness) {
      case Readiness::kNone: {
        const bool wantLow = edge != KPXRECORDS_FALLING && lowPossible;
        const bool wantHigh = edge != KPXRECORDS_RISING && highPossible;
        if (wantLow && wantHigh)
          i = findFirst(s, i, to, OutsideBand{lo, hi});
        else if (wantLow)
          i = findFirst(s, i, to, Below{lo});
        else if (wantHigh)
          i = findFirst(s, i, to, Above{hi});
        else
          i = to;
        if (i == to) return to;
        readiness = wantLow && s[i] < lo ? Readiness::kLow : Readiness::kHigh;
        ++i;
        break;
      }
      case Readiness::kLow:
        i = findFirst(s, i, to, AtOrAbove{lv});
        if (i < to) falling = false;
        return i;
      case Readiness::kHigh:
        i = findFirst(s, i, to, AtOrBelow{lv});
        if (i < to) falling = true;
        return i;
    }
  }
  return to;
}

void KpxRecords::keepHistory(const int16_t* s, uint32_t n) {
  if (pre == 0) return;
  if (n >= pre) {
    std::memcpy(history.data(), s + (n - pre), size_t{pre} * sizeof(int16_t));
    historyNext = 0;
    return;
  }
  const uint32_t first = std::min(n, pre - historyNext);
  std::memcpy(history.data() + historyNext, s, size_t{first} * sizeof(int16_t));
  std::memcpy(history.data(), s + first, size_t{n - first} * sizeof(int16_t));
  historyNext = (historyNext + n) % pre;
}

void KpxRecords::beginRecord(const int16_t* s, uint32_t at, const KpxStreamBlock& block,
                             bool untriggered, bool falling) {
  const uint64_t triggerIndex = block.index + at;
  armIndex = std::max(triggerIndex + post + holdoff, triggerIndex + 1);
  readiness = Readiness::kNone;
  lastRecordNs = block.hostTimeNs;
  collecting = true;
  collectFilled = 0;
  collectSlot = -1;
  {
    std::lock_guard lock(mutex);
    if (!untriggered) ++counts.triggersSeen;
    if (freeSlots.empty()) {
      ++counts.skippedSlow;
    } else {
      collectSlot = freeSlots.back();
      freeSlots.pop_back();
      places[collectSlot] = SlotPlace::kFilling;
    }
  }
  if (collectSlot < 0) return;
  KpxRecord& record = slots[collectSlot];
  record.samples = slotSamples(static_cast<uint32_t>(collectSlot));
  record.length = length;
  record.pre = pre;
  record.triggerIndex = triggerIndex;
  record.firstIndex = triggerIndex - pre;
  record.hostTimeNs = block.hostTimeNs;
  record.flags = (untriggered ? KPXRECORD_UNTRIGGERED : 0u) | (falling ? KPXRECORD_FALLING : 0u);
  // The pre-trigger samples: the history's oldest ones, then the block's.
  int16_t* out = slotSamples(static_cast<uint32_t>(collectSlot));
  const uint32_t fromBlock = std::min(at, pre);
  const uint32_t fromHistory = pre - fromBlock;
  if (fromHistory) {
    // The history's newest sample sits just before historyNext.
    const uint32_t start = (historyNext + pre - fromHistory) % pre;
    const uint32_t first = std::min(fromHistory, pre - start);
    std::memcpy(out, history.data() + start, size_t{first} * sizeof(int16_t));
    std::memcpy(out + first, history.data(), size_t{fromHistory - first} * sizeof(int16_t));
  }
  std::memcpy(out + fromHistory, s + (at - fromBlock), size_t{fromBlock} * sizeof(int16_t));
  collectFilled = pre;
}

// Puts the filled record into the queue; false once the count is reached.
bool KpxRecords::finishRecord() {
  collecting = false;
  if (collectSlot < 0) return true;
  const auto slot = static_cast<uint32_t>(collectSlot);
  collectSlot = -1;
  bool more;
  {
    std::lock_guard lock(mutex);
    KpxRecord& record = slots[slot];
    record.number = counts.recordsDelivered++;
    record.slot = slot;
    record.counts = counts;
    places[slot] = SlotPlace::kQueued;
    queued.push_back(slot);
    more = count == 0 || counts.recordsDelivered < count;
  }
  changed.notify_all();
  return more;
}

void KpxRecords::dropRecord(uint64_t KpxRecordsCounts::*counter) {
  if (!collecting) return;
  collecting = false;
  if (collectSlot < 0) return;  // a skipped window: already counted
  std::lock_guard lock(mutex);
  ++(counts.*counter);
  places[collectSlot] = SlotPlace::kFree;
  freeSlots.push_back(static_cast<uint32_t>(collectSlot));
  collectSlot = -1;
}

// Returns false once the engine has all the records it was asked for.
bool KpxRecords::processBlock(const KpxStreamBlock& block) {
  const auto* s = static_cast<const int16_t*>(block.data);
  const uint32_t n = block.bytes / sizeof(int16_t);
  if (!sawFirstBlock || block.lostBefore) {
    // The start of a gap-free run: arm once `pre` samples lie behind.
    if (sawFirstBlock) dropRecord(&KpxRecordsCounts::lostToGaps);
    if (!sawFirstBlock) lastRecordNs = block.hostTimeNs;
    sawFirstBlock = true;
    armIndex = std::max(armIndex, block.index + pre);
    readiness = Readiness::kNone;
  }
  const bool autoDue = autoNs > 0 && block.hostTimeNs - lastRecordNs >= autoNs;
  uint32_t pos = 0;
  while (pos < n) {
    if (collecting) {
      const uint32_t take = std::min(length - collectFilled, n - pos);
      if (collectSlot >= 0)
        std::memcpy(slotSamples(static_cast<uint32_t>(collectSlot)) + collectFilled, s + pos,
                    size_t{take} * sizeof(int16_t));
      collectFilled += take;
      pos += take;
      if (collectFilled == length && !finishRecord()) return false;
      continue;
    }
    const uint64_t index = block.index + pos;
    if (index < armIndex) {
      pos = static_cast<uint32_t>(std::min<uint64_t>(n, armIndex - block.index));
      continue;
    }
    bool falling = false;
    uint32_t at;
    bool untriggered = false;
    if (autoDue && block.hostTimeNs - lastRecordNs >= autoNs) {
      at = pos;
      untriggered = true;
    } else {
      at = scan(s, pos, n, falling);
      if (at == n) break;
    }
    beginRecord(s, at, block, untriggered, falling);
    pos = at;
    if (post == 0 && !finishRecord()) return false;
  }
  keepHistory(s, n);
  return true;
}

void KpxRecords::end(int32_t reason) {
  {
    std::lock_guard lock(mutex);
    ended = true;
    endReason = reason;
  }
  changed.notify_all();
}

void KpxRecords::run() {
  KpxStreamBlock block{};
  int32_t reason = KPXRECORDS_END_STOPPED;
  while (!stopRequested.load(std::memory_order_relaxed)) {
    const int32_t result = KpxStream_AcquireRead(stream, &block, kStreamPollMs);
    if (result == KPXSTREAM_TIMEOUT) continue;
    if (result != KPXSTREAM_OK) {
      if (result == KPXSTREAM_COMPLETE)
        reason = KPXRECORDS_END_COMPLETE;
      else if (result == KPXSTREAM_BOARD_FAILED)
        reason = KPXRECORDS_END_BOARD_FAILED;
      break;
    }
    const bool more = processBlock(block);
    samplesScanned.fetch_add(block.bytes / sizeof(int16_t), std::memory_order_relaxed);
    KpxStream_ReleaseRead(stream, &block);
    if (!more) {
      reason = KPXRECORDS_END_COMPLETE;
      KpxStream_Stop(stream);
      break;
    }
  }
  dropRecord(&KpxRecordsCounts::cutAtEnd);
  end(reason);
}

namespace {

// Allocates an engine for a checked configuration.
int32_t openEngine(KpxStream* stream, const KpxRecordsConfig& c, KpxRecords*& out) {
  std::unique_ptr<KpxRecords> r(new (std::nothrow) KpxRecords);
  if (!r) return KPXRECORDS_ERR_NO_MEMORY;
  r->stream = stream;
  r->edge = c.edge;
  r->level = c.level;
  r->low = c.level - c.hysteresis;
  r->high = c.level + c.hysteresis;
  r->pre = static_cast<uint32_t>(c.pre);
  r->post = static_cast<uint32_t>(c.post);
  r->length = r->pre + r->post;
  r->holdoff = static_cast<uint64_t>(c.holdoff);
  r->count = static_cast<uint64_t>(c.count);
  r->autoNs = int64_t{c.autoMs} * 1000000;
  const uint32_t queueRecords =
      c.queueRecords > 0 ? static_cast<uint32_t>(c.queueRecords) : defaultQueueRecords(r->length);
  const size_t samples = size_t{queueRecords} * r->length;
  r->memory.reset(new (std::nothrow) int16_t[samples]);
  if (!r->memory) return KPXRECORDS_ERR_NO_MEMORY;
  // Touch every page now, so that no page fault lands in the engine's loop.
  std::memset(r->memory.get(), 0, samples * sizeof(int16_t));
  try {
    r->places.assign(queueRecords, SlotPlace::kFree);
    r->slots.assign(queueRecords, KpxRecord{});
    r->history.assign(r->pre, 0);
    r->freeSlots.reserve(queueRecords);
    for (uint32_t i = queueRecords; i-- > 0;) r->freeSlots.push_back(i);
  } catch (const std::bad_alloc&) {
    return KPXRECORDS_ERR_NO_MEMORY;
  }
  out = r.release();
  return KPXRECORDS_OK;
}

}  // namespace

extern "C" {

int32_t KpxRecords_CheckConfig(const KpxRecordsConfig* config) {
  if (!config) return KPXRECORDS_ERR_NULL;
  const KpxRecordsConfig& c = *config;
  if (c.edge != KPXRECORDS_RISING && c.edge != KPXRECORDS_FALLING && c.edge != KPXRECORDS_EITHER)
    return KPXRECORDS_ERR_EDGE;
  if (c.level < -32768 || c.level > 32767) return KPXRECORDS_ERR_LEVEL;
  if (c.hysteresis < 0 || c.hysteresis > 65535) return KPXRECORDS_ERR_HYSTERESIS;
  if (c.pre < 0 || c.post < 0 || c.pre > KPXRECORDS_MAX_LENGTH || c.post > KPXRECORDS_MAX_LENGTH ||
      c.pre + c.post < 1 || c.pre + c.post > KPXRECORDS_MAX_LENGTH)
    return KPXRECORDS_ERR_LENGTH;
  if (c.holdoff < 0 || c.count < 0 || c.autoMs < 0 || c.queueRecords < 0 ||
      c.queueRecords > KPXRECORDS_MAX_QUEUE)
    return KPXRECORDS_ERR_ARGUMENT;
  const uint64_t bytes = static_cast<uint64_t>(c.pre + c.post) * sizeof(int16_t);
  if (c.queueRecords > 0 &&
      bytes * static_cast<uint64_t>(c.queueRecords) > KPXRECORDS_MAX_QUEUE_BYTES)
    return KPXRECORDS_ERR_ARGUMENT;
  return KPXRECORDS_OK;
}

int32_t KpxRecords_Open(KpxStream* stream, const KpxRecordsConfig* config, KpxRecords** records) {
  if (records) *records = nullptr;
  if (!stream || !config || !records) return KPXRECORDS_ERR_NULL;
  if (const int32_t checked = KpxRecords_CheckConfig(config); checked != KPXRECORDS_OK)
    return checked;
  // Only a receive stream answers a release of a block it never gave out
  // with "not held"; a transmit stream answers "wrong direction".
  KpxStreamBlock probe{};
  probe.slot = UINT32_MAX;
  if (KpxStream_ReleaseRead(stream, &probe) == KPXSTREAM_ERR_WRONG_DIRECTION)
    return KPXRECORDS_ERR_DIRECTION;

  KpxRecords* opened = nullptr;
  const int32_t result = openEngine(stream, *config, opened);
  *records = opened;
  return result;
}

int32_t KpxRecords_OpenFed(const KpxRecordsConfig* config, KpxRecords** records) {
  if (records) *records = nullptr;
  if (!config || !records) return KPXRECORDS_ERR_NULL;
  if (const int32_t checked = KpxRecords_CheckConfig(config); checked != KPXRECORDS_OK)
    return checked;
  KpxRecords* opened = nullptr;
  const int32_t result = openEngine(nullptr, *config, opened);
  if (result != KPXRECORDS_OK) return result;
  opened->started = true;
  *records = opened;
  return KPXRECORDS_OK;
}

int32_t KpxRecords_Feed(KpxRecords* records, const KpxStreamBlock* block) {
  if (!records || !block || (!block->data && block->bytes)) return KPXRECORDS_ERR_NULL;
  KpxRecords& r = *records;
  if (r.stream) return KPXRECORDS_ERR_STATE;
  {
    std::lock_guard lock(r.mutex);
    if (r.ended) return endResult(r.endReason);
  }
  if (r.stopRequested.load()) {
    r.end(KPXRECORDS_END_STOPPED);
    return KPXRECORDS_STOPPED;
  }
  const bool more = r.processBlock(*block);
  r.samplesScanned.fetch_add(block->bytes / sizeof(int16_t), std::memory_order_relaxed);
  if (more) return KPXRECORDS_OK;
  r.end(KPXRECORDS_END_COMPLETE);
  return KPXRECORDS_COMPLETE;
}

int32_t KpxRecords_Start(KpxRecords* records) {
  if (!records) return KPXRECORDS_ERR_NULL;
  KpxRecords& r = *records;
  {
    std::lock_guard lock(r.mutex);
    if (r.started) return KPXRECORDS_ERR_STATE;
  }
  const int32_t streamStarted = KpxStream_Start(r.stream);
  if (streamStarted != KPXSTREAM_OK && streamStarted != KPXSTREAM_ERR_STATE)
    return KPXRECORDS_ERR_STREAM;
  try {
    r.thread = std::thread([&r] { r.run(); });
  } catch (const std::system_error&) {
    return KPXRECORDS_ERR_THREAD;
  }
  std::lock_guard lock(r.mutex);
  r.started = true;
  return KPXRECORDS_OK;
}

int32_t KpxRecords_Stop(KpxRecords* records) {
  if (!records) return KPXRECORDS_ERR_NULL;
  records->stopRequested = true;
  if (records->stream)
    KpxStream_Stop(records->stream);
  else
    records->end(KPXRECORDS_END_STOPPED);  // a fed engine ends at once
  return KPXRECORDS_OK;
}

void KpxRecords_Close(KpxRecords* records) {
  if (!records) return;
  KpxRecords_Stop(records);
  if (records->thread.joinable()) records->thread.join();
  delete records;
}

int32_t KpxRecords_Acquire(KpxRecords* records, KpxRecord* record, int32_t timeoutMs) {
  if (!records || !record) return KPXRECORDS_ERR_NULL;
  return takeRecord(*records, *record, timeoutMs);
}

int32_t KpxRecords_Release(KpxRecords* records, const KpxRecord* record) {
  if (!records || !record) return KPXRECORDS_ERR_NULL;
  KpxRecords& r = *records;
  {
    std::lock_guard lock(r.mutex);
    if (record->slot >= r.places.size() || r.places[record->slot] != SlotPlace::kHeld ||
        record->samples != r.slotSamples(record->slot))
      return KPXRECORDS_ERR_NOT_HELD;
  }
  giveBack(r, record->slot);
  return KPXRECORDS_OK;
}

int32_t KpxRecords_Read(KpxRecords* records, int16_t* samples, uint64_t capacity, KpxRecord* record,
                        int32_t timeoutMs) {
  if (!records || !samples || !record) return KPXRECORDS_ERR_NULL;
  if (capacity < records->length) return KPXRECORDS_ERR_BUFFER;
  const int32_t result = takeRecord(*records, *record, timeoutMs);
  if (result != KPXRECORDS_OK) return result;
  std::memcpy(samples, record->samples, size_t{record->length} * sizeof(int16_t));
  giveBack(*records, record->slot);
  record->samples = samples;
  return KPXRECORDS_OK;
}

int32_t KpxRecords_GetStatus(KpxRecords* records, KpxRecordsStatus* status) {
  if (!records || !status) return KPXRECORDS_ERR_NULL;
  KpxRecords& r = *records;
  std::lock_guard lock(r.mutex);
  *status = KpxRecordsStatus{};
  status->counts = r.counts;
  status->samplesScanned = r.samplesScanned.load(std::memory_order_relaxed);
  status->queued = static_cast<uint32_t>(r.queued.size());
  status->queueRecords = static_cast<uint32_t>(r.places.size());
  status->running = r.started && !r.ended;
  status->ended = r.ended;
  status->endReason = r.endReason;
  return KPXRECORDS_OK;
}

}  // extern "C"
