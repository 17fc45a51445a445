// The virtual boards' sample generation, tone and ramp, against a plain
// memcpy of the same size: the boards must make samples far faster than
// any real board delivers them (210 MB/s at 105 MHz).
#include <benchmark/benchmark.h>

#include <cstring>
#include <memory>

#include "virtual_boards/signal_generator.h"

namespace {

constexpr size_t kBytes = 64u << 20;

struct Buffers {
  std::unique_ptr<uint8_t[]> source = std::make_unique<uint8_t[]>(kBytes);
  std::unique_ptr<uint8_t[]> target = std::make_unique<uint8_t[]>(kBytes);
  Buffers() {
    std::memset(source.get(), 0x5A, kBytes);
    std::memset(target.get(), 0, kBytes);
  }
};

Buffers& buffers() {
  static Buffers b;
  return b;
}

void generate(benchmark::State& state, int32_t waveform) {
  kpx::sim::SignalSettings settings;
  settings.wave.waveform = waveform;
  std::string reason;
  const auto source = kpx::sim::SampleSource::make(settings, 105e6, reason);
  uint8_t* target = buffers().target.get();
  // Each pass continues the stream, as consecutive reads do.
  uint64_t position = 0;
  for (auto _ : state) {
    source->fillBytes(target, position, kBytes);
    position += kBytes;
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(kBytes));
}

void BM_GenerateTone(benchmark::State& state) {
  generate(state, KPXWAVE_TONE);
}
BENCHMARK(BM_GenerateTone)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_GenerateRamp(benchmark::State& state) {
  generate(state, KPXWAVE_RAMP);
}
BENCHMARK(BM_GenerateRamp)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_Memcpy(benchmark::State& state) {
  Buffers& b = buffers();
  for (auto _ : state) {
    std::memcpy(b.target.get(), b.source.get(), kBytes);
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(kBytes));
}
BENCHMARK(BM_Memcpy)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
