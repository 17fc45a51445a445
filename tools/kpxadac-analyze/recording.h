// Recordings: SigMF (16-bit little-endian, one channel), whose capture
// segments mark the gaps, or raw 16-bit little-endian samples.
#pragma once

#include <string>

#include "sample_set.h"

namespace analyze {

// Opens the recording at `path`: a SigMF base name (or its .sigmf-meta,
// .sigmf-data or .sigmf name), or else a raw file. Returns "" or the reason.
std::string openRecording(const std::string& path, SampleSet& set);

}  // namespace analyze
