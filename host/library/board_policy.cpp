// The board's policy in one place: descriptions, sample rates, the receive
// set-up, for every program and binding to ask (the texts: result_texts.cpp).
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "board_catalog.h"
#include "kpxadac_board.h"
#include "kpxadac_ioctl.h"
#include "kpxadc.h"
#include "messages.h"
#include "platform/platform.h"
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

// The library's one clock rule, for an AUTO set-up: any nonzero answer of
// the fixed-clock query (a failed query included, as the receive demo takes
// it) is the fixed clock.
int32_t autoClock(BoardHandle handle) {
  return Kpxadac16_GetFixedClock(handle) != 0 ? KPXBOARD_CLOCK_FIXED : KPXBOARD_CLOCK_SYNTHESIZER;
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

const char* KpxBoard_PlatformProblem(void) {
  thread_local std::string problem;
  problem = kpx::platform::backendProblem();
  return problem.c_str();
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
  return autoClock(handle);
}

int32_t KpxBoard_ClockPlan(BoardHandle handle, int32_t choice, KpxClockPlan* plan) {
  if (!plan) return KPXSTREAM_ERR_NULL;
  *plan = KpxClockPlan{KPXBOARD_CLOCK_UNKNOWN, 0, "", ""};
  int32_t clock = KPXBOARD_CLOCK_UNKNOWN;
  switch (choice) {
    case KPXSTREAM_SETUP_AUTO_CLOCK:
      if (!recordOf(handle)) return KPXSTREAM_ERR_NO_BOARD;
      clock = autoClock(handle);
      break;
    case KPXSTREAM_SETUP_FIXED_CLOCK:
      clock = KPXBOARD_CLOCK_FIXED;
      break;
    case KPXSTREAM_SETUP_SYNTHESIZER:
      clock = KPXBOARD_CLOCK_SYNTHESIZER;
      break;
    default:
      return KPXSTREAM_ERR_ARGUMENT;
  }
  const bool fixed = clock == KPXBOARD_CLOCK_FIXED;
  plan->clock = clock;
  plan->rateHz = KpxBoard_ClockRateHz(handle, clock);
  plan->name = fixed ? "onboard fixed clock" : "clock synthesizer";
  plan->key = fixed ? "fixed" : "synthesizer";
  return KPXSTREAM_OK;
}

int32_t KpxBoard_GetSampleRate(BoardHandle handle, double* rateHz) {
  if (!rateHz) return KPXSTREAM_ERR_NULL;
  *rateHz = 0;
  const BoardRecord* record = recordOf(handle);
  if (!record) return KPXSTREAM_ERR_NO_BOARD;
  int32_t clock = kpx::catalog::factsOf(handle).value_or(kpx::catalog::BoardFacts{}).clockSetUp;
  // Not set up by the library: only the fixed clock can be told for sure.
  if (clock == KPXBOARD_CLOCK_UNKNOWN && record->type == BOARD_TYPE_ADC &&
      autoClock(handle) == KPXBOARD_CLOCK_FIXED)
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
  KpxClockPlan plan{};
  KpxBoard_ClockPlan(handle, choice, &plan);
  const int32_t chosen = plan.clock;
  const bool synthesizer = chosen == KPXBOARD_CLOCK_SYNTHESIZER;
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

int32_t KpxBoard_SetMessageOutput(int32_t output) {
  const int32_t previous = kpx::setMessageOutput(output);
  return previous < 0 ? KPXSTREAM_ERR_ARGUMENT : previous;
}

}  // extern "C"
