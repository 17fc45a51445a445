// The ADC board's front-end and auxiliary registers: open and close, the
// control, status and option bits, the sixteen-entry table with its load
// handshake, the custom registers cReg0 to cReg3, and the sequence registers.
#include "kpxadc.h"
#include "register_access.h"

using namespace kpx::adc;

namespace {

// Value of the sequence select register after an open and after every wait:
// only bit 23 set.
constexpr uint32_t kSequenceSelectInitial = 0x00800000u;
constexpr uint32_t kSequenceSelectNumberMask = 0x00FF0000u;
constexpr int kSequenceSelectNumberShift = 16;
constexpr uint32_t kHighestSequence = 15;

constexpr uint32_t kBitPair0Mask = 0x30u;  // control bits 4 and 5
constexpr uint32_t kBitPair1Mask = 0xC0u;  // control bits 6 and 7
constexpr int kCtrlBit12 = 12;
constexpr uint32_t kCtrlByte2Mask = 0xFFu;

constexpr uint32_t kStatusLowBitsMask = 0xFFFFu;
constexpr uint32_t kStatusAnyBit = 16;  // asks whether any of bits 0-15 is set

constexpr uint32_t kTableValueMask = 0xFFFFu;
constexpr int kTableModeBit = 16;
constexpr int kTableBusyBit = 17;
constexpr int kTableBit18 = 18;
constexpr uint32_t kTableRegisters = 8;
constexpr uint32_t kTableEntries = 16;
constexpr uint32_t kTableEntryMask = 0xFFFu;  // entries read back with 12 bits

constexpr uint32_t kHighestCustomRegister = 3;

constexpr int kSequenceModeShift = 19;
constexpr uint32_t kSequenceModeMask = 0x3u << kSequenceModeShift;
constexpr int kSequenceStartBit = 17;
constexpr int kSequenceCodeShift = 24;
constexpr uint32_t kSequenceCodeMask = 0xFu;
constexpr uint32_t kSequenceDone = 4;
constexpr uint32_t kSequenceFirstError = 8;
constexpr uint32_t kSequenceDefaultPolls = 500000;
constexpr uint32_t kSequenceControlFieldMask = 0xFF00u;  // bits 8-15
constexpr uint32_t kSequenceControlStart = 0x2000u;      // 0x20 in bits 8-15
constexpr uint32_t kSequenceStateMask = 0x3u;
constexpr uint32_t kSequenceState2 = 2;

constexpr int kRunBit = 0;

constexpr int32_t kRefusedNotRunning = 4;
constexpr int32_t kRefusedMode = 6;
constexpr int32_t kSequenceTimedOut = 2;

uint32_t readControl(BoardHandle handle) {
  return readRegister(handle, KPXADC_REG_CONTROL);
}

uint32_t tableRegister(uint32_t index) {
  return KPXADC_REG_TABLE0 + 4u * index;
}

}  // namespace

extern "C" {

BoardHandle KPXADC_Open(BoardType type, uint8_t index) {
  BoardHandle handle = Kpxadac16_GetHandle(type, index);
  if (handle != KPXADAC_INVALID_HANDLE)
    writeRegister(handle, KPXADC_REG_SEQ_SELECT, kSequenceSelectInitial);
  return handle;
}

void KPXADC_Close(BoardHandle handle) {
  Kpxadac16_Close(handle);
}

/* ---- Control register ---------------------------------------------------- */

int32_t KPXADC_GetCtrlBit1(BoardHandle handle) {
  return bitOf(readControl(handle), 1);
}
int32_t KPXADC_GetCtrlBit13(BoardHandle handle) {
  return bitOf(readControl(handle), 13);
}
int32_t KPXADC_GetCtrlBit10(BoardHandle handle) {
  return bitOf(readControl(handle), 10);
}

int32_t KPXADC_GetCtrlBit12(BoardHandle handle) {
  // Reported in place (0 or 4096), as callers of this board expect.
  return static_cast<int32_t>(readControl(handle) & (1u << kCtrlBit12));
}

int32_t KPXADC_IsCtrlBit11Clear(BoardHandle handle) {
  return bitOf(readControl(handle), 11) == 0 ? 1 : 0;
}

int32_t KPXADC_GetCtrlByte2(BoardHandle handle) {
  return static_cast<int32_t>((readControl(handle) >> 16) & kCtrlByte2Mask);
}

int32_t KPXADC_SetCtrlBitPair(BoardHandle handle, uint32_t pair, uint32_t low, uint32_t high) {
  // The register is read before the pair is tested. The flags are placed as
  // given; callers pass 0 or 1.
  uint32_t value = readControl(handle);
  switch (pair) {
    case 0:
      value = withField(value, kBitPair0Mask, low << 4 | high << 5);
      break;
    case 1:
      value = withField(value, kBitPair1Mask, low << 6 | high << 7);
      break;
    default:
      return 0;
  }
  writeRegister(handle, KPXADC_REG_CONTROL, value);
  return 1;
}

int32_t KPXADC_SetCtrlBit3(BoardHandle handle, uint32_t flag) {
  return writeBit(handle, KPXADC_REG_CONTROL, 3, flag != 0);
}

int32_t KPXADC_SetCtrlBit8(BoardHandle handle) {
  return writeBit(handle, KPXADC_REG_CONTROL, 8, true);
}

int32_t KPXADC_SetCtrlBit10(BoardHandle handle, uint32_t state) {
  uint32_t value = readControl(handle);
  if (state > 1) return 0;
  writeRegister(handle, KPXADC_REG_CONTROL, withBit(value, 10, state == 1));
  return 1;
}

/* ---- Status register ----------------------------------------------------- */

uint8_t KPXADC_GetStatusBit(BoardHandle handle, uint32_t bit) {
  uint32_t low = readRegister(handle, KPXADC_REG_STATUS) & kStatusLowBitsMask;
  if (bit == kStatusAnyBit) return low != 0 ? 1 : 0;
  if (bit > kStatusAnyBit) return 0;
  return static_cast<uint8_t>(bitOf(low, static_cast<int>(bit)));
}

/* ---- Table --------------------------------------------------------------- */

int32_t KPXADC_SetTableControl(BoardHandle handle, uint32_t value) {
  // The value is placed unmasked; callers pass 0 to 65535.
  uint32_t current = readRegister(handle, KPXADC_REG_TABLE_CONTROL);
  writeRegister(handle, KPXADC_REG_TABLE_CONTROL, (current & ~kTableValueMask) | value);
  return 1;
}

int32_t KPXADC_LoadTable(BoardHandle handle, uint32_t mode, const uint16_t entries[16]) {
  // Without entries there is nothing to load: refused like an argument out of
  // range, with nothing written.
  if (!entries) return 0;
  for (uint32_t i = 0; i < kTableRegisters; ++i)
    writeRegister(handle, tableRegister(i),
                  uint32_t{entries[2 * i]} | uint32_t{entries[2 * i + 1]} << 16);
  uint32_t value = readRegister(handle, KPXADC_REG_TABLE_CONTROL);
  value = withBit(withBit(value, kTableModeBit, mode == 1), kTableBusyBit, false);
  writeRegister(handle, KPXADC_REG_TABLE_CONTROL, value);
  writeRegister(handle, KPXADC_REG_TABLE_CONTROL, withBit(value, kTableBusyBit, true));
  return pollBit(handle, KPXADC_REG_TABLE_CONTROL, kTableBusyBit, 0) ? 1 : 0;
}

int32_t KPXADC_SetTableBit18(BoardHandle handle, uint32_t flag) {
  // The flag is shifted unmasked; callers pass 0 or 1.
  uint32_t value = withBit(readRegister(handle, KPXADC_REG_TABLE_CONTROL), kTableBit18, false);
  writeRegister(handle, KPXADC_REG_TABLE_CONTROL, value | flag << kTableBit18);
  return 1;
}

int32_t KPXADC_GetTableEntry(BoardHandle handle, uint32_t n) {
  if (n >= kTableEntries) return 0;
  uint32_t value = readRegister(handle, tableRegister(n / 2));
  if (n % 2 == 1) value >>= 16;
  return static_cast<int32_t>(value & kTableEntryMask);
}

/* ---- Option register ----------------------------------------------------- */

int32_t KPXADC_SetOptionBit1(BoardHandle handle, uint32_t flag) {
  return writeBit(handle, KPXADC_REG_OPTION, 1, flag != 0);
}
int32_t KPXADC_SetOptionBit2(BoardHandle handle, uint32_t flag) {
  return writeBit(handle, KPXADC_REG_OPTION, 2, flag != 0);
}
int32_t KPXADC_SetOptionBit3(BoardHandle handle, uint32_t flag) {
  return writeBit(handle, KPXADC_REG_OPTION, 3, flag != 0);
}
int32_t KPXADC_SetOptionBit4(BoardHandle handle, uint32_t flag) {
  return writeBit(handle, KPXADC_REG_OPTION, 4, flag != 0);
}
int32_t KPXADC_SetOptionBit5(BoardHandle handle, uint32_t flag) {
  return writeBit(handle, KPXADC_REG_OPTION, 5, flag != 0);
}
int32_t KPXADC_SetOptionBit7(BoardHandle handle, uint32_t flag) {
  return writeBit(handle, KPXADC_REG_OPTION, 7, flag != 0);
}

int32_t KPXADC_IsOptionBit0Clear(BoardHandle handle) {
  return bitOf(readRegister(handle, KPXADC_REG_OPTION), 0) == 0 ? 1 : 0;
}

/* ---- Custom registers ---------------------------------------------------- */

int32_t KPXADC_WriteCustomReg(BoardHandle handle, uint32_t n, uint32_t value) {
  if (n > kHighestCustomRegister) return 0;
  writeRegister(handle, KPXADC_REG_CUSTOM0 + 4u * n, value);
  return 1;
}

uint32_t KPXADC_ReadCustomReg(BoardHandle handle, uint32_t n) {
  if (n > kHighestCustomRegister) return 0;
  return readRegister(handle, KPXADC_REG_CUSTOM0 + 4u * n);
}

/* ---- Sequence registers -------------------------------------------------- */

int32_t KPXADC_SetSequenceSelect(BoardHandle handle, uint32_t n) {
  if (n > kHighestSequence) return 0;
  // Bit n joins the mask (no bit of it is ever cleared here) and n becomes
  // the selected number in bits 16-23, which also clears bit 23.
  uint32_t value = readRegister(handle, KPXADC_REG_SEQ_SELECT);
  value = withField(value, kSequenceSelectNumberMask, n << kSequenceSelectNumberShift);
  writeRegister(handle, KPXADC_REG_SEQ_SELECT, withBit(value, static_cast<int>(n), true));
  return 1;
}

int32_t KPXADC_SetSequenceWord(BoardHandle handle, uint32_t value) {
  writeRegister(handle, KPXADC_REG_SEQ_WORD, value);
  return 1;
}

int32_t KPXADC_SetSequenceMode(BoardHandle handle, uint32_t mode) {
  // The status register is read before the mode is tested.
  uint32_t value = readRegister(handle, KPXADC_REG_SEQ_STATUS);
  if (mode != 0 && mode != 2) return kRefusedMode;
  writeRegister(handle, KPXADC_REG_SEQ_STATUS,
                withField(value, kSequenceModeMask, mode << kSequenceModeShift));
  return 1;
}

int32_t KPXADC_StartSequence(BoardHandle handle) {
  if (bitOf(readRegister(handle, KPXADC_REG_RUN), kRunBit) == 0) return kRefusedNotRunning;
  uint32_t control = readRegister(handle, KPXADC_REG_SEQ_CONTROL);
  writeRegister(handle, KPXADC_REG_SEQ_CONTROL,
                withField(control, kSequenceControlFieldMask, kSequenceControlStart));
  writeRegister(handle, KPXADC_REG_SEQ_CLEAR, 0);
  // The start bit goes low, then high, both writes built from one read.
  uint32_t status = readRegister(handle, KPXADC_REG_SEQ_STATUS);
  writeRegister(handle, KPXADC_REG_SEQ_STATUS, withBit(status, kSequenceStartBit, false));
  writeRegister(handle, KPXADC_REG_SEQ_STATUS, withBit(status, kSequenceStartBit, true));
  return 1;
}

int32_t KPXADC_WaitSequence(BoardHandle handle, uint32_t count) {
  uint32_t remaining = count == 0 ? kSequenceDefaultPolls : count;
  int32_t result = kSequenceTimedOut;
  for (;;) {
    uint32_t code =
        (readRegister(handle, KPXADC_REG_SEQ_STATUS) >> kSequenceCodeShift) & kSequenceCodeMask;
    if (code == kSequenceDone) {
      result = 1;
      break;
    }
    // The read that uses up the count is a time-out, whatever code it shows.
    if (--remaining == 0) break;
    if (code >= kSequenceFirstError) {
      result = static_cast<int32_t>(code);
      break;
    }
    Kpxadac16_Sleep(handle, 1);
  }
  writeRegister(handle, KPXADC_REG_SEQ_SELECT, kSequenceSelectInitial);
  return result;
}

int32_t KPXADC_IsSequenceState2(BoardHandle handle) {
  uint32_t state = readRegister(handle, KPXADC_REG_SEQ_STATE) & kSequenceStateMask;
  return state == kSequenceState2 ? 1 : 0;
}

}  // extern "C"
