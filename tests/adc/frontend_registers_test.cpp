// The ADC board's control, status, option, table, custom and sequence
// registers, checked request by request against the virtual board: each
// scenario is a board and a table of calls with their results, requests,
// register values and output.
#include <array>
#include <string>

#include "adc_fixture.h"

namespace {

constexpr uint32_t kControl = KPXADC_REG_CONTROL;
constexpr uint32_t kRun = KPXADC_REG_RUN;
constexpr uint32_t kStatus = KPXADC_REG_STATUS;
constexpr uint32_t kTableControl = KPXADC_REG_TABLE_CONTROL;
constexpr uint32_t kOption = KPXADC_REG_OPTION;
constexpr uint32_t kSeqControl = KPXADC_REG_SEQ_CONTROL;
constexpr uint32_t kSeqSelect = KPXADC_REG_SEQ_SELECT;
constexpr uint32_t kSeqWord = KPXADC_REG_SEQ_WORD;
constexpr uint32_t kSeqStatus = KPXADC_REG_SEQ_STATUS;
constexpr uint32_t kSeqClear = KPXADC_REG_SEQ_CLEAR;
constexpr uint32_t kSeqState = KPXADC_REG_SEQ_STATE;
constexpr uint32_t kSelectInitial = 0x00800000;
constexpr size_t kHandshakeReads = 500;

using Steps = std::vector<Step>;

uint32_t statusCode(uint32_t code) {
  return code << 24;
}

// Reads `offset`, then writes `value` to it.
Ops update(uint32_t offset, uint32_t value) {
  return Ops{Read(offset), Write(offset, value)};
}

// A call that changes `offset` to `value` by reading it and writing it back.
Step updates(Call call, uint32_t offset, uint32_t value) {
  return {.call = std::move(call),
          .result = 1,
          .ops = update(offset, value),
          .after = {{offset, value}}};
}

// A call that reads `offset` once and returns `result`.
Step reads(Call call, uint32_t offset, int64_t result, std::string printed = "") {
  return {.call = std::move(call),
          .result = result,
          .ops = Ops{Read(offset)},
          .printed = std::move(printed)};
}

// A call that touches no register and returns 0.
Step refused(Call call) {
  return {.call = std::move(call), .ops = Ops{}};
}

// `step` with `offset` set to `value` first.
Step withRegister(uint32_t offset, uint32_t value, Step step) {
  step.before = {{offset, value}};
  return step;
}

// KPXADC_Open(type, index), whose result is a handle.
Call open(BoardType type, uint8_t index) {
  return {std::string("KPXADC_Open(") + (type == BOARD_TYPE_ADC ? "ADC" : "DAC") + ", " +
              std::to_string(index) + ")",
          [=](BoardHandle) -> int64_t { return KPXADC_Open(type, index); }};
}

// KPXADC_Open(ADC, 0) answering with the board's own handle.
Step openReturnsTheBoard() {
  return {.call = {"KPXADC_Open(ADC, 0) is the board",
                   [](BoardHandle board) -> int64_t {
                     return KPXADC_Open(BOARD_TYPE_ADC, 0) == board;
                   }},
          .result = 1,
          .ops = Ops{Write(kSeqSelect, kSelectInitial)},
          .after = {{kSeqSelect, kSelectInitial}}};
}

// Table entries: 0x100 * n + n, except three; the third is above 4095, so it
// is written whole and read back with 12 bits.
const uint16_t* tableEntries() {
  static const auto entries = [] {
    std::array<uint16_t, 16> e{};
    for (uint16_t i = 0; i < 16; ++i) e[i] = static_cast<uint16_t>(0x100 * i + i);
    e[0] = 0x123;
    e[1] = 0x456;
    e[2] = 0xF789;
    return e;
  }();
  return entries.data();
}

const uint16_t* zeroEntries() {
  static const uint16_t entries[16] = {};
  return entries;
}

// The eight table words written for `entries`, two entries each.
Ops tableWrites(const uint16_t* entries) {
  Ops ops;
  for (uint32_t i = 0; i < 8; ++i)
    ops.push_back(Write(KPXADC_REG_TABLE0 + 4 * i,
                        uint32_t{entries[2 * i]} | uint32_t{entries[2 * i + 1]} << 16));
  return ops;
}

// Each entry of tableEntries() read back: its 12 low bits, from its word.
Steps tableEntryReads() {
  Steps steps;
  for (uint32_t n = 0; n < 16; ++n)
    steps.push_back(reads(BOARD_CALL(KPXADC_GetTableEntry, n), KPXADC_REG_TABLE0 + 4 * (n / 2),
                          tableEntries()[n] & 0xFFF));
  return steps;
}

// Each option setter sets and clears its own bit, whatever the others are.
Steps optionSetters() {
  const struct {
    Call set, clear;
    uint32_t bit;
  } setters[] = {
      {BOARD_CALL(KPXADC_SetOptionBit1, 5u), BOARD_CALL(KPXADC_SetOptionBit1, 0u), 1},
      {BOARD_CALL(KPXADC_SetOptionBit2, 5u), BOARD_CALL(KPXADC_SetOptionBit2, 0u), 2},
      {BOARD_CALL(KPXADC_SetOptionBit3, 5u), BOARD_CALL(KPXADC_SetOptionBit3, 0u), 3},
      {BOARD_CALL(KPXADC_SetOptionBit4, 5u), BOARD_CALL(KPXADC_SetOptionBit4, 0u), 4},
      {BOARD_CALL(KPXADC_SetOptionBit5, 5u), BOARD_CALL(KPXADC_SetOptionBit5, 0u), 5},
      {BOARD_CALL(KPXADC_SetOptionBit7, 5u), BOARD_CALL(KPXADC_SetOptionBit7, 0u), 7},
  };
  Steps steps;
  for (const auto& s : setters) {
    steps.push_back(withRegister(kOption, 0, updates(s.set, kOption, 1u << s.bit)));
    steps.push_back(withRegister(kOption, 0xFFFFFFFF, updates(s.clear, kOption, ~(1u << s.bit))));
  }
  return steps;
}

// Custom registers 0-3 written and read back through their offsets.
Steps customRegisters() {
  Steps steps;
  for (uint32_t n = 0; n < 4; ++n) {
    const uint32_t offset = KPXADC_REG_CUSTOM0 + 4 * n, value = 0x11110000u * (n + 1) + n;
    steps.push_back({CALL(KPXADC_WriteCustomReg, n, value), .result = 1,
                     .ops = Ops{Write(offset, value)}, .after = {{offset, value}}});
    steps.push_back(reads(BOARD_CALL(KPXADC_ReadCustomReg, n), offset, value));
  }
  return steps;
}

// GetStatusBit(bit) on a status of `value`.
Step statusBit(uint32_t value, uint32_t bit, int64_t result) {
  return withRegister(kStatus, value, reads(BOARD_CALL(KPXADC_GetStatusBit, bit), kStatus, result));
}

// A sequence wait ends by writing the initial select back.
Ops waitReads(size_t reads) {
  return Reads(kSeqStatus, reads) + Ops{Write(kSeqSelect, kSelectInitial)};
}

// A wait for a status holding `code` (with the start bit set).
Step waitFor(uint32_t code, uint32_t count, int64_t result) {
  return {.before = {{kSeqStatus, statusCode(code) | 0x00020000}, {kSeqSelect, 0x00050028}},
          CALL(KPXADC_WaitSequence, count),
          .result = result,
          .ops = waitReads(1)};
}

std::vector<Scenario> scenarios() {
  const std::string failed = failedReads(1);
  return {
      // ---- Open and close ----------------------------------------------------
      {"OpenWritesTheInitialSequenceSelect",
       R"("registers": {"4100": "0xFFFFFFFF"})",
       {openReturnsTheBoard(),
        {.call = open(BOARD_TYPE_ADC, 1), .result = -1, .ops = Ops{}},
        {.call = open(BOARD_TYPE_DAC, 0), .result = -1, .ops = Ops{}}}},
      {"CloseForgetsTheBoard",
       "",
       {{CALL(KPXADC_Close)},
        {.call = {"Kpxadac16_GetHandle(ADC, 0)",
                  [](BoardHandle) -> int64_t { return Kpxadac16_GetHandle(BOARD_TYPE_ADC, 0); }},
         .result = -1},
        {CALL(Kpxadac16_GetState), .result = STATE_NONE}}},

      // ---- Control register --------------------------------------------------
      {"BitPairsChangeOnlyTheirTwoBits",
       R"("registers": {"0": "0xF0"})",
       {updates(BOARD_CALL(KPXADC_SetCtrlBitPair, 1u, 1u, 0u), kControl, 0x70),
        updates(BOARD_CALL(KPXADC_SetCtrlBitPair, 0u, 0u, 1u), kControl, 0x60),
        reads(BOARD_CALL(KPXADC_SetCtrlBitPair, 2u, 1u, 1u), kControl, 0)}},
      // Bit 10 takes only 0 and 1; bit 3 takes any nonzero flag as set.
      {"SingleControlBitSettersChangeOnlyTheirBit",
       R"("registers": {"0": "0x400"})",
       {reads(BOARD_CALL(KPXADC_SetCtrlBit10, 2u), kControl, 0),
        updates(BOARD_CALL(KPXADC_SetCtrlBit3, 2u), kControl, 0x408),
        updates(BOARD_CALL(KPXADC_SetCtrlBit10, 0u), kControl, 0x008),
        updates(BOARD_CALL(KPXADC_SetCtrlBit8), kControl, 0x108),
        updates(BOARD_CALL(KPXADC_SetCtrlBit10, 1u), kControl, 0x508),
        updates(BOARD_CALL(KPXADC_SetCtrlBit3, 0u), kControl, 0x500)}},
      // Bits 1, 10, 12; byte 2 = 0xA5; bits 11 and 13 clear; then the
      // complement.
      {"ControlBitGettersReadOneBitOrByteEach",
       "",
       {withRegister(kControl, 0x00A51402, reads(BOARD_CALL(KPXADC_GetCtrlBit1), kControl, 1)),
        reads(BOARD_CALL(KPXADC_GetCtrlBit10), kControl, 1),
        reads(BOARD_CALL(KPXADC_GetCtrlBit12), kControl, 4096),
        reads(BOARD_CALL(KPXADC_GetCtrlBit13), kControl, 0),
        reads(BOARD_CALL(KPXADC_IsCtrlBit11Clear), kControl, 1),
        reads(BOARD_CALL(KPXADC_GetCtrlByte2), kControl, 0xA5),
        withRegister(kControl, 0xFF5AEBFD, reads(BOARD_CALL(KPXADC_GetCtrlBit1), kControl, 0)),
        reads(BOARD_CALL(KPXADC_GetCtrlBit10), kControl, 0),
        reads(BOARD_CALL(KPXADC_GetCtrlBit12), kControl, 0),
        reads(BOARD_CALL(KPXADC_GetCtrlBit13), kControl, 1),
        reads(BOARD_CALL(KPXADC_IsCtrlBit11Clear), kControl, 0),
        reads(BOARD_CALL(KPXADC_GetCtrlByte2), kControl, 0x5A)}},

      // ---- Status register ---------------------------------------------------
      // Bit 16 is set when any of bits 0-15 is; only bits 0-15 count; a bit
      // above 16 is 0.
      {"StatusBitsAndTheAnyBit",
       "",
       {
           statusBit(0x8000, 16u, 1),
           statusBit(0, 16u, 0),
           statusBit(0x20, 5u, 1),
           statusBit(0xFFDF, 5u, 0),
           statusBit(0x10000, 16u, 0),
           statusBit(0xFFFFFFFF, 20u, 0),
           statusBit(0xFFFFFFFF, 17u, 0),
           statusBit(0x8000, 15u, 1),
       }},

      // ---- Table -------------------------------------------------------------
      // Mode 1 keeps bit 16; the start bit (17) goes low, then high; two busy
      // reads, then ready. Entries out of range read nothing.
      {"LoadTableWritesEntriesThenRunsTheHandshake",
       R"("table_busy_reads": 2, "registers": {"36": "0x0007ABCD"})",
       Steps{{CALL(KPXADC_LoadTable, 1u, tableEntries()), .result = 1,
              .ops = tableWrites(tableEntries()) +
                     Ops{Read(kTableControl), Write(kTableControl, 0x0005ABCD),
                         Write(kTableControl, 0x0007ABCD)} +
                     Reads(kTableControl, 3),
              .after = {{KPXADC_REG_TABLE0, 0x04560123}, {KPXADC_REG_TABLE0 + 4, 0x0303F789}}}} +
           tableEntryReads() +
           Steps{refused(BOARD_CALL(KPXADC_GetTableEntry, 16u)),
                 refused(BOARD_CALL(KPXADC_GetTableEntry, 0xFFFFFFFFu))}},
      {"LoadTableInAnotherModeClearsTheModeBitAndTimesOut",
       R"("table_busy_reads": null, "registers": {"36": "0x0001FFFF"})",
       {{CALL(KPXADC_LoadTable, 2u, zeroEntries()), .result = 0,
         .ops = tableWrites(zeroEntries()) +
                Ops{Read(kTableControl), Write(kTableControl, 0x0000FFFF),
                    Write(kTableControl, 0x0002FFFF)} +
                Reads(kTableControl, kHandshakeReads)}}},
      {"LoadTableWithoutEntriesTouchesNothing",
       "",
       {refused(BOARD_CALL(KPXADC_LoadTable, 1u, static_cast<const uint16_t*>(nullptr)))}},
      {"TableControlValueAndBit18",
       R"("registers": {"36": "0xFFF51234"})",
       {updates(BOARD_CALL(KPXADC_SetTableControl, 0xBEEFu), kTableControl, 0xFFF5BEEF),
        updates(BOARD_CALL(KPXADC_SetTableBit18, 0u), kTableControl, 0xFFF1BEEF),
        updates(BOARD_CALL(KPXADC_SetTableBit18, 1u), kTableControl, 0xFFF5BEEF)}},

      // ---- Option register ---------------------------------------------------
      {"EachOptionSetterOwnsOneBit", "",
       optionSetters() +
           Steps{
               withRegister(kOption, 0xFFFFFFFE,
                            reads(BOARD_CALL(KPXADC_IsOptionBit0Clear), kOption, 1)),
               withRegister(kOption, 1, reads(BOARD_CALL(KPXADC_IsOptionBit0Clear), kOption, 0))}},

      // ---- Custom registers --------------------------------------------------
      {"CustomRegistersAndTheirRange", "",
       customRegisters() + Steps{refused(BOARD_CALL(KPXADC_WriteCustomReg, 4u, 1u)),
                                 refused(BOARD_CALL(KPXADC_ReadCustomReg, 4u))}},

      // ---- Sequence registers ------------------------------------------------
      // Bits 24-31 are kept as read; sequence 16 does not exist.
      {"SequenceSelectAddsToTheMask",
       "",
       {openReturnsTheBoard(),
        updates(BOARD_CALL(KPXADC_SetSequenceSelect, 3u), kSeqSelect, 0x00030008),
        updates(BOARD_CALL(KPXADC_SetSequenceSelect, 5u), kSeqSelect, 0x00050028),
        updates(BOARD_CALL(KPXADC_SetSequenceSelect, 15u), kSeqSelect, 0x000F8028),
        withRegister(kSeqSelect, 0xFF000000,
                     updates(BOARD_CALL(KPXADC_SetSequenceSelect, 0u), kSeqSelect, 0xFF000001)),
        refused(BOARD_CALL(KPXADC_SetSequenceSelect, 16u))}},
      // Modes 1 and 3 are refused with 6 after the status read.
      {"SequenceWordAndMode",
       R"("registers": {"4112": "0x00080000"})",
       {{CALL(KPXADC_SetSequenceWord, 0xCAFEF00Du), .result = 1,
         .ops = Ops{Write(kSeqWord, 0xCAFEF00D)}},
        reads(BOARD_CALL(KPXADC_SetSequenceMode, 1u), kSeqStatus, 6),
        reads(BOARD_CALL(KPXADC_SetSequenceMode, 3u), kSeqStatus, 6),
        updates(BOARD_CALL(KPXADC_SetSequenceMode, 2u), kSeqStatus, 0x00100000),
        updates(BOARD_CALL(KPXADC_SetSequenceMode, 0u), kSeqStatus, 0)}},
      {"StartSequenceIsRefusedWhileTheAdcIsStopped",
       R"("registers": {"28": "0xFFFFFFFE"})",
       {reads(BOARD_CALL(KPXADC_StartSequence), kRun, 4)}},
      // Control bits 8-15 become 0x20; the start bit goes low, then high,
      // both writes built from the one status read. The wait reads the
      // status until the result, then writes the initial select back.
      {"StartSequenceRunsToItsResult",
       R"("sequence_reads": 3, "sequence_result": 11,
          "registers": {"28": "1", "4096": "0x1234ABCD", "4112": "0x00120000"})",
       {{CALL(KPXADC_StartSequence), .result = 1,
         .ops =
             Ops{Read(kRun), Read(kSeqControl), Write(kSeqControl, 0x123420CD), Write(kSeqClear, 0),
                 Read(kSeqStatus), Write(kSeqStatus, 0x00100000), Write(kSeqStatus, 0x00120000)}},
        reads(BOARD_CALL(KPXADC_IsSequenceState2), kSeqState, 1),
        {CALL(KPXADC_WaitSequence, 0u), .result = 11, .ops = waitReads(4)},
        reads(BOARD_CALL(KPXADC_IsSequenceState2), kSeqState, 0)}},
      // A sequence that never ends uses up the count, 1 ms apart.
      {"WaitSequenceOutcomes",
       R"("sequence_reads": null, "registers": {"28": "1", "4100": "0x00050028"})",
       {
           waitFor(2, 1, 2),  // time-out at once: one read, no pause
           waitFor(9, 0, 9),  // error code on the first read
           waitFor(4, 1, 1),  // done on the read that uses up the count
           waitFor(9, 1, 2),  // an error on that read is still a time-out
           waitFor(15, 3, 15),
           waitFor(8, 2, 8),
           {CALL(KPXADC_StartSequence), .result = 1},
           {CALL(KPXADC_WaitSequence, 5u), .result = 2, .ops = waitReads(5)},
       }},
      // The board reports state 2 in bits 0-1 while a sequence runs, 0 when
      // not; the other bits are its own.
      {"SequenceStateIsTwoWhileTheSequenceRuns",
       R"("sequence_reads": null, "registers": {"28": "1", "4224": "0xFFFFFFFC"})",
       {reads(BOARD_CALL(KPXADC_IsSequenceState2), kSeqState, 0),
        {CALL(KPXADC_StartSequence), .result = 1, .after = {{kSeqState, 0xFFFFFFFE}}},
        reads(BOARD_CALL(KPXADC_IsSequenceState2), kSeqState, 1),
        // The sequence is over.
        withRegister(kSeqStatus, statusCode(4),
                     reads(BOARD_CALL(KPXADC_IsSequenceState2), kSeqState, 0))}},

      // ---- Failed register reads ---------------------------------------------
      // Each failed read prints a line and reads as all ones: the run bit
      // reads as set, the table stays busy.
      {"FailedReadsCountAsAllOnes",
       R"("faults": [{"op": "IOCTL_GET_HSREG", "error": 31}])",
       {reads(BOARD_CALL(KPXADC_GetCtrlBit12), kControl, 4096, failed),
        reads(BOARD_CALL(KPXADC_GetCtrlByte2), kControl, 255, failed),
        reads(BOARD_CALL(KPXADC_GetTableEntry, 5u), KPXADC_REG_TABLE0 + 8, 4095, failed),
        reads(BOARD_CALL(KPXADC_GetStatusBit, 3u), kStatus, 1, failed),
        reads(BOARD_CALL(KPXADC_IsCtrlBit11Clear), kControl, 0, failed),
        reads(BOARD_CALL(KPXADC_IsOptionBit0Clear), kOption, 0, failed),
        reads(BOARD_CALL(KPXADC_IsSequenceState2), kSeqState, 0, failed),
        reads(BOARD_CALL(KPXADC_ReadCustomReg, 1u), KPXADC_REG_CUSTOM0 + 4, 0xFFFFFFFFu, failed),
        {CALL(KPXADC_WaitSequence, 0u), .result = 15, .ops = waitReads(1), .printed = failed},
        {CALL(KPXADC_WaitSequence, 1u), .result = 2, .ops = waitReads(1), .printed = failed},
        {CALL(KPXADC_StartSequence), .result = 1,
         .ops =
             Ops{Read(kRun), Read(kSeqControl), Write(kSeqControl, 0xFFFF20FF), Write(kSeqClear, 0),
                 Read(kSeqStatus), Write(kSeqStatus, 0xFFFDFFFF), Write(kSeqStatus, 0xFFFFFFFF)},
         .printed = failedReads(3)},
        {CALL(KPXADC_SetCtrlBit3, 0u), .result = 1, .ops = update(kControl, 0xFFFFFFF7),
         .printed = failed},
        {CALL(KPXADC_LoadTable, 0u, zeroEntries()), .result = 0,
         .ops = tableWrites(zeroEntries()) +
                Ops{Read(kTableControl), Write(kTableControl, 0xFFFCFFFF),
                    Write(kTableControl, 0xFFFEFFFF)} +
                Reads(kTableControl, kHandshakeReads),
         .printed = failedReads(1 + kHandshakeReads)}}},
  };
}

using FrontEndTest = AdcScenarioTest;

TEST_P(FrontEndTest, ResultsRequestsRegistersAndOutputOfEachCall) {
  runScenario();
}

INSTANTIATE_TEST_SUITE_P(Adc, FrontEndTest, testing::ValuesIn(scenarios()), scenarioName);

}  // namespace
