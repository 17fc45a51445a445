// The SigMF metadata of a recording (docs/capture.md), read by one rule for
// gaps: a gap is where a capture segment's core:global_index moves further
// than its core:sample_start; a segment without such a jump joins its
// neighbour. The metadata comes from files that anyone may hand us, so every
// malformed one is a clear error, never a crash: its size and its depth are
// bounded, and every index is a whole number within the signed 64-bit range
// (as Python's reader takes them). kpxadac-analyze and kpxadac-generate
// both read recordings through it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kpx::tools {

// `lost` samples are missing right before sample `sampleStart` of the file,
// whose board index is `globalIndex` (lost samples counted).
struct Gap {
  uint64_t sampleStart = 0;
  uint64_t globalIndex = 0;
  uint64_t lost = 0;
};

struct SigmfMetadata {
  std::optional<double> sampleRateHz;
  // kpxadac:sample_count: the samples of the data file that this metadata
  // describes; a recording still being written (or whose writer died) may
  // hold more. Empty: the whole file.
  std::optional<uint64_t> describedSamples;
  std::string state;      // kpxadac:state, "" when absent
  std::vector<Gap> gaps;  // in sample order
};

// The largest metadata file read: a records capture of a million records
// writes about 250 MB.
inline constexpr uint64_t kMaxSigmfMetaBytes = uint64_t{1} << 30;
// The deepest nesting read; the metadata nests 4 levels.
inline constexpr int kMaxSigmfMetaDepth = 64;

// Reads the metadata text (a UTF-8 byte order mark before it is skipped).
// Returns "" or the reason it cannot be used.
std::string readSigmfMetadata(std::string_view text, SigmfMetadata& metadata);

// Reads the metadata file at `path` (a regular file of at most
// kMaxSigmfMetaBytes). Returns "" or the reason, naming the file.
std::string readSigmfMetadataFile(const std::string& path, SigmfMetadata& metadata);

// The samples of a data file of `dataBytes` bytes that the metadata
// describes, and the trailing bytes beyond them (ignored). Returns "" or the
// reason they do not fit together.
std::string fitSigmfData(const SigmfMetadata& metadata, uint64_t dataBytes, uint64_t& samples,
                         uint64_t& ignoredBytes);

}  // namespace kpx::tools
