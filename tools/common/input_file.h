// Files the tools read (recordings and their metadata), checked for what
// they are before they are read: a directory, a FIFO or a device is refused
// at once, with the file's name and what it is, rather than waited on or
// read as an endless or empty file. input_file_posix.cpp and
// input_file_win32.cpp implement it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace kpx::tools {

class InputFile {
 public:
  InputFile() = default;
  InputFile(const InputFile&) = delete;
  InputFile& operator=(const InputFile&) = delete;
  ~InputFile();

  // Opens `path` for reading if it names a regular file. Returns "" or the
  // reason, which names the file ("... is a FIFO (named pipe), not a
  // regular file").
  std::string open(const std::string& path);

  // The C runtime's descriptor (read, lseek), -1 until opened.
  int descriptor() const { return descriptor_; }
  // The file's length when it was opened.
  uint64_t size() const { return size_; }

  // Reads up to `length` bytes from `offset`: the bytes read (fewer at the
  // end of the file), or -1 on a read error.
  int64_t readAt(uint64_t offset, void* buffer, size_t length) const;

 private:
  int descriptor_ = -1;
  uint64_t size_ = 0;
};

// Sequential reads of a descriptor (an opened InputFile's, or standard
// input's), for a tool that streams a file rather than reading at offsets.
// readNext reads up to `length` bytes: the bytes read, 0 at the end, -1 on
// an error (errno says which; EINTR: try again). rewindToStart goes back to
// the first byte; false where the descriptor cannot seek (a pipe).
int64_t readNext(int descriptor, void* buffer, size_t length);
bool rewindToStart(int descriptor);

// Standard input's descriptor, set to pass bytes unchanged (binary mode on
// Windows).
int standardInputForBytes();

// Reads the whole of a regular file of at most `maxBytes` bytes. Returns ""
// or the reason, which names the file.
std::string readWholeFile(const std::string& path, uint64_t maxBytes, std::string& text);

}  // namespace kpx::tools
