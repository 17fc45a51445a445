// Clock source, clock synthesizer, clock reset and run state of the ADC board.
#include <cstdio>

#include "kpxadc.h"
#include "register_access.h"
#include "messages.h"

using namespace kpx::adc;

namespace {

constexpr uint32_t kSourceMask = 0x7;
constexpr int kSynthStartBit = 3;
constexpr int kFlagABit = 4;
constexpr int kFlagBBit = 5;
constexpr int kSynthBusyBit = 6;
constexpr int kResetBit = 7;
constexpr int kReadyBit = 8;
constexpr int kRunBit = 0;
constexpr int kRunControlBit3 = 3;

uint32_t synthesizerWord(const ClockSetting* setting, int n) {
  const uint8_t* b = setting->bytes + 4 * n;
  return uint32_t{b[0]} | uint32_t{b[1]} << 8 | uint32_t{b[2]} << 16 | uint32_t{b[3]} << 24;
}

int32_t clockBit(BoardHandle handle, int bit) {
  return bitOf(readRegister(handle, KPXADC_REG_CLOCK), bit);
}

}  // namespace

extern "C" {

int32_t KPXADC_SetClockSource(BoardHandle handle, uint32_t source) {
  uint32_t value = readRegister(handle, KPXADC_REG_CLOCK);
  if (source > 7 || source == 3) {
    kpx::printLine("KPXADC_SetClockSource ERROR! INVALID CLOCK SOURCE!\n");
    return 0;
  }
  writeRegister(handle, KPXADC_REG_CLOCK, (value & ~kSourceMask) | source);
  Kpxadac16_Sleep(handle, 1);
  KPXADC_ResetClock(handle);
  return 1;
}

int32_t KPXADC_GetClockSource(BoardHandle handle) {
  uint32_t field = readRegister(handle, KPXADC_REG_CLOCK) & kSourceMask;
  return field == 3 ? 8 : static_cast<int32_t>(field);
}

int32_t KPXADC_SetClockMode(BoardHandle handle, uint32_t mode) {
  uint32_t value = readRegister(handle, KPXADC_REG_CLOCK) & ~0x13u;
  switch (mode) {
    case 0: writeRegister(handle, KPXADC_REG_CLOCK, withBit(value, kFlagABit, true)); break;
    case 1: writeRegister(handle, KPXADC_REG_CLOCK, value | 0x1u); break;
    case 2: writeRegister(handle, KPXADC_REG_CLOCK, value | 0x2u); break;
    default: break;
  }
  return KPXADC_ResetClock(handle);
}

int32_t KPXADC_SetClockFlags(BoardHandle handle, uint32_t flagA, uint32_t flagB) {
  uint32_t value = readRegister(handle, KPXADC_REG_CLOCK) & ~0x30u;
  writeRegister(handle, KPXADC_REG_CLOCK, value | flagA << kFlagABit | flagB << kFlagBBit);
  return flagA == 1 ? KPXADC_ResetClock(handle) : 1;
}

int32_t KPXADC_ProgramClock(BoardHandle handle, const ClockSetting* setting) {
  if (!setting) return 0;  // nothing to program: touch no register
  uint32_t value = readRegister(handle, KPXADC_REG_CLOCK);
  uint32_t prepared = withBit(withBit(value, kSynthStartBit, false), kSynthBusyBit, false);
  writeRegister(handle, KPXADC_REG_CLOCK, withBit(prepared, kFlagABit, true));
  for (int n = 0; n < 4; ++n)
    writeRegister(handle, KPXADC_REG_SYNTH_WORD0 + 4u * static_cast<uint32_t>(n),
                  synthesizerWord(setting, n));
  // The start write is built from the value first read, so flag A returns to
  // what it was.
  writeRegister(handle, KPXADC_REG_CLOCK, value | 0x48u);
  if (!pollBit(handle, KPXADC_REG_CLOCK, kSynthBusyBit, 0)) return 0;
  return KPXADC_ResetClock(handle);
}

int32_t KPXADC_ResetClock(BoardHandle handle) {
  uint32_t value = readRegister(handle, KPXADC_REG_CLOCK);
  writeRegister(handle, KPXADC_REG_CLOCK, withBit(value, kResetBit, false));
  writeRegister(handle, KPXADC_REG_CLOCK, withBit(value, kResetBit, true));
  return pollBit(handle, KPXADC_REG_CLOCK, kReadyBit, 1) ? 1 : 0;
}

int32_t KPXADC_GetClockReady(BoardHandle handle) { return clockBit(handle, kReadyBit); }
int32_t KPXADC_GetClockBit11(BoardHandle handle) { return clockBit(handle, 11); }
int32_t KPXADC_GetClockBit14(BoardHandle handle) { return clockBit(handle, 14); }
int32_t KPXADC_GetClockBit15(BoardHandle handle) { return clockBit(handle, 15); }

int32_t KPXADC_SetClockBit12(BoardHandle handle, uint32_t flag) {
  return writeBit(handle, KPXADC_REG_CLOCK, 12, flag != 0);
}

int32_t KPXADC_SetClockBit13(BoardHandle handle, uint32_t flag) {
  return writeBit(handle, KPXADC_REG_CLOCK, 13, flag != 0);
}

int32_t KPXADC_SetRunState(BoardHandle handle, uint32_t state) {
  uint32_t value = readRegister(handle, KPXADC_REG_RUN);
  if (state > 1) return 0;
  writeRegister(handle, KPXADC_REG_RUN, withBit(value, kRunBit, state == 1));
  return 1;
}

int32_t KPXADC_SetRunBit3(BoardHandle handle, uint32_t flag) {
  uint32_t value = readRegister(handle, KPXADC_REG_RUN);
  if (bitOf(value, kRunBit) == 1) return 5;
  writeRegister(handle, KPXADC_REG_RUN, withBit(value, kRunControlBit3, flag != 0));
  return 1;
}

}  // extern "C"
