// JSON as text, for what the tools print, write and answer: a string that
// is not UTF-8 (a file name, a label, a board's text) comes out with U+FFFD
// in place of its bad bytes, where nlohmann's dump() would throw (and end
// the program).
#pragma once

#include <nlohmann/json.hpp>
#include <string>

namespace kpx::tools {

// `indent` as dump()'s: -1 for one line. Takes json and ordered_json.
template <typename Json>
std::string jsonText(const Json& value, int indent = -1) {
  return value.dump(indent, ' ', false, Json::error_handler_t::replace);
}

}  // namespace kpx::tools
