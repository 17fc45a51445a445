/*
 * stream_ramp: streams samples from the first ADC board, which should carry
 * a ramp (sample k of the board is k mod 65536), and checks that every block
 * continues the ramp where the stream says it starts: across a reported gap
 * the ramp must jump by exactly the lost samples, and nowhere else.
 *
 *   cc stream_ramp.c $(pkg-config --cflags --libs kpxadac) -o stream_ramp
 *   KPXADAC_SIM='{"boards": [{"device": 0, "realtime": true, "signal": {"type": "ramp"}}]}' \
 *     ./stream_ramp 100000000          # 10^8 samples at 105 MHz
 *   ./stream_ramp 2000000 5            # a consumer that sleeps 5 ms a block
 *
 * Exit status: 0 when the samples agree with the gaps, 1 when they do not,
 * 2 when the stream could not run.
 */
#include <stdio.h>
#include <stdlib.h>

#include "kpxadac16.h"
#include "kpxadac_stream.h"

static void sleepMilliseconds(unsigned milliseconds) {
  if (milliseconds) Kpxadac16_Sleep(KPXADAC_INVALID_HANDLE, milliseconds);
}

int main(int argc, char **argv) {
  unsigned long long wanted = argc > 1 ? strtoull(argv[1], NULL, 10) : 100000000ull;
  unsigned slowMs = argc > 2 ? (unsigned)strtoul(argv[2], NULL, 10) : 0;
  unsigned long long samples = 0, expected = 0, lost = 0, gaps = 0, faults = 0;
  KpxStreamConfig config = {0};
  KpxStreamBlock block;
  KpxStream *stream = NULL;
  int32_t result;

  Kpxadac16_Open();
  config.board = Kpxadac16_GetHandle(BOARD_TYPE_ADC, 0);
  config.direction = KPXSTREAM_RECEIVE;
  config.blockBytes = 1u << 18;
  config.blockCount = 16;
  config.setup = KPXSTREAM_SETUP_AUTO_CLOCK;
  config.sampleLimit = wanted;
  result = KpxStream_Open(&config, &stream);
  if (result == KPXSTREAM_OK) result = KpxStream_Start(stream);
  if (result != KPXSTREAM_OK) {
    fprintf(stderr, "stream_ramp: %s\n", KpxStream_ResultText(result));
    KpxStream_Close(stream);
    return 2;
  }

  while ((result = KpxStream_AcquireRead(stream, &block, 5000)) == KPXSTREAM_OK) {
    const uint16_t *ramp = (const uint16_t *)block.data;
    uint32_t count = block.bytes / 2, i;
    if (block.lostBefore) {
      ++gaps;
      lost += block.lostBefore;
      printf("gap: %llu samples lost before board sample %llu\n",
             (unsigned long long)block.lostBefore, (unsigned long long)block.index);
    }
    if (block.index != expected + block.lostBefore) {
      printf("block at board sample %llu, expected %llu\n", (unsigned long long)block.index,
             expected + block.lostBefore);
      ++faults;
    }
    for (i = 0; i < count; ++i) {
      if (ramp[i] != (uint16_t)(block.index + i)) {
        printf("board sample %llu is %u, not %u\n", (unsigned long long)(block.index + i),
               ramp[i], (unsigned)(uint16_t)(block.index + i));
        ++faults;
        break;
      }
    }
    expected = block.index + count;
    samples += count;
    KpxStream_ReleaseRead(stream, &block);
    sleepMilliseconds(slowMs);
  }
  KpxStream_Close(stream);
  Kpxadac16_CloseAll();
  if (result != KPXSTREAM_COMPLETE) {
    fprintf(stderr, "stream_ramp: the stream ended early: %s\n", KpxStream_ResultText(result));
    return 2;
  }
  printf("stream_ramp: %llu samples, %llu gaps (%llu samples lost), %s\n", samples, gaps, lost,
         faults ? "ramp BROKEN" : "ramp continuous between gaps");
  return faults ? 1 : 0;
}
