// The file the samples go to: a regular file, or standard output.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace capture {

class OutputFile {
 public:
  OutputFile() = default;
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;
  ~OutputFile();

  // Creates (or empties) `path`. Returns "" or the reason of the failure.
  std::string create(const std::string& path);
  // Takes over an open descriptor (standard output).
  void adopt(int descriptor, std::string name);

  // Writes all `length` bytes. Returns "" or the reason; `written` tells how
  // many bytes reached the file, also after a failure.
  std::string write(const uint8_t* bytes, size_t length, size_t& written);
  // Puts the data on the disk (a pipe or terminal has nothing to flush).
  // Returns "" or the reason.
  std::string flushToDisk();
  // Returns "" or the reason.
  std::string close();

  const std::string& name() const { return name_; }

 private:
  void streamToDisk(uint64_t start, size_t length);

  int descriptor_ = -1;
  std::string name_;
  bool regularFile_ = false;
  uint64_t offset_ = 0;   // bytes written so far
  uint64_t settled_ = 0;  // bytes known to be on the disk and out of the cache
};

}  // namespace capture
