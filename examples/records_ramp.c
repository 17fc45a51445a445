/*
 * records_ramp: takes triggered records from the first ADC board, which
 * should carry a ramp (sample k of the board is k mod 65536), and checks
 * each one: a rising trigger at `level` fires exactly where the ramp's
 * value is the level, and every sample of the record is the ramp at its
 * board index.
 *
 *   cc records_ramp.c $(pkg-config --cflags --libs kpxadac) -o records_ramp
 *   KPXADAC_SIM='{"boards": [{"device": 0, "signal": {"type": "ramp"}}]}' \
 *     ./records_ramp 100 1000          # 100 records at level 1000
 *
 * Exit status: 0 when every record agrees, 1 when one does not, 2 when the
 * records could not be taken.
 */
#include <stdio.h>
#include <stdlib.h>

#include "kpxadac16.h"
#include "kpxadac_records.h"
#include "kpxadac_stream.h"

int main(int argc, char **argv) {
  long long count = argc > 1 ? strtoll(argv[1], NULL, 10) : 100;
  long level = argc > 2 ? strtol(argv[2], NULL, 10) : 1000;
  KpxStreamConfig streamConfig = {0};
  KpxRecordsConfig config = {0};
  KpxStream *stream = NULL;
  KpxRecords *records = NULL;
  KpxRecord record;
  KpxRecordsStatus status;
  unsigned long long taken = 0, faults = 0;
  int32_t result;

  if (Kpxadac16_Open() < 1) {
    fprintf(stderr, "records_ramp: no board\n");
    return 2;
  }
  streamConfig.board = Kpxadac16_GetHandle(BOARD_TYPE_ADC, 0);
  streamConfig.direction = KPXSTREAM_RECEIVE;
  streamConfig.blockBytes = 1 << 20;
  streamConfig.blockCount = 16;
  streamConfig.setup = KPXSTREAM_SETUP_AUTO_CLOCK;
  config.edge = KPXRECORDS_RISING;
  config.level = (int32_t)level;
  config.pre = 100;
  config.post = 400;
  config.count = count;
  result = KpxStream_Open(&streamConfig, &stream);
  if (result != KPXSTREAM_OK) {
    fprintf(stderr, "records_ramp: %s\n", KpxStream_ResultText(result));
    return 2;
  }
  result = KpxRecords_Open(stream, &config, &records);
  if (result == KPXRECORDS_OK) result = KpxRecords_Start(records);
  if (result != KPXRECORDS_OK) {
    fprintf(stderr, "records_ramp: %s\n", KpxRecords_ResultText(result));
    KpxStream_Close(stream);
    return 2;
  }
  while ((result = KpxRecords_Acquire(records, &record, 5000)) == KPXRECORDS_OK) {
    uint32_t i;
    if ((int16_t)(record.triggerIndex & 0xFFFF) != config.level) ++faults;
    for (i = 0; i < record.length; ++i)
      if ((uint16_t)record.samples[i] != (uint16_t)(record.firstIndex + i)) {
        ++faults;
        break;
      }
    ++taken;
    KpxRecords_Release(records, &record);
  }
  KpxRecords_GetStatus(records, &status);
  printf("%llu records (%s), %llu triggers, lost: %llu to gaps, %llu skipped; %llu faults\n",
         taken, KpxRecords_ResultText(result), (unsigned long long)status.counts.triggersSeen,
         (unsigned long long)status.counts.lostToGaps,
         (unsigned long long)status.counts.skippedSlow, faults);
  KpxRecords_Close(records);
  KpxStream_Close(stream);
  Kpxadac16_CloseAll();
  return faults || taken != (unsigned long long)count ? 1 : 0;
}
