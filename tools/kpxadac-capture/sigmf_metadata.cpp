#include "sigmf_metadata.h"

#include <algorithm>
#include <cstdio>

#include "json_text.h"

namespace capture {

std::string isoUtc(std::chrono::system_clock::time_point time) {
  // By the calendar of <chrono>: the same on every host, none of the C
  // library's thread-safe variants of gmtime needed.
  using namespace std::chrono;
  const auto milliseconds = floor<std::chrono::milliseconds>(time);
  const auto day = floor<days>(milliseconds);
  const year_month_day date{day};
  const hh_mm_ss clock{milliseconds - day};
  char text[64];
  std::snprintf(
      text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02d.%03dZ", static_cast<int>(date.year()),
      static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
      static_cast<int>(clock.hours().count()), static_cast<int>(clock.minutes().count()),
      static_cast<int>(clock.seconds().count()), static_cast<int>(clock.subseconds().count()));
  return text;
}

nlohmann::ordered_json captureSegment(uint64_t sampleStart, uint64_t globalIndex,
                                      const RecordingDescription& recording) {
  // The time of a later segment follows from the board's sample count.
  const auto offset =
      std::chrono::duration<double>(static_cast<double>(globalIndex) / recording.sampleRateHz);
  const auto time =
      recording.startTime + std::chrono::duration_cast<std::chrono::system_clock::duration>(offset);
  return {{"core:sample_start", sampleStart},
          {"core:global_index", globalIndex},
          {"core:datetime", isoUtc(time)}};
}

nlohmann::ordered_json sigmfMetadata(const RecordingDescription& recording) {
  nlohmann::ordered_json global = {
      {"core:datatype", "ri16_le"},
      {"core:sample_rate", recording.sampleRateHz},
      {"core:version", kSigmfVersion},
      {"core:num_channels", 1},
  };
  if (!recording.sha512.empty()) global["core:sha512"] = recording.sha512;
  global["core:hw"] = recording.hardware;
  global["core:recorder"] = "kpxadac-capture";
  global["core:description"] = recording.description;
  global["core:extensions"] = nlohmann::ordered_json::array(
      {{{"name", "kpxadac"}, {"version", "1.0.0"}, {"optional", true}}});
  global["kpxadac:sample_count"] = recording.samples;
  global["kpxadac:state"] = recording.state;
  if (!recording.collection.empty()) global["core:collection"] = recording.collection;
  if (const auto& place = recording.group) {
    global["kpxadac:board_index"] = place->board;
    global["kpxadac:group_position"] = place->position;
    global["kpxadac:group_offset"] = place->offset;
    global["kpxadac:group_skip"] = place->skip;
    global["kpxadac:group_drift_ppm"] = place->driftPpm;
    global["kpxadac:start_skew_samples"] = place->startSkew;
    global["kpxadac:alignment"] = place->alignment;
  }
  auto captures =
      nlohmann::ordered_json::array({captureSegment(0, recording.firstIndex, recording)});
  auto annotations = nlohmann::ordered_json::array();
  // Both lists must be in ascending sample order.
  std::vector<OverrunEvent> gaps = recording.overruns;
  std::stable_sort(gaps.begin(), gaps.end(),
                   [](const auto& a, const auto& b) { return a.fileSample < b.fileSample; });
  for (const auto& gap : gaps) {
    if (gap.fileSample > recording.samples) break;
    if (gap.fileSample == 0)
      captures[0] = captureSegment(0, gap.globalSample, recording);
    else
      captures.push_back(captureSegment(gap.fileSample, gap.globalSample, recording));
    annotations.push_back({{"core:sample_start", gap.fileSample},
                           {"core:sample_count", 0},
                           {"core:label", "overrun"},
                           {"core:comment", std::to_string(gap.lostSamples) + " samples lost"}});
  }
  return {{"global", global}, {"captures", captures}, {"annotations", annotations}};
}

std::string metadataText(const RecordingDescription& recording) {
  return kpx::tools::jsonText(sigmfMetadata(recording), 2) + '\n';
}

}  // namespace capture
