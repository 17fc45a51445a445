// A small file kept current while a capture runs, by atomic replacement: the
// new text goes to <path>.new, is flushed to the disk and renamed over the
// old file, so that a reader (or a crash) finds either the old text or the
// new one, never a mix. Each text may be padded with spaces, which keeps
// room on the disk: when the replacement fails (a full disk), the text is
// written over the old one in that room instead. Written with the host's
// own calls: metadata_file_posix.cpp and metadata_file_win32.cpp.
#pragma once

#include <cstddef>
#include <string>

#include "output_file.h"

namespace capture {

class MetadataFile {
 public:
  explicit MetadataFile(std::string path) : path_(std::move(path)) {}

  struct Outcome {
    std::string failure;   // "" when the file was replaced atomically
    bool written = false;  // the text is in the file (replaced, or over the old one)
  };

  // Puts `text` into the file, followed by spaces up to `paddedBytes` (the
  // room kept for a later text). On failure, the text goes over the old one
  // if the room suffices; Outcome tells what happened.
  Outcome replace(const std::string& text, size_t paddedBytes);

  // The first text of a new file in two steps, so that a file of that name
  // stays untouched until the new one is known to be writable: prepare()
  // writes the temporary file (<path>.new) and flushes it, commit() renames
  // it over the file, discard() deletes it. Each returns "" or the reason.
  std::string prepare(const std::string& text, size_t paddedBytes);
  std::string commit();
  void discard();

  const std::string& path() const { return path_; }
  std::string temporaryPath() const { return temporaryName(path_); }

 private:
  std::string replaceAtomically(const std::string& content);
  // Writes `content` to temporaryPath(), flushes it to the disk and closes
  // it; on failure deletes it.
  std::string writeTemporary(const std::string& content);
  // Writes `content` over the file from its start, in place.
  std::string overwrite(const std::string& content);

  std::string path_;
  size_t bytesOnDisk_ = 0;    // size of the file we last wrote
  size_t bytesPrepared_ = 0;  // size of the text prepare() wrote
};

}  // namespace capture
