// The parts of kpxadac-capture that work without a board: the overrun
// bookkeeping, the sample statistics, the SigMF metadata and the ring.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <random>
#include <thread>
#include <vector>

#include "block_ring.h"
#include "overrun_tracker.h"
#include "sample_statistics.h"
#include "sigmf_metadata.h"

using namespace capture;

namespace {

TEST(OverrunTracker, GrowthPlacesEachGapAtTheBlockStartWithTheRunningLoss) {
  OverrunTracker tracker(7);  // counters that were not zero at the start
  EXPECT_FALSE(tracker.afterBlock(0, 7));
  auto first = tracker.afterBlock(1000, 10);  // 3 words lost
  ASSERT_TRUE(first);
  EXPECT_EQ(first->fileSample, 1000u);
  EXPECT_EQ(first->lostSamples, 6u);
  EXPECT_EQ(first->globalSample, 1006u);
  EXPECT_FALSE(tracker.afterBlock(2000, 10));
  auto second = tracker.afterBlock(3000, 11);
  ASSERT_TRUE(second);
  EXPECT_EQ(second->globalSample, 3000u + 6 + 2);
  EXPECT_EQ(tracker.lostSamples(), 8u);
  EXPECT_EQ(tracker.events().size(), 2u);
}

TEST(OverrunTracker, CounterThatWrapsStillCountsItsGrowth) {
  OverrunTracker tracker(0xFFFFFFFEu);
  auto gap = tracker.afterBlock(50, 1);  // 3 words past the wrap
  ASSERT_TRUE(gap);
  EXPECT_EQ(gap->lostSamples, 6u);
}

// Plain double-precision statistics to compare the fast ones with.
struct Reference {
  int min = INT16_MAX, max = INT16_MIN;
  double sum = 0, squares = 0;
  explicit Reference(const std::vector<int16_t>& samples) {
    for (int16_t v : samples) {
      min = std::min<int>(min, v);
      max = std::max<int>(max, v);
      sum += v;
      squares += double(v) * v;
    }
  }
};

std::vector<uint8_t> bytesOf(const std::vector<int16_t>& samples) {
  std::vector<uint8_t> bytes;
  for (int16_t v : samples) {
    bytes.push_back(static_cast<uint8_t>(v & 0xFF));
    bytes.push_back(static_cast<uint8_t>((static_cast<uint16_t>(v) >> 8) & 0xFF));
  }
  return bytes;
}

TEST(SampleStatistics, MatchesPlainArithmeticOnLongRandomInput) {
  std::mt19937 random(42);
  std::uniform_int_distribution<int> value(-32768, 32767);
  std::vector<int16_t> samples(3 * 4096 + 123);  // full runs and a tail
  for (auto& v : samples) v = static_cast<int16_t>(value(random));
  samples[5000] = -32768;  // extremes in the middle of a run
  samples[9000] = 32767;
  const Reference expected(samples);
  const auto bytes = bytesOf(samples);

  SampleStatistics stats;
  stats.add(bytes.data(), bytes.size());
  EXPECT_EQ(stats.count(), samples.size());
  EXPECT_EQ(stats.min(), -32768);
  EXPECT_EQ(stats.max(), 32767);
  EXPECT_DOUBLE_EQ(stats.mean(), expected.sum / double(samples.size()));
  EXPECT_DOUBLE_EQ(stats.rms(), std::sqrt(expected.squares / double(samples.size())));
}

TEST(SampleStatistics, SamplesSplitAcrossCallsCountOnce) {
  const std::vector<int16_t> samples{-300, 1, 2, 32767, -32768, 77, 5};
  const auto bytes = bytesOf(samples);
  SampleStatistics whole, pieces;
  whole.add(bytes.data(), bytes.size());
  // Odd-sized pieces split samples between calls.
  pieces.add(bytes.data(), 3);
  pieces.add(bytes.data() + 3, 1);
  pieces.add(bytes.data() + 4, 5);
  pieces.add(bytes.data() + 9, bytes.size() - 9);
  EXPECT_EQ(pieces.count(), samples.size());
  EXPECT_EQ(pieces.min(), whole.min());
  EXPECT_EQ(pieces.max(), whole.max());
  EXPECT_DOUBLE_EQ(pieces.mean(), whole.mean());
  EXPECT_DOUBLE_EQ(pieces.rms(), whole.rms());
  EXPECT_EQ(pieces.min(), -32768);
}

RecordingDescription recordingWith(std::vector<OverrunEvent> gaps) {
  RecordingDescription r;
  r.sampleRateHz = 1000;
  r.sha512 = std::string(128, 'a');
  r.startTime = std::chrono::system_clock::time_point(std::chrono::seconds(1700000000));
  r.overruns = std::move(gaps);
  return r;
}

TEST(SigmfMetadata, GapsBecomeSortedSegmentsAndAnnotationsTimedByTheBoardCount) {
  auto meta = sigmfMetadata(recordingWith({{5000, 7000, 1000}, {100, 1100, 1000}}));
  const auto& captures = meta["captures"];
  ASSERT_EQ(captures.size(), 3u);
  EXPECT_EQ(captures[0]["core:datetime"], "2023-11-14T22:13:20.000Z");
  EXPECT_EQ(captures[1]["core:sample_start"], 100);
  EXPECT_EQ(captures[1]["core:global_index"], 1100);
  // 1100 samples at 1000 per second after the start.
  EXPECT_EQ(captures[1]["core:datetime"], "2023-11-14T22:13:21.100Z");
  EXPECT_EQ(captures[2]["core:sample_start"], 5000);
  ASSERT_EQ(meta["annotations"].size(), 2u);
  EXPECT_EQ(meta["annotations"][0]["core:sample_start"], 100);
  EXPECT_EQ(meta["annotations"][1]["core:sample_start"], 5000);
  EXPECT_EQ(meta["annotations"][1]["core:comment"], "1000 samples lost");
}

TEST(SigmfMetadata, GapBeforeTheFirstSampleChangesTheFirstSegment) {
  auto meta = sigmfMetadata(recordingWith({{0, 40, 40}}));
  ASSERT_EQ(meta["captures"].size(), 1u);
  EXPECT_EQ(meta["captures"][0]["core:global_index"], 40);
  EXPECT_EQ(meta["annotations"][0]["core:sample_start"], 0);
}

TEST(BlockRing, FullRingHoldsTheReaderUntilTheWriterGivesBackOrStopIsSet) {
  BlockRing ring(2, 16);
  std::atomic<bool> stop{false};
  Block* a = ring.takeEmpty(stop);
  Block* b = ring.takeEmpty(stop);
  ASSERT_TRUE(a && b);
  a->length = 16;
  ring.handOn(a);
  std::atomic<bool> readerGotBlock{false};
  std::thread reader([&] {
    Block* c = ring.takeEmpty(stop);
    readerGotBlock = true;
    EXPECT_EQ(c, a);  // the one the writer gave back
  });
  Block* filled = ring.takeFilled();
  EXPECT_EQ(filled, a);
  EXPECT_EQ(filled->length, 16u);
  EXPECT_FALSE(readerGotBlock);  // b is out, a is with the writer
  ring.giveBack(filled);
  reader.join();
  EXPECT_TRUE(readerGotBlock);

  stop = true;  // nothing is free now, and the stop ends the wait
  EXPECT_EQ(ring.takeEmpty(stop), nullptr);
}

TEST(BlockRing, WriterDrainsFilledBlocksAfterTheReaderFinishes) {
  BlockRing ring(3, 8);
  std::atomic<bool> stop{false};
  Block* a = ring.takeEmpty(stop);
  Block* b = ring.takeEmpty(stop);
  ring.handOn(a);
  ring.handOn(b);
  ring.finish();
  EXPECT_EQ(ring.takeFilled(), a);
  EXPECT_EQ(ring.takeFilled(), b);
  EXPECT_EQ(ring.takeFilled(), nullptr);
}

}  // namespace
