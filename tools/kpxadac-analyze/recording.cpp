#include "recording.h"

#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>

#include "sigmf_files.h"

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

std::string sizeOfFile(const std::string& path, uint64_t& bytes) {
  std::error_code error;
  bytes = fs::file_size(path, error);
  if (error) return "cannot read " + path + ": " + error.message();
  return "";
}

// The stretches between the gaps (a gap at sample 0 or at the end splits nothing).
std::vector<Stretch> stretchesBetween(const std::vector<Gap>& gaps, uint64_t samples) {
  std::vector<Stretch> stretches;
  uint64_t start = 0;
  for (const Gap& gap : gaps) {
    if (gap.sampleStart <= start || gap.sampleStart >= samples) continue;
    stretches.push_back({start, gap.sampleStart - start});
    start = gap.sampleStart;
  }
  if (start < samples) stretches.push_back({start, samples - start});
  return stretches;
}

std::string openSigmf(const std::string& base, SampleSet& set) {
  const std::string metaPath = kpx::tools::sigmfMetaPath(base);
  const std::string dataPath = kpx::tools::sigmfDataPath(base);
  std::ifstream metaFile(metaPath, std::ios::binary);
  if (!metaFile) return "cannot read " + metaPath;
  std::ostringstream text;
  text << metaFile.rdbuf();
  SigmfMetadata meta;
  if (auto reason = readSigmfMetadata(text.str(), meta); !reason.empty())
    return metaPath + ": " + reason;
  uint64_t dataBytes = 0;
  if (auto reason = sizeOfFile(dataPath, dataBytes); !reason.empty()) return reason;
  if (auto reason = fitSigmfData(meta, dataBytes, set.samples, set.ignoredBytes); !reason.empty())
    return base + ": " + reason;
  set.sampleRateHz = meta.sampleRateHz;
  set.gaps = meta.gaps;
  set.stretches = stretchesBetween(set.gaps, set.samples);
  set.source = dataPath;
  set.read = fileReader(dataPath);
  return "";
}

}  // namespace

std::string openRecording(const std::string& path, SampleSet& set) {
  if (kpx::tools::hasSigmfEnding(path)) return openSigmf(kpx::tools::sigmfBaseName(path), set);
  if (!fs::is_regular_file(path) && fs::is_regular_file(kpx::tools::sigmfMetaPath(path)))
    return openSigmf(path, set);

  uint64_t bytes = 0;
  if (auto reason = sizeOfFile(path, bytes); !reason.empty()) return reason;
  set.samples = bytes / 2;
  set.ignoredBytes = bytes % 2;
  set.source = path;
  set.stretches = {{0, set.samples}};
  set.read = fileReader(path);
  return "";
}

}  // namespace analyze
