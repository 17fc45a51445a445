// Fuzz target: the tools' SigMF metadata reader over arbitrary text,
// then the fit of what it read to data files of several lengths. No input
// may crash it or hang it; what it accepts must hold together: gaps in
// sample order, each losing samples, and a fit that accounts for every byte.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "sigmf_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  kpx::tools::SigmfMetadata meta;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  if (!kpx::tools::readSigmfMetadata(text, meta).empty()) return 0;
  uint64_t previous = 0;
  for (const auto& gap : meta.gaps) {
    if (gap.lost == 0 || gap.sampleStart < previous) std::abort();
    previous = gap.sampleStart;
  }
  if (meta.sampleRateHz && !(*meta.sampleRateHz > 0)) std::abort();
  for (uint64_t bytes : {uint64_t{0}, uint64_t{1}, uint64_t{4097}, UINT64_MAX}) {
    uint64_t samples = 0, ignored = 0;
    if (!kpx::tools::fitSigmfData(meta, bytes, samples, ignored).empty()) continue;
    if (samples * 2 + ignored != bytes) std::abort();
    for (const auto& gap : meta.gaps)
      if (gap.sampleStart > samples) std::abort();
  }
  return 0;
}
