#include "virtual_boards/board.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>

#include "platform/trace.h"

namespace kpx::sim {
namespace {

namespace err = driver::error;

uint32_t loadWord(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

void storeWord(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

void storeHalf(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}

// How a paced transfer waits for its sample clock: while the clock runs,
// until `due`, the moment its data (or room for it) is there; while the
// clock is stopped, for a change of the run state, like the driver at most
// `timeout` in a row. wait() returns false once that time-out has run out.
class ClockWait {
 public:
  using Clock = SampleClock::Clock;
  explicit ClockWait(uint32_t timeoutMs) : timeout_(std::chrono::milliseconds(timeoutMs)) {}

  bool wait(std::condition_variable& changed, std::unique_lock<std::mutex>& lock,
            std::optional<Clock::time_point> due, Clock::time_point now) {
    if (due) {
      stalled_ = false;
      changed.wait_until(lock, *due);
      return true;
    }
    if (!stalled_) {
      stalled_ = true;
      stalledSince_ = now;
    }
    const auto giveUp = stalledSince_ + timeout_;
    if (now >= giveUp) return false;
    changed.wait_until(lock, giveUp);
    return true;
  }

 private:
  std::chrono::milliseconds timeout_;
  bool stalled_ = false;
  Clock::time_point stalledSince_{};
};

// A wired input as a SampleSource, so that odd reads are served bytewise.
class WiredSource : public SampleSource {
 public:
  WiredSource(WiredInput& input, std::optional<int64_t> start) : input_(input), start_(start) {}
  void fill(uint8_t* out, uint64_t first, size_t count) const override {
    input_.fill(out, first, count, start_);
  }

 private:
  WiredInput& input_;
  std::optional<int64_t> start_;
};

}  // namespace

Board::Board(BoardConfig config, TimePoint origin)
    : config_(std::move(config)),
      registers_(config_.registers),
      rxOverrun_(config_.rxOverrun),
      txUnderrun_(config_.txUnderrun),
      faultMatches_(config_.faults.size(), 0),
      adcClock_(sampleRate()),
      dacClock_(sampleRate()),
      transmit_(fifoDepthBytes()),
      origin_(origin) {
  if (config_.input.kind == BoardInput::Kind::kSource) {
    std::string reason;
    auto base = SampleSource::make(config_.signal, sampleRate(), reason);
    if (!base) base = SampleSource::silence();  // a recording gone since the check
    const bool waveform = config_.signal.kind == SignalSettings::Kind::kWaveform;
    timeline_ = std::make_unique<TimelineSource>(
        std::move(base), waveform, waveform && config_.signal.wave.waveform == KPXWAVE_NOISE);
  }
  if (config_.feedsAdc) played_ = std::make_shared<PlayedHistory>();
  // A board whose clock can become ready starts with it ready, unless the
  // configuration gives the clock register.
  if (!config_.registers.contains(reg::kClock) && config_.readyAfterReads)
    registers_[reg::kClock] = reg::kClockReady;
  // A board configured as running produces from the start.
  const auto now = SampleClock::Clock::now();
  adcClock_.restart(now, streaming());
  if (config_.realtime && streaming()) noteAdcStart(now);
  // Building a tone takes tens of milliseconds: on a real-time board that
  // must not happen in the first read, while the FIFO fills.
  if (config_.realtime && config_.input.kind == BoardInput::Kind::kSignal) source();
}

void Board::wireTo(Board& dac) {
  wired_ = std::make_unique<WiredInput>(dac.played_, config_.input.through, config_.realtime,
                                        config_.readTimeoutMs);
}

int64_t Board::timelinePositionOf(TimePoint now) const {
  const double seconds = std::chrono::duration<double>(now - origin_).count();
  return std::llround(sampleRate() * seconds);
}

void Board::noteAdcStart(TimePoint now) {
  adcStart_ = timelinePositionOf(now);
  traceTimeline(static_cast<double>(*adcStart_));
}

void Board::traceTimeline(double offset) const {
  if (!platform::trace::enabled) return;
  std::string input = "output";  // a DAC board's played samples
  if (config_.input.kind == BoardInput::Kind::kSource) input = config_.input.source;
  if (config_.input.kind == BoardInput::Kind::kDac)
    input = "dac " + std::to_string(config_.input.dac);
  if (config_.input.kind == BoardInput::Kind::kSignal && !played_) return;
  platform::trace::timeline(config_.device, input.c_str(), offset, config_.clockPpm);
}

std::optional<FaultRule> Board::takeFault(std::string_view op) {
  if (config_.faults.empty()) return std::nullopt;
  std::lock_guard lock(mutex_);
  std::optional<FaultRule> fired;
  for (size_t i = 0; i < config_.faults.size(); ++i) {
    const FaultRule& rule = config_.faults[i];
    if (rule.op != op) continue;
    const uint32_t seen = faultMatches_[i];
    if (seen != UINT32_MAX) ++faultMatches_[i];
    const bool inWindow = seen >= rule.skip && (!rule.count || seen - rule.skip < *rule.count);
    if (inWindow && !fired) fired = rule;
  }
  return fired;
}

void Board::applyFaultCounters(const FaultRule& rule) {
  std::lock_guard lock(mutex_);
  rxOverrun_ += rule.rxOverrun;
  txUnderrun_ += rule.txUnderrun;
}

// ---- Registers ---------------------------------------------------------

uint32_t Board::visibleRegister(uint32_t offset) const {
  const auto found = registers_.find(offset);
  uint32_t value = found == registers_.end() ? 0 : found->second;
  if (offset == reg::kSequenceState)
    value = (value & ~3u) | (sequence_.active ? reg::kSequenceStateRunning : 0u);
  return value;
}

uint32_t Board::readRegister(uint32_t offset) {
  switch (offset) {
    case reg::kClock: {
      uint32_t& clock = registers_[offset];
      if (clockReady_.finishesOnRead()) clock |= reg::kClockReady;
      if (synthBusy_.finishesOnRead()) {
        clock &= ~reg::kClockBusy;
        synthesizerProgrammed_ = true;
      }
      break;
    }
    case reg::kTableControl:
      if (tableBusy_.finishesOnRead()) registers_[offset] &= ~reg::kTableBusy;
      break;
    case reg::kSequenceStatus:
      if (sequence_.finishesOnRead()) {
        uint32_t& status = registers_[offset];
        status = (status & ~reg::kSequenceCodeMask) | static_cast<uint32_t>(config_.sequenceResult)
                                                          << reg::kSequenceCodeShift;
      }
      break;
    default:
      break;
  }
  return visibleRegister(offset);
}

void Board::writeRegister(uint32_t offset, uint32_t value) {
  const uint32_t old = visibleRegister(offset);
  switch (offset) {
    case reg::kClock: {
      // Ready is a status bit: the board, not the writer, decides it.
      value = (value & ~reg::kClockReady) | (old & reg::kClockReady);
      if (!(old & reg::kClockReset) && (value & reg::kClockReset)) {
        value &= ~reg::kClockReady;
        clockReady_.start(config_.readyAfterReads);
      }
      const uint32_t startBits = reg::kClockSynthStart | reg::kClockBusy;
      if ((value & startBits) == startBits && (old & startBits) != startBits)
        synthBusy_.start(config_.busyReads);
      if (synthBusy_.active) value |= reg::kClockBusy;
      break;
    }
    case reg::kTableControl:
      if ((value & reg::kTableBusy) && !(old & reg::kTableBusy))
        tableBusy_.start(config_.tableBusyReads);
      if (tableBusy_.active) value |= reg::kTableBusy;
      break;
    case reg::kSequenceStatus:
      if ((value & reg::kSequenceStart) && !(old & reg::kSequenceStart))
        sequence_.start(config_.sequenceReads);
      if (sequence_.active)
        value = (value & ~reg::kSequenceCodeMask) | reg::kSequenceRunningCode
                                                        << reg::kSequenceCodeShift;
      break;
    default:
      break;
  }
  registers_[offset] = value;
  if (offset == reg::kClock || offset == reg::kRun) changed_.notify_all();
}

bool Board::streaming() const {
  return (visibleRegister(reg::kRun) & reg::kRunBit) &&
         (visibleRegister(reg::kClock) & reg::kClockReady);
}

void Board::followRunState() {
  if (!config_.realtime) return;
  const bool running = streaming();
  if (running == adcClock_.running()) return;
  const auto now = SampleClock::Clock::now();
  adcClock_.setRunning(running, now);
  // The first start since the reset places sample 0 on the timeline.
  if (running && !adcStart_) noteAdcStart(now);
  changed_.notify_all();
}

// ---- Control requests ---------------------------------------------------

void Board::fillDebugSnapshot(uint8_t* out) const {
  // Every field gets its own value, made from its offset, so that a field
  // copied to the wrong place shows at once.
  for (int at : {0, 2, 6, 24, 26, 28, 30}) storeHalf(out + at, static_cast<uint16_t>(0x1600 + at));
  out[4] = 0xA4;  // the two unused bytes
  out[5] = 0xA5;
  for (int at : {8, 12, 16, 20, 36}) storeWord(out + at, 0x32000000u + static_cast<uint32_t>(at));
  out[32] = 0x80 + 32;
  out[33] = 0x80 + 33;
  out[34] = 0xEE;  // reserved
  out[35] = 0xEF;
  // The last word counts the V360 resets.
  storeWord(out + 40, 0x32000000u + 40 + v360Resets_);
}

uint32_t Board::control(Handle handle, uint32_t code, const uint8_t* in, uint32_t inLength,
                        uint8_t* out, uint32_t outLength, uint32_t& returned) {
  using namespace driver;
  // FPGA memory moves large blocks; it has its own lock so register requests
  // do not wait for it.
  if (code == IOCTL_READ_FPGA_MEM || code == IOCTL_WRITE_FPGA_MEM) {
    const uint32_t address = loadWord(in);
    const uint32_t remaining = loadWord(in + 4);
    // The count still to move includes this chunk.
    if (remaining < outLength) return err::kInvalidParameter;
    if (code == IOCTL_READ_FPGA_MEM)
      memory_.read(address, out, outLength);
    else
      memory_.write(address, out, outLength);
    std::lock_guard lock(mutex_);
    ++profiling_.controls;
    returned = outLength;
    return 0;
  }

  std::lock_guard lock(mutex_);
  returned = outLength;
  switch (code) {
    case IOCTL_SET_FPGA_BITSTREAM:
      loadedPart_ = partNameFromBitImage(in + 4, inLength - 4);
      fpgaConfigured_ = true;
      storeWord(out, config_.bitstreamResult);
      break;
    case IOCTL_GET_BOARD_ID:
      std::copy(config_.ident.begin(), config_.ident.end(), out);
      out[5] = static_cast<uint8_t>(config_.boardId);
      break;
    case IOCTL_GET_HSREG:
      // A read can complete the clock's ready handshake.
      storeWord(out, readRegister(loadWord(in)));
      followRunState();
      break;
    case IOCTL_WRITE_SET_HSREG:
      writeRegister(loadWord(in), loadWord(in + 4));
      followRunState();
      storeWord(out, loadWord(in + 4));
      break;
    case IOCTL_TALVO_PRELOAD_WRITE:
      returned = loadWord(in);
      break;
    case IOCTL_GET_TALVO_ERROR:
      storeWord(out, rxOverrun_);
      storeWord(out + 4, txUnderrun_);
      break;
    case IOCTL_TALVO_RESET:
      channelPosition_ = 0;
      announcedWords_.reset();
      rxOverrun_ = txUnderrun_ = 0;
      if (config_.realtime) resetRealtimeChannel();
      if (wired_) wired_->reset();
      if (played_) played_->reset();
      if (!config_.realtime && config_.input.kind != BoardInput::Kind::kSignal)
        traceTimeline(config_.timelineOffset);
      break;
    case IOCTL_TALVO_FLOWCONTROL:
      flowControl_ = {in[0], in[1]};
      break;
    case IOCTL_GET_PROFILING: {
      const uint64_t words[5] = {profiling_.controls, profiling_.reads, profiling_.bytesRead,
                                 profiling_.writes, profiling_.bytesWritten};
      for (int i = 0; i < 5; ++i) storeWord(out + 4 * i, static_cast<uint32_t>(words[i]));
      return 0;  // the profiling requests do not count themselves
    }
    case IOCTL_RESET_PROFILING: {
      const uint8_t mask = in[0] == 0 ? 0x1F : in[0];
      uint64_t* words[5] = {&profiling_.controls, &profiling_.reads, &profiling_.bytesRead,
                            &profiling_.writes, &profiling_.bytesWritten};
      for (int i = 0; i < 5; ++i)
        if (mask & (1u << i)) *words[i] = 0;
      return 0;
    }
    case IOCTL_V360_DEBUG:
      fillDebugSnapshot(out);
      break;
    case IOCTL_LOCK_BOARD:
      if (lockOwner_ != 0 && lockOwner_ != handle) return err::kBusy;
      lockOwner_ = handle;
      break;
    case IOCTL_UNLOCK_BOARD:
      if (lockOwner_ == 0) return err::kNotLocked;
      if (lockOwner_ != handle) return err::kBusy;
      lockOwner_ = 0;
      break;
    case IOCTL_GET_BOARD_STATUS:
      out[0] = static_cast<uint8_t>(config_.status | (fpgaConfigured_ ? kStatusFpgaConfigured : 0));
      break;
    case IOCTL_V360_RESET:
      ++v360Resets_;
      break;
    case IOCTL_GET_FIXED_CLOCK:
      out[0] = config_.fixedClock;
      break;
    case IOCTL_SET_TRANSFER_WORDS:
      announcedWords_ = loadWord(in);
      break;
    default:
      return err::kInvalidFunction;
  }
  ++profiling_.controls;
  return 0;
}

// ---- Streaming ----------------------------------------------------------

uint32_t Board::readLength(uint32_t length, std::optional<uint32_t> cap) const {
  uint32_t count = length;
  if (announcedWords_)
    count = static_cast<uint32_t>(std::min<uint64_t>(count, uint64_t{*announcedWords_} * 4));
  if (cap) count = std::min(count, *cap);
  return count;
}

uint32_t Board::read(uint8_t* buffer, uint32_t length, std::optional<uint32_t> cap,
                     uint32_t& moved) {
  if (config_.realtime) {
    // The FIFO is accounted once per read, with the announcement as the read
    // starts (a failed read leaves it).
    uint32_t count;
    {
      std::lock_guard lock(mutex_);
      count = readLength(length, cap);
    }
    return readPaced(buffer, count, moved);
  }
  std::unique_lock lock(mutex_);
  if (!cap && !streaming()) {
    // Like the driver, wait a little for data before giving up.
    const auto timeout = std::chrono::milliseconds(config_.readTimeoutMs);
    if (!changed_.wait_for(lock, timeout, [this] { return streaming(); })) return err::kSemTimeout;
  }
  const uint32_t count = readLength(length, cap);
  // A wired ADC waits for the DAC samples its read needs; when they do not
  // come in time the read fails as the driver's times out, and leaves the
  // channel where it was (zeros in their place would be lost data passed
  // off as good).
  for (uint64_t end = 0; wired_ && channelPosition_ + count > end;) {
    end = channelPosition_ + count;
    lock.unlock();
    const bool ready = wired_->awaitDac((end + 1) / 2);
    lock.lock();
    if (!ready) return err::kSemTimeout;
  }
  announcedWords_.reset();
  const uint64_t position = channelPosition_;
  channelPosition_ += count;
  ++profiling_.reads;
  profiling_.bytesRead += count;
  lock.unlock();
  // The range is reserved; the samples are a function of their index, so
  // they are made without the lock.
  deliver(buffer, position, count, std::nullopt);
  moved = count;
  return 0;
}

uint32_t Board::readPaced(uint8_t* buffer, uint32_t count, uint32_t& moved) {
  using Clock = SampleClock::Clock;
  std::lock_guard reader(readerMutex_);
  std::unique_lock lock(mutex_);
  ClockWait waiting(config_.readTimeoutMs);
  std::optional<uint64_t> accountedAtReset;  // resets_ when the FIFO was last accounted
  uint64_t end = 0;
  for (;;) {
    const auto now = Clock::now();
    if (accountedAtReset != resets_) {
      // What the clock produced since the last read joins the FIFO; beyond
      // its depth the oldest words are lost, so the read starts after the gap.
      const uint64_t lost =
          dropOverflow(channelPosition_, adcClock_.bytesAt(now), fifoDepthBytes());
      rxOverrun_ += static_cast<uint32_t>(lost);  // the counter wraps as the board's does
      end = channelPosition_ + count;
      accountedAtReset = resets_;
    }
    // Samples produced while the read waits are taken by it at once, so the
    // FIFO cannot overflow during a read.
    const auto due = adcClock_.timeOfBytes(end, now);
    if (due && *due <= now) break;
    if (!waiting.wait(changed_, lock, due, now)) return err::kSemTimeout;
  }
  announcedWords_.reset();
  const uint64_t position = channelPosition_;
  channelPosition_ = end;
  ++profiling_.reads;
  profiling_.bytesRead += count;
  const std::optional<int64_t> start = adcStart_;
  lock.unlock();
  deliver(buffer, position, count, start);
  moved = count;
  return 0;
}

uint32_t Board::write(const uint8_t* data, uint32_t length, std::optional<uint32_t> cap,
                      uint32_t& moved) {
  const uint32_t count = cap ? std::min(length, *cap) : length;
  if (config_.realtime && driver::isDacBoardId(config_.boardId))
    return writePaced(data, count, moved);
  std::lock_guard lock(mutex_);
  if (const uint32_t error = record(0, data, count)) return error;
  if (played_) played_->append(data, count);
  moved = count;
  ++profiling_.writes;
  profiling_.bytesWritten += moved;
  return 0;
}

uint32_t Board::writePaced(const uint8_t* data, uint32_t count, uint32_t& moved) {
  using Clock = SampleClock::Clock;
  std::lock_guard writer(writerMutex_);
  std::unique_lock lock(mutex_);
  ClockWait waiting(config_.readTimeoutMs);
  uint64_t remaining = count;
  for (;;) {
    const auto now = Clock::now();
    if (dacArmed_) {
      dacClock_.restart(now, true);
      dacArmed_ = false;
      dacStart_ = timelinePositionOf(now);
      if (played_) {
        played_->setStart(*dacStart_);
        traceTimeline(static_cast<double>(*dacStart_));
      }
    }
    // The words the clock wanted since the last write, and found missing.
    const uint64_t missing = transmit_.settle(dacClock_.bytesAt(now));
    txUnderrun_ += static_cast<uint32_t>(missing);
    const uint64_t put = std::min(remaining, transmit_.space());
    transmit_.put(put);
    // The file follows the DAC's time line: the idle output the clock played
    // for the missing words, then the data, which plays after what is queued.
    if (const uint32_t error = record(missing, data + (count - remaining), put)) return error;
    if (played_) {
      played_->appendZeros(missing * (kWordBytes / 2));
      played_->append(data + (count - remaining), put);
    }
    remaining -= put;
    if (remaining == 0) break;
    // The FIFO is full: wait until the clock has taken out room for the rest.
    const uint64_t room = std::min(remaining, fifoDepthBytes());
    const auto due = dacClock_.timeOfBytes(transmit_.demanded() + room, now);
    if (!waiting.wait(changed_, lock, due, now)) {
      // Nothing drains before the first channel reset: after the time-out
      // the write ends with what fitted, or fails when nothing did.
      if (remaining == count) return err::kSemTimeout;
      break;
    }
  }
  moved = static_cast<uint32_t>(count - remaining);
  ++profiling_.writes;
  profiling_.bytesWritten += moved;
  return 0;
}

uint32_t Board::record(uint64_t idleWords, const uint8_t* data, uint64_t count) {
  if (!config_.output) return 0;
  static constexpr uint8_t kIdle[4096] = {};
  const platform::FileHandle file = config_.output->handle;
  std::string reason;
  bool diskFull = false;
  bool written = true;
  for (uint64_t idle = idleWords * kWordBytes; written && idle > 0;) {
    const uint64_t run = std::min<uint64_t>(idle, sizeof kIdle);
    written = platform::writeFile(file, kIdle, static_cast<size_t>(run), reason, diskFull);
    idle -= run;
  }
  if (written)
    written = platform::writeFile(file, data, static_cast<size_t>(count), reason, diskFull);
  if (written) return 0;
  // The write fails as the driver's would: the program sees it.
  if (!outputFailed_) {
    outputFailed_ = true;
    std::fprintf(stderr, "kpxadac: virtual board %d: output_file \"%s\": %s\n", config_.device,
                 config_.output->path.c_str(), reason.c_str());
  }
  return diskFull ? err::kDiskFull : err::kWriteFault;
}

void Board::resetRealtimeChannel() {
  const auto now = SampleClock::Clock::now();
  adcClock_.restart(now, streaming());
  adcStart_.reset();
  dacStart_.reset();
  if (streaming()) noteAdcStart(now);
  dacClock_.restart(now, false);
  dacArmed_ = driver::isDacBoardId(config_.boardId);
  transmit_.clear();
  ++resets_;
  changed_.notify_all();
}

void Board::handleClosed(Handle handle) {
  std::lock_guard lock(mutex_);
  if (lockOwner_ == handle) lockOwner_ = 0;
}

const SampleSource& Board::source() {
  std::call_once(sourceOnce_, [this] {
    std::string reason;
    source_ = SampleSource::make(config_.signal, sampleRate(), reason);
    // The configuration was checked; a recording gone since then reads as
    // zeros.
    if (!source_) source_ = SampleSource::silence();
  });
  return *source_;
}

void Board::deliver(uint8_t* buffer, uint64_t position, uint32_t count,
                    std::optional<int64_t> start) {
  if (timeline_) {
    Placement place{config_.timelineOffset, config_.clockPpm};
    if (config_.realtime) place = {static_cast<double>(start.value_or(0)), 0};
    PlacedSource(*timeline_, place).fillBytes(buffer, position, count);
  } else if (wired_) {
    WiredSource(*wired_, start).fillBytes(buffer, position, count);
  } else {
    source().fillBytes(buffer, position, count);
  }
}

// ---- Test hooks ---------------------------------------------------------

int16_t Board::sampleAt(uint64_t index) {
  std::optional<int64_t> start;
  {
    std::lock_guard lock(mutex_);
    start = adcStart_;
  }
  // As a read would, after the wait for its DAC; missing samples read 0.
  if (wired_) wired_->awaitDac(index + 1);
  uint8_t pair[2];
  deliver(pair, index * 2, 2, start);
  return static_cast<int16_t>(static_cast<uint16_t>(pair[0] | (pair[1] << 8)));
}

double Board::timelineOffset() {
  std::lock_guard lock(mutex_);
  if (!config_.realtime) return config_.timelineOffset;
  const auto& start = driver::isDacBoardId(config_.boardId) ? dacStart_ : adcStart_;
  return start ? static_cast<double>(*start) : std::numeric_limits<double>::quiet_NaN();
}

uint32_t Board::peek(uint32_t offset) {
  std::lock_guard lock(mutex_);
  return visibleRegister(offset);
}

void Board::poke(uint32_t offset, uint32_t value) {
  std::lock_guard lock(mutex_);
  // A poke sets the state outright: any handshake in progress on that
  // register is over.
  switch (offset) {
    case reg::kClock:
      clockReady_.active = synthBusy_.active = false;
      break;
    case reg::kTableControl:
      tableBusy_.active = false;
      break;
    case reg::kSequenceStatus:
      sequence_.active = false;
      break;
    default:
      break;
  }
  registers_[offset] = value;
  followRunState();
  changed_.notify_all();
}

std::string Board::loadedPart() {
  std::lock_guard lock(mutex_);
  return loadedPart_;
}

bool Board::fpgaConfigured() {
  std::lock_guard lock(mutex_);
  return fpgaConfigured_;
}

bool Board::isLocked() {
  std::lock_guard lock(mutex_);
  return lockOwner_ != 0;
}

bool Board::synthesizerProgrammed() {
  std::lock_guard lock(mutex_);
  return synthesizerProgrammed_;
}

double Board::sampleRate() const {
  return config_.fixedClock != 0 ? config_.fixedClockRateHz : config_.synthesizerRateHz;
}

uint64_t Board::channelSampleIndex() {
  std::lock_guard lock(mutex_);
  return channelPosition_ / 2;
}

}  // namespace kpx::sim
