// The file checks on POSIX hosts: a path is looked at before it is opened,
// opened without waiting (O_NONBLOCK), and looked at again through the open
// descriptor, so that a FIFO put in its place in between is caught too.
#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <ctime>
#include <system_error>

#include "platform/files.h"

namespace kpx::platform {

namespace {

FileKind kindOf(mode_t mode) {
  if (S_ISREG(mode)) return FileKind::kRegular;
  if (S_ISDIR(mode)) return FileKind::kDirectory;
  if (S_ISFIFO(mode)) return FileKind::kFifo;
  if (S_ISCHR(mode) || S_ISBLK(mode)) return FileKind::kDevice;
  return FileKind::kOther;
}

std::string systemText(int error) {
  return std::error_code(error, std::generic_category()).message();
}

int openRetrying(const char* path, int flags) {
  int fd;
  do fd = ::open(path, flags | O_NONBLOCK | O_CLOEXEC, 0666);
  while (fd < 0 && errno == EINTR);
  return fd;
}

// The descriptor blocks again from here on: a regular file never waits, and
// a pipe with a reader is written at the reader's pace.
void makeBlocking(int fd) {
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags >= 0) ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
}

// While it lives, a write to a pipe whose reader has gone fails with EPIPE
// instead of ending the process with SIGPIPE: the signal is blocked for
// this thread, and one it raised is taken back before it is unblocked.
class BrokenPipeAsError {
 public:
  BrokenPipeAsError() {
    sigemptyset(&pipe_);
    sigaddset(&pipe_, SIGPIPE);
    sigset_t pending;
    sigpending(&pending);
    pendingBefore_ = sigismember(&pending, SIGPIPE) == 1;
    pthread_sigmask(SIG_BLOCK, &pipe_, &previous_);
  }
  BrokenPipeAsError(const BrokenPipeAsError&) = delete;
  BrokenPipeAsError& operator=(const BrokenPipeAsError&) = delete;
  ~BrokenPipeAsError() {
    if (raised && !pendingBefore_) {
      const timespec none{};
      while (sigtimedwait(&pipe_, nullptr, &none) < 0 && errno == EINTR) {
      }
    }
    pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
  }
  bool raised = false;  // a write failed with EPIPE

 private:
  sigset_t pipe_{}, previous_{};
  bool pendingBefore_ = false;
};

}  // namespace

FileKind fileKind(const char* path) {
  struct stat status {};
  if (::stat(path, &status) != 0) return FileKind::kMissing;
  return kindOf(status.st_mode);
}

FileHandle openInputFile(const char* path, uint64_t& size, std::string& reason) {
  size = 0;
  const FileKind before = fileKind(path);
  if (before != FileKind::kRegular && before != FileKind::kMissing) {
    reason = describeNotRegular(path, before);
    return kNoFile;
  }
  const int fd = openRetrying(path, O_RDONLY);
  if (fd < 0) {
    reason = errno == ENOENT ? describeNotRegular(path, FileKind::kMissing)
                             : pathFailure("cannot open", path, systemText(errno));
    return kNoFile;
  }
  struct stat status {};
  if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
    reason = describeNotRegular(path, kindOf(status.st_mode));
    ::close(fd);
    return kNoFile;
  }
  makeBlocking(fd);
  size = static_cast<uint64_t>(status.st_size);
  return fd;
}

int64_t readFileAt(FileHandle file, uint64_t offset, void* buffer, size_t length) {
  for (;;) {
    const ssize_t got = ::pread(static_cast<int>(file), buffer, length, static_cast<off_t>(offset));
    if (got < 0 && errno == EINTR) continue;
    return got;
  }
}

FileHandle openOutputFile(const char* path, std::string& reason) {
  const FileKind before = fileKind(path);
  if (before == FileKind::kDirectory) {
    reason = describeNotRegular(path, before);
    return kNoFile;
  }
  const int fd = openRetrying(path, O_WRONLY | O_APPEND | O_CREAT);
  if (fd < 0) {
    // A FIFO without a reader: opening it to write would wait for one.
    reason = errno == ENXIO ? quotedPath(path) + " is a FIFO (named pipe) that nobody reads"
                            : pathFailure("cannot write", path, systemText(errno));
    return kNoFile;
  }
  struct stat status {};
  if (::fstat(fd, &status) != 0 || S_ISDIR(status.st_mode)) {
    reason = describeNotRegular(path, FileKind::kDirectory);
    ::close(fd);
    return kNoFile;
  }
  makeBlocking(fd);
  return fd;
}

bool writeFile(FileHandle file, const void* data, size_t length, std::string& reason,
               bool& diskFull) {
  const auto* bytes = static_cast<const char*>(data);
  diskFull = false;
  BrokenPipeAsError brokenPipe;
  while (length > 0) {
    const ssize_t n = ::write(static_cast<int>(file), bytes, length);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      const int error = n < 0 ? errno : ENOSPC;
      brokenPipe.raised = error == EPIPE;
      diskFull = error == ENOSPC;
      reason = systemText(error);
      return false;
    }
    bytes += n;
    length -= static_cast<size_t>(n);
  }
  return true;
}

void closeFile(FileHandle file) {
  if (file != kNoFile) ::close(static_cast<int>(file));
}

}  // namespace kpx::platform
