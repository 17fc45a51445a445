// The group: one stream per board, started back to back, read on one index.
// First cut: every call refuses as not possible yet.
#include "kpxadac_group.h"

extern "C" {

int32_t KpxGroup_Open(const KpxGroupConfig*, KpxGroup**, KpxGroupOpenInfo*) {
  return KPXGROUP_ERR_STATE;
}
int32_t KpxGroup_OpenStreams(KpxStream* const*, const KpxGroupConfig*, KpxGroup**,
                             KpxGroupOpenInfo*) {
  return KPXGROUP_ERR_STATE;
}
int32_t KpxGroup_Start(KpxGroup*) {
  return KPXGROUP_ERR_STATE;
}
int32_t KpxGroup_Stop(KpxGroup*) {
  return KPXGROUP_ERR_STATE;
}
void KpxGroup_Close(KpxGroup*) {}
int32_t KpxGroup_Measure(KpxGroup*, uint64_t, KpxGroupAlignment*, int32_t, int32_t) {
  return KPXGROUP_ERR_STATE;
}
int32_t KpxGroup_SetOffsets(KpxGroup*, const double*, uint32_t) {
  return KPXGROUP_ERR_STATE;
}
int32_t KpxGroup_AcquireRead(KpxGroup*, KpxGroupBlock*, int32_t) {
  return KPXGROUP_ERR_STATE;
}
int32_t KpxGroup_ReleaseRead(KpxGroup*, const KpxGroupBlock*) {
  return KPXGROUP_ERR_STATE;
}
int32_t KpxGroup_AcquireWrite(KpxGroup*, KpxGroupBlock*, int32_t) {
  return KPXGROUP_ERR_STATE;
}
int32_t KpxGroup_SubmitWrite(KpxGroup*, const KpxGroupBlock*) {
  return KPXGROUP_ERR_STATE;
}
int32_t KpxGroup_GetStatus(KpxGroup*, KpxGroupStatus*) {
  return KPXGROUP_ERR_STATE;
}

}  // extern "C"
