#include "sigmf_reader.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <nlohmann/json.hpp>

#include "input_file.h"
#include "sigmf_json.h"

namespace kpx::tools {
namespace {

using nlohmann::json;

// Indices are signed 64-bit numbers in SigMF's other readers.
constexpr uint64_t kLargestIndex = INT64_MAX;

// An unsigned integer member, if present; "" or the reason it is not one.
std::string unsignedMember(const json& object, const char* key, std::optional<uint64_t>& value) {
  const auto found = object.find(key);
  if (found == object.end()) return "";
  if (!found->is_number_unsigned() || found->get<uint64_t>() > kLargestIndex)
    return std::string(key) + " is not a whole number from 0 to " + std::to_string(kLargestIndex);
  value = found->get<uint64_t>();
  return "";
}

// One pass over the text that builds nothing and stops at the first level
// deeper than kMaxSigmfMetaDepth. (The parser's callback could do it too,
// but nlohmann-json's callback parser looks through a whole list at the end
// of each element of it: quadratic in a list of many capture segments.)
class DepthCheck : public nlohmann::json_sax<json> {
 public:
  bool tooDeep = false;
  bool null() override { return true; }
  bool boolean(bool) override { return true; }
  bool number_integer(number_integer_t) override { return true; }
  bool number_unsigned(number_unsigned_t) override { return true; }
  bool number_float(number_float_t, const string_t&) override { return true; }
  bool string(string_t&) override { return true; }
  bool binary(binary_t&) override { return true; }
  bool start_object(std::size_t) override { return enter(); }
  bool key(string_t&) override { return true; }
  bool end_object() override { return leave(); }
  bool start_array(std::size_t) override { return enter(); }
  bool end_array() override { return leave(); }
  // A syntax error is the parse's to report.
  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) override {
    return false;
  }

 private:
  bool enter() {
    tooDeep = ++depth_ > kMaxSigmfMetaDepth;
    return !tooDeep;
  }
  bool leave() {
    --depth_;
    return true;
  }
  int depth_ = 0;
};

}  // namespace

// Parses `text` once it is known not to nest too deep: building, destroying
// and printing a value recurse once per level.
json parseSigmfJson(std::string_view text, std::string& reason) {
  DepthCheck check;
  json::sax_parse(text.begin(), text.end(), &check);
  if (check.tooDeep) {
    reason = "nested deeper than " + std::to_string(kMaxSigmfMetaDepth) + " levels";
    return json();
  }
  json value = json::parse(text, nullptr, /*allow_exceptions=*/false);
  if (value.is_discarded()) reason = "not JSON";
  return value;
}

namespace {

// Annotations are not used, but one without a start is a broken recording.
std::string checkAnnotations(const json& meta) {
  const auto annotations = meta.find("annotations");
  if (annotations == meta.end()) return "";
  if (!annotations->is_array()) return "annotations is not a list";
  for (const json& annotation : *annotations) {
    if (!annotation.is_object()) return "an annotation is not an object";
    std::optional<uint64_t> start, count;
    if (auto reason = unsignedMember(annotation, "core:sample_start", start); !reason.empty())
      return "annotation: " + reason;
    if (!start) return "an annotation has no core:sample_start";
    if (auto reason = unsignedMember(annotation, "core:sample_count", count); !reason.empty())
      return "annotation: " + reason;
  }
  return "";
}

struct Segment {
  uint64_t sampleStart = 0;
  std::optional<uint64_t> globalIndex;
};

std::string readSegments(const json& meta, std::vector<Segment>& segments) {
  const auto captures = meta.find("captures");
  if (captures == meta.end()) return "";
  if (!captures->is_array()) return "captures is not a list";
  for (const json& capture : *captures) {
    if (!capture.is_object()) return "a capture segment is not an object";
    std::optional<uint64_t> start;
    Segment segment;
    if (auto reason = unsignedMember(capture, "core:sample_start", start); !reason.empty())
      return "capture segment: " + reason;
    if (!start) return "a capture segment has no core:sample_start";
    segment.sampleStart = *start;
    if (auto reason = unsignedMember(capture, "core:global_index", segment.globalIndex);
        !reason.empty())
      return "capture segment: " + reason;
    segments.push_back(segment);
  }
  std::stable_sort(segments.begin(), segments.end(), [](const Segment& a, const Segment& b) {
    return a.sampleStart < b.sampleStart;
  });
  return "";
}

// The gap rule. A segment without a global index continues its neighbour.
std::string findGaps(const std::vector<Segment>& segments, std::vector<Gap>& gaps) {
  uint64_t previousStart = 0, previousGlobal = 0;
  for (const Segment& segment : segments) {
    const uint64_t advance = segment.sampleStart - previousStart;
    if (previousGlobal > UINT64_MAX - advance)
      return "capture at sample " + std::to_string(segment.sampleStart) +
             ": the board index overflows";
    const uint64_t expected = previousGlobal + advance;
    const uint64_t global = segment.globalIndex.value_or(expected);
    if (global < expected)
      return "capture at sample " + std::to_string(segment.sampleStart) + " has global_index " +
             std::to_string(global) + ", behind the samples before it";
    if (global > expected && !gaps.empty() && gaps.back().sampleStart == segment.sampleStart) {
      // Segments at one sample: one gap, the losses of both.
      gaps.back().globalIndex = global;
      gaps.back().lost += global - expected;
    } else if (global > expected) {
      gaps.push_back({segment.sampleStart, global, global - expected});
    }
    previousStart = segment.sampleStart;
    previousGlobal = global;
  }
  return "";
}

std::string readGlobal(const json& global, SigmfMetadata& metadata) {
  if (!global.is_object()) return "global is not an object";
  const auto datatype = global.find("core:datatype");
  if (datatype == global.end() || !datatype->is_string()) return "core:datatype is missing";
  if (*datatype != "ri16_le")
    return "core:datatype is " + datatype->get<std::string>() +
           "; only ri16_le (real 16-bit little-endian) is read";
  const auto channels = global.find("core:num_channels");
  if (channels != global.end() && (!channels->is_number_integer() || *channels != 1))
    return "core:num_channels is not 1: only one channel can be analysed";
  const auto rate = global.find("core:sample_rate");
  if (rate != global.end()) {
    if (!rate->is_number() || !std::isfinite(rate->get<double>()) || rate->get<double>() <= 0)
      return "core:sample_rate is not a positive number";
    metadata.sampleRateHz = rate->get<double>();
  }
  if (auto reason = unsignedMember(global, "kpxadac:sample_count", metadata.describedSamples);
      !reason.empty())
    return reason;
  const auto state = global.find("kpxadac:state");
  if (state != global.end()) {
    if (!state->is_string()) return "kpxadac:state is not a text";
    metadata.state = state->get<std::string>();
  }
  return "";
}

}  // namespace

std::string readSigmfMetadata(std::string_view text, SigmfMetadata& metadata) {
  metadata = SigmfMetadata{};
  std::string reason;
  const json meta = parseSigmfJson(text, reason);
  if (!reason.empty()) return reason;
  if (!meta.is_object()) return "not a JSON object";
  const auto global = meta.find("global");
  if (global == meta.end()) return "no global object";
  if (reason = readGlobal(*global, metadata); !reason.empty()) return reason;
  std::vector<Segment> segments;
  if (reason = readSegments(meta, segments); !reason.empty()) return reason;
  if (reason = checkAnnotations(meta); !reason.empty()) return reason;
  return findGaps(segments, metadata.gaps);
}

std::string readSigmfMetadataFile(const std::string& path, SigmfMetadata& metadata) {
  metadata = SigmfMetadata{};
  std::string text;
  if (auto reason = readWholeFile(path, kMaxSigmfMetaBytes, text); !reason.empty()) return reason;
  if (auto reason = readSigmfMetadata(text, metadata); !reason.empty()) return path + ": " + reason;
  return "";
}

std::string fitSigmfData(const SigmfMetadata& metadata, uint64_t dataBytes, uint64_t& samples,
                         uint64_t& ignoredBytes) {
  const uint64_t inFile = dataBytes / 2;
  samples = metadata.describedSamples.value_or(inFile);
  if (samples > inFile)
    return "the data file holds " + std::to_string(inFile) + " samples, the metadata describes " +
           std::to_string(samples);
  for (const Gap& gap : metadata.gaps)
    if (gap.sampleStart > samples)
      return "a capture segment starts at sample " + std::to_string(gap.sampleStart) +
             ", past the " + std::to_string(samples) + " samples of the recording";
  ignoredBytes = dataBytes - samples * 2;
  return "";
}

}  // namespace kpx::tools
