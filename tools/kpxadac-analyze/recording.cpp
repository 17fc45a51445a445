#include "recording.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <memory>
#include <nlohmann/json.hpp>

namespace analyze {
namespace {

namespace fs = std::filesystem;

// Reads blocks from the file as they are asked for: a recording may be far
// larger than memory.
std::function<std::string(uint64_t, size_t, int16_t*)> fileReader(const std::string& path) {
  auto in = std::make_shared<std::ifstream>(path, std::ios::binary);
  return [in, path](uint64_t start, size_t count, int16_t* out) -> std::string {
    in->clear();
    in->seekg(static_cast<std::streamoff>(start * 2));
    std::vector<unsigned char> bytes(count * 2);
    in->read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (!*in) return "cannot read " + path;
    for (size_t i = 0; i < count; ++i)
      out[i] = static_cast<int16_t>(static_cast<uint16_t>(bytes[2 * i] | (bytes[2 * i + 1] << 8)));
    return "";
  };
}

std::string samplesOfFile(const std::string& path, uint64_t& samples) {
  std::error_code error;
  const auto bytes = fs::file_size(path, error);
  if (error) return "cannot read " + path + ": " + error.message();
  samples = bytes / 2;
  return "";
}

std::string openSigmf(const std::string& base, SampleSet& set) {
  const std::string metaPath = base + ".sigmf-meta", dataPath = base + ".sigmf-data";
  std::ifstream metaFile(metaPath, std::ios::binary);
  if (!metaFile) return "cannot read " + metaPath;
  nlohmann::json meta;
  try {
    meta = nlohmann::json::parse(metaFile);
  } catch (const nlohmann::json::exception& e) {
    return metaPath + ": not JSON (" + e.what() + ")";
  }
  try {
    const auto& global = meta.at("global");
    const std::string datatype = global.at("core:datatype").get<std::string>();
    if (datatype != "ri16_le")
      return metaPath + ": core:datatype is " + datatype + "; only ri16_le can be analysed";
    if (global.value("core:num_channels", 1) != 1) return metaPath + ": more than one channel";
    if (global.contains("core:sample_rate"))
      set.sampleRateHz = global["core:sample_rate"].get<double>();
    if (auto reason = samplesOfFile(dataPath, set.samples); !reason.empty()) return reason;

    // Each capture segment starts after a gap (or at the start).
    std::vector<uint64_t> starts{0};
    for (const auto& capture : meta.value("captures", nlohmann::json::array()))
      starts.push_back(capture.at("core:sample_start").get<uint64_t>());
    std::sort(starts.begin(), starts.end());
    starts.erase(std::unique(starts.begin(), starts.end()), starts.end());
    for (size_t i = 0; i < starts.size(); ++i) {
      const uint64_t end = i + 1 < starts.size() ? starts[i + 1] : set.samples;
      if (starts[i] < end) set.stretches.push_back({starts[i], end - starts[i]});
    }
  } catch (const nlohmann::json::exception& e) {
    return metaPath + ": " + e.what();
  }
  set.source = dataPath;
  set.read = fileReader(dataPath);
  return "";
}

}  // namespace

std::string openRecording(const std::string& path, SampleSet& set) {
  for (const char* extension : {".sigmf-meta", ".sigmf-data", ".sigmf"})
    if (path.size() > std::char_traits<char>::length(extension) && path.ends_with(extension))
      return openSigmf(path.substr(0, path.size() - std::char_traits<char>::length(extension)),
                       set);
  if (!fs::is_regular_file(path) && fs::is_regular_file(path + ".sigmf-meta"))
    return openSigmf(path, set);

  if (auto reason = samplesOfFile(path, set.samples); !reason.empty()) return reason;
  set.source = path;
  set.stretches = {{0, set.samples}};
  set.read = fileReader(path);
  return "";
}

}  // namespace analyze
