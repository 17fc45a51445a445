/*
 * kpxadc.h - register-level control of the KPX-ADC board.
 *
 * Every operation is a read-modify-write of one 32-bit board register
 * through Kpxadac16_ReadReg / Kpxadac16_WriteReg: bits an operation does not
 * name are written back as they were read. Nothing is cached, no lock is
 * taken and nothing here is atomic against other users of the same board,
 * so a host application that shares a board between threads serialises
 * these calls itself.
 *
 * Results: 1 for done, 0 for an argument out of range or a wait that ran out,
 * and a few refusal codes of their own (4, 5, 6). Register request failures
 * print their own line (see kpxadac16.h) and are not detected here: a failed
 * read counts as all ones.
 *
 * Waits are bounded polling loops: 500 register reads without a pause for
 * the clock and table handshakes, and up to the caller's count (500000 when
 * 0) with 1 ms pauses for the sequence wait.
 */
#ifndef KPXADC_H
#define KPXADC_H

#include "kpxadac16.h"

#ifdef __cplusplus
extern "C" {
#endif

/** Four clock synthesizer words as 16 bytes, each word little-endian
 *  whatever the host's byte order; word n goes to register 12 + 4n. */
typedef struct ClockSetting {
  uint8_t bytes[16];
} ClockSetting;

/* Register offsets of the ADC board. */
#define KPXADC_REG_CONTROL 0x000u
#define KPXADC_REG_CLOCK 0x008u
#define KPXADC_REG_SYNTH_WORD0 0x00Cu
#define KPXADC_REG_RUN 0x01Cu
#define KPXADC_REG_STATUS 0x020u
#define KPXADC_REG_TABLE_CONTROL 0x024u
#define KPXADC_REG_TABLE0 0x028u
#define KPXADC_REG_OPTION 0x058u
#define KPXADC_REG_CUSTOM0 0x070u
#define KPXADC_REG_SEQ_CONTROL 0x1000u
#define KPXADC_REG_SEQ_SELECT 0x1004u
#define KPXADC_REG_SEQ_WORD 0x1008u
#define KPXADC_REG_SEQ_STATUS 0x1010u
#define KPXADC_REG_SEQ_CLEAR 0x101Cu
#define KPXADC_REG_SEQ_STATE 0x1080u

/* ---- Clock and run control ------------------------------------------- */

/** Selects clock source 0-7 (not 3), pauses 1 ms and resets the clock.
 *  @return 1 written (whatever the reset gave); 0 source refused (printed). */
KPXADAC_API int32_t KPXADC_SetClockSource(BoardHandle handle, uint32_t source);

/** @return the clock source field; field value 3 is reported as 8. */
KPXADAC_API int32_t KPXADC_GetClockSource(BoardHandle handle);

/** Sets clock mode 0, 1 or 2 (another mode writes nothing) and resets the
 *  clock. @return the reset's result. */
KPXADAC_API int32_t KPXADC_SetClockMode(BoardHandle handle, uint32_t mode);

/** Writes clock flags A (bit 4) and B (bit 5).
 *  @return the reset's result when flagA is 1, otherwise 1 without a reset. */
KPXADAC_API int32_t KPXADC_SetClockFlags(BoardHandle handle, uint32_t flagA, uint32_t flagB);

/** Programs the clock synthesizer and waits for its busy bit to clear.
 *  @return the reset's result; 0 when busy stayed set for 500 reads. */
KPXADAC_API int32_t KPXADC_ProgramClock(BoardHandle handle, const ClockSetting *setting);

/** Pulses the clock reset and waits for the ready bit.
 *  @return 1 ready; 0 after 500 reads without it. */
KPXADAC_API int32_t KPXADC_ResetClock(BoardHandle handle);

/** @return clock ready bit (8), 0 or 1. */
KPXADAC_API int32_t KPXADC_GetClockReady(BoardHandle handle);
/** @return clock register bit 11, 0 or 1. */
KPXADAC_API int32_t KPXADC_GetClockBit11(BoardHandle handle);
/** @return clock register bit 14, 0 or 1. */
KPXADAC_API int32_t KPXADC_GetClockBit14(BoardHandle handle);
/** @return clock register bit 15, 0 or 1. */
KPXADAC_API int32_t KPXADC_GetClockBit15(BoardHandle handle);
/** Sets (flag nonzero) or clears clock register bit 12. @return 1. */
KPXADAC_API int32_t KPXADC_SetClockBit12(BoardHandle handle, uint32_t flag);
/** Sets (flag nonzero) or clears clock register bit 13. @return 1. */
KPXADAC_API int32_t KPXADC_SetClockBit13(BoardHandle handle, uint32_t flag);

/** Sets (1) or clears (0) the ADC run bit. @return 1; 0 for another state. */
KPXADAC_API int32_t KPXADC_SetRunState(BoardHandle handle, uint32_t state);

/** Sets or clears run register bit 3. @return 1; 5 while the ADC runs. */
KPXADAC_API int32_t KPXADC_SetRunBit3(BoardHandle handle, uint32_t flag);

/* ---- Front-end and auxiliary registers --------------------------------- */

/** Takes a registered board and puts its sequence select register to its
 *  initial value. @return the handle, or -1 when there is no such board. */
KPXADAC_API BoardHandle KPXADC_Open(BoardType type, uint8_t index);

/** Closes the board (Kpxadac16_Close). */
KPXADAC_API void KPXADC_Close(BoardHandle handle);

/** @return control register bit 1, 0 or 1. */
KPXADAC_API int32_t KPXADC_GetCtrlBit1(BoardHandle handle);
/** @return control register bit 13, 0 or 1. */
KPXADAC_API int32_t KPXADC_GetCtrlBit13(BoardHandle handle);
/** @return control register bit 10, 0 or 1. */
KPXADAC_API int32_t KPXADC_GetCtrlBit10(BoardHandle handle);
/** @return control register bit 12 in place: 0 or 4096. */
KPXADAC_API int32_t KPXADC_GetCtrlBit12(BoardHandle handle);
/** @return 1 when control register bit 11 is 0, else 0. */
KPXADAC_API int32_t KPXADC_IsCtrlBit11Clear(BoardHandle handle);
/** @return control register bits 16-23 as 0 to 255. */
KPXADAC_API int32_t KPXADC_GetCtrlByte2(BoardHandle handle);
/** Writes bit pair 0 (bits 4, 5) or 1 (bits 6, 7). @return 1; 0 other pair. */
KPXADAC_API int32_t KPXADC_SetCtrlBitPair(BoardHandle handle, uint32_t pair, uint32_t low, uint32_t high);
/** Sets (nonzero) or clears control register bit 3. @return 1. */
KPXADAC_API int32_t KPXADC_SetCtrlBit3(BoardHandle handle, uint32_t flag);
/** Sets control register bit 8. @return 1. */
KPXADAC_API int32_t KPXADC_SetCtrlBit8(BoardHandle handle);
/** Sets (1) or clears (0) control register bit 10. @return 1; 0 otherwise. */
KPXADAC_API int32_t KPXADC_SetCtrlBit10(BoardHandle handle, uint32_t state);

/** @return status bit 0-15 as 0 or 1; 16: any of 0-15 set; above: 0. */
KPXADAC_API uint8_t KPXADC_GetStatusBit(BoardHandle handle, uint32_t bit);

/** Writes bits 0-15 of the table control register. @return 1. */
KPXADAC_API int32_t KPXADC_SetTableControl(BoardHandle handle, uint32_t value);
/** Writes the sixteen table entries and waits for the load to finish.
 *  @return 1 done; 0 busy after 500 reads, or null `entries` (nothing
 *  written). */
KPXADAC_API int32_t KPXADC_LoadTable(BoardHandle handle, uint32_t mode, const uint16_t entries[16]);
/** Writes table control register bit 18. @return 1. */
KPXADAC_API int32_t KPXADC_SetTableBit18(BoardHandle handle, uint32_t flag);
/** @return table entry n (12 bits); 0 for n above 15. */
KPXADAC_API int32_t KPXADC_GetTableEntry(BoardHandle handle, uint32_t n);

/** Set (flag nonzero) or clear one option register bit. @return 1. */
KPXADAC_API int32_t KPXADC_SetOptionBit1(BoardHandle handle, uint32_t flag);
KPXADAC_API int32_t KPXADC_SetOptionBit2(BoardHandle handle, uint32_t flag);
KPXADAC_API int32_t KPXADC_SetOptionBit3(BoardHandle handle, uint32_t flag);
KPXADAC_API int32_t KPXADC_SetOptionBit4(BoardHandle handle, uint32_t flag);
KPXADAC_API int32_t KPXADC_SetOptionBit5(BoardHandle handle, uint32_t flag);
KPXADAC_API int32_t KPXADC_SetOptionBit7(BoardHandle handle, uint32_t flag);
/** @return 1 when option register bit 0 is 0, else 0. */
KPXADAC_API int32_t KPXADC_IsOptionBit0Clear(BoardHandle handle);

/** Writes custom register cReg<n>. @return 1; 0 for n above 3. */
KPXADAC_API int32_t KPXADC_WriteCustomReg(BoardHandle handle, uint32_t n, uint32_t value);
/** @return custom register cReg<n>; 0 for n above 3. */
KPXADAC_API uint32_t KPXADC_ReadCustomReg(BoardHandle handle, uint32_t n);

/** Adds sequence n to the select mask. @return 1; 0 for n above 15. */
KPXADAC_API int32_t KPXADC_SetSequenceSelect(BoardHandle handle, uint32_t n);
/** Writes the sequence word register. @return 1. */
KPXADAC_API int32_t KPXADC_SetSequenceWord(BoardHandle handle, uint32_t value);
/** Sets sequence mode 0 or 2. @return 1; 6 for another mode. */
KPXADAC_API int32_t KPXADC_SetSequenceMode(BoardHandle handle, uint32_t mode);
/** Starts the selected sequence. @return 1; 4 when the ADC is not running. */
KPXADAC_API int32_t KPXADC_StartSequence(BoardHandle handle);
/** Polls the sequence status up to `count` times (0: 500000), 1 ms apart.
 *  @return 1 done; 2 time-out; 8 to 15 the board's error code. */
KPXADAC_API int32_t KPXADC_WaitSequence(BoardHandle handle, uint32_t count);
/** @return 1 when the sequence state register's bits 0-1 equal 2, else 0. */
KPXADAC_API int32_t KPXADC_IsSequenceState2(BoardHandle handle);

#ifdef __cplusplus
}
#endif

#endif /* KPXADC_H */
