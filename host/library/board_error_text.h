// The meaning of each BoardError, for programs that report why a board
// transfer ended (kpxadac-capture, the SoapySDR module).
// Internal to the SDK: built against, not installed.
#ifndef KPXADAC_BOARD_ERROR_TEXT_H
#define KPXADAC_BOARD_ERROR_TEXT_H

#include "kpxadac16.h"

// The text of `error`, or null for a value that is none of the BoardErrors.
static inline const char* kpxadac16BoardErrorText(BoardError error) {
  switch (error) {
    case ERR_NOT_IDLE:
      return "the board was busy";
    case ERR_CANCELLED:
      return "the transfer was cancelled";
    case ERR_REQUEST_FAILED:
      return "a driver request failed";
    case ERR_READ_FAILED:
      return "the driver's read failed";
    case ERR_WRITE_FAILED:
      return "the driver's write failed";
    case ERR_NO_BOARD:
      return "the board is not registered";
    default:
      return nullptr;
  }
}

#endif /* KPXADAC_BOARD_ERROR_TEXT_H */
