// The waveform generator (kpxadac_waveform.h) making blocks as kpxadac-generate
// does: tone and chirp, 1 MiB blocks (512 Ki samples) one after the other on
// one core. A DAC board takes 105 M samples a second at the synthesizer's
// rate; the goal is ten times that.
#include <benchmark/benchmark.h>

#include <vector>

#include "kpxadac_waveform.h"

namespace {

constexpr uint64_t kBlockSamples = 1u << 19;

void generate(benchmark::State& state, int32_t waveform) {
  KpxWaveSettings settings;
  KpxWave_DefaultSettings(&settings, waveform, 105e6);
  settings.frequenciesHz[0] = 5.1e6;
  settings.amplitudeDbfs = -6;
  KpxWave* wave = nullptr;
  if (KpxWave_Create(&settings, &wave) != KPXWAVE_OK) {
    state.SkipWithError("the generator refused its settings");
    return;
  }
  std::vector<uint8_t> block(kBlockSamples * 2);
  for (auto _ : state) {
    KpxWave_GenerateLittleEndian(wave, block.data(), kBlockSamples);
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) *
                          static_cast<int64_t>(kBlockSamples));
  KpxWave_Destroy(wave);
}

void BM_WaveTone(benchmark::State& state) {
  generate(state, KPXWAVE_TONE);
}
BENCHMARK(BM_WaveTone)->Unit(benchmark::kMicrosecond);

void BM_WaveChirp(benchmark::State& state) {
  generate(state, KPXWAVE_CHIRP);
}
BENCHMARK(BM_WaveChirp)->Unit(benchmark::kMicrosecond);

}  // namespace
