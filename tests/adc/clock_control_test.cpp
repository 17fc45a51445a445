// Clock source, synthesizer, clock reset and run state of the ADC board,
// checked request by request against the virtual board.
#include <string>

#include "adc_fixture.h"

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

namespace {

constexpr uint32_t kClock = KPXADC_REG_CLOCK;
constexpr uint32_t kRun = KPXADC_REG_RUN;
constexpr size_t kHandshakeReads = 500;

ClockSetting countingSetting() {
  ClockSetting setting{};
  for (uint8_t i = 0; i < 16; ++i) setting.bytes[i] = static_cast<uint8_t>(i + 1);
  return setting;
}

// The four synthesizer words of countingSetting(), little-endian.
std::vector<RegisterOp> countingWords() {
  return {Write(12, 0x04030201), Write(16, 0x08070605), Write(20, 0x0C0B0A09),
          Write(24, 0x100F0E0D)};
}

// The clock reset as it reaches the board: one read of `value`, bit 7 low,
// bit 7 high, then `polls` reads of the ready bit.
std::vector<RegisterOp> resetSequence(uint32_t value, size_t polls) {
  return std::vector<RegisterOp>{Read(kClock), Write(kClock, value & ~0x80u),
                                 Write(kClock, value | 0x80u)} +
         Reads(kClock, polls);
}

using ClockControlTest = AdcTest;

TEST_F(ClockControlTest, ProgramClockGivesUpAfter500BusyReadsWithoutReset) {
  openBoard(R"("busy_reads": null, "registers": {"8": "0xA105"})");
  const ClockSetting setting = countingSetting();
  EXPECT_EQ(KPXADC_ProgramClock(board, &setting), 0);
  // First write: bits 3 and 6 cleared, flag A (bit 4) set; start write: the
  // value first read with bits 3 and 6 set.
  const auto expected = std::vector<RegisterOp>{Read(kClock), Write(kClock, 0xA115)} +
                        countingWords() + std::vector<RegisterOp>{Write(kClock, 0xA14D)} +
                        Reads(kClock, kHandshakeReads);
  EXPECT_EQ(registerOps(), expected);
  for (const auto& op : registerOps()) EXPECT_FALSE(op.write && (op.value & 0x80)) << op;
  EXPECT_FALSE(testbed::synthesizerProgrammed(0));
}

TEST_F(ClockControlTest, ProgramClockRestoresFlagAInTheStartWriteAndResets) {
  openBoard(R"("busy_reads": 2, "ready_after_reads": 0, "registers": {"8": "0x0102"})");
  const ClockSetting setting = countingSetting();
  EXPECT_EQ(KPXADC_ProgramClock(board, &setting), 1);
  const auto ops = registerOps();
  const auto start = std::vector<RegisterOp>{Read(kClock), Write(kClock, 0x0112)} +
                     countingWords() + std::vector<RegisterOp>{Write(kClock, 0x014A)};
  ASSERT_EQ(ops.size(), start.size() + 3 + 4);
  EXPECT_EQ(std::vector<RegisterOp>(ops.begin(), ops.begin() + 7), start);
  // Two reads still see busy, the third sees it clear; then the reset.
  EXPECT_EQ(std::vector<RegisterOp>(ops.begin() + 7, ops.begin() + 10), Reads(kClock, 3));
  EXPECT_EQ(std::vector<RegisterOp>(ops.begin() + 10, ops.end()), resetSequence(0x010A, 1));
  EXPECT_TRUE(testbed::synthesizerProgrammed(0));
}

TEST_F(ClockControlTest, ResetClockWithReadyAtOnceMakesOneReadyRead) {
  openBoard(R"("ready_after_reads": 0)");
  EXPECT_EQ(KPXADC_ResetClock(board), 1);
  EXPECT_EQ(registerOps(), resetSequence(0x100, 1));
}

TEST_F(ClockControlTest, ResetClockGivesUpAfter500Reads) {
  openBoard(R"("clock_ready": false, "registers": {"8": "0x80"})");
  // Bit 7 already high: it still goes low and high again.
  EXPECT_EQ(KPXADC_ResetClock(board), 0);
  EXPECT_EQ(registerOps(), resetSequence(0x80, kHandshakeReads));
}

TEST_F(ClockControlTest, InvalidClockSourcesAreRefusedAfterOneRead) {
  openBoard();
  for (uint32_t source : {3u, 8u, 0xFFFFFFFFu}) {
    testbed::clearJournal();
    CaptureStdout();
    EXPECT_EQ(KPXADC_SetClockSource(board, source), 0) << source;
    EXPECT_EQ(GetCapturedStdout(), "KPXADC_SetClockSource ERROR! INVALID CLOCK SOURCE!\n");
    EXPECT_EQ(registerOps(), std::vector<RegisterOp>{Read(kClock)}) << source;
  }
}

TEST_F(ClockControlTest, SetClockSourceReplacesOnlyTheFieldAndIgnoresTheReset) {
  openBoard(R"("clock_ready": false, "registers": {"8": "0x117"})");
  CaptureStdout();
  EXPECT_EQ(KPXADC_SetClockSource(board, 0), 1);
  EXPECT_EQ(GetCapturedStdout(), "");
  EXPECT_EQ(registerOps(), (std::vector<RegisterOp>{Read(kClock), Write(kClock, 0x110)} +
                            resetSequence(0x110, kHandshakeReads)));
}

TEST_F(ClockControlTest, GetClockSourceReportsField3As8) {
  openBoard();
  const std::pair<uint32_t, int32_t> cases[] = {{0x103, 8}, {0x100, 0}, {0xFFFFFFF5, 5}};
  for (auto [value, expected] : cases) {
    poke(kClock, value);
    EXPECT_EQ(KPXADC_GetClockSource(board), expected) << std::hex << value;
  }
}

TEST_F(ClockControlTest, SetClockModeKeepsBit2AndAlwaysResets) {
  openBoard(R"("ready_after_reads": 0, "registers": {"8": "0x116"})");
  EXPECT_EQ(KPXADC_SetClockMode(board, 1), 1);
  auto ops = registerOps();
  ASSERT_GE(ops.size(), 2u);
  EXPECT_EQ(ops[1], Write(kClock, 0x105));

  testbed::clearJournal();
  EXPECT_EQ(KPXADC_SetClockMode(board, 7), 1);
  EXPECT_EQ(registerOps(), std::vector<RegisterOp>{Read(kClock)} + resetSequence(0x185, 1));
}

TEST_F(ClockControlTest, SetClockFlagsResetsOnlyForFlagA) {
  openBoard(R"("clock_ready": false, "registers": {"8": "0x13"})");
  EXPECT_EQ(KPXADC_SetClockFlags(board, 0, 1), 1);
  EXPECT_EQ(registerOps(), (std::vector<RegisterOp>{Read(kClock), Write(kClock, 0x23)}));

  // With flag A the reset's result comes back: the clock never gets ready.
  testbed::clearJournal();
  EXPECT_EQ(KPXADC_SetClockFlags(board, 1, 0), 0);
  EXPECT_EQ(registerOps(), (std::vector<RegisterOp>{Read(kClock), Write(kClock, 0x13)} +
                            resetSequence(0x13, kHandshakeReads)));
}

TEST_F(ClockControlTest, RunStateAndRunBit3) {
  openBoard(R"("registers": {"28": "0x48"})");
  EXPECT_EQ(KPXADC_SetRunState(board, 2), 0);
  EXPECT_EQ(registerOps(), std::vector<RegisterOp>{Read(kRun)});

  testbed::clearJournal();
  EXPECT_EQ(KPXADC_SetRunBit3(board, 0), 1);
  EXPECT_EQ(registerOps(), (std::vector<RegisterOp>{Read(kRun), Write(kRun, 0x40)}));

  EXPECT_EQ(KPXADC_SetRunState(board, 1), 1);
  EXPECT_EQ(peek(kRun), 0x41u);
  testbed::clearJournal();
  EXPECT_EQ(KPXADC_SetRunBit3(board, 1), 5);
  EXPECT_EQ(registerOps(), std::vector<RegisterOp>{Read(kRun)});
}

TEST_F(ClockControlTest, FailedReadsCountAsAllOnes) {
  openBoard(R"("faults": [{"op": "IOCTL_GET_HSREG", "error": 31}])");
  CaptureStdout();
  EXPECT_EQ(KPXADC_GetClockSource(board), 7);
  EXPECT_EQ(KPXADC_SetRunBit3(board, 0), 5);
  EXPECT_EQ(KPXADC_ResetClock(board), 1);  // ready reads as 1 at the first poll
  const std::string line = "IOCTL_GET_HSREG failed:  31\n";
  EXPECT_EQ(GetCapturedStdout(), line + line + line + line);

  testbed::clearJournal();
  const ClockSetting setting = countingSetting();
  CaptureStdout();
  EXPECT_EQ(KPXADC_ProgramClock(board, &setting), 0);  // busy reads as 1
  GetCapturedStdout();
  const auto ops = registerOps();
  ASSERT_EQ(ops.size(), 1 + 6 + kHandshakeReads);
  EXPECT_EQ(ops[1], Write(kClock, 0xFFFFFFB7));
  EXPECT_EQ(ops[6], Write(kClock, 0xFFFFFFFF));
}

}  // namespace
