// Clock source, synthesizer, clock reset and run state of the ADC board,
// checked request by request against the virtual board: each scenario is a
// board and a table of calls with their results, requests and output.
#include <string>

#include "adc_fixture.h"

namespace {

constexpr uint32_t kClock = KPXADC_REG_CLOCK;
constexpr uint32_t kRun = KPXADC_REG_RUN;
constexpr size_t kHandshakeReads = 500;
const std::string kInvalidSource = "KPXADC_SetClockSource ERROR! INVALID CLOCK SOURCE!\n";

const ClockSetting* counting() {
  static const ClockSetting setting = [] {
    ClockSetting s{};
    for (uint8_t i = 0; i < 16; ++i) s.bytes[i] = static_cast<uint8_t>(i + 1);
    return s;
  }();
  return &setting;
}

// Programming counting(): the clock read, the first write, the four
// synthesizer words (little-endian), then the start write.
Ops programSequence(uint32_t first, uint32_t start) {
  return Ops{Read(kClock),          Write(kClock, first),  Write(12, 0x04030201),
             Write(16, 0x08070605), Write(20, 0x0C0B0A09), Write(24, 0x100F0E0D),
             Write(kClock, start)};
}

// The clock reset as it reaches the board: one read of `value`, bit 7 low,
// bit 7 high, then `polls` reads of the ready bit.
Ops resetSequence(uint32_t value, size_t polls) {
  return Ops{Read(kClock), Write(kClock, value & ~0x80u), Write(kClock, value | 0x80u)} +
         Reads(kClock, polls);
}

Step synthesizerProgrammed(bool expected) {
  return {.call = {"synthesizer programmed",
                   [](BoardHandle) -> int64_t { return testbed::synthesizerProgrammed(0); }},
          .result = expected,
          .ops = Ops{}};
}

std::vector<Scenario> scenarios() {
  return {
      // First write: bits 3 and 6 cleared, flag A (bit 4) set; start write:
      // the value first read with bits 3 and 6 set. No write has bit 7 (no
      // reset) as the whole journal is compared.
      {"ProgramClockGivesUpAfter500BusyReadsWithoutReset",
       R"("busy_reads": null, "registers": {"8": "0xA105"})",
       {{CALL(KPXADC_ProgramClock, counting()), .result = 0,
         .ops = programSequence(0xA115, 0xA14D) + Reads(kClock, kHandshakeReads)},
        synthesizerProgrammed(false)}},
      // Two reads still see busy, the third sees it clear; then the reset.
      {"ProgramClockRestoresFlagAInTheStartWriteAndResets",
       R"("busy_reads": 2, "ready_after_reads": 0, "registers": {"8": "0x0102"})",
       {{CALL(KPXADC_ProgramClock, counting()), .result = 1,
         .ops = programSequence(0x0112, 0x014A) + Reads(kClock, 3) + resetSequence(0x010A, 1)},
        synthesizerProgrammed(true)}},
      {"ResetClockWithReadyAtOnceMakesOneReadyRead",
       R"("ready_after_reads": 0)",
       {{CALL(KPXADC_ResetClock), .result = 1, .ops = resetSequence(0x100, 1)}}},
      // Bit 7 already high: it still goes low and high again.
      {"ResetClockGivesUpAfter500Reads",
       R"("clock_ready": false, "registers": {"8": "0x80"})",
       {{CALL(KPXADC_ResetClock), .result = 0, .ops = resetSequence(0x80, kHandshakeReads)}}},
      {"InvalidClockSourcesAreRefusedAfterOneRead",
       "",
       {{CALL(KPXADC_SetClockSource, 3u), .ops = Ops{Read(kClock)}, .printed = kInvalidSource},
        {CALL(KPXADC_SetClockSource, 8u), .ops = Ops{Read(kClock)}, .printed = kInvalidSource},
        {CALL(KPXADC_SetClockSource, 0xFFFFFFFFu), .ops = Ops{Read(kClock)},
         .printed = kInvalidSource}}},
      {"SetClockSourceReplacesOnlyTheFieldAndIgnoresTheReset",
       R"("clock_ready": false, "registers": {"8": "0x117"})",
       {{CALL(KPXADC_SetClockSource, 0u), .result = 1,
         .ops = Ops{Read(kClock), Write(kClock, 0x110)} + resetSequence(0x110, kHandshakeReads)}}},
      {"GetClockSourceReportsField3As8",
       "",
       {{.before = {{kClock, 0x103}},
         CALL(KPXADC_GetClockSource),
         .result = 8,
         .ops = Ops{Read(kClock)}},
        {.before = {{kClock, 0x100}},
         CALL(KPXADC_GetClockSource),
         .result = 0,
         .ops = Ops{Read(kClock)}},
        {.before = {{kClock, 0xFFFFFFF5}},
         CALL(KPXADC_GetClockSource),
         .result = 5,
         .ops = Ops{Read(kClock)}}}},
      // Mode 7 leaves the register as it is: no mode write, the reset still.
      {"SetClockModeKeepsBit2AndAlwaysResets",
       R"("ready_after_reads": 0, "registers": {"8": "0x116"})",
       {{CALL(KPXADC_SetClockMode, 1u), .result = 1,
         .ops = Ops{Read(kClock), Write(kClock, 0x105)} + resetSequence(0x105, 1)},
        {CALL(KPXADC_SetClockMode, 7u), .result = 1,
         .ops = Ops{Read(kClock)} + resetSequence(0x185, 1)}}},
      // With flag A the reset's result comes back: the clock never gets ready.
      {"SetClockFlagsResetsOnlyForFlagA",
       R"("clock_ready": false, "registers": {"8": "0x13"})",
       {{CALL(KPXADC_SetClockFlags, 0u, 1u), .result = 1,
         .ops = Ops{Read(kClock), Write(kClock, 0x23)}},
        {CALL(KPXADC_SetClockFlags, 1u, 0u), .result = 0,
         .ops = Ops{Read(kClock), Write(kClock, 0x13)} + resetSequence(0x13, kHandshakeReads)}}},
      {"RunStateAndRunBit3",
       R"("registers": {"28": "0x48"})",
       {{CALL(KPXADC_SetRunState, 2u), .result = 0, .ops = Ops{Read(kRun)}},
        {CALL(KPXADC_SetRunBit3, 0u), .result = 1, .ops = Ops{Read(kRun), Write(kRun, 0x40)}},
        {CALL(KPXADC_SetRunState, 1u), .result = 1, .ops = Ops{Read(kRun), Write(kRun, 0x41)},
         .after = {{kRun, 0x41}}},
        {CALL(KPXADC_SetRunBit3, 1u), .result = 5, .ops = Ops{Read(kRun)}}}},
      // Each failed read prints a line; ready reads as 1 at the first poll,
      // busy reads as 1 until the programming gives up.
      {"FailedReadsCountAsAllOnes",
       R"("faults": [{"op": "IOCTL_GET_HSREG", "error": 31}])",
       {{CALL(KPXADC_GetClockSource), .result = 7, .ops = Ops{Read(kClock)},
         .printed = failedReads(1)},
        {CALL(KPXADC_SetRunBit3, 0u), .result = 5, .ops = Ops{Read(kRun)},
         .printed = failedReads(1)},
        {CALL(KPXADC_ResetClock), .result = 1, .ops = resetSequence(0xFFFFFFFF, 1),
         .printed = failedReads(2)},
        {CALL(KPXADC_ProgramClock, counting()), .result = 0,
         .ops = programSequence(0xFFFFFFB7, 0xFFFFFFFF) + Reads(kClock, kHandshakeReads),
         .printed = failedReads(1 + kHandshakeReads)}}},
  };
}

using ClockControlTest = AdcScenarioTest;

TEST_P(ClockControlTest, ResultsRequestsAndOutputOfEachCall) {
  runScenario();
}

INSTANTIATE_TEST_SUITE_P(Adc, ClockControlTest, testing::ValuesIn(scenarios()), scenarioName);

}  // namespace
