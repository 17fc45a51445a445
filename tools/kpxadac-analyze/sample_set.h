// The samples to analyse, from a recording or from a board: their rate, the
// stretches that no gap interrupts, and a way to copy any of them out.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "sigmf_reader.h"

namespace analyze {

using kpx::tools::Gap;

struct Stretch {
  uint64_t start = 0;  // index of the first sample
  uint64_t count = 0;
};

struct SampleSet {
  std::string source;  // what the samples are, for the report
  std::optional<double> sampleRateHz;
  uint64_t samples = 0;
  std::vector<Stretch> stretches;  // in order, together covering every sample
  std::vector<Gap> gaps;           // where samples were lost, in order
  uint64_t ignoredBytes = 0;       // bytes of the file after the samples used
  // Copies samples start .. start + count - 1 to `out`; returns "" or the reason it failed.
  std::function<std::string(uint64_t start, size_t count, int16_t* out)> read;
};

// The first samples of up to `wanted` blocks of `blockSize` consecutive
// samples, none crossing from one stretch into the next.
inline std::vector<uint64_t> blockStarts(const std::vector<Stretch>& stretches, size_t blockSize,
                                         size_t wanted) {
  std::vector<uint64_t> starts;
  for (const Stretch& s : stretches)
    for (uint64_t at = s.start; at + blockSize <= s.start + s.count && starts.size() < wanted;
         at += blockSize)
      starts.push_back(at);
  return starts;
}

}  // namespace analyze
