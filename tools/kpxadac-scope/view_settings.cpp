#include "view_settings.h"

#include <bit>
#include <set>

namespace scope {

namespace analysis = kpx::analysis;

bool isValidFftSize(size_t size) {
  return size >= kMinFftSize && size <= kMaxFftSize && std::has_single_bit(size);
}

std::optional<int64_t> wholeNumber(const nlohmann::json& value, int64_t low, int64_t high) {
  if (!value.is_number_integer()) return std::nullopt;
  const auto number = value.get<int64_t>();
  if (value.is_number_unsigned() && value.get<uint64_t>() > static_cast<uint64_t>(high))
    return std::nullopt;
  if (number < low || number > high) return std::nullopt;
  return number;
}

std::string applySettingsChange(const nlohmann::json& change, unsigned boardCount,
                                ViewSettings& settings) {
  if (!change.is_object()) return "the settings must be a JSON object";
  static const std::set<std::string> known{"board",        "fft_size",           "window",
                                           "averaging",    "trigger_level",      "trigger_mode",
                                           "trigger_edge", "trigger_hysteresis", "rearm"};
  for (const auto& [key, value] : change.items())
    if (!known.contains(key)) return "unknown setting \"" + key + "\"";

  ViewSettings next = settings;
  if (change.contains("board")) {
    const auto board = wholeNumber(change["board"], 0, static_cast<int64_t>(boardCount) - 1);
    if (!board) return "board: not one of the " + std::to_string(boardCount) + " ADC boards";
    next.board = static_cast<unsigned>(*board);
  }
  if (change.contains("fft_size")) {
    const auto size = wholeNumber(change["fft_size"], kMinFftSize, kMaxFftSize);
    if (!size || !isValidFftSize(static_cast<size_t>(*size)))
      return "fft_size: a power of two from 1024 to 1048576";
    next.fftSize = static_cast<size_t>(*size);
  }
  if (change.contains("window")) {
    const auto& value = change["window"];
    const auto window =
        value.is_string() ? analysis::parseWindow(value.get<std::string>()) : std::nullopt;
    if (!window) return "window: blackman-harris, hann or rectangular";
    next.window = *window;
  }
  if (change.contains("averaging")) {
    const auto averaging = wholeNumber(change["averaging"], 1, kMaxAveraging);
    if (!averaging) return "averaging: 1 to " + std::to_string(kMaxAveraging) + " spectra";
    next.averaging = static_cast<unsigned>(*averaging);
  }
  if (change.contains("trigger_level")) {
    const auto level = wholeNumber(change["trigger_level"], -32768, 32767);
    if (!level) return "trigger_level: -32768 to 32767 LSB";
    next.triggerLevel = static_cast<int>(*level);
  }
  if (change.contains("trigger_mode")) {
    const auto& value = change["trigger_mode"];
    const std::string mode = value.is_string() ? value.get<std::string>() : "";
    if (mode == "auto")
      next.triggerMode = TriggerMode::kAuto;
    else if (mode == "normal")
      next.triggerMode = TriggerMode::kNormal;
    else if (mode == "single")
      next.triggerMode = TriggerMode::kSingle;
    else
      return "trigger_mode: auto, normal or single";
  }
  if (change.contains("trigger_edge")) {
    const auto& value = change["trigger_edge"];
    const std::string edge = value.is_string() ? value.get<std::string>() : "";
    if (edge == "rising")
      next.triggerEdge = 0;
    else if (edge == "falling")
      next.triggerEdge = 1;
    else if (edge == "either")
      next.triggerEdge = 2;
    else
      return "trigger_edge: rising, falling or either";
  }
  if (change.contains("trigger_hysteresis")) {
    const auto hysteresis = wholeNumber(change["trigger_hysteresis"], 0, 65535);
    if (!hysteresis) return "trigger_hysteresis: 0 to 65535 LSB";
    next.triggerHysteresis = static_cast<int>(*hysteresis);
  }
  if (change.contains("rearm") && change["rearm"] != true) return "rearm: true or nothing";
  // Any change of the trigger, and a re-arm, starts the trigger over.
  for (const char* key :
       {"trigger_level", "trigger_mode", "trigger_edge", "trigger_hysteresis", "rearm"})
    if (change.contains(key)) {
      ++next.triggerArming;
      break;
    }
  settings = next;
  return "";
}

nlohmann::json settingsJson(const ViewSettings& settings) {
  return {{"board", settings.board},
          {"fft_size", settings.fftSize},
          {"window", analysis::windowName(settings.window)},
          {"averaging", settings.averaging},
          {"trigger_level", settings.triggerLevel},
          {"trigger_mode", triggerModeName(settings.triggerMode)},
          {"trigger_edge", settings.triggerEdge == 1   ? "falling"
                           : settings.triggerEdge == 2 ? "either"
                                                       : "rising"},
          {"trigger_hysteresis", settings.triggerHysteresis}};
}

const char* triggerModeName(TriggerMode mode) {
  switch (mode) {
    case TriggerMode::kNormal:
      return "normal";
    case TriggerMode::kSingle:
      return "single";
    default:
      return "auto";
  }
}

}  // namespace scope
