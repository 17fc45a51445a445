// KpxResponse_LibraryVersion: the project's version, set by the build.
#include "kpxadac/response.h"

#ifndef KPXRESPONSE_VERSION_TEXT
#error "KPXRESPONSE_VERSION_TEXT is set by analysis/CMakeLists.txt"
#endif

const char* KpxResponse_LibraryVersion(void) {
  return KPXRESPONSE_VERSION_TEXT;
}
