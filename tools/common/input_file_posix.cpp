// Input files on POSIX hosts: the path is looked at before it is opened,
// opened without waiting (O_NONBLOCK), and looked at again through the
// descriptor, so that a FIFO put in its place in between is refused too.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

#include "input_file.h"

namespace kpx::tools {

namespace {

// Empty for a regular file, else what `mode` is.
std::string notRegular(mode_t mode) {
  if (S_ISREG(mode)) return "";
  if (S_ISDIR(mode)) return "is a directory, not a file";
  if (S_ISFIFO(mode)) return "is a FIFO (named pipe), not a regular file";
  if (S_ISCHR(mode) || S_ISBLK(mode)) return "is a device, not a regular file";
  return "is not a regular file";
}

}  // namespace

InputFile::~InputFile() {
  if (descriptor_ >= 0) ::close(descriptor_);
}

std::string InputFile::open(const std::string& path) {
  const std::string name = "\"" + path + "\" ";
  struct stat status {};
  if (::stat(path.c_str(), &status) == 0 && !notRegular(status.st_mode).empty())
    return name + notRegular(status.st_mode);
  int fd;
  do fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    if (errno == ENOENT) return name + "does not exist";
    return "cannot open " + name + std::error_code(errno, std::generic_category()).message();
  }
  if (::fstat(fd, &status) != 0 || !notRegular(status.st_mode).empty()) {
    ::close(fd);
    return name + notRegular(status.st_mode);
  }
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags >= 0) ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
  descriptor_ = fd;
  size_ = static_cast<uint64_t>(status.st_size);
  return "";
}

int64_t readNext(int descriptor, void* buffer, size_t length) {
  return ::read(descriptor, buffer, length);
}

bool rewindToStart(int descriptor) {
  return ::lseek(descriptor, 0, SEEK_SET) == 0;
}

int standardInputForBytes() {
  return STDIN_FILENO;
}

int64_t InputFile::readAt(uint64_t offset, void* buffer, size_t length) const {
  for (;;) {
    const ssize_t got = ::pread(descriptor_, buffer, length, static_cast<off_t>(offset));
    if (got < 0 && errno == EINTR) continue;
    return got;
  }
}

}  // namespace kpx::tools
