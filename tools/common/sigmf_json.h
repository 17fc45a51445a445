// The bounded JSON parse of the SigMF readers (sigmf_reader.cpp): the text's
// nesting is checked before anything is built, so that a hostile file
// cannot make the parser recurse without end.
#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

namespace kpx::tools {

// Parses `text` (a UTF-8 byte order mark before it is skipped); on failure
// sets `reason` ("not JSON", "nested deeper than 64 levels") and returns a
// discarded value.
nlohmann::json parseSigmfJson(std::string_view text, std::string& reason);

}  // namespace kpx::tools
