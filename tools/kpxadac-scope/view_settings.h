// What the page can change while the scope runs: the board, the spectrum's
// FFT size, window and averaging, and the waveform's trigger: mode, edge,
// level and hysteresis.
#pragma once

#include <cstddef>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "kpxadac/analysis.h"

namespace scope {

using kpx::analysis::kMaxFftSize;
using kpx::analysis::kMinFftSize;
inline constexpr unsigned kMaxAveraging = 10000;

// The trigger modes of an oscilloscope: auto (a free-running waveform when
// no edge comes), normal (the waveform changes only on a trigger), single
// (one record, held until re-armed).
enum class TriggerMode { kAuto, kNormal, kSingle };

struct ViewSettings {
  unsigned board = 0;  // index among the ADC boards
  size_t fftSize = 65536;
  kpx::analysis::Window window = kpx::analysis::Window::kBlackmanHarris4;
  unsigned averaging = 8;  // spectra in the average
  int triggerLevel = 0;    // LSB
  TriggerMode triggerMode = TriggerMode::kAuto;
  int triggerEdge = 0;         // KPXRECORDS_RISING, _FALLING or _EITHER
  int triggerHysteresis = 64;  // LSB
  unsigned triggerArming = 0;  // grows at every change of the trigger and every re-arm

  bool operator==(const ViewSettings&) const = default;
};

bool isValidFftSize(size_t size);

// A whole number from JSON in [low, high], or nothing (a fraction, a string).
std::optional<int64_t> wholeNumber(const nlohmann::json& value, int64_t low, int64_t high);

// Applies the keys present in `change` (board, fft_size, window, averaging,
// trigger_level, trigger_mode, trigger_edge, trigger_hysteresis, and
// rearm: true) to `settings`. Returns "" or what is wrong, and then leaves
// `settings` as it was. Unknown keys are refused.
std::string applySettingsChange(const nlohmann::json& change, unsigned boardCount,
                                ViewSettings& settings);

nlohmann::json settingsJson(const ViewSettings& settings);

const char* triggerModeName(TriggerMode mode);

}  // namespace scope
