/*
 * kpxadac_waveform.h - test signals for the DAC boards, block by block.
 *
 * A generator makes 16-bit samples of one waveform at a given sample rate:
 * tone (with harmonics 2 to 6), multitone, chirp, square, pulse, noise, dc
 * and the integrity ramp, with Gaussian noise in LSB rms added on request.
 * Periodic waveforms run from a 64-bit phase accumulator, so consecutive
 * calls of KpxWave_Generate continue one another exactly: a block boundary
 * leaves no trace in the signal, whatever the block size. Sample k is the
 * same however the calls are cut, and KpxWave_Seek goes straight to any k.
 *
 * Levels: full scale is 32767. A set-up whose samples could exceed it
 * (an amplitude above 0 dBFS, or a tone whose harmonics take its peak
 * beyond full scale) is refused by KpxWave_Create; nothing wraps. Only the
 * Gaussian parts (the noise waveform and the added noise) are unbounded:
 * their rare samples beyond full scale saturate at -32768 / 32767.
 *
 * Noise is seeded: the same settings give the same samples on every host.
 *
 * Results: KPXWAVE_OK (0) or a negative code; KpxWave_ResultText gives its
 * text. Nothing throws, nothing is printed. A generator is used by one
 * thread at a time; different generators are independent.
 */
#ifndef KPXADAC_WAVEFORM_H
#define KPXADAC_WAVEFORM_H

#include <stdint.h>

#if defined(_WIN32) && !defined(KPXADAC_STATIC)
#if defined(KPXADAC_BUILDING)
#define KPXWAVE_API __declspec(dllexport)
#else
#define KPXWAVE_API __declspec(dllimport)
#endif
#elif defined(__GNUC__)
#define KPXWAVE_API __attribute__((visibility("default")))
#else
#define KPXWAVE_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/** A generator; opaque. */
typedef struct KpxWave KpxWave;

/* Waveforms (KpxWaveSettings.waveform). */
#define KPXWAVE_TONE 0 /* sine: frequenciesHz[0], amplitude, phase, harmonics */
#define KPXWAVE_MULTITONE                                         \
  1 /* sum of sines at frequenciesHz[0..count-1]; peak of the sum \
       at the amplitude, each tone starting at the phase */
#define KPXWAVE_CHIRP                                             \
  2 /* linear sweep startHz -> stopHz over sweepTimeS, repeating, \
       phase-continuous at the turn; amplitude, phase */
#define KPXWAVE_SQUARE                                   \
  3 /* +amplitude for the first `duty` of each period of \
       frequenciesHz[0], -amplitude for the rest; phase */
#define KPXWAVE_PULSE                                                                    \
  4                     /* the amplitude's level for widthSamples, baselineLsb between   \
                           pulses; a pulse starts every periodSamples, or (periodSamples \
                           0) after seeded random intervals from minIntervalSamples to   \
                           maxIntervalSamples; the first pulse starts at sample 0 */
#define KPXWAVE_NOISE 5 /* Gaussian noise whose rms is the amplitude in dBFS, seeded */
#define KPXWAVE_DC 6    /* the amplitude's level */
#define KPXWAVE_RAMP 7  /* sample k is k mod 65536, as the bits of a 16-bit word */

#define KPXWAVE_MAX_TONES 32 /* frequencies of a multitone */
#define KPXWAVE_HARMONICS 5  /* harmonic orders 2 to 6 */

/* Result codes. */
#define KPXWAVE_OK 0
#define KPXWAVE_ERR_NULL (-1)     /* a required pointer is null */
#define KPXWAVE_ERR_WAVEFORM (-2) /* unknown waveform */
#define KPXWAVE_ERR_RATE (-3)     /* sample rate not > 0 and finite */
#define KPXWAVE_ERR_FREQUENCY                                                              \
  (-4)                             /* a frequency < 0, above KpxWave_MaxFrequencyHz or not \
                                      finite;                                              \
                                      a frequency count out of 1..KPXWAVE_MAX_TONES */
#define KPXWAVE_ERR_AMPLITUDE (-5) /* above 0 dBFS, or a peak beyond full scale */
#define KPXWAVE_ERR_ARGUMENT                                 \
  (-6) /* another setting out of range (duty, width, period, \
          sweep time, harmonic level, noise, baseline) */
#define KPXWAVE_ERR_NO_MEMORY (-7)

/** What KpxWave_Create needs. Start from KpxWave_DefaultSettings, then
 *  change the fields the waveform uses; the others are ignored. */
typedef struct KpxWaveSettings {
  int32_t waveform;                        /* KPXWAVE_* */
  double sampleRateHz;                     /* > 0 */
  uint32_t frequencyCount;                 /* multitone: 1..KPXWAVE_MAX_TONES */
  double frequenciesHz[KPXWAVE_MAX_TONES]; /* tone, square: [0]; multitone: [0..count-1];
                                              0 .. sampleRateHz (above rate / 2 aliases) */
  double amplitudeDbfs;   /* <= 0: peak (tone, multitone, chirp, square), level (pulse, dc),
                             rms (noise); dB relative to 32767 */
  double phaseDeg;        /* starting phase of tone, multitone, chirp, square */
  uint32_t harmonicsUsed; /* tone: bit i set when harmonicsDbc[i] (order i + 2) applies */
  double harmonicsDbc[KPXWAVE_HARMONICS]; /* -200..0 dB relative to the tone */
  double startHz, stopHz;                 /* chirp: 0 .. sampleRateHz / 2 */
  double sweepTimeS;                      /* chirp: one sweep, at least 2 samples long */
  double duty;                            /* square: fraction of the period high, 0..1 */
  uint64_t widthSamples;                  /* pulse: >= 1 */
  uint64_t periodSamples;                 /* pulse: > widthSamples, or 0 for random intervals */
  uint64_t minIntervalSamples, maxIntervalSamples; /* pulse with periodSamples 0:
                                                      widthSamples < min <= max */
  int32_t baselineLsb; /* pulse: the level between pulses, -32768..32767 */
  double noiseLsbRms;  /* Gaussian noise added to any waveform: 0..32767 LSB rms */
  uint64_t seed;       /* of the noise and of the pulse intervals */
} KpxWaveSettings;

/** Fills `settings` with the defaults for `waveform` at `sampleRateHz`: a
 *  1 MHz tone (square: 1 MHz, duty 0.5) at -1 dBFS, phase 0, no harmonics; a
 *  chirp over the lower half of the band (rate / 20 to rate * 9 / 20) in
 *  1 ms; pulses of 100 samples every 1000 (random: 500 to 2000) at -1 dBFS
 *  over a baseline of 0; noise -20 dBFS rms; no added noise; seed 1.
 *  A null `settings` is ignored. */
KPXWAVE_API void KpxWave_DefaultSettings(KpxWaveSettings* settings, int32_t waveform,
                                         double sampleRateHz);

/** Checks `settings` and creates a generator positioned at sample 0.
 *  @param settings not kept.
 *  @param wave receives the generator (null on refusal).
 *  @return KPXWAVE_OK, or ERR_NULL, ERR_WAVEFORM, ERR_RATE, ERR_FREQUENCY,
 *  ERR_AMPLITUDE, ERR_ARGUMENT, ERR_NO_MEMORY. */
KPXWAVE_API int32_t KpxWave_Create(const KpxWaveSettings* settings, KpxWave** wave);

/** Frees a generator; null is ignored. */
KPXWAVE_API void KpxWave_Destroy(KpxWave* wave);

/** Writes the next `count` samples (host byte order) and advances by them.
 *  @return KPXWAVE_OK, or ERR_NULL (null wave, or null samples with a
 *  nonzero count). */
KPXWAVE_API int32_t KpxWave_Generate(KpxWave* wave, int16_t* samples, uint64_t count);

/** Like KpxWave_Generate, but writes each sample as 2 bytes little-endian
 *  (the boards' order) whatever the host's. */
KPXWAVE_API int32_t KpxWave_GenerateLittleEndian(KpxWave* wave, uint8_t* bytes, uint64_t count);

/** Moves to sample `index`: the next sample generated is the one that
 *  sample `index` of an uninterrupted run is. Costs a few operations, except
 *  for random-interval pulses (a walk over the intervals up to `index`).
 *  @return KPXWAVE_OK or ERR_NULL. */
KPXWAVE_API int32_t KpxWave_Seek(KpxWave* wave, uint64_t index);

/** The index of the next sample to be generated; 0 for a null wave. */
KPXWAVE_API uint64_t KpxWave_Position(const KpxWave* wave);

/** The highest frequency any waveform takes (tone, multitone, square, the
 *  chirp's start and stop): half the sample rate. The DAC plays real
 *  samples, so a frequency above half the rate would sound as its alias
 *  below it. 0 for a rate that is not above 0 and finite. */
KPXWAVE_API double KpxWave_MaxFrequencyHz(double sampleRateHz);

/** The frequency a tone, multitone (`tone` of them) or square actually
 *  plays, after the phase step's rounding to 2^-64 of the rate; for a chirp
 *  tone 0 is the start, tone 1 the stop. 0 for anything else. */
KPXWAVE_API double KpxWave_ActualFrequencyHz(const KpxWave* wave, uint32_t tone);

/** The text of a result code, e.g. "amplitude above full scale"; never
 *  null. */
KPXWAVE_API const char* KpxWave_ResultText(int32_t result);

#ifdef __cplusplus
}
#endif

#endif /* KPXADAC_WAVEFORM_H */
