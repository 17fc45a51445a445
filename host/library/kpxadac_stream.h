/*
 * kpxadac_stream.h - continuous acquisition from and to KPX-ADAC boards.
 *
 * A stream moves a board's streaming channel continuously through a ring of
 * equal blocks: one thread per stream issues one TalvoReadBuffer (receive,
 * ADC boards) or TalvoWriteBuffer (transmit, DAC boards) per block and reads
 * the channel's error counters with TalvoGetError after each one. The
 * consumer takes filled blocks out of the ring without a copy and gives them
 * back; a producer takes empty blocks, fills them and submits them.
 *
 * No lost sample goes unnoticed. Samples are 16-bit, little-endian, one
 * channel. Every block carries the board index of its first sample: the
 * samples since the start of the stream, lost ones counted. Growth of the
 * receive overrun counter (lost 32-bit words, two samples each) seen after
 * block k places the gap right before block k's first sample, because the
 * board's FIFO drops its oldest data when it overflows. Transmit underruns
 * are placed the same way: before the block after whose write the transmit
 * underrun counter grew.
 *
 * Results
 *   Every call returns an int32_t: KPXSTREAM_OK (0), one of the positive
 *   outcomes of an acquire (time-out, stopped, complete, board failed), or a
 *   negative refusal code. KpxStream_ResultText gives each code's text.
 *   Nothing throws, nothing ends the process, nothing is printed by the
 *   stream itself (the board operations it calls print their usual lines).
 *
 * Threads
 *   One consumer (or producer) thread per stream uses acquire, release,
 *   submit and read. KpxStream_Stop and KpxStream_GetStatus may be called
 *   from any thread at any time. KpxStream_Close must not overlap any other
 *   call on the same stream. While a stream runs, the board's lock is held
 *   by the stream's thread for each block, as for any streaming transfer.
 */
#ifndef KPXADAC_STREAM_H
#define KPXADAC_STREAM_H

#include <stdint.h>

#include "kpxadac16.h"

#ifdef __cplusplus
extern "C" {
#endif

/** An open stream; opaque. */
typedef struct KpxStream KpxStream;

/* Directions. */
#define KPXSTREAM_RECEIVE 0  /* board to host; ADC boards */
#define KPXSTREAM_TRANSMIT 1 /* host to board; DAC boards */

/* Board set-up done by KpxStream_Open and KpxStream_Start; each step is
 * also an operation of its own (kpxadac_board.h). */
#define KPXSTREAM_SETUP_NONE 0 /* leave the board as the caller has set it */
/* The clock the board reports: the onboard fixed clock when
 * Kpxadac16_GetFixedClock answers nonzero (a failed query included), else the
 * synthesizer at 105 MHz. */
#define KPXSTREAM_SETUP_AUTO_CLOCK 1
#define KPXSTREAM_SETUP_FIXED_CLOCK 2 /* the onboard fixed clock: KPXADC_SetClockSource(0) */
/* The synthesizer at 105 MHz: KPXADC_SetClockFlags(1, 0), KPXADC_ProgramClock */
#define KPXSTREAM_SETUP_SYNTHESIZER 3

/* The clock a stream set up (KpxStreamStatus.clock); the same values as
 * KPXBOARD_CLOCK_*. */
#define KPXSTREAM_CLOCK_AS_SET 0      /* set-up NONE, or a transmit stream */
#define KPXSTREAM_CLOCK_FIXED 1       /* the onboard fixed clock */
#define KPXSTREAM_CLOCK_SYNTHESIZER 2 /* the synthesizer's 105 MHz setting */

/* Result codes. */
#define KPXSTREAM_OK 0
#define KPXSTREAM_TIMEOUT 1            /* no block within the time-out; try again */
#define KPXSTREAM_STOPPED 2            /* the stream was stopped; no more blocks */
#define KPXSTREAM_COMPLETE 3           /* the sample limit was reached; no more blocks */
#define KPXSTREAM_BOARD_FAILED 4       /* a board read or write failed; see KpxStreamStatus */
#define KPXSTREAM_ERR_NULL (-1)        /* a required pointer is null */
#define KPXSTREAM_ERR_BLOCK_SIZE (-2)  /* block size not a multiple of 4 in 4..TALVO_MAX_CHUNK */
#define KPXSTREAM_ERR_BLOCK_COUNT (-3) /* fewer than 2 blocks, or more than 65536 */
#define KPXSTREAM_ERR_DIRECTION (-4)   /* unknown direction, or wrong board type for it */
#define KPXSTREAM_ERR_NO_BOARD (-5)    /* the handle is not a registered board */
#define KPXSTREAM_ERR_BOARD_BUSY (-6)  /* the board already has an open stream */
#define KPXSTREAM_ERR_NO_MEMORY (-7)   /* the ring or the stream could not be allocated */
#define KPXSTREAM_ERR_ARGUMENT (-8)    /* another argument out of range (set-up, block) */
#define KPXSTREAM_ERR_STATE (-9)       /* not possible now (already started, not started, ...) */
#define KPXSTREAM_ERR_WRONG_DIRECTION (-10) /* a receive call on a transmit stream or back */
#define KPXSTREAM_ERR_NOT_HELD (-11)        /* the block is not one the caller holds */
#define KPXSTREAM_ERR_SYNTHESIZER (-12)     /* the clock synthesizer did not become ready */
#define KPXSTREAM_ERR_FIXED_CLOCK (-13)     /* the fixed clock did not become ready */
#define KPXSTREAM_ERR_RESET (-14)           /* the streaming channel could not be reset */
#define KPXSTREAM_ERR_COUNTERS (-15)        /* the channel's error counters cannot be read */
#define KPXSTREAM_ERR_THREAD (-16)          /* the stream's thread could not be started */

/* Why a stream ended (KpxStreamStatus.endReason). */
#define KPXSTREAM_END_NONE 0         /* still running, or not started */
#define KPXSTREAM_END_STOPPED 1      /* KpxStream_Stop */
#define KPXSTREAM_END_COMPLETE 2     /* the sample limit was moved */
#define KPXSTREAM_END_BOARD_FAILED 3 /* TalvoReadBuffer / TalvoWriteBuffer returned 0 */

/* KpxStreamBlock.flags */
/* TalvoGetError failed after this block: a gap may show only at a later block. */
#define KPXSTREAM_BLOCK_COUNTERS_UNREAD 1u

/* KpxStreamConfig.flags */
/* The stream's thread keeps its normal priority and the ring's memory is not
 * locked (see KpxStreamStatus.threadPriority). */
#define KPXSTREAM_FLAG_NORMAL_PRIORITY 1u

/* The SCHED_FIFO priority the stream's thread asks for on POSIX hosts: above
 * ordinary threads, below the kernel's interrupt threads (50). */
#define KPXSTREAM_REALTIME_PRIORITY 40

/* What the stream's thread got (KpxStreamStatus.threadPriority). */
#define KPXSTREAM_PRIORITY_NOT_ASKED 0 /* not started, or KPXSTREAM_FLAG_NORMAL_PRIORITY */
#define KPXSTREAM_PRIORITY_NORMAL 1    /* asked, nothing granted: normal priority */
#define KPXSTREAM_PRIORITY_RAISED 2    /* a raised priority (nice < 0; THREAD_PRIORITY_HIGHEST) */
/* Real-time: SCHED_FIFO (Linux, as root or within RLIMIT_RTPRIO);
 * THREAD_PRIORITY_TIME_CRITICAL on Windows. */
#define KPXSTREAM_PRIORITY_REALTIME 3

/** What KpxStream_Open needs. Zero-initialise, then set the fields. */
typedef struct KpxStreamConfig {
  BoardHandle board; /* a registered board */
  int32_t direction; /* KPXSTREAM_RECEIVE or KPXSTREAM_TRANSMIT */
  uint32_t
      blockBytes; /* bytes per block and per board transfer: multiple of 4, 4..TALVO_MAX_CHUNK */
  uint32_t blockCount;  /* blocks in the ring: 2..65536 */
  int32_t setup;        /* KPXSTREAM_SETUP_* */
  uint64_t sampleLimit; /* samples to move, then the stream completes; 0: until stopped */
  uint32_t flags;       /* KPXSTREAM_FLAG_*; 0: the defaults */
} KpxStreamConfig;

/** One block of the ring, as handed to the caller. */
typedef struct KpxStreamBlock {
  void* data;          /* the block's memory, valid until released or submitted */
  uint32_t bytes;      /* receive: bytes filled; transmit: set to the bytes to send */
  uint32_t capacity;   /* the block's size in bytes */
  uint64_t index;      /* board index of the first sample (lost samples counted) */
  uint64_t lostBefore; /* receive: samples lost right before this block; transmit: underrun
                          samples seen since the previous acquire */
  uint64_t lostTotal;  /* samples lost so far in this direction (this gap included) */
  int64_t hostTimeNs;  /* host wall-clock time at the end of the block's transfer,
                          nanoseconds since 1970-01-01 UTC (transmit: of the last write) */
  uint32_t flags;      /* KPXSTREAM_BLOCK_* */
  uint32_t slot;       /* the ring's own; leave as it is */
} KpxStreamBlock;

/** A stream's counters and state; a consistent snapshot. */
typedef struct KpxStreamStatus {
  uint64_t samplesMoved;   /* samples read from or written to the board */
  uint32_t blocksWaiting;  /* receive: filled, not yet acquired; transmit: submitted, not written */
  uint32_t blockBytes;     /* as opened */
  uint32_t blockCount;     /* as opened */
  int32_t running;         /* 1 between KpxStream_Start and the end */
  int32_t ended;           /* 1 once the stream has ended (see endReason) */
  int32_t endReason;       /* KPXSTREAM_END_* */
  uint64_t overrunEvents;  /* gaps seen in the receive overrun counter */
  uint64_t overrunSamples; /* samples lost in them */
  uint64_t underrunEvents; /* growths of the transmit underrun counter */
  uint64_t underrunSamples; /* samples the board missed in them */
  uint64_t countersUnread;  /* blocks after which TalvoGetError failed */
  BoardError boardError;    /* END_BOARD_FAILED: the board's lastError after the failure */
  uint32_t platformError;   /* END_BOARD_FAILED: the platform's error number of the failure */
  int32_t clock;            /* KPXSTREAM_CLOCK_* */
  /* Samples per second of the clock the stream set up (KpxBoard_ClockRateHz);
   * with set-up NONE, of the clock the library last set up on the board; 0
   * when unknown. Known from KpxStream_Open; with set-up NONE updated by
   * KpxStream_Start. */
  double sampleRateHz;
  int32_t threadPriority;      /* KPXSTREAM_PRIORITY_*: what the stream's thread got at start */
  int32_t threadPriorityValue; /* REALTIME: the SCHED_FIFO priority (Windows: the thread
                                  priority); RAISED: the nice value (Windows: the thread
                                  priority); else 0 */
  int32_t ringLocked;          /* 1 when the ring's memory is locked in RAM (mlock,
                                  VirtualLock); 0 when not asked or not permitted */
} KpxStreamStatus;

/** Opens a stream on a registered board and allocates its ring. For receive
 *  with a set-up other than NONE the sampling clock is set up here
 *  (KpxBoard_SetupClock); with NONE the board is only claimed.
 *  @param config what to open; not kept.
 *  @param stream receives the stream (set to null on refusal).
 *  @return KPXSTREAM_OK, or ERR_NULL, ERR_BLOCK_SIZE, ERR_BLOCK_COUNT,
 *  ERR_DIRECTION, ERR_NO_BOARD, ERR_BOARD_BUSY, ERR_ARGUMENT, ERR_NO_MEMORY,
 *  ERR_SYNTHESIZER or ERR_FIXED_CLOCK. */
KPXADAC_API int32_t KpxStream_Open(const KpxStreamConfig* config, KpxStream** stream);

/** Changes the sample limit of a stream that has not started (0: until
 *  stopped), for callers whose count depends on the clock that Open chose.
 *  @return KPXSTREAM_OK, or ERR_NULL, ERR_STATE (started), ERR_ARGUMENT. */
KPXADAC_API int32_t KpxStream_SetSampleLimit(KpxStream* stream, uint64_t sampleLimit);

/** Starts moving blocks. With a set-up other than NONE: for receive
 *  KpxBoard_StartReceiving (the run state, and cReg0's receive value), then,
 *  for both directions, KpxBoard_ResetChannel (TalvoReset(0, 0)). The counters read now are the base of
 *  the gap accounting. A stream starts once.
 *  @return KPXSTREAM_OK, or ERR_NULL, ERR_STATE, ERR_RESET, ERR_COUNTERS,
 *  ERR_THREAD. */
KPXADAC_API int32_t KpxStream_Start(KpxStream* stream);

/** Ends the stream from any thread; returns at once. Receive: no further
 *  board read begins, the block being read is dropped, blocks already filled
 *  can still be acquired, then acquire gives KPXSTREAM_STOPPED; a consumer
 *  waiting on an empty ring returns KPXSTREAM_STOPPED at once. Transmit:
 *  blocks already submitted are still written; a producer waiting for an
 *  empty block returns KPXSTREAM_STOPPED at once. Stopping twice is fine.
 *  @return KPXSTREAM_OK, or ERR_NULL. */
KPXADAC_API int32_t KpxStream_Stop(KpxStream* stream);

/** Stops the stream if it runs, waits for its thread (at most the transfer
 *  in flight), and frees the stream and its ring. Blocks still held become
 *  invalid. A null stream is ignored. */
KPXADAC_API void KpxStream_Close(KpxStream* stream);

/** Receive: takes the next filled block, in order, without a copy.
 *  @param timeoutMs 0: do not wait; below 0: wait without limit.
 *  @return KPXSTREAM_OK (block filled in), TIMEOUT, STOPPED, COMPLETE,
 *  BOARD_FAILED (blocks read before the failure come first), or ERR_NULL,
 *  ERR_STATE (not started), ERR_WRONG_DIRECTION. */
KPXADAC_API int32_t KpxStream_AcquireRead(KpxStream* stream, KpxStreamBlock* block,
                                          int32_t timeoutMs);

/** Receive: gives an acquired block back to the ring.
 *  @return KPXSTREAM_OK, or ERR_NULL, ERR_WRONG_DIRECTION, ERR_NOT_HELD. */
KPXADAC_API int32_t KpxStream_ReleaseRead(KpxStream* stream, const KpxStreamBlock* block);

/** What KpxStream_Read copied. */
typedef struct KpxStreamReadInfo {
  uint64_t samples;    /* samples copied */
  uint64_t index;      /* board index of the first one */
  uint64_t lostBefore; /* samples lost right before the first one */
} KpxStreamReadInfo;

/** Receive, with a copy: copies up to `count` samples into `samples`. The
 *  copied samples are always contiguous on the board: the copy ends before
 *  a gap, and the next call starts after it and reports it in lostBefore.
 *  Waits (up to the time-out) only for the first block; after that it takes
 *  blocks that are already filled. Do not mix with blocks held from
 *  KpxStream_AcquireRead.
 *  @return KPXSTREAM_OK when samples were copied, otherwise as
 *  KpxStream_AcquireRead (and ERR_NULL for null samples or info with a
 *  nonzero count). */
KPXADAC_API int32_t KpxStream_Read(KpxStream* stream, int16_t* samples, uint64_t count,
                                   int32_t timeoutMs, KpxStreamReadInfo* info);

/** Transmit: takes an empty block to fill; bytes is set to its capacity.
 *  @return KPXSTREAM_OK, TIMEOUT, STOPPED, COMPLETE, BOARD_FAILED, or
 *  ERR_NULL, ERR_STATE, ERR_WRONG_DIRECTION. */
KPXADAC_API int32_t KpxStream_AcquireWrite(KpxStream* stream, KpxStreamBlock* block,
                                           int32_t timeoutMs);

/** Transmit: queues an acquired block for writing; `block->bytes` (a
 *  multiple of 4, at most the capacity) are sent, 0 gives the block back
 *  unsent. @return KPXSTREAM_OK, STOPPED (the block is given back unsent),
 *  or ERR_NULL, ERR_WRONG_DIRECTION, ERR_NOT_HELD, ERR_ARGUMENT. */
KPXADAC_API int32_t KpxStream_SubmitWrite(KpxStream* stream, const KpxStreamBlock* block);

/** Where a transmit stream's board missed samples. */
typedef struct KpxStreamGap {
  uint64_t index;   /* board index of the first sample missed (the board's time line:
                       samples written and missed before it counted) */
  uint64_t samples; /* samples missed in a row there */
} KpxStreamGap;

/** Transmit: takes the oldest underrun not yet taken. Each growth of the
 *  transmit underrun counter after a block's write is one, placed right
 *  before that block. The last 65536 untaken are kept; beyond that, new
 *  ones add their samples to the newest kept. Never waits; any thread.
 *  @return KPXSTREAM_OK (gap filled in), KPXSTREAM_TIMEOUT (none waiting),
 *  or ERR_NULL, ERR_WRONG_DIRECTION. */
KPXADAC_API int32_t KpxStream_TakeUnderrun(KpxStream* stream, KpxStreamGap* gap);

/** Fills `status` with a snapshot of the stream's counters and state.
 *  @return KPXSTREAM_OK, or ERR_NULL. */
KPXADAC_API int32_t KpxStream_GetStatus(KpxStream* stream, KpxStreamStatus* status);

/** The text of a result code, e.g. "stopped"; never null. */
KPXADAC_API const char* KpxStream_ResultText(int32_t result);

#ifdef __cplusplus
}
#endif

#endif /* KPXADAC_STREAM_H */
