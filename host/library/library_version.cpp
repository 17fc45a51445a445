// KpxBoard_LibraryVersion: the project's version, set by the build.
#include "kpxadac_board.h"

#ifndef KPXADAC_VERSION_TEXT
#error "KPXADAC_VERSION_TEXT is set by host/library/CMakeLists.txt"
#endif

const char* KpxBoard_LibraryVersion(void) {
  return KPXADAC_VERSION_TEXT;
}
