// The meaning of each result of Kpxadac16_LoadBitstreamFile, for programs
// that report a refused FPGA image (kpxadac-capture, the SoapySDR module).
// Internal to the SDK: built against, not installed.
#ifndef KPXADAC_BITSTREAM_RESULT_TEXT_H
#define KPXADAC_BITSTREAM_RESULT_TEXT_H

#include <stdint.h>

#include "kpxadac16.h"

// The driver answers a download it accepted with this result word.
#define KPXADAC16_BITSTREAM_LOADED 0

// The text of a result of Kpxadac16_LoadBitstreamFile other than
// KPXADAC16_BITSTREAM_LOADED. A result that is none of the library's codes
// is the driver's own refusal.
static inline const char* kpxadac16BitstreamResultText(int32_t code) {
  switch (code) {
    case KPXADAC16_BITSTREAM_LOADED:
      return "loaded";
    case 1:
      return "file not found";
    case 2:
      return "the board was busy";
    case 3:
      return "the board is not registered";
    case 4:
      return "no FPGA part is known for the board ID";
    case 6:
      return "the board's identification failed";
    case 7:
      return "the file's FPGA part does not match the board";
    case 8:
      return "not a .bit file";
    case KPXADAC16_BITFILE_UNREADABLE:
      return "the file could not be read";
    case KPXADAC16_BITFILE_TOO_LARGE:
      return "the file is too large";
    case KPXADAC16_BITFILE_NO_MEMORY:
      return "out of memory";
    case KPXADAC16_BITFILE_BAD_HEADER:
      return "the .bit header is damaged";
    case KPXADAC16_BITFILE_PART_TOO_LONG:
      return "the part name in the file is too long";
    case -1:
      return "the download request failed";
    default:
      return "the driver refused the image";
  }
}

#endif /* KPXADAC_BITSTREAM_RESULT_TEXT_H */
