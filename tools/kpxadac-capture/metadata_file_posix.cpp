#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "metadata_file.h"

namespace capture {

namespace {

std::string systemReason(const std::string& what, const std::string& name) {
  return what + " " + name + ": " + std::strerror(errno);
}

bool writeAllAt(int descriptor, const std::string& bytes, off_t offset) {
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::pwrite(descriptor, bytes.data() + done, bytes.size() - done,
                               offset + static_cast<off_t>(done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

std::string MetadataFile::writeTemporary(const std::string& content) {
  const std::string next = temporaryPath();
  // One left by a capture that ended early goes first; created afresh, a
  // link of that name is never followed to a file it would empty.
  ::unlink(next.c_str());
  const int descriptor = ::open(next.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (descriptor < 0) return systemReason("cannot create", next);
  std::string failure;
  if (!writeAllAt(descriptor, content, 0))
    failure = systemReason("cannot write", next);
  else if (::fsync(descriptor) != 0)
    failure = systemReason("cannot flush", next);
  if (::close(descriptor) != 0 && failure.empty()) failure = systemReason("cannot close", next);
  if (!failure.empty()) ::unlink(next.c_str());  // gives back whatever it took of a full disk
  return failure;
}

std::string MetadataFile::overwrite(const std::string& content) {
  const int descriptor = ::open(path_.c_str(), O_WRONLY | O_CLOEXEC);
  if (descriptor < 0) return systemReason("cannot open", path_);
  std::string failure;
  if (!writeAllAt(descriptor, content, 0))
    failure = systemReason("cannot write", path_);
  else if (::fdatasync(descriptor) != 0)
    failure = systemReason("cannot flush", path_);
  if (::close(descriptor) != 0 && failure.empty()) failure = systemReason("cannot close", path_);
  return failure;
}

}  // namespace capture
