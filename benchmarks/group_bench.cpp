// Groups (kpxadac_group.h): the time to align one board's window against
// board 0's (KpxGroup_Align: FFT cross-correlation, sub-sample peak, drift),
// the FFT alone, and a group of real-time virtual boards read for a while
// with its overruns. scripts/bench.sh (section "group") prints the figures.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "group/alignment.h"
#include "group/fft.h"
#include "kpxadac_group.h"
#include "virtual_boards/virtual_rack.h"

namespace {

// Two windows of `count` samples: noise, and the same noise 1234 samples
// on with noise of its own (the second board).
void windows(size_t count, std::vector<int16_t>& reference, std::vector<int16_t>& other) {
  constexpr size_t kShift = 1234;
  std::mt19937 generator(3);
  std::normal_distribution<double> normal(0.0, 3000.0);
  std::vector<int16_t> source(count + kShift);
  for (int16_t& v : source) v = static_cast<int16_t>(std::lround(normal(generator)));
  reference.assign(source.begin(), source.begin() + static_cast<std::ptrdiff_t>(count));
  other.resize(count);
  std::normal_distribution<double> own(0.0, 100.0);
  for (size_t i = 0; i < count; ++i)
    other[i] = static_cast<int16_t>(source[i + kShift] + std::lround(own(generator)));
}

// One board against board 0; state.range(0) samples per window.
void BM_GroupAlign(benchmark::State& state) {
  const size_t count = static_cast<size_t>(state.range(0));
  std::vector<int16_t> reference, other;
  windows(count, reference, other);
  KpxGroupAlignment result{};
  for (auto _ : state) {
    if (KpxGroup_Align(reference.data(), other.data(), count, &result) != KPXGROUP_OK ||
        result.result != KPXGROUP_ALIGN_OK || std::llround(result.offset) != 1234) {
      state.SkipWithError("the alignment failed");
      return;
    }
    benchmark::DoNotOptimize(result);
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_GroupAlign)->Arg(1 << 16)->Arg(1 << 20)->Unit(benchmark::kMillisecond);

// One board inside KpxGroup_Measure, which transforms board 0's window once
// (BM_GroupAlignReference) and keeps its buffers from one board to the next
// (no fresh pages to fault in).
void BM_GroupAlignInMeasure(benchmark::State& state) {
  const size_t count = static_cast<size_t>(state.range(0));
  std::vector<int16_t> reference, other;
  windows(count, reference, other);
  KpxGroupAlignment result{};
  kpxgroup::AlignWork work;
  kpxgroup::prepareReference(reference.data(), count, work);
  for (auto _ : state) {
    kpxgroup::alignPrepared(other.data(), result, work);
    if (result.result != KPXGROUP_ALIGN_OK || std::llround(result.offset) != 1234) {
      state.SkipWithError("the alignment failed");
      return;
    }
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_GroupAlignInMeasure)->Arg(1 << 20)->Unit(benchmark::kMillisecond);

// Board 0's part of a measure, once for all boards.
void BM_GroupAlignReference(benchmark::State& state) {
  const size_t count = static_cast<size_t>(state.range(0));
  std::vector<int16_t> reference, other;
  windows(count, reference, other);
  kpxgroup::AlignWork work;
  for (auto _ : state) {
    kpxgroup::prepareReference(reference.data(), count, work);
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_GroupAlignReference)->Arg(1 << 20)->Unit(benchmark::kMillisecond);

// A forward and an inverse transform of state.range(0) points.
void BM_GroupFft(benchmark::State& state) {
  const size_t size = static_cast<size_t>(state.range(0));
  const kpxgroup::Fft<float> fft(size);
  std::vector<float> re(size, 0.5f), im(size, 0.25f);
  for (auto _ : state) {
    fft.forward(re.data(), im.data());
    fft.inverse(re.data(), im.data());
    for (size_t i = 0; i < size; ++i) re[i] *= 1.0f / static_cast<float>(size);
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_GroupFft)->Arg(1 << 21)->Unit(benchmark::kMillisecond);

}  // namespace

// With --realtime BOARDS SECONDS: that many real-time 105 MHz virtual boards
// read as one group (the consumer touches every sample) for SECONDS, then
// one line: samples per board, overruns, lost samples. Else the benchmarks.
int main(int argc, char** argv) {
  if (argc == 4 && std::string(argv[1]) == "--realtime") {
    const int boards = std::atoi(argv[2]);
    const double seconds = std::atof(argv[3]);
    if (boards < 1 || boards > KPXGROUP_MAX_BOARDS || !(seconds > 0)) {
      std::fprintf(stderr, "kpxadac_group_bench: --realtime BOARDS(1..64) SECONDS\n");
      return 1;
    }
    std::string rack = R"({"boards": [)";
    for (int i = 0; i < boards; ++i)
      rack += (i ? ", " : "") + std::string(R"({"device": )") + std::to_string(i) +
              R"(, "realtime": true, "signal": {"type": "ramp"}})";
    if (const std::string reason = kpx::sim::configure(rack + "]}"); !reason.empty()) {
      std::fprintf(stderr, "kpxadac_group_bench: %s\n", reason.c_str());
      return 1;
    }
    Kpxadac16_Open();
    KpxGroupConfig config{};
    config.direction = KPXSTREAM_RECEIVE;
    config.count = static_cast<uint32_t>(boards);
    for (int i = 0; i < boards; ++i) config.boards[i] = i;
    config.setup = KPXSTREAM_SETUP_AUTO_CLOCK;
    config.blockSamples = 1 << 20;
    config.blockCount = 32;
    config.sampleLimit = static_cast<uint64_t>(seconds * 105e6);
    KpxGroup* group = nullptr;
    int32_t result = KpxGroup_Open(&config, &group, nullptr);
    if (result == KPXGROUP_OK) result = KpxGroup_Start(group);
    if (result != KPXGROUP_OK) {
      std::fprintf(stderr, "kpxadac_group_bench: %s\n", KpxGroup_ResultText(result));
      KpxGroup_Close(group);
      return 1;
    }
    KpxGroupBlock block{};
    uint64_t sum = 0;
    while ((result = KpxGroup_AcquireRead(group, &block, 10000)) == KPXGROUP_OK) {
      for (uint32_t b = 0; b < block.count; ++b)
        for (uint32_t j = 0; j < block.samples; j += 64)
          sum += static_cast<uint16_t>(block.boards[b].samples[j]);
      KpxGroup_ReleaseRead(group, &block);
    }
    benchmark::DoNotOptimize(sum);
    KpxGroupStatus status{};
    KpxGroup_GetStatus(group, &status);
    uint64_t lost = 0;
    for (int i = 0; i < boards; ++i) lost += status.lostSamples[i];
    std::printf(
        "%d boards x 105 MHz read as a group for %.0f s: %s, %llu group samples, "
        "%llu samples lost over all boards, start skew %.1f us (%llu samples)\n",
        boards, seconds, KpxGroup_ResultText(result),
        static_cast<unsigned long long>(status.groupSamples), static_cast<unsigned long long>(lost),
        static_cast<double>(status.startSkewNs) / 1e3,
        static_cast<unsigned long long>(status.startSkewSamples));
    KpxGroup_Close(group);
    return result == KPXGROUP_COMPLETE ? 0 : 1;
  }
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
