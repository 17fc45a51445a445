/*
 * kpxadac16.h - board access library for the KPX-ADAC family of PCI
 * acquisition boards (ADC and DAC boards, each with a Xilinx FPGA).
 *
 * The `Kpxadac16_` family finds and registers boards, sends control
 * requests to the board driver, configures the FPGA and offers diagnostics;
 * the `Talvo` family moves bulk data through a board's streaming channel.
 *
 * Return codes
 *   Nearly every call returns a signed 32-bit integer. Request wrappers give
 *   0 (or a value) on success and -1 on failure; the exceptions are noted
 *   per function. Nothing ever ends the process or throws.
 *
 * What is printed
 *   A failed driver request prints exactly one line on standard output, for
 *   example "IOCTL_GET_HSREG failed:  31", the number being the platform's
 *   last-error number (Windows numbering on every host). Nothing else is
 *   logged. Set KPXADAC_TRACE to a file name to record every device
 *   operation as a JSON line (see docs/trace.md).
 *
 * Thread safety
 *   Enumeration, registration and closing (Kpxadac16_Open, _OpenBoard,
 *   _Close, _CloseAll) must not overlap any other use of the library.
 *   Everything else may be called from several threads. Each registered
 *   board has a re-entrant lock: a streaming transfer holds it for its whole
 *   length, and every lookup of that board by handle waits for it.
 *
 * Boards without hardware
 *   On hosts without the board driver (and on any host when KPXADAC_SIM is
 *   set) the library talks to virtual boards; see docs/virtual-boards.md.
 */
#ifndef KPXADAC16_H
#define KPXADAC16_H

#include <stddef.h>
#include <stdint.h>

#if defined(_WIN32) && !defined(KPXADAC_STATIC)
#if defined(KPXADAC_BUILDING)
#define KPXADAC_API __declspec(dllexport)
#else
#define KPXADAC_API __declspec(dllimport)
#endif
#elif defined(__GNUC__)
#define KPXADAC_API __attribute__((visibility("default")))
#else
#define KPXADAC_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ------------------------------------------------------------------------
 * Shared types
 * ---------------------------------------------------------------------- */

/** Handle of an opened board device. All bits set means "no board". */
typedef intptr_t BoardHandle;
#define KPXADAC_INVALID_HANDLE ((BoardHandle)-1)

/** Board type (32-bit). */
typedef int32_t BoardType;
#define BOARD_TYPE_ADC 0
#define BOARD_TYPE_DAC 1

/** Operation state of a registered board (32-bit). 5 and 7 are unused. */
typedef int32_t BoardState;
#define STATE_NONE 0        /* only reported for an unregistered handle */
#define STATE_IDLE 1        /* no guarded operation in flight */
#define STATE_READING 2     /* TalvoReadBuffer running */
#define STATE_WRITING 3     /* TalvoWriteBuffer running */
#define STATE_QUERY 4       /* guarded status or info query running */
#define STATE_CANCEL 6      /* a running transfer was asked to stop */
#define STATE_PROGRAMMING 8 /* FPGA download running */

/** Reason of the last failure of a guarded operation (32-bit). */
typedef int32_t BoardError;
#define ERR_NOT_IDLE 0       /* refused: the board was busy */
#define ERR_CANCELLED 1      /* a transfer ended by cancel */
#define ERR_REQUEST_FAILED 2 /* a driver request failed */
#define ERR_READ_FAILED 3    /* a platform read failed */
#define ERR_WRITE_FAILED 4   /* a platform write failed */
#define ERR_NO_BOARD 7       /* only reported for an unregistered handle */

/** Copy of a registry record, as returned by Kpxadac16_GetBoardRecord. */
typedef struct BoardRecord {
  BoardHandle handle;         /* device handle the board was registered with */
  void *mutex;                /* the record's lock (opaque) */
  int32_t boardId;            /* 0x82 to 0x8F */
  int32_t typeIndex;          /* type counter at registration */
  BoardState state;           /* operation state */
  BoardError lastError;       /* reason of the last failure */
  BoardType type;             /* ADC or DAC */
  uint32_t readTotal;         /* bytes moved by the current or last read */
  uint32_t writeTotal;        /* bytes moved by the current or last write */
  uint32_t readRequested;     /* length asked of the current or last read */
  uint32_t writeRequested;    /* length asked of the current or last write */
  struct BoardRecord *next;   /* following record (meaningless in a copy) */
} BoardRecord;

/** The streaming channel's error counters. */
typedef struct TalvoErrorCounts {
  uint32_t rxOverrunCount;   /* receive overruns */
  uint32_t txUnderrunCount;  /* transmit underruns */
} TalvoErrorCounts;

/** The driver's five profiling words, in the driver's order. */
typedef struct ProfilingRecord {
  uint32_t words[5];
} ProfilingRecord;

/** The V360 debug snapshot; each field lies at its offset in the 44-byte
 *  driver answer. Kpxadac16_V360Debug leaves `notCopied4` and `reserved34`
 *  as the caller set them. */
typedef struct V360DebugRecord {
  uint16_t field0;
  uint16_t field2;
  uint8_t notCopied4[2];
  uint16_t field6;
  uint32_t field8;
  uint32_t field12;
  uint32_t field16;
  uint32_t field20;
  uint16_t field24;
  uint16_t field26;
  uint16_t field28;
  uint16_t field30;
  uint8_t field32;
  uint8_t field33;
  uint8_t reserved34[2];
  uint32_t field36;
  uint32_t field40;
} V360DebugRecord;

/** Largest chunk of one streaming read or write: 63 MiB. */
#define TALVO_MAX_CHUNK 0x3F00000u

/** Largest chunk of one FPGA memory request: 64 MiB less 64 KiB. */
#define KPXADAC16_FPGA_MEM_MAX_CHUNK 0x3FF0000u

/* ------------------------------------------------------------------------
 * Driver requests and register access. These take any open device handle,
 * registered or not, and never consult the registry or take a lock.
 * ---------------------------------------------------------------------- */

/** Reads the 32-bit board register at byte `offset`.
 *  @return the value; 0xFFFFFFFF when the request fails (and a line is
 *  printed), which a register holding all ones also returns. */
KPXADAC_API uint32_t Kpxadac16_ReadReg(BoardHandle handle, uint32_t offset);

/** Writes `value` to the board register at byte `offset`.
 *  @return `value` on success, -1 on failure. */
KPXADAC_API int32_t Kpxadac16_WriteReg(BoardHandle handle, uint32_t offset, uint32_t value);

/** Reads `length` bytes of FPGA memory from `address` into `buffer`, in
 *  requests of at most KPXADAC16_FPGA_MEM_MAX_CHUNK bytes.
 *  @return the sum of the bytes the driver reported; 0 for length 0;
 *  -1 when a request fails (earlier chunks stay done). */
KPXADAC_API int32_t Kpxadac16_ReadFpgaMem(BoardHandle handle, uint32_t address, uint32_t length,
                                          uint32_t *buffer);

/** Writes `length` bytes of `buffer` to FPGA memory at `address`; as
 *  Kpxadac16_ReadFpgaMem. */
KPXADAC_API int32_t Kpxadac16_WriteFpgaMem(BoardHandle handle, uint32_t address, uint32_t length,
                                           uint32_t *buffer);

/** Announces the next streaming read: `length` bytes, sent as whole words.
 *  @return 1 on success, 0 on failure; prints nothing. */
KPXADAC_API int32_t Kpxadac16_SetTransferWords(BoardHandle handle, uint32_t length);

/* ------------------------------------------------------------------------
 * Board registry
 * ---------------------------------------------------------------------- */

/** Opens the devices 0 to 64 and registers each board that answers.
 *  @return the number of registrations made since the process started. */
KPXADAC_API int32_t Kpxadac16_Open(void);

/** Opens and registers the one device `device`.
 *  @return 1 when the device opened (registered or not), 0 otherwise. */
KPXADAC_API int32_t Kpxadac16_OpenBoard(uint8_t device);

/** Closes `handle` and, if that succeeded, forgets its record. -1 and 0 are
 *  ignored. */
KPXADAC_API void Kpxadac16_Close(BoardHandle handle);

/** Forgets every record and closes each handle. */
KPXADAC_API void Kpxadac16_CloseAll(void);

/** @return the handle of the `index`-th registered board of `type`, -1 if
 *  there is none. */
KPXADAC_API BoardHandle Kpxadac16_GetHandle(BoardType type, uint8_t index);

/** @return the board ID of the `index`-th registered board of `type`, -1 if
 *  there is none. */
KPXADAC_API int32_t Kpxadac16_GetBoardId(BoardType type, uint8_t index);

/** Guarded query of the board's status byte.
 *  @return 0 to 255; -1 not idle; -2 request failed; -3 unregistered. */
KPXADAC_API int32_t Kpxadac16_GetBoardStatus(BoardHandle handle);

/** Asks whether the board's ADC runs from its onboard fixed clock.
 *  @return the clock byte 0 to 255 (nonzero: fixed clock); -2 request failed;
 *  -3 unregistered. */
KPXADAC_API int32_t Kpxadac16_GetFixedClock(BoardHandle handle);

/** Guarded query of the six identification bytes (bytes 3 and 4 exchanged,
 *  the board ID in byte 5). `info` is written only on success.
 *  @return 0 filled; -1 request failed; -2 not idle; -3 unregistered. */
KPXADAC_API int32_t Kpxadac16_GetBoardInfo(BoardHandle handle, uint8_t info[6]);

/** @return the board's state, STATE_NONE for an unregistered handle. */
KPXADAC_API BoardState Kpxadac16_GetState(BoardHandle handle);

/** @return a copy of the board's record; for an unregistered handle a record
 *  with handle 0 and state STATE_NONE. */
KPXADAC_API BoardRecord Kpxadac16_GetBoardRecord(BoardHandle handle);

/** @return bytes moved by the current or last read (0 if unregistered). */
KPXADAC_API uint32_t Kpxadac16_GetReadTotal(BoardHandle handle);

/** @return bytes moved by the current or last write (0 if unregistered). */
KPXADAC_API uint32_t Kpxadac16_GetWriteTotal(BoardHandle handle);

/** @return the reason of the last failure, ERR_NO_BOARD if unregistered. */
KPXADAC_API BoardError Kpxadac16_GetLastError(BoardHandle handle);

/* ------------------------------------------------------------------------
 * FPGA configuration
 * ---------------------------------------------------------------------- */

/* Result codes of Kpxadac16_LoadBitstreamFile besides 1 to 8 and -1. Each is
 * a file that is refused before anything is sent to the driver. */
#define KPXADAC16_BITFILE_UNREADABLE 9     /* length unknown, or file not read in full */
#define KPXADAC16_BITFILE_TOO_LARGE 10     /* length + 4 does not fit in 32 bits */
#define KPXADAC16_BITFILE_NO_MEMORY 11     /* staging buffer could not be allocated */
#define KPXADAC16_BITFILE_BAD_HEADER 12    /* a field runs past the end of the file,
                                              or a part name lacks its NUL */
#define KPXADAC16_BITFILE_PART_TOO_LONG 13 /* collected part name over 255 characters */
#define KPXADAC16_BITFILE_DIRECTORY 14     /* the path names a directory */
#define KPXADAC16_BITFILE_NOT_REGULAR 15   /* a FIFO, a device: no regular file */

/* Result codes of Kpxadac16_LoadBitstream besides -3 to -1. Each is tested
 * before the board is looked up, and nothing is sent. */
#define KPXADAC16_IMAGE_TOO_LARGE (-4) /* length + 4 does not fit in 32 bits */
#define KPXADAC16_IMAGE_NO_MEMORY (-5) /* staging buffer could not be allocated */
#define KPXADAC16_IMAGE_MISSING (-6)   /* null image with a nonzero length */

/** Loads the FPGA from a Xilinx .bit file after checking its header and its
 *  part name against the board's ID.
 *
 *  The file is read whole; its first 13 bytes must be the .bit start
 *  00 09 0F F0 0F F0 0F F0 0F F0 00 00 01. Of the fields after it (a key
 *  byte, a 16-bit big-endian length of which only the low byte counts, the
 *  value) at most four are walked, and a length byte of 0 ends the walk;
 *  the values of the 'b' fields among them make up the part name. The name
 *  the board ID expects ("4vlx40" for 0x8A, ...) must occur in it,
 *  case-sensitively, with no digit right before or after it: "xc4vlx40ff668"
 *  matches on 0x8A, "4vlx400" does not.
 *
 *  The board must be idle; it is held in STATE_QUERY for the identification
 *  and in STATE_PROGRAMMING for the download. The driver's result word is
 *  returned as it comes, so it may coincide with one of the codes.
 *
 *  @return, in the order tested:
 *  1 file not opened ("Error, File not found!" printed; also for a null
 *  name); 9 unreadable; 10 too large; 11 no memory; 8 not a .bit header
 *  (also any file under 13 bytes); 12 fields run past the end or a part name
 *  without NUL; 13 part name too long; 6 identification failed
 *  (unregistered, busy or request failed); 4 board ID without a part; 7 part
 *  name does not match; 3 unregistered; 2 not idle (lastError ERR_NOT_IDLE);
 *  -1 download failed (line printed, lastError ERR_REQUEST_FAILED);
 *  otherwise the driver's result word. */
KPXADAC_API int32_t Kpxadac16_LoadBitstreamFile(BoardHandle handle, const char *fileName);

/** Loads the FPGA from `length` bytes at `image`, unchecked, sent as they
 *  are behind their 32-bit length.
 *  @return -4 length + 4 exceeds 32 bits; -6 null image with a nonzero
 *  length; -5 no memory; -3 unregistered; -2 not idle (lastError
 *  ERR_NOT_IDLE); -1 download failed (line printed, lastError
 *  ERR_REQUEST_FAILED); otherwise the driver's result word. */
KPXADAC_API int32_t Kpxadac16_LoadBitstream(BoardHandle handle, const uint8_t *image, uint32_t length);

/* ------------------------------------------------------------------------
 * Streaming transfers (the Talvo channel)
 * ---------------------------------------------------------------------- */

/** Reads `length` bytes (whole words only) from the board's streaming channel
 *  into `buffer`, holding the board's lock for the whole transfer.
 *  @return bytes read, or 0 (see Kpxadac16_GetLastError for the reason). */
KPXADAC_API uint32_t TalvoReadBuffer(BoardHandle handle, void *buffer, uint32_t length);

/** Writes `length` bytes (whole words only) of `buffer` to the channel.
 *  @return bytes written, or 0. */
KPXADAC_API uint32_t TalvoWriteBuffer(BoardHandle handle, const void *buffer, uint32_t length);

/** Asks a running read to stop.
 *  @return 0 recorded; 1 the board is not reading; -1 unregistered. */
KPXADAC_API int32_t TalvoCancelRead(BoardHandle handle);

/** Asks a running write to stop and cancels the caller's pending I/O.
 *  @return 0 recorded; 1 not writing or the cancel failed; -1 unregistered. */
KPXADAC_API int32_t TalvoCancelWrite(BoardHandle handle);

/** Passes one block of data to the driver's preload.
 *  @return the byte count the driver reports, or 0 (null data, request
 *  failed, or a block too large to stage). */
KPXADAC_API uint32_t TalvoPreloadWrite(BoardHandle handle, const void *data, uint32_t length);

/** Resets the streaming channel. @return 0, or -1 when the request fails. */
KPXADAC_API int32_t TalvoReset(BoardHandle handle, uint8_t param1, uint8_t param2);

/** Sets the channel's flow control. @return 0, or -1 on failure. */
KPXADAC_API int32_t TalvoFlowControl(BoardHandle handle, uint8_t param1, uint8_t param2);

/** Reads the channel's error counters into `counts` (untouched on failure).
 *  @return 0, or -1 on failure. */
KPXADAC_API int32_t TalvoGetError(BoardHandle handle, TalvoErrorCounts *counts);

/* ------------------------------------------------------------------------
 * Diagnostics and maintenance. One request each; no registry, no lock.
 * ---------------------------------------------------------------------- */

/** Locks the board at the driver. @return 0, or 1 on failure (not -1). */
KPXADAC_API int32_t Kpxadac16_LockBoard(BoardHandle handle);

/** Unlocks the board at the driver. @return 0, or 1 on failure (not -1). */
KPXADAC_API int32_t Kpxadac16_UnlockBoard(BoardHandle handle);

/** Reads the profiling words (record untouched on failure). @return 0 or -1. */
KPXADAC_API int32_t Kpxadac16_GetProfiling(BoardHandle handle, ProfilingRecord *record);

/** Resets the profiling words. @return 0 or -1. */
KPXADAC_API int32_t Kpxadac16_ResetProfiling(BoardHandle handle, uint8_t param1, uint8_t param2);

/** Reads the V360 debug snapshot (record untouched on failure). @return 0 or -1. */
KPXADAC_API int32_t Kpxadac16_V360Debug(BoardHandle handle, V360DebugRecord *record);

/** Resets the board's V360 device. @return 0 or -1. */
KPXADAC_API int32_t Kpxadac16_V360Reset(BoardHandle handle);

/** Suspends the calling thread for `milliseconds`; the handle is unused. */
KPXADAC_API void Kpxadac16_Sleep(BoardHandle handle, uint32_t milliseconds);

#ifdef __cplusplus
}
#endif

#endif /* KPXADAC16_H */
