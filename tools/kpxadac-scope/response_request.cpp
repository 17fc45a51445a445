#include "response_request.h"

#include <cmath>
#include <cstdio>
#include <optional>
#include <set>

#include "view_settings.h"

namespace scope {
namespace {

// The largest frequency taken here at all; the library refuses what the
// boards cannot do.
constexpr double kMaxHz = 1e12;

// A finite number from JSON in (low, high] or [low, high], or nothing.
std::optional<double> realNumber(const nlohmann::json& value, double low, double high,
                                 bool lowIncluded) {
  if (!value.is_number()) return std::nullopt;
  const double number = value.get<double>();
  if (!std::isfinite(number) || number > high) return std::nullopt;
  if (lowIncluded ? number < low : number <= low) return std::nullopt;
  return number;
}

std::string format(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%g", value);
  return text;
}

}  // namespace

std::string parseResponseAsk(const nlohmann::json& body, ResponseAsk& ask) {
  if (!body.is_object()) return "the measurement must be a JSON object";
  static const std::set<std::string> known{"dac",    "start_hz",       "stop_hz", "points",
                                           "method", "amplitude_dbfs", "spacing"};
  for (const auto& [key, value] : body.items())
    if (!known.contains(key)) return "unknown field \"" + key + "\"";

  ResponseAsk next = ask;
  if (body.contains("dac")) {
    const auto dac = wholeNumber(body["dac"], 0, kMaxDacIndex);
    if (!dac) return "dac: a DAC board index, 0 to " + std::to_string(kMaxDacIndex);
    next.dac = static_cast<unsigned>(*dac);
  }
  for (const auto& [key, field] : {std::pair{"start_hz", &KpxResponseRequest::startHz},
                                   std::pair{"stop_hz", &KpxResponseRequest::stopHz}}) {
    if (!body.contains(key)) continue;
    const auto hz = realNumber(body[key], 0, kMaxHz, false);
    if (!hz) return std::string(key) + ": a frequency in Hz above 0 and at most " + format(kMaxHz);
    next.request.*field = *hz;
  }
  if (body.contains("points")) {
    const auto points = wholeNumber(body["points"], KPXRESPONSE_MIN_POINTS, KPXRESPONSE_MAX_POINTS);
    if (!points)
      return "points: a whole number from " + std::to_string(KPXRESPONSE_MIN_POINTS) + " to " +
             std::to_string(KPXRESPONSE_MAX_POINTS);
    next.request.points = static_cast<uint32_t>(*points);
  }
  if (body.contains("method")) {
    const auto& value = body["method"];
    const int32_t method =
        value.is_string() ? KpxResponse_MethodFromName(value.get<std::string>().c_str()) : -1;
    if (method < 0) return "method: sine, multitone or sweep";
    next.request.method = method;
  }
  if (body.contains("amplitude_dbfs")) {
    const auto dbfs = realNumber(body["amplitude_dbfs"], KPXRESPONSE_MIN_AMPLITUDE_DBFS, 0, true);
    if (!dbfs)
      return "amplitude_dbfs: a level in dBFS from " + format(KPXRESPONSE_MIN_AMPLITUDE_DBFS) +
             " to 0";
    next.request.amplitudeDbfs = *dbfs;
  }
  if (body.contains("spacing")) {
    const auto& value = body["spacing"];
    const std::string spacing = value.is_string() ? value.get<std::string>() : "";
    if (spacing == "log")
      next.request.spacing = KPXRESPONSE_SPACING_LOG;
    else if (spacing == "linear")
      next.request.spacing = KPXRESPONSE_SPACING_LINEAR;
    else
      return "spacing: log or linear";
  }
  ask = next;
  return "";
}

}  // namespace scope
