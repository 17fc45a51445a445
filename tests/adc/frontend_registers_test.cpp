// The ADC board's control, status, option, table, custom and sequence
// registers, checked request by request against the virtual board.
#include <string>

#include "adc_fixture.h"

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

namespace {

constexpr uint32_t kControl = KPXADC_REG_CONTROL;
constexpr uint32_t kRun = KPXADC_REG_RUN;
constexpr uint32_t kStatus = KPXADC_REG_STATUS;
constexpr uint32_t kTableControl = KPXADC_REG_TABLE_CONTROL;
constexpr uint32_t kOption = KPXADC_REG_OPTION;
constexpr uint32_t kSeqControl = KPXADC_REG_SEQ_CONTROL;
constexpr uint32_t kSeqSelect = KPXADC_REG_SEQ_SELECT;
constexpr uint32_t kSeqStatus = KPXADC_REG_SEQ_STATUS;
constexpr uint32_t kSeqClear = KPXADC_REG_SEQ_CLEAR;
constexpr uint32_t kSeqState = KPXADC_REG_SEQ_STATE;
constexpr uint32_t kSelectInitial = 0x00800000;
constexpr size_t kHandshakeReads = 500;

uint32_t statusCode(uint32_t code) {
  return code << 24;
}

using FrontEndTest = AdcTest;

// ---- Open and close --------------------------------------------------------

TEST_F(FrontEndTest, OpenWritesTheInitialSequenceSelect) {
  openBoard(R"("registers": {"4100": "0xFFFFFFFF"})");
  EXPECT_EQ(KPXADC_Open(BOARD_TYPE_ADC, 0), board);
  EXPECT_EQ(registerOps(), std::vector<RegisterOp>{Write(kSeqSelect, kSelectInitial)});
  EXPECT_EQ(peek(kSeqSelect), kSelectInitial);

  testbed::clearJournal();
  EXPECT_EQ(KPXADC_Open(BOARD_TYPE_ADC, 1), -1);
  EXPECT_EQ(KPXADC_Open(BOARD_TYPE_DAC, 0), -1);
  EXPECT_TRUE(testbed::journal().empty());
}

TEST_F(FrontEndTest, CloseForgetsTheBoard) {
  openBoard();
  KPXADC_Close(board);
  EXPECT_EQ(Kpxadac16_GetHandle(BOARD_TYPE_ADC, 0), -1);
  EXPECT_EQ(Kpxadac16_GetState(board), STATE_NONE);
}

// ---- Control register ------------------------------------------------------

TEST_F(FrontEndTest, BitPairsChangeOnlyTheirTwoBits) {
  openBoard(R"("registers": {"0": "0xF0"})");
  EXPECT_EQ(KPXADC_SetCtrlBitPair(board, 1, 1, 0), 1);
  EXPECT_EQ(registerOps(), (std::vector<RegisterOp>{Read(kControl), Write(kControl, 0x70)}));

  testbed::clearJournal();
  EXPECT_EQ(KPXADC_SetCtrlBitPair(board, 0, 0, 1), 1);
  EXPECT_EQ(peek(kControl), 0x60u);

  testbed::clearJournal();
  EXPECT_EQ(KPXADC_SetCtrlBitPair(board, 2, 1, 1), 0);
  EXPECT_EQ(registerOps(), std::vector<RegisterOp>{Read(kControl)});
}

TEST_F(FrontEndTest, SingleControlBitSetters) {
  openBoard(R"("registers": {"0": "0x400"})");
  EXPECT_EQ(KPXADC_SetCtrlBit10(board, 2), 0);
  EXPECT_EQ(registerOps(), std::vector<RegisterOp>{Read(kControl)});

  EXPECT_EQ(KPXADC_SetCtrlBit3(board, 2), 1);  // any nonzero flag sets
  EXPECT_EQ(peek(kControl), 0x408u);
  EXPECT_EQ(KPXADC_SetCtrlBit10(board, 0), 1);
  EXPECT_EQ(peek(kControl), 0x008u);
  EXPECT_EQ(KPXADC_SetCtrlBit8(board), 1);
  EXPECT_EQ(KPXADC_SetCtrlBit10(board, 1), 1);
  EXPECT_EQ(KPXADC_SetCtrlBit3(board, 0), 1);
  EXPECT_EQ(peek(kControl), 0x500u);
}

TEST_F(FrontEndTest, ControlBitGetters) {
  openBoard();
  poke(kControl, 0x00A51402);  // bits 1, 10, 12; byte 2 = 0xA5; bit 11 and 13 clear
  EXPECT_EQ(KPXADC_GetCtrlBit1(board), 1);
  EXPECT_EQ(KPXADC_GetCtrlBit10(board), 1);
  EXPECT_EQ(KPXADC_GetCtrlBit12(board), 4096);
  EXPECT_EQ(KPXADC_GetCtrlBit13(board), 0);
  EXPECT_EQ(KPXADC_IsCtrlBit11Clear(board), 1);
  EXPECT_EQ(KPXADC_GetCtrlByte2(board), 0xA5);

  poke(kControl, 0xFF5AEBFD);  // the complement
  EXPECT_EQ(KPXADC_GetCtrlBit1(board), 0);
  EXPECT_EQ(KPXADC_GetCtrlBit10(board), 0);
  EXPECT_EQ(KPXADC_GetCtrlBit12(board), 0);
  EXPECT_EQ(KPXADC_GetCtrlBit13(board), 1);
  EXPECT_EQ(KPXADC_IsCtrlBit11Clear(board), 0);
  EXPECT_EQ(KPXADC_GetCtrlByte2(board), 0x5A);
  EXPECT_EQ(registerOps(), Reads(kControl, 12));
}

// ---- Status register -------------------------------------------------------

TEST_F(FrontEndTest, StatusBitsAndTheAnyBit) {
  openBoard();
  const struct {
    uint32_t value, bit;
    uint8_t expected;
  } cases[] = {
      {0x8000, 16, 1},     {0, 16, 0},          {0x20, 5, 1},
      {0xFFDF, 5, 0},      {0x10000, 16, 0},  // only bits 0-15 count
      {0xFFFFFFFF, 20, 0}, {0xFFFFFFFF, 17, 0}, {0x8000, 15, 1},
  };
  for (const auto& c : cases) {
    poke(kStatus, c.value);
    EXPECT_EQ(KPXADC_GetStatusBit(board, c.bit), c.expected)
        << "bit " << c.bit << " of 0x" << std::hex << c.value;
  }
}

// ---- Table -----------------------------------------------------------------

TEST_F(FrontEndTest, LoadTableWritesEntriesThenRunsTheHandshake) {
  openBoard(R"("table_busy_reads": 2, "registers": {"36": "0x0007ABCD"})");
  uint16_t entries[16];
  for (uint16_t i = 0; i < 16; ++i) entries[i] = static_cast<uint16_t>(0x100 * i + i);
  entries[0] = 0x123;
  entries[1] = 0x456;
  entries[2] = 0xF789;  // above 4095: written whole, read back with 12 bits
  EXPECT_EQ(KPXADC_LoadTable(board, 1, entries), 1);

  std::vector<RegisterOp> expected;
  for (uint32_t i = 0; i < 8; ++i)
    expected.push_back(
        Write(40 + 4 * i, uint32_t{entries[2 * i]} | uint32_t{entries[2 * i + 1]} << 16));
  expected =
      expected + std::vector<RegisterOp>{Read(kTableControl), Write(kTableControl, 0x0005ABCD),
                                         Write(kTableControl, 0x0007ABCD)};
  EXPECT_EQ(registerOps(), expected + Reads(kTableControl, 3));
  EXPECT_EQ(peek(40), 0x04560123u);
  EXPECT_EQ(peek(44) & 0xFFFF, 0xF789u);

  EXPECT_EQ(KPXADC_GetTableEntry(board, 0), 0x123);
  EXPECT_EQ(KPXADC_GetTableEntry(board, 1), 0x456);
  EXPECT_EQ(KPXADC_GetTableEntry(board, 2), 0x789);
  for (uint32_t n = 3; n < 16; ++n) EXPECT_EQ(KPXADC_GetTableEntry(board, n), entries[n] & 0xFFF);

  testbed::clearJournal();
  EXPECT_EQ(KPXADC_GetTableEntry(board, 16), 0);
  EXPECT_EQ(KPXADC_GetTableEntry(board, 0xFFFFFFFF), 0);
  EXPECT_TRUE(testbed::journal().empty());
}

TEST_F(FrontEndTest, LoadTableInAnotherModeClearsTheModeBitAndTimesOut) {
  openBoard(R"("table_busy_reads": null, "registers": {"36": "0x0001FFFF"})");
  const uint16_t entries[16] = {};
  EXPECT_EQ(KPXADC_LoadTable(board, 2, entries), 0);
  const auto ops = registerOps();
  ASSERT_EQ(ops.size(), 8 + 3 + kHandshakeReads);
  EXPECT_EQ(ops[9], Write(kTableControl, 0x0000FFFF));
  EXPECT_EQ(ops[10], Write(kTableControl, 0x0002FFFF));
  EXPECT_EQ(std::vector<RegisterOp>(ops.begin() + 11, ops.end()),
            Reads(kTableControl, kHandshakeReads));
}

TEST_F(FrontEndTest, LoadTableWithoutEntriesTouchesNothing) {
  openBoard();
  EXPECT_EQ(KPXADC_LoadTable(board, 1, nullptr), 0);
  EXPECT_TRUE(testbed::journal().empty());
}

TEST_F(FrontEndTest, TableControlValueAndBit18) {
  openBoard(R"("registers": {"36": "0xFFF51234"})");
  EXPECT_EQ(KPXADC_SetTableControl(board, 0xBEEF), 1);
  EXPECT_EQ(registerOps(),
            (std::vector<RegisterOp>{Read(kTableControl), Write(kTableControl, 0xFFF5BEEF)}));
  EXPECT_EQ(KPXADC_SetTableBit18(board, 0), 1);
  EXPECT_EQ(peek(kTableControl), 0xFFF1BEEFu);
  EXPECT_EQ(KPXADC_SetTableBit18(board, 1), 1);
  EXPECT_EQ(peek(kTableControl), 0xFFF5BEEFu);
}

// ---- Option register -------------------------------------------------------

TEST_F(FrontEndTest, EachOptionSetterOwnsOneBit) {
  openBoard();
  const struct {
    int32_t (*set)(BoardHandle, uint32_t);
    uint32_t bit;
  } setters[] = {{KPXADC_SetOptionBit1, 1}, {KPXADC_SetOptionBit2, 2}, {KPXADC_SetOptionBit3, 3},
                 {KPXADC_SetOptionBit4, 4}, {KPXADC_SetOptionBit5, 5}, {KPXADC_SetOptionBit7, 7}};
  for (const auto& s : setters) {
    poke(kOption, 0);
    EXPECT_EQ(s.set(board, 5), 1);
    EXPECT_EQ(peek(kOption), 1u << s.bit) << "bit " << s.bit;
    poke(kOption, 0xFFFFFFFF);
    EXPECT_EQ(s.set(board, 0), 1);
    EXPECT_EQ(peek(kOption), ~(1u << s.bit)) << "bit " << s.bit;
  }
  poke(kOption, 0xFFFFFFFE);
  EXPECT_EQ(KPXADC_IsOptionBit0Clear(board), 1);
  poke(kOption, 1);
  EXPECT_EQ(KPXADC_IsOptionBit0Clear(board), 0);
}

// ---- Custom registers ------------------------------------------------------

TEST_F(FrontEndTest, CustomRegistersAndTheirRange) {
  openBoard();
  for (uint32_t n = 0; n < 4; ++n) {
    EXPECT_EQ(KPXADC_WriteCustomReg(board, n, 0x11110000u * (n + 1) + n), 1);
    EXPECT_EQ(peek(112 + 4 * n), 0x11110000u * (n + 1) + n);
    EXPECT_EQ(KPXADC_ReadCustomReg(board, n), 0x11110000u * (n + 1) + n);
  }
  testbed::clearJournal();
  EXPECT_EQ(KPXADC_WriteCustomReg(board, 4, 1), 0);
  EXPECT_EQ(KPXADC_ReadCustomReg(board, 4), 0u);
  EXPECT_TRUE(testbed::journal().empty());
}

// ---- Sequence registers ----------------------------------------------------

TEST_F(FrontEndTest, SequenceSelectAddsToTheMask) {
  openBoard();
  ASSERT_EQ(KPXADC_Open(BOARD_TYPE_ADC, 0), board);
  testbed::clearJournal();
  EXPECT_EQ(KPXADC_SetSequenceSelect(board, 3), 1);
  EXPECT_EQ(registerOps(),
            (std::vector<RegisterOp>{Read(kSeqSelect), Write(kSeqSelect, 0x00030008)}));
  EXPECT_EQ(KPXADC_SetSequenceSelect(board, 5), 1);
  EXPECT_EQ(peek(kSeqSelect), 0x00050028u);
  EXPECT_EQ(KPXADC_SetSequenceSelect(board, 15), 1);
  EXPECT_EQ(peek(kSeqSelect), 0x000F8028u);

  poke(kSeqSelect, 0xFF000000);  // bits 24-31 are kept as read
  EXPECT_EQ(KPXADC_SetSequenceSelect(board, 0), 1);
  EXPECT_EQ(peek(kSeqSelect), 0xFF000001u);

  testbed::clearJournal();
  EXPECT_EQ(KPXADC_SetSequenceSelect(board, 16), 0);
  EXPECT_TRUE(testbed::journal().empty());
}

TEST_F(FrontEndTest, SequenceWordAndMode) {
  openBoard(R"("registers": {"4112": "0x00080000"})");
  EXPECT_EQ(KPXADC_SetSequenceWord(board, 0xCAFEF00D), 1);
  EXPECT_EQ(registerOps(), std::vector<RegisterOp>{Write(KPXADC_REG_SEQ_WORD, 0xCAFEF00D)});

  for (uint32_t mode : {1u, 3u}) {
    testbed::clearJournal();
    EXPECT_EQ(KPXADC_SetSequenceMode(board, mode), 6);
    EXPECT_EQ(registerOps(), std::vector<RegisterOp>{Read(kSeqStatus)}) << mode;
  }
  EXPECT_EQ(KPXADC_SetSequenceMode(board, 2), 1);
  EXPECT_EQ(peek(kSeqStatus), 0x00100000u);
  EXPECT_EQ(KPXADC_SetSequenceMode(board, 0), 1);
  EXPECT_EQ(peek(kSeqStatus), 0u);
}

TEST_F(FrontEndTest, StartSequenceIsRefusedWhileTheAdcIsStopped) {
  openBoard(R"("registers": {"28": "0xFFFFFFFE"})");
  EXPECT_EQ(KPXADC_StartSequence(board), 4);
  EXPECT_EQ(registerOps(), std::vector<RegisterOp>{Read(kRun)});
}

TEST_F(FrontEndTest, StartSequenceRunsToItsResult) {
  openBoard(
      R"("sequence_reads": 3, "sequence_result": 11,
          "registers": {"28": "1", "4096": "0x1234ABCD", "4112": "0x00120000"})");
  EXPECT_EQ(KPXADC_StartSequence(board), 1);
  // Control bits 8-15 become 0x20; the start bit goes low, then high, both
  // writes built from the one status read.
  EXPECT_EQ(registerOps(),
            (std::vector<RegisterOp>{
                Read(kRun), Read(kSeqControl), Write(kSeqControl, 0x123420CD), Write(kSeqClear, 0),
                Read(kSeqStatus), Write(kSeqStatus, 0x00100000), Write(kSeqStatus, 0x00120000)}));
  EXPECT_EQ(KPXADC_IsSequenceState2(board), 1);

  testbed::clearJournal();
  EXPECT_EQ(KPXADC_WaitSequence(board, 0), 11);
  EXPECT_EQ(registerOps(),
            Reads(kSeqStatus, 4) + std::vector<RegisterOp>{Write(kSeqSelect, kSelectInitial)});
  EXPECT_EQ(KPXADC_IsSequenceState2(board), 0);
}

TEST_F(FrontEndTest, WaitSequenceOutcomes) {
  openBoard(R"("sequence_reads": null, "registers": {"28": "1", "4100": "0x00050028"})");
  const struct {
    uint32_t code, count;
    int32_t expected;
    size_t reads;
  } cases[] = {
      {2, 1, 2, 1},  // time-out at once: one read, no pause
      {9, 0, 9, 1},  // error code on the first read
      {4, 1, 1, 1},  // done on the read that uses up the count
      {9, 1, 2, 1},  // an error on that read is still a time-out
      {15, 3, 15, 1}, {8, 2, 8, 1},
  };
  for (const auto& c : cases) {
    poke(kSeqStatus, statusCode(c.code) | 0x00020000);
    poke(kSeqSelect, 0x00050028);
    testbed::clearJournal();
    EXPECT_EQ(KPXADC_WaitSequence(board, c.count), c.expected) << c.code << " / " << c.count;
    EXPECT_EQ(registerOps(), Reads(kSeqStatus, c.reads) +
                                 std::vector<RegisterOp>{Write(kSeqSelect, kSelectInitial)})
        << c.code << " / " << c.count;
  }

  // A sequence that never ends uses up the count, 1 ms apart.
  EXPECT_EQ(KPXADC_StartSequence(board), 1);
  testbed::clearJournal();
  EXPECT_EQ(KPXADC_WaitSequence(board, 5), 2);
  EXPECT_EQ(registerOps(),
            Reads(kSeqStatus, 5) + std::vector<RegisterOp>{Write(kSeqSelect, kSelectInitial)});
}

TEST_F(FrontEndTest, SequenceStateIsTwoWhileTheSequenceRuns) {
  // The board reports state 2 in bits 0-1 while a sequence runs, 0 when not;
  // the other bits are its own.
  openBoard(R"("sequence_reads": null, "registers": {"28": "1", "4224": "0xFFFFFFFC"})");
  EXPECT_EQ(KPXADC_IsSequenceState2(board), 0);
  ASSERT_EQ(KPXADC_StartSequence(board), 1);
  ASSERT_EQ(peek(kSeqState), 0xFFFFFFFEu);
  testbed::clearJournal();
  EXPECT_EQ(KPXADC_IsSequenceState2(board), 1);
  EXPECT_EQ(registerOps(), std::vector<RegisterOp>{Read(kSeqState)});
  poke(kSeqStatus, statusCode(4));  // the sequence is over
  EXPECT_EQ(KPXADC_IsSequenceState2(board), 0);
}

// ---- Failed register reads ---------------------------------------------------

TEST_F(FrontEndTest, FailedReadsCountAsAllOnes) {
  openBoard(R"("faults": [{"op": "IOCTL_GET_HSREG", "error": 31}])");
  CaptureStdout();
  EXPECT_EQ(KPXADC_GetCtrlBit12(board), 4096);
  EXPECT_EQ(KPXADC_GetCtrlByte2(board), 255);
  EXPECT_EQ(KPXADC_GetTableEntry(board, 5), 4095);
  EXPECT_EQ(KPXADC_GetStatusBit(board, 3), 1);
  EXPECT_EQ(KPXADC_IsCtrlBit11Clear(board), 0);
  EXPECT_EQ(KPXADC_IsOptionBit0Clear(board), 0);
  EXPECT_EQ(KPXADC_IsSequenceState2(board), 0);
  EXPECT_EQ(KPXADC_ReadCustomReg(board, 1), 0xFFFFFFFFu);
  EXPECT_EQ(KPXADC_WaitSequence(board, 0), 15);
  EXPECT_EQ(KPXADC_WaitSequence(board, 1), 2);
  std::string lines;
  for (int i = 0; i < 10; ++i) lines += "IOCTL_GET_HSREG failed:  31\n";
  EXPECT_EQ(GetCapturedStdout(), lines);

  testbed::clearJournal();
  CaptureStdout();
  EXPECT_EQ(KPXADC_StartSequence(board), 1);  // the run bit reads as set
  EXPECT_EQ(KPXADC_SetCtrlBit3(board, 0), 1);
  const uint16_t entries[16] = {};
  EXPECT_EQ(KPXADC_LoadTable(board, 0, entries), 0);  // busy reads as set
  GetCapturedStdout();
  const auto ops = registerOps();
  ASSERT_EQ(ops.size(), 7 + 2 + 8 + 3 + kHandshakeReads);
  EXPECT_EQ(ops[2], Write(kSeqControl, 0xFFFF20FF));
  EXPECT_EQ(ops[5], Write(kSeqStatus, 0xFFFDFFFF));
  EXPECT_EQ(ops[8], Write(kControl, 0xFFFFFFF7));
  EXPECT_EQ(ops[18], Write(kTableControl, 0xFFFCFFFF));
}

}  // namespace
