#include "records_options.h"

#include <string>

#include "capture_options.h"
#include "number_options.h"
#include "records_metadata.h"

namespace capture {

using kpx::tools::WholeRange;

void addRecordsOptions(CLI::App& app, RecordsOptions& records) {
  KpxRecordsConfig& c = records.config;
  c.pre = kDefaultPre;
  c.post = kDefaultPost;
  const char* group = "Triggered records";
  auto* trigger =
      app.add_option("--trigger", records.trigger,
                     "Write records around each trigger instead of the continuous stream: the "
                     "edge and the level in LSB, e.g. rising:1000")
          ->option_text("rising|falling|either:LEVEL")
          ->group(group);
  auto needsTrigger = [&](CLI::Option* option) { option->needs(trigger)->group(group); };
  // The record's length (--pre plus --post) the library checks.
  needsTrigger(app.add_option("--pre", c.pre, "Samples before the trigger sample (default 256)")
                   ->transform(WholeRange<int64_t>(0, KPXRECORDS_MAX_LENGTH))
                   ->option_text("N"));
  needsTrigger(app.add_option("--post", c.post, "Samples from the trigger sample on (default 768)")
                   ->transform(WholeRange<int64_t>(0, KPXRECORDS_MAX_LENGTH))
                   ->option_text("N"));
  needsTrigger(
      app.add_option("--records", c.count, "Records to write, then stop (default: until ended)")
          ->transform(WholeRange<int64_t>(0, INT64_MAX))
          ->option_text("N"));
  needsTrigger(app.add_option("--hysteresis", c.hysteresis,
                              "LSB the signal must come back past the level before the next "
                              "trigger (default 0)")
                   ->transform(WholeRange<int64_t>(0, 65535))
                   ->option_text("LSB"));
  needsTrigger(app.add_option("--holdoff", c.holdoff,
                              "Samples after a record's end before the next trigger (default 0)")
                   ->transform(WholeRange<int64_t>(0, static_cast<int64_t>(kMaxSamples)))
                   ->option_text("N"));
}

std::string finishRecordsOptions(RecordsOptions& records) {
  if (records.trigger.empty()) return "";
  records.enabled = true;
  const std::string& text = records.trigger;
  const size_t colon = text.find(':');
  // Option words are taken in any case, as CLI11's checks take --format's.
  const std::string edge = CLI::detail::to_lower(text.substr(0, colon));
  KpxRecordsConfig& c = records.config;
  if (edge == "rising")
    c.edge = KPXRECORDS_RISING;
  else if (edge == "falling")
    c.edge = KPXRECORDS_FALLING;
  else if (edge == "either")
    c.edge = KPXRECORDS_EITHER;
  else
    return "--trigger: the edge must be rising, falling or either, as in rising:1000";
  if (colon == std::string::npos) return "--trigger: the level is missing, as in " + edge + ":1000";
  std::string level = text.substr(colon + 1);
  // The level's bounds are the samples' own.
  if (auto problem = WholeRange<int64_t>(-32768, 32767)(level); !problem.empty())
    return "--trigger: the level " + problem + " (LSB)";
  // The check wrote the level as plain digits.
  c.level = static_cast<int32_t>(std::stol(level));
  if (const int32_t checked = KpxRecords_CheckConfig(&c); checked != KPXRECORDS_OK)
    return std::string("records: ") + KpxRecords_ResultText(checked);
  return "";
}

}  // namespace capture
