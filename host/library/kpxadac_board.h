/*
 * kpxadac_board.h - what the library knows about each board: descriptions,
 * sample rates, the receive set-up, the texts of results, and where the
 * library's failure lines go.
 *
 * Programs, bindings and plugins ask these instead of keeping copies of the
 * board's policy: the synthesizer setting, the fixed clock's rate, the value
 * of custom register cReg0, the FPGA part each board ID calls for and the
 * text of each result all live in the library.
 *
 * Results
 *   The set-up operations return the acquisition API's codes (KPXSTREAM_OK,
 *   or a negative KPXSTREAM_ERR_*), whose texts KpxStream_ResultText gives.
 *
 * Threads
 *   Descriptions read the registry and so must not overlap enumeration or
 *   closing, like every registry lookup. KpxBoard_SetMessageOutput may be
 *   called from any thread at any time.
 */
#ifndef KPXADAC_BOARD_H
#define KPXADAC_BOARD_H

#include <stdint.h>

#include "kpxadac16.h"
#include "kpxadac_stream.h"
#include "kpxadc.h"

#ifdef __cplusplus
extern "C" {
#endif

/* ------------------------------------------------------------------------
 * Board descriptions
 * ---------------------------------------------------------------------- */

/** Longest FPGA part name and display label, with their NUL. */
#define KPXBOARD_PART_CHARS 16
#define KPXBOARD_LABEL_CHARS 64

/** A registered board, as far as the library knows it without asking the
 *  board again. */
typedef struct KpxBoardDescription {
  BoardHandle handle; /* the handle every call takes */
  BoardType type;     /* BOARD_TYPE_ADC or BOARD_TYPE_DAC */
  int32_t index;      /* among the registered boards of its type (Kpxadac16_GetHandle) */
  int32_t device;     /* N of the device \\.\KPXADAC_N; -1 when not opened by number */
  int32_t boardId;    /* 0x82 to 0x8F */
  /* The six identification bytes that the driver answered at registration,
   * in the driver's order: byte 5 is the board ID. (Kpxadac16_GetBoardInfo
   * hands bytes 3 and 4 over exchanged; these are not.) */
  uint8_t ident[6];
  /* The FPGA part that the board ID calls for in a .bit file ("4vlx40"),
   * "" for none. */
  char fpgaPart[KPXBOARD_PART_CHARS];
  /* A name to show people: "KPX-ADAC ADC 0 (board ID 0x8A, device 0)". */
  char label[KPXBOARD_LABEL_CHARS];
} KpxBoardDescription;

/** @return the number of registered boards. */
KPXADAC_API int32_t KpxBoard_Count(void);

/** Why the boards could not be set up as asked, or "" when they were: with
 *  virtual boards, a KPXADAC_SIM that does not parse or names a rack that
 *  cannot be built ("KPXADAC_SIM: invalid JSON: ..."). Such a process has no
 *  boards, and a program should fail with this text rather than report an
 *  empty rack. Never null; the text stays valid until the calling thread's
 *  next call. */
KPXADAC_API const char* KpxBoard_PlatformProblem(void);

/** Describes the `position`-th registered board, the boards ordered by
 *  device number (boards not opened by number last, in registration order).
 *  Sends nothing to the board.
 *  @return KPXSTREAM_OK, ERR_NULL, or ERR_ARGUMENT (no such position). */
KPXADAC_API int32_t KpxBoard_Describe(int32_t position, KpxBoardDescription* description);

/** Describes the registered board `handle`; sends nothing to the board.
 *  @return KPXSTREAM_OK, ERR_NULL, or ERR_NO_BOARD. */
KPXADAC_API int32_t KpxBoard_DescribeHandle(BoardHandle handle, KpxBoardDescription* description);

/** The FPGA part that `boardId` calls for ("4vlx40" for 0x8A), or null for
 *  an ID with none. The same table Kpxadac16_LoadBitstreamFile checks. */
KPXADAC_API const char* KpxBoard_ExpectedPart(int32_t boardId);

/* ------------------------------------------------------------------------
 * Sample rates
 * ---------------------------------------------------------------------- */

/* Which clock drives a board (also KpxStreamStatus.clock). */
#define KPXBOARD_CLOCK_UNKNOWN 0     /* not set up by the library, and not the fixed clock */
#define KPXBOARD_CLOCK_FIXED 1       /* the onboard fixed clock */
#define KPXBOARD_CLOCK_SYNTHESIZER 2 /* the synthesizer at the library's 105 MHz setting */

/** The sample rate of the synthesizer's 105 MHz setting: 105e6. */
KPXADAC_API double KpxBoard_SynthesizerRateHz(void);

/** The rate of the board's onboard fixed clock. The board cannot report it:
 *  100e6 unless the host set another with KpxBoard_SetFixedClockRate. An
 *  unregistered handle (KPXADAC_INVALID_HANDLE, say) gives the default. */
KPXADAC_API double KpxBoard_FixedClockRateHz(BoardHandle handle);

/** Tells the library the rate of the board's fixed clock, in Hz (> 0 and
 *  finite); kept until the board is closed.
 *  @return KPXSTREAM_OK, ERR_NO_BOARD or ERR_ARGUMENT. */
KPXADAC_API int32_t KpxBoard_SetFixedClockRate(BoardHandle handle, double rateHz);

/** The rate of `clock` (KPXBOARD_CLOCK_*) on the board: the fixed clock's
 *  rate for this board, the synthesizer's rate, or 0 for UNKNOWN. */
KPXADAC_API double KpxBoard_ClockRateHz(BoardHandle handle, int32_t clock);

/** The clock the board reports, which KPXSTREAM_SETUP_AUTO_CLOCK chooses:
 *  KPXBOARD_CLOCK_FIXED when Kpxadac16_GetFixedClock answers nonzero (a
 *  failed query included), else KPXBOARD_CLOCK_SYNTHESIZER. Asks the driver;
 *  sets nothing up.
 *  @return KPXBOARD_CLOCK_FIXED or _SYNTHESIZER, or ERR_NO_BOARD. */
KPXADAC_API int32_t KpxBoard_ReportedClock(BoardHandle handle);

/** The clock a receive set-up with `choice` would use, its rate and its name:
 *  what every program prints or sizes its buffers by before (or without)
 *  opening a stream. */
typedef struct KpxClockPlan {
  int32_t clock;    /* KPXBOARD_CLOCK_FIXED or KPXBOARD_CLOCK_SYNTHESIZER */
  double rateHz;    /* that clock's rate on this board (KpxBoard_ClockRateHz) */
  const char* name; /* "onboard fixed clock" or "clock synthesizer" */
  const char* key;  /* "fixed" or "synthesizer", for JSON and options */
} KpxClockPlan;

/** Fills `plan` for `choice` (KPXSTREAM_SETUP_AUTO_CLOCK, _FIXED_CLOCK or
 *  _SYNTHESIZER). AUTO follows the library's one clock rule, the rule of
 *  KpxBoard_ReportedClock and KpxBoard_SetupClock: the fixed clock when
 *  Kpxadac16_GetFixedClock answers nonzero (a failed query included), else
 *  the synthesizer; it asks the driver and needs a registered board. FIXED
 *  and SYNTHESIZER send nothing and accept any handle (an unregistered one
 *  gives the default fixed-clock rate). Sets nothing up.
 *  @return KPXSTREAM_OK, or ERR_NULL, ERR_ARGUMENT (choice), ERR_NO_BOARD
 *  (AUTO on an unregistered handle); on failure the plan says clock
 *  UNKNOWN, rate 0 and empty name and key. */
KPXADAC_API int32_t KpxBoard_ClockPlan(BoardHandle handle, int32_t choice, KpxClockPlan* plan);

/** The rate the board's current clock gives, as far as the library can tell:
 *  the clock that the library last set up on the board (KpxBoard_SetupClock,
 *  or a stream's set-up); otherwise, for an ADC board whose driver says it
 *  runs from the fixed clock (Kpxadac16_GetFixedClock nonzero, a failed
 *  query included, as KpxBoard_ClockPlan rules), the fixed clock; otherwise
 *  unknown (the synthesizer at a setting the library did
 *  not make, or a DAC board nobody set up). Registers changed behind the
 *  library's back are not seen.
 *  @param rateHz receives the rate; 0 when unknown.
 *  @return KPXBOARD_CLOCK_*, or ERR_NULL, ERR_NO_BOARD. */
KPXADAC_API int32_t KpxBoard_GetSampleRate(BoardHandle handle, double* rateHz);

/* ------------------------------------------------------------------------
 * The receive set-up, step by step
 *
 * What a receive stream with a set-up other than KPXSTREAM_SETUP_NONE does:
 * KpxBoard_SetupClock when it is opened, then KpxBoard_StartReceiving and
 * KpxBoard_ResetChannel when it starts. A program that opens its stream
 * with KPXSTREAM_SETUP_NONE (to claim the board first) calls them itself.
 * ---------------------------------------------------------------------- */

/** Sets up an ADC board's sampling clock.
 *  @param choice KPXSTREAM_SETUP_AUTO_CLOCK: the fixed clock when
 *  Kpxadac16_GetFixedClock answers nonzero (a failed query included), else
 *  the synthesizer; KPXSTREAM_SETUP_FIXED_CLOCK: KPXADC_SetClockSource(0);
 *  KPXSTREAM_SETUP_SYNTHESIZER: KPXADC_SetClockFlags(1, 0) and
 *  KPXADC_ProgramClock with the 105 MHz setting.
 *  @param clock receives KPXBOARD_CLOCK_FIXED or _SYNTHESIZER; may be null.
 *  @return KPXSTREAM_OK, or ERR_NO_BOARD, ERR_DIRECTION (a DAC board),
 *  ERR_ARGUMENT (choice), ERR_SYNTHESIZER, ERR_FIXED_CLOCK. */
KPXADAC_API int32_t KpxBoard_SetupClock(BoardHandle handle, int32_t choice, int32_t* clock);

/** Puts an ADC board into its run state (KPXADC_SetRunState(1)) and writes
 *  the receive value of custom register cReg0.
 *  @return KPXSTREAM_OK, or ERR_NO_BOARD, ERR_DIRECTION (a DAC board). */
KPXADAC_API int32_t KpxBoard_StartReceiving(BoardHandle handle);

/** Resets the board's streaming channel: TalvoReset(0, 0).
 *  @return KPXSTREAM_OK, or ERR_NO_BOARD, ERR_RESET. */
KPXADAC_API int32_t KpxBoard_ResetChannel(BoardHandle handle);

/** The value the receive set-up writes to custom register cReg0. */
KPXADAC_API uint32_t KpxBoard_ReceiveCReg0Value(void);

/** The synthesizer words of the 105 MHz setting, for programs that program
 *  the clock step by step with KPXADC_ProgramClock. */
KPXADAC_API void KpxBoard_SynthesizerSetting(ClockSetting* setting);

/* ------------------------------------------------------------------------
 * Texts
 * ---------------------------------------------------------------------- */

/** The meaning of a BoardError ("the driver's read failed"); null for a
 *  value that is none of them. */
KPXADAC_API const char* KpxBoard_ErrorText(BoardError error);

/** The meaning of a result of Kpxadac16_LoadBitstreamFile ("loaded" for 0,
 *  "the file's FPGA part does not match the board", ...); never null. A
 *  result that is none of the library's codes is the driver's refusal. */
KPXADAC_API const char* KpxBoard_BitstreamResultText(int32_t result);

/** The meaning of a result of Kpxadac16_LoadBitstream (an image): "loaded"
 *  for 0, "no image", "the image is too large", "the board was busy", ...;
 *  never null. A result that is none of the library's codes is the
 *  driver's refusal. */
KPXADAC_API const char* KpxBoard_ImageResultText(int32_t result);

/* The board queries whose results KpxBoard_QueryResultText explains. */
#define KPXBOARD_QUERY_STATUS 0      /* Kpxadac16_GetBoardStatus */
#define KPXBOARD_QUERY_FIXED_CLOCK 1 /* Kpxadac16_GetFixedClock */
#define KPXBOARD_QUERY_INFO 2        /* Kpxadac16_GetBoardInfo */

/** The meaning of a result of a board query (KPXBOARD_QUERY_*): "answered"
 *  for an answer, else the refusal ("the board was busy", "a driver request
 *  failed", "the board is not registered"); never null. The identification
 *  query's -1 and -2 are the reverse of the other two's. */
KPXADAC_API const char* KpxBoard_QueryResultText(int32_t query, int32_t result);

/* ------------------------------------------------------------------------
 * Where the library's failure lines go
 * ---------------------------------------------------------------------- */

#define KPXBOARD_MESSAGES_STDOUT 0 /* standard output: the default */
#define KPXBOARD_MESSAGES_STDERR 1 /* standard error, e.g. beside a JSON document */
#define KPXBOARD_MESSAGES_NONE 2   /* not printed at all */

/** Sends the library's failure lines ("IOCTL_GET_HSREG failed:  31", ...)
 *  to standard output, standard error or nowhere, for the whole process and
 *  every thread, from the next line on.
 *  @return the previous setting, or ERR_ARGUMENT. */
KPXADAC_API int32_t KpxBoard_SetMessageOutput(int32_t output);

/* ------------------------------------------------------------------------
 * The library's version
 * ---------------------------------------------------------------------- */

/** The library's version, "MAJOR.MINOR.PATCH" (the CMake project's version,
 *  the same as the packages'), a static string. Bindings compare it with
 *  their own before using anything else, so that an older library is
 *  refused by name instead of failing on a missing function. */
KPXADAC_API const char* KpxBoard_LibraryVersion(void);

#ifdef __cplusplus
}
#endif

#endif /* KPXADAC_BOARD_H */
