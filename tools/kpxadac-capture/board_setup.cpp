#include "board_setup.h"

#include "bitstream_result_text.h"
#include "kpxadc.h"
#include "kpxadc_receive_settings.h"

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

std::string setUpClock(const BoardChoice& board, ClockChoice choice, bool& synthesizer) {
  // As the receive demo: any nonzero answer, a failed query included, means
  // the onboard fixed clock.
  synthesizer = choice == ClockChoice::kSynthesizer || (choice == ClockChoice::kAsBoardReports &&
                                                        Kpxadac16_GetFixedClock(board.handle) == 0);
  if (synthesizer) {
    KPXADC_SetClockFlags(board.handle, 1, 0);
    if (KPXADC_ProgramClock(board.handle, &kKpxadcClock105MHz) != 1)
      return "the clock synthesizer did not become ready";
  } else {
    KPXADC_SetClockSource(board.handle, 0);
    // The source change does not report a clock that never came; ask.
    if (KPXADC_GetClockReady(board.handle) != 1) return "the fixed clock did not become ready";
  }
  return "";
}

std::string startChannel(const BoardChoice& board, uint32_t& overrunCount) {
  KPXADC_SetRunState(board.handle, 1);
  Kpxadac16_WriteReg(board.handle, KPXADC_REG_CUSTOM0, KPXADC_RECEIVE_CREG0_VALUE);
  if (TalvoReset(board.handle, 0, 0) != 0) return "the streaming channel could not be reset";
  TalvoErrorCounts counts{};
  if (TalvoGetError(board.handle, &counts) != 0)
    return "the streaming channel's error counters cannot be read";
  overrunCount = counts.rxOverrunCount;
  return "";
}

}  // namespace capture
