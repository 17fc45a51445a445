// The streams of a KPX-ADAC device, on the library's acquisition API: the
// stream's own thread reads (or writes) the board block by block and counts
// the gaps; this file hands those blocks out, converting the samples to the
// format asked for.
//
// Receive: readStream and acquireReadBuffer take the blocks in order. A
// block with a gap before it is answered first with SOAPY_SDR_OVERFLOW,
// once; the next call hands the block out, its time showing the jump.
#include <SoapySDR/Formats.hpp>
#include <SoapySDR/Logger.hpp>
#include <SoapySDR/Time.hpp>
#include <algorithm>
#include <bit>
#include <chrono>
#include <cmath>
#include <cstring>
#include <optional>
#include <stdexcept>
#include <thread>

#include "SoapyKpxadac.hpp"

namespace kpxsoapy {

namespace {

enum class Format { kCS16, kCF32, kS16, kF32 };

constexpr uint32_t kDefaultBlockBytes = 1u << 20;  // 512 Ki samples, 5 ms at 105 MHz
constexpr uint32_t kDefaultBlockCount = 32;
constexpr float kFullScale = 32768.0f;

struct FormatName {
  Format format;
  const char* name;
};
constexpr FormatName kFormats[] = {{Format::kCS16, SOAPY_SDR_CS16},
                                   {Format::kCF32, SOAPY_SDR_CF32},
                                   {Format::kS16, SOAPY_SDR_S16},
                                   {Format::kF32, SOAPY_SDR_F32}};

Format parseFormat(const std::string& name) {
  for (const auto& f : kFormats)
    if (name == f.name) return f.format;
  throw std::invalid_argument("kpxadac: stream format '" + name +
                              "' not supported; the formats are CS16, CF32, S16 and F32");
}

// The value of a whole-number stream argument, within [low, high].
uint32_t numberArgument(const SoapySDR::Kwargs& args, const char* key, uint32_t fallback,
                        uint32_t low, uint32_t high) {
  const auto it = args.find(key);
  if (it == args.end()) return fallback;
  unsigned long long value = 0;
  size_t used = 0;
  try {
    value = std::stoull(it->second, &used, 0);
  } catch (const std::exception&) {
    used = 0;
  }
  if (used == 0 || used != it->second.size() || value < low || value > high)
    throw std::invalid_argument(std::string("kpxadac: stream argument ") + key + "=" + it->second +
                                " out of range " + std::to_string(low) + " to " +
                                std::to_string(high));
  return static_cast<uint32_t>(value);
}

const char* boardErrorText(BoardError error) {
  const char* text = KpxBoard_ErrorText(error);
  return text ? text : "unknown reason";
}

int32_t timeoutMs(long timeoutUs) {
  if (timeoutUs <= 0) return 0;
  return static_cast<int32_t>(std::min<long>((timeoutUs + 999) / 1000, INT32_MAX));
}

// An inactive or ended stream answers as a quiet one does: after the
// time-out, with a time-out.
int idleTimeout(long timeoutUs) {
  if (timeoutUs > 0) std::this_thread::sleep_for(std::chrono::microseconds(timeoutUs));
  return SOAPY_SDR_TIMEOUT;
}

void convertReceived(Format format, const int16_t* in, void* out, size_t offset, size_t count) {
  switch (format) {
    case Format::kS16:
      std::memcpy(static_cast<int16_t*>(out) + offset, in, count * sizeof(int16_t));
      break;
    case Format::kCS16: {
      // One 32-bit word per element, I in its low half: the compiler turns
      // this into wide zero-extending moves.
      static_assert(std::endian::native == std::endian::little);
      uint32_t* iq = static_cast<uint32_t*>(out) + offset;
      for (size_t i = 0; i < count; ++i) iq[i] = static_cast<uint16_t>(in[i]);
      break;
    }
    case Format::kF32: {
      float* real = static_cast<float*>(out) + offset;
      for (size_t i = 0; i < count; ++i) real[i] = in[i] * (1.0f / kFullScale);
      break;
    }
    case Format::kCF32: {
      float* iq = static_cast<float*>(out) + 2 * offset;
      for (size_t i = 0; i < count; ++i) {
        iq[2 * i] = in[i] * (1.0f / kFullScale);
        iq[2 * i + 1] = 0.0f;
      }
      break;
    }
  }
}

int16_t fromFloat(float value) {
  const float scaled = std::nearbyint(value * kFullScale);
  return static_cast<int16_t>(std::clamp(scaled, -32768.0f, 32767.0f));
}

// Transmit: the real part of complex formats goes to the DAC.
void convertTransmitted(Format format, const void* in, int16_t* out, size_t count) {
  switch (format) {
    case Format::kS16:
      std::memcpy(out, in, count * sizeof(int16_t));
      break;
    case Format::kCS16:
      for (size_t i = 0; i < count; ++i) out[i] = static_cast<const int16_t*>(in)[2 * i];
      break;
    case Format::kF32:
      for (size_t i = 0; i < count; ++i) out[i] = fromFloat(static_cast<const float*>(in)[i]);
      break;
    case Format::kCF32:
      for (size_t i = 0; i < count; ++i) out[i] = fromFloat(static_cast<const float*>(in)[2 * i]);
      break;
  }
}

uint32_t samplesIn(const KpxStreamBlock& block) {
  return block.bytes / static_cast<uint32_t>(sizeof(int16_t));
}

}  // namespace

class BoardStream {
 public:
  int direction = SOAPY_SDR_RX;
  Format format = Format::kCS16;
  uint32_t blockBytes = kDefaultBlockBytes;
  uint32_t blockCount = kDefaultBlockCount;
  int device = 0;
  double rate = 0;              // as activated
  KpxStream* stream = nullptr;  // the running stream, while active
  // Opened with no set-up and not started: holds the board's claim while the
  // stream is set up but not active. Activation starts it.
  KpxStream* claim = nullptr;

  // Receive: the block being read out, from sample `used` on, and the one
  // after it when it has been taken from the ring already (before a gap).
  std::optional<KpxStreamBlock> current;
  uint32_t used = 0;
  std::optional<KpxStreamBlock> next;
  bool gapReported = false;                           // the gap before `next` was answered
  std::vector<std::optional<KpxStreamBlock>> direct;  // held by acquireReadBuffer, by handle

  uint64_t underrunsReported = 0;  // transmit
  // Transmit: the board moves sample pairs; an odd sample at the end of a
  // write waits here for the next one.
  std::optional<int16_t> carried;
  bool endLogged = false;

  long long timeOf(uint64_t index) const {
    return SoapySDR::ticksToTimeNs(static_cast<long long>(index), rate);
  }

  // Gives every held block back (they become invalid when the stream closes).
  void dropBlocks() {
    if (current) KpxStream_ReleaseRead(stream, &*current);
    if (next) KpxStream_ReleaseRead(stream, &*next);
    for (auto& block : direct)
      if (block) KpxStream_ReleaseRead(stream, &*block);
    current.reset();
    next.reset();
    direct.assign(direct.size(), std::nullopt);
  }

  // What an acquire's outcome other than a block means to the caller.
  int ended(int32_t result, long timeoutUs) {
    if (result == KPXSTREAM_TIMEOUT) return SOAPY_SDR_TIMEOUT;
    if (result == KPXSTREAM_STOPPED || result == KPXSTREAM_COMPLETE) return idleTimeout(timeoutUs);
    if (!endLogged) {
      endLogged = true;
      KpxStreamStatus status{};
      KpxStream_GetStatus(stream, &status);
      if (result == KPXSTREAM_BOARD_FAILED)
        SoapySDR::logf(SOAPY_SDR_ERROR,
                       "kpxadac: device %d: the stream ended: a board %s failed (%s, "
                       "platform error %u)",
                       device, direction == SOAPY_SDR_RX ? "read" : "write",
                       boardErrorText(status.boardError), status.platformError);
      else
        SoapySDR::logf(SOAPY_SDR_ERROR, "kpxadac: device %d: stream refused: %s", device,
                       KpxStream_ResultText(result));
    }
    return SOAPY_SDR_STREAM_ERROR;
  }

  // Makes the next block of the ring `current`. A gap before it is
  // answered first with SOAPY_SDR_OVERFLOW when `reportGap`, and with
  // SOAPY_SDR_TIMEOUT (nothing contiguous yet) when not.
  int takeBlock(long timeoutUs, bool reportGap) {
    if (!next) {
      KpxStreamBlock block{};
      const int32_t result = KpxStream_AcquireRead(stream, &block, timeoutMs(timeoutUs));
      if (result != KPXSTREAM_OK) return ended(result, timeoutUs);
      next = block;
      gapReported = false;
    }
    if (next->lostBefore > 0 && !gapReported) {
      if (!reportGap) return SOAPY_SDR_TIMEOUT;
      gapReported = true;
      return SOAPY_SDR_OVERFLOW;
    }
    current = next;
    next.reset();
    used = 0;
    return 0;
  }

  void finishCurrentIfRead() {
    if (current && used >= samplesIn(*current)) {
      KpxStream_ReleaseRead(stream, &*current);
      current.reset();
    }
  }
};

BoardStream& SoapyKpxadac::streamOf(SoapySDR::Stream* stream) const {
  auto* own = reinterpret_cast<BoardStream*>(stream);
  if (!own || own != stream_) throw std::invalid_argument("kpxadac: not a stream of this device");
  return *own;
}

std::vector<std::string> SoapyKpxadac::getStreamFormats(int direction, size_t channel) const {
  checkChannel(direction, channel);
  std::vector<std::string> names;
  for (const auto& f : kFormats) names.push_back(f.name);
  return names;
}

std::string SoapyKpxadac::getNativeStreamFormat(int direction, size_t channel,
                                                double& fullScale) const {
  checkChannel(direction, channel);
  fullScale = kFullScale;
  return SOAPY_SDR_S16;
}

SoapySDR::ArgInfoList SoapyKpxadac::getStreamArgsInfo(int direction, size_t channel) const {
  checkChannel(direction, channel);
  SoapySDR::ArgInfo blockBytes;
  blockBytes.key = "block_bytes";
  blockBytes.value = std::to_string(kDefaultBlockBytes);
  blockBytes.name = "Block size";
  blockBytes.description = "bytes per board transfer and per block of the ring (a multiple of 4)";
  blockBytes.units = "bytes";
  blockBytes.type = SoapySDR::ArgInfo::INT;
  blockBytes.range = SoapySDR::Range(4, TALVO_MAX_CHUNK, 4);
  SoapySDR::ArgInfo blocks;
  blocks.key = "blocks";
  blocks.value = std::to_string(kDefaultBlockCount);
  blocks.name = "Blocks";
  blocks.description = "blocks in the ring between the board and the application";
  blocks.type = SoapySDR::ArgInfo::INT;
  blocks.range = SoapySDR::Range(2, 65536, 1);
  return {blockBytes, blocks};
}

SoapySDR::Stream* SoapyKpxadac::setupStream(int direction, const std::string& format,
                                            const std::vector<size_t>& channels,
                                            const SoapySDR::Kwargs& args) {
  if (channels.size() > 1)
    throw std::invalid_argument("kpxadac: one channel per stream; the board has channel 0 only");
  checkChannel(direction, channels.empty() ? 0 : channels.front());
  // Keys with a prefix belong to a layer in between, such as SoapyRemote's
  // "remote:mtu", which SoapyRemote hands on to the device as it is.
  for (const auto& [key, value] : args)
    if (key != "block_bytes" && key != "blocks" && key.find(':') == std::string::npos)
      throw std::invalid_argument("kpxadac: unknown stream argument '" + key +
                                  "'; the arguments are block_bytes and blocks");

  auto stream = std::make_unique<BoardStream>();
  stream->direction = direction;
  stream->format = parseFormat(format);
  stream->blockBytes = numberArgument(args, "block_bytes", kDefaultBlockBytes, 4, TALVO_MAX_CHUNK);
  if (stream->blockBytes % 4 != 0)
    throw std::invalid_argument("kpxadac: block_bytes must be a multiple of 4");
  stream->blockCount = numberArgument(args, "blocks", kDefaultBlockCount, 2, 65536);
  stream->device = board_.device;
  stream->direct.resize(stream->blockCount);

  std::lock_guard<std::mutex> lock(mutex_);
  const int32_t result = stream_ ? KPXSTREAM_ERR_BOARD_BUSY : claimBoard(*stream);
  if (result == KPXSTREAM_ERR_BOARD_BUSY)
    throw std::runtime_error("kpxadac: device " + std::to_string(board_.device) +
                             " already has a stream; close it first");
  if (result != KPXSTREAM_OK)
    throw std::runtime_error("kpxadac: device " + std::to_string(board_.device) +
                             ": the stream cannot be set up: " + KpxStream_ResultText(result));
  stream_ = stream.release();
  return reinterpret_cast<SoapySDR::Stream*>(stream_);
}

int32_t SoapyKpxadac::claimBoard(BoardStream& own) const {
  KpxStreamConfig config{};
  config.board = board_.handle;
  config.direction = own.direction == SOAPY_SDR_RX ? KPXSTREAM_RECEIVE : KPXSTREAM_TRANSMIT;
  config.blockBytes = own.blockBytes;
  config.blockCount = own.blockCount;
  config.setup = KPXSTREAM_SETUP_NONE;
  return KpxStream_Open(&config, &own.claim);
}

void SoapyKpxadac::closeStream(SoapySDR::Stream* stream) {
  BoardStream& own = streamOf(stream);
  deactivateStream(stream, 0, 0);
  KpxStream_Close(own.claim);
  std::lock_guard<std::mutex> lock(mutex_);
  stream_ = nullptr;
  delete &own;
}

size_t SoapyKpxadac::getStreamMTU(SoapySDR::Stream* stream) const {
  return streamOf(stream).blockBytes / sizeof(int16_t);
}

int SoapyKpxadac::activateStream(SoapySDR::Stream* stream, int flags, long long, size_t numElems) {
  BoardStream& own = streamOf(stream);
  if (own.stream) return 0;
  if (flags & SOAPY_SDR_HAS_TIME) return SOAPY_SDR_NOT_SUPPORTED;  // no timed start
  // A stream whose claim was lost to another user of the board since the
  // last deactivation claims it again.
  int32_t result = own.claim ? KPXSTREAM_OK : claimBoard(own);
  int32_t clock = KPXBOARD_CLOCK_UNKNOWN;
  {
    // The clock is taken now and holds until the stream is deactivated.
    std::lock_guard<std::mutex> lock(mutex_);
    clock = synthesizer_ ? KPXBOARD_CLOCK_SYNTHESIZER : KPXBOARD_CLOCK_FIXED;
    streamActive_ = true;
  }
  own.rate = KpxBoard_ClockRateHz(board_.handle, clock);
  // The receive set-up in the library's steps; a DAC board only needs its
  // channel reset.
  if (result == KPXSTREAM_OK && own.direction == SOAPY_SDR_RX) {
    result = KpxBoard_SetupClock(board_.handle,
                                 clock == KPXBOARD_CLOCK_SYNTHESIZER ? KPXSTREAM_SETUP_SYNTHESIZER
                                                                     : KPXSTREAM_SETUP_FIXED_CLOCK,
                                 nullptr);
    if (result == KPXSTREAM_OK) result = KpxBoard_StartReceiving(board_.handle);
  }
  if (result == KPXSTREAM_OK) result = KpxBoard_ResetChannel(board_.handle);
  if (result == KPXSTREAM_OK)
    result = KpxStream_SetSampleLimit(own.claim, (flags & SOAPY_SDR_END_BURST) ? numElems : 0);
  if (result == KPXSTREAM_OK) result = KpxStream_Start(own.claim);
  if (result == KPXSTREAM_OK) {
    own.stream = own.claim;
    own.claim = nullptr;
  }
  if (result != KPXSTREAM_OK) {
    SoapySDR::logf(SOAPY_SDR_ERROR, "kpxadac: device %d: the stream did not start: %s",
                   board_.device, KpxStream_ResultText(result));
    std::lock_guard<std::mutex> lock(mutex_);
    streamActive_ = false;
    return SOAPY_SDR_STREAM_ERROR;
  }
  own.underrunsReported = 0;
  own.endLogged = false;
  return 0;
}

int SoapyKpxadac::deactivateStream(SoapySDR::Stream* stream, int, long long) {
  BoardStream& own = streamOf(stream);
  if (!own.stream) return 0;
  if (own.carried) {
    KpxStreamBlock block{};
    if (KpxStream_AcquireWrite(own.stream, &block, 1000) == KPXSTREAM_OK) {
      auto* samples = static_cast<int16_t*>(block.data);
      samples[0] = *own.carried;
      samples[1] = 0;
      block.bytes = 2 * sizeof(int16_t);
      KpxStream_SubmitWrite(own.stream, &block);
    }
    own.carried.reset();
  }
  KpxStream_Stop(own.stream);
  if (own.direction == SOAPY_SDR_TX) {
    // Samples that writeStream took are played: the blocks already queued
    // go to the board before the stream is closed (closing would drop them).
    KpxStreamStatus status{};
    while (KpxStream_GetStatus(own.stream, &status) == KPXSTREAM_OK && !status.ended)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  own.dropBlocks();
  KpxStream_Close(own.stream);
  own.stream = nullptr;
  // A stream starts once: a new one holds the board until the next
  // activation. Should another user take the board meanwhile, activation
  // tries again.
  claimBoard(own);
  std::lock_guard<std::mutex> lock(mutex_);
  streamActive_ = false;
  return 0;
}

int SoapyKpxadac::readStream(SoapySDR::Stream* stream, void* const* buffs, size_t numElems,
                             int& flags, long long& timeNs, long timeoutUs) {
  BoardStream& own = streamOf(stream);
  if (own.direction != SOAPY_SDR_RX) return SOAPY_SDR_NOT_SUPPORTED;
  if (!own.stream) return idleTimeout(timeoutUs);
  flags = 0;
  size_t done = 0;
  // Fills the buffer from as many blocks as are there already and follow
  // on without a gap; only the first may be waited for.
  while (done < numElems) {
    if (!own.current) {
      const int result = own.takeBlock(done == 0 ? timeoutUs : 0, done == 0);
      if (result != 0) {
        if (done == 0) return result;
        break;
      }
    }
    if (done == 0) {
      timeNs = own.timeOf(own.current->index + own.used);
      flags = SOAPY_SDR_HAS_TIME;
    }
    const size_t count = std::min<size_t>(numElems - done, samplesIn(*own.current) - own.used);
    convertReceived(own.format, static_cast<const int16_t*>(own.current->data) + own.used, buffs[0],
                    done, count);
    done += count;
    own.used += static_cast<uint32_t>(count);
    own.finishCurrentIfRead();
  }
  return static_cast<int>(done);
}

size_t SoapyKpxadac::getNumDirectAccessBuffers(SoapySDR::Stream* stream) {
  const BoardStream& own = streamOf(stream);
  return own.direction == SOAPY_SDR_RX && own.format == Format::kS16 ? own.blockCount : 0;
}

int SoapyKpxadac::acquireReadBuffer(SoapySDR::Stream* stream, size_t& handle, const void** buffs,
                                    int& flags, long long& timeNs, long timeoutUs) {
  BoardStream& own = streamOf(stream);
  if (own.direction != SOAPY_SDR_RX || own.format != Format::kS16) return SOAPY_SDR_NOT_SUPPORTED;
  if (!own.stream) return idleTimeout(timeoutUs);
  if (!own.current) {
    const int result = own.takeBlock(timeoutUs, true);
    if (result != 0) return result;
  }
  const auto slot = std::find(own.direct.begin(), own.direct.end(), std::nullopt);
  if (slot == own.direct.end()) return SOAPY_SDR_TIMEOUT;  // cannot happen: as many as the ring
  handle = static_cast<size_t>(slot - own.direct.begin());
  // A block partly read by readStream is handed out from where it stopped.
  buffs[0] = static_cast<const int16_t*>(own.current->data) + own.used;
  flags = SOAPY_SDR_HAS_TIME;
  timeNs = own.timeOf(own.current->index + own.used);
  const int count = static_cast<int>(samplesIn(*own.current) - own.used);
  *slot = own.current;
  own.current.reset();
  return count;
}

void SoapyKpxadac::releaseReadBuffer(SoapySDR::Stream* stream, size_t handle) {
  BoardStream& own = streamOf(stream);
  if (handle >= own.direct.size() || !own.direct[handle])
    throw std::invalid_argument("kpxadac: buffer " + std::to_string(handle) + " is not held");
  if (own.stream) KpxStream_ReleaseRead(own.stream, &*own.direct[handle]);
  own.direct[handle].reset();
}

int SoapyKpxadac::writeStream(SoapySDR::Stream* stream, const void* const* buffs, size_t numElems,
                              int& flags, long long, long timeoutUs) {
  BoardStream& own = streamOf(stream);
  if (own.direction != SOAPY_SDR_TX) return SOAPY_SDR_NOT_SUPPORTED;
  if (!own.stream) return idleTimeout(timeoutUs);
  flags = 0;
  if (numElems == 0) return 0;
  KpxStreamBlock block{};
  const int32_t result = KpxStream_AcquireWrite(own.stream, &block, timeoutMs(timeoutUs));
  if (result != KPXSTREAM_OK) return own.ended(result, timeoutUs);
  auto* samples = static_cast<int16_t*>(block.data);
  // The board moves whole 32-bit words. A count that would leave an odd
  // sample takes one less (the caller offers it again); a lone sample is
  // kept and goes first in the next call, so the stream stays unbroken
  // (deactivation sends one still kept with a 0 after it).
  const size_t first = own.carried ? 1 : 0;
  if (own.carried) samples[0] = *own.carried;
  size_t taken = std::min<size_t>(numElems, block.capacity / sizeof(int16_t) - first);
  if ((first + taken) % 2 != 0 && taken > 1) --taken;
  convertTransmitted(own.format, buffs[0], samples + first, taken);
  size_t sent = first + taken;
  own.carried.reset();
  if (sent % 2 != 0) own.carried = samples[--sent];
  block.bytes = static_cast<uint32_t>(sent * sizeof(int16_t));  // 0 gives the block back
  const int32_t submitted = KpxStream_SubmitWrite(own.stream, &block);
  if (submitted != KPXSTREAM_OK) return own.ended(submitted, 0);
  return static_cast<int>(taken);
}

int SoapyKpxadac::readStreamStatus(SoapySDR::Stream* stream, size_t& chanMask, int& flags,
                                   long long& timeNs, long timeoutUs) {
  BoardStream& own = streamOf(stream);
  if (own.direction != SOAPY_SDR_TX) return SOAPY_SDR_NOT_SUPPORTED;
  if (!own.stream) return idleTimeout(timeoutUs);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::microseconds(timeoutUs);
  while (true) {
    KpxStreamStatus status{};
    KpxStream_GetStatus(own.stream, &status);
    if (status.underrunEvents > own.underrunsReported) {
      own.underrunsReported = status.underrunEvents;
      chanMask = 1;
      flags = 0;
      timeNs = 0;
      return SOAPY_SDR_UNDERFLOW;
    }
    if (status.endReason == KPXSTREAM_END_BOARD_FAILED) return own.ended(KPXSTREAM_BOARD_FAILED, 0);
    if (std::chrono::steady_clock::now() >= deadline) return SOAPY_SDR_TIMEOUT;
    // The counters move only as blocks are written; polling at a fine grain
    // gains nothing.
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

}  // namespace kpxsoapy
