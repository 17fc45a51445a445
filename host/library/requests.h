// Control requests to the board driver, as every part of the library sends
// them: one synchronous request, and on failure one line on standard output
// naming the request and the platform's last-error number.
#pragma once

#include <cstdint>

#include "kpxadac16.h"

namespace kpx {

enum class Report { kPrintFailure, kSilent };

// Sends `code` with the given blocks. `returned` may be null when nobody
// reads the count. Prints "<NAME> failed:  <error>" on failure unless silent.
bool sendRequest(BoardHandle handle, uint32_t code, const void* in, uint32_t inLength, void* out,
                 uint32_t outLength, uint32_t* returned = nullptr,
                 Report report = Report::kPrintFailure);

// Sends a request whose input is two parameter bytes and which has no
// output. 0 on success, -1 on failure (line printed).
int32_t sendParameterBytes(BoardHandle handle, uint32_t code, uint8_t param1, uint8_t param2);

// Prints the failure line of `code` for the calling thread's last error.
void printRequestFailure(uint32_t code);

}  // namespace kpx
