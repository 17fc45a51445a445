// The options of kpxadac-capture that write triggered records instead of
// the continuous stream: --trigger-level (with --trigger-edge and
// --trigger-hysteresis, shared with the scope), --pre, --post, --records,
// --holdoff; the former --trigger EDGE:LEVEL and --hysteresis stay hidden.
#pragma once

#include <CLI/CLI.hpp>
#include <string>

#include "kpxadac_records.h"
#include "shared_options.h"

namespace capture {

struct RecordsOptions {
  bool enabled = false;                // --trigger-level or --trigger was given
  kpx::tools::TriggerOptions trigger;  // edge, level and hysteresis (default 0)
  std::string combined;                // the former --trigger "rising|falling|either:LEVEL"
  KpxRecordsConfig config{};
};

// The records options' defaults: 256 samples before the trigger, 768 from it.
inline constexpr int64_t kDefaultPre = 256;
inline constexpr int64_t kDefaultPost = 768;

void addRecordsOptions(CLI::App& app, RecordsOptions& records);

// After parsing: refuses records options without a trigger, reads the
// former --trigger and checks the whole configuration with the library.
// Returns "" or the reason for refusing it.
std::string finishRecordsOptions(const CLI::App& app, RecordsOptions& records);

}  // namespace capture
