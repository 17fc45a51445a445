#include "records_options.h"

#include <string>

#include "capture_options.h"
#include "number_options.h"
#include "records_metadata.h"

namespace capture {

using kpx::tools::WholeRange;

namespace {
const char* const kGroup = "Triggered records";
// The options that only mean something with a trigger.
const char* const kNeedTrigger[] = {"--pre",       "--post",         "--records",
                                    "--holdoff",   "--trigger-edge", "--trigger-hysteresis",
                                    "--hysteresis"};
}  // namespace

void addRecordsOptions(CLI::App& app, RecordsOptions& records) {
  KpxRecordsConfig& c = records.config;
  c.pre = kDefaultPre;
  c.post = kDefaultPost;
  const auto trigger = kpx::tools::addTriggerOptions(app, records.trigger, kGroup);
  trigger.level->description(
      "Write records around each trigger instead of the continuous stream: the level the "
      "signal crosses, in LSB (default 0)");
  // The former spellings, kept for scripts: --trigger EDGE:LEVEL and
  // --hysteresis.
  auto* combined = app.add_option("--trigger", records.combined)->group("");
  combined->excludes(trigger.edge)->excludes(trigger.level);
  app.add_option("--hysteresis", records.trigger.hysteresis)
      ->transform(WholeRange<int64_t>(0, 65535))
      ->excludes(trigger.hysteresis)
      ->group("");
  // The record's length (--pre plus --post) the library checks.
  app.add_option("--pre", c.pre, "Samples before the trigger sample (default 256)")
      ->transform(WholeRange<int64_t>(0, KPXRECORDS_MAX_LENGTH))
      ->option_text("N")
      ->group(kGroup);
  app.add_option("--post", c.post, "Samples from the trigger sample on (default 768)")
      ->transform(WholeRange<int64_t>(0, KPXRECORDS_MAX_LENGTH))
      ->option_text("N")
      ->group(kGroup);
  app.add_option("--records", c.count, "Records to write, then stop (default: until ended)")
      ->transform(WholeRange<int64_t>(0, INT64_MAX))
      ->option_text("N")
      ->group(kGroup);
  app.add_option("--holdoff", c.holdoff,
                 "Samples after a record's end before the next trigger (default 0)")
      ->transform(WholeRange<int64_t>(0, static_cast<int64_t>(kMaxSamples)))
      ->option_text("N")
      ->group(kGroup);
}

std::string finishRecordsOptions(const CLI::App& app, RecordsOptions& records) {
  records.enabled = app.count("--trigger-level") > 0 || app.count("--trigger") > 0;
  if (!records.enabled) {
    for (const char* name : kNeedTrigger)
      if (app.count(name) > 0) return std::string(name) + " needs --trigger-level";
    return "";
  }
  KpxRecordsConfig& c = records.config;
  if (!records.combined.empty()) {
    const std::string& text = records.combined;
    const size_t colon = text.find(':');
    // Option words are taken in any case, as CLI11's checks take --format's.
    const std::string edge = CLI::detail::to_lower(text.substr(0, colon));
    records.trigger.edge = kpx::tools::triggerEdgeOf(edge);
    if (records.trigger.edge < 0)
      return "--trigger: the edge must be rising, falling or either, as in rising:1000";
    if (colon == std::string::npos)
      return "--trigger: the level is missing, as in " + edge + ":1000";
    std::string level = text.substr(colon + 1);
    // The level's bounds are the samples' own.
    if (auto problem = WholeRange<int64_t>(-32768, 32767)(level); !problem.empty())
      return "--trigger: the level " + problem + " (LSB)";
    // The check wrote the level as plain digits.
    records.trigger.level = static_cast<int32_t>(std::stol(level));
  }
  c.edge = records.trigger.edge;
  c.level = records.trigger.level;
  c.hysteresis = records.trigger.hysteresis;
  if (const int32_t checked = KpxRecords_CheckConfig(&c); checked != KPXRECORDS_OK)
    return std::string("records: ") + KpxRecords_ResultText(checked);
  return "";
}

}  // namespace capture
