// The streaming channel: when reads deliver, the announcement, the ramp's
// continuity, the tone's spectrum, and requests from several threads.
#include <cmath>
#include <numbers>
#include <set>
#include <thread>

#include "rack_test.h"

namespace kpx::sim::test {
namespace {

using StreamingTest = RackTest;

constexpr const char* kRampRack = R"({"boards":[{"signal":{"type":"ramp"}}]})";

TEST_F(StreamingTest, ReadTimesOutUnlessRunningWithReadyClock) {
  useRack(R"({"boards":[{"device":0,"read_timeout_ms":1},
             {"device":1,"clock_ready":false,"read_timeout_ms":1}]})");
  const Handle h = open(0);
  std::vector<uint8_t> data;
  EXPECT_EQ(readBytes(h, data, 16), 121u);
  startAdc(h);
  EXPECT_EQ(readBytes(h, data, 16), 0u);
  EXPECT_EQ(data.size(), 16u);
  writeReg(h, 8, 0x80);  // clock reset: not ready for three reads
  EXPECT_EQ(readBytes(h, data, 16), 121u);

  const Handle never = open(1);
  startAdc(never);
  EXPECT_EQ(readBytes(never, data, 16), 121u);
}

TEST_F(StreamingTest, RampIsContinuousAcrossReadsAndRestartsAfterReset) {
  useRack(kRampRack);
  const Handle h = open(0);
  startAdc(h);
  std::vector<uint8_t> stream, data;
  // Odd lengths and a pass over the 65536 wrap.
  for (uint32_t length : {1u, 6u, 3u, 70001u, 61000u, 9u}) {
    ASSERT_EQ(readBytes(h, data, length), 0u);
    ASSERT_EQ(data.size(), length);
    stream.insert(stream.end(), data.begin(), data.end());
  }
  const auto samples = samplesOf(stream);
  for (size_t k = 0; k < samples.size(); ++k) ASSERT_EQ(samples[k], static_cast<uint16_t>(k)) << k;
  EXPECT_EQ(channelSampleIndex(0), stream.size() / 2);

  ASSERT_EQ(request(h, IOCTL_TALVO_RESET, {1, 2}), 0u);
  EXPECT_EQ(channelSampleIndex(0), 0u);
  ASSERT_EQ(readBytes(h, data, 8), 0u);
  EXPECT_EQ(samplesOf(data), (std::vector<uint16_t>{0, 1, 2, 3}));
}

TEST_F(StreamingTest, AnnouncedWordsLimitTheNextReadOnly) {
  useRack(kRampRack);
  const Handle h = open(0);
  startAdc(h);
  std::vector<uint8_t> data;
  ASSERT_EQ(request(h, IOCTL_SET_TRANSFER_WORDS, words({5})), 0u);
  ASSERT_EQ(readBytes(h, data, 100), 0u);
  EXPECT_EQ(data.size(), 20u);
  ASSERT_EQ(readBytes(h, data, 100), 0u);
  EXPECT_EQ(data.size(), 100u);
  EXPECT_EQ(samplesOf(data).front(), 10u);
  // A reset drops an announcement.
  ASSERT_EQ(request(h, IOCTL_SET_TRANSFER_WORDS, words({1})), 0u);
  ASSERT_EQ(request(h, IOCTL_TALVO_RESET, {0, 0}), 0u);
  ASSERT_EQ(readBytes(h, data, 12), 0u);
  EXPECT_EQ(data.size(), 12u);
}

// Power of `samples` at `frequency` (Goertzel).
double powerAt(const std::vector<int16_t>& samples, double frequency, double rate) {
  const double w = 2 * std::numbers::pi * frequency / rate;
  double s1 = 0, s2 = 0;
  for (int16_t x : samples) {
    const double s = x + 2 * std::cos(w) * s1 - s2;
    s2 = s1;
    s1 = s;
  }
  return s1 * s1 + s2 * s2 - 2 * std::cos(w) * s1 * s2;
}

TEST_F(StreamingTest, DefaultToneHasItsPeakAtTenMegahertz) {
  useRack(R"({"boards":[{"device":0},{"device":1,"fixed_clock":1},
             {"device":2,"signal":{"frequency_hz":3e6,"seed":7}}]})");
  for (int device : {0, 1, 2}) {
    SCOPED_TRACE(device);
    const Handle h = open(device);
    startAdc(h);
    std::vector<uint8_t> data;
    ASSERT_EQ(readBytes(h, data, 2 * 4096), 0u);
    std::vector<int16_t> samples;
    for (uint16_t s : samplesOf(data)) samples.push_back(static_cast<int16_t>(s));
    const double rate = sampleRate(device);
    EXPECT_EQ(rate, device == 1 ? 100e6 : 105e6);
    const double tone = device == 2 ? 3e6 : 10e6;
    const double peak = powerAt(samples, tone, rate);
    for (double other : {1e6, 5e6, 12e6, 20e6, 33e6, 47e6})
      EXPECT_GT(peak, 1e4 * powerAt(samples, other, rate)) << other;
    // -1 dBFS: a sine of 0.891 of full scale, whose rms is that over sqrt 2.
    double sum = 0;
    for (int16_t x : samples) sum += static_cast<double>(x) * x;
    EXPECT_NEAR(std::sqrt(sum / static_cast<double>(samples.size())), 29204 / std::sqrt(2.0), 100);
  }
  // The same stream for the same settings, another one for another seed.
  EXPECT_EQ(signalSample(0, 123456), signalSample(0, 123456 + (1u << 20)));
  int differing = 0;
  for (uint64_t k = 0; k < 64; ++k) differing += signalSample(0, k) != signalSample(2, k);
  EXPECT_GT(differing, 32);
}

TEST_F(StreamingTest, HarmonicsAddTheirLevelAtTheirOrderAndFoldAboveNyquist) {
  // The same tone and noise seed, with and without harmonics: the difference
  // is the harmonics alone (within the rounding of each sample).
  useRack(R"({"boards":[{"device":0,"signal":{"frequency_hz":40e6}},
             {"device":1,"signal":{"frequency_hz":40e6,
                                   "harmonics_dbc":{"2":-20,"3":null,"5":-40}}}]})");
  const double cycles = std::round(40e6 * (1 << 20) / 105e6);  // the period is 2^20 samples
  const double amplitude = 32767 * std::pow(10.0, -1.0 / 20);
  for (uint64_t k = 0; k < 5000; ++k) {
    const double phase = 2 * std::numbers::pi * cycles * static_cast<double>(k) / (1 << 20);
    const double harmonics = amplitude * (0.1 * std::sin(2 * phase) + 0.01 * std::sin(5 * phase));
    ASSERT_NEAR(signalSample(1, k) - signalSample(0, k), harmonics, 1.01) << k;
  }
  EXPECT_NE(configure(R"({"boards":[{"signal":{"harmonics_dbc":{"7":-70}}}]})"), "");
  EXPECT_NE(configure(R"({"boards":[{"signal":{"harmonics_dbc":{"2":3}}}]})"), "");
  EXPECT_NE(configure(R"({"boards":[{"signal":{"harmonics_dbc":[-70]}}]})"), "");
  EXPECT_NE(configure(R"({"boards":[{"signal":{"type":"ramp","harmonics_dbc":{}}}]})"), "");
}

TEST_F(StreamingTest, ConcurrentReadsOnOneHandleShareTheStream) {
  useRack(kRampRack);
  const Handle h = open(0);
  startAdc(h);
  // 4 x 50 reads of 128 samples: 25600 in all, below the ramp's wrap. A
  // register request between reads must not disturb the stream.
  expectThreadsShareTheRamp(h, 4, 50, 256, [h] { readReg(h, 28); });
}

TEST_F(StreamingTest, GateHoldsOneOperationWhileOthersGoOn) {
  useRack(kRampRack);
  const Handle h = open(0), other = open(0);
  startAdc(h);
  setGate(0, "read");
  uint32_t result = 99;
  std::vector<uint8_t> data(64);
  std::thread reader([&] {
    uint32_t moved = 0;
    result = readDevice(h, data.data(), 64, &moved);
  });
  waitForGate();
  // Requests on the same handle and on another one are not held.
  writeReg(h, 0x70, 1);
  EXPECT_EQ(request(other, IOCTL_LOCK_BOARD), 0u);
  EXPECT_EQ(result, 99u);
  releaseGate();
  reader.join();
  EXPECT_EQ(result, 0u);
  EXPECT_EQ(samplesOf(data)[31], 31u);
}

}  // namespace
}  // namespace kpx::sim::test
