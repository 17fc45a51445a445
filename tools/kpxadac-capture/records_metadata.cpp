#include "records_metadata.h"

#include "json_text.h"

namespace capture {

const char* edgeName(int32_t edge) {
  switch (edge) {
    case KPXRECORDS_FALLING:
      return "falling";
    case KPXRECORDS_EITHER:
      return "either";
    default:
      return "rising";
  }
}

nlohmann::ordered_json sigmfRecordsMetadata(const RecordingDescription& recording,
                                            const RecordsDescription& records) {
  RecordingDescription continuous = recording;
  continuous.overruns.clear();
  // It describes every record written so far.
  continuous.samples =
      records.records.size() * static_cast<uint64_t>(records.config.pre + records.config.post);
  nlohmann::ordered_json meta = sigmfMetadata(continuous);
  auto& global = meta["global"];
  const KpxRecordsConfig& c = records.config;
  const uint64_t length = static_cast<uint64_t>(c.pre + c.post);
  global["core:extensions"] = nlohmann::ordered_json::array(
      {{{"name", "kpxadac"}, {"version", kKpxadacExtensionVersion}, {"optional", true}}});
  global["kpxadac:records"] = records.records.size();
  global["kpxadac:record_length"] = length;
  global["kpxadac:record_pre"] = c.pre;
  global["kpxadac:trigger_edge"] = edgeName(c.edge);
  global["kpxadac:trigger_level"] = c.level;
  global["kpxadac:trigger_hysteresis"] = c.hysteresis;
  global["kpxadac:trigger_holdoff"] = c.holdoff;
  global["kpxadac:triggers_seen"] = records.counts.triggersSeen;
  global["kpxadac:records_lost_to_gaps"] = records.counts.lostToGaps;
  global["kpxadac:records_skipped"] = records.counts.skippedSlow;
  global["kpxadac:records_cut_at_end"] = records.counts.cutAtEnd;
  global["kpxadac:stream_lost_samples"] = records.streamLostSamples;

  // The first segment sigmfMetadata made has the right time base; each
  // record gets its own.
  const auto firstSegment = meta["captures"][0];
  auto captures = nlohmann::ordered_json::array();
  auto annotations = nlohmann::ordered_json::array();
  for (size_t i = 0; i < records.records.size(); ++i) {
    const WrittenRecord& r = records.records[i];
    const uint64_t start = i * length;
    captures.push_back(captureSegment(start, r.firstIndex, continuous));
    nlohmann::ordered_json trigger = {{"core:sample_start", start + static_cast<uint64_t>(c.pre)},
                                      {"core:sample_count", 1},
                                      {"core:label", "trigger"},
                                      {"kpxadac:trigger_index", r.triggerIndex}};
    if (r.flags & KPXRECORD_UNTRIGGERED) {
      trigger["kpxadac:untriggered"] = true;
    } else {
      trigger["kpxadac:edge"] = (r.flags & KPXRECORD_FALLING) ? "falling" : "rising";
    }
    annotations.push_back(trigger);
  }
  if (captures.empty()) captures.push_back(firstSegment);
  meta["captures"] = captures;
  meta["annotations"] = annotations;
  return meta;
}

std::string recordsMetadataText(const RecordingDescription& recording,
                                const RecordsDescription& records) {
  return kpx::tools::jsonText(sigmfRecordsMetadata(recording, records), 2) + '\n';
}

}  // namespace capture
