// Receive demo: captures 81920 bytes from the first ADC board's streaming
// channel into "talvo_rx_data.bin", reports the channel's error counters and
// waits for Enter.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "kpxadac16.h"
#include "kpxadc.h"
#include "kpxadac_board.h"
#include "platform/platform.h"

namespace {

constexpr uint32_t kCaptureBytes = 81920;
constexpr uint32_t kCustomRegister0 = 112;
constexpr const char* kOutputFile = "talvo_rx_data.bin";

// Waits for Enter. Keystrokes typed during the capture are dropped first, so
// only an Enter pressed after the final message ends the program. Without an
// interactive console there is nobody to press Enter: the program just ends.
void waitForEnter() {
  namespace platform = kpx::platform;
  std::fflush(stdout);
  if (!platform::consoleIsInteractive()) return;
  while (platform::consoleKeyWaiting()) {
    if (platform::consoleReadChar() < 0) return;  // end of input
  }
  platform::consoleReadChar();
}

}  // namespace

int main() {
  std::printf("=====================================================\n");
  std::printf("   KPX-ADAC Talvo RX Demo, version: 1.2              \n");
  std::printf("=====================================================\n\n");

  Kpxadac16_Open();
  BoardHandle board = Kpxadac16_GetHandle(BOARD_TYPE_ADC, 0);
  if (board == KPXADAC_INVALID_HANDLE) {
    std::printf("Board %s [%d] not found! \n", "KPX-ADC", 0);
    return -1;
  }

  auto* buffer = static_cast<unsigned char*>(std::malloc(kCaptureBytes));
  if (!buffer) {
    std::printf("Error allocating input buffer! Exiting...\n");
    return -1;
  }
  std::memset(buffer, 0, kCaptureBytes);

  std::FILE* file = std::fopen(kOutputFile, "wb");
  if (!file) {
    std::printf("ERROR OPENING RX FILE!!!\n");
    return -1;
  }

  if (Kpxadac16_GetFixedClock(board) != 0) {
    std::printf("\nUsing ADC V4 ONBOARD FIXED clock...\n");
    KPXADC_SetClockSource(board, 0);
  } else {
    std::printf("\nProgramming clock of ADC to 105 MHz\n");
    ClockSetting clock105MHz;
    KpxBoard_SynthesizerSetting(&clock105MHz);
    KPXADC_SetClockFlags(board, 1, 0);
    KPXADC_ProgramClock(board, &clock105MHz);
  }

  std::printf("\nSetting ADC Run State\n");
  KPXADC_SetRunState(board, 1);

  const uint32_t customRegister0Value = KpxBoard_ReceiveCReg0Value();
  std::printf("Settings KPX Custom regs (writing %u into cReg0)...\n", customRegister0Value);
  Kpxadac16_WriteReg(board, kCustomRegister0, customRegister0Value);

  TalvoReset(board, 0, 0);

  std::printf("\nUploading data from Talvo\n");
  TalvoReadBuffer(board, buffer, kCaptureBytes);

  TalvoErrorCounts counts{};
  if (TalvoGetError(board, &counts) == 0) {
    std::printf("Talvo ERRORs REPORT:\n");
    std::printf("--------------------\n");
    std::printf("RX OVERRUN  COUNT = %u\n", counts.rxOverrunCount);
    std::printf("TX UNDERRUN COUNT = %u\n", counts.txUnderrunCount);
    std::printf("--------------------\n");
  } else {
    std::printf("GET_TALVO_ERROR IOCTL ERROR!!!\n");
  }

  // A write that failed (a full disk) is no capture.
  const bool written = std::fwrite(buffer, 1, kCaptureBytes, file) == kCaptureBytes;
  if (std::fclose(file) != 0 || !written) {
    std::printf("ERROR WRITING RX FILE!!!\n");
    std::free(buffer);
    return -1;
  }
  std::free(buffer);
  kpx::platform::closeHandle(board);

  std::printf("\n\nProgram terminated ...press Enter to exit\n");
  waitForEnter();
  return 0;
}
