// Runs the benchmarks against the virtual boards with their journal off, so
// that what is measured is the library and the board model, not the record
// kept for tests.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "bench_board.h"
#include "kpxadc.h"
#include "virtual_boards/virtual_rack.h"

namespace bench {

BoardHandle benchBoard() {
  static const BoardHandle handle = [] {
    const std::string reason = kpx::sim::configure(R"({"boards":[{"device":0}]})");
    if (!reason.empty() || Kpxadac16_Open() < 1) {
      std::fprintf(stderr, "kpxadac_bench: no virtual board: %s\n", reason.c_str());
      std::exit(1);
    }
    const BoardHandle h = Kpxadac16_GetHandle(BOARD_TYPE_ADC, 0);
    KPXADC_SetRunState(h, 1);
    return h;
  }();
  return handle;
}

}  // namespace bench

int main(int argc, char** argv) {
  kpx::sim::setJournalEnabled(false);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  bench::benchBoard();
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
