#include "records_options.h"

#include <charconv>

#include "records_metadata.h"

namespace capture {

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
  needsTrigger(app.add_option("--pre", c.pre, "Samples before the trigger sample (default 256)")
                   ->option_text("N"));
  needsTrigger(app.add_option("--post", c.post, "Samples from the trigger sample on (default 768)")
                   ->option_text("N"));
  needsTrigger(
      app.add_option("--records", c.count, "Records to write, then stop (default: until ended)")
          ->option_text("N"));
  needsTrigger(app.add_option("--hysteresis", c.hysteresis,
                              "LSB the signal must come back past the level before the next "
                              "trigger (default 0)")
                   ->option_text("LSB"));
  needsTrigger(app.add_option("--holdoff", c.holdoff,
                              "Samples after a record's end before the next trigger (default 0)")
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
  const char* first = text.data() + colon + 1;
  const char* last = text.data() + text.size();
  long long level = 0;
  const auto [end, error] = std::from_chars(first, last, level);
  if (error != std::errc() || end != last || first == last)
    return "--trigger: the level must be a whole number of LSB";
  if (level < -32768 || level > 32767) return "--trigger: level outside -32768..32767";
  c.level = static_cast<int32_t>(level);
  if (const int32_t checked = KpxRecords_CheckConfig(&c); checked != KPXRECORDS_OK)
    return std::string("records: ") + KpxRecords_ResultText(checked);
  return "";
}

}  // namespace capture
