// The system's text for an error number, as the library prints it after a
// failed read (the wording depends on the host and its language).
#pragma once

#include <cstdint>
#include <string>

#include "platform/platform.h"

inline std::string systemText(uint32_t error) {
  char* text = kpx::platform::errorText(error);
  std::string copy = text ? text : "";
  kpx::platform::freeErrorText(text);
  return copy;
}
