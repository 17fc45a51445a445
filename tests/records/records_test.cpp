// The records engine on ramp boards: a ramp's sample at board index k is
// (int16)(k mod 65536), so a rising trigger at level L fires exactly where
// that value is L, and each record's samples must be the ramp at its
// indexes. Gaps come from the virtual boards' counter injection: the index
// jumps by the lost samples while the ramp itself runs on.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <deque>
#include <thread>
#include <vector>

#include "kpxadac_records.h"
#include "kpxadac_waveform.h"
#include "sim_fixture.h"

namespace {

using namespace std::chrono_literals;

constexpr const char* kRamp = R"("signal": {"type": "ramp"})";
constexpr uint64_t kPeriod = 65536;

class RecordsTest : public SimTest {
 protected:
  void TearDown() override {
    KpxRecords_Close(records);
    KpxStream_Close(stream);
    SimTest::TearDown();
  }

  static KpxRecordsConfig rising(int32_t level, int64_t pre, int64_t post) {
    KpxRecordsConfig c{};
    c.edge = KPXRECORDS_RISING;
    c.level = level;
    c.pre = pre;
    c.post = post;
    return c;
  }

  void openStream(uint64_t sampleLimit, uint32_t blockBytes = 1000, uint32_t blocks = 8) {
    KpxStreamConfig config{};
    config.board = board;
    config.direction = KPXSTREAM_RECEIVE;
    config.blockBytes = blockBytes;
    config.blockCount = blocks;
    config.setup = KPXSTREAM_SETUP_AUTO_CLOCK;
    config.sampleLimit = sampleLimit;
    ASSERT_EQ(KpxStream_Open(&config, &stream), KPXSTREAM_OK);
  }

  void start(const KpxRecordsConfig& config) {
    ASSERT_EQ(KpxRecords_Open(stream, &config, &records), KPXRECORDS_OK);
    ASSERT_EQ(KpxRecords_Start(records), KPXRECORDS_OK);
  }

  // Every record until the end; checks each one's samples against the ramp,
  // which runs `rampBehind(index)` values behind the board index.
  template <typename RampBehind>
  std::vector<KpxRecord> drain(int32_t expectedEnd, RampBehind rampBehind) {
    std::vector<KpxRecord> out;
    KpxRecord record{};
    int32_t result;
    while ((result = KpxRecords_Acquire(records, &record, 10000)) == KPXRECORDS_OK) {
      EXPECT_EQ(record.firstIndex + record.pre, record.triggerIndex);
      EXPECT_EQ(record.number, out.size());
      for (uint32_t j = 0; j < record.length; ++j) {
        const uint64_t index = record.firstIndex + j;
        if (static_cast<uint16_t>(record.samples[j]) !=
            static_cast<uint16_t>(index - rampBehind(index))) {
          ADD_FAILURE() << "record " << record.number << " sample " << j;
          break;
        }
      }
      // The slot is reused once released: keep a copy of the samples.
      copies.emplace_back(record.samples, record.samples + record.length);
      EXPECT_EQ(KpxRecords_Release(records, &record), KPXRECORDS_OK);
      record.samples = copies.back().data();
      out.push_back(record);
    }
    EXPECT_EQ(result, expectedEnd);
    return out;
  }
  std::vector<KpxRecord> drain(int32_t expectedEnd = KPXRECORDS_COMPLETE) {
    return drain(expectedEnd, [](uint64_t) { return uint64_t{0}; });
  }

  static std::vector<uint64_t> triggers(const std::vector<KpxRecord>& list) {
    std::vector<uint64_t> out;
    for (const KpxRecord& r : list) out.push_back(r.triggerIndex);
    return out;
  }

  // The board indexes in [from, to) whose ramp value is `value`.
  static std::vector<uint64_t> rampHits(int16_t value, uint64_t from, uint64_t to,
                                        uint64_t every = 1) {
    std::vector<uint64_t> out;
    uint64_t k = static_cast<uint16_t>(value);
    while (k < from) k += kPeriod;
    for (; k < to; k += kPeriod * every) out.push_back(k);
    return out;
  }

  KpxRecordsStatus status() {
    KpxRecordsStatus s{};
    EXPECT_EQ(KpxRecords_GetStatus(records, &s), KPXRECORDS_OK);
    return s;
  }

  KpxStream* stream = nullptr;
  KpxRecords* records = nullptr;
  std::deque<std::vector<int16_t>> copies;
};

TEST_F(RecordsTest, RefusesBadInputWithItsCode) {
  openBoard(kRamp);
  openStream(0);
  const KpxRecordsConfig good = rising(0, 10, 10);
  auto refused = [&](KpxRecordsConfig c) {
    KpxRecords* r = reinterpret_cast<KpxRecords*>(&c);  // must be overwritten with null
    const int32_t result = KpxRecords_Open(stream, &c, &r);
    EXPECT_EQ(r, nullptr);
    EXPECT_EQ(KpxRecords_CheckConfig(&c), result);
    return result;
  };
  KpxRecordsConfig c = good;
  c.edge = 3;
  EXPECT_EQ(refused(c), KPXRECORDS_ERR_EDGE);
  c = good, c.level = 32768;
  EXPECT_EQ(refused(c), KPXRECORDS_ERR_LEVEL);
  c = good, c.level = -32769;
  EXPECT_EQ(refused(c), KPXRECORDS_ERR_LEVEL);
  c = good, c.hysteresis = -1;
  EXPECT_EQ(refused(c), KPXRECORDS_ERR_HYSTERESIS);
  c = good, c.pre = -1;
  EXPECT_EQ(refused(c), KPXRECORDS_ERR_LENGTH);
  c = good, c.post = -5;
  EXPECT_EQ(refused(c), KPXRECORDS_ERR_LENGTH);
  c = good, c.pre = 0, c.post = 0;
  EXPECT_EQ(refused(c), KPXRECORDS_ERR_LENGTH);
  c = good, c.pre = KPXRECORDS_MAX_LENGTH, c.post = 1;
  EXPECT_EQ(refused(c), KPXRECORDS_ERR_LENGTH);
  c = good, c.pre = INT64_MAX, c.post = INT64_MAX;  // a sum that would overflow
  EXPECT_EQ(refused(c), KPXRECORDS_ERR_LENGTH);
  c = good, c.holdoff = -1;
  EXPECT_EQ(refused(c), KPXRECORDS_ERR_ARGUMENT);
  c = good, c.count = -1;
  EXPECT_EQ(refused(c), KPXRECORDS_ERR_ARGUMENT);
  c = good, c.autoMs = -1;
  EXPECT_EQ(refused(c), KPXRECORDS_ERR_ARGUMENT);
  c = good, c.pre = 1 << 20, c.queueRecords = 1024;  // 2 GiB of queue
  EXPECT_EQ(refused(c), KPXRECORDS_ERR_ARGUMENT);

  EXPECT_EQ(KpxRecords_Open(nullptr, &good, &records), KPXRECORDS_ERR_NULL);
  EXPECT_EQ(KpxRecords_Open(stream, nullptr, &records), KPXRECORDS_ERR_NULL);
  EXPECT_EQ(KpxRecords_Open(stream, &good, nullptr), KPXRECORDS_ERR_NULL);
  EXPECT_EQ(KpxRecords_CheckConfig(nullptr), KPXRECORDS_ERR_NULL);
  KpxRecord record{};
  EXPECT_EQ(KpxRecords_Acquire(nullptr, &record, 0), KPXRECORDS_ERR_NULL);
  EXPECT_EQ(KpxRecords_Release(nullptr, &record), KPXRECORDS_ERR_NULL);
  EXPECT_EQ(KpxRecords_Start(nullptr), KPXRECORDS_ERR_NULL);
  EXPECT_EQ(KpxRecords_Stop(nullptr), KPXRECORDS_ERR_NULL);
  EXPECT_EQ(KpxRecords_GetStatus(nullptr, nullptr), KPXRECORDS_ERR_NULL);
  KpxRecords_Close(nullptr);

  ASSERT_EQ(KpxRecords_Open(stream, &good, &records), KPXRECORDS_OK);
  EXPECT_EQ(KpxRecords_Acquire(records, &record, 0), KPXRECORDS_ERR_STATE);  // not started
  EXPECT_EQ(KpxRecords_Acquire(records, nullptr, 0), KPXRECORDS_ERR_NULL);
  ASSERT_EQ(KpxRecords_Start(records), KPXRECORDS_OK);
  EXPECT_EQ(KpxRecords_Start(records), KPXRECORDS_ERR_STATE);
  record.slot = 0;
  EXPECT_EQ(KpxRecords_Release(records, &record), KPXRECORDS_ERR_NOT_HELD);
  std::vector<int16_t> shortBuffer(19);
  EXPECT_EQ(KpxRecords_Read(records, shortBuffer.data(), shortBuffer.size(), &record, 0),
            KPXRECORDS_ERR_BUFFER);
  EXPECT_EQ(KpxRecords_Read(records, nullptr, 20, &record, 0), KPXRECORDS_ERR_NULL);
  for (int32_t code = -13; code <= 4; ++code)
    EXPECT_STRNE(KpxRecords_ResultText(code), "unknown result code") << code;

  // A transmit stream has no samples to trigger on.
  KpxRecords_Close(records);
  records = nullptr;
  KpxStream_Close(stream);
  stream = nullptr;
  openBoard("", 0x86);
  KpxStreamConfig transmit{board, KPXSTREAM_TRANSMIT, 4096, 4, KPXSTREAM_SETUP_NONE, 0, 0};
  ASSERT_EQ(KpxStream_Open(&transmit, &stream), KPXSTREAM_OK);
  EXPECT_EQ(KpxRecords_Open(stream, &good, &records), KPXRECORDS_ERR_DIRECTION);
  EXPECT_EQ(records, nullptr);
}

// Blocks of 500 samples with 700 pre-trigger samples: the window's start
// comes from the history of earlier blocks, and its end spans blocks too.
TEST_F(RecordsTest, RisingFiresExactlyWhereTheRampReachesTheLevel) {
  openBoard(kRamp);
  constexpr uint64_t kLimit = 6 * kPeriod;
  openStream(kLimit);
  start(rising(1234, 700, 900));
  const auto list = drain();
  EXPECT_EQ(triggers(list), rampHits(1234, 701, kLimit - 900 + 1));
  for (const KpxRecord& r : list) {
    EXPECT_EQ(r.length, 1600u);
    EXPECT_EQ(r.flags, 0u);
    EXPECT_EQ(r.samples[r.pre], 1234);
    EXPECT_GT(r.hostTimeNs, 0);
  }
  const KpxRecordsStatus s = status();
  EXPECT_EQ(s.endReason, KPXRECORDS_END_COMPLETE);
  EXPECT_EQ(s.counts.recordsDelivered, list.size());
  EXPECT_EQ(s.counts.triggersSeen, list.size());
  EXPECT_EQ(s.samplesScanned, kLimit);
}

// The ramp falls only where it wraps from 32767 to -32768: a falling edge
// fires there for any level below 32767; either fires at both places.
TEST_F(RecordsTest, FallingAndEitherEdgesFireWhereTheRampCrossesTheLevel) {
  constexpr uint64_t kLimit = 4 * kPeriod;
  for (int32_t edge : {KPXRECORDS_FALLING, KPXRECORDS_EITHER}) {
    SCOPED_TRACE(edge);
    openBoard(kRamp);
    openStream(kLimit);
    KpxRecordsConfig c = rising(-300, 64, 64);
    c.edge = edge;
    c.hysteresis = 40;
    start(c);
    const auto list = drain();
    std::vector<uint64_t> expected = rampHits(-32768, 65, kLimit - 63);
    if (edge == KPXRECORDS_EITHER) {
      for (uint64_t k : rampHits(-300, 65, kLimit - 63)) expected.push_back(k);
      std::sort(expected.begin(), expected.end());
    }
    EXPECT_EQ(triggers(list), expected);
    for (const KpxRecord& r : list)
      EXPECT_EQ((r.flags & KPXRECORD_FALLING) != 0, r.samples[r.pre] == -32768);
    KpxRecords_Close(records);
    records = nullptr;
    KpxStream_Close(stream);
    stream = nullptr;
  }
}

// The armed signal must go below level - hysteresis first: at -32000 a
// hysteresis of 767 lets -32768 arm the edge, 768 leaves nothing below it.
TEST_F(RecordsTest, HysteresisDecidesWhetherTheSignalReArms) {
  constexpr uint64_t kLimit = 3 * kPeriod;
  for (int32_t hysteresis : {767, 768}) {
    SCOPED_TRACE(hysteresis);
    openBoard(kRamp);
    openStream(kLimit);
    KpxRecordsConfig c = rising(-32000, 10, 10);
    c.hysteresis = hysteresis;
    start(c);
    const auto list = drain();
    EXPECT_EQ(triggers(list),
              hysteresis == 767 ? rampHits(-32000, 11, kLimit - 9) : std::vector<uint64_t>{});
    KpxRecords_Close(records);
    records = nullptr;
    KpxStream_Close(stream);
    stream = nullptr;
  }
}

// A slow 10 kHz tone (a period of 10500 samples at 105 MHz) with 50 LSB of
// noise crosses zero many times at each rising edge: without hysteresis
// records of 2 samples fire again and again there, with 1000 LSB only once
// a period.
TEST_F(RecordsTest, HysteresisKeepsNoiseFromFiringAgain) {
  for (int32_t hysteresis : {0, 1000}) {
    SCOPED_TRACE(hysteresis);
    openBoard(R"("signal": {"frequency_hz": 10e3, "amplitude_dbfs": -1, "noise_lsb_rms": 50})");
    openStream(30 * 10500, 40000, 4);
    KpxRecordsConfig c = rising(0, 1, 1);
    c.hysteresis = hysteresis;
    c.queueRecords = KPXRECORDS_MAX_QUEUE;  // room for every trigger: nothing is skipped
    start(c);
    KpxRecord record{};
    std::vector<uint64_t> list;
    while (KpxRecords_Acquire(records, &record, 10000) == KPXRECORDS_OK) {
      EXPECT_GE(record.samples[1], 0);  // the trigger sample: at or above the level
      EXPECT_LT(record.samples[0], 0) << "the sample before it";
      list.push_back(record.triggerIndex);
      KpxRecords_Release(records, &record);
    }
    ASSERT_GE(list.size(), 28u);
    EXPECT_EQ(status().counts.skippedSlow, 0u);
    uint64_t shortest = UINT64_MAX;
    for (size_t i = 1; i < list.size(); ++i) shortest = std::min(shortest, list[i] - list[i - 1]);
    if (hysteresis)
      EXPECT_GT(shortest, 10000u);
    else
      EXPECT_LT(shortest, 100u);
    KpxRecords_Close(records);
    records = nullptr;
    KpxStream_Close(stream);
    stream = nullptr;
  }
}

// The engine re-arms `holdoff` samples after a record's end and needs one
// armed sample below the level before the edge: a holdoff one sample
// shorter than the distance to the next edge keeps every period, one equal
// to it loses every second one.
TEST_F(RecordsTest, HoldoffAndThePreTriggerWindowDelayArming) {
  constexpr uint64_t kLimit = 7 * kPeriod;
  constexpr int64_t kPost = 300;
  for (int64_t holdoff : {int64_t{kPeriod} - kPost - 1, int64_t{kPeriod} - kPost}) {
    SCOPED_TRACE(holdoff);
    openBoard(kRamp);
    openStream(kLimit);
    // Level 1000 with 1000 pre-trigger samples: the engine arms at index
    // 1000, whose sample is the level itself, so the first period misses.
    KpxRecordsConfig c = rising(1000, 1000, kPost);
    c.holdoff = holdoff;
    start(c);
    const auto list = drain();
    const uint64_t every = holdoff == int64_t{kPeriod} - kPost - 1 ? 1 : 2;
    EXPECT_EQ(triggers(list), rampHits(1000, 1001, kLimit - kPost + 1, every));
    KpxRecords_Close(records);
    records = nullptr;
    KpxStream_Close(stream);
    stream = nullptr;
  }
  // One sample more before arming: the level 1001 fires at index 1001.
  openBoard(kRamp);
  openStream(kPeriod);
  start(rising(1001, 1000, 10));
  EXPECT_EQ(triggers(drain()), std::vector<uint64_t>{1001});
}

// 10 samples lost before the block at index 65536 (4096-sample blocks). The
// record at 65436 would span the gap: dropped and counted. Level 50 is
// reached 50 samples after the gap, before 200 gap-free samples lie behind:
// no trigger there.
TEST_F(RecordsTest, RecordsAcrossAGapAreDroppedAndCountedAndArmingWaitsForPre) {
  constexpr uint64_t kGap = kPeriod, kLost = 10, kLimit = 3 * kPeriod + 2000;
  const std::string withGap = std::string(kRamp) +
                              R"(, "faults": [{"op": "read", "skip": 16, "count": 1,
                                             "rx_overrun": 5}])";
  auto behind = [&](uint64_t index) { return index >= kGap ? kLost : 0; };
  for (int32_t level : {-100, 50}) {
    SCOPED_TRACE(level);
    openBoard(withGap);
    openStream(kLimit, 8192, 4);
    start(rising(level, 200, 1000));
    const auto list = drain(KPXRECORDS_COMPLETE, behind);
    const KpxRecordsStatus s = status();
    // After the gap the ramp value v sits at index v + 10.
    const uint64_t nextAfterGap = static_cast<uint16_t>(level) + kPeriod + kLost;
    if (level == -100) {
      EXPECT_EQ(triggers(list), (std::vector<uint64_t>{nextAfterGap, nextAfterGap + kPeriod}));
      EXPECT_EQ(s.counts.lostToGaps, 1u);
      EXPECT_EQ(s.counts.triggersSeen, 3u);
    } else {
      EXPECT_EQ(triggers(list),
                (std::vector<uint64_t>{nextAfterGap + kPeriod, nextAfterGap + 2 * kPeriod}));
      EXPECT_EQ(s.counts.lostToGaps, 0u);
      EXPECT_EQ(s.counts.triggersSeen, 2u);
    }
    if (!list.empty()) {
      EXPECT_EQ(list.back().counts.lostToGaps, s.counts.lostToGaps);
    }
    KpxRecords_Close(records);
    records = nullptr;
    KpxStream_Close(stream);
    stream = nullptr;
  }
}

// A consumer that takes nothing until the stream has ended: the queue of 3
// holds the first three records whole, every later trigger is skipped and
// counted, and the delivered ones still carry exact samples.
TEST_F(RecordsTest, AFullQueueSkipsWholeRecordsAndCountsThem) {
  openBoard(kRamp);
  constexpr uint64_t kLimit = 40 * kPeriod;
  openStream(kLimit, 65536, 4);
  KpxRecordsConfig c = rising(7, 100, 1000);
  c.queueRecords = 3;
  start(c);
  while (!status().ended) std::this_thread::sleep_for(1ms);
  const auto all = rampHits(7, 101, kLimit - 999);
  const auto list = drain();
  EXPECT_EQ(triggers(list), std::vector<uint64_t>(all.begin(), all.begin() + 3));
  const KpxRecordsStatus s = status();
  EXPECT_EQ(s.counts.triggersSeen, all.size());
  EXPECT_EQ(s.counts.skippedSlow, all.size() - 3);
  EXPECT_EQ(s.counts.recordsDelivered, 3u);
}

// A consumer slower than the triggers, running alongside the engine: it
// loses records, each one it gets is whole, and the counts add up.
TEST_F(RecordsTest, ASlowConsumerLosesRecordsNeverSamples) {
  openBoard(kRamp);
  constexpr uint64_t kLimit = 60 * kPeriod;
  openStream(kLimit, 16384, 4);
  KpxRecordsConfig c = rising(-7, 64, 2000);
  c.queueRecords = 2;
  start(c);
  std::vector<int16_t> buffer(2064);
  KpxRecord record{};
  std::vector<uint64_t> seen;
  int32_t result;
  while ((result = KpxRecords_Read(records, buffer.data(), buffer.size(), &record, 10000)) ==
         KPXRECORDS_OK) {
    EXPECT_EQ(record.samples, buffer.data());
    for (uint32_t j = 0; j < record.length; ++j)
      ASSERT_EQ(static_cast<uint16_t>(buffer[j]), static_cast<uint16_t>(record.firstIndex + j));
    EXPECT_EQ(static_cast<int16_t>(record.triggerIndex), -7);
    seen.push_back(record.triggerIndex);
    std::this_thread::sleep_for(2ms);
  }
  EXPECT_EQ(result, KPXRECORDS_COMPLETE);
  const KpxRecordsStatus s = status();
  EXPECT_EQ(s.counts.recordsDelivered, seen.size());
  // The last edge, 7 samples before the end, is cut by it (or skipped).
  EXPECT_EQ(s.counts.triggersSeen,
            s.counts.recordsDelivered + s.counts.skippedSlow + s.counts.cutAtEnd);
  EXPECT_EQ(s.counts.triggersSeen, rampHits(-7, 65, kLimit).size());
  EXPECT_GT(s.counts.skippedSlow + s.counts.cutAtEnd, 0u);
}

// No edge at all (nothing lies below -32768): auto mode takes untriggered
// records, and the record count ends the run.
TEST_F(RecordsTest, AutoModeTakesUntriggeredRecordsUpToTheCount) {
  openBoard(std::string(kRamp) + R"(, "realtime": true, "synthesizer_rate_hz": 1e6)");
  openStream(0, 4000, 8);
  KpxRecordsConfig c = rising(-32768, 10, 100);
  c.autoMs = 20;
  c.count = 3;
  start(c);
  const auto list = drain();
  ASSERT_EQ(list.size(), 3u);
  for (size_t i = 0; i < list.size(); ++i) {
    EXPECT_EQ(list[i].flags, KPXRECORD_UNTRIGGERED);
    if (i) {
      EXPECT_GE(list[i].hostTimeNs - list[i - 1].hostTimeNs, 20'000'000);
    }
  }
  EXPECT_EQ(status().counts.triggersSeen, 0u);
}

// A fed engine: the caller reads the stream and hands each block over; the
// records are those an engine with the stream of its own would take.
TEST_F(RecordsTest, AFedEngineTakesTheRecordsOfTheBlocksItIsGiven) {
  openBoard(kRamp);
  constexpr uint64_t kLimit = 4 * kPeriod;
  openStream(kLimit, 1000, 4);
  ASSERT_EQ(KpxStream_Start(stream), KPXSTREAM_OK);
  KpxRecordsConfig c = rising(-20, 300, 200);
  c.count = 3;
  ASSERT_EQ(KpxRecords_OpenFed(&c, &records), KPXRECORDS_OK);
  EXPECT_EQ(KpxRecords_Start(records), KPXRECORDS_ERR_STATE);  // nothing to start
  KpxStreamBlock block{};
  int32_t fed = KPXRECORDS_OK;
  while (fed == KPXRECORDS_OK && KpxStream_AcquireRead(stream, &block, 5000) == KPXSTREAM_OK) {
    fed = KpxRecords_Feed(records, &block);
    KpxStream_ReleaseRead(stream, &block);
  }
  EXPECT_EQ(fed, KPXRECORDS_COMPLETE);
  EXPECT_EQ(triggers(drain()), rampHits(-20, 301, kLimit - 199));
  EXPECT_EQ(KpxRecords_Feed(records, &block), KPXRECORDS_COMPLETE);

  // An engine with a stream of its own takes no blocks from outside.
  KpxRecords* own = nullptr;
  KpxRecords_Close(records);
  records = nullptr;
  KpxStream_Close(stream);
  openStream(0);
  ASSERT_EQ(KpxRecords_Open(stream, &c, &own), KPXRECORDS_OK);
  EXPECT_EQ(KpxRecords_Feed(own, &block), KPXRECORDS_ERR_STATE);
  KpxRecords_Close(own);
  KpxRecordsConfig bad = c;
  bad.level = 99999;
  EXPECT_EQ(KpxRecords_OpenFed(&bad, &records), KPXRECORDS_ERR_LEVEL);
  EXPECT_EQ(records, nullptr);
}

TEST_F(RecordsTest, StopWakesAConsumerWaitingWithoutTimeLimit) {
  openBoard(std::string(kRamp) + R"(, "realtime": true, "synthesizer_rate_hz": 1e4)");
  openStream(0, 4096, 2);
  start(rising(-32768, 10, 10));  // never fires
  std::atomic<int32_t> result{-100};
  std::thread consumer([&] {
    KpxRecord record{};
    result = KpxRecords_Acquire(records, &record, -1);
  });
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(KpxRecords_Stop(records), KPXRECORDS_OK);
  consumer.join();
  EXPECT_EQ(result, KPXRECORDS_STOPPED);
  EXPECT_EQ(status().endReason, KPXRECORDS_END_STOPPED);
}

}  // namespace

namespace {

// Pulses at seeded random intervals: every pulse's board index is known from
// the generator itself, so each trigger, and each record's samples, can be
// checked to the sample.
TEST_F(RecordsTest, PulsesAtRandomIntervalsTriggerAtEachPulsesFirstSample) {
  openBoard(R"("signal": {"type": "pulse", "width": 100, "period": [300, 900],
                          "amplitude_dbfs": -6, "seed": 7})");
  constexpr uint64_t kLimit = 200000;
  KpxWaveSettings settings{};
  KpxWave_DefaultSettings(&settings, KPXWAVE_PULSE, 105e6);
  settings.widthSamples = 100;
  settings.periodSamples = 0;
  settings.minIntervalSamples = 300;
  settings.maxIntervalSamples = 900;
  settings.amplitudeDbfs = -6;
  settings.seed = 7;
  KpxWave* wave = nullptr;
  ASSERT_EQ(KpxWave_Create(&settings, &wave), KPXWAVE_OK);
  std::vector<int16_t> expected(kLimit);
  ASSERT_EQ(KpxWave_Generate(wave, expected.data(), kLimit), KPXWAVE_OK);
  KpxWave_Destroy(wave);

  constexpr int32_t kLevel = 1000;
  constexpr int64_t kPre = 50, kPost = 200;  // shorter than the shortest interval
  std::vector<uint64_t> starts;
  for (uint64_t k = kPre; k + kPost <= kLimit; ++k)
    if (expected[k] >= kLevel && expected[k - 1] < kLevel) starts.push_back(k);
  ASSERT_GT(starts.size(), 200u);

  openStream(kLimit);
  start(rising(kLevel, kPre, kPost));
  std::vector<uint64_t> fired;
  KpxRecord record{};
  int32_t result;
  while ((result = KpxRecords_Acquire(records, &record, 10000)) == KPXRECORDS_OK) {
    fired.push_back(record.triggerIndex);
    EXPECT_TRUE(std::equal(record.samples, record.samples + record.length,
                           expected.begin() + static_cast<ptrdiff_t>(record.firstIndex)))
        << "record " << record.number;
    KpxRecords_Release(records, &record);
  }
  EXPECT_EQ(result, KPXRECORDS_COMPLETE);
  EXPECT_EQ(fired, starts);
}

}  // namespace
