// The virtual board every benchmark runs against: one unpaced ADC board
// with its ADC running, opened and registered through the library.
#pragma once

#include "kpxadac16.h"

namespace bench {

// Builds the rack (once) and returns the registered board's handle.
BoardHandle benchBoard();

}  // namespace bench
