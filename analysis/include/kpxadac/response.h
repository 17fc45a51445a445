/*
 * response.h - stimulus and response: the frequency response, latency,
 * harmonic distortion and impulse response of a device driven by a DAC
 * board and captured by an ADC board (docs/response.md).
 *
 * The numerics work on arrays: a plan made from a request (method, rate,
 * frequencies, level) gives the stimulus to play; the stimulus as played and
 * the response as captured, sample n of both taken at the same instant of
 * the sample clock, give a result. KpxResponse_Measure (kpxadac_response
 * library) runs the same plan on a DAC and an ADC board.
 *
 * Methods
 *   SINE: stepped sine. A short chirp (for the latency), then one tone per
 *     frequency: a settling time, then a whole number of cycles demodulated
 *     coherently (a single-bin DFT, the lock-in), the harmonics likewise.
 *   MULTITONE: every frequency at once, each on a bin of the period (no
 *     leakage), Schroeder phases for a low crest factor; one period settles,
 *     the next ones are averaged. No harmonics (they fall on other tones).
 *   SWEEP: an exponential sine sweep (Farina). The response divided by the
 *     stimulus in the frequency domain gives the linear impulse response and,
 *     ahead of it in time, one impulse response per harmonic.
 *   The frequencies of SINE and MULTITONE are moved to the nearest frequency
 *   the method measures exactly (a whole number of cycles, a bin of the
 *   period); KpxResponse_PlanFrequencies gives them.
 *
 * Results
 *   Every call that can fail returns an int32_t: KPXRESPONSE_OK (0) or a
 *   negative refusal code; KpxResponse_ResultText gives its text. Nothing
 *   throws, nothing is printed.
 */
#ifndef KPXADAC_RESPONSE_H
#define KPXADAC_RESPONSE_H

#include <stddef.h>
#include <stdint.h>

#if defined(_WIN32) && !defined(KPXRESPONSE_STATIC)
#if defined(KPXRESPONSE_BUILDING)
#define KPXRESPONSE_API __declspec(dllexport)
#else
#define KPXRESPONSE_API __declspec(dllimport)
#endif
#elif defined(__GNUC__)
#define KPXRESPONSE_API __attribute__((visibility("default")))
#else
#define KPXRESPONSE_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

typedef struct KpxResponsePlan KpxResponsePlan;     /* opaque */
typedef struct KpxResponseResult KpxResponseResult; /* opaque */

/* Methods. */
#define KPXRESPONSE_METHOD_SINE 0
#define KPXRESPONSE_METHOD_MULTITONE 1
#define KPXRESPONSE_METHOD_SWEEP 2

/* Frequency spacing. */
#define KPXRESPONSE_SPACING_LOG 0
#define KPXRESPONSE_SPACING_LINEAR 1

/* KpxResponseRequest.flags */
#define KPXRESPONSE_FLAG_KEEP_LATENCY 1u /* the phase keeps the latency's slope */

/* Limits. */
#define KPXRESPONSE_MIN_POINTS 1
#define KPXRESPONSE_MAX_POINTS 10000
#define KPXRESPONSE_MAX_HARMONIC 10 /* harmonic orders 2..10 */
/* The lowest start: the rate divided by this (about 100 Hz at 105 MHz). */
#define KPXRESPONSE_MIN_START_DIVISOR 1048576.0
#define KPXRESPONSE_MIN_AMPLITUDE_DBFS (-100.0)
#define KPXRESPONSE_MAX_AVERAGES 1024
#define KPXRESPONSE_MAX_LATENCY_SAMPLES 1048576u

/* Result codes. */
#define KPXRESPONSE_OK 0
#define KPXRESPONSE_ERR_NULL (-1)        /* a required pointer is null */
#define KPXRESPONSE_ERR_METHOD (-2)      /* unknown method */
#define KPXRESPONSE_ERR_SPACING (-3)     /* unknown spacing */
#define KPXRESPONSE_ERR_RATE (-4)        /* sample rate not a finite number above 0 */
#define KPXRESPONSE_ERR_START (-5)       /* start not finite, at or below 0, or below rate/2^20 */
#define KPXRESPONSE_ERR_STOP (-6)        /* stop not finite, or at or above half the rate */
#define KPXRESPONSE_ERR_ORDER (-7)       /* stop below start, or equal with more than 1 point */
#define KPXRESPONSE_ERR_POINTS (-8)      /* points outside 1..KPXRESPONSE_MAX_POINTS */
#define KPXRESPONSE_ERR_AMPLITUDE (-9)   /* amplitude not finite, above 0 dBFS or below -100 */
#define KPXRESPONSE_ERR_HARMONICS (-10)  /* highest harmonic outside 0 (none) and 2..10 */
#define KPXRESPONSE_ERR_AVERAGES (-11)   /* averages above KPXRESPONSE_MAX_AVERAGES */
#define KPXRESPONSE_ERR_RESOLUTION (-12) /* points too close for the method's longest period */
#define KPXRESPONSE_ERR_LENGTH (-13)     /* stimulus not the plan's length, or response too short */
#define KPXRESPONSE_ERR_NOT_FINITE (-14) /* a sample is NaN or infinite */
#define KPXRESPONSE_ERR_NO_SIGNAL (-15)  /* the response does not correlate with the stimulus */
#define KPXRESPONSE_ERR_MISMATCH (-16)   /* reference of other frequencies or another rate */
#define KPXRESPONSE_ERR_NO_MEMORY (-17)  /* memory could not be allocated */
#define KPXRESPONSE_ERR_ARGUMENT (-18)   /* another argument out of range */
#define KPXRESPONSE_ERR_LATENCY (-19)    /* max latency above KPXRESPONSE_MAX_LATENCY_SAMPLES */
/* Board runs (KpxResponse_Measure). */
#define KPXRESPONSE_ERR_NOT_PAIR (-30)     /* not a DAC board and an ADC board */
#define KPXRESPONSE_ERR_NO_BOARD (-31)     /* a board index that is not there */
#define KPXRESPONSE_ERR_RATES_DIFFER (-32) /* the two boards' sample rates differ */
#define KPXRESPONSE_ERR_OVERRUN (-33)      /* the ADC lost samples: no result */
#define KPXRESPONSE_ERR_UNDERRUN (-34)     /* the DAC missed samples: no result */
#define KPXRESPONSE_ERR_STREAM (-35)       /* a stream could not be opened, started or read */
#define KPXRESPONSE_ERR_RATE_UNKNOWN (-36) /* the boards' sample rate is not known */
#define KPXRESPONSE_ERR_STOPPED (-37)      /* the measurement was cancelled */

/** What to measure. Zero-initialise, then set the fields. */
typedef struct KpxResponseRequest {
  int32_t method;       /* KPXRESPONSE_METHOD_* */
  int32_t spacing;      /* KPXRESPONSE_SPACING_* */
  double sampleRateHz;  /* of both boards */
  double startHz;       /* above 0, at least rate / 2^20 */
  double stopHz;        /* below half the rate, not below start */
  uint32_t points;      /* 1..KPXRESPONSE_MAX_POINTS (1: start only, stop = start) */
  double amplitudeDbfs; /* peak of the stimulus, -100..0 dBFS */
  int32_t harmonics;    /* highest harmonic order reported (2..10); 0: 5 */
  uint32_t averages;    /* MULTITONE: periods averaged; 0: 4 */
  uint32_t flags;       /* KPXRESPONSE_FLAG_* */
} KpxResponseRequest;

/** One frequency of a result. */
typedef struct KpxResponsePoint {
  double frequencyHz;
  double magnitudeDb; /* 20 log10 |H| */
  double phaseDeg;    /* unwrapped; without the latency unless KEEP_LATENCY */
  double groupDelayS; /* -dphase/domega of the whole response (latency included) */
  double qualityDb;   /* signal-to-noise of the point, dB; NaN when not measured */
  /* harmonicDbc[h - 2]: harmonic h relative to the fundamental, dBc; NaN where
   * the method gives none, where h times the frequency is not below half the
   * rate (SINE) or above the stop (SWEEP), or above the harmonics asked for. */
  double harmonicDbc[KPXRESPONSE_MAX_HARMONIC - 1];
  double real, imag; /* H itself, latency removed (kept with KEEP_LATENCY) */
} KpxResponsePoint;

/** A result's figures besides the points. */
typedef struct KpxResponseSummary {
  int32_t method;
  uint32_t points;
  double sampleRateHz;
  double latencySamples; /* stimulus to response, refined below a sample */
  double latencySeconds;
  int32_t harmonics;       /* highest harmonic order reported, 0: none */
  uint64_t impulseSamples; /* length of the impulse response (0: none) */
  int64_t impulseStart;    /* sample of the impulse response's first value, after the stimulus */
  int32_t referenced;      /* 1 when divided by a reference */
} KpxResponseSummary;

/** Checks a request and makes a plan; the stimulus is computed here.
 *  @return KPXRESPONSE_OK or a refusal (ERR_NULL, ERR_METHOD, ... ERR_RESOLUTION). */
KPXRESPONSE_API int32_t KpxResponse_CreatePlan(const KpxResponseRequest* request,
                                               KpxResponsePlan** plan);
KPXRESPONSE_API void KpxResponse_FreePlan(KpxResponsePlan* plan);

/** Samples of the stimulus, to be played once from its first sample. */
KPXRESPONSE_API uint64_t KpxResponse_StimulusLength(const KpxResponsePlan* plan);
/** The stimulus, full scale 1.0 (double) or 32767 (int16); `count` must be
 *  the stimulus length. @return OK, ERR_NULL, ERR_LENGTH. */
KPXRESPONSE_API int32_t KpxResponse_StimulusDouble(const KpxResponsePlan* plan, double* samples,
                                                   uint64_t count);
KPXRESPONSE_API int32_t KpxResponse_StimulusInt16(const KpxResponsePlan* plan, int16_t* samples,
                                                  uint64_t count);
/** The number of frequencies, and the frequencies measured (count: that number). */
KPXRESPONSE_API uint32_t KpxResponse_PlanPoints(const KpxResponsePlan* plan);
KPXRESPONSE_API int32_t KpxResponse_PlanFrequencies(const KpxResponsePlan* plan, double* hz,
                                                    uint32_t count);
/** Samples to capture for a latency of up to maxLatency samples: the
 *  stimulus length plus maxLatency. */
KPXRESPONSE_API uint64_t KpxResponse_CaptureLength(const KpxResponsePlan* plan,
                                                   uint32_t maxLatency);

/** Analyses a response. stimulus: what was played (the plan's length);
 *  response: what was captured from the stimulus's first sample on, at
 *  least the stimulus length; the latency is searched up to the response's
 *  surplus (at most KPXRESPONSE_MAX_LATENCY_SAMPLES).
 *  @return OK, ERR_NULL, ERR_LENGTH, ERR_NOT_FINITE, ERR_NO_SIGNAL, ERR_NO_MEMORY. */
KPXRESPONSE_API int32_t KpxResponse_AnalyzeDouble(const KpxResponsePlan* plan,
                                                  const double* stimulus, uint64_t stimulusCount,
                                                  const double* response, uint64_t responseCount,
                                                  KpxResponseResult** result);
KPXRESPONSE_API int32_t KpxResponse_AnalyzeInt16(const KpxResponsePlan* plan,
                                                 const int16_t* stimulus, uint64_t stimulusCount,
                                                 const int16_t* response, uint64_t responseCount,
                                                 KpxResponseResult** result);

/** A result made of stored points (a reference read back from a file):
 *  points in rising frequency, with frequencyHz, real and imag (latency
 *  removed), qualityDb; the rest is derived.
 *  @return OK, ERR_NULL, ERR_POINTS, ERR_RATE, ERR_ARGUMENT (frequencies not
 *  rising, outside 0..rate/2, or a value not finite), ERR_NO_MEMORY. */
KPXRESPONSE_API int32_t KpxResponse_ResultFromPoints(const KpxResponsePoint* points, uint32_t count,
                                                     double sampleRateHz, double latencySamples,
                                                     KpxResponseResult** result);
KPXRESPONSE_API void KpxResponse_FreeResult(KpxResponseResult* result);

/** Divides a result by a reference measured at the same frequencies and rate
 *  (a through connection): magnitudes and phases become relative, the
 *  reference's latency and group delay are subtracted. A result is divided once.
 *  @return OK, ERR_NULL, ERR_MISMATCH, ERR_ARGUMENT (already divided). */
KPXRESPONSE_API int32_t KpxResponse_ApplyReference(KpxResponseResult* result,
                                                   const KpxResponseResult* reference);

/** With keep = 1 the phases and real/imag keep the latency's slope. */
KPXRESPONSE_API int32_t KpxResponse_SetKeepLatency(KpxResponseResult* result, int32_t keep);

KPXRESPONSE_API int32_t KpxResponse_GetSummary(const KpxResponseResult* result,
                                               KpxResponseSummary* summary);
/** count: the result's points. @return OK, ERR_NULL, ERR_LENGTH. */
KPXRESPONSE_API int32_t KpxResponse_GetPoints(const KpxResponseResult* result,
                                              KpxResponsePoint* points, uint32_t count);
/** The impulse response, sample impulseStart on (after the stimulus's
 *  first): SWEEP the deconvolution's; MULTITONE the period's (the measured
 *  bins, interpolated between them); SINE its points interpolated onto a
 *  uniform grid (docs/response.md, "Impulse response"); none (0 samples)
 *  from one point or a result made of stored points.
 *  count: the summary's impulseSamples. @return OK, ERR_NULL, ERR_LENGTH. */
KPXRESPONSE_API int32_t KpxResponse_GetImpulse(const KpxResponseResult* result, double* samples,
                                               uint64_t count);

/** A result as text, as kpxadac-response writes it (one renderer for every
 *  tool and the live view). CSV: the header frequency_hz, magnitude_db,
 *  phase_deg, group_delay_s, quality_db, then h2_dbc .. hN_dbc for the
 *  harmonics the result has; one line per point, numbers with 17
 *  significant digits, "nan" where a value is not measured. JSON: one line,
 *  {"method", "sample_rate_hz", "latency_samples", "latency_s",
 *  "referenced", "frequency_hz": [...], "magnitude_db", "phase_deg",
 *  "group_delay_s", "quality_db", "harmonics_dbc": {"2": [...], ...},
 *  "impulse_start", "impulse": [...]}, null where a value is not measured.
 *  The text and its terminating zero go to buffer when capacity holds them;
 *  *needed receives their size either way (call with a null buffer and
 *  capacity 0 to learn it).
 *  @return OK, ERR_NULL (result or needed null, or buffer null with a
 *  capacity), ERR_LENGTH (capacity below *needed), ERR_NO_MEMORY. */
KPXRESPONSE_API int32_t KpxResponse_FormatCsv(const KpxResponseResult* result, char* buffer,
                                              size_t capacity, size_t* needed);
KPXRESPONSE_API int32_t KpxResponse_FormatJson(const KpxResponseResult* result, char* buffer,
                                               size_t capacity, size_t* needed);

/** Texts: of a result code ("stop at or above half the rate"), never null;
 *  of a method ("sine", "multitone", "sweep"), null for another number. */
/* The shared library's version ("1.0.0"), the project's, as KpxBoard_LibraryVersion's;
 * only the shared library libkpxadac_response has it. */
KPXRESPONSE_API const char* KpxResponse_LibraryVersion(void);
KPXRESPONSE_API const char* KpxResponse_ResultText(int32_t result);
KPXRESPONSE_API const char* KpxResponse_MethodName(int32_t method);
/** A method from its name; -1 for another name or null. */
KPXRESPONSE_API int32_t KpxResponse_MethodFromName(const char* name);

#ifdef __cplusplus
}
#endif

#endif /* KPXADAC_RESPONSE_H */
