// The registers that move by themselves: clock ready and synthesizer busy,
// the table handshake and the sequence engine.
#include "kpxadc.h"
#include "rack_test.h"
#include "virtual_boards/board.h"

namespace kpx::sim::test {
namespace {

using RegisterTest = RackTest;

// The model keeps its own register map (virtual_boards/board.h says why); it
// names the same registers as the library's.
static_assert(reg::kClock == KPXADC_REG_CLOCK && reg::kRun == KPXADC_REG_RUN &&
              reg::kTableControl == KPXADC_REG_TABLE_CONTROL &&
              reg::kSequenceStatus == KPXADC_REG_SEQ_STATUS &&
              reg::kSequenceState == KPXADC_REG_SEQ_STATE);

// Reads `offset` `count` times and returns the value masked by `mask` each time.
std::vector<uint32_t> poll(Handle h, uint32_t offset, uint32_t mask, int count) {
  std::vector<uint32_t> seen;
  for (int i = 0; i < count; ++i) seen.push_back(RackTest::readReg(h, offset) & mask);
  return seen;
}

TEST_F(RegisterTest, ClockResetPulseClearsReadyForSomeReads) {
  useRack(R"({"boards":[{"device":0},{"device":1,"ready_after_reads":0},
             {"device":2,"clock_ready":false},{"device":3,"ready_after_reads":null}]})");
  const Handle h = open(0);
  EXPECT_EQ(readReg(h, 8), 0x100u) << "a board starts with its clock ready";
  writeReg(h, 8, 0x100 | 0x10);  // bit 8 is status: writing it changes nothing
  writeReg(h, 8, 0x80 | 0x10);   // reset pulse 0 -> 1
  EXPECT_EQ(peekRegister(0, 8), 0x90u);
  EXPECT_EQ(poll(h, 8, 0x100, 5), (std::vector<uint32_t>{0, 0, 0, 0x100, 0x100}));
  writeReg(h, 8, 0x80);  // bit 7 already 1: no pulse
  EXPECT_EQ(readReg(h, 8) & 0x100, 0x100u);

  const Handle fast = open(1);
  writeReg(fast, 8, 0);
  writeReg(fast, 8, 0x80);
  EXPECT_EQ(readReg(fast, 8) & 0x100, 0x100u);

  for (int device : {2, 3}) {
    const Handle never = open(device);
    EXPECT_EQ(readReg(never, 8) & 0x100, 0u);
    writeReg(never, 8, 0x80);
    EXPECT_EQ(poll(never, 8, 0x100, 600), std::vector<uint32_t>(600, 0));
  }
}

TEST_F(RegisterTest, SynthesizerStartKeepsBusyThenCountsAsProgrammed) {
  useRack(R"({"boards":[{"device":0,"busy_reads":2},{"device":1,"busy_reads":-1}]})");
  const Handle h = open(0);
  writeReg(h, 8, 0x10);
  writeReg(h, 8, 0x48);
  EXPECT_FALSE(synthesizerProgrammed(0));
  EXPECT_EQ(poll(h, 8, 0x48, 4), (std::vector<uint32_t>{0x48, 0x48, 0x08, 0x08}));
  EXPECT_TRUE(synthesizerProgrammed(0));
  // A read-modify-write that keeps bits 3 and 6 as read is no new start.
  writeReg(h, 8, readReg(h, 8) | 0x80);
  EXPECT_EQ(readReg(h, 8) & 0x40, 0u);

  const Handle stuck = open(1);
  writeReg(stuck, 8, 0x48);
  writeReg(stuck, 8, 0x08);  // the busy bit belongs to the board while it runs
  EXPECT_EQ(poll(stuck, 8, 0x40, 600), std::vector<uint32_t>(600, 0x40));
  EXPECT_FALSE(synthesizerProgrammed(1));
}

TEST_F(RegisterTest, TableBusyClearsAfterReadsAndEntriesKeepAllBits) {
  useRack(R"({"boards":[{"device":0},{"device":1,"table_busy_reads":null}]})");
  const Handle h = open(0);
  for (uint32_t i = 0; i < 8; ++i) writeReg(h, 40 + 4 * i, 0xF0000000u | i);
  writeReg(h, 36, 0x10005);
  writeReg(h, 36, 0x30005);
  EXPECT_EQ(poll(h, 36, 0xFFFFFFFF, 4),
            (std::vector<uint32_t>{0x30005, 0x30005, 0x10005, 0x10005}));
  for (uint32_t i = 0; i < 8; ++i) EXPECT_EQ(readReg(h, 40 + 4 * i), 0xF0000000u | i);

  const Handle never = open(1);
  writeReg(never, 36, 1u << 17);
  EXPECT_EQ(poll(never, 36, 1u << 17, 600), std::vector<uint32_t>(600, 1u << 17));
}

TEST_F(RegisterTest, SequenceRunsThroughStatusCodes) {
  useRack(R"({"boards":[{"device":0},{"device":1,"sequence_result":9,"sequence_reads":0},
             {"device":2,"sequence_reads":null}]})");
  const Handle h = open(0);
  writeReg(h, 0x1080, 0xF0);
  writeReg(h, 0x1010, 0x00100000);
  EXPECT_EQ(readReg(h, 0x1010), 0x00100000u) << "no start without bit 17 rising";
  writeReg(h, 0x1010, 0x00120000);
  EXPECT_EQ(peekRegister(0, 0x1080), 0xF2u);
  EXPECT_EQ(poll(h, 0x1010, 0x0F000000, 5),
            (std::vector<uint32_t>{0x02000000, 0x02000000, 0x02000000, 0x04000000, 0x04000000}));
  EXPECT_EQ(readReg(h, 0x1080), 0xF0u);
  EXPECT_EQ(readReg(h, 0x1010) & 0x00FFFFFF, 0x00120000u);
  // A new start needs bit 17 to go through 0 again.
  writeReg(h, 0x1010, readReg(h, 0x1010) & ~(1u << 17));
  writeReg(h, 0x1010, readReg(h, 0x1010) | (1u << 17));
  EXPECT_EQ(readReg(h, 0x1010) >> 24, 2u);

  const Handle failing = open(1);
  writeReg(failing, 0x1010, 1u << 17);
  EXPECT_EQ(readReg(failing, 0x1010) >> 24, 9u);

  const Handle never = open(2);
  writeReg(never, 0x1010, 1u << 17);
  EXPECT_EQ(poll(never, 0x1010, 0x0F000000, 600), std::vector<uint32_t>(600, 0x02000000));
  EXPECT_EQ(readReg(never, 0x1080) & 3, 2u);
}

TEST_F(RegisterTest, ConfiguredValuesPeekAndPoke) {
  useRack(R"({"boards":[{"registers":{"0x70":5,"32":"0xFFFF","8":0}}]})");
  const Handle h = open(0);
  EXPECT_EQ(readReg(h, 0x70), 5u);
  EXPECT_EQ(readReg(h, 32), 0xFFFFu);
  EXPECT_EQ(readReg(h, 8), 0u) << "a configured clock register decides the ready bit";
  EXPECT_EQ(readReg(h, 0xFFFFFFFC), 0u);
  writeReg(h, 0xFFFFFFFC, 0xDEADBEEF);
  EXPECT_EQ(peekRegister(0, 0xFFFFFFFC), 0xDEADBEEFu);
  // A poke ends a handshake: the pulse's countdown no longer applies.
  writeReg(h, 8, 0x80);
  pokeRegister(0, 8, 0x180);
  EXPECT_EQ(readReg(h, 8), 0x180u);
  EXPECT_EQ(peekRegister(7, 0), 0u);
  pokeRegister(7, 0, 1);  // no such board: ignored
}

}  // namespace
}  // namespace kpx::sim::test
