// Register access: Kpxadac16_ReadReg against the bare control request it
// makes, in requests per second.
#include <benchmark/benchmark.h>

#include "bench_board.h"
#include "kpxadac_ioctl.h"
#include "platform/platform.h"

namespace {

constexpr uint32_t kRegisterOffset = 112;  // cReg0, a plain register

void BM_ReadReg(benchmark::State& state) {
  const BoardHandle board = bench::benchBoard();
  for (auto _ : state) benchmark::DoNotOptimize(Kpxadac16_ReadReg(board, kRegisterOffset));
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}
BENCHMARK(BM_ReadReg);

void BM_PlatformGetHsreg(benchmark::State& state) {
  const auto handle = static_cast<kpx::platform::Handle>(bench::benchBoard());
  for (auto _ : state) {
    const uint32_t offset = kRegisterOffset;
    uint32_t value = 0, returned = 0;
    const bool ok = kpx::platform::deviceControl(handle, kpx::driver::IOCTL_GET_HSREG, &offset,
                                                 sizeof offset, &value, sizeof value, &returned);
    benchmark::DoNotOptimize(ok);
    benchmark::DoNotOptimize(value);
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}
BENCHMARK(BM_PlatformGetHsreg);

}  // namespace
