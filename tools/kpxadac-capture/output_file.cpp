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

}  // namespace

OutputFile::~OutputFile() {
  close();
}

std::string OutputFile::create(const std::string& path) {
  name_ = path;
  descriptor_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  return descriptor_ < 0 ? systemReason("cannot create", path) : "";
}

void OutputFile::adopt(int descriptor, std::string name) {
  descriptor_ = descriptor;
  name_ = std::move(name);
}

std::string OutputFile::write(const uint8_t* bytes, size_t length, size_t& written) {
  written = 0;
  while (written < length) {
    const ssize_t n = ::write(descriptor_, bytes + written, length - written);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return systemReason("cannot write", name_);
    written += static_cast<size_t>(n);
  }
  return "";
}

std::string OutputFile::flushToDisk() {
  struct stat info {};
  // Only a regular file has data to put on the disk; a pipe has none.
  if (descriptor_ < 0 || ::fstat(descriptor_, &info) != 0 || !S_ISREG(info.st_mode)) return "";
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
