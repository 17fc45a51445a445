/* The public headers as a C99 program sees them: types, sizes, constants,
 * and a few calls through the shared library. */
#include <stdio.h>
#include <string.h>

#include "kpxadac16.h"
#include "kpxadac_group.h"
#include "kpxadac_stream.h"
#include "kpxadac_waveform.h"
#include "kpxadc.h"

static int failures = 0;

#define CHECK(condition)                                             \
  do {                                                               \
    if (!(condition)) {                                              \
      printf("%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition); \
      ++failures;                                                    \
    }                                                                \
  } while (0)

int main(void) {
  BoardHandle adc, dac;
  uint8_t info[6];
  V360DebugRecord snapshot;
  ClockSetting setting;
  KpxStream *stream = NULL;
  KpxStreamConfig config;
  KpxStreamBlock block;

  CHECK(sizeof(V360DebugRecord) == 44);
  CHECK(sizeof(TalvoErrorCounts) == 8);
  CHECK(sizeof(ProfilingRecord) == 20);
  CHECK(sizeof(ClockSetting) == 16);
  CHECK(TALVO_MAX_CHUNK == 0x3F00000u);
  CHECK(sizeof(BoardType) == 4 && sizeof(BoardState) == 4 && sizeof(BoardError) == 4);

  CHECK(Kpxadac16_Open() >= 2);
  adc = Kpxadac16_GetHandle(BOARD_TYPE_ADC, 0);
  dac = Kpxadac16_GetHandle(BOARD_TYPE_DAC, 0);
  CHECK(adc != KPXADAC_INVALID_HANDLE);
  CHECK(dac != KPXADAC_INVALID_HANDLE);
  CHECK(Kpxadac16_GetBoardId(BOARD_TYPE_DAC, 0) == 0x87);
  CHECK(Kpxadac16_GetBoardInfo(adc, info) == 0 && info[5] == 0x8A);
  CHECK(Kpxadac16_WriteReg(adc, 0x74, 0xCAFEu) == 0xCAFE);
  CHECK(KPXADC_GetClockSource(adc) == 0);
  CHECK(Kpxadac16_V360Debug(adc, &snapshot) == 0);
  memset(&setting, 0, sizeof setting);
  CHECK(Kpxadac16_GetState(adc) == STATE_IDLE);

  memset(&config, 0, sizeof config);
  config.board = dac;
  config.direction = KPXSTREAM_RECEIVE;
  config.blockBytes = 4096;
  config.blockCount = 2;
  config.setup = KPXSTREAM_SETUP_AUTO_CLOCK;
  CHECK(KpxStream_Open(&config, &stream) == KPXSTREAM_ERR_DIRECTION);
  config.board = adc;
  config.sampleLimit = 2048;
  CHECK(KpxStream_Open(&config, &stream) == KPXSTREAM_OK);
  CHECK(KpxStream_Start(stream) == KPXSTREAM_OK);
  CHECK(KpxStream_AcquireRead(stream, &block, -1) == KPXSTREAM_OK && block.bytes == 4096);
  CHECK(KpxStream_ReleaseRead(stream, &block) == KPXSTREAM_OK);
  CHECK(KpxStream_AcquireRead(stream, &block, -1) == KPXSTREAM_COMPLETE);
  CHECK(strcmp(KpxStream_ResultText(KPXSTREAM_COMPLETE), "complete") == 0);
  KpxStream_Close(stream);
  Kpxadac16_CloseAll();
  CHECK(Kpxadac16_GetState(adc) == STATE_NONE);

  {
    /* The generator from C: a ramp continues across calls, a tone above
     * full scale is refused. */
    KpxWaveSettings wave;
    KpxWave *ramp = NULL, *loud = NULL;
    int16_t samples[4];
    KpxWave_DefaultSettings(&wave, KPXWAVE_RAMP, 105e6);
    CHECK(KpxWave_Create(&wave, &ramp) == KPXWAVE_OK);
    CHECK(KpxWave_Seek(ramp, 65534) == KPXWAVE_OK);
    CHECK(KpxWave_Generate(ramp, samples, 2) == KPXWAVE_OK);
    CHECK(KpxWave_Generate(ramp, samples + 2, 2) == KPXWAVE_OK);
    CHECK(samples[0] == -2 && samples[1] == -1 && samples[2] == 0 && samples[3] == 1);
    KpxWave_Destroy(ramp);
    KpxWave_DefaultSettings(&wave, KPXWAVE_TONE, 105e6);
    wave.amplitudeDbfs = 0.5;
    CHECK(KpxWave_Create(&wave, &loud) == KPXWAVE_ERR_AMPLITUDE && loud == NULL);
    CHECK(strcmp(KpxWave_ResultText(KPXWAVE_ERR_AMPLITUDE), "amplitude above full scale") == 0);
  }
  {
    /* A group from C: a board twice is refused, with its position. */
    KpxGroupConfig group;
    KpxGroupOpenInfo where;
    KpxGroup *opened = NULL;
    memset(&group, 0, sizeof group);
    group.direction = KPXSTREAM_RECEIVE;
    group.count = 2;
    group.blockSamples = 2048;
    CHECK(KpxGroup_Open(&group, &opened, &where) == KPXGROUP_ERR_DUPLICATE && opened == NULL);
    CHECK(where.position == 1);
    CHECK(strcmp(KpxGroup_ResultText(KPXGROUP_ERR_DUPLICATE), "a board is named twice") == 0);
    CHECK(KPXGROUP_MAX_BOARDS == 64 && sizeof(group.boards) == 64 * sizeof(int32_t));
  }
  printf("%s\n", failures ? "FAILED" : "ok");
  return failures ? 1 : 0;
}
