// The acquisition API against a plain TalvoReadBuffer loop with the same
// block size, on the same unpaced board: the consumer only releases blocks,
// so the figure is what the stream's thread, ring and counter reads cost.
#include <benchmark/benchmark.h>

#include <cstring>
#include <memory>

#include "bench_board.h"
#include "kpxadac_stream.h"

namespace {

// Blocks of 256 KiB keep a ring of 4 in the cache, as a plain loop's one
// buffer is; 4 MiB blocks are kpxadac-capture's default.
constexpr uint32_t kRingBlocks = 2;

void BM_TalvoReadLoop(benchmark::State& state) {
  const BoardHandle board = bench::benchBoard();
  const auto blockBytes = static_cast<uint32_t>(state.range(0));
  auto buffer = std::make_unique<uint8_t[]>(blockBytes);
  std::memset(buffer.get(), 0, blockBytes);
  for (auto _ : state) {
    if (TalvoReadBuffer(board, buffer.get(), blockBytes) != blockBytes)
      state.SkipWithError("the read delivered less than asked");
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * blockBytes);
}
BENCHMARK(BM_TalvoReadLoop)->Arg(256 << 10)->Arg(4 << 20)->UseRealTime();

// The same loop over as many buffers as the stream's ring has: the memory
// traffic of the stream without its thread.
void BM_TalvoReadLoopOverRing(benchmark::State& state) {
  const BoardHandle board = bench::benchBoard();
  const auto blockBytes = static_cast<uint32_t>(state.range(0));
  auto buffer = std::make_unique<uint8_t[]>(size_t{blockBytes} * kRingBlocks);
  std::memset(buffer.get(), 0, size_t{blockBytes} * kRingBlocks);
  uint32_t next = 0;
  for (auto _ : state) {
    uint8_t* block = buffer.get() + size_t{blockBytes} * next;
    next = (next + 1) % kRingBlocks;
    if (TalvoReadBuffer(board, block, blockBytes) != blockBytes)
      state.SkipWithError("the read delivered less than asked");
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * blockBytes);
}
BENCHMARK(BM_TalvoReadLoopOverRing)->Arg(256 << 10)->Arg(4 << 20)->UseRealTime();

void BM_StreamAcquireRelease(benchmark::State& state) {
  const auto blockBytes = static_cast<uint32_t>(state.range(0));
  KpxStreamConfig config{};
  config.board = bench::benchBoard();
  config.direction = KPXSTREAM_RECEIVE;
  config.blockBytes = blockBytes;
  config.blockCount = kRingBlocks;
  config.setup = KPXSTREAM_SETUP_NONE;
  KpxStream* stream = nullptr;
  if (KpxStream_Open(&config, &stream) != KPXSTREAM_OK || KpxStream_Start(stream) != KPXSTREAM_OK) {
    state.SkipWithError("the stream did not start");
    KpxStream_Close(stream);
    return;
  }
  KpxStreamBlock block{};
  for (auto _ : state) {
    if (KpxStream_AcquireRead(stream, &block, -1) != KPXSTREAM_OK) {
      state.SkipWithError("the stream ended");
      break;
    }
    KpxStream_ReleaseRead(stream, &block);
  }
  KpxStream_Close(stream);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * blockBytes);
}
BENCHMARK(BM_StreamAcquireRelease)->Arg(256 << 10)->Arg(4 << 20)->UseRealTime();

}  // namespace
