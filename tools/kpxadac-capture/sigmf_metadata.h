// The SigMF metadata (.sigmf-meta) of a capture.
#pragma once

#include <chrono>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

namespace capture {

inline constexpr const char* kSigmfVersion = "1.2.6";

// One gap in the recording: the samples lost right before a file sample.
struct OverrunEvent {
  uint64_t fileSample = 0;    // index in the file of the first sample after the gap
  uint64_t globalSample = 0;  // the board's index of that sample, lost samples counted
  uint64_t lostSamples = 0;   // samples lost in this gap
};

// kpxadac:state, the recording's state as its metadata was written.
inline constexpr const char* kStateRecording = "recording";       // still being written
inline constexpr const char* kStateComplete = "complete";         // ended as asked, or stopped
inline constexpr const char* kStateReadFailed = "read failed";    // ended by a board failure
inline constexpr const char* kStateWriteFailed = "write failed";  // ended by a write failure

// A recording's place in a group capture (docs/groups.md): written as
// kpxadac: fields of its global object.
struct GroupPlace {
  unsigned board = 0;      // kpxadac:board_index, the board's --index
  unsigned position = 0;   // kpxadac:group_position, its place in the group (0: reference)
  double offset = 0;       // kpxadac:group_offset, samples against the reference board
  int64_t skip = 0;        // kpxadac:group_skip, board samples skipped to align
  double driftPpm = 0;     // kpxadac:group_drift_ppm
  uint64_t startSkew = 0;  // kpxadac:start_skew_samples, an upper bound
  std::string alignment;   // kpxadac:alignment: none, measure or offsets
};

struct RecordingDescription {
  double sampleRateHz = 0;
  std::string hardware;     // core:hw
  std::string description;  // core:description
  std::string sha512;       // of the data file; "" leaves core:sha512 out
  uint64_t samples = 0;     // kpxadac:sample_count: the samples of the data file described
  std::string state = kStateRecording;  // kpxadac:state
  std::chrono::system_clock::time_point startTime;
  std::vector<OverrunEvent> overruns;  // in the order they happened
  // The board's index of the file's first sample: a group skips samples to
  // align its boards (docs/groups.md). Samples before it count as lost
  // only where an overrun says so.
  uint64_t firstIndex = 0;
  std::string collection;  // core:collection: the collection's base name; "" for none
  std::optional<GroupPlace> group;
};

// ISO-8601 UTC with milliseconds, e.g. "2024-03-01T12:00:00.250Z".
std::string isoUtc(std::chrono::system_clock::time_point time);

// One capture segment: the file's sample index, the board's, and the time of
// that board sample (from the start time and the rate).
nlohmann::ordered_json captureSegment(uint64_t sampleStart, uint64_t globalIndex,
                                      const RecordingDescription& recording);

// Builds the metadata. Every overrun starts a new capture segment (its
// sample_start the file index after the gap, its global_index the board's
// count of that sample) and carries an "overrun" annotation there. A gap in
// front of the very first sample changes the first segment's global_index
// instead of adding a segment at the same index. Gaps past `samples` are
// left out: the metadata describes that many samples of the data file.
nlohmann::ordered_json sigmfMetadata(const RecordingDescription& recording);

// sigmfMetadata as the file's text, indented, ending with a newline. A
// string that is not UTF-8 is written with U+FFFD for its bad bytes.
std::string metadataText(const RecordingDescription& recording);

}  // namespace capture
