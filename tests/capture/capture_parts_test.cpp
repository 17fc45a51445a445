// The parts of kpxadac-capture that work without a board: the sample
// statistics, the SigMF metadata and the ring's size.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "board_setup.h"
#include "records_metadata.h"
#include "sample_statistics.h"
#include "sigmf_metadata.h"

using namespace capture;

namespace {

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
  r.samples = 10000;
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

// A text that is not UTF-8 (a name, a board's text) is written with U+FFFD
// in its place, in both kinds of metadata: before, dump() threw and the
// capture ended without its metadata.
TEST(SigmfMetadata, TextThatIsNotUtf8IsWrittenWithReplacementCharacters) {
  RecordingDescription recording = recordingWith({});
  recording.hardware = "board \xff\xfe";
  recording.description = "clock \xc3";  // a sequence cut short
  RecordsDescription records;
  records.config.pre = 1;
  records.config.post = 1;
  for (const std::string& text :
       {metadataText(recording), recordsMetadataText(recording, records)}) {
    ASSERT_FALSE(text.empty());
    EXPECT_EQ(text.back(), '\n');
    const auto meta = nlohmann::json::parse(text);  // valid UTF-8 again
    EXPECT_EQ(meta["global"]["core:hw"], "board \xef\xbf\xbd\xef\xbf\xbd");
    EXPECT_EQ(meta["global"]["core:description"].get<std::string>().rfind("clock \xef\xbf\xbd"),
              0u);
  }
}

struct RingCase {
  double rateHz;
  uint32_t chunkBytes;
  double seconds;
  std::optional<uint64_t> samples;
  unsigned blocks;  // the ring's blocks
  bool cut;         // cut to the memory limit
};

// The ring never passes 1 GiB nor 4096 blocks, whatever the rate (NaN and
// infinite included) and the seconds; a short capture gets no more than it reads.
TEST(RingSize, StaysWithinTheBlockAndMemoryLimits) {
  const double nan = std::nan("");
  const RingCase cases[] = {
      {1e10, 4u << 20, 1, {}, 256, true},
      {INFINITY, 4u << 20, 1, {}, 256, true},
      // The fastest --sample-rate with the default second: 4 GB asked, 1 GiB given.
      {2e9, 4u << 20, 1, {}, 256, true},
      {2e9, 66060288, 1, {}, 16, true},
      {nan, 4u << 20, 1, {}, 2, false},
      {105e6, 66060288, 100, {}, 16, true},
      {105e6, 4096, 3600, {}, 4096, false},
      {105e6, 4u << 20, 1, 1000, 2, false},
  };
  for (const RingCase& c : cases) {
    Options options;
    options.chunkBytes = c.chunkBytes;
    options.ringSeconds = c.seconds;
    options.samples = c.samples;
    const RingSize ring = ringForSeconds(options, c.rateHz);
    EXPECT_EQ(ring.blocks, c.blocks) << c.rateHz << " Hz, " << c.chunkBytes << " bytes";
    EXPECT_EQ(ring.cutToMemoryLimit, c.cut) << c.rateHz << " Hz, " << c.chunkBytes << " bytes";
    EXPECT_LE(uint64_t{ring.blocks} * c.chunkBytes, kMaxRingBytes);
  }
}

}  // namespace
