#include "stop_signals.h"

namespace capture {

void alsoStopOnHangup() {}

}  // namespace capture
