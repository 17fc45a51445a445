// What the page asks the response view to measure: the POST body of
// /api/response checked field by field, before the library checks the
// request against the boards (docs/scope.md).
#pragma once

#include <nlohmann/json.hpp>
#include <string>

#include "kpxadac/response.h"

namespace scope {

struct ResponseAsk {
  unsigned dac = 0;  // index among the DAC boards
  KpxResponseRequest request{};
};

// The highest DAC index the body may name (the library's index is 8 bits).
inline constexpr unsigned kMaxDacIndex = 255;

// Reads `body` (a JSON object with any of dac, start_hz, stop_hz, points,
// method, amplitude_dbfs, spacing) over `ask`, which holds the defaults.
// "" or what is wrong, naming the field; `ask` is changed only when "".
std::string parseResponseAsk(const nlohmann::json& body, ResponseAsk& ask);

}  // namespace scope
