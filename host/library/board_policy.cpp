// The board's policy in one place: descriptions, sample rates, the receive
// set-up and the texts of results, for every program and binding to ask.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <vector>

#include "board_catalog.h"
#include "kpxadac_board.h"
#include "kpxadac_ioctl.h"
#include "kpxadc.h"
#include "messages.h"
#include "registry.h"

namespace {

// Synthesizer words for a 105 MHz sample clock, for KPXADC_ProgramClock.
constexpr ClockSetting kSynthesizer105MHz = {{0x10, 0x54, 0x40, 0x00, 0x00, 0x20, 0x00, 0x00, 0x20,
                                              0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x0E}};
constexpr double kSynthesizerRateHz = 105e6;
// The boards' usual fixed clock; the board cannot say, the host may.
constexpr double kDefaultFixedClockRateHz = 100e6;
constexpr uint32_t kReceiveCReg0Value = 412977624u;

// The position of each registered board in description order: by device
// number, boards without one last, in registration order.
std::vector<BoardRecord*> recordsInDescriptionOrder() {
  struct Entry {
    BoardRecord* record;
    kpx::catalog::BoardFacts facts;
  };
  std::vector<Entry> entries;
  for (BoardRecord* r = kpx::firstBoard(); r; r = r->next)
    entries.push_back({r, kpx::catalog::factsOf(r->handle).value_or(kpx::catalog::BoardFacts{})});
  std::stable_sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) {
    const bool aNumbered = a.facts.device >= 0, bNumbered = b.facts.device >= 0;
    if (aNumbered != bNumbered) return aNumbered;
    if (aNumbered) return a.facts.device < b.facts.device;
    return a.facts.registration < b.facts.registration;
  });
  std::vector<BoardRecord*> records;
  for (const Entry& e : entries) records.push_back(e.record);
  return records;
}

int32_t indexAmongType(const BoardRecord* record) {
  int32_t index = 0;
  for (BoardRecord* r = kpx::firstBoard(); r && r != record; r = r->next)
    if (r->type == record->type) ++index;
  return index;
}

void describe(const BoardRecord* record, KpxBoardDescription& d) {
  d = KpxBoardDescription{};
  const auto facts = kpx::catalog::factsOf(record->handle).value_or(kpx::catalog::BoardFacts{});
  d.handle = record->handle;
  d.type = record->type;
  d.index = indexAmongType(record);
  d.device = facts.device;
  d.boardId = record->boardId;
  std::copy(std::begin(facts.ident), std::end(facts.ident), d.ident);
  const char* part = kpx::driver::expectedPart(record->boardId);
  std::snprintf(d.fpgaPart, sizeof d.fpgaPart, "%s", part ? part : "");
  const char* type = record->type == BOARD_TYPE_DAC ? "DAC" : "ADC";
  if (facts.device >= 0)
    std::snprintf(d.label, sizeof d.label, "KPX-ADAC %s %d (board ID 0x%02X, device %d)", type,
                  static_cast<int>(d.index), static_cast<unsigned>(d.boardId & 0xFF),
                  static_cast<int>(facts.device));
  else
    std::snprintf(d.label, sizeof d.label, "KPX-ADAC %s %d (board ID 0x%02X)", type,
                  static_cast<int>(d.index), static_cast<unsigned>(d.boardId & 0xFF));
}

BoardRecord* recordOf(BoardHandle handle) {
  for (BoardRecord* r = kpx::firstBoard(); r; r = r->next)
    if (r->handle == handle) return r;
  return nullptr;
}

double fixedRateOf(BoardHandle handle) {
  const auto facts = kpx::catalog::factsOf(handle);
  return facts && facts->fixedClockRateHz > 0 ? facts->fixedClockRateHz : kDefaultFixedClockRateHz;
}

}  // namespace

extern "C" {

int32_t KpxBoard_Count(void) {
  int32_t count = 0;
  for (BoardRecord* r = kpx::firstBoard(); r; r = r->next) ++count;
  return count;
}

int32_t KpxBoard_Describe(int32_t position, KpxBoardDescription* description) {
  if (!description) return KPXSTREAM_ERR_NULL;
  const auto records = recordsInDescriptionOrder();
  if (position < 0 || static_cast<size_t>(position) >= records.size())
    return KPXSTREAM_ERR_ARGUMENT;
  describe(records[static_cast<size_t>(position)], *description);
  return KPXSTREAM_OK;
}

int32_t KpxBoard_DescribeHandle(BoardHandle handle, KpxBoardDescription* description) {
  if (!description) return KPXSTREAM_ERR_NULL;
  const BoardRecord* record = recordOf(handle);
  if (!record) return KPXSTREAM_ERR_NO_BOARD;
  describe(record, *description);
  return KPXSTREAM_OK;
}

const char* KpxBoard_ExpectedPart(int32_t boardId) {
  return kpx::driver::expectedPart(boardId);
}

double KpxBoard_SynthesizerRateHz(void) {
  return kSynthesizerRateHz;
}

double KpxBoard_FixedClockRateHz(BoardHandle handle) {
  return fixedRateOf(handle);
}

int32_t KpxBoard_SetFixedClockRate(BoardHandle handle, double rateHz) {
  if (!recordOf(handle)) return KPXSTREAM_ERR_NO_BOARD;
  if (!std::isfinite(rateHz) || rateHz <= 0) return KPXSTREAM_ERR_ARGUMENT;
  kpx::catalog::noteFixedClockRate(handle, rateHz);
  return KPXSTREAM_OK;
}

double KpxBoard_ClockRateHz(BoardHandle handle, int32_t clock) {
  switch (clock) {
    case KPXBOARD_CLOCK_FIXED:
      return fixedRateOf(handle);
    case KPXBOARD_CLOCK_SYNTHESIZER:
      return kSynthesizerRateHz;
    default:
      return 0;
  }
}

int32_t KpxBoard_ReportedClock(BoardHandle handle) {
  const BoardRecord* record = recordOf(handle);
  if (!record) return KPXSTREAM_ERR_NO_BOARD;
  // A failed query counts as the fixed clock, as the receive demo takes it.
  return Kpxadac16_GetFixedClock(handle) != 0 ? KPXBOARD_CLOCK_FIXED : KPXBOARD_CLOCK_SYNTHESIZER;
}

int32_t KpxBoard_GetSampleRate(BoardHandle handle, double* rateHz) {
  if (!rateHz) return KPXSTREAM_ERR_NULL;
  *rateHz = 0;
  const BoardRecord* record = recordOf(handle);
  if (!record) return KPXSTREAM_ERR_NO_BOARD;
  int32_t clock = kpx::catalog::factsOf(handle).value_or(kpx::catalog::BoardFacts{}).clockSetUp;
  // Not set up by the library: only the fixed clock can be told for sure.
  if (clock == KPXBOARD_CLOCK_UNKNOWN && record->type == BOARD_TYPE_ADC &&
      Kpxadac16_GetFixedClock(handle) > 0)
    clock = KPXBOARD_CLOCK_FIXED;
  *rateHz = KpxBoard_ClockRateHz(handle, clock);
  return clock;
}

void KpxBoard_SynthesizerSetting(ClockSetting* setting) {
  if (setting) *setting = kSynthesizer105MHz;
}

int32_t KpxBoard_SetupClock(BoardHandle handle, int32_t choice, int32_t* clock) {
  const BoardRecord* record = recordOf(handle);
  if (!record) return KPXSTREAM_ERR_NO_BOARD;
  if (record->type != BOARD_TYPE_ADC) return KPXSTREAM_ERR_DIRECTION;
  if (choice != KPXSTREAM_SETUP_AUTO_CLOCK && choice != KPXSTREAM_SETUP_FIXED_CLOCK &&
      choice != KPXSTREAM_SETUP_SYNTHESIZER)
    return KPXSTREAM_ERR_ARGUMENT;
  bool synthesizer = choice == KPXSTREAM_SETUP_SYNTHESIZER;
  if (choice == KPXSTREAM_SETUP_AUTO_CLOCK) synthesizer = Kpxadac16_GetFixedClock(handle) == 0;
  const int32_t chosen = synthesizer ? KPXBOARD_CLOCK_SYNTHESIZER : KPXBOARD_CLOCK_FIXED;
  if (clock) *clock = chosen;
  kpx::catalog::noteClock(handle, chosen);
  if (synthesizer) {
    KPXADC_SetClockFlags(handle, 1, 0);
    if (KPXADC_ProgramClock(handle, &kSynthesizer105MHz) != 1) return KPXSTREAM_ERR_SYNTHESIZER;
  } else {
    KPXADC_SetClockSource(handle, 0);
    // The source change does not report a clock that never came; ask.
    if (KPXADC_GetClockReady(handle) != 1) return KPXSTREAM_ERR_FIXED_CLOCK;
  }
  return KPXSTREAM_OK;
}

int32_t KpxBoard_StartReceiving(BoardHandle handle) {
  const BoardRecord* record = recordOf(handle);
  if (!record) return KPXSTREAM_ERR_NO_BOARD;
  if (record->type != BOARD_TYPE_ADC) return KPXSTREAM_ERR_DIRECTION;
  KPXADC_SetRunState(handle, 1);
  Kpxadac16_WriteReg(handle, KPXADC_REG_CUSTOM0, kReceiveCReg0Value);
  return KPXSTREAM_OK;
}

int32_t KpxBoard_ResetChannel(BoardHandle handle) {
  if (!recordOf(handle)) return KPXSTREAM_ERR_NO_BOARD;
  return TalvoReset(handle, 0, 0) == 0 ? KPXSTREAM_OK : KPXSTREAM_ERR_RESET;
}

uint32_t KpxBoard_ReceiveCReg0Value(void) {
  return kReceiveCReg0Value;
}

const char* KpxBoard_ErrorText(BoardError error) {
  switch (error) {
    case ERR_NOT_IDLE:
      return "the board was busy";
    case ERR_CANCELLED:
      return "the transfer was cancelled";
    case ERR_REQUEST_FAILED:
      return "a driver request failed";
    case ERR_READ_FAILED:
      return "the driver's read failed";
    case ERR_WRITE_FAILED:
      return "the driver's write failed";
    case ERR_NO_BOARD:
      return "the board is not registered";
    default:
      return nullptr;
  }
}

const char* KpxBoard_BitstreamResultText(int32_t result) {
  switch (result) {
    case 0:
      return "loaded";
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
    case KPXADAC16_BITFILE_DIRECTORY:
      return "the path names a directory, not a .bit file";
    case KPXADAC16_BITFILE_NOT_REGULAR:
      return "the path names a FIFO or a device, not a regular file";
    case -1:
      return "the download request failed";
    default:
      return "the driver refused the image";
  }
}

int32_t KpxBoard_SetMessageOutput(int32_t output) {
  const int32_t previous = kpx::setMessageOutput(output);
  return previous < 0 ? KPXSTREAM_ERR_ARGUMENT : previous;
}

}  // extern "C"
