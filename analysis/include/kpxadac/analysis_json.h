// Measurements as JSON, with the key names that kpxadac-analyze prints and
// the live view sends.
#pragma once

#include <nlohmann/json.hpp>

#include "kpxadac/analysis.h"

namespace kpx::analysis {

// Keys: fundamental_hz, fundamental_dbfs, snr_db, sinad_db, thd_db, sfdr_dbc,
// sfdr_dbfs, enob_bits, noise_floor_dbfs_per_bin, harmonics: [{order,
// frequency_hz, power_dbfs}]. A value that is not finite is written as null.
nlohmann::json toJson(const Measurements&);

}  // namespace kpx::analysis
