// A result as text (kpxadac/response.h): the CSV table and the JSON object
// that kpxadac-response writes, here once so that every tool gives the same.
#include <cmath>
#include <cstdio>
#include <cstring>
#include <new>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "kpxadac/response.h"

namespace {

struct Table {
  KpxResponseSummary summary{};
  std::vector<KpxResponsePoint> points;
};

Table tableOf(const KpxResponseResult* result) {
  Table table;
  KpxResponse_GetSummary(result, &table.summary);
  table.points.resize(table.summary.points);
  KpxResponse_GetPoints(result, table.points.data(), table.summary.points);
  return table;
}

std::string number(double value) {
  if (!std::isfinite(value)) return "nan";
  char text[40];
  std::snprintf(text, sizeof text, "%.17g", value);
  return text;
}

std::string csvText(const Table& table) {
  std::string text = "frequency_hz,magnitude_db,phase_deg,group_delay_s,quality_db";
  for (int h = 2; h <= table.summary.harmonics; ++h) {
    text += ",h";
    text += std::to_string(h);
    text += "_dbc";
  }
  text += "\n";
  for (const KpxResponsePoint& p : table.points) {
    text += number(p.frequencyHz) + "," + number(p.magnitudeDb) + "," + number(p.phaseDeg) + "," +
            number(p.groupDelayS) + "," + number(p.qualityDb);
    // Appended piece by piece: "," + std::string trips GCC 12's false -Wrestrict.
    for (int h = 2; h <= table.summary.harmonics; ++h) {
      text += ',';
      text += number(p.harmonicDbc[h - 2]);
    }
    text += "\n";
  }
  return text;
}

nlohmann::ordered_json jsonNumber(double value) {
  return std::isfinite(value) ? nlohmann::ordered_json(value) : nlohmann::ordered_json(nullptr);
}

template <typename Field>
nlohmann::ordered_json column(const Table& table, Field field) {
  auto values = nlohmann::ordered_json::array();
  for (const KpxResponsePoint& p : table.points) values.push_back(jsonNumber(field(p)));
  return values;
}

std::string jsonText(const KpxResponseResult* result, const Table& table) {
  const KpxResponseSummary& s = table.summary;
  std::vector<double> impulse(s.impulseSamples);
  KpxResponse_GetImpulse(result, impulse.data(), impulse.size());
  const char* method = KpxResponse_MethodName(s.method);
  nlohmann::ordered_json out;
  out["method"] = method ? method : "stored";
  out["sample_rate_hz"] = s.sampleRateHz;
  out["latency_samples"] = jsonNumber(s.latencySamples);
  out["latency_s"] = jsonNumber(s.latencySeconds);
  out["referenced"] = s.referenced != 0;
  out["frequency_hz"] = column(table, [](const KpxResponsePoint& p) { return p.frequencyHz; });
  out["magnitude_db"] = column(table, [](const KpxResponsePoint& p) { return p.magnitudeDb; });
  out["phase_deg"] = column(table, [](const KpxResponsePoint& p) { return p.phaseDeg; });
  out["group_delay_s"] = column(table, [](const KpxResponsePoint& p) { return p.groupDelayS; });
  out["quality_db"] = column(table, [](const KpxResponsePoint& p) { return p.qualityDb; });
  auto harmonics = nlohmann::ordered_json::object();
  for (int h = 2; h <= s.harmonics; ++h)
    harmonics[std::to_string(h)] =
        column(table, [h](const KpxResponsePoint& p) { return p.harmonicDbc[h - 2]; });
  out["harmonics_dbc"] = harmonics;
  out["impulse_start"] = s.impulseStart;
  auto samples = nlohmann::ordered_json::array();
  for (double v : impulse) samples.push_back(jsonNumber(v));
  out["impulse"] = samples;
  return out.dump();
}

// Copies `text` and its terminating zero when it fits.
int32_t give(const std::string& text, char* buffer, size_t capacity, size_t* needed) {
  *needed = text.size() + 1;
  if (capacity < text.size() + 1) return KPXRESPONSE_ERR_LENGTH;
  std::memcpy(buffer, text.c_str(), text.size() + 1);
  return KPXRESPONSE_OK;
}

template <typename Render>
int32_t format(const KpxResponseResult* result, char* buffer, size_t capacity, size_t* needed,
               Render render) {
  if (needed) *needed = 0;
  if (!result || !needed || (!buffer && capacity > 0)) return KPXRESPONSE_ERR_NULL;
  try {
    return give(render(tableOf(result)), buffer, capacity, needed);
  } catch (const std::bad_alloc&) {
    return KPXRESPONSE_ERR_NO_MEMORY;
  }
}

}  // namespace

extern "C" int32_t KpxResponse_FormatCsv(const KpxResponseResult* result, char* buffer,
                                         size_t capacity, size_t* needed) {
  return format(result, buffer, capacity, needed, csvText);
}

extern "C" int32_t KpxResponse_FormatJson(const KpxResponseResult* result, char* buffer,
                                          size_t capacity, size_t* needed) {
  return format(result, buffer, capacity, needed,
                [result](const Table& table) { return jsonText(result, table); });
}
