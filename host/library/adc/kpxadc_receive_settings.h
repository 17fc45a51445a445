// Board settings shared by the programs that receive from an ADC board (the
// receive demo and kpxadac-capture): the synthesizer words for a 105 MHz
// sample clock and the value they write to custom register cReg0.
#ifndef KPXADC_RECEIVE_SETTINGS_H
#define KPXADC_RECEIVE_SETTINGS_H

#include "kpxadc.h"

// Synthesizer words for a 105 MHz sample clock, for KPXADC_ProgramClock.
static const ClockSetting kKpxadcClock105MHz = {{0x10, 0x54, 0x40, 0x00, 0x00, 0x20, 0x00, 0x00,
                                                 0x20, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x0E}};

// Sample rate that kKpxadcClock105MHz gives, in samples per second.
#define KPXADC_SYNTHESIZER_RATE_HZ 105e6

// Value written to custom register cReg0 (KPXADC_REG_CUSTOM0) before a capture.
#define KPXADC_RECEIVE_CREG0_VALUE 412977624u

#endif /* KPXADC_RECEIVE_SETTINGS_H */
