// A capture of a group of boards (--index N,M,...): the library's group
// (kpxadac_group.h) starts every board's stream as one and delivers their
// blocks on one sample index; each board's samples go to a file of their
// own, and with SigMF a collection names the recordings (docs/groups.md).
#pragma once

#include <atomic>
#include <string>

#include "capture_options.h"

namespace capture {

// The names of a group member's output: SigMF base <base>-<index>; raw
// <stem>-<index><extension> ("x.bin" gives "x-2.bin"), or `output` itself
// where it is an existing device or FIFO (/dev/null), which every board
// writes to.
std::string groupMemberOutput(const std::string& output, bool sigmf, unsigned index);

// Runs the group capture the options describe; returns the exit status.
// `stop` (set by Ctrl+C) ends it after the current block.
int runGroupCapture(const Options& options, std::atomic<bool>& stop);

}  // namespace capture
