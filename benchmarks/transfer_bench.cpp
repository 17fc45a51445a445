// Library overhead on a streaming read: TalvoReadBuffer against the
// platform layer's read of the same length from the same board, with and
// without the announcement of the transfer words. 64 MiB shows the share of
// a large transfer, 4 KiB the fixed cost of one call.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstring>
#include <memory>

#include "bench_board.h"
#include "kpxadac_ioctl.h"
#include "platform/platform.h"

namespace {

constexpr uint32_t kLargeRead = 64u << 20;
constexpr uint32_t kSmallRead = 4096;

// One buffer for every read, touched once so that no run pays for faulting
// its pages in.
uint8_t* readBuffer() {
  static const std::unique_ptr<uint8_t[]> buffer = [] {
    auto b = std::make_unique<uint8_t[]>(kLargeRead);
    std::memset(b.get(), 0, kLargeRead);
    return b;
  }();
  return buffer.get();
}

void checkMoved(benchmark::State& state, uint32_t moved, uint32_t length) {
  if (moved != length) state.SkipWithError("the read delivered less than asked");
}

void countBytes(benchmark::State& state, uint32_t length) {
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * length);
}

void BM_TalvoReadBuffer(benchmark::State& state) {
  const BoardHandle board = bench::benchBoard();
  uint8_t* buffer = readBuffer();
  const auto length = static_cast<uint32_t>(state.range(0));
  for (auto _ : state) {
    checkMoved(state, TalvoReadBuffer(board, buffer, length), length);
    benchmark::ClobberMemory();
  }
  countBytes(state, length);
}
BENCHMARK(BM_TalvoReadBuffer)->Arg(kLargeRead)->Arg(kSmallRead)->UseRealTime();

void BM_PlatformReadAnnounced(benchmark::State& state) {
  const auto handle = static_cast<kpx::platform::Handle>(bench::benchBoard());
  uint8_t* buffer = readBuffer();
  const auto length = static_cast<uint32_t>(state.range(0));
  const uint32_t words = length / 4;
  for (auto _ : state) {
    uint32_t returned = 0, moved = 0;
    kpx::platform::deviceControl(handle, kpx::driver::IOCTL_SET_TRANSFER_WORDS, &words,
                                 sizeof words, nullptr, 0, &returned);
    kpx::platform::readFile(handle, buffer, length, &moved);
    checkMoved(state, moved, length);
    benchmark::ClobberMemory();
  }
  countBytes(state, length);
}
BENCHMARK(BM_PlatformReadAnnounced)->Arg(kLargeRead)->Arg(kSmallRead)->UseRealTime();

// The same announced reads in the library's chunks (TALVO_MAX_CHUNK, then
// the rest): what the library adds beyond the chunking it must do.
void BM_PlatformReadChunked(benchmark::State& state) {
  const auto handle = static_cast<kpx::platform::Handle>(bench::benchBoard());
  uint8_t* buffer = readBuffer();
  const auto length = static_cast<uint32_t>(state.range(0));
  for (auto _ : state) {
    uint32_t total = 0;
    while (total < length) {
      const uint32_t chunk = std::min<uint32_t>(length - total, TALVO_MAX_CHUNK);
      const uint32_t words = chunk / 4;
      uint32_t returned = 0, moved = 0;
      kpx::platform::deviceControl(handle, kpx::driver::IOCTL_SET_TRANSFER_WORDS, &words,
                                   sizeof words, nullptr, 0, &returned);
      kpx::platform::readFile(handle, buffer + total, chunk, &moved);
      total += moved;
      if (moved == 0) break;
    }
    checkMoved(state, total, length);
    benchmark::ClobberMemory();
  }
  countBytes(state, length);
}
BENCHMARK(BM_PlatformReadChunked)->Arg(kLargeRead)->Arg(kSmallRead)->UseRealTime();

void BM_PlatformRead(benchmark::State& state) {
  const auto handle = static_cast<kpx::platform::Handle>(bench::benchBoard());
  uint8_t* buffer = readBuffer();
  const auto length = static_cast<uint32_t>(state.range(0));
  for (auto _ : state) {
    uint32_t moved = 0;
    kpx::platform::readFile(handle, buffer, length, &moved);
    checkMoved(state, moved, length);
    benchmark::ClobberMemory();
  }
  countBytes(state, length);
}
BENCHMARK(BM_PlatformRead)->Arg(kLargeRead)->Arg(kSmallRead)->UseRealTime();

}  // namespace
