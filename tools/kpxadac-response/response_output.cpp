#include "response_output.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <new>

#include "input_file.h"
#include "json_text.h"
#include "metadata_file.h"

namespace response {
namespace {

// The largest reference file read: 10000 points take under 2 MB.
constexpr uint64_t kMaxReferenceBytes = 16u << 20;

nlohmann::ordered_json jsonNumber(double value) {
  return std::isfinite(value) ? nlohmann::ordered_json(value) : nlohmann::ordered_json(nullptr);
}

template <typename Field>
nlohmann::ordered_json column(const Table& table, Field field) {
  auto values = nlohmann::ordered_json::array();
  for (const KpxResponsePoint& p : table.points) values.push_back(jsonNumber(field(p)));
  return values;
}

// The library's text of a result (its size asked first).
std::string libraryText(const KpxResponseResult* result,
                        int32_t (*render)(const KpxResponseResult*, char*, size_t, size_t*)) {
  size_t needed = 0;
  if (render(result, nullptr, 0, &needed) != KPXRESPONSE_ERR_LENGTH) throw std::bad_alloc();
  std::string text(needed, '\0');
  if (render(result, text.data(), text.size(), &needed) != KPXRESPONSE_OK) throw std::bad_alloc();
  text.resize(needed - 1);
  return text;
}

std::string pixels(double v) {
  char text[32];
  std::snprintf(text, sizeof text, "%.3f", v);
  return text;
}

}  // namespace

Table tableOf(const KpxResponseResult* result) {
  Table table;
  KpxResponse_GetSummary(result, &table.summary);
  table.points.resize(table.summary.points);
  KpxResponse_GetPoints(result, table.points.data(), table.summary.points);
  return table;
}

std::string csvText(const KpxResponseResult* result) {
  return libraryText(result, KpxResponse_FormatCsv);
}

std::string jsonText(const KpxResponseResult* result) {
  return libraryText(result, KpxResponse_FormatJson);
}

std::string svgText(const Table& table) {
  constexpr double kWidth = 900, kHeight = 640, kLeft = 80, kRight = 860;
  struct Panel {
    const char* id;
    const char* label;
    double top, bottom, step;
    double (*value)(const KpxResponsePoint&);
  };
  const Panel panels[] = {
      {"magnitude", "magnitude (dB)", 40, 300, 10,
       [](const KpxResponsePoint& p) { return p.magnitudeDb; }},
      {"phase", "phase (degrees)", 360, 600, 90,
       [](const KpxResponsePoint& p) { return p.phaseDeg; }},
  };
  double fLow = table.points.empty() ? 1 : table.points.front().frequencyHz;
  double fHigh = table.points.empty() ? 10 : table.points.back().frequencyHz;
  fLow = std::pow(10.0, std::floor(std::log10(fLow)));
  fHigh = std::max(std::pow(10.0, std::ceil(std::log10(fHigh))), fLow * 10);
  auto xOf = [&](double f) {
    return kLeft + (kRight - kLeft) * std::log10(f / fLow) / std::log10(fHigh / fLow);
  };

  std::string svg =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
      "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" +
      pixels(kWidth) + "\" height=\"" + pixels(kHeight) + "\" viewBox=\"0 0 " + pixels(kWidth) +
      " " + pixels(kHeight) +
      "\" font-family=\"sans-serif\" font-size=\"12\">\n"
      "<rect width=\"100%\" height=\"100%\" fill=\"white\"/>\n";
  for (const Panel& panel : panels) {
    double low = std::numeric_limits<double>::infinity(), high = -low;
    for (const KpxResponsePoint& p : table.points)
      if (std::isfinite(panel.value(p))) {
        low = std::min(low, panel.value(p));
        high = std::max(high, panel.value(p));
      }
    if (!std::isfinite(low)) low = high = 0;
    low = std::floor(low / panel.step) * panel.step;
    high = std::max(std::ceil(high / panel.step) * panel.step, low + panel.step);
    const double step = panel.step * std::max(1.0, std::ceil((high - low) / panel.step / 10));
    auto yOf = [&](double v) {
      return panel.bottom - (panel.bottom - panel.top) * (v - low) / (high - low);
    };
    svg += "<rect x=\"" + pixels(kLeft) + "\" y=\"" + pixels(panel.top) + "\" width=\"" +
           pixels(kRight - kLeft) + "\" height=\"" + pixels(panel.bottom - panel.top) +
           "\" fill=\"none\" stroke=\"black\"/>\n";
    // Grid: decades and their 2..9, and every step of the value.
    for (double decade = fLow; decade < fHigh * 0.999; decade *= 10)
      for (int m = 1; m <= 9; ++m) {
        const double x = xOf(decade * m);
        svg += "<line x1=\"" + pixels(x) + "\" y1=\"" + pixels(panel.top) + "\" x2=\"" + pixels(x) +
               "\" y2=\"" + pixels(panel.bottom) + "\" stroke=\"#" +
               (m == 1 ? "bbbbbb" : "e4e4e4") + "\"/>\n";
        if (m == 1 && panel.bottom > 500) {
          char label[32];
          std::snprintf(label, sizeof label, "%g Hz", decade);
          svg += "<text x=\"" + pixels(x) + "\" y=\"" + pixels(panel.bottom + 16) +
                 "\" text-anchor=\"middle\">" + label + "</text>\n";
        }
      }
    for (double v = low; v <= high + 1e-9; v += step) {
      const double y = yOf(v);
      svg += "<line x1=\"" + pixels(kLeft) + "\" y1=\"" + pixels(y) + "\" x2=\"" + pixels(kRight) +
             "\" y2=\"" + pixels(y) + "\" stroke=\"#e4e4e4\"/>\n";
      char label[32];
      std::snprintf(label, sizeof label, "%g", v);
      svg += "<text x=\"" + pixels(kLeft - 6) + "\" y=\"" + pixels(y + 4) +
             "\" text-anchor=\"end\">" + label + "</text>\n";
    }
    svg += "<text x=\"" + pixels(kLeft) + "\" y=\"" + pixels(panel.top - 8) + "\">" + panel.label +
           "</text>\n";
    std::string path;
    for (const KpxResponsePoint& p : table.points) {
      if (!std::isfinite(panel.value(p))) continue;
      path += (path.empty() ? "M" : " L") + pixels(xOf(p.frequencyHz)) + "," +
              pixels(yOf(panel.value(p)));
    }
    char axes[400];
    std::snprintf(axes, sizeof axes,
                  " data-x0=\"%.17g\" data-x1=\"%.17g\" data-f0=\"%.17g\" data-f1=\"%.17g\""
                  " data-y0=\"%.17g\" data-y1=\"%.17g\" data-v0=\"%.17g\" data-v1=\"%.17g\"",
                  kLeft, kRight, fLow, fHigh, panel.bottom, panel.top, low, high);
    svg += "<path id=\"" + std::string(panel.id) + "\" fill=\"none\" stroke=\"#1f5fbf\"" +
           " stroke-width=\"1.5\"" + axes + " d=\"" + path + "\"/>\n";
  }
  svg += "<text x=\"" + pixels((kLeft + kRight) / 2) + "\" y=\"" + pixels(kHeight - 8) +
         "\" text-anchor=\"middle\">frequency</text>\n</svg>\n";
  return svg;
}

std::string referenceText(const Table& table) {
  nlohmann::ordered_json out;
  out["kpxadac_response_reference"] = 1;
  out["sample_rate_hz"] = table.summary.sampleRateHz;
  out["latency_samples"] = table.summary.latencySamples;
  out["frequency_hz"] = column(table, [](const KpxResponsePoint& p) { return p.frequencyHz; });
  out["real"] = column(table, [](const KpxResponsePoint& p) { return p.real; });
  out["imag"] = column(table, [](const KpxResponsePoint& p) { return p.imag; });
  out["quality_db"] = column(table, [](const KpxResponsePoint& p) { return p.qualityDb; });
  return kpx::tools::jsonText(out, 1) + "\n";
}

std::string readReference(const std::string& path, KpxResponseResult** result) {
  std::string text;
  if (auto reason = kpx::tools::readWholeFile(path, kMaxReferenceBytes, text); !reason.empty())
    return reason;
  const auto json = nlohmann::json::parse(text, nullptr, false);
  const std::string bad = path + ": not a kpxadac-response reference";
  if (json.is_discarded() || !json.is_object() || !json.contains("kpxadac_response_reference"))
    return bad + " (no JSON object with kpxadac_response_reference)";
  if (json["kpxadac_response_reference"] != 1) return bad + " of version 1";
  for (const char* key : {"sample_rate_hz", "latency_samples"})
    if (!json.contains(key) || !json[key].is_number()) return bad + " (" + key + " is no number)";
  const char* columns[] = {"frequency_hz", "real", "imag", "quality_db"};
  size_t count = 0;
  for (const char* key : columns) {
    if (!json.contains(key) || !json[key].is_array()) return bad + " (" + key + " is no list)";
    count = json[key].size();
  }
  for (const char* key : columns)
    if (json[key].size() != count) return bad + " (its lists differ in length)";
  if (count < KPXRESPONSE_MIN_POINTS || count > KPXRESPONSE_MAX_POINTS)
    return bad + " (" + std::to_string(count) + " points)";
  std::vector<KpxResponsePoint> points(count);
  for (size_t i = 0; i < count; ++i) {
    auto value = [&](const char* key, bool nullable, double& out) {
      const auto& v = json[key][i];
      if (nullable && v.is_null()) {
        out = std::numeric_limits<double>::quiet_NaN();
        return true;
      }
      if (!v.is_number()) return false;
      out = v.get<double>();
      return true;
    };
    KpxResponsePoint& p = points[i];
    if (!value("frequency_hz", false, p.frequencyHz) || !value("real", false, p.real) ||
        !value("imag", false, p.imag) || !value("quality_db", true, p.qualityDb))
      return bad + " (point " + std::to_string(i) + " holds something else than a number)";
  }
  const int32_t code = KpxResponse_ResultFromPoints(points.data(), static_cast<uint32_t>(count),
                                                    json["sample_rate_hz"].get<double>(),
                                                    json["latency_samples"].get<double>(), result);
  if (code != KPXRESPONSE_OK) return bad + ": " + KpxResponse_ResultText(code);
  return "";
}

std::string writeTextFiles(const std::vector<OutputText>& files) {
  std::vector<capture::MetadataFile> prepared;
  prepared.reserve(files.size());
  for (const OutputText& file : files) {
    prepared.emplace_back(file.path);
    if (auto reason = prepared.back().prepare(file.text, 0); !reason.empty()) {
      prepared.pop_back();  // prepare() removed its own temporary file
      for (capture::MetadataFile& done : prepared) done.discard();
      return reason;
    }
  }
  for (size_t i = 0; i < prepared.size(); ++i)
    if (auto reason = prepared[i].commit(); !reason.empty()) {
      // commit() removed its own temporary file; the later ones go too.
      for (size_t j = i + 1; j < prepared.size(); ++j) prepared[j].discard();
      return reason;
    }
  return "";
}

}  // namespace response
