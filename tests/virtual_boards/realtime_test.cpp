// Real-time boards: the sample clock and FIFO arithmetic on chosen time
// points, then whole boards whose reads wait for the clock and whose FIFOs
// overflow or run dry. Timings on the device are only ever lower bounds (a
// transfer cannot finish before its samples exist), so the checks hold on a
// loaded machine.
#include <chrono>
#include <random>
#include <set>
#include <thread>

#include "rack_test.h"
#include "virtual_boards/realtime_channel.h"

namespace kpx::sim::test {
namespace {

using Clock = SampleClock::Clock;
using std::chrono::microseconds;
using std::chrono::milliseconds;
using std::chrono::nanoseconds;

// ---- Sample clock and FIFO arithmetic -------------------------------------

TEST(SampleClockTest, ProducesWholeWordsAtItsRateWhileRunning) {
  constexpr double kRate = 1e6;  // one sample per microsecond
  const Clock::time_point t0{};
  SampleClock clock(kRate);
  clock.restart(t0, true);
  EXPECT_EQ(clock.bytesAt(t0), 0u);
  // Three samples make one whole word; the third waits for the fourth.
  EXPECT_EQ(clock.bytesAt(t0 + microseconds(3)), kWordBytes);
  EXPECT_EQ(clock.bytesAt(t0 + microseconds(4)), 2 * kWordBytes);
  EXPECT_EQ(clock.bytesAt(t0 + milliseconds(1)), 1000u * 2);

  // Stopped time does not count, and restarting goes back to zero.
  clock.setRunning(false, t0 + milliseconds(1));
  EXPECT_EQ(clock.bytesAt(t0 + milliseconds(50)), 1000u * 2);
  clock.setRunning(true, t0 + milliseconds(50));
  EXPECT_EQ(clock.bytesAt(t0 + milliseconds(52)), 3000u * 2);
  clock.restart(t0 + milliseconds(60), false);
  EXPECT_EQ(clock.bytesAt(t0 + milliseconds(70)), 0u);
}

TEST(SampleClockTest, TimeOfBytesIsTheFirstMomentTheyExist) {
  const Clock::time_point t0{};
  for (double rate : {1e6, 105e6, 157.5e6, 3.3e8, 12345.0}) {
    SCOPED_TRACE(rate);
    SampleClock clock(rate);
    clock.restart(t0, true);
    clock.setRunning(false, t0 + microseconds(7));  // a pause inside the run
    clock.setRunning(true, t0 + microseconds(20));
    std::mt19937_64 random(42);
    for (int i = 0; i < 2000; ++i) {
      const uint64_t bytes = random() % (uint64_t{1} << 32);
      const auto due = clock.timeOfBytes(bytes, t0);
      ASSERT_TRUE(due.has_value());
      ASSERT_GE(clock.bytesAt(*due), bytes) << bytes;
      // Not much earlier: one word later than needed at most.
      ASSERT_LT(clock.bytesAt(*due - nanoseconds(2)), bytes + kWordBytes) << bytes;
    }
  }
}

TEST(SampleClockTest, StoppedClockGivesNoTimeForBytesItHasNotMade) {
  const Clock::time_point t0{};
  SampleClock clock(1e6);
  clock.restart(t0, true);
  clock.setRunning(false, t0 + milliseconds(1));
  const auto later = t0 + milliseconds(5);
  EXPECT_EQ(clock.timeOfBytes(2000, later), later);  // already made
  EXPECT_FALSE(clock.timeOfBytes(2004, later).has_value());
}

TEST(ReceiveFifoTest, OverflowDropsTheOldestWholeWordsDownToTheDepth) {
  constexpr uint64_t kDepth = 400;
  uint64_t position = 100;
  EXPECT_EQ(dropOverflow(position, 100 + kDepth, kDepth), 0u);
  EXPECT_EQ(position, 100u);
  EXPECT_EQ(dropOverflow(position, 50, kDepth), 0u);  // a read ran ahead of the clock

  const uint64_t produced = 100 + kDepth + 40;
  EXPECT_EQ(dropOverflow(position, produced, kDepth), 10u);
  EXPECT_EQ(position, produced - kDepth);

  // A read that stopped inside a word: the drop still moves whole words and
  // leaves no more than the depth.
  for (uint64_t start : {1u, 2u, 3u, 5u, 1001u}) {
    for (uint64_t produce = start; produce < start + 3 * kDepth; produce += 4) {
      uint64_t at = start;
      const uint64_t words = dropOverflow(at, produce, kDepth);
      ASSERT_EQ(at, start + words * kWordBytes);
      ASSERT_LE(produce - std::min(produce, at), kDepth);
      if (words > 0) {
        ASSERT_GT(produce - at + kWordBytes, kDepth) << "dropped one word too many";
      }
    }
  }
}

TEST(TransmitFifoTest, MissingWordsAndPlayedBytesAddUpToWhatTheClockAskedFor) {
  constexpr uint64_t kDepth = 64;
  TransmitFifo fifo(kDepth);
  EXPECT_EQ(fifo.space(), kDepth);
  EXPECT_EQ(fifo.settle(16), 4u) << "an empty FIFO misses every word";
  fifo.put(10);
  EXPECT_EQ(fifo.space(), kDepth - 10);
  // Two whole words are there; the half word waits for its rest.
  EXPECT_EQ(fifo.settle(32), 2u);
  EXPECT_EQ(fifo.space(), kDepth - 2);
  fifo.put(2);
  EXPECT_EQ(fifo.settle(36), 0u);
  EXPECT_EQ(fifo.space(), kDepth);

  // Random traffic: every byte the clock asked for was either played or
  // counted missing.
  std::mt19937 random(7);
  uint64_t written = 12, missing = 6, demanded = 36;
  for (int i = 0; i < 5000; ++i) {
    const uint64_t put = std::min<uint64_t>(random() % 40, fifo.space());
    fifo.put(put);
    written += put;
    demanded += (random() % 12) * kWordBytes;
    missing += fifo.settle(demanded);
    const uint64_t played = written - (kDepth - fifo.space());
    ASSERT_EQ(played + missing * kWordBytes, demanded);
    ASSERT_EQ(fifo.demanded(), demanded);
  }
  fifo.clear();
  EXPECT_EQ(fifo.space(), kDepth);
  EXPECT_EQ(fifo.demanded(), 0u);
}

// ---- Boards ----------------------------------------------------------------

class RealtimeTest : public RackTest {
 protected:
  // The channel's two counters: receive overrun, transmit underrun.
  static std::pair<uint32_t, uint32_t> counters(Handle h) {
    std::vector<uint8_t> out(8);
    EXPECT_EQ(request(h, IOCTL_GET_TALVO_ERROR, {}, out), 0u);
    return {word(out, 0), word(out, 1)};
  }

  static void resetChannel(Handle h) { ASSERT_EQ(request(h, IOCTL_TALVO_RESET, {0, 0}), 0u); }

  // Reads `samples` samples of a ramp; checks that they continue the ramp
  // from sample `next`, after a jump of exactly the samples of the words
  // the overrun counter grew by. Returns the sample index after the read.
  uint64_t readRampChecked(Handle h, uint64_t next, uint32_t samples, uint32_t& overrun) {
    std::vector<uint8_t> data;
    EXPECT_EQ(readBytes(h, data, samples * 2), 0u);
    EXPECT_EQ(data.size(), samples * 2u);
    const uint32_t grown = counters(h).first - overrun;
    overrun += grown;
    const uint64_t first = next + 2 * uint64_t{grown};
    const auto values = samplesOf(data);
    for (size_t k = 0; k < values.size(); ++k) {
      EXPECT_EQ(values[k], static_cast<uint16_t>(first + k)) << "sample " << k;
      if (values[k] != static_cast<uint16_t>(first + k)) break;
    }
    EXPECT_EQ(channelSampleIndex(0), first + samples);
    return first + samples;
  }
};

TEST_F(RealtimeTest, ConfigurationRefusesFifoDepthsThatAreNotWholeWords) {
  for (const char* board : {R"({"realtime": 1})", R"({"fifo_depth": 0})", R"({"fifo_depth": 7})",
                            R"({"fifo_depth": 2199023255554})", R"({"fifo_depth": -2})"}) {
    SCOPED_TRACE(board);
    const std::string reason = configure(std::string(R"({"boards":[)") + board + "]}");
    EXPECT_NE(reason.find("boards[0]"), std::string::npos) << reason;
  }
  EXPECT_EQ(configure(R"({"boards":[{"realtime": true, "fifo_depth": "0x10"}]})"), "");
}

TEST_F(RealtimeTest, PauseBetweenReadsOverflowsTheFifoAndTheRampJumpsByTheLostWords) {
  constexpr double kRate = 1e6;
  constexpr uint64_t kDepth = 20000;  // 20 ms of samples
  constexpr auto kPause = milliseconds(100);
  useRack(R"({"boards":[{"realtime": true, "fifo_depth": 20000, "synthesizer_rate_hz": 1e6,
             "signal": {"type": "ramp"}}]})");
  const Handle h = open(0);
  startAdc(h);
  resetChannel(h);
  uint32_t overrun = 0;
  uint64_t next = readRampChecked(h, 0, 200, overrun);
  const uint32_t before = overrun;
  std::this_thread::sleep_for(kPause);
  next = readRampChecked(h, next, 200, overrun);
  // The pause alone produced more than the FIFO holds; what did not fit is
  // counted, in words.
  const auto pauseSamples = static_cast<uint64_t>(kRate * 0.1);
  EXPECT_GE(2 * uint64_t{overrun - before} + kDepth + 2, pauseSamples);
  // Reading on at once continues, with any further gap counted as well.
  readRampChecked(h, next, 5000, overrun);
}

TEST_F(RealtimeTest, ToneKeepsItsPhaseAcrossTheGapOfAnOverrun) {
  useRack(R"({"boards":[{"realtime": true, "fifo_depth": 4000, "synthesizer_rate_hz": 1e6}]})");
  const Handle h = open(0);
  startAdc(h);
  resetChannel(h);
  std::vector<uint8_t> data;
  ASSERT_EQ(readBytes(h, data, 400), 0u);
  const uint32_t before = counters(h).first;
  std::this_thread::sleep_for(milliseconds(30));
  const uint64_t next = channelSampleIndex(0);
  ASSERT_EQ(readBytes(h, data, 400), 0u);
  const uint64_t lost = 2 * uint64_t{counters(h).first - before};
  ASSERT_GT(lost, 0u);
  // Each delivered sample is the signal's value at its index since the
  // reset, the lost samples counted.
  const auto values = samplesOf(data);
  for (size_t k = 0; k < values.size(); ++k)
    ASSERT_EQ(static_cast<int16_t>(values[k]), signalSample(0, next + lost + k)) << k;
}

TEST_F(RealtimeTest, ReadsWithoutPauseLoseNothingAndNeverOutrunTheClock) {
  constexpr double kRate = 1e6;
  constexpr uint32_t kReads = 10, kSamplesPerRead = 2000;
  useRack(R"({"boards":[{"realtime": true, "fifo_depth": 16777216, "synthesizer_rate_hz": 1e6,
             "signal": {"type": "ramp"}}]})");
  const Handle h = open(0);
  startAdc(h);
  const auto start = Clock::now();
  resetChannel(h);
  uint32_t overrun = 0;
  uint64_t next = 0;
  for (uint32_t i = 0; i < kReads; ++i) next = readRampChecked(h, next, kSamplesPerRead, overrun);
  const auto elapsed = std::chrono::duration<double>(Clock::now() - start).count();
  EXPECT_EQ(overrun, 0u);
  EXPECT_EQ(next, uint64_t{kReads} * kSamplesPerRead);
  // No sample is delivered before the clock has made it.
  EXPECT_GE(elapsed, static_cast<double>(next) / kRate);

  // An announcement still bounds the next read.
  std::vector<uint8_t> data;
  ASSERT_EQ(request(h, IOCTL_SET_TRANSFER_WORDS, words({5})), 0u);
  ASSERT_EQ(readBytes(h, data, 100), 0u);
  EXPECT_EQ(data.size(), 20u);
  EXPECT_EQ(samplesOf(data).front(), static_cast<uint16_t>(next));
}

TEST_F(RealtimeTest, ResetEmptiesTheFifoZeroesTheCountersAndRestartsTheRamp) {
  useRack(R"({"boards":[{"realtime": true, "fifo_depth": 1000, "synthesizer_rate_hz": 1e6,
             "signal": {"type": "ramp"}, "tx_underrun": 9}]})");
  const Handle h = open(0);
  startAdc(h);
  std::this_thread::sleep_for(milliseconds(20));
  std::vector<uint8_t> data;
  ASSERT_EQ(readBytes(h, data, 8), 0u);
  ASSERT_GT(counters(h).first, 0u);
  ASSERT_EQ(counters(h).second, 9u);

  resetChannel(h);
  EXPECT_EQ(counters(h), std::make_pair(0u, 0u));
  EXPECT_EQ(channelSampleIndex(0), 0u);
  // The stream starts again at sample 0; whatever a slow start lost before
  // this read is counted and skipped.
  uint32_t overrun = 0;
  readRampChecked(h, 0, 100, overrun);
}

TEST_F(RealtimeTest, StoppedAdcKeepsItsSamplesAndAReadBeyondThemTimesOut) {
  useRack(R"({"boards":[{"realtime": true, "fifo_depth": 16777216, "synthesizer_rate_hz": 1e6,
             "read_timeout_ms": 5, "signal": {"type": "ramp"}}]})");
  const Handle h = open(0);
  std::vector<uint8_t> data;
  EXPECT_EQ(readBytes(h, data, 8), 121u) << "the ADC has not run yet";
  startAdc(h);
  resetChannel(h);
  std::this_thread::sleep_for(milliseconds(5));  // at least 5000 samples
  writeReg(h, 28, 0);                            // stop
  uint32_t overrun = 0;
  const uint64_t next = readRampChecked(h, 0, 200, overrun);
  // More than a stopped clock can ever have made: the read fails and takes
  // nothing from the FIFO.
  EXPECT_EQ(readBytes(h, data, 1u << 20), 121u);
  EXPECT_EQ(channelSampleIndex(0), next);
  startAdc(h);
  readRampChecked(h, next, 200, overrun);
  EXPECT_EQ(overrun, 0u);
}

TEST_F(RealtimeTest, ReadsFromSeveralThreadsShareThePacedStream) {
  useRack(R"({"boards":[{"realtime": true, "fifo_depth": 16777216, "synthesizer_rate_hz": 1e7,
             "signal": {"type": "ramp"}}]})");
  const Handle h = open(0);
  startAdc(h);
  resetChannel(h);
  // 4 x 25 reads of 256 samples: 25600 in all, below the ramp's wrap.
  expectThreadsShareTheRamp(h, 4, 25, 512, [] {});
  EXPECT_EQ(counters(h).first, 0u);
}

constexpr const char* kDacRack =
    R"({"boards":[{"board_id": "0x86", "realtime": true, "fifo_depth": 1000,
        "synthesizer_rate_hz": 1e6, "read_timeout_ms": 5}]})";

uint32_t writeBytes(Handle h, uint32_t length, uint32_t* moved) {
  std::vector<uint8_t> data(length, 0x5A);
  return writeDevice(h, data.data(), length, moved);
}

TEST_F(RealtimeTest, DacFifoDoesNotDrainBeforeTheChannelReset) {
  useRack(kDacRack);
  const Handle h = open(0);
  uint32_t moved = 0;
  // 1000 samples fit; the write ends after the time-out with those.
  EXPECT_EQ(writeBytes(h, 3000, &moved), 0u);
  EXPECT_EQ(moved, 2000u);
  EXPECT_EQ(writeBytes(h, 8, &moved), 121u);
  EXPECT_EQ(counters(h).second, 0u);

  resetChannel(h);
  EXPECT_EQ(writeBytes(h, 8, &moved), 0u);
  EXPECT_EQ(moved, 8u);
  EXPECT_EQ(counters(h).second, 0u) << "the DAC clock starts with the first write";
}

TEST_F(RealtimeTest, DacWriteLargerThanTheFifoWaitsForTheClockToDrainIt) {
  constexpr double kRate = 1e6;
  constexpr uint32_t kSamples = 20000, kDepth = 1000;
  useRack(kDacRack);
  const Handle h = open(0);
  resetChannel(h);
  const auto start = Clock::now();
  uint32_t moved = 0;
  EXPECT_EQ(writeBytes(h, kSamples * 2, &moved), 0u);
  const auto elapsed = std::chrono::duration<double>(Clock::now() - start).count();
  EXPECT_EQ(moved, kSamples * 2);
  // All but the FIFO's worth had to be played out first.
  EXPECT_GE(elapsed, (kSamples - kDepth) / kRate);
}

TEST_F(RealtimeTest, DacUnderrunCountsTheWordsMissedDuringAPause) {
  constexpr double kRate = 1e6;
  constexpr uint32_t kWritten = 200;
  useRack(kDacRack);
  const Handle h = open(0);
  resetChannel(h);
  uint32_t moved = 0;
  ASSERT_EQ(writeBytes(h, kWritten * 2, &moved), 0u);
  std::this_thread::sleep_for(milliseconds(50));
  ASSERT_EQ(writeBytes(h, kWritten * 2, &moved), 0u);
  // At least 50 ms of clock wanted samples; only those written were there.
  const auto wanted = static_cast<uint64_t>(kRate * 0.05);
  EXPECT_GE(2 * uint64_t{counters(h).second} + kWritten + 2, wanted);
}

TEST_F(RealtimeTest, AdcBoardWritesAndUnpacedBoardsStayInstant) {
  useRack(R"({"boards":[{"device": 0, "realtime": true, "fifo_depth": 2},
             {"device": 1, "board_id": "0x86", "fifo_depth": 2, "signal": {"type": "ramp"}}]})");
  uint32_t moved = 0;
  // Neither an ADC board's writes nor a board without "realtime" are paced.
  EXPECT_EQ(writeBytes(open(0), 1 << 20, &moved), 0u);
  EXPECT_EQ(moved, 1u << 20);
  const Handle dac = open(1);
  EXPECT_EQ(writeBytes(dac, 1 << 20, &moved), 0u);
  EXPECT_EQ(moved, 1u << 20);
  startAdc(dac);
  std::vector<uint8_t> data;
  EXPECT_EQ(readBytes(dac, data, 1 << 20), 0u);
  EXPECT_EQ(counters(dac).first, 0u);
}

}  // namespace
}  // namespace kpx::sim::test
