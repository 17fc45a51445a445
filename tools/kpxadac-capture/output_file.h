// The file the samples go to: a regular file, or standard output. Written
// with the host's own calls: output_file_posix.cpp (with the writeback of
// a regular file on Linux) and output_file_win32.cpp.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

namespace capture {

class OutputFile {
 public:
  OutputFile() = default;
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;
  ~OutputFile();

  // Creates (or empties) `path`; with `exclusive`, only a file that does
  // not exist yet. Returns "" or the reason of the failure. `unbuffered` writes past the page cache
  // (O_DIRECT on Linux, FILE_FLAG_NO_BUFFERING on Windows) where the file system allows it; where
  // it refuses (tmpfs, say) the file goes through the cache. A write whose address, length or
  // offset is not aligned to 4096 bytes, such as a short last block, goes through the cache; on
  // Linux the aligned writes after it go past it again (an unaligned length leaves the offset
  // unaligned, so those after it stay cached), on Windows all after it stay cached.
  std::string create(const std::string& path, bool unbuffered = false, bool exclusive = false);
  // Takes over an open descriptor (standard output, from
  // tool::takeStandardOutput()).
  void adopt(int descriptor, std::string name);

  // Writes all `length` bytes. Returns "" or the reason; `written` tells how
  // many bytes reached the file, also after a failure.
  std::string write(const uint8_t* bytes, size_t length, size_t& written);
  // Puts the data on the disk (a pipe or terminal has nothing to flush) and
  // ends the writeback. Returns "" or the reason.
  std::string flushToDisk();
  // Puts the data written so far on the disk while writing goes on (from
  // another thread than the writer's). Returns "" or the reason.
  std::string flushData();
  // Cuts a regular file to its first `bytes` bytes. Returns "" or the reason.
  std::string cutTo(uint64_t bytes);
  // Returns "" or the reason.
  std::string close();
  // Gives the open file the name `path` in its folder, in place of any file
  // of that name (moveOver). Returns "" or the reason.
  std::string moveTo(const std::string& path);
  // Closes and deletes the file: one that was written under a temporary
  // name for a capture that did not start.
  void discard();

  const std::string& name() const { return name_; }
  // Whether the last write went past the page cache (before any: whether the
  // file was opened so).
  bool unbuffered() const { return direct_; }

 private:
  void startWriteback();
  void stopWriteback();
  void runWriteback();

#ifdef _WIN32
  std::string leaveUnbuffered();
  void* handle_ = nullptr;  // the file's HANDLE; nullptr when none is open
#else
  int descriptor_ = -1;
  bool directAllowed_ = false;  // the file system takes O_DIRECT
#endif
  bool direct_ = false;  // O_DIRECT (FILE_FLAG_NO_BUFFERING) is on
  uint64_t offset_ = 0;  // bytes written so far, for the alignment of unbuffered writes
  std::string name_;
  bool regularFile_ = false;

  // Writeback of a regular file on Linux, on a thread of its own so that the writer
  // never waits for the disk: it starts the disk on each new stretch of the
  // file and drops stretches well behind from the page cache.
  std::thread writeback_;
  std::mutex writebackMutex_;
  std::condition_variable writebackWake_;
  uint64_t written_ = 0;   // bytes written so far (guarded)
  bool stopping_ = false;  // (guarded)
};

// The name a new file is written under before it is renamed over `path`.
inline std::string temporaryName(const std::string& path) {
  return path + ".new";
}

// Renames `from` over `to` (replacing it in one step) and puts the rename on
// the disk. Returns "" or the reason.
std::string moveOver(const std::string& from, const std::string& to);

// Deletes the file `path`, if it can.
void removeFile(const std::string& path);

// The longest file name, in bytes, that the file system of `folder` takes;
// 0 when not known.
size_t longestFileName(const std::string& folder);

}  // namespace capture
