#include "board_setup.h"

#include <algorithm>
#include <cmath>

#include "kpxadac_board.h"

namespace capture {

std::string findBoard(const Options& options, BoardChoice& board) {
  Kpxadac16_Open();
  const BoardType type = options.board.dacBoard ? BOARD_TYPE_DAC : BOARD_TYPE_ADC;
  const auto index = static_cast<uint8_t>(options.board.index);
  board.typeName = options.board.dacBoard ? "DAC" : "ADC";
  board.index = options.board.index;
  board.handle = Kpxadac16_GetHandle(type, index);
  if (board.handle == KPXADAC_INVALID_HANDLE)
    return std::string("no ") + board.typeName + " board with index " +
           std::to_string(options.board.index);
  board.boardId = Kpxadac16_GetBoardId(type, index);
  return "";
}

std::string loadBitstream(const BoardChoice& board, const std::string& path) {
  const int32_t result = Kpxadac16_LoadBitstreamFile(board.handle, path.c_str());
  if (result == 0) return "";
  return "bitstream " + path + " not loaded: result " + std::to_string(result) + " (" +
         KpxBoard_BitstreamResultText(result) + ")";
}

RingSize ringForSeconds(const Options& options, double rateHz) {
  // A short capture needs no more than it will read.
  const double seconds = std::min(options.ringSeconds, options.durationSeconds.value_or(1e9));
  double blocks = std::ceil(seconds * rateHz * 2 / options.chunkBytes);
  if (options.samples)
    blocks =
        std::min(blocks, std::ceil(static_cast<double>(*options.samples) * 2 / options.chunkBytes));
  const auto mostBlocks =
      static_cast<double>(std::min<uint64_t>(kMaxRingBuffers, kMaxRingBytes / options.chunkBytes));
  RingSize ring;
  // A rate that is not a number asks for no particular size: the least.
  if (std::isnan(blocks)) blocks = 0;
  ring.cutToMemoryLimit = blocks + 1 > mostBlocks && mostBlocks < kMaxRingBuffers;
  ring.blocks = static_cast<unsigned>(std::clamp(blocks + 1, 2.0, mostBlocks));
  return ring;
}

std::string openStream(const BoardChoice& board, const Options& options, const RingSize& ring,
                       KpxStream*& stream, bool& synthesizer) {
  KpxStreamConfig config{};
  config.board = board.handle;
  config.direction = KPXSTREAM_RECEIVE;
  config.blockBytes = options.chunkBytes;
  config.blockCount = options.ringBuffers.value_or(ring.blocks);
  config.setup = kpx::tools::streamSetup(options.board.clock);
  config.flags = options.realtimeReading ? 0 : KPXSTREAM_FLAG_NORMAL_PRIORITY;
  const int32_t result = KpxStream_Open(&config, &stream);
  if (result != KPXSTREAM_OK) return KpxStream_ResultText(result);
  KpxStreamStatus status{};
  KpxStream_GetStatus(stream, &status);
  synthesizer = status.clock == KPXSTREAM_CLOCK_SYNTHESIZER;
  return "";
}

std::string startStream(KpxStream* stream) {
  const int32_t result = KpxStream_Start(stream);
  return result == KPXSTREAM_OK ? "" : KpxStream_ResultText(result);
}

}  // namespace capture
