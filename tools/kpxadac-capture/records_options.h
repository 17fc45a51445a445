// The options of kpxadac-capture that write triggered records instead of
// the continuous stream: --trigger, --pre, --post, --records, --hysteresis,
// --holdoff.
#pragma once

#include <CLI/CLI.hpp>
#include <string>

#include "kpxadac_records.h"

namespace capture {

struct RecordsOptions {
  bool enabled = false;  // --trigger was given
  std::string trigger;   // "rising|falling|either:LEVEL"
  KpxRecordsConfig config{};
};

// The records options' defaults: 256 samples before the trigger, 768 from it.
inline constexpr int64_t kDefaultPre = 256;
inline constexpr int64_t kDefaultPost = 768;

void addRecordsOptions(CLI::App& app, RecordsOptions& records);

// After parsing: reads --trigger and checks the whole configuration with the
// library. Returns "" or the reason for refusing it.
std::string finishRecordsOptions(RecordsOptions& records);

}  // namespace capture
