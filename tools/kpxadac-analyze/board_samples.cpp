#include "board_samples.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>

#include "kpxadac16.h"
#include "kpxadac_stream.h"
#include "stream_priority.h"

namespace analyze {
namespace {

constexpr uint32_t kBlockBytes = 1u << 20;
constexpr uint32_t kBlockCount = 16;
// A board that delivers nothing for this long has failed.
constexpr int32_t kReadTimeoutMs = 5000;

std::string streamFailure(const char* what, int32_t result) {
  return std::string(what) + ": " + KpxStream_ResultText(result);
}

// Reads `count` samples into `samples`, opening a new stretch after each gap.
std::string readAll(KpxStream* stream, std::vector<int16_t>& samples,
                    std::vector<Stretch>& stretches, std::vector<Gap>& gaps) {
  uint64_t have = 0;
  while (have < samples.size()) {
    KpxStreamReadInfo info{};
    const int32_t result =
        KpxStream_Read(stream, samples.data() + have, samples.size() - have, kReadTimeoutMs, &info);
    if (result != KPXSTREAM_OK) {
      if (result == KPXSTREAM_BOARD_FAILED) {
        KpxStreamStatus status{};
        KpxStream_GetStatus(stream, &status);
        return "board read failed (platform error " + std::to_string(status.platformError) + ")";
      }
      return streamFailure("reading", result);
    }
    if (info.lostBefore > 0) gaps.push_back({have, info.index, info.lostBefore});
    if (info.lostBefore > 0 && have > 0) stretches.push_back({have, 0});
    have += info.samples;
    stretches.back().count = have - stretches.back().start;
  }
  return "";
}

}  // namespace

std::string takeFromBoard(const Options& options, uint64_t count, SampleSet& set) {
  Kpxadac16_Open();
  const BoardType type = options.board.dacBoard ? BOARD_TYPE_DAC : BOARD_TYPE_ADC;
  const char* typeName = options.board.dacBoard ? "DAC" : "ADC";
  const BoardHandle board = Kpxadac16_GetHandle(type, static_cast<uint8_t>(options.board.index));
  if (board == KPXADAC_INVALID_HANDLE)
    return std::string("no ") + typeName + " board with index " +
           std::to_string(options.board.index);

  KpxStreamConfig config{};
  config.board = board;
  config.direction = KPXSTREAM_RECEIVE;
  // Whole 32-bit words, no larger than needed for a short take.
  config.blockBytes =
      static_cast<uint32_t>(std::min<uint64_t>(kBlockBytes, (count * 2 + 3) / 4 * 4));
  config.blockCount = kBlockCount;
  config.setup = kpx::tools::streamSetup(options.board.clock);
  config.sampleLimit = count;
  KpxStream* opened = nullptr;
  if (int32_t result = KpxStream_Open(&config, &opened); result != KPXSTREAM_OK)
    return streamFailure("opening the stream", result);
  const std::unique_ptr<KpxStream, void (*)(KpxStream*)> stream(opened, KpxStream_Close);
  KpxStreamStatus status{};
  KpxStream_GetStatus(stream.get(), &status);
  if (int32_t result = KpxStream_Start(stream.get()); result != KPXSTREAM_OK)
    return streamFailure("starting the stream", result);
  {
    KpxStreamStatus started{};
    KpxStream_GetStatus(stream.get(), &started);
    if (auto note = kpx::tools::streamPriorityNote(started); !note.empty())
      std::fprintf(stderr, "kpxadac-analyze: %s\n", note.c_str());
  }

  auto samples = std::make_shared<std::vector<int16_t>>(count);
  set.stretches = {{0, 0}};
  if (auto reason = readAll(stream.get(), *samples, set.stretches, set.gaps); !reason.empty())
    return reason;

  set.samples = count;
  set.sampleRateHz = status.sampleRateHz;
  set.source = std::string(typeName) + " board " + std::to_string(options.board.index) +
               (status.clock == KPXSTREAM_CLOCK_FIXED ? ", fixed clock" : ", synthesizer clock");
  set.read = [samples](uint64_t start, size_t n, int16_t* out) -> std::string {
    std::memcpy(out, samples->data() + start, n * sizeof(int16_t));
    return "";
  };
  return "";
}

}  // namespace analyze
