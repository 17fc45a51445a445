#include "recording.h"

#include <filesystem>
#include <memory>

#include "input_file.h"
#include "sigmf_files.h"
#include "sigmf_reader.h"

namespace analyze {
namespace {

namespace fs = std::filesystem;

// Opens the data file (a regular file) and reads blocks from it as they are
// asked for: a recording may be far larger than memory.
std::string openData(const std::string& path, SampleSet& set, uint64_t& bytes) {
  auto file = std::make_shared<kpx::tools::InputFile>();
  if (auto reason = file->open(path); !reason.empty()) return reason;
  bytes = file->size();
  set.source = path;
  set.read = [file, path](uint64_t start, size_t count, int16_t* out) -> std::string {
    std::vector<unsigned char> block(count * 2);
    size_t have = 0;
    while (have < block.size()) {
      const int64_t got = file->readAt(start * 2 + have, block.data() + have, block.size() - have);
      if (got <= 0) return "cannot read " + path;
      have += static_cast<size_t>(got);
    }
    for (size_t i = 0; i < count; ++i)
      out[i] = static_cast<int16_t>(static_cast<uint16_t>(block[2 * i] | (block[2 * i + 1] << 8)));
    return "";
  };
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
  kpx::tools::SigmfMetadata meta;
  if (auto reason = kpx::tools::readSigmfMetadataFile(kpx::tools::sigmfMetaPath(base), meta);
      !reason.empty())
    return reason;
  uint64_t dataBytes = 0;
  if (auto reason = openData(kpx::tools::sigmfDataPath(base), set, dataBytes); !reason.empty())
    return reason;
  if (auto reason = kpx::tools::fitSigmfData(meta, dataBytes, set.samples, set.ignoredBytes);
      !reason.empty())
    return base + ": " + reason;
  set.sampleRateHz = meta.sampleRateHz;
  set.gaps = meta.gaps;
  set.stretches = stretchesBetween(set.gaps, set.samples);
  return "";
}

}  // namespace

std::string openRecording(const std::string& path, SampleSet& set) {
  if (kpx::tools::hasSigmfEnding(path)) return openSigmf(kpx::tools::sigmfBaseName(path), set);
  // A base name: the path itself is not there, its metadata is.
  std::error_code error;
  if (!fs::exists(fs::symlink_status(path, error)) &&
      fs::exists(fs::symlink_status(kpx::tools::sigmfMetaPath(path), error)))
    return openSigmf(path, set);

  uint64_t bytes = 0;
  if (auto reason = openData(path, set, bytes); !reason.empty()) return reason;
  set.samples = bytes / 2;
  set.ignoredBytes = bytes % 2;
  set.stretches = {{0, set.samples}};
  return "";
}

}  // namespace analyze
