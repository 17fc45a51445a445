// The kpxadac module through SoapySDR's C++ API, loaded as every client
// loads it (from SOAPY_SDR_PLUGIN_PATH), on the rack of
// module_test_rack.json: device 0 a ramp, device 1 a real-time DAC at 100 kHz,
// device 2 a ramp whose fourth board read fails.
#include <SoapySDR/Device.hpp>
#include <SoapySDR/Errors.hpp>
#include <SoapySDR/Formats.hpp>
#include <SoapySDR/Logger.hpp>
#include <SoapySDR/Time.hpp>
#include <chrono>
#include <complex>
#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "gtest/gtest.h"
#include "kpxadac_board.h"
#include "kpxadac_stream.h"

namespace {

// Before the module is loaded and the rack built.
const bool environmentSet = [] {
  setenv("SOAPY_SDR_PLUGIN_PATH", KPXADAC_SOAPY_MODULE_DIR, 1);
  setenv("KPXADAC_SIM", KPXADAC_SOAPY_TEST_RACK, 1);
  return true;
}();

constexpr double kRate = 105e6;
constexpr long kTimeoutUs = 1000000;

int16_t rampAt(long long index) {
  return static_cast<int16_t>(static_cast<uint16_t>(index));
}

struct Device {
  explicit Device(const std::string& args) : device(SoapySDR::Device::make(args)) {}
  ~Device() { SoapySDR::Device::unmake(device); }
  SoapySDR::Device* operator->() const { return device; }
  SoapySDR::Device* device;
};

struct RxStream {
  RxStream(SoapySDR::Device* owner, const std::string& format, const SoapySDR::Kwargs& args = {})
      : device(owner), stream(owner->setupStream(SOAPY_SDR_RX, format, {0}, args)) {
    owner->activateStream(stream);
  }
  ~RxStream() { device->closeStream(stream); }
  SoapySDR::Device* device;
  SoapySDR::Stream* stream;
};

long long indexOf(long long timeNs) {
  return SoapySDR::timeNsToTicks(timeNs, kRate);
}

// Reads `count` elements of a format and hands each sample (the real part)
// with its board index to `check`.
template <typename Element, typename Check>
void readAndCheck(const std::string& format, long long count, Check check) {
  Device device("driver=kpxadac,device=0");
  device->setSampleRate(SOAPY_SDR_RX, 0, kRate);
  RxStream rx(device.device, format, {{"block_bytes", "65536"}, {"blocks", "4"}});
  // Direct access hands out the board's samples as they are: S16 only.
  EXPECT_EQ(device->getNumDirectAccessBuffers(rx.stream), format == SOAPY_SDR_S16 ? 4u : 0u);
  std::vector<Element> buffer(10000);  // not a divisor of the block: reads straddle blocks
  long long next = 0;
  while (next < count) {
    void* buffs[] = {buffer.data()};
    int flags = 0;
    long long timeNs = 0;
    const int got = device->readStream(rx.stream, buffs, buffer.size(), flags, timeNs, kTimeoutUs);
    ASSERT_GT(got, 0) << SoapySDR::errToStr(got);
    ASSERT_TRUE(flags & SOAPY_SDR_HAS_TIME);
    ASSERT_EQ(indexOf(timeNs), next);
    for (int i = 0; i < got; ++i) check(buffer[static_cast<size_t>(i)], next + i);
    next += got;
  }
}

TEST(SoapyKpxadacFormats, EachFormatCarriesTheRampWithItsTime) {
  readAndCheck<std::complex<int16_t>>(SOAPY_SDR_CS16, 200000, [](auto s, long long index) {
    ASSERT_EQ(s.real(), rampAt(index));
    ASSERT_EQ(s.imag(), 0);
  });
  readAndCheck<std::complex<float>>(SOAPY_SDR_CF32, 200000, [](auto s, long long index) {
    ASSERT_EQ(s.real(), rampAt(index) / 32768.0f);
    ASSERT_EQ(s.imag(), 0.0f);
  });
  readAndCheck<int16_t>(SOAPY_SDR_S16, 200000,
                        [](auto s, long long index) { ASSERT_EQ(s, rampAt(index)); });
  readAndCheck<float>(SOAPY_SDR_F32, 200000,
                      [](auto s, long long index) { ASSERT_EQ(s, rampAt(index) / 32768.0f); });
}

TEST(SoapyKpxadacDirectAccess, BuffersAreTheRingsBlocksAndFollowOnFromReadStream) {
  Device device("driver=kpxadac,device=0");
  RxStream rx(device.device, SOAPY_SDR_S16, {{"block_bytes", "8192"}, {"blocks", "3"}});
  EXPECT_EQ(device->getStreamMTU(rx.stream), 4096u);
  EXPECT_EQ(device->getNumDirectAccessBuffers(rx.stream), 3u);

  // Part of the first block through readStream, the rest handed out directly.
  std::vector<int16_t> part(1000);
  void* buffs[] = {part.data()};
  int flags = 0;
  long long timeNs = 0;
  ASSERT_EQ(device->readStream(rx.stream, buffs, part.size(), flags, timeNs, kTimeoutUs), 1000);

  size_t handles[3];
  const void* data[3][1];
  long long next = 1000;
  for (int i = 0; i < 3; ++i) {  // all blocks of the ring held at once
    const int got =
        device->acquireReadBuffer(rx.stream, handles[i], data[i], flags, timeNs, kTimeoutUs);
    ASSERT_EQ(got, i == 0 ? 3096 : 4096);
    EXPECT_EQ(indexOf(timeNs), next);
    const auto* samples = static_cast<const int16_t*>(data[i][0]);
    EXPECT_EQ(samples[0], rampAt(next));
    EXPECT_EQ(samples[got - 1], rampAt(next + got - 1));
    next += got;
  }
  EXPECT_NE(handles[0], handles[1]);
  EXPECT_EQ(device->acquireReadBuffer(rx.stream, handles[0], data[0], flags, timeNs, 0),
            SOAPY_SDR_TIMEOUT);  // nothing left in the ring to fill
  for (size_t handle : handles) device->releaseReadBuffer(rx.stream, handle);
  ASSERT_EQ(device->acquireReadBuffer(rx.stream, handles[0], data[0], flags, timeNs, kTimeoutUs),
            4096);
  EXPECT_EQ(indexOf(timeNs), next);
  device->releaseReadBuffer(rx.stream, handles[0]);
}

std::mutex logMutex;
std::vector<std::string> errorLog;

void keepErrors(SoapySDRLogLevel level, const char* message) {
  std::lock_guard<std::mutex> lock(logMutex);
  if (level <= SOAPY_SDR_ERROR) errorLog.emplace_back(message);
}

TEST(SoapyKpxadacStreamEnd, AFailedBoardReadEndsTheStreamWithItsReasonLogged) {
  SoapySDR::registerLogHandler(&keepErrors);
  Device device("driver=kpxadac,device=2");
  RxStream rx(device.device, SOAPY_SDR_S16, {{"block_bytes", "4096"}, {"blocks", "8"}});
  std::vector<int16_t> buffer(2048);
  void* buffs[] = {buffer.data()};
  int flags = 0;
  long long timeNs = 0;
  int blocks = 0;
  int result = 0;
  while ((result = device->readStream(rx.stream, buffs, buffer.size(), flags, timeNs, kTimeoutUs)) >
         0)
    ++blocks;
  SoapySDR::registerLogHandler(nullptr);
  EXPECT_EQ(blocks, 3);  // the blocks read before the failure come first
  EXPECT_EQ(result, SOAPY_SDR_STREAM_ERROR);
  EXPECT_EQ(device->readStream(rx.stream, buffs, buffer.size(), flags, timeNs, 0),
            SOAPY_SDR_STREAM_ERROR);
  std::lock_guard<std::mutex> lock(logMutex);
  ASSERT_EQ(errorLog.size(), 1u);  // logged once
  EXPECT_NE(errorLog[0].find("board read failed"), std::string::npos) << errorLog[0];
  EXPECT_NE(errorLog[0].find("platform error 31"), std::string::npos) << errorLog[0];
}

TEST(SoapyKpxadacTransmit, AnUnderrunIsReportedOnceByReadStreamStatus) {
  Device device("driver=kpxadac,type=dac,index=0");
  auto* tx = device->setupStream(SOAPY_SDR_TX, SOAPY_SDR_CF32, {0},
                                 {{"block_bytes", "200000"}, {"blocks", "4"}});
  ASSERT_EQ(device->activateStream(tx), 0);
  // A full FIFO: one second of samples at 100 kHz.
  std::vector<std::complex<float>> tone(100000, {0.5f, 0.0f});
  const void* buffs[] = {tone.data()};
  int flags = 0;
  size_t mask = 0;
  long long timeNs = 0;
  EXPECT_EQ(device->writeStream(tx, buffs, tone.size(), flags, 0, kTimeoutUs), 100000);
  EXPECT_EQ(device->writeStream(tx, buffs, 3, flags, 0, kTimeoutUs), 2);  // whole words only
  EXPECT_EQ(device->readStreamStatus(tx, mask, flags, timeNs, 0), SOAPY_SDR_TIMEOUT);
  // After 1.5 s without data the DAC has run dry; the next write shows it.
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  EXPECT_EQ(device->writeStream(tx, buffs, 1000, flags, 0, kTimeoutUs), 1000);
  EXPECT_EQ(device->readStreamStatus(tx, mask, flags, timeNs, kTimeoutUs), SOAPY_SDR_UNDERFLOW);
  EXPECT_EQ(device->readStreamStatus(tx, mask, flags, timeNs, 0), SOAPY_SDR_TIMEOUT);
  device->closeStream(tx);
}

}  // namespace

namespace {

// The module claims its board through the library: a stream another part of
// the process opened on the board first is seen, and setupStream refuses.
TEST(SoapyKpxadacClaims, AStreamOpenedOutsideTheModuleHoldsTheBoard) {
  Device device("driver=kpxadac,device=0");
  KpxBoardDescription board{};
  for (int32_t position = 0; position < KpxBoard_Count(); ++position)
    if (KpxBoard_Describe(position, &board) == KPXSTREAM_OK && board.device == 0) break;
  ASSERT_EQ(board.device, 0);
  KpxStreamConfig config{};
  config.board = board.handle;
  config.direction = KPXSTREAM_RECEIVE;
  config.blockBytes = 4096;
  config.blockCount = 2;
  KpxStream* outside = nullptr;
  ASSERT_EQ(KpxStream_Open(&config, &outside), KPXSTREAM_OK);
  try {
    device->setupStream(SOAPY_SDR_RX, SOAPY_SDR_CS16, {0}, {});
    ADD_FAILURE() << "setupStream took a board that has a stream";
  } catch (const std::runtime_error& error) {
    EXPECT_NE(std::string(error.what()).find("already has a stream"), std::string::npos);
  }
  KpxStream_Close(outside);
  device->closeStream(device->setupStream(SOAPY_SDR_RX, SOAPY_SDR_CS16, {0}, {}));
}

}  // namespace
