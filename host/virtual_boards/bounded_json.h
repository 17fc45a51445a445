// JSON the virtual boards read (the rack, a recording's SigMF metadata),
// parsed within bounds: a text nested deeper than kMaxJsonDepth is refused
// while it is parsed, since building, printing and destroying such a value
// recurse once per level and a deep enough one overflows the stack.
#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

namespace kpx::sim {

// Far deeper than any rack or SigMF metadata needs (they nest 5 levels).
inline constexpr int kMaxJsonDepth = 64;

// The text of `what` nests deeper than kMaxJsonDepth.
struct JsonTooDeep {
  std::string reason;
};

// Parses `text`; throws JsonTooDeep or nlohmann::json::parse_error.
inline nlohmann::json parseBoundedJson(std::string_view text, const std::string& what) {
  return nlohmann::json::parse(
      text.begin(), text.end(),
      [&what](int depth, nlohmann::json::parse_event_t, const nlohmann::json&) {
        if (depth >= kMaxJsonDepth)
          throw JsonTooDeep{what + ": nested deeper than " + std::to_string(kMaxJsonDepth) +
                            " levels"};
        return true;
      });
}

}  // namespace kpx::sim
