// Offsets and drift of one board's window against another's.
#include "kpxadac_group.h"

extern "C" int32_t KpxGroup_Align(const int16_t*, const int16_t*, uint64_t, KpxGroupAlignment*) {
  return KPXGROUP_ERR_STATE;
}
