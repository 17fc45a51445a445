// What a tool says when its stream's reading thread did not get real-time
// priority or its ring could not be locked in memory: one line, with what
// it got and how to allow the rest.
#pragma once

#include <string>

#include "kpxadac_stream.h"
#include "tool_platform.h"

namespace kpx::tools {

// "" when the stream got all it asked for (or asked for nothing).
inline std::string streamPriorityNote(const KpxStreamStatus& status) {
  if (status.threadPriority == KPXSTREAM_PRIORITY_NOT_ASKED) return "";
  const bool realtime = status.threadPriority == KPXSTREAM_PRIORITY_REALTIME;
  if (realtime && status.ringLocked) return "";
  std::string note = "the board is read at ";
  if (realtime)
    note += "real-time priority";
  else if (status.threadPriority == KPXSTREAM_PRIORITY_RAISED)
    note += "a raised priority (nice " + std::to_string(status.threadPriorityValue) + ")";
  else
    note += "normal priority";
  note += status.ringLocked ? ", the ring locked in memory" : ", the ring not locked in memory";
  note += "; " + priorityAdvice();
  return note;
}

}  // namespace kpx::tools
