#include "output_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace capture {

namespace {

std::string systemReason(const std::string& what, const std::string& name) {
  return what + " " + name + ": " + std::strerror(errno);
}

// How far the data waited for on the disk trails the newest block.
constexpr uint64_t kWritebackWindow = 64ull << 20;

bool isRegularFile(int descriptor) {
  struct stat info {};
  return descriptor >= 0 && ::fstat(descriptor, &info) == 0 && S_ISREG(info.st_mode);
}

}  // namespace

OutputFile::~OutputFile() {
  close();
}

std::string OutputFile::create(const std::string& path) {
  name_ = path;
  descriptor_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (descriptor_ < 0) return systemReason("cannot create", path);
  regularFile_ = isRegularFile(descriptor_);
  return "";
}

void OutputFile::adopt(int descriptor, std::string name) {
  descriptor_ = descriptor;
  name_ = std::move(name);
  regularFile_ = isRegularFile(descriptor_);
}

std::string OutputFile::write(const uint8_t* bytes, size_t length, size_t& written) {
  written = 0;
  while (written < length) {
    const ssize_t n = ::write(descriptor_, bytes + written, length - written);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return systemReason("cannot write", name_);
    written += static_cast<size_t>(n);
  }
  streamToDisk(offset_, written);
  offset_ += written;
  return "";
}

// Keeps the disk busy from the first block and the page cache small: each
// block's writeback starts at once, and data a window behind is waited for
// and dropped from the cache. The final flush then has little left to do, and
// a long capture never piles up dirty pages that the kernel would later push
// out in one long stall.
void OutputFile::streamToDisk(uint64_t start, size_t length) {
#ifdef __linux__
  if (!regularFile_ || length == 0) return;
  const auto at = static_cast<off64_t>(start);
  ::sync_file_range(descriptor_, at, static_cast<off64_t>(length), SYNC_FILE_RANGE_WRITE);
  const uint64_t end = start + length;
  if (end < settled_ + 2 * kWritebackWindow) return;
  const uint64_t upTo = end - kWritebackWindow;
  const auto from = static_cast<off64_t>(settled_);
  const auto span = static_cast<off64_t>(upTo - settled_);
  ::sync_file_range(descriptor_, from, span,
                    SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE | SYNC_FILE_RANGE_WAIT_AFTER);
  ::posix_fadvise(descriptor_, from, span, POSIX_FADV_DONTNEED);
  settled_ = upTo;
#else
  (void)start;
  (void)length;
#endif
}

std::string OutputFile::flushToDisk() {
  // Only a regular file has data to put on the disk; a pipe has none.
  if (!regularFile_) return "";
#ifdef __APPLE__
  const int result = ::fsync(descriptor_);
#else
  const int result = ::fdatasync(descriptor_);
#endif
  return result == 0 ? "" : systemReason("cannot flush", name_);
}

std::string OutputFile::close() {
  if (descriptor_ < 0) return "";
  const int result = ::close(descriptor_);
  descriptor_ = -1;
  return result == 0 ? "" : systemReason("cannot close", name_);
}

}  // namespace capture
