#include "kpxadac/analysis_json.h"

#include <cmath>

namespace kpx::analysis {
namespace {

// JSON has no infinities (an SNR of a noise-free spectrum is one): null.
nlohmann::json number(double value) {
  return std::isfinite(value) ? nlohmann::json(value) : nlohmann::json(nullptr);
}

}  // namespace

nlohmann::json toJson(const Measurements& m) {
  nlohmann::json harmonics = nlohmann::json::array();
  for (const Harmonic& h : m.harmonics)
    harmonics.push_back({{"order", h.order},
                         {"frequency_hz", number(h.frequencyHz)},
                         {"power_dbfs", number(h.powerDbfs)}});
  return {{"fundamental_hz", number(m.fundamentalHz)},
          {"fundamental_dbfs", number(m.fundamentalDbfs)},
          {"snr_db", number(m.snrDb)},
          {"sinad_db", number(m.sinadDb)},
          {"thd_db", number(m.thdDb)},
          {"sfdr_dbc", number(m.sfdrDbc)},
          {"sfdr_dbfs", number(m.sfdrDbfs)},
          {"enob_bits", number(m.enobBits)},
          {"noise_floor_dbfs_per_bin", number(m.noiseFloorDbfsPerBin)},
          {"harmonics", harmonics}};
}

}  // namespace kpx::analysis
