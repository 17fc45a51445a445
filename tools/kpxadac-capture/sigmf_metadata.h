// The SigMF metadata (.sigmf-meta) of a capture.
#pragma once

#include <chrono>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "overrun_tracker.h"

namespace capture {

inline constexpr const char* kSigmfVersion = "1.2.6";

struct RecordingDescription {
  double sampleRateHz = 0;
  std::string hardware;     // core:hw
  std::string description;  // core:description
  std::string sha512;       // of the data file
  std::chrono::system_clock::time_point startTime;
  std::vector<OverrunEvent> overruns;  // in the order they happened
};

// ISO-8601 UTC with milliseconds, e.g. "2024-03-01T12:00:00.250Z".
std::string isoUtc(std::chrono::system_clock::time_point time);

// Builds the metadata. Every overrun starts a new capture segment (its
// sample_start the file index after the gap, its global_index the board's
// count of that sample) and carries an "overrun" annotation there. A gap in
// front of the very first sample changes the first segment's global_index
// instead of adding a segment at the same index.
nlohmann::ordered_json sigmfMetadata(const RecordingDescription& recording);

}  // namespace capture
