#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "output_file.h"

namespace capture {

namespace {

std::string systemReason(const std::string& what, const std::string& name) {
  return what + " " + name + ": " + std::strerror(errno);
}

// Writeback is started per stretch of this many bytes; stretches this far
// behind the newest are dropped from the page cache.
constexpr uint64_t kWritebackStep = 8ull << 20;
constexpr uint64_t kWritebackWindow = 256ull << 20;
// What O_DIRECT asks of the buffer, the length and the offset: the page size
// covers the logical block size of every disk in use.
constexpr uint64_t kDirectAlignment = 4096;

bool alignedForDirect(const uint8_t* bytes, size_t length, uint64_t offset) {
  return reinterpret_cast<uintptr_t>(bytes) % kDirectAlignment == 0 &&
         length % kDirectAlignment == 0 && offset % kDirectAlignment == 0;
}

#ifdef O_DIRECT
// Turns O_DIRECT on or off for the writes that follow; false when refused.
bool setDirect(int descriptor, bool on) {
  const int flags = ::fcntl(descriptor, F_GETFL);
  return flags >= 0 && ::fcntl(descriptor, F_SETFL, on ? flags | O_DIRECT : flags & ~O_DIRECT) == 0;
}
#endif

bool isRegularFile(int descriptor) {
  struct stat info {};
  return descriptor >= 0 && ::fstat(descriptor, &info) == 0 && S_ISREG(info.st_mode);
}

}  // namespace

OutputFile::~OutputFile() {
  close();
}

std::string OutputFile::create(const std::string& path, bool unbuffered, bool exclusive) {
  name_ = path;
  int flags = O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | (exclusive ? O_EXCL : 0);
#ifdef O_DIRECT
  if (unbuffered) {
    descriptor_ = ::open(path.c_str(), flags | O_DIRECT, 0666);
    direct_ = directAllowed_ = descriptor_ >= 0;
    // A file system that refuses O_DIRECT (EINVAL) may have created the
    // file first: it is ours.
    if (descriptor_ < 0 && errno == EINVAL) flags &= ~O_EXCL;
  }
#else
  (void)unbuffered;
#endif
  // Without O_DIRECT support (tmpfs, for one) the file is written as usual.
  if (descriptor_ < 0) descriptor_ = ::open(path.c_str(), flags, 0666);
  if (descriptor_ < 0) return systemReason("cannot create", path);
  regularFile_ = isRegularFile(descriptor_);
  // Unbuffered data bypasses the page cache: there is no writeback to lead.
  if (!direct_) startWriteback();
  return "";
}

void OutputFile::adopt(int descriptor, std::string name) {
  descriptor_ = descriptor;
  name_ = std::move(name);
  regularFile_ = isRegularFile(descriptor_);
  startWriteback();
}

std::string OutputFile::write(const uint8_t* bytes, size_t length, size_t& written) {
  written = 0;
#ifdef O_DIRECT
  // Each write is direct or not by its own alignment: an unaligned one (a
  // short last block, a block in unaligned memory) goes through the cache,
  // and the aligned ones after it go past it again.
  if (const bool aligned = alignedForDirect(bytes, length, offset_);
      directAllowed_ && aligned != direct_) {
    if (setDirect(descriptor_, aligned))
      direct_ = aligned;
    else
      directAllowed_ = false;
  }
#endif
  while (written < length) {
    const ssize_t n = ::write(descriptor_, bytes + written, length - written);
    if (n < 0 && errno == EINTR) continue;
#ifdef O_DIRECT
    // Some file systems take O_DIRECT at open and refuse the writes: the
    // page cache then.
    if (n < 0 && errno == EINVAL && direct_) {
      setDirect(descriptor_, false);
      direct_ = directAllowed_ = false;
      continue;
    }
#endif
    if (n <= 0) return systemReason("cannot write", name_);
    written += static_cast<size_t>(n);
    offset_ += static_cast<uint64_t>(n);
  }
  if (writeback_.joinable()) {
    {
      std::lock_guard lock(writebackMutex_);
      written_ += written;
    }
    writebackWake_.notify_one();
  }
  return "";
}

void OutputFile::startWriteback() {
#ifdef __linux__
  if (regularFile_) writeback_ = std::thread([this] { runWriteback(); });
#endif
}

void OutputFile::stopWriteback() {
  if (!writeback_.joinable()) return;
  {
    std::lock_guard lock(writebackMutex_);
    stopping_ = true;
  }
  writebackWake_.notify_one();
  writeback_.join();
}

// Starts the disk on each new stretch as soon as it is written, instead of
// when the kernel's dirty-page thresholds are reached, and drops stretches a
// window behind (by then on the disk) from the page cache, so that a long
// capture does not fill memory with pages the kernel would later push out in
// one long stall.
void OutputFile::runWriteback() {
#ifdef __linux__
  uint64_t started = 0;  // writeback asked for up to here
  uint64_t dropped = 0;  // dropped from the cache up to here
  for (;;) {
    uint64_t written = 0;
    {
      std::unique_lock lock(writebackMutex_);
      writebackWake_.wait(lock, [&] { return stopping_ || written_ >= started + kWritebackStep; });
      if (stopping_) return;
      written = written_;
    }
    ::sync_file_range(descriptor_, static_cast<off64_t>(started),
                      static_cast<off64_t>(written - started), SYNC_FILE_RANGE_WRITE);
    started = written;
    if (started >= dropped + 2 * kWritebackWindow) {
      const uint64_t upTo = started - kWritebackWindow;
      ::posix_fadvise(descriptor_, static_cast<off64_t>(dropped),
                      static_cast<off64_t>(upTo - dropped), POSIX_FADV_DONTNEED);
      dropped = upTo;
    }
  }
#endif
}

std::string OutputFile::flushToDisk() {
  stopWriteback();
  return flushData();
}

std::string OutputFile::flushData() {
  // Only a regular file has data to put on the disk; a pipe has none.
  if (!regularFile_) return "";
#ifdef __APPLE__
  const int result = ::fsync(descriptor_);
#else
  const int result = ::fdatasync(descriptor_);
#endif
  return result == 0 ? "" : systemReason("cannot flush", name_);
}

std::string OutputFile::cutTo(uint64_t bytes) {
  if (!regularFile_) return "";
  return ::ftruncate(descriptor_, static_cast<off_t>(bytes)) == 0
             ? ""
             : systemReason("cannot shorten", name_);
}

std::string OutputFile::close() {
  stopWriteback();
  if (descriptor_ < 0) return "";
  const int result = ::close(descriptor_);
  descriptor_ = -1;
  return result == 0 ? "" : systemReason("cannot close", name_);
}

void removeFile(const std::string& path) {
  ::unlink(path.c_str());
}

std::string moveOver(const std::string& from, const std::string& to) {
  if (::rename(from.c_str(), to.c_str()) != 0)
    return systemReason("cannot rename " + from + " to", to);
  // The rename is on the disk once the folder is. A file system that cannot
  // flush a folder says EINVAL: nothing to do there.
  const auto slash = to.find_last_of('/');
  const std::string folder = slash == std::string::npos ? "." : to.substr(0, slash + 1);
  const int descriptor = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (descriptor < 0) return "";  // a folder we may write but not read
  std::string failure;
  if (::fsync(descriptor) != 0 && errno != EINVAL) failure = systemReason("cannot flush", folder);
  ::close(descriptor);
  return failure;
}

size_t longestFileName(const std::string& folder) {
  const long longest = ::pathconf(folder.c_str(), _PC_NAME_MAX);
  return longest > 0 ? static_cast<size_t>(longest) : 0;
}

}  // namespace capture
