/*
 * kpxadac_group.h - several boards of one direction started as one and read
 * (or written) on one sample index.
 *
 * A group holds one stream (kpxadac_stream.h) per board: 1 to 64 ADC boards
 * (receive) or DAC boards (transmit), one clock choice and one block size for
 * all. The driver has no shared trigger, so KpxGroup_Start arms every stream
 * and then starts them back to back; the host-clock time that took is the
 * start skew, an upper bound in samples (KpxGroupStatus.startSkewSamples).
 *
 * Offsets
 *   Board b's offset o_b (samples) says that board b's sample n was taken at
 *   the same instant as board 0's sample n + o_b; board 0's offset is 0, and
 *   offsets may be negative. KpxGroup_Measure finds them from a reference that
 *   reaches every board (a shared input, a marker played by a DAC board) by
 *   FFT cross-correlation of a window of each board against board 0, the peak
 *   refined below a sample; KpxGroup_SetOffsets takes them from the caller
 *   (measured once, with cables that do not change). Group sample g is
 *   board b's sample g + skips[b] (KpxGroupStatus.skips; 0 until offsets
 *   are applied). Applying offsets sets skips[b] = C - round(o_b), C the
 *   smallest that keeps every skip at 0 or more and lets every board reach
 *   the group's next sample from where its stream is: every board skips
 *   samples (transmit: plays that many zeros first) so that block k of
 *   every board covers the same instants. The fractional part
 *   o_b - round(o_b) is reported, never resampled: boards are aligned to
 *   the nearest sample. Drift (different clocks) is measured and reported,
 *   not corrected; measure again to follow it.
 *
 * Reading
 *   KpxGroup_AcquireRead gives the next block of every board, blockSamples
 *   each, on the group sample index, with a pointer per board: into the
 *   stream's own block (zero copy) where that block holds exactly the span,
 *   else into a group buffer the span was copied to. KpxGroup_ReleaseRead
 *   gives them back.
 *
 * Gaps
 *   A gap on any board is a gap of the group. Each block tells, per board, how
 *   many of its samples that board lost (and the first of them), summed in
 *   KpxGroupStatus. With KPXGROUP_GAPS_FLAG the block is delivered anyway:
 *   the lost samples read as 0, the other boards' samples are all there, and
 *   KPXGROUP_BLOCK_GAP is set. With KPXGROUP_GAPS_DROP a block that any
 *   board's gap touches is not delivered: the next block that is delivered
 *   reports the group samples skipped before it (droppedBefore), and every
 *   board's samples in them are counted as lost or dropped in the status.
 *   Nothing is lost silently.
 *
 * Results
 *   Every call returns an int32_t: KPXGROUP_OK (0), one of the positive
 *   outcomes of an acquire, or a negative refusal code; KpxGroup_ResultText
 *   gives each code's text. Alignment results per board use the codes
 *   KPXGROUP_ALIGN_*. Nothing throws, nothing is printed.
 *
 * Threads
 *   One thread uses measure, acquire, release and submit. KpxGroup_Stop and
 *   KpxGroup_GetStatus may be called from any thread at any time.
 *   KpxGroup_Close must not overlap any other call on the same group.
 */
#ifndef KPXADAC_GROUP_H
#define KPXADAC_GROUP_H

#include <stdint.h>

#include "kpxadac_stream.h"

#ifdef __cplusplus
extern "C" {
#endif

/** An open group; opaque. */
typedef struct KpxGroup KpxGroup;

/* Limits. */
#define KPXGROUP_MAX_BOARDS 64
#define KPXGROUP_MIN_WINDOW 256        /* samples per board for KpxGroup_Measure / _Align */
#define KPXGROUP_MAX_WINDOW (1u << 22) /* samples per board (4 Mi) */

/* Gap policies (KpxGroupConfig.gapPolicy). */
#define KPXGROUP_GAPS_FLAG 0 /* deliver a block a gap touches, flagged, lost samples as 0 */
#define KPXGROUP_GAPS_DROP 1 /* do not deliver it; count every board's samples in it */

/* Result codes of the calls. */
#define KPXGROUP_OK 0
#define KPXGROUP_TIMEOUT 1          /* no block within the time-out; try again */
#define KPXGROUP_STOPPED 2          /* the group was stopped; no more blocks */
#define KPXGROUP_COMPLETE 3         /* the group's sample limit was reached */
#define KPXGROUP_BOARD_FAILED 4     /* a board's read or write failed; see KpxGroupStatus */
#define KPXGROUP_ERR_NULL (-1)      /* a required pointer is null */
#define KPXGROUP_ERR_COUNT (-2)     /* board count outside 1..KPXGROUP_MAX_BOARDS */
#define KPXGROUP_ERR_DUPLICATE (-3) /* a board is named twice */
#define KPXGROUP_ERR_DIRECTION (-4) /* unknown direction, or a board of the other type */
#define KPXGROUP_ERR_MIXED_DIRECTIONS                                                        \
  (-5)                                 /* KpxGroup_OpenStreams: receive and transmit streams \
                                        */
#define KPXGROUP_ERR_MIXED_BLOCKS (-6) /* KpxGroup_OpenStreams: streams of different blocks */
#define KPXGROUP_ERR_NO_BOARD (-7)     /* a board index names no registered board */
#define KPXGROUP_ERR_BOARD_BUSY (-8)   /* a board is already streaming elsewhere */
#define KPXGROUP_ERR_BLOCK_SIZE (-9)   /* block size not even, or outside 2..TALVO_MAX_CHUNK/2 */
#define KPXGROUP_ERR_ARGUMENT (-10)    /* another argument out of range */
#define KPXGROUP_ERR_NO_MEMORY (-11)   /* buffers could not be allocated */
#define KPXGROUP_ERR_STATE (-12)       /* not possible now (not started, started twice, ...) */
#define KPXGROUP_ERR_WRONG_DIRECTION (-13) /* a receive call on a transmit group or back */
#define KPXGROUP_ERR_NOT_HELD (-14)        /* the block is not the one the caller holds */
#define KPXGROUP_ERR_STREAM (-15)          /* a stream refused; KpxGroupOpenInfo.streamResult */
#define KPXGROUP_ERR_WINDOW (-16)          /* window outside MIN_WINDOW..MAX_WINDOW */
#define KPXGROUP_ERR_ALIGNMENT (-17)       /* a board's alignment is not trustworthy; see results */
#define KPXGROUP_ERR_GAP_IN_WINDOW (-18)   /* a gap fell in the measuring window; measure again */
#define KPXGROUP_ERR_STARTED (-19)         /* KpxGroup_OpenStreams: a stream has already started */

/* Alignment results (KpxGroupAlignment.result). */
#define KPXGROUP_ALIGN_OK 0
#define KPXGROUP_ALIGN_WEAK 1      /* the peak is not clearly above the correlation's noise */
#define KPXGROUP_ALIGN_AMBIGUOUS 2 /* another peak comes close: a periodic reference */
#define KPXGROUP_ALIGN_TOO_SHORT 3 /* fewer than KPXGROUP_MIN_WINDOW samples */

/* KpxGroupBoardBlock.flags and KpxGroupBlock.flags */
#define KPXGROUP_BLOCK_GAP 1u             /* samples of the span were lost (set to 0) */
#define KPXGROUP_BLOCK_COPIED 2u          /* the span was copied into a group buffer */
#define KPXGROUP_BLOCK_COUNTERS_UNREAD 4u /* a stream block of the span had its counters unread */

/** What KpxGroup_Open needs. Zero-initialise, then set the fields. */
typedef struct KpxGroupConfig {
  int32_t direction; /* KPXSTREAM_RECEIVE (ADC boards) or KPXSTREAM_TRANSMIT (DAC) */
  uint32_t count;    /* boards: 1..KPXGROUP_MAX_BOARDS */
  int32_t boards[KPXGROUP_MAX_BOARDS]; /* board indexes of that type; boards[0] is the
                                          group's reference board */
  int32_t setup;                       /* KPXSTREAM_SETUP_*: one clock choice for every board */
  uint32_t blockSamples;               /* samples per block and board: even, 2..TALVO_MAX_CHUNK/2 */
  uint32_t blockCount;                 /* blocks in each board's ring: 2..65536; 0: 8 */
  int32_t gapPolicy;                   /* KPXGROUP_GAPS_FLAG or KPXGROUP_GAPS_DROP */
  uint64_t sampleLimit;                /* receive: group samples to deliver, then COMPLETE; 0: until
                                          stopped */
  uint32_t streamFlags;                /* KPXSTREAM_FLAG_* for every stream */
} KpxGroupConfig;

/** Where an open was refused (optional out-parameter of the opens). */
typedef struct KpxGroupOpenInfo {
  int32_t position;     /* position in the list of the board or stream refused; -1: none */
  int32_t streamResult; /* ERR_STREAM, NO_BOARD, BOARD_BUSY: the stream's own result */
} KpxGroupOpenInfo;

/** One board's offset and drift against board 0. */
typedef struct KpxGroupAlignment {
  int32_t result;     /* KPXGROUP_ALIGN_* */
  double offset;      /* samples (see Offsets above), at the window's centre */
  double drift;       /* samples per sample that the offset grows across the window
                         (x 1e6: ppm of board b's clock against board 0's) */
  double peak;        /* the correlation's peak as a correlation coefficient, -1..1 */
  double secondPeak;  /* the highest other peak, as a fraction of the peak */
  double peakToNoise; /* the peak over the correlation's RMS away from the peak */
} KpxGroupAlignment;

/** One board's part of a group block. */
typedef struct KpxGroupBoardBlock {
  int16_t* samples;    /* blockSamples samples; receive: valid until released;
                          transmit: to be filled before KpxGroup_SubmitWrite */
  uint64_t boardIndex; /* the board's own index of samples[0] (lost samples counted) */
  uint32_t lost;       /* samples of this span the board lost (read as 0) */
  uint32_t firstLost;  /* position of the first of them in samples[]; 0 when none */
  uint32_t flags;      /* KPXGROUP_BLOCK_* */
} KpxGroupBoardBlock;

/** A block of every board on the group sample index. */
typedef struct KpxGroupBlock {
  uint64_t groupIndex;    /* group index of the block's first sample */
  uint64_t droppedBefore; /* DROP policy: group samples not delivered right before */
  uint32_t samples;       /* samples per board: the block size (the last may be shorter
                             when the sample limit ends the group) */
  uint32_t count;         /* boards */
  uint32_t flags;         /* OR of the boards' flags */
  uint32_t sequence;      /* the group's own; leave as it is */
  KpxGroupBoardBlock boards[KPXGROUP_MAX_BOARDS];
} KpxGroupBlock;

/** A group's counters and state; a snapshot. */
typedef struct KpxGroupStatus {
  uint32_t count;            /* boards */
  int32_t direction;         /* KPXSTREAM_RECEIVE or KPXSTREAM_TRANSMIT */
  uint32_t blockSamples;     /* as opened */
  int32_t running;           /* 1 between KpxGroup_Start and the end */
  int32_t ended;             /* 1 once any board's stream has ended */
  int32_t endResult;         /* KPXGROUP_STOPPED, _COMPLETE, _BOARD_FAILED; 0 while running */
  int32_t failedBoard;       /* BOARD_FAILED: position of the board that failed; else -1 */
  double sampleRateHz;       /* board 0's clock (KpxStreamStatus.sampleRateHz) */
  int64_t startSkewNs;       /* host time from the first board's start to the last's */
  uint64_t startSkewSamples; /* that time in samples, rounded up: an upper bound */
  uint64_t groupSamples;     /* group samples delivered (receive) or submitted (transmit) */
  uint64_t droppedSamples;   /* DROP: group samples not delivered because of gaps */
  int32_t offsetsApplied;    /* 1 once offsets are applied */
  int32_t offsetsMeasured;   /* 1 when the applied offsets came from KpxGroup_Measure */
  double offsets[KPXGROUP_MAX_BOARDS];          /* applied offsets (0 when none) */
  int64_t skips[KPXGROUP_MAX_BOARDS];           /* s_b: samples each board skips (transmit: pads) */
  uint64_t lostSamples[KPXGROUP_MAX_BOARDS];    /* per board: samples its stream lost */
  uint64_t droppedByGroup[KPXGROUP_MAX_BOARDS]; /* per board: samples it had that the group
                                                   dropped (DROP) or skipped to align */
} KpxGroupStatus;

/** Opens one stream per board (KpxStream_Open with the group's direction,
 *  set-up and block size) and the group's buffers. On refusal nothing stays
 *  open.
 *  @param info optional; where and why an open was refused.
 *  @return KPXGROUP_OK, or ERR_NULL, ERR_COUNT, ERR_DUPLICATE, ERR_DIRECTION,
 *  ERR_NO_BOARD, ERR_BOARD_BUSY, ERR_BLOCK_SIZE, ERR_ARGUMENT, ERR_NO_MEMORY,
 *  ERR_STREAM. */
KPXADAC_API int32_t KpxGroup_Open(const KpxGroupConfig* config, KpxGroup** group,
                                  KpxGroupOpenInfo* info);

/** Makes a group of streams the caller opened (not started); the group uses
 *  them but does not own them: close them after KpxGroup_Close. The config's
 *  direction, boards, setup, blockSamples, blockCount and streamFlags are
 *  ignored (taken from the streams); count, gapPolicy and sampleLimit apply.
 *  @return KPXGROUP_OK, or ERR_NULL, ERR_COUNT, ERR_DUPLICATE (a stream
 *  twice), ERR_MIXED_DIRECTIONS, ERR_MIXED_BLOCKS, ERR_STARTED,
 *  ERR_BLOCK_SIZE (an odd block), ERR_ARGUMENT, ERR_NO_MEMORY. */
KPXADAC_API int32_t KpxGroup_OpenStreams(KpxStream* const* streams, const KpxGroupConfig* config,
                                         KpxGroup** group, KpxGroupOpenInfo* info);

/** Starts every stream, back to back, and measures the start skew. When a
 *  stream refuses, those already started are stopped.
 *  @return KPXGROUP_OK, or ERR_NULL, ERR_STATE, ERR_STREAM. */
KPXADAC_API int32_t KpxGroup_Start(KpxGroup* group);

/** Stops every stream, from any thread; returns at once.
 *  @return KPXGROUP_OK, or ERR_NULL. */
KPXADAC_API int32_t KpxGroup_Stop(KpxGroup* group);

/** Stops, closes the streams the group opened and frees the group. A
 *  transmit group first lets every board write the blocks already
 *  submitted. Blocks still held become invalid. A null group is ignored. */
KPXADAC_API void KpxGroup_Close(KpxGroup* group);

/** Receive: reads the next `window` samples of every board on the group
 *  index (they are consumed, not delivered) and measures each board's
 *  offset and drift against board 0 (KpxGroup_Align). The offsets found are
 *  the boards' total offsets (those already applied included). With `apply`
 *  nonzero and every board's result KPXGROUP_ALIGN_OK they are applied.
 *  @param results count entries, one per board (board 0's is offset 0).
 *  @param timeoutMs for each block read, as KpxGroup_AcquireRead.
 *  @return KPXGROUP_OK, ERR_ALIGNMENT (some board's result is not OK; nothing
 *  applied), ERR_GAP_IN_WINDOW, TIMEOUT, STOPPED, COMPLETE, BOARD_FAILED, or
 *  ERR_NULL, ERR_STATE (not started, a block held), ERR_WRONG_DIRECTION,
 *  ERR_WINDOW, ERR_NO_MEMORY. */
KPXADAC_API int32_t KpxGroup_Measure(KpxGroup* group, uint64_t window, KpxGroupAlignment* results,
                                     int32_t apply, int32_t timeoutMs);

/** Applies offsets given by the caller, one per board (offsets[0] must be 0;
 *  finite, |offset| < 2^40). Receive: from the next block on, each board
 *  skips up to its new position (samples already delivered stay delivered).
 *  Transmit: only before the first block is acquired.
 *  @return KPXGROUP_OK, or ERR_NULL, ERR_ARGUMENT, ERR_STATE. */
KPXADAC_API int32_t KpxGroup_SetOffsets(KpxGroup* group, const double* offsets, uint32_t count);

/** Receive: the next aligned block of every board.
 *  @param timeoutMs per board block awaited; 0: do not wait; below 0: without limit.
 *  @return KPXGROUP_OK, TIMEOUT (nothing is lost: call again), STOPPED,
 *  COMPLETE, BOARD_FAILED, or ERR_NULL, ERR_STATE (not started, a block still
 *  held), ERR_WRONG_DIRECTION. */
KPXADAC_API int32_t KpxGroup_AcquireRead(KpxGroup* group, KpxGroupBlock* block, int32_t timeoutMs);

/** Receive: gives the block back.
 *  @return KPXGROUP_OK, or ERR_NULL, ERR_WRONG_DIRECTION, ERR_NOT_HELD. */
KPXADAC_API int32_t KpxGroup_ReleaseRead(KpxGroup* group, const KpxGroupBlock* block);

/** Transmit: a block of every board to fill (blockSamples each; zero copy
 *  when no board is padded).
 *  @return KPXGROUP_OK, TIMEOUT, STOPPED, BOARD_FAILED, or ERR_NULL,
 *  ERR_STATE, ERR_WRONG_DIRECTION. */
KPXADAC_API int32_t KpxGroup_AcquireWrite(KpxGroup* group, KpxGroupBlock* block, int32_t timeoutMs);

/** Transmit: queues the filled block on every board (block->samples, even,
 *  at most the block size, the same for all boards).
 *  @return KPXGROUP_OK, STOPPED, BOARD_FAILED, or ERR_NULL,
 *  ERR_WRONG_DIRECTION, ERR_NOT_HELD, ERR_ARGUMENT. */
KPXADAC_API int32_t KpxGroup_SubmitWrite(KpxGroup* group, const KpxGroupBlock* block);

/** Fills `status` with a snapshot of the group's counters and state.
 *  @return KPXGROUP_OK, or ERR_NULL. */
KPXADAC_API int32_t KpxGroup_GetStatus(KpxGroup* group, KpxGroupStatus* status);

/** The offset and drift of `other` against `reference`, two windows of
 *  `count` samples taken over the same span (a board's and board 0's, or two
 *  recordings): `other`'s sample n is at the instant of `reference`'s sample
 *  n + offset. FFT cross-correlation of the whole windows (zero-padded, so
 *  any offset with enough overlap is found), the peak refined below a sample
 *  by band-limited interpolation of the correlation; drift from the
 *  offsets of the two half-windows. Offsets up to a quarter of the window
 *  are found reliably. Pure: no board, no state; any thread.
 *  @param count 0..KPXGROUP_MAX_WINDOW; below KPXGROUP_MIN_WINDOW the result
 *  is KPXGROUP_ALIGN_TOO_SHORT.
 *  @return KPXGROUP_OK (see result->result), or ERR_NULL, ERR_WINDOW (count
 *  above the limit), ERR_NO_MEMORY. */
KPXADAC_API int32_t KpxGroup_Align(const int16_t* reference, const int16_t* other, uint64_t count,
                                   KpxGroupAlignment* result);

/** The text of a result code, e.g. "a board is named twice"; never null. */
KPXADAC_API const char* KpxGroup_ResultText(int32_t result);

/** The text of an alignment result (KPXGROUP_ALIGN_*); never null. */
KPXADAC_API const char* KpxGroup_AlignText(int32_t result);

#ifdef __cplusplus
}
#endif

#endif /* KPXADAC_GROUP_H */
