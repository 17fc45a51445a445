// Groups on virtual boards: refusals, aligned reading on ramp boards (a
// ramp's sample at board index k is (int16)k, so every delivered sample
// says which board index it came from), gaps under both policies, offsets
// given and measured, and transmit groups with pads.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "kpxadac_group.h"
#include "sim_fixture.h"

namespace fs = std::filesystem;

namespace {

constexpr uint32_t kBlock = 4096;

std::string adcBoard(int device, const std::string& extra = R"("signal": {"type": "ramp"})") {
  return R"({"device": )" + std::to_string(device) + ", " + extra + "}";
}

class GroupTest : public SimTest {
 protected:
  void TearDown() override {
    KpxGroup_Close(group);
    for (KpxStream* s : streams) KpxStream_Close(s);
    SimTest::TearDown();
  }

  void rack(const std::vector<std::string>& boards) {
    std::string text = R"({"boards": [)";
    for (size_t i = 0; i < boards.size(); ++i) text += (i ? ", " : "") + boards[i];
    useRack(text + "]}");
    Kpxadac16_Open();
  }

  static KpxGroupConfig config(std::vector<int32_t> indexes,
                               int32_t direction = KPXSTREAM_RECEIVE) {
    KpxGroupConfig c{};
    c.direction = direction;
    c.count = static_cast<uint32_t>(indexes.size());
    for (size_t i = 0; i < indexes.size() && i < KPXGROUP_MAX_BOARDS; ++i) c.boards[i] = indexes[i];
    c.setup = KPXSTREAM_SETUP_AUTO_CLOCK;
    c.blockSamples = kBlock;
    c.blockCount = 4;
    return c;
  }

  void openAndStart(const KpxGroupConfig& c) {
    ASSERT_EQ(KpxGroup_Open(&c, &group, nullptr), KPXGROUP_OK);
    ASSERT_EQ(KpxGroup_Start(group), KPXGROUP_OK);
  }

  KpxStream* openStream(BoardHandle handle, int32_t direction, uint32_t blockBytes) {
    KpxStreamConfig sc{};
    sc.board = handle;
    sc.direction = direction;
    sc.blockBytes = blockBytes;
    sc.blockCount = 4;
    sc.setup = KPXSTREAM_SETUP_AUTO_CLOCK;
    KpxStream* s = nullptr;
    EXPECT_EQ(KpxStream_Open(&sc, &s), KPXSTREAM_OK);
    streams.push_back(s);
    return s;
  }

  KpxGroupStatus status() {
    KpxGroupStatus s{};
    EXPECT_EQ(KpxGroup_GetStatus(group, &s), KPXGROUP_OK);
    return s;
  }

  // Every sample of every board in `block` is the ramp at its board index,
  // less the samples board b lost before (`behind(b, index)`: the ramp runs
  // on through a gap while the index jumps), except those it reports lost.
  static void expectRamp(const KpxGroupBlock& block) {
    expectRamp(block, [](uint32_t, uint64_t) { return uint64_t{0}; });
  }
  template <typename Behind>
  static void expectRamp(const KpxGroupBlock& block, Behind behind) {
    for (uint32_t b = 0; b < block.count; ++b) {
      const KpxGroupBoardBlock& part = block.boards[b];
      for (uint32_t j = 0; j < block.samples; ++j) {
        const bool lost = part.lost && j >= part.firstLost && j < part.firstLost + part.lost;
        const uint64_t index = part.boardIndex + j;
        const int16_t expected = lost ? int16_t{0} : static_cast<int16_t>(index - behind(b, index));
        if (part.samples[j] != expected) {
          ADD_FAILURE() << "board " << b << " sample " << j << " of group block at "
                        << block.groupIndex << ": " << part.samples[j] << ", not " << expected;
          return;
        }
      }
    }
  }

  KpxGroup* group = nullptr;
  std::vector<KpxStream*> streams;
};

TEST_F(GroupTest, RefusalsNameWhatIsWrongAndLeaveNothingOpen) {
  rack({adcBoard(0), adcBoard(1), adcBoard(2), R"({"device": 3, "board_id": "0x86"})"});
  struct Case {
    const char* what;
    KpxGroupConfig config;
    int32_t expected;
    int32_t position;
  };
  auto with = [](KpxGroupConfig c, auto change) {
    change(c);
    return c;
  };
  std::vector<Case> cases = {
      {"no boards", config({}), KPXGROUP_ERR_COUNT, -1},
      {"65 boards", with(config({0}), [](auto& c) { c.count = 65; }), KPXGROUP_ERR_COUNT, -1},
      {"a board twice", config({0, 1, 0}), KPXGROUP_ERR_DUPLICATE, 2},
      {"an unknown direction", config({0}, 7), KPXGROUP_ERR_DIRECTION, -1},
      {"index 3 names no ADC board (nor DAC)", config({0, 1, 2, 3}), KPXGROUP_ERR_NO_BOARD, 3},
      {"index 1 names an ADC board, not a DAC", config({1}, KPXSTREAM_TRANSMIT),
       KPXGROUP_ERR_DIRECTION, 0},
      {"no such board", config({0, 9}), KPXGROUP_ERR_NO_BOARD, 1},
      {"an index beyond 255", config({0, 256}), KPXGROUP_ERR_NO_BOARD, 1},
      {"an odd block", with(config({0}), [](auto& c) { c.blockSamples = 4095; }),
       KPXGROUP_ERR_BLOCK_SIZE, -1},
      {"an empty block", with(config({0}), [](auto& c) { c.blockSamples = 0; }),
       KPXGROUP_ERR_BLOCK_SIZE, -1},
      {"a block beyond the largest transfer",
       with(config({0}), [](auto& c) { c.blockSamples = TALVO_MAX_CHUNK / 2 + 2; }),
       KPXGROUP_ERR_BLOCK_SIZE, -1},
      {"an unknown gap policy", with(config({0}), [](auto& c) { c.gapPolicy = 2; }),
       KPXGROUP_ERR_ARGUMENT, -1},
      {"a ring of one block", with(config({0}), [](auto& c) { c.blockCount = 1; }),
       KPXGROUP_ERR_ARGUMENT, -1},
  };
  for (const Case& c : cases) {
    KpxGroupOpenInfo info{};
    EXPECT_EQ(KpxGroup_Open(&c.config, &group, &info), c.expected)
        << c.what << ": " << KpxGroup_ResultText(KpxGroup_Open(&c.config, &group, &info));
    EXPECT_EQ(group, nullptr) << c.what;
    EXPECT_EQ(info.position, c.position) << c.what;
  }
  KpxGroupConfig c = config({0, 1});
  EXPECT_EQ(KpxGroup_Open(nullptr, &group, nullptr), KPXGROUP_ERR_NULL);
  EXPECT_EQ(KpxGroup_Open(&c, nullptr, nullptr), KPXGROUP_ERR_NULL);

  // A board streaming elsewhere: board 1 has a stream of its own.
  KpxStream* busy = openStream(Kpxadac16_GetHandle(BOARD_TYPE_ADC, 1), KPXSTREAM_RECEIVE, 8192);
  KpxGroupOpenInfo info{};
  c = config({0, 2, 1});
  EXPECT_EQ(KpxGroup_Open(&c, &group, &info), KPXGROUP_ERR_BOARD_BUSY);
  EXPECT_EQ(info.position, 2);
  EXPECT_EQ(info.streamResult, KPXSTREAM_ERR_BOARD_BUSY);
  // Boards 0 and 2 were let go again: a group of them opens.
  c = config({2, 0});
  ASSERT_EQ(KpxGroup_Open(&c, &group, nullptr), KPXGROUP_OK);
  KpxGroup_Close(group);
  group = nullptr;
  KpxStream_Close(busy);
  streams.clear();

  // Groups of the caller's streams.
  KpxStream* rx0 = openStream(Kpxadac16_GetHandle(BOARD_TYPE_ADC, 0), KPXSTREAM_RECEIVE, 8192);
  KpxStream* rx1 = openStream(Kpxadac16_GetHandle(BOARD_TYPE_ADC, 1), KPXSTREAM_RECEIVE, 4096);
  KpxStream* rx2 = openStream(Kpxadac16_GetHandle(BOARD_TYPE_ADC, 2), KPXSTREAM_RECEIVE, 8192);
  KpxStream* tx = openStream(Kpxadac16_GetHandle(BOARD_TYPE_DAC, 0), KPXSTREAM_TRANSMIT, 8192);
  struct StreamCase {
    const char* what;
    std::vector<KpxStream*> list;
    int32_t expected;
    int32_t position;
  } streamCases[] = {
      {"mixed directions", {rx0, tx}, KPXGROUP_ERR_MIXED_DIRECTIONS, 1},
      {"mixed block sizes", {rx0, rx2, rx1}, KPXGROUP_ERR_MIXED_BLOCKS, 2},
      {"a stream twice", {rx0, rx2, rx0}, KPXGROUP_ERR_DUPLICATE, 2},
  };
  for (const StreamCase& sc : streamCases) {
    KpxGroupConfig g = config({});
    g.count = static_cast<uint32_t>(sc.list.size());
    EXPECT_EQ(KpxGroup_OpenStreams(sc.list.data(), &g, &group, &info), sc.expected) << sc.what;
    EXPECT_EQ(info.position, sc.position) << sc.what;
    EXPECT_EQ(group, nullptr);
  }
  ASSERT_EQ(KpxStream_Start(rx2), KPXSTREAM_OK);
  KpxStream* started[] = {rx0, rx2};
  KpxGroupConfig g = config({});
  g.count = 2;
  EXPECT_EQ(KpxGroup_OpenStreams(started, &g, &group, &info), KPXGROUP_ERR_STARTED);
  EXPECT_EQ(info.position, 1);
}

TEST_F(GroupTest, BlocksOfEveryBoardFollowTheGroupIndexAndTheOffsetsGiven) {
  rack({adcBoard(0), adcBoard(1), adcBoard(2)});
  openAndStart(config({0, 1, 2}));
  KpxGroupStatus s = status();
  EXPECT_EQ(s.running, 1);
  EXPECT_EQ(s.count, 3u);
  EXPECT_GT(s.sampleRateHz, 0.0);
  // The skew in samples is the host time it took, at the boards' rate, rounded up.
  EXPECT_EQ(s.startSkewSamples, static_cast<uint64_t>(std::ceil(static_cast<double>(s.startSkewNs) *
                                                                1e-9 * s.sampleRateHz)));

  KpxGroupBlock block{};
  uint64_t expectedIndex = 0;
  for (int k = 0; k < 3; ++k) {
    ASSERT_EQ(KpxGroup_AcquireRead(group, &block, 5000), KPXGROUP_OK);
    EXPECT_EQ(block.groupIndex, expectedIndex);
    EXPECT_EQ(block.samples, kBlock);
    for (uint32_t b = 0; b < 3; ++b) {
      EXPECT_EQ(block.boards[b].boardIndex, expectedIndex);
      EXPECT_EQ(block.boards[b].flags, 0u) << "zero copy, no gap";
    }
    expectRamp(block);
    EXPECT_EQ(KpxGroup_AcquireRead(group, &block, 0), KPXGROUP_ERR_STATE) << "one block at a time";
    ASSERT_EQ(KpxGroup_ReleaseRead(group, &block), KPXGROUP_OK);
    EXPECT_EQ(KpxGroup_ReleaseRead(group, &block), KPXGROUP_ERR_NOT_HELD);
    expectedIndex += kBlock;
  }

  // Board 1's sample n is board 0's n + 5.25, board 2's is board 0's n - 3000:
  // rounded, board 1 reads 5 samples behind board 0, board 2 3000 ahead.
  const double bad[][3] = {{1, 0, 0}, {0, NAN, 0}, {0, INFINITY, 0}, {0, 0, 1e13}};
  for (const auto& offsets : bad)
    EXPECT_EQ(KpxGroup_SetOffsets(group, offsets, 3), KPXGROUP_ERR_ARGUMENT);
  const double offsets[3] = {0, 5.25, -3000};
  EXPECT_EQ(KpxGroup_SetOffsets(group, offsets, 2), KPXGROUP_ERR_ARGUMENT);
  ASSERT_EQ(KpxGroup_SetOffsets(group, offsets, 3), KPXGROUP_OK);
  s = status();
  EXPECT_EQ(s.offsetsApplied, 1);
  EXPECT_EQ(s.skips[0] - s.skips[1], 5);
  EXPECT_EQ(s.skips[0] - s.skips[2], -3000);
  for (uint32_t b = 0; b < 3; ++b) EXPECT_GE(s.skips[b], 0);
  EXPECT_DOUBLE_EQ(s.offsets[1], 5.25);
  for (int k = 0; k < 4; ++k) {
    ASSERT_EQ(KpxGroup_AcquireRead(group, &block, 5000), KPXGROUP_OK);
    EXPECT_EQ(block.groupIndex, expectedIndex);
    for (uint32_t b = 0; b < 3; ++b)
      EXPECT_EQ(static_cast<int64_t>(block.boards[b].boardIndex),
                static_cast<int64_t>(expectedIndex) + s.skips[b]);
    // Board b's sample n and board 0's n + offset[b] are one instant.
    EXPECT_EQ(static_cast<int64_t>(block.boards[1].boardIndex) + 5,
              static_cast<int64_t>(block.boards[0].boardIndex));
    EXPECT_EQ(static_cast<int64_t>(block.boards[2].boardIndex) - 3000,
              static_cast<int64_t>(block.boards[0].boardIndex));
    expectRamp(block);
    ASSERT_EQ(KpxGroup_ReleaseRead(group, &block), KPXGROUP_OK);
    expectedIndex += kBlock;
  }
  s = status();
  EXPECT_EQ(s.groupSamples, expectedIndex);
  EXPECT_EQ(KpxGroup_Stop(group), KPXGROUP_OK);
  EXPECT_EQ(KpxGroup_AcquireRead(group, &block, 1000), KPXGROUP_STOPPED);
  EXPECT_EQ(status().endResult, KPXGROUP_STOPPED);
}

// Board 1 loses 10 samples (5 words) after its 3rd read, so its stream's
// 3rd block (index 2 x 4096) starts 10 samples late.
TEST_F(GroupTest, AGapOfOneBoardIsAGapOfTheGroupUnderEitherPolicy) {
  const std::string gapBoard = adcBoard(
      1,
      R"("signal": {"type": "ramp"}, "faults": [{"op": "read", "skip": 2, "count": 1, "rx_overrun": 5}])");
  for (int32_t policy : {KPXGROUP_GAPS_FLAG, KPXGROUP_GAPS_DROP}) {
    SCOPED_TRACE(policy);
    rack({adcBoard(0), gapBoard});
    KpxGroupConfig c = config({0, 1});
    c.gapPolicy = policy;
    c.sampleLimit = 5 * kBlock;
    openAndStart(c);
    std::vector<KpxGroupBlock> seen;
    KpxGroupBlock block{};
    int32_t result;
    while ((result = KpxGroup_AcquireRead(group, &block, 5000)) == KPXGROUP_OK) {
      expectRamp(block, [](uint32_t b, uint64_t index) {
        return b == 1 && index >= 2 * kBlock + 10 ? uint64_t{10} : uint64_t{0};
      });
      seen.push_back(block);
      ASSERT_EQ(KpxGroup_ReleaseRead(group, &block), KPXGROUP_OK);
    }
    EXPECT_EQ(result, KPXGROUP_COMPLETE);
    const KpxGroupStatus s = status();
    EXPECT_EQ(s.lostSamples[1], 10u);
    EXPECT_EQ(s.lostSamples[0], 0u);
    if (policy == KPXGROUP_GAPS_FLAG) {
      ASSERT_EQ(seen.size(), 5u);
      for (size_t k = 0; k < seen.size(); ++k) {
        EXPECT_EQ(seen[k].groupIndex, k * kBlock);
        EXPECT_EQ(seen[k].boards[0].lost, 0u);
        EXPECT_EQ(seen[k].boards[1].lost, k == 2 ? 10u : 0u);
        EXPECT_EQ((seen[k].flags & KPXGROUP_BLOCK_GAP) != 0, k == 2);
      }
      EXPECT_EQ(seen[2].boards[1].firstLost, 0u);
      // After the gap board 1's blocks straddle its stream's blocks: copied.
      EXPECT_TRUE(seen[3].boards[1].flags & KPXGROUP_BLOCK_COPIED);
      EXPECT_EQ(s.groupSamples, 5u * kBlock);
      EXPECT_EQ(s.droppedSamples, 0u);
    } else {
      ASSERT_EQ(seen.size(), 4u);
      EXPECT_EQ(seen[2].groupIndex, 3u * kBlock);
      EXPECT_EQ(seen[2].droppedBefore, kBlock);
      EXPECT_EQ(seen[3].droppedBefore, 0u);
      for (const KpxGroupBlock& b : seen) EXPECT_EQ(b.flags & KPXGROUP_BLOCK_GAP, 0u);
      EXPECT_EQ(s.droppedSamples, kBlock);
      EXPECT_EQ(s.droppedByGroup[0], kBlock);
      EXPECT_EQ(s.droppedByGroup[1], kBlock - 10);
      EXPECT_EQ(s.groupSamples, 4u * kBlock);
    }
    KpxGroup_Close(group);
    group = nullptr;
  }
}

// Every board's part of a group block is page-aligned, the stream's own
// block or the group's copy (after offsets, after a gap), so that a writer
// can hand it to an unbuffered (O_DIRECT) write as it is.
TEST_F(GroupTest, EveryBoardsBlockIsPageAlignedCopiedOrNot) {
  const auto aligned = [](const int16_t* samples) {
    return reinterpret_cast<uintptr_t>(samples) % 4096 == 0;
  };
  const std::string gapBoard = adcBoard(
      1,
      R"("signal": {"type": "ramp"}, "faults": [{"op": "read", "skip": 1, "count": 1, "rx_overrun": 7}])");
  struct Case {
    const char* name;
    std::string board1;
    std::vector<double> offsets;  // empty: none given
    int32_t policy;
    bool copiesExpected;
  };
  const Case cases[] = {
      {"zero copy", adcBoard(1), {}, KPXGROUP_GAPS_FLAG, false},
      {"offsets that are not whole blocks",
       adcBoard(1),
       {0, 5.25, -3000},
       KPXGROUP_GAPS_FLAG,
       true},
      {"after a gap, flagged", gapBoard, {}, KPXGROUP_GAPS_FLAG, true},
      {"after a gap, dropped", gapBoard, {}, KPXGROUP_GAPS_DROP, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    rack({adcBoard(0), c.board1, adcBoard(2)});
    KpxGroupConfig gc = config({0, 1, 2});
    gc.gapPolicy = c.policy;
    gc.sampleLimit = 6 * kBlock;
    openAndStart(gc);
    if (!c.offsets.empty()) {
      ASSERT_EQ(KpxGroup_SetOffsets(group, c.offsets.data(), 3), KPXGROUP_OK);
    }
    KpxGroupBlock block{};
    int32_t result;
    bool copied = false;
    while ((result = KpxGroup_AcquireRead(group, &block, 5000)) == KPXGROUP_OK) {
      for (uint32_t b = 0; b < block.count; ++b) {
        EXPECT_TRUE(aligned(block.boards[b].samples))
            << "board " << b << " at " << block.groupIndex << ", flags " << block.boards[b].flags;
        copied |= (block.boards[b].flags & KPXGROUP_BLOCK_COPIED) != 0;
      }
      ASSERT_EQ(KpxGroup_ReleaseRead(group, &block), KPXGROUP_OK);
    }
    EXPECT_EQ(result, KPXGROUP_COMPLETE);
    EXPECT_EQ(copied, c.copiesExpected);
    KpxGroup_Close(group);
    group = nullptr;
  }

  // A transmit group with a pad fills the group's own blocks: aligned too.
  rack({R"({"device": 0, "board_id": "0x86"})", R"({"device": 1, "board_id": "0x86"})"});
  const KpxGroupConfig tc = config({0, 1}, KPXSTREAM_TRANSMIT);
  ASSERT_EQ(KpxGroup_Open(&tc, &group, nullptr), KPXGROUP_OK);
  const double pad[2] = {0, 3};
  ASSERT_EQ(KpxGroup_SetOffsets(group, pad, 2), KPXGROUP_OK);
  ASSERT_EQ(KpxGroup_Start(group), KPXGROUP_OK);
  KpxGroupBlock block{};
  ASSERT_EQ(KpxGroup_AcquireWrite(group, &block, 5000), KPXGROUP_OK);
  for (uint32_t b = 0; b < 2; ++b) {
    EXPECT_TRUE(block.boards[b].flags & KPXGROUP_BLOCK_COPIED);
    EXPECT_TRUE(aligned(block.boards[b].samples)) << "board " << b;
  }
  block.samples = 0;
  EXPECT_EQ(KpxGroup_SubmitWrite(group, &block), KPXGROUP_OK);
}

TEST_F(GroupTest, AToneIsAnAmbiguousReferenceAndNothingIsApplied) {
  // The default boards play a 10 MHz tone: every period is a peak.
  rack({R"({"device": 0})", R"({"device": 1})"});
  openAndStart(config({0, 1}));
  KpxGroupAlignment results[2]{};
  EXPECT_EQ(KpxGroup_Measure(group, 1 << 15, results, 1, 5000), KPXGROUP_ERR_ALIGNMENT);
  EXPECT_EQ(results[0].result, KPXGROUP_ALIGN_OK);
  EXPECT_EQ(results[1].result, KPXGROUP_ALIGN_AMBIGUOUS);
  KpxGroupStatus s = status();
  EXPECT_EQ(s.offsetsApplied, 0);
  // The window was read and not delivered: the next block follows it.
  KpxGroupBlock block{};
  ASSERT_EQ(KpxGroup_AcquireRead(group, &block, 5000), KPXGROUP_OK);
  EXPECT_EQ(block.groupIndex, uint64_t{1} << 15);
  EXPECT_EQ(KpxGroup_Measure(group, 1 << 15, results, 1, 5000), KPXGROUP_ERR_STATE);
  ASSERT_EQ(KpxGroup_ReleaseRead(group, &block), KPXGROUP_OK);
  EXPECT_EQ(KpxGroup_Measure(group, KPXGROUP_MIN_WINDOW - 1, results, 1, 5000),
            KPXGROUP_ERR_WINDOW);
  EXPECT_EQ(KpxGroup_Measure(group, uint64_t{KPXGROUP_MAX_WINDOW} + 1, results, 1, 5000),
            KPXGROUP_ERR_WINDOW);
}

TEST_F(GroupTest, ReceiveAndTransmitCallsAreRefusedOnTheOtherDirection) {
  rack({adcBoard(0)});
  KpxGroupBlock block{};
  KpxGroupAlignment results[1]{};
  const KpxGroupConfig c = config({0});
  ASSERT_EQ(KpxGroup_Open(&c, &group, nullptr), KPXGROUP_OK);
  EXPECT_EQ(KpxGroup_AcquireRead(group, &block, 0), KPXGROUP_ERR_STATE) << "not started";
  EXPECT_EQ(KpxGroup_Measure(group, 1024, results, 0, 0), KPXGROUP_ERR_STATE);
  EXPECT_EQ(KpxGroup_AcquireWrite(group, &block, 0), KPXGROUP_ERR_WRONG_DIRECTION);
  EXPECT_EQ(KpxGroup_SubmitWrite(group, &block), KPXGROUP_ERR_WRONG_DIRECTION);
  ASSERT_EQ(KpxGroup_Start(group), KPXGROUP_OK);
  EXPECT_EQ(KpxGroup_Start(group), KPXGROUP_ERR_STATE);
}

// Two DAC boards play one block pattern each; board 1 is given an offset of
// 3 samples, so board 0 plays 3 zeros first; a short last block writes out
// what the pad held back.
TEST_F(GroupTest, ATransmitGroupPlaysEveryBoardsSamplesBehindItsPad) {
  const fs::path dir =
      fs::temp_directory_path() /
      ("kpxadac-group-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + "-" +
       std::to_string(reinterpret_cast<uintptr_t>(this)));
  fs::create_directories(dir);
  const fs::path played[2] = {dir / "dac0.raw", dir / "dac1.raw"};
  rack(
      {R"({"device": 0, "board_id": "0x86", "output_file": ")" + played[0].generic_string() + "\"}",
       R"({"device": 1, "board_id": "0x86", "output_file": ")" + played[1].generic_string() +
           "\"}"});
  KpxGroupConfig c = config({0, 1}, KPXSTREAM_TRANSMIT);
  c.blockSamples = 64;
  ASSERT_EQ(KpxGroup_Open(&c, &group, nullptr), KPXGROUP_OK);
  const double offsets[2] = {0, 3};
  ASSERT_EQ(KpxGroup_SetOffsets(group, offsets, 2), KPXGROUP_OK);
  ASSERT_EQ(KpxGroup_Start(group), KPXGROUP_OK);
  KpxGroupBlock block{};
  constexpr uint32_t kTotal = 64 * 3 + 10;
  for (uint32_t done = 0; done < kTotal;) {
    ASSERT_EQ(KpxGroup_AcquireWrite(group, &block, 5000), KPXGROUP_OK);
    EXPECT_EQ(block.groupIndex, done);
    const uint32_t n = std::min(64u, kTotal - done);
    for (uint32_t b = 0; b < 2; ++b)
      for (uint32_t j = 0; j < n; ++j)
        block.boards[b].samples[j] = static_cast<int16_t>(1000 * (b + 1) + done + j);
    block.samples = n;
    ASSERT_EQ(KpxGroup_SubmitWrite(group, &block), KPXGROUP_OK);
    done += n;
  }
  const double late[2] = {0, 1};
  EXPECT_EQ(KpxGroup_SetOffsets(group, late, 2), KPXGROUP_ERR_STATE) << "after the first block";
  KpxGroup_Close(group);  // waits for the streams' writes
  group = nullptr;
  useRack("none");  // the rack closes the boards' output files
  for (uint32_t b = 0; b < 2; ++b) {
    std::ifstream in(played[b], std::ios::binary);
    std::vector<int16_t> samples(kTotal + 8);
    in.read(reinterpret_cast<char*>(samples.data()),
            static_cast<std::streamsize>(samples.size() * 2));
    samples.resize(static_cast<size_t>(in.gcount()) / 2);
    const size_t pad = b == 0 ? 3 : 0;
    // Board 0 plays 3 zeros, the samples, and a zero that makes whole words.
    ASSERT_EQ(samples.size(), kTotal + pad + (pad % 2)) << b;
    for (size_t j = 0; j < pad; ++j) EXPECT_EQ(samples[j], 0) << b;
    for (uint32_t j = 0; j < kTotal; ++j)
      ASSERT_EQ(samples[pad + j], static_cast<int16_t>(1000 * (b + 1) + j)) << b << " " << j;
  }
  fs::remove_all(dir);
}

}  // namespace
