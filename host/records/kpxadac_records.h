/*
 * kpxadac_records.h - triggered records: the samples around each event of a
 * receive stream, not the hours between them.
 *
 * A records engine runs on an open receive stream (kpxadac_stream.h) and is
 * that stream's only consumer. Its thread takes the stream's blocks, looks
 * for the trigger in their samples and copies each record (`pre` samples
 * before the trigger sample and `post` samples from it) into a queue of
 * records of its own. The consumer takes records out of the queue without a
 * copy (KpxRecords_Acquire / KpxRecords_Release) or copied into its own
 * buffer (KpxRecords_Read).
 *
 * Trigger
 *   Rising: the trigger sample is the first sample at or above `level` after
 *   the engine has seen a sample below level - hysteresis while armed.
 *   Falling: the first sample at or below `level` after a sample above
 *   level + hysteresis. Either: whichever of the two comes first. The
 *   trigger's board index (the stream's index, lost samples counted) is
 *   exact to the sample.
 *
 * Arming
 *   The engine is armed once `pre` samples without a gap lie behind it: at
 *   the stream's start, after each gap, and `holdoff` samples after the end
 *   of each record. Records never overlap. An edge needs its far-side sample
 *   seen while armed, so the first sample after arming never triggers.
 *
 * Losses
 *   Every loss is counted, none is silent. A record whose window meets a gap
 *   of the stream is dropped (lostToGaps); a trigger that finds the record
 *   queue full because the consumer is slow is skipped (skippedSlow) with its
 *   whole window and holdoff, so a slow consumer loses whole records, never
 *   samples inside one. A record cut by the end of the stream is counted in
 *   cutAtEnd. The stream's own gaps are in its status (KpxStream_GetStatus).
 *
 * Results
 *   Every call returns an int32_t: KPXRECORDS_OK (0), one of the positive
 *   outcomes of an acquire, or a negative refusal code.
 *   KpxRecords_ResultText gives each code's text. Nothing throws, nothing is
 *   printed.
 *
 * Threads
 *   One consumer thread calls acquire, release and read (and, for a fed
 *   engine, one thread calls KpxRecords_Feed). KpxRecords_Stop
 *   and KpxRecords_GetStatus may be called from any thread at any time.
 *   KpxRecords_Close must not overlap any other call on the same engine,
 *   and must come before KpxStream_Close of its stream.
 */
#ifndef KPXADAC_RECORDS_H
#define KPXADAC_RECORDS_H

#include <stdint.h>

#include "kpxadac_stream.h"

#ifdef __cplusplus
extern "C" {
#endif

/** A records engine; opaque. */
typedef struct KpxRecords KpxRecords;

/* Edges (KpxRecordsConfig.edge). */
#define KPXRECORDS_RISING 0
#define KPXRECORDS_FALLING 1
#define KPXRECORDS_EITHER 2

/* Limits. */
#define KPXRECORDS_MAX_LENGTH (1 << 24) /* pre + post, samples (32 MiB a record) */
#define KPXRECORDS_MAX_QUEUE 65536      /* records in the queue */
/* Bytes of the whole queue (queueRecords x record bytes). */
#define KPXRECORDS_MAX_QUEUE_BYTES (1024ull << 20)

/* Result codes. */
#define KPXRECORDS_OK 0
#define KPXRECORDS_TIMEOUT 1           /* no record within the time-out; try again */
#define KPXRECORDS_STOPPED 2           /* stopped, or the stream ended as stopped */
#define KPXRECORDS_COMPLETE 3          /* the record count was reached, or the stream's limit */
#define KPXRECORDS_BOARD_FAILED 4      /* the stream ended on a failed board read */
#define KPXRECORDS_ERR_NULL (-1)       /* a required pointer is null */
#define KPXRECORDS_ERR_EDGE (-2)       /* edge not one of KPXRECORDS_RISING, _FALLING, _EITHER */
#define KPXRECORDS_ERR_LEVEL (-3)      /* level outside -32768..32767 */
#define KPXRECORDS_ERR_HYSTERESIS (-4) /* hysteresis outside 0..65535 */
#define KPXRECORDS_ERR_LENGTH (-5)     /* pre or post negative, pre + post 0 or above the limit */
#define KPXRECORDS_ERR_ARGUMENT (-6)   /* holdoff, count, autoMs or queueRecords out of range */
#define KPXRECORDS_ERR_DIRECTION (-7)  /* the stream is a transmit stream */
#define KPXRECORDS_ERR_NO_MEMORY (-8)  /* the queue could not be allocated */
#define KPXRECORDS_ERR_STATE (-9)      /* not possible now (started twice, acquire before start) */
#define KPXRECORDS_ERR_NOT_HELD (-10)  /* the record is not one the caller holds */
#define KPXRECORDS_ERR_STREAM (-11)    /* the stream could not be started; see its status */
#define KPXRECORDS_ERR_THREAD (-12)    /* the engine's thread could not be started */
#define KPXRECORDS_ERR_BUFFER (-13)    /* KpxRecords_Read: the buffer is shorter than a record */

/* KpxRecord.flags */
#define KPXRECORD_UNTRIGGERED 1u /* taken by auto mode: no edge within autoMs */
#define KPXRECORD_FALLING 2u     /* the edge that fired was falling (else rising) */

/* Why the engine ended (KpxRecordsStatus.endReason). */
#define KPXRECORDS_END_NONE 0
#define KPXRECORDS_END_STOPPED 1      /* KpxRecords_Stop, or the stream was stopped */
#define KPXRECORDS_END_COMPLETE 2     /* the record count, or the stream's sample limit */
#define KPXRECORDS_END_BOARD_FAILED 3 /* the stream ended on a failed board read */

/** What KpxRecords_Open needs. Zero-initialise, then set the fields. */
typedef struct KpxRecordsConfig {
  int32_t edge;         /* KPXRECORDS_RISING, _FALLING or _EITHER */
  int32_t level;        /* LSB, -32768..32767 */
  int32_t hysteresis;   /* LSB, 0..65535 */
  int32_t autoMs;       /* >0: a record after this many ms of stream time without a
                           trigger, flagged KPXRECORD_UNTRIGGERED; 0: off */
  int64_t pre;          /* samples before the trigger sample, >= 0 */
  int64_t post;         /* samples from the trigger sample on, >= 0; pre + post in
                           1..KPXRECORDS_MAX_LENGTH */
  int64_t holdoff;      /* samples after a record's end before re-arming, >= 0 */
  int64_t count;        /* records to deliver, then complete; 0: until stopped */
  int32_t queueRecords; /* records the queue holds for a slow consumer; 0: as many
                           as fit in 64 MiB, from 4 to 1024 */
} KpxRecordsConfig;

/** Counts so far; each record carries those at the time it was taken. */
typedef struct KpxRecordsCounts {
  uint64_t triggersSeen;     /* edges that fired (auto records not included) */
  uint64_t recordsDelivered; /* records put into the queue, this one included */
  uint64_t lostToGaps;       /* records dropped because their window met a gap */
  uint64_t skippedSlow;      /* triggers skipped because the queue was full */
  uint64_t cutAtEnd;         /* a record cut by the end of the stream (0 or 1) */
} KpxRecordsCounts;

/** One record, as handed to the consumer. */
typedef struct KpxRecord {
  const int16_t* samples; /* length samples; Acquire: valid until released;
                             Read: the caller's buffer */
  uint32_t length;        /* pre + post */
  uint32_t pre;           /* the trigger sample is samples[pre] */
  uint64_t triggerIndex;  /* board index of the trigger sample */
  uint64_t firstIndex;    /* board index of samples[0] (triggerIndex - pre) */
  uint64_t number;        /* 0 for the first record delivered, then 1, 2, ... */
  int64_t hostTimeNs;     /* the host time of the stream block holding the trigger
                             sample (ns since 1970-01-01 UTC) */
  uint32_t flags;         /* KPXRECORD_* */
  uint32_t slot;          /* the queue's own; leave as it is */
  KpxRecordsCounts counts;
} KpxRecord;

/** The engine's counters and state; a consistent snapshot. */
typedef struct KpxRecordsStatus {
  KpxRecordsCounts counts;
  uint64_t samplesScanned; /* samples taken from the stream */
  uint32_t queued;         /* records delivered, not yet acquired */
  uint32_t queueRecords;   /* the queue's size */
  int32_t running;         /* 1 between KpxRecords_Start and the end */
  int32_t ended;           /* 1 once the engine's thread has ended */
  int32_t endReason;       /* KPXRECORDS_END_* */
} KpxRecordsStatus;

/** Checks a configuration without opening anything.
 *  @return KPXRECORDS_OK, or ERR_NULL, ERR_EDGE, ERR_LEVEL, ERR_HYSTERESIS,
 *  ERR_LENGTH, ERR_ARGUMENT. */
KPXADAC_API int32_t KpxRecords_CheckConfig(const KpxRecordsConfig* config);

/** Opens an engine on an open receive stream (started or not; nothing else
 *  may read it) and allocates its record queue.
 *  @param stream a receive stream; not owned: close it after the engine.
 *  @param config what to look for; not kept.
 *  @param records receives the engine (set to null on refusal).
 *  @return KPXRECORDS_OK, a KpxRecords_CheckConfig refusal, or ERR_NULL,
 *  ERR_DIRECTION, ERR_NO_MEMORY. */
KPXADAC_API int32_t KpxRecords_Open(KpxStream* stream, const KpxRecordsConfig* config,
                                    KpxRecords** records);

/** Opens an engine that has no stream of its own: the caller feeds it the
 *  blocks of a receive stream it reads itself (KpxRecords_Feed), and the
 *  trigger runs in those calls. It counts as started; acquire, release,
 *  read, stop and status work as for any engine. For a consumer that needs
 *  the stream's blocks for something else too, such as a live view.
 *  @return KPXRECORDS_OK, a KpxRecords_CheckConfig refusal, or ERR_NULL,
 *  ERR_NO_MEMORY. */
KPXADAC_API int32_t KpxRecords_OpenFed(const KpxRecordsConfig* config, KpxRecords** records);

/** Feeds a fed engine the next block of its receive stream, in order (a
 *  block acquired with KpxStream_AcquireRead; it is read, not kept).
 *  @return KPXRECORDS_OK, COMPLETE once the record count is reached,
 *  STOPPED after KpxRecords_Stop, or ERR_NULL, ERR_STATE (an engine with a
 *  stream of its own). */
KPXADAC_API int32_t KpxRecords_Feed(KpxRecords* records, const KpxStreamBlock* block);

/** Starts the stream if it has not started, then the engine's thread. An
 *  engine starts once.
 *  @return KPXRECORDS_OK, or ERR_NULL, ERR_STATE, ERR_STREAM, ERR_THREAD. */
KPXADAC_API int32_t KpxRecords_Start(KpxRecords* records);

/** Ends the engine and stops its stream, from any thread; returns at once.
 *  Records already queued can still be acquired, then acquire gives
 *  KPXRECORDS_STOPPED. @return KPXRECORDS_OK, or ERR_NULL. */
KPXADAC_API int32_t KpxRecords_Stop(KpxRecords* records);

/** Stops the engine if it runs, waits for its thread and frees it. Records
 *  still held become invalid. The stream stays open. A null engine is
 *  ignored. */
KPXADAC_API void KpxRecords_Close(KpxRecords* records);

/** Takes the next record, in order, without a copy.
 *  @param timeoutMs 0: do not wait; below 0: wait without limit.
 *  @return KPXRECORDS_OK (record filled in), TIMEOUT, or once the queue is
 *  empty after the end: STOPPED, COMPLETE, BOARD_FAILED; or ERR_NULL,
 *  ERR_STATE (not started). */
KPXADAC_API int32_t KpxRecords_Acquire(KpxRecords* records, KpxRecord* record, int32_t timeoutMs);

/** Gives an acquired record back to the queue.
 *  @return KPXRECORDS_OK, or ERR_NULL, ERR_NOT_HELD. */
KPXADAC_API int32_t KpxRecords_Release(KpxRecords* records, const KpxRecord* record);

/** Takes the next record copied into `samples` (at least pre + post of
 *  them); `record->samples` points to `samples`. Nothing is taken when the
 *  buffer is too short.
 *  @return as KpxRecords_Acquire, and ERR_BUFFER. */
KPXADAC_API int32_t KpxRecords_Read(KpxRecords* records, int16_t* samples, uint64_t capacity,
                                    KpxRecord* record, int32_t timeoutMs);

/** Fills `status` with a snapshot of the engine's counters and state.
 *  @return KPXRECORDS_OK, or ERR_NULL. */
KPXADAC_API int32_t KpxRecords_GetStatus(KpxRecords* records, KpxRecordsStatus* status);

/** The text of a result code, e.g. "level outside -32768..32767"; never
 *  null. */
KPXADAC_API const char* KpxRecords_ResultText(int32_t result);

#ifdef __cplusplus
}
#endif

#endif /* KPXADAC_RECORDS_H */
