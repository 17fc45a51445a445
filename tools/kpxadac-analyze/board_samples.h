// Samples taken from a board through the library's receive stream.
#pragma once

#include <string>

#include "analyze_options.h"
#include "sample_set.h"

namespace analyze {

// Takes `count` samples from the board the options name, with the clock
// they ask for; lost samples split the set into stretches. Returns "" or the
// reason it failed.
std::string takeFromBoard(const Options& options, uint64_t count, SampleSet& set);

}  // namespace analyze
