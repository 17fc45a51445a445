// Groups in a shared virtual world: boards wired to one rack source, each
// at its own place on the timeline (and with its own clock error), measured
// through the C API and compared with the truth the rack reports.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "kpxadac_group.h"
#include "sim_fixture.h"

namespace {

using kpx::sim::trueClockPpm;
using kpx::sim::trueTimelineOffset;

constexpr uint32_t kBlock = 4096;
constexpr uint64_t kWindow = 1 << 16;

const char* const kNoise = R"("ref": {"type": "noise", "amplitude_dbfs": -12, "seed": 5})";
const char* const kChirp =
    R"("ref": {"type": "chirp", "amplitude_dbfs": -3, "start_hz": 1e6, "stop_hz": 40e6, "sweep_time_s": 0.01})";

class GroupWorldTest : public SimTest {
 protected:
  void TearDown() override {
    KpxGroup_Close(group);
    SimTest::TearDown();
  }

  // A rack of unpaced ADC boards 0..n-1 on source "ref", board i at
  // timeline_offset offsets[i] with clock_ppm ppm[i].
  void rack(const char* source, const std::vector<double>& offsets,
            const std::vector<double>& ppm = {}, const std::string& boardExtra = "") {
    std::string text = std::string(R"({"sources": {)") + source + R"(}, "boards": [)";
    for (size_t i = 0; i < offsets.size(); ++i) {
      char place[128];
      std::snprintf(place, sizeof place, R"(, "timeline_offset": %.17g, "clock_ppm": %.17g)",
                    offsets[i], i < ppm.size() ? ppm[i] : 0.0);
      text += (i ? ", " : "") + std::string(R"({"device": )") + std::to_string(i) +
              R"(, "input": "ref")" + (boardExtra.empty() ? std::string(place) : boardExtra) + "}";
    }
    useRack(text + "]}");
    Kpxadac16_Open();
  }

  void start(uint32_t count) {
    KpxGroupConfig c{};
    c.direction = KPXSTREAM_RECEIVE;
    c.count = count;
    for (uint32_t i = 0; i < count; ++i) c.boards[i] = static_cast<int32_t>(i);
    c.setup = KPXSTREAM_SETUP_AUTO_CLOCK;
    c.blockSamples = kBlock;
    c.blockCount = 8;
    ASSERT_EQ(KpxGroup_Open(&c, &group, nullptr), KPXGROUP_OK);
    ASSERT_EQ(KpxGroup_Start(group), KPXGROUP_OK);
  }

  // After the offsets are applied, board b's samples of the next blocks
  // equal board 0's, sample for sample (whole offsets on one source read
  // the same source samples).
  void expectAlignedBlocksEqual(int blocks) {
    KpxGroupBlock block{};
    for (int k = 0; k < blocks; ++k) {
      ASSERT_EQ(KpxGroup_AcquireRead(group, &block, 10000), KPXGROUP_OK);
      ASSERT_EQ(block.flags & KPXGROUP_BLOCK_GAP, 0u);
      for (uint32_t b = 1; b < block.count; ++b)
        for (uint32_t j = 0; j < block.samples; ++j)
          ASSERT_EQ(block.boards[b].samples[j], block.boards[0].samples[j])
              << "board " << b << " sample " << j << " of the block at " << block.groupIndex;
      ASSERT_EQ(KpxGroup_ReleaseRead(group, &block), KPXGROUP_OK);
    }
  }

  KpxGroup* group = nullptr;
};

struct WorldCase {
  const char* name;
  const char* source;
  std::vector<double> offsets;  // timeline_offset of boards 0, 1, ...
};

class MeasuredOffsets : public GroupWorldTest, public ::testing::WithParamInterface<WorldCase> {};

// Offsets relative to board 0: 0, small, larger than a block, negative;
// then fractional ones.
TEST_P(MeasuredOffsets, EqualTheBoardsPlacesOnTheTimeline) {
  const WorldCase& c = GetParam();
  rack(c.source, c.offsets);
  const uint32_t count = static_cast<uint32_t>(c.offsets.size());
  start(count);
  std::vector<KpxGroupAlignment> results(count);
  ASSERT_EQ(KpxGroup_Measure(group, kWindow, results.data(), 1, 10000), KPXGROUP_OK);
  bool whole = true;
  for (uint32_t b = 0; b < count; ++b) {
    const double truth = trueTimelineOffset(static_cast<int>(b)) - trueTimelineOffset(0);
    ASSERT_EQ(results[b].result, KPXGROUP_ALIGN_OK) << b;
    if (truth == std::round(truth)) {
      EXPECT_EQ(std::llround(results[b].offset), std::llround(truth)) << b;
      EXPECT_NEAR(results[b].offset, truth, 0.01) << b;
    } else {
      whole = false;
      EXPECT_NEAR(results[b].offset, truth, 0.05) << b;
    }
    EXPECT_NEAR(results[b].drift * 1e6, 0.0, 1.0) << b;
  }
  KpxGroupStatus s{};
  ASSERT_EQ(KpxGroup_GetStatus(group, &s), KPXGROUP_OK);
  EXPECT_EQ(s.offsetsMeasured, 1);
  for (uint32_t b = 0; b < count; ++b)
    EXPECT_EQ(s.skips[0] - s.skips[b], std::llround(results[b].offset)) << b;
  if (whole) expectAlignedBlocksEqual(3);
}

INSTANTIATE_TEST_SUITE_P(
    SharedSources, MeasuredOffsets,
    ::testing::Values(WorldCase{"noise_whole", kNoise, {500, 500, 503, 500 + 9000, 500 - 25}},
                      WorldCase{
                          "chirp_whole", kChirp, {2000, 2000, 1999, 2000 + 4097, 2000 - 6000}},
                      WorldCase{"noise_fractional", kNoise, {100, 137.25, 100 - 3.6, 100.5}},
                      WorldCase{"chirp_fractional", kChirp, {300, 300.75, 300 - 12.4}}),
    [](const auto& param) { return std::string(param.param.name); });

TEST_F(GroupWorldTest, DriftIsTheBoardsClockError) {
  const std::vector<double> ppm = {0, 4, -7.5};
  rack(kNoise, {1000, 1040, 990}, ppm);
  start(3);
  std::vector<KpxGroupAlignment> results(3);
  ASSERT_EQ(KpxGroup_Measure(group, 1 << 17, results.data(), 0, 10000), KPXGROUP_OK);
  for (int b = 1; b < 3; ++b) {
    ASSERT_EQ(results[b].result, KPXGROUP_ALIGN_OK) << b;
    EXPECT_NEAR(results[b].drift * 1e6, trueClockPpm(b), 1.0) << b;
    // position(n) = (n + T)(1 + ppm 1e-6); at the window's centre n = 2^16:
    const double n = 1 << 16;
    const double truth = (n + trueTimelineOffset(b)) * (1 + ppm[static_cast<size_t>(b)] * 1e-6) -
                         (n + trueTimelineOffset(0));
    EXPECT_NEAR(results[b].offset, truth, 0.1) << b;
  }
}

TEST_F(GroupWorldTest, APeriodicReferenceIsAmbiguousNotAWrongOffset) {
  rack(R"("ref": {"type": "tone", "frequency_hz": 3e6, "noise_lsb_rms": 0})", {0, 12});
  start(2);
  std::vector<KpxGroupAlignment> results(2);
  EXPECT_EQ(KpxGroup_Measure(group, kWindow, results.data(), 1, 10000), KPXGROUP_ERR_ALIGNMENT);
  EXPECT_EQ(results[1].result, KPXGROUP_ALIGN_AMBIGUOUS);
  KpxGroupStatus s{};
  ASSERT_EQ(KpxGroup_GetStatus(group, &s), KPXGROUP_OK);
  EXPECT_EQ(s.offsetsApplied, 0);
}

// Real-time boards take their places from when their clocks start: the
// group's own start skew is what the measure must find. Once applied, the
// aligned blocks of the shared source are equal on every board.
TEST_F(GroupWorldTest, RealtimeBoardsAlignToTheirStartsAndReadEqualSamples) {
  rack(
      R"("ref": {"type": "chirp", "amplitude_dbfs": -3, "start_hz": 1e4, "stop_hz": 4.5e5, "sweep_time_s": 0.2})",
      {0, 0, 0}, {}, R"(, "realtime": true, "synthesizer_rate_hz": 1e6)");
  start(3);
  std::vector<KpxGroupAlignment> results(3);
  int32_t result = KPXGROUP_ERR_GAP_IN_WINDOW;
  for (int attempt = 0; attempt < 3 && result == KPXGROUP_ERR_GAP_IN_WINDOW; ++attempt)
    result = KpxGroup_Measure(group, kWindow, results.data(), 1, 10000);
  ASSERT_EQ(result, KPXGROUP_OK) << KpxGroup_ResultText(result)
                                 << "; board 1: " << KpxGroup_AlignText(results[1].result)
                                 << ", board 2: " << KpxGroup_AlignText(results[2].result);
  for (int b = 0; b < 3; ++b) {
    const double truth = trueTimelineOffset(b) - trueTimelineOffset(0);
    EXPECT_EQ(std::llround(results[static_cast<size_t>(b)].offset), std::llround(truth)) << b;
    EXPECT_NEAR(results[static_cast<size_t>(b)].offset, truth, 0.01) << b;
  }
  KpxGroupStatus s{};
  ASSERT_EQ(KpxGroup_GetStatus(group, &s), KPXGROUP_OK);
  // The skew the group measured on the host clock bounds the boards' true one.
  double spread = 0;
  for (int b = 1; b < 3; ++b)
    spread = std::max(spread, std::fabs(trueTimelineOffset(b) - trueTimelineOffset(0)));
  EXPECT_LE(spread, static_cast<double>(s.startSkewSamples) + 1);
  expectAlignedBlocksEqual(4);
}

}  // namespace
