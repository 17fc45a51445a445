/*
 * enumerate_boards: lists the boards the library finds, then writes a custom
 * register of the first board and reads it back.
 *
 *   cc enumerate_boards.c $(pkg-config --cflags --libs kpxadac) -o enumerate_boards
 */
#include <stdio.h>

#include "kpxadac16.h"

int main(void) {
  const uint32_t customRegister0 = 0x70;
  const uint32_t pattern = 0x12345678u;
  BoardHandle first = KPXADAC_INVALID_HANDLE;
  int32_t count = Kpxadac16_Open();
  int type;

  printf("%d board(s) registered\n", (int)count);
  for (type = BOARD_TYPE_ADC; type <= BOARD_TYPE_DAC; ++type) {
    unsigned index;
    for (index = 0; index < 256; ++index) {
      BoardHandle handle = Kpxadac16_GetHandle(type, (uint8_t)index);
      if (handle == KPXADAC_INVALID_HANDLE) break;
      if (first == KPXADAC_INVALID_HANDLE) first = handle;
      printf("%s %u: board ID 0x%02X, status %d, fixed clock %d\n",
             type == BOARD_TYPE_ADC ? "ADC" : "DAC", index,
             (unsigned)Kpxadac16_GetBoardId(type, (uint8_t)index),
             (int)Kpxadac16_GetBoardStatus(handle), (int)Kpxadac16_GetFixedClock(handle));
    }
  }
  if (first == KPXADAC_INVALID_HANDLE) {
    printf("no board found\n");
    return 1;
  }
  Kpxadac16_WriteReg(first, customRegister0, pattern);
  {
    uint32_t back = Kpxadac16_ReadReg(first, customRegister0);
    printf("register 0x%02X: wrote 0x%08X, read 0x%08X\n", (unsigned)customRegister0,
           (unsigned)pattern, (unsigned)back);
    Kpxadac16_CloseAll();
    return back == pattern ? 0 : 1;
  }
}
