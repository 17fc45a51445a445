#include "board_setup.h"

namespace capture {

namespace {

// The driver answers a download it accepted with this result word.
constexpr int32_t kDriverSuccess = 0;

const char* bitstreamRefusal(int32_t code) {
  switch (code) {
    case 1:
      return "file not found";
    case 2:
      return "the board was busy";
    case 3:
      return "the board is not registered";
    case 4:
      return "no FPGA part is known for the board ID";
    case 6:
      return "the board's identification failed";
    case 7:
      return "the file's FPGA part does not match the board";
    case 8:
      return "not a .bit file";
    case KPXADAC16_BITFILE_UNREADABLE:
      return "the file could not be read";
    case KPXADAC16_BITFILE_TOO_LARGE:
      return "the file is too large";
    case KPXADAC16_BITFILE_NO_MEMORY:
      return "out of memory";
    case KPXADAC16_BITFILE_BAD_HEADER:
      return "the .bit header is damaged";
    case KPXADAC16_BITFILE_PART_TOO_LONG:
      return "the part name in the file is too long";
    case -1:
      return "the download request failed";
    default:
      return "the driver refused the image";
  }
}

}  // namespace

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
  if (result == kDriverSuccess) return "";
  return "bitstream " + path + " not loaded: result " + std::to_string(result) + " (" +
         bitstreamRefusal(result) + ")";
}

std::string openStream(const BoardChoice& board, const Options& options, KpxStream*& stream,
                       bool& synthesizer) {
  KpxStreamConfig config{};
  config.board = board.handle;
  config.direction = KPXSTREAM_RECEIVE;
  config.blockBytes = options.chunkBytes;
  config.blockCount = options.ringBuffers;
  config.setup = kpx::tools::streamSetup(options.board.clock);
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
