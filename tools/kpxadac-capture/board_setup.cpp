#include "board_setup.h"

#include "bitstream_result_text.h"

namespace capture {

std::string findBoard(const Options& options, BoardChoice& board) {
  Kpxadac16_Open();
  const BoardType type = options.dacBoard ? BOARD_TYPE_DAC : BOARD_TYPE_ADC;
  const auto index = static_cast<uint8_t>(options.index);
  board.typeName = options.dacBoard ? "DAC" : "ADC";
  board.index = options.index;
  board.handle = Kpxadac16_GetHandle(type, index);
  if (board.handle == KPXADAC_INVALID_HANDLE)
    return std::string("no ") + board.typeName + " board with index " +
           std::to_string(options.index);
  board.boardId = Kpxadac16_GetBoardId(type, index);
  return "";
}

std::string loadBitstream(const BoardChoice& board, const std::string& path) {
  const int32_t result = Kpxadac16_LoadBitstreamFile(board.handle, path.c_str());
  if (result == KPXADAC16_BITSTREAM_LOADED) return "";
  return "bitstream " + path + " not loaded: result " + std::to_string(result) + " (" +
         kpxadac16BitstreamResultText(result) + ")";
}

std::string openStream(const BoardChoice& board, const Options& options, KpxStream*& stream,
                       bool& synthesizer) {
  KpxStreamConfig config{};
  config.board = board.handle;
  config.direction = KPXSTREAM_RECEIVE;
  config.blockBytes = options.chunkBytes;
  config.blockCount = options.ringBuffers;
  switch (options.clock) {
    case ClockChoice::kAsBoardReports:
      config.setup = KPXSTREAM_SETUP_AUTO_CLOCK;
      break;
    case ClockChoice::kFixed:
      config.setup = KPXSTREAM_SETUP_FIXED_CLOCK;
      break;
    case ClockChoice::kSynthesizer:
      config.setup = KPXSTREAM_SETUP_SYNTHESIZER;
      break;
  }
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
