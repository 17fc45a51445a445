// The names of a capture's output files, checked before anything is opened.
// An existing output is replaced only once the capture starts: each new
// file is first written beside it under a temporary name (<name>.new) and
// renamed over the name when the board is reading, so that a run that ends
// before (a bad name, no board, an unwritable folder) leaves it untouched.
#pragma once

#include <string>

#include "output_file.h"

namespace capture {

struct OutputNames {
  std::string data;          // the samples' file; "" for standard output
  std::string metadata;      // the SigMF metadata file; "" for raw output
  bool dataInPlace = false;  // an existing FIFO or device: written directly, nothing renamed

  std::string dataTemporary() const { return temporaryName(data); }
};

// Checks the names that --output gives and fills `names`; returns "" or the
// reason to refuse them: a name that ends in a folder separator or is a
// folder, a file name (temporary ones included) longer than its file system
// takes, or a file in the way of the temporary data file.
std::string planOutput(const std::string& output, bool sigmf, OutputNames& names);

}  // namespace capture
