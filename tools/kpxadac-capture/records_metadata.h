// The SigMF metadata of a recording of triggered records: one capture
// segment per record, a "trigger" annotation at each trigger sample, and
// the records' settings and losses in the global object under our own
// extension namespace "kpxadac".
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <vector>

#include "kpxadac_records.h"
#include "sigmf_metadata.h"

namespace capture {

inline constexpr const char* kKpxadacExtensionVersion = "1.0.0";

// One record as written to the file.
struct WrittenRecord {
  uint64_t firstIndex = 0;    // board index of its first sample
  uint64_t triggerIndex = 0;  // board index of the trigger sample
  uint32_t flags = 0;         // KPXRECORD_*
};

struct RecordsDescription {
  KpxRecordsConfig config{};
  std::vector<WrittenRecord> records;  // back to back in the file, in order
  KpxRecordsCounts counts{};
  uint64_t streamLostSamples = 0;  // samples the stream lost in gaps
};

// "rising", "falling" or "either".
const char* edgeName(int32_t edge);

nlohmann::ordered_json sigmfRecordsMetadata(const RecordingDescription& recording,
                                            const RecordsDescription& records);

// sigmfRecordsMetadata as the file's text, as metadataText.
std::string recordsMetadataText(const RecordingDescription& recording,
                                const RecordsDescription& records);

}  // namespace capture
