/*
 * response_run.h - a stimulus-response measurement on a DAC board and an
 * ADC board (library kpxadac_response, beside libkpxadac).
 *
 * KpxResponse_Measure plays a plan's stimulus (response.h) on the DAC board
 * through a transmit stream and captures the ADC board through a receive
 * stream (kpxadac_stream.h), then analyses the two. The ADC stream starts
 * first, then the DAC stream, so the stimulus always arrives after the
 * capture began: the latency found is the device's delay plus the DAC's
 * start after the ADC's (with unpaced virtual boards, the device's delay
 * alone). The capture holds maxLatency samples more than the analysis
 * takes: a response whose first loud sample (64 LSB) comes later than
 * maxLatency (a DAC started late on a loaded host) is analysed from half
 * maxLatency before that sample on, and its latency counts from there. A capture that lost a sample
 * (overrun) or a stimulus that the DAC missed a sample of (underrun) gives no result, only its
 * code.
 */
#ifndef KPXADAC_RESPONSE_RUN_H
#define KPXADAC_RESPONSE_RUN_H

#include <stdint.h>

#include "kpxadac/response.h"
#include "kpxadac16.h"

#ifdef __cplusplus
extern "C" {
#endif

/** Called from the measuring thread: the share of the capture done (0..1). */
typedef void (*KpxResponseProgress)(void* user, double fraction);
/** SINE: called from the measuring thread as each point's tone has been
 *  captured, in order: its index and frequency (its figures come with
 *  KpxResponsePointMeasured once the latency is known). */
typedef void (*KpxResponsePointCaptured)(void* user, uint32_t index, double frequencyHz);

/** SINE: called from the measuring thread with each point's figures, in
 *  order, once each, as soon as they are worked out (the tone captured and
 *  the latency known: from the first 2^20 samples of the stimulus plus
 *  maxLatency). The figures are those of the final result (KpxResponse_GetPoints)
 *  except groupDelayS, NaN here (it needs the next point). A measurement
 *  refused at its end (an underrun is found there) may have shown points. */
typedef void (*KpxResponsePointMeasured)(void* user, uint32_t index, const KpxResponsePoint* point);

/** How to run. Zero-initialise, then set the fields. */
typedef struct KpxResponseRun {
  BoardHandle dac;       /* a registered DAC board */
  BoardHandle adc;       /* a registered ADC board */
  int32_t adcSetup;      /* KPXSTREAM_SETUP_* for the ADC's clock; 0 (NONE) is taken as AUTO */
  uint32_t maxLatency;   /* samples of latency allowed for; 0: 1048576 (10 ms at 105 MHz) */
  uint32_t blockSamples; /* per stream block, a multiple of 2; 0: 65536 for the ADC,
                            1048576 for the DAC (its first block primes its FIFO) */
  KpxResponseProgress progress; /* may be null */
  void* user;
  const volatile int32_t* stop; /* nonzero ends the measurement (ERR_STOPPED); may be null */
  KpxResponsePointCaptured pointCaptured; /* may be null; user is its first argument */
  KpxResponsePointMeasured pointMeasured; /* may be null; user is its first argument */
} KpxResponseRun;

/** Measures. request->sampleRateHz 0 takes the boards' rate; another value
 *  must be theirs.
 *  @param streamResult receives the failing stream call's KPXSTREAM_* code
 *  with ERR_STREAM (0 otherwise); may be null.
 *  @return KPXRESPONSE_OK, a refusal of the request (as
 *  KpxResponse_CreatePlan), ERR_NOT_PAIR (not a DAC and an ADC board, or the
 *  same board twice), ERR_NO_BOARD, ERR_RATES_DIFFER, ERR_RATE_UNKNOWN,
 *  ERR_LATENCY, ERR_ARGUMENT (block size), ERR_OVERRUN, ERR_UNDERRUN,
 *  ERR_STREAM, ERR_STOPPED, or an analysis refusal (ERR_NO_SIGNAL: nothing
 *  connected). */
KPXRESPONSE_API int32_t KpxResponse_Measure(const KpxResponseRun* run,
                                            const KpxResponseRequest* request,
                                            KpxResponseResult** result, int32_t* streamResult);

#ifdef __cplusplus
}
#endif

#endif /* KPXADAC_RESPONSE_RUN_H */
