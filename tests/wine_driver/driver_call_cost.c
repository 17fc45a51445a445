/* What one control request costs through Wine's kernel: times N register
 * reads (IOCTL_GET_HSREG) and N 4096-byte streaming reads on the test
 * driver's board 0 and prints the mean of each in microseconds.
 * Usage: driver_call_cost.exe [N] */
#include <stdio.h>
#include <stdlib.h>
#include <windows.h>

static double microseconds(LARGE_INTEGER from, LARGE_INTEGER to, LARGE_INTEGER frequency, int n) {
  return (double)(to.QuadPart - from.QuadPart) * 1e6 / (double)frequency.QuadPart / n;
}

int main(int argc, char** argv) {
  int n = argc > 1 ? atoi(argv[1]) : 2000;
  LARGE_INTEGER frequency, start, middle, end;
  unsigned char block[4096];
  DWORD offset = 8, run[2] = {28, 1}, value = 0, returned = 0;
  int i;
  HANDLE board = CreateFileA("\\\\.\\KPXADAC_0", GENERIC_READ | GENERIC_WRITE,
                             FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING, 0, NULL);
  if (board == INVALID_HANDLE_VALUE || n < 1) {
    printf("driver_call_cost: no board at \\\\.\\KPXADAC_0 (error %lu)\n", GetLastError());
    return 1;
  }
  /* The channel delivers while the ADC runs. */
  DeviceIoControl(board, 0x8000200C, run, sizeof run, &value, sizeof value, &returned, NULL);
  QueryPerformanceFrequency(&frequency);
  QueryPerformanceCounter(&start);
  for (i = 0; i < n; ++i)
    DeviceIoControl(board, 0x80002008, &offset, sizeof offset, &value, sizeof value, &returned,
                    NULL);
  QueryPerformanceCounter(&middle);
  for (i = 0; i < n; ++i) ReadFile(board, block, sizeof block, &returned, NULL);
  QueryPerformanceCounter(&end);
  printf(
      "per DeviceIoControl (IOCTL_GET_HSREG): %.0f us; per 4096-byte ReadFile: %.0f us (%d each)\n",
      microseconds(start, middle, frequency, n), microseconds(middle, end, frequency, n), n);
  CloseHandle(board);
  return 0;
}
